// Both firmware updates against the simulated reader: the reader image in
// OTA frames (over TCP, and over a pty that goes away after the erase) and
// the RFID chip's record file, with their refusals, aborts and error paths.
#include <QFileInfo>
#include <QTcpSocket>
#include <QTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QTemporaryDir>

#include "sim/simcodec.h"
#include "sim/simfaults.h"
#include "sim/simota.h"
#include "support/requestlog.h"
#include "support/windowfixture.h"
#include "workflows/firmwarefiles.h"

namespace {

QByteArray hex(const char *t)
{
    return WindowFixture::hex(t);
}

// Bytes that differ from frame to frame, so a lost, doubled or reordered
// frame shows.
QByteArray pattern(int size, quint32 seed = 1)
{
    QByteArray out(size, '\0');
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = char(x >> 16);
    }
    return out;
}

QByteArray record(const QByteArray &body)
{
    QByteArray out;
    out.append(char(body.size() >> 8)).append(char(body.size() & 0xFF));
    return out + body;
}

// A chip file of count records of size bytes each; their bodies in *bodies.
QByteArray records(int count, int size, QList<QByteArray> *bodies = nullptr)
{
    QByteArray file;
    for (int i = 0; i < count; ++i) {
        const QByteArray body = pattern(size, quint32(i + 1));
        file += record(body);
        if (bodies)
            *bodies << body;
    }
    return file;
}

// Sends payload to the reader as a frame and returns the answer frame.
QByteArray ask(QIODevice &dev, const QByteArray &payload, int timeoutMs = 2000)
{
    dev.readAll();
    dev.write(SimCodec::buildFrame(0, payload));
    QByteArray got;
    runUntil(
        [&] {
            got += dev.readAll();
            return got.size() >= 7 && got.size() >= 5 + (uint8_t(got[1]) | uint8_t(got[2]) << 8);
        },
        timeoutMs);
    return got;
}

QByteArray answerFrame(const char *payload)
{
    return SimCodec::buildFrame(0, WindowFixture::hex(payload));
}

} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qWarning("cannot write %s", qPrintable(path));
        return path;
    }

    // A file of size bytes that takes no room on the disk.
    QString sparseFile(const QString &name, qint64 size)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
            qWarning("cannot make %s", qPrintable(path));
        return path;
    }

    // The file dialog answers with path (empty: cancelled).
    static void chooseFile(WindowFixture &f, const QString &path)
    {
        f.window()->fileChooser = [path](const QString &, const QString &, bool) { return path; };
    }

    // The reader takes Reboot without answering, so the restart handling
    // (with its sleeps) stays out of the stories that do not need it.
    static void ignoreReboot(WindowFixture &f)
    {
        f.reader()->registerCommand(0x0A, [](SimRequest &req) { req.silent(); });
    }

    static SimOta *ota(WindowFixture &f)
    {
        SimOta *module = SimOta::of(f.reader());
        module->setEraseTime(20);
        module->setReconnectTime(150);
        return module;
    }

    QPushButton *flashButton(WindowFixture &f) { return f.widget<QPushButton>("btFlashFirmware"); }
    QPushButton *chipButton(WindowFixture &f) { return f.widget<QPushButton>("btPNUpdate"); }

    // Connects by serial over a pty that has a link, the name a USB device
    // keeps when it comes back.
    bool connectByLink(WindowFixture &f, const QString &link)
    {
        if (!f.reader()->openPty(link))
            return false;
        f.clickConnectSerial(link);
        return QTest::qWaitFor([&] { return f.window()->statusDetailLabel->text().startsWith("Version:"); }, 3000)
            && f.settle();
    }

    // The stories start on a quiet link: the request for log lines that
    // follows the version is answered.
    static bool connectTcp(WindowFixture &f) { return f.connectTcp() && f.settle(); }
    static bool connectSerial(WindowFixture &f) { return f.connectSerial() && f.settle(); }

    // What is not as it must be once an update has ended: captions back, no
    // step waiting, the progress cleared. Empty when all is well.
    static QString notEnded(WindowFixture &f)
    {
        QStringList wrong;
        if (f.widget<QPushButton>("btFlashFirmware")->text() != QLatin1String("Flash firmware"))
            wrong << "btFlashFirmware caption";
        if (f.widget<QPushButton>("btPNUpdate")->text() != QLatin1String("RFID chip update"))
            wrong << "btPNUpdate caption";
        if (f.window()->oneShotState != MainWindow::Idle)
            wrong << QStringLiteral("oneShotState %1").arg(f.window()->oneShotState);
        if (f.window()->progressBar->value() != 0)
            wrong << "progress";
        return wrong.join(", ");
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // ---- file formats -----------------------------------------------------

    void chipFileCheck_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("records");
        QTest::addColumn<QString>("problem");
        // The refusals the window shows are in chipFileRefused; these are the
        // walks through several records.
        QTest::newRow("zero-length record last")
            << record(hex("11 22 01 10")) + record(QByteArray()) << true << 2 << QString();
        QTest::newRow("empty") << QByteArray() << false << 0 << "holds 0 bytes";
        QTest::newRow("second record cut short")
            << record(hex("01 02 03 04")) + hex("00 05 AA") << false << 1 << "record 2 (offset 6) announces 5 bytes";
        QTest::newRow("lone byte at the end")
            << record(hex("01 02 03 04")) + hex("07") << false << 1 << "ends inside the length of record 2";
    }
    void chipFileCheck()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, ok);
        QFETCH(int, records);
        QFETCH(QString, problem);
        const FirmwareFiles::ChipCheck check = FirmwareFiles::checkChipFile(file, 2060);
        QCOMPARE(check.ok, ok);
        QCOMPARE(check.records, records);
        QVERIFY2(check.problem.contains(problem), qPrintable(check.problem));
    }

    // ---- the simulated reader's side -----------------------------------------

    // It refuses what the real reader refuses, so a client that sends
    // frames out of order or miscounts its image cannot pass.
    void readerChecksWhatItReceives()
    {
        SimReader reader;
        QVERIFY(reader.listenTcp(0));
        SimOta *ota = SimOta::of(&reader);
        ota->setEraseTime(0);
        QTcpSocket dev;
        dev.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
        QVERIFY(dev.waitForConnected(2000));

        QCOMPARE(ask(dev, hex("F1 01")), answerFrame("FF F1 F0 01")); // no OTA Begin
        QCOMPARE(ask(dev, hex("F0")), answerFrame("00 F0"));
        QCOMPARE(ask(dev, hex("F1")), answerFrame("FF F1 F0 02")); // no data
        QCOMPARE(ask(dev, QByteArray(1, char(0xF1)) + pattern(257)), answerFrame("FF F1 F0 02"));
        QCOMPARE(ask(dev, hex("F1 0A 0B 0C")), answerFrame("00 F1"));
        QCOMPARE(ask(dev, hex("F2 04 00 00 00")), answerFrame("FF F2 F0 03")); // 3 bytes came
        QCOMPARE(ask(dev, hex("F2 03 00 00 00")), answerFrame("FF F2 F0 01")); // the update is over
        QCOMPARE(ota->flashCount(), 0);
        QCOMPARE(ask(dev, hex("F0")), answerFrame("00 F0"));
        QCOMPARE(ask(dev, hex("F1 0A 0B 0C")), answerFrame("00 F1"));
        QCOMPARE(ask(dev, hex("F2 03 00 00 00")), answerFrame("00 F2"));
        QCOMPARE(ota->flashedImage(), hex("0A 0B 0C"));

        QCOMPARE(ask(dev, hex("F7 01")), answerFrame("FF F7 F6 01"));
        QCOMPARE(ask(dev, hex("F8")), answerFrame("FF F8 F6 01"));
        QCOMPARE(ask(dev, hex("F6")), answerFrame("00 F6"));
        QCOMPARE(ask(dev, hex("F7")), answerFrame("00 F7"));
        QCOMPARE(ask(dev, hex("F7 01 02")), answerFrame("00 F7"));
        QCOMPARE(ask(dev, hex("F8")), answerFrame("00 F8"));
        QCOMPARE(ota->chipRecords(), (QList<QByteArray> {QByteArray(), hex("01 02")}));
    }

    // After the erase answer the link to the pty goes at once and comes back
    // at the same name, as a USB device does.
    void readerLeavesTheBusAfterTheErase()
    {
        const QString link = m_dir.filePath("ttyOta");
        SimReader reader;
        QVERIFY(reader.openPty(link));
        SimOta *ota = SimOta::of(&reader);
        ota->setEraseTime(0);
        ota->setReconnectTime(200);
        {
            QSerialPort port(link);
            QVERIFY(port.open(QIODevice::ReadWrite));
            QCOMPARE(ask(port, hex("F0")), answerFrame("00 F0"));
            QVERIFY(!QFileInfo::exists(link));
        }
        QVERIFY(runUntil([&] { return QFileInfo::exists(link); }, 2000));
        QSerialPort again(link);
        QVERIFY(again.open(QIODevice::ReadWrite));
        QCOMPARE(ask(again, hex("F1 55")), answerFrame("00 F1"));
    }

    // ---- reader firmware over TCP -------------------------------------------

    void imageArrivesWhole_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1 byte") << 1;
        QTest::newRow("256 bytes") << 256;
        QTest::newRow("257 bytes") << 257;
        // 300,000 bytes go over the pty, in reopenAfterEraseOverPty.
    }
    void imageArrivesWhole()
    {
        QFETCH(int, size);
        WindowFixture f;
        SimOta *module = ota(f);
        ignoreReboot(f);
        QVERIFY(connectTcp(f));
        const QByteArray image = pattern(size, quint32(size));
        chooseFile(f, writeFile(QStringLiteral("image-%1.bin").arg(size), image));
        RequestLog requests(f.reader());
        QString captionWhileSending;
        requests.onRequest = [&](const QByteArray &r) {
            if (uint8_t(r.at(0)) == 0xF1 && captionWhileSending.isEmpty())
                captionWhileSending = flashButton(f)->text();
        };
        // The window is not frozen during the 4 s wait after the erase, and
        // no other device action can start meanwhile.
        int ticksBeforeFrames = 0;
        QStringList usable;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            ticksBeforeFrames += requests.count(0xF1) == 0;
            for (const char *name : {"btPollingConfiguration", "btDownloadConfig", "btPNUpdate", "btReadNetwork"}) {
                if (requests.count(0xF0) > 0 && f.widget<QWidget>(name)->isEnabled() && !usable.contains(name))
                    usable << name;
            }
        });
        tick.start(100);

        f.click("btFlashFirmware");
        QCOMPARE(flashButton(f)->text(), QStringLiteral("Abort..."));
        QCOMPARE(f.window()->oneShotState, int(MainWindow::FlashFirmware));
        QVERIFY(runUntil([&] { return requests.count(0x0A) == 1; }, 20000));

        QCOMPARE(module->flashedImage(), image);
        QCOMPARE(module->flashCount(), 1);
        const QList<QByteArray> frames = requests.withCode(0xF1);
        QCOMPARE(frames.size(), (size + 255) / 256);
        for (int i = 0; i + 1 < frames.size(); ++i)
            QCOMPARE(frames[i].size(), 257);
        QCOMPARE(frames.last().size(), 1 + (size % 256 == 0 ? 256 : size % 256));
        QCOMPARE(requests.withCode(0xF2), QList<QByteArray> {FirmwareFiles::otaEndPayload(quint32(size))});
        QCOMPARE(requests.count(0xF0), 1);
        // Reboot comes last, after the answer to OTA End.
        QCOMPARE(requests.list.last(), hex("0A"));

        // Over TCP the port is not touched, the client only waits 4000 ms.
        QVERIFY(!f.logText().contains("Closing the port..."));
        QVERIFY2(requests.timeOfFirst(0xF1) - requests.timeOfFirst(0xF0) >= 3900, qPrintable(f.logText()));
        QVERIFY2(ticksBeforeFrames >= 30, qPrintable(QString::number(ticksBeforeFrames)));
        QCOMPARE(usable, QStringList());
        QCOMPARE(captionWhileSending, QStringLiteral("Abort..."));
        for (const char *line :
             {"Firmware file ", "Flash erased.", "Writing firmware...", "Firmware flashed.", "Restarting device..."})
            QVERIFY2(f.logText().contains(line), line);
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
        QVERIFY(f.window()->tcpConnected);
    }

    // Nothing goes out for an image that cannot be sent: OTA Begin would
    // erase the reader.
    void unusableImageRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty file") << "empty.bin"
                                    << "Firmware file is empty, nothing to flash!";
        QTest::newRow("missing file") << "no-such-image.bin"
                                      << "Unable to open firmware file!";
        QTest::newRow("dialog cancelled") << QString() << "Firmware not selected!";
        QTest::newRow("2.6 GB image") << "huge.bin"
                                      << "Firmware file is too large (2600000000 bytes, at most 33554432), nothing "
                                         "to flash!";
    }
    void unusableImageRefused()
    {
        QFETCH(QString, name);
        QFETCH(QString, message);
        WindowFixture f;
        QVERIFY(connectSerial(f));
        writeFile(QStringLiteral("empty.bin"), QByteArray());
        sparseFile(QStringLiteral("huge.bin"), 2600000000);
        chooseFile(f, name.isEmpty() ? QString() : m_dir.filePath(name));
        RequestLog requests(f.reader());
        f.click("btFlashFirmware");
        QVERIFY(f.waitForLog(message));
        QTest::qWait(300);
        QVERIFY(requests.list.isEmpty());
        QCOMPARE(flashButton(f)->text(), QStringLiteral("Flash firmware"));
        QCOMPARE(f.window()->oneShotState, int(MainWindow::GetVersion));
    }

    // "Abort..." pressed while a frame (a record) is with the reader: nothing
    // more goes out, not even a repeat, and the reader flashes nothing.
    void abortByCaption_data()
    {
        QTest::addColumn<bool>("chip");
        QTest::newRow("firmware over TCP, at frame 20") << false;
        QTest::newRow("chip over the pty, at record 5") << true;
    }
    void abortByCaption()
    {
        QFETCH(bool, chip);
        WindowFixture f;
        SimOta *module = ota(f);
        QVERIFY(chip ? connectSerial(f) : connectTcp(f));
        chooseFile(f, chip ? writeFile("abort.nwfwu", records(40, 100)) : writeFile("abort.bin", pattern(100000)));
        RequestLog requests(f.reader());
        const uint8_t data = chip ? 0xF7 : 0xF1;
        const int at = chip ? 5 : 20;
        requests.onRequest = [&](const QByteArray &r) {
            if (uint8_t(r.at(0)) == data && requests.count(data) == at)
                QTest::mouseClick(chip ? chipButton(f) : flashButton(f), Qt::LeftButton);
        };
        f.click(chip ? "btPNUpdate" : "btFlashFirmware");
        QVERIFY(f.waitForLog("Flash firmware aborted", 8000));
        QTest::qWait(1000); // longer than the answer timer of a frame
        QCOMPARE(requests.count(data), at);
        QCOMPARE(requests.count(uint8_t(data + 1)), 0); // OTA End, PN OTA Finish
        QCOMPARE(requests.list.last().at(0), char(data));
        QVERIFY(!f.logText().contains("Repeating last frame"));
        QCOMPARE(chip ? module->pendingRecords().size() : module->frameCount(), at);
        QCOMPARE(module->flashCount(), 0);
        QVERIFY(module->chipRecords().isEmpty());
        // The chip's abort says it without the full stop of a failure.
        QCOMPARE(f.logText().contains("Flash firmware aborted."), !chip);
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
    }

    // An error answer to a frame (a record) ends the update with the hint.
    void errorAborts_data()
    {
        QTest::addColumn<bool>("chip");
        QTest::newRow("firmware, frame 3") << false;
        QTest::newRow("chip, record 2") << true;
    }
    void errorAborts()
    {
        QFETCH(bool, chip);
        WindowFixture f;
        SimOta *module = ota(f);
        if (chip)
            module->setRecordFault(2, SimOta::Fault::Error);
        else
            module->setFrameFault(3, SimOta::Fault::Error);
        QVERIFY(chip ? connectSerial(f) : connectTcp(f));
        chooseFile(f, chip ? writeFile("error.nwfwu", records(3, 4)) : writeFile("error.bin", pattern(2000)));
        RequestLog requests(f.reader());
        f.click(chip ? "btPNUpdate" : "btFlashFirmware");
        QVERIFY(f.waitForLog("Flash firmware aborted.", 8000));
        QTest::qWait(1000); // longer than the answer timer of a frame
        const QString log = f.logText();
        const int error = log.indexOf(chip ? "Error 0xF6EE received for command - PN OTA - Frame"
                                           : "Error 0xF0EE received for command - OTA - Frame");
        const int hint = log.indexOf("Firmware writing error - please restart the board and try again");
        QVERIFY(error >= 0);
        QVERIFY(hint > error);
        QVERIFY(log.indexOf("Flash firmware aborted.") > hint);
        QCOMPARE(requests.count(chip ? 0xF7 : 0xF1), chip ? 2 : 3);
        QCOMPARE(requests.count(chip ? 0xF8 : 0xF2), 0);
        QVERIFY(!log.contains("Repeating last frame"));
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
    }

    // ---- reader firmware over a pty ------------------------------------------

    // The reader leaves the bus after the erase and comes back at the same
    // name; the client finds it there after its wait and goes on.
    void reopenAfterEraseOverPty()
    {
        WindowFixture f;
        SimOta *module = ota(f);
        ignoreReboot(f);
        const QString link = m_dir.filePath("ttyFw0");
        QVERIFY(connectByLink(f, link));
        const QByteArray image = pattern(300000, 7);
        chooseFile(f, writeFile("pty.bin", image));
        RequestLog requests(f.reader());
        QString captionWhileSending;
        requests.onRequest = [&](const QByteArray &r) {
            if (uint8_t(r.at(0)) == 0xF1 && captionWhileSending.isEmpty())
                captionWhileSending = flashButton(f)->text();
        };
        f.click("btFlashFirmware");
        QVERIFY(runUntil([&] { return requests.count(0x0A) == 1; }, 30000));

        QCOMPARE(module->flashedImage(), image);
        QCOMPARE(requests.count(0xF1), 1172);
        QCOMPARE(requests.withCode(0xF2), QList<QByteArray> {hex("F2 E0 93 04 00")});
        const QString log = f.logText();
        int at = 0;
        for (const char *line : {"Flash erased.", "Closing the port...", "Opening again...", "Writing firmware...",
                                 "Firmware flashed.", "Restarting device..."}) {
            const int next = log.indexOf(line, at);
            QVERIFY2(next >= 0, line);
            at = next;
        }
        // The window kept running through the wait, so the reader was back
        // at its link when the port was opened again.
        QCOMPARE(f.logCount("Unable to open serial port. Trying again.."), 0);
        QVERIFY(requests.timeOfFirst(0xF1) - requests.timeOfFirst(0xF0) >= 5900);
        QVERIFY(f.window()->serial.isOpen());
        QVERIFY(f.window()->serial.portName().endsWith("ttyFw0"));
        QCOMPARE(captionWhileSending, QStringLiteral("Abort..."));
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
    }

    void sixFailedReopensEndTheUpdate()
    {
        WindowFixture f;
        SimOta *module = ota(f);
        module->setReconnectTime(-1);
        QVERIFY(connectByLink(f, m_dir.filePath("ttyFw1")));
        chooseFile(f, writeFile("gone.bin", pattern(600)));
        RequestLog requests(f.reader());
        f.click("btFlashFirmware");
        QVERIFY(f.waitForLog("Unable to open serial port. Please try to reconnect device and start again.", 15000));
        QTest::qWait(700);
        QCOMPARE(f.logCount("Unable to open serial port. Trying again.."), 5);
        QVERIFY(!f.logText().contains("Writing firmware..."));
        QCOMPARE(requests.list, QList<QByteArray> {hex("F0")});
        QVERIFY(!f.window()->serial.isOpen());
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
        QCOMPARE(f.widget<QPushButton>("btSerialConnect")->text(), QStringLiteral("Connect"));
    }

    // ---- RFID chip -----------------------------------------------------------

    // The whole story, up to the reader's restart after PN OTA Finish.
    void chipOneRecordAndRestart()
    {
        WindowFixture f;
        SimOta *module = ota(f);
        QVERIFY(connectSerial(f));
        const QByteArray file = record(hex("AA BB 01 10 CC DD"));
        chooseFile(f, writeFile("one.nwfwu", file));
        // A second answer to the same Reboot does not restart anything again.
        SimAnswerFaults::of(f.reader())->command({"twice", "once", "code", "0A"});
        RequestLog requests(f.reader());
        f.click("btPNUpdate");
        QCOMPARE(chipButton(f)->text(), QStringLiteral("Abort..."));
        QVERIFY(f.waitForLog("Firmware file version detected 10.01", 100));
        QVERIFY(f.waitForLog("Restarting the device. Please wait..", 3000));
        QVERIFY(QTest::qWaitFor([&] { return f.window()->statusDetailLabel->text().startsWith("Version:"); }, 6000));

        QCOMPARE(requests.list.mid(0, 4),
                 (QList<QByteArray> {hex("F6"), hex("F7 AA BB 01 10 CC DD"), hex("F8"), hex("0A")}));
        QCOMPARE(module->chipRecords(), QList<QByteArray> {hex("AA BB 01 10 CC DD")});
        QVERIFY(f.logText().contains("Firmware size 8, data written 8"));
        QVERIFY(f.logText().contains("Restarting device..."));
        QTest::qWait(300);
        QCOMPARE(f.logCount("Restarting the device. Please wait.."), 1);
        // The restart closed and reopened the link.
        QCOMPARE(chipButton(f)->text(), QStringLiteral("RFID chip update"));
        QCOMPARE(f.window()->oneShotState, int(MainWindow::GetVersion));
    }

    void chipRecordsSentAsTheyAre()
    {
        WindowFixture f;
        SimOta *module = ota(f);
        ignoreReboot(f);
        QVERIFY(connectSerial(f));
        const QByteArray big = pattern(2060, 3); // the largest record one frame carries
        const QByteArray file = record(hex("11 22 0A 03")) + record(QByteArray()) + record(big) + record(hex("33"));
        chooseFile(f, writeFile("records.nwfwu", file));
        RequestLog requests(f.reader());
        f.click("btPNUpdate");
        QVERIFY(QTest::qWaitFor([&] { return requests.count(0x0A) == 1; }, 5000));
        QVERIFY(f.logText().contains("Firmware file version detected 03.0A"));
        QCOMPARE(requests.withCode(0xF7),
                 (QList<QByteArray> {hex("F7 11 22 0A 03"), hex("F7"), QByteArray(1, char(0xF7)) + big, hex("F7 33")}));
        QCOMPARE(module->chipRecords(), (QList<QByteArray> {hex("11 22 0A 03"), QByteArray(), big, hex("33")}));
        QVERIFY(f.logText().contains(QStringLiteral("Firmware size %1, data written %1").arg(file.size())));
        QCOMPARE(f.window()->progressBar->value(), 0);
    }

    // Nothing goes out for a file that cannot be sent whole, with an RS485
    // address byte in every frame too (a record may be one byte shorter).
    void chipFileRefused_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");
        QTest::newRow("five bytes") << hex("00 03 01 02 03") << "Firmware file refused: the file holds 5 bytes";
        QTest::newRow("length past the end")
            << hex("00 09 01 02 03 04 05 06") << "Firmware file refused: record 1 (offset 0) announces 9 bytes";
        QTest::newRow("record too long") << record(pattern(2061))
                                         << "Firmware file refused: record 1 (offset 0) holds 2061 bytes";
        QTest::newRow("record too long for RS485")
            << record(pattern(2060)) << "holds 2060 bytes, one frame carries at most 2059";
        QTest::newRow("missing file") << QByteArray() << "Unable to open firmware file!";
        QTest::newRow("dialog cancelled") << QByteArray() << "Firmware not selected!";
        QTest::newRow("2.6 GB file") << QByteArray()
                                     << "Firmware file is too large (2600000000 bytes, at most 33554432), nothing "
                                        "to flash!";
    }
    void chipFileRefused()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        WindowFixture f;
        if (QByteArray(QTest::currentDataTag()).endsWith("RS485")) {
            f.reader()->setAddress(0x05);
            f.widget<QGroupBox>("gbRS485")->setChecked(true);
            f.widget<QLineEdit>("leTargetAddress")->setText("05");
        }
        QVERIFY(connectSerial(f));
        QString path;
        if (message.startsWith("Unable"))
            path = m_dir.filePath("no-such.nwfwu");
        else if (message.contains("too large"))
            path = sparseFile("huge.nwfwu", 2600000000);
        else if (!message.startsWith("Firmware not"))
            path = writeFile(QStringLiteral("bad-%1.nwfwu").arg(QTest::currentDataTag()), file);
        chooseFile(f, path);
        RequestLog requests(f.reader());
        f.click("btPNUpdate");
        QVERIFY(f.waitForLog(message, 500));
        QTest::qWait(200);
        QVERIFY(requests.list.isEmpty());
        QCOMPARE(chipButton(f)->text(), QStringLiteral("RFID chip update"));
        QCOMPARE(f.window()->oneShotState, int(MainWindow::GetVersion));
    }

    // A lost, late or doubled answer never makes the reader take a frame or
    // record twice or miss one: the update starts over from its Begin, and
    // success is logged only once the final answer came.
    void answerFaults_data()
    {
        QTest::addColumn<bool>("chip");
        QTest::addColumn<QString>("fault"); // a control command of the simulated reader
        QTest::addColumn<int>("injectAt"); // the OTA Begin answer again after this frame (0: not)
        QTest::addColumn<int>("restarts");
        QTest::newRow("firmware, a frame's answer lost") << false << "lose once 3 code F1" << 0 << 1;
        QTest::newRow("firmware, OTA Begin answered again mid-image") << false << QString() << 3 << 0;
        QTest::newRow("chip, a record's answer lost") << true << "lose once 2 code F7" << 0 << 1;
        QTest::newRow("chip, a record's answer late") << true << "late 1200 once 1 code F7" << 0 << 1;
        QTest::newRow("chip, every answer twice") << true << "twice every 1" << 0 << 0;
        QTest::newRow("chip, the Finish answer lost") << true << "lose once code F8" << 0 << 1;
    }
    void answerFaults()
    {
        QFETCH(bool, chip);
        QFETCH(QString, fault);
        QFETCH(int, injectAt);
        QFETCH(int, restarts);
        WindowFixture f;
        SimOta *module = ota(f);
        ignoreReboot(f);
        QVERIFY(chip ? connectSerial(f) : connectTcp(f));
        QList<QByteArray> sent;
        const QByteArray file = records(12, 150, &sent);
        const QByteArray image = pattern(2000, 9);
        chooseFile(f, writeFile(chip ? "faults.nwfwu" : "faults.bin", chip ? file : image));
        if (!fault.isEmpty())
            QVERIFY(!SimAnswerFaults::of(f.reader())->command(fault.split(' ')).startsWith("usage"));
        RequestLog requests(f.reader());
        requests.onRequest = [&](const QByteArray &r) {
            if (injectAt > 0 && uint8_t(r.at(0)) == 0xF1 && requests.count(0xF1) == injectAt)
                f.injectAnswer(hex("00 F0"));
        };

        f.click(chip ? "btPNUpdate" : "btFlashFirmware");
        QVERIFY(runUntil([&] { return requests.count(0x0A) == 1; }, 20000));
        QTest::qWait(300); // answers still on their way change nothing
        QCOMPARE(f.logCount("attempt 2 of 4"), restarts);
        QVERIFY(!f.logText().contains("Firmware writing error"));
        if (chip) {
            QCOMPARE(module->chipRecords(), sent);
            QCOMPARE(f.logCount(QStringLiteral("Firmware size %1, data written %1").arg(file.size())), 1);
        } else {
            QCOMPARE(module->flashedImage(), image);
            QCOMPARE(f.logCount("Flash erased."), 1 + restarts);
            QCOMPARE(f.logCount("Firmware flashed."), 1);
        }
        QCOMPARE(requests.count(0x0A), 1);
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
    }

    // Abort while the reader erases: its late answer is only logged.
    void abortWhileTheEraseRuns()
    {
        WindowFixture f;
        ota(f)->setEraseTime(800);
        QVERIFY(connectTcp(f));
        chooseFile(f, writeFile("erase.bin", pattern(600)));
        int answers = 0;
        QObject::connect(f.reader(), &SimReader::frameSent, [&] { ++answers; });
        f.click("btFlashFirmware");
        QTest::qWait(100);
        f.click("btFlashFirmware");
        QVERIFY(f.logText().contains("Flash firmware aborted."));
        QVERIFY(runUntil([&] { return answers == 1; }, 3000));
        QTest::qWait(300);
        QVERIFY(!f.logText().contains("Flash erased."));
        QVERIFY(!f.logText().contains("Writing firmware..."));
        QCOMPARE(f.window()->oneShotState, int(MainWindow::Idle));
        QVERIFY(f.window()->tcpConnected);
    }

    // The link going away ends the update at once, with a message.
    void linkLossEndsTheUpdate_data()
    {
        QTest::addColumn<bool>("chip");
        QTest::newRow("firmware over TCP") << false;
        QTest::newRow("chip over the pty") << true;
    }
    void linkLossEndsTheUpdate()
    {
        QFETCH(bool, chip);
        WindowFixture f;
        ota(f);
        QVERIFY(chip ? connectSerial(f) : connectTcp(f));
        chooseFile(f, chip ? writeFile("drop.nwfwu", records(20, 100)) : writeFile("drop.bin", pattern(5000)));
        SimAnswerFaults::of(f.reader())->dropLinkAfter(4);
        f.click(chip ? "btPNUpdate" : "btFlashFirmware");
        QVERIFY(f.waitForLog("Flash firmware aborted.", chip ? 2000 : 6000));
        const QString log = f.logText();
        QVERIFY(log.indexOf("Connection to the device lost.") < log.indexOf("Flash firmware aborted."));
        QTest::qWait(1000);
        QVERIFY(!f.logText().contains("Repeating last frame"));
        QVERIFY(!f.logText().contains("Timeout"));
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
        QVERIFY(!f.window()->linkOpen());
    }

    // While an update runs, no other device action starts; Abort stays.
    void oneWorkflowAtATime()
    {
        WindowFixture f;
        SimOta *module = ota(f);
        ignoreReboot(f);
        QVERIFY(connectSerial(f));
        f.reader()->setAnswerDelay(20);
        QList<QByteArray> sent;
        chooseFile(f, writeFile("busy.nwfwu", records(40, 64, &sent)));
        RequestLog requests(f.reader());
        QStringList enabled;
        QString refusals;
        requests.onRequest = [&](const QByteArray &r) {
            if (uint8_t(r.at(0)) != 0xF7 || requests.count(0xF7) != 5)
                return;
            for (const char *name :
                 {"btPollingConfiguration", "btUartConfiguration", "btSleepConfiguration", "btDownloadConfig",
                  "btUploadConfig", "btRestartDevice", "btFlashFirmware", "btReadNetwork", "btWriteNetwork",
                  "btWriteAddressTag", "btLoopTest", "btStartPolling", "btCommnadExecute", "btScanRs485"}) {
                if (f.widget<QWidget>(name)->isEnabled())
                    enabled << name;
            }
            if (!chipButton(f)->isEnabled())
                enabled << "not btPNUpdate";
            QMetaObject::invokeMethod(f.window(), "on_btPollingConfiguration_clicked");
            f.window()->updateConfigSignal(QByteArrayLiteral("{}"));
            refusals = f.logText();
        };
        f.click("btPNUpdate");
        QVERIFY(runUntil([&] { return requests.count(0x0A) == 1; }, 10000));
        QCOMPARE(enabled, QStringList());
        QCOMPARE(refusals.count("Please wait: the RFID chip update is still running."), 2);
        QVERIFY(refusals.contains("The new configuration was not uploaded."));
        QCOMPARE(module->chipRecords(), sent);
        QCOMPARE(requests.count(0xE0), 0);
        QVERIFY(f.widget<QWidget>("btPollingConfiguration")->isEnabled());
    }
};

QTEST_MAIN(TestFirmware)
#include "tst_firmware.moc"
