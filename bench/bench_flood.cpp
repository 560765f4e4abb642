// A reader that floods the link: the real main window connects over TCP and
// then over a pty to a peer on a thread of its own (SimFloodPeer) that writes
// frames of one kind (SimFlood, default: positive answers the client only
// logs) as fast as the window takes them, for SECONDS each (default 40).
// Meanwhile a click on the other page of the left column is posted every
// 250 ms. Prints, per link: bytes and frames taken, the longest time the
// GUI event loop went without turning, the longest a posted click waited,
// and the memory in use at the start and the end and at its peak. Then the
// flood stops, and it prints how long the window went on taking frames that
// had arrived before it stopped: what a user waits before the window answers.
//
// It builds a real MainWindow, whose scan loop sends to every /24 of every
// local address: it refuses to run where anything but loopback exists. Run
// it in a private network namespace (scripts/bench does).
//
//     bench_flood [SECONDS [answers|sweep|random|log|large]]
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "sim/simflood.h"
#include "sim/simfloodpeer.h"

namespace {

struct Figures
{
    qint64 frames = 0;
    qint64 longestGap = 0;
    qint64 longestClick = 0;
    int clicks = 0;
    qint64 rssStartKb = 0;
    qint64 rssEndKb = 0;
    qint64 drainMs = -1; // from the end of the flood to the last frame taken
};

bool waitFor(QApplication &app, const std::function<bool()> &condition, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ms)
            return false;
        app.processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

Figures flood(QApplication &app, MainWindow &window, bool tcp, SimFlood::Kind kind, int seconds)
{
    Figures figures;
    SimFloodPeer peer;
    if (tcp ? !peer.listenTcp() : !peer.openPty()) {
        std::fprintf(stderr, "bench_flood: the peer could not open its %s\n", tcp ? "port" : "pty");
        std::exit(1);
    }
    std::atomic<bool> flooding {true};
    peer.startFlood(kind, &flooding);
    const auto connected = [&] { return window.statusDetailLabel->text().startsWith(QStringLiteral("Version:")); };
    if (tcp) {
        window.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
        window.findChild<QLineEdit *>(QStringLiteral("leDeviceAddr"))->setText(QStringLiteral("127.0.0.1"));
        window.findChild<QSpinBox *>(QStringLiteral("sbPort"))->setValue(peer.tcpPort());
        window.findChild<QPushButton *>(QStringLiteral("btNetworkConnect"))->click();
    } else {
        window.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(0);
        auto *ports = window.findChild<QComboBox *>(QStringLiteral("cbSerialPort"));
        ports->addItem(peer.ptyPath());
        ports->setCurrentIndex(ports->count() - 1);
        window.findChild<QPushButton *>(QStringLiteral("btSerialConnect"))->click();
    }
    if (!waitFor(app, connected, 10000)) {
        std::fprintf(
            stderr, "bench_flood: the window did not connect over %s; the log ends:\n%s\n", tcp ? "TCP" : "the pty",
            qPrintable(window.findChild<QTextEdit *>(QStringLiteral("teProtocol"))->toPlainText().right(1500)));
        std::exit(1);
    }

    QElapsedTimer sinceLastFrame;
    sinceLastFrame.start();
    QMetaObject::Connection counter
        = QObject::connect(&window.protocol, &BinaryProtocol::frameComplete, [&](uint8_t *, size_t, uint8_t *, size_t) {
              ++figures.frames;
              sinceLastFrame.restart();
          });
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabs"));
    QTimer clicker;
    QElapsedTimer posted;
    clicker.setInterval(250);
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (posted.isValid())
            return; // the last one is still waiting
        posted.start();
        QMetaObject::invokeMethod(
            tabs,
            [&] {
                tabs->setCurrentIndex(1 - tabs->currentIndex());
                figures.longestClick = std::max(figures.longestClick, posted.elapsed());
                ++figures.clicks;
                posted.invalidate();
            },
            Qt::QueuedConnection);
    });
    figures.rssStartKb = Bench::procStatusKb("VmRSS:");
    Bench::GapMeter meter;
    meter.start();
    clicker.start();
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000LL)
        app.processEvents(QEventLoop::AllEvents, 50);
    clicker.stop();
    figures.longestGap = meter.stop();
    figures.rssEndKb = Bench::procStatusKb("VmRSS:");
    flooding = false;
    QElapsedTimer drain;
    drain.start();
    waitFor(
        app, [&] { return sinceLastFrame.elapsed() > 1000 || drain.elapsed() > 60000; }, 61000);
    figures.drainMs = std::max<qint64>(0, drain.elapsed() - sinceLastFrame.elapsed());
    QObject::disconnect(counter);
    peer.stop();

    if (tcp)
        window.findChild<QPushButton *>(QStringLiteral("btNetworkConnect"))->click();
    else
        window.findChild<QPushButton *>(QStringLiteral("btSerialConnect"))->click();
    waitFor(
        app, [&] { return !window.tcpConnected && !window.serial.isOpen(); }, 5000);
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 40;
    SimFlood::Kind kind = SimFlood::Kind::Answers;
    if (seconds < 1 || (argc > 2 && !SimFlood::parseKind(QString::fromLatin1(argv[2]), &kind))) {
        std::fprintf(stderr, "usage: bench_flood [SECONDS [%s]]\n",
                     qPrintable(SimFlood::kindNames().join(QLatin1Char('|'))));
        return 2;
    }
    Bench::preferOffscreen();
    QApplication app(argc, argv);
    Bench::WindowEnvironment environment;

    MainWindow window;
    window.show();
    std::printf("flood of %s, %d s over each link\n", argc > 2 ? argv[2] : "answers", seconds);
    for (const bool tcp : {true, false}) {
        const Figures f = flood(app, window, tcp, kind, seconds);
        std::printf("%-4s %lld frames taken (%.0f per second); longest GUI gap %lld ms; longest wait of a click "
                    "%lld ms (%d clicks); memory %lld -> %lld MiB; frames taken for %lld ms after the flood\n",
                    tcp ? "TCP:" : "pty:", static_cast<long long>(f.frames), double(f.frames) / seconds,
                    static_cast<long long>(f.longestGap), static_cast<long long>(f.longestClick), f.clicks,
                    static_cast<long long>(f.rssStartKb / 1024), static_cast<long long>(f.rssEndKb / 1024),
                    static_cast<long long>(f.drainMs));
    }
    std::printf("peak memory: %lld MiB\n", static_cast<long long>(Bench::procStatusKb("VmHWM:") / 1024));
    return 0;
}
