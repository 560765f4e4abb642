// Flashes a 1 MiB reader image (4,096 OTA frames) from the real main window
// into the simulated reader, over TCP and over a pty, and compares the time
// the frames take with the stop-and-wait bound: 4,096 times the round trip
// of one frame of the same size between a bare codec and the same reader.
// Builds a MainWindow, so it runs only in a network namespace with nothing
// but loopback (it makes one of its own where it can):
//   bench/bench_firmware [KiB [ROUNDS]]
// (1024 KiB and 3 rounds per link unless given).
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "app/mainwindow.h"
#include "benchsupport.h"
#include "link/binaryprotocol.h"
#include "sim/simota.h"
#include "sim/simreader.h"

namespace {

// Mean round trip, in ms, of a 257-byte request (a code the reader does not
// model, so it answers with a bare positive answer, as it answers an OTA
// frame) sent by a bare codec over device, one at a time.
double roundTripMs(QIODevice *device, SimReader &reader, int count)
{
    uint8_t code = 0x70;
    while (reader.hasCommand(code))
        ++code;
    BinaryProtocol codec;
    int answers = 0;
    QObject::connect(&codec, &BinaryProtocol::protocolWrite, [device](uint8_t *buff, size_t len) {
        device->write(reinterpret_cast<const char *>(buff), qint64(len));
        if (auto *socket = qobject_cast<QTcpSocket *>(device))
            socket->flush();
        else if (auto *port = qobject_cast<QSerialPort *>(device))
            port->flush();
    });
    QByteArray payload(257, '\x5A');
    payload[0] = char(code);
    const auto send
        = [&] { codec.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()), size_t(payload.size())); };
    QObject::connect(&codec, &BinaryProtocol::frameComplete, [&](uint8_t *, size_t, uint8_t *, size_t) {
        if (++answers < count)
            send();
    });
    QObject::connect(device, &QIODevice::readyRead, [&] {
        const QByteArray bytes = device->readAll();
        codec.receiveBytes(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    });
    QElapsedTimer clock;
    clock.start();
    send();
    Bench::waitUntil([&] { return answers >= count; }, 60000);
    const double ms = clock.nsecsElapsed() / 1e6;
    QObject::disconnect(device, &QIODevice::readyRead, nullptr, nullptr);
    return answers >= count ? ms / count : -1;
}

struct Run
{
    double totalS = -1; // button press to Reboot
    double framesS = -1; // first OTA frame to OTA End, at the reader
    bool identical = false;
};

Run flash(MainWindow &window, SimReader &reader, const QString &imagePath, const QByteArray &image)
{
    SimOta *ota = SimOta::of(&reader);
    QElapsedTimer clock;
    qint64 firstFrame = -1, end = -1, reboot = -1;
    const QMetaObject::Connection watch
        = QObject::connect(&reader, &SimReader::requestReceived, [&](quint8 code, const QByteArray &) {
              if (code == 0xF1 && firstFrame < 0)
                  firstFrame = clock.nsecsElapsed();
              else if (code == 0xF2)
                  end = clock.nsecsElapsed();
              else if (code == 0x0A)
                  reboot = clock.nsecsElapsed();
          });
    window.fileChooser = [imagePath](const QString &, const QString &, bool) { return imagePath; };
    window.askQuestion = [](const QString &, const QString &) { return true; }; // yes, erase the flash
    clock.start();
    window.findChild<QPushButton *>(QStringLiteral("btFlashFirmware"))->click();
    Bench::waitUntil([&] { return reboot >= 0; }, 600000);
    QObject::disconnect(watch);
    Run run;
    if (reboot >= 0 && firstFrame >= 0 && end >= 0) {
        run.totalS = reboot / 1e9;
        run.framesS = (end - firstFrame) / 1e9;
    }
    run.identical = ota->flashedImage() == image;
    return run;
}

double report(const char *link, const Run &run, double rttMs, int frames)
{
    const double bound = frames * rttMs / 1000.0;
    const double ratio = bound > 0 ? run.framesS / bound : 0.0;
    std::printf("%-4s  %9.2f  %10.2f  %15.3f  %9.2f  %5.2f  %s\n", link, run.totalS, run.framesS, rttMs, bound, ratio,
                run.identical ? "yes" : "NO");
    std::fflush(stdout);
    return ratio;
}

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());

    const int kib = argc > 1 ? std::atoi(argv[1]) : 1024;
    const int rounds = argc > 2 ? qMax(1, std::atoi(argv[2])) : 3;
    QByteArray image(kib * 1024, '\0');
    quint32 x = 12345;
    for (char &c : image) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    const int frames = (image.size() + 255) / 256;
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    {
        QFile file(imagePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
            return 1;
        }
    }

    SimReader reader;
    const QString link = dir.filePath(QStringLiteral("ttyBench"));
    if (!reader.openPty(link) || !reader.listenTcp(0)) {
        std::fprintf(stderr, "the simulated reader cannot open a pty or listen on TCP\n");
        return 1;
    }
    SimOta::of(&reader)->setEraseTime(20);
    SimOta::of(&reader)->setReconnectTime(200);
    reader.registerCommand(0x0A, [](SimRequest &req) { req.silent(); }); // no restart

    MainWindow window;
    window.show();
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    auto *tcpButton = window.findChild<QPushButton *>(QStringLiteral("btNetworkConnect"));
    auto *serialButton = window.findChild<QPushButton *>(QStringLiteral("btSerialConnect"));
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("cbSerialPort"));
    ports->addItem(link);
    const auto settle = [] { Bench::waitUntil([] { return false; }, 200); };

    std::printf("image %d bytes, %d OTA frames, %d round(s) per link; round trip: mean of %d bare\n"
                "exchanges of 257-byte requests with the same reader, measured before each flash\n",
                image.size(), frames, rounds, frames);
    std::printf("link  total (s)  frames (s)  round trip (ms)  bound (s)  ratio  image identical\n");

    // TCP: the bare exchanges run on a connection of their own.
    QList<double> tcpRatios;
    tabs->setCurrentIndex(1);
    window.findChild<QLineEdit *>(QStringLiteral("leDeviceAddr"))->setText(QStringLiteral("127.0.0.1"));
    window.findChild<QSpinBox *>(QStringLiteral("sbPort"))->setValue(reader.tcpPort());
    tcpButton->click();
    if (!Bench::waitUntil([&] { return window.tcpConnected && !window.oneShotTimer->isActive(); }, 10000)) {
        std::fprintf(stderr, "no TCP connection\n");
        return 1;
    }
    settle();
    for (int round = 0; round < rounds; ++round) {
        double rtt = -1;
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), reader.tcpPort());
        if (socket.waitForConnected(3000))
            rtt = roundTripMs(&socket, reader, frames);
        socket.disconnectFromHost();
        settle();
        const Run run = flash(window, reader, imagePath, image);
        tcpRatios << report("TCP", run, rtt, frames);
    }
    tcpButton->click(); // disconnect
    Bench::waitUntil([&] { return !window.tcpConnected; }, 3000);

    // pty: one opener at a time, so the window's port is closed while the
    // bare exchanges run.
    QList<double> ptyRatios;
    tabs->setCurrentIndex(0);
    ports->setCurrentIndex(ports->count() - 1);
    for (int round = 0; round < rounds; ++round) {
        double rtt = -1;
        {
            QSerialPort port(link);
            if (port.open(QIODevice::ReadWrite))
                rtt = roundTripMs(&port, reader, frames);
        }
        serialButton->click();
        if (!Bench::waitUntil([&] { return window.serial.isOpen() && !window.oneShotTimer->isActive(); }, 5000)) {
            std::fprintf(stderr, "no serial connection\n");
            return 1;
        }
        settle();
        const Run run = flash(window, reader, imagePath, image);
        ptyRatios << report("pty", run, rtt, frames);
        serialButton->click(); // disconnect
        settle();
    }

    std::printf("median ratio: TCP %.2f, pty %.2f\n", median(tcpRatios), median(ptyRatios));
    std::printf(
        "total includes the client's waits after the erase (4 s over TCP; 6 s and one 1 s retry over the pty)\n");
    return 0;
}
