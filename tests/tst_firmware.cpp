// Both firmware updates against the simulated reader: the reader image in
// OTA frames (over TCP, and over a pty that goes away after the erase) and
// the RFID chip's record file, with their refusals, aborts and error paths.
#include <QCryptographicHash>
#include <QDir>
#include <QTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include "sim/simfaults.h"
#include "sim/simfiles.h"
#include "sim/simota.h"
#include "sim/simreader.h"
#include "workflows/firmwareupdateworkflow.h"
#include "support/requestlog.h"
#include "support/windowfixture.h"

namespace {

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

} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString writeFile(const QString &name, const QByteArray &content)
    {
        const QString path = m_dir.filePath(name);
        if (!::writeFile(path, content))
            qWarning("cannot write %s", qPrintable(path));
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

    // For the stories that are not about the prescribed waits (after the
    // erase, the port closed, around a restart): each wait lasts at most
    // 500 ms, and the reader is back from a restart before that.
    // imageArrivesWhole keeps the waits whole and checks their lengths.
    static void shortWaits(WindowFixture &f)
    {
        f.window()->link.waitLimitMs = 500;
        f.reader()->setRestartTime(100);
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

    // The first of lines that is not where it must be in the log: each
    // after the one before, a line written "!line" nowhere. Empty when all
    // are.
    static QString misplaced(const QString &log, const QStringList &lines)
    {
        int at = -1;
        for (const QString &line : lines) {
            const bool absent = line.startsWith('!');
            const int where = log.indexOf(line.mid(absent), absent ? 0 : at + 1);
            if (absent != (where < 0))
                return line;
            at = absent ? at : where;
        }
        return QString();
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // ---- reader firmware over TCP -------------------------------------------

    void imageArrivesWhole_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("pty");
        QTest::addColumn<QByteArray>("end"); // OTA End: the size, least significant byte first
        QTest::newRow("1 byte over TCP") << 1 << false << hex("F2 01 00 00 00");
        QTest::newRow("256 bytes over TCP") << 256 << false << hex("F2 00 01 00 00");
        QTest::newRow("300,000 bytes over the pty") << 300000 << true << hex("F2 E0 93 04 00");
    }
    // Over TCP the client waits 4 s after the erase; over a pty the reader
    // leaves the bus after the erase and comes back at the same name, where
    // the client finds it after 6 s and goes on.
    void imageArrivesWhole()
    {
        QFETCH(int, size);
        QFETCH(bool, pty);
        QFETCH(QByteArray, end);
        WindowFixture f;
        SimOta *module = ota(f);
        ignoreReboot(f);
        QVERIFY(pty ? connectByLink(f, m_dir.filePath("ttyFw0")) : connectTcp(f));
        const QByteArray image = pattern(size, quint32(size));
        chooseFile(f, writeFile(QStringLiteral("image-%1.bin").arg(size), image));
        RequestLog requests(f.reader());
        QString captionWhileSending;
        requests.onRequest = [&](const QByteArray &r) {
            if (uint8_t(r.at(0)) == 0xF1 && captionWhileSending.isEmpty())
                captionWhileSending = flashButton(f)->text();
        };
        // The window is not frozen during the wait after the erase (that no
        // other device action starts meanwhile is oneWorkflowAtATime's story).
        int ticksBeforeFrames = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { ticksBeforeFrames += requests.count(0xF1) == 0; });
        tick.start(100);

        f.click("btFlashFirmware");
        // The reader's configuration is backed up first.
        QVERIFY(runUntil([&] { return requests.count(0xF0) == 1; }, 5000));
        QCOMPARE(flashButton(f)->text(), QStringLiteral("Abort..."));
        QCOMPARE(f.window()->oneShotState, int(MainWindow::FlashFirmware));
        QVERIFY(runUntil([&] { return requests.count(0x0A) == 1; }, 30000));

        QCOMPARE(module->flashedImage(), image);
        QCOMPARE(module->flashCount(), 1);
        QCOMPARE(requests.count(0xF1), (size + 255) / 256);
        QCOMPARE(requests.withCode(0xF2), QList<QByteArray> {end});
        QCOMPARE(requests.count(0xF0), 1);
        // Reboot comes last, after the answer to OTA End.
        QCOMPARE(requests.list.last(), hex("0A"));

        const QStringList reopen
            = pty ? QStringList {"Closing the port...", "Opening again..."} : QStringList {"!Closing the port..."};
        const QStringList lines = QStringList {"Firmware file ", "Flash erased."} + reopen
            + QStringList {"Writing firmware...", "Firmware flashed.", "Restarting device..."};
        QCOMPARE(misplaced(f.logText(), lines), QString());
        QVERIFY(requests.timeOfFirst(0xF1) - requests.timeOfFirst(0xF0) >= (pty ? 5900 : 3900));
        // The window kept running through the wait, so the reader was back
        // at its link when the port was opened again.
        QCOMPARE(f.logCount("Unable to open serial port. Trying again.."), 0);
        QVERIFY2(ticksBeforeFrames >= 30, qPrintable(QString::number(ticksBeforeFrames)));
        QCOMPARE(captionWhileSending, QStringLiteral("Abort..."));
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
        QVERIFY(pty ? f.window()->serial.portName().endsWith("ttyFw0") : f.window()->tcpConnected);
        QVERIFY(f.window()->linkOpen());
        if (size != 1)
            return;
        // A second update stopped before the reader confirms its erase says
        // so, whatever the first one erased.
        requests.onRequest = [&](const QByteArray &r) {
            if (r == hex("F0") && requests.count(r) == 2)
                QTest::mouseClick(flashButton(f), Qt::LeftButton);
        };
        f.click("btFlashFirmware");
        QVERIFY(f.waitForLog("The reader did not confirm OTA Begin: it may have erased its flash; check that it "
                             "still starts before you disconnect it.\n",
                             15000));
    }

    // Two readers flashed at once from one thread, without a window: each
    // session's waits (the erase, its port closed and opened again) are
    // its own timers, so both updates run side by side to the end.
    void twoSessionsAtOnce()
    {
        SimReader readers[2];
        ReaderSession sessions[2];
        const QByteArray images[2] = {pattern(3000), pattern(2000, 7)};
        int flashed[2] = {-1, -1};
        for (int i = 0; i < 2; ++i) {
            SimOta *module = SimOta::of(&readers[i]);
            module->setEraseTime(20);
            module->setReconnectTime(150);
            const QString link = m_dir.filePath(QStringLiteral("ttyTwo%1").arg(i));
            QVERIFY(readers[i].openPty(link));
            QVERIFY(sessions[i].link.openSerial(link, 115200, QSerialPort::NoParity));
            connect(sessions[i].firmware, &ReaderWorkflow::ended, [&flashed, i](bool ok) { flashed[i] = ok; });
        }
        for (int i = 0; i < 2; ++i)
            sessions[i].firmware->start(images[i]);
        QVERIFY(QTest::qWaitFor([&] { return flashed[0] >= 0 && flashed[1] >= 0; }, 20000));
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(flashed[i], 1);
            QCOMPARE(SimOta::of(&readers[i])->flashedImage(), images[i]);
        }
    }

    // However an update ends early (the user's Abort, also while the reader
    // erases; an error answer to a frame, a record, OTA End or PN OTA Begin;
    // the link lost), it ends at once and for good: the lines in this order,
    // nothing more goes out, not even a repeat, and the reader flashes nothing.
    void endsEarly_data()
    {
        QTest::addColumn<bool>("chip"); // the chip over the pty, else the firmware over TCP
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("frames"); // frames (records) the reader got; -1: not counted
        QTest::addColumn<QStringList>("lines"); // "!line": not in the log
        const QString hint = "Firmware writing error - please restart the board and try again";
        QTest::newRow("firmware, Abort at frame 20")
            << false << "abort 20" << 20 << QStringList {"Flash firmware aborted."};
        // The chip's abort says it without the full stop of a failure.
        QTest::newRow("chip, Abort at record 5")
            << true << "abort 5" << 5 << QStringList {"Flash firmware aborted", "!Flash firmware aborted."};
        QTest::newRow("firmware, Abort while the reader erases")
            << false << "abort 0" << 0
            << QStringList {"Flash firmware aborted.", "!Flash erased.", "!Writing firmware..."};
        QTest::newRow("firmware, error answer to frame 3")
            << false << "error 3" << 3
            << QStringList {"Error 0xF0EE received for command - OTA - Frame", hint, "Flash firmware aborted."};
        QTest::newRow("chip, error answer to record 2")
            << true << "error 2" << 2
            << QStringList {"Error 0xF6EE received for command - PN OTA - Frame", hint, "Flash firmware aborted."};
        QTest::newRow("firmware, error answer to OTA End")
            << false << "fail F2" << 24
            << QStringList {"Error 0x0101 received for command - OTA - End", hint, "Flash firmware aborted.",
                            "!Firmware flashed."};
        QTest::newRow("chip, error answer to PN OTA Begin")
            << true << "fail F6" << 0
            << QStringList {"Error 0x0101 received for command - PN OTA - Begin", hint, "Flash firmware aborted."};
        QTest::newRow("firmware, link lost")
            << false << "drop 4" << -1 << QStringList {"Connection to the device lost.", "Flash firmware aborted."};
        QTest::newRow("chip, link lost") << true << "drop 4" << -1
                                         << QStringList {"Connection to the device lost.", "Flash firmware aborted."};
    }
    void endsEarly()
    {
        QFETCH(bool, chip);
        QFETCH(QString, how);
        QFETCH(int, frames);
        QFETCH(QStringList, lines);
        WindowFixture f;
        SimOta *module = ota(f);
        const uint8_t begin = chip ? 0xF6 : 0xF0;
        const int at = how.section(' ', 1).toInt(nullptr, how.startsWith("fail") ? 16 : 10);
        if (how.startsWith("error"))
            chip ? module->setRecordFault(at, SimOta::Fault::Error) : module->setFrameFault(at, SimOta::Fault::Error);
        else if (how.startsWith("fail"))
            f.reader()->failCommand(uint8_t(at), 0x0101);
        QVERIFY(chip ? connectSerial(f) : connectTcp(f));
        shortWaits(f);
        chooseFile(f, chip ? writeFile("early.nwfwu", records(40, 100)) : writeFile("early.bin", pattern(6000)));
        if (how.startsWith("drop"))
            SimAnswerFaults::of(f.reader())->dropLinkAfter(at);
        RequestLog requests(f.reader());
        requests.onRequest = [&](const QByteArray &r) {
            const uint8_t code = at == 0 ? begin : uint8_t(begin + 1);
            if (how.startsWith("abort") && uint8_t(r.at(0)) == code && requests.count(code) == qMax(at, 1))
                QTest::mouseClick(chip ? chipButton(f) : flashButton(f), Qt::LeftButton);
        };
        f.click(chip ? "btPNUpdate" : "btFlashFirmware");
        QVERIFY(f.waitForLog("Flash firmware aborted", 8000));
        QTest::qWait(1000); // longer than the answer timer of a frame
        lines += QStringList {"!Repeating last frame", "!Timeout"};
        QCOMPARE(misplaced(f.logText(), lines), QString());
        if (frames >= 0)
            QCOMPARE(requests.count(uint8_t(begin + 1)), frames);
        QCOMPARE(requests.count(uint8_t(begin + 2)), how == "fail F2" ? 1 : 0); // OTA End, PN OTA Finish
        QCOMPARE(module->flashCount(), 0);
        QVERIFY(module->chipRecords().isEmpty());
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
        QCOMPARE(f.window()->linkOpen(), !how.startsWith("drop"));
    }

    void sixFailedReopensEndTheUpdate()
    {
        WindowFixture f;
        SimOta *module = ota(f);
        module->setReconnectTime(-1);
        QVERIFY(connectByLink(f, m_dir.filePath("ttyFw1")));
        shortWaits(f);
        chooseFile(f, writeFile("gone.bin", pattern(600)));
        RequestLog requests(f.reader());
        f.click("btFlashFirmware");
        QVERIFY(f.waitForLog("Unable to open serial port. Please try to reconnect device and start again.", 15000));
        QTest::qWait(700);
        QCOMPARE(f.logCount("Unable to open serial port. Trying again.."), 5);
        QVERIFY(!f.logText().contains("Writing firmware..."));
        QCOMPARE(requests.withCode(0xF0), QList<QByteArray> {hex("F0")});
        QCOMPARE(requests.count(0xF1), 0);
        QVERIFY(!f.window()->serial.isOpen());
        QVERIFY2(notEnded(f).isEmpty(), qPrintable(notEnded(f)));
        QCOMPARE(f.widget<QPushButton>("btSerialConnect")->text(), QStringLiteral("Connect"));
    }

    // ---- RFID chip -----------------------------------------------------------

    // The whole story, up to the reader's restart after PN OTA Finish: every
    // record goes as it is, the empty ones and the largest one frame carries.
    void chipRecordsSentAsTheyAreAndRestart()
    {
        WindowFixture f;
        SimOta *module = ota(f);
        QVERIFY(connectSerial(f));
        shortWaits(f);
        const QByteArray big = pattern(2060, 3);
        const QList<QByteArray> bodies = {hex("11 22 0A 03"), QByteArray(), big, hex("33"), QByteArray()};
        QByteArray file;
        for (const QByteArray &body : bodies)
            file += record(body);
        chooseFile(f, writeFile("records.nwfwu", file));
        // A second answer to the same Reboot does not restart anything again.
        SimAnswerFaults::of(f.reader())->command({"twice", "once", "code", "0A"});
        RequestLog requests(f.reader());
        f.click("btPNUpdate");
        QVERIFY(f.waitForLog("Firmware file version detected 03.0A", 100));
        QVERIFY(runUntil([&] { return requests.count(0xF6) == 1; }, 5000)); // after the backup
        QCOMPARE(chipButton(f)->text(), QStringLiteral("Abort..."));
        QVERIFY(f.waitForLog("Restarting the device. Please wait..", 3000));
        QVERIFY(QTest::qWaitFor([&] { return f.window()->statusDetailLabel->text().startsWith("Version:"); }, 6000));

        QList<QByteArray> expected {hex("F6")};
        for (const QByteArray &body : bodies)
            expected << hex("F7") + body;
        QCOMPARE(requests.list.mid(requests.list.indexOf(hex("F6")), 8), expected << hex("F8") << hex("0A"));
        QCOMPARE(module->chipRecords(), bodies);
        QVERIFY(f.logText().contains(QStringLiteral("Firmware size %1, data written %1").arg(file.size())));
        QVERIFY(f.logText().contains("Restarting device..."));
        QTest::qWait(300);
        QCOMPARE(f.logCount("Restarting the device. Please wait.."), 1);
        // The restart closed and reopened the link.
        QCOMPARE(f.window()->oneShotState, int(MainWindow::GetVersion));
    }

    // Nothing goes out for a file that cannot be sent whole (OTA Begin would
    // erase the reader), with an RS485 address byte in every frame too (a
    // record may be one byte shorter).
    void refused_data()
    {
        QTest::addColumn<bool>("chip");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");
        const QString tooLarge = "Firmware file is too large (2600000000 bytes, at most 33554432), nothing to flash!";
        const QString refused = "Firmware file refused: ";
        QTest::newRow("firmware, empty file") << false << QByteArray() << "Firmware file is empty, nothing to flash!";
        QTest::newRow("firmware, missing file") << false << QByteArray() << "Unable to open firmware file!";
        QTest::newRow("firmware, dialog cancelled") << false << QByteArray() << "Firmware not selected!";
        QTest::newRow("chip, five bytes")
            << true << hex("00 03 01 02 03") << refused + "the file holds 5 bytes, a chip firmware file has at least 6";
        QTest::newRow("chip, one byte past the end")
            << true << hex("00 07 01 02 03 04 05 06")
            << refused + "record 1 (offset 0) announces 7 bytes, only 6 follow";
        QTest::newRow("chip, second record two bytes past the end")
            << true << record(hex("01 02 03 04")) + hex("00 03 AA")
            << refused + "record 2 (offset 6) announces 3 bytes, only 1 follow";
        QTest::newRow("chip, lone byte at the end")
            << true << record(hex("01 02 03 04")) + hex("07")
            << refused + "the file ends inside the length of record 2 (offset 6)";
        QTest::newRow("chip, record too long")
            << true << record(pattern(2061))
            << refused + "record 1 (offset 0) holds 2061 bytes, one frame carries at most 2060";
        QTest::newRow("chip, record too long for RS485")
            << true << record(pattern(2060))
            << refused + "record 1 (offset 0) holds 2060 bytes, one frame carries at most 2059";
        QTest::newRow("chip, 2.6 GB file") << true << QByteArray() << tooLarge;
        // The largest file is taken: its question is asked (and answered no).
        QTest::newRow("firmware, 32 MiB file")
            << false << QByteArray() << "Firmware update cancelled: nothing was sent.";
    }
    void refused()
    {
        QFETCH(bool, chip);
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
            path = m_dir.filePath("no-such-file");
        else if (!message.startsWith("Firmware not"))
            path = writeFile(QStringLiteral("bad-%1").arg(QTest::currentDataTag()), file);
        if (message.contains("too large") || message.contains("cancelled")) // files that take no room on the disk
            QVERIFY(QFile(path).resize(message.contains("cancelled") ? 32 * 1024 * 1024 : 2600000000));
        f.window()->askQuestion = [](const QString &, const QString &) { return false; };
        chooseFile(f, path);
        RequestLog requests(f.reader());
        f.click(chip ? "btPNUpdate" : "btFlashFirmware");
        QVERIFY(f.waitForLog(message + "\n", 500));
        QTest::qWait(200);
        QVERIFY(requests.list.isEmpty());
        QCOMPARE(flashButton(f)->text(), QStringLiteral("Flash firmware"));
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
        QTest::addColumn<int>("injectAt"); // injected comes before the answer to this frame (0: not)
        QTest::addColumn<QByteArray>("injected");
        QTest::addColumn<int>("restarts");
        QTest::newRow("firmware, a frame's answer lost")
            << false << "answers lose once 3 code F1" << 0 << QByteArray() << 1;
        QTest::newRow("firmware, OTA Begin answered again mid-image") << false << QString() << 3 << hex("00 F0") << 0;
        // An error answer to another request (a tag count asked for from the
        // console) leaves the update alone.
        QTest::newRow("firmware, an error to another request mid-image")
            << false << QString() << 3 << hex("FF 02 0E EE") << 0;
        QTest::newRow("chip, an error to another request") << true << QString() << 3 << hex("FF 02 0E EE") << 0;
        QTest::newRow("chip, a record's answer lost")
            << true << "answers lose once 2 code F7" << 0 << QByteArray() << 1;
        QTest::newRow("chip, a record's answer late")
            << true << "answers late 1200 once 1 code F7" << 0 << QByteArray() << 1;
        QTest::newRow("chip, every answer twice") << true << "answers twice every 1" << 0 << QByteArray() << 0;
        QTest::newRow("chip, the Finish answer lost") << true << "answers lose once code F8" << 0 << QByteArray() << 1;
        // The chip takes its time to program a record, as a real one does:
        // the copy lands before the next record goes out, even on a busy
        // machine.
        QTest::newRow("chip, an answer twice 2 ms apart, a later record lost")
            << true << "answers twice-gap 2 once 1 code F7; requests lose once 3 code F7" << 0 << QByteArray() << 1;
    }
    void answerFaults()
    {
        QFETCH(bool, chip);
        QFETCH(QString, fault);
        QFETCH(int, injectAt);
        QFETCH(QByteArray, injected);
        QFETCH(int, restarts);
        WindowFixture f;
        SimOta *module = ota(f);
        if (!fault.contains("twice"))
            module->setChipTime(0); // the rows are about the faults, not the chip's time
        else if (fault.contains("twice-gap"))
            module->setChipTime(200); // the wait before the next record (20 ms) stays well past the copy's gap
        ignoreReboot(f);
        QVERIFY(chip ? connectSerial(f) : connectTcp(f));
        shortWaits(f);
        QList<QByteArray> sent;
        const QByteArray file = records(12, 150, &sent);
        const QByteArray image = pattern(2000, 9);
        chooseFile(f, writeFile(chip ? "faults.nwfwu" : "faults.bin", chip ? file : image));
        QVERIFY(f.applyFaults(fault));
        RequestLog requests(f.reader());
        requests.onRequest = [&](const QByteArray &r) {
            const uint8_t frame = chip ? 0xF7 : 0xF1;
            if (injectAt > 0 && uint8_t(r.at(0)) == frame && requests.count(frame) == injectAt)
                f.injectAnswer(injected);
        };

        f.click(chip ? "btPNUpdate" : "btFlashFirmware");
        QVERIFY(runUntil([&] { return requests.count(0x0A) == 1; }, 20000));
        QTest::qWait(300); // answers still on their way change nothing
        // (the backup before the update has its own)
        QCOMPARE(f.logCount(chip ? "starting the RFID chip update again (attempt 2 of 4)"
                                 : "starting the firmware update again (attempt 2 of 4)"),
                 restarts);
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

    // Closing the window while an update or an upload writes to the reader
    // asks first, naming what is at stake; No keeps it running, Yes ends it
    // as cleanly as the protocol allows and says what the reader holds.
    void quittingAsksFirst_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("code"); // of the requests that write
        QTest::addColumn<QString>("question");
        QTest::addColumn<QString>("left");
        QTest::newRow("firmware") << "btFlashFirmware" << 0xF1
                                  << "A firmware update is running: the reader may be left without firmware."
                                  << "The reader's flash was erased and holds at most %1 of 65536 bytes of the new "
                                     "image: it has no working firmware until an update completes.";
        QTest::newRow("chip") << "btPNUpdate" << 0xF7
                              << "An RFID chip update is running: the reader's RFID chip may be left without "
                                 "working firmware."
                              << "The RFID chip has taken at most %1 of 300 records: update it again before "
                                 "relying on it.";
        QTest::newRow("upload") << "btUploadConfig" << 0xE2
                                << "config.json is being uploaded: the reader may be left with an incomplete "
                                   "configuration."
                                << "Uploading config.json failed: the unfinished write (%2 of 30000 bytes) was "
                                   "dropped and the reader keeps the config.json it had.";
    }
    void quittingAsksFirst()
    {
        QFETCH(QString, button);
        QFETCH(int, code);
        QFETCH(QString, question);
        QFETCH(QString, left);
        WindowFixture f;
        MainWindow *w = f.window();
        ota(f);
        QVERIFY(connectTcp(f));
        shortWaits(f);
        const QByteArray old = f.reader()->files().configFile();
        const QByteArray content = code == 0xF7 ? records(300, 100)
            : code == 0xF1                      ? pattern(65536)
                                                : jsonPattern(30000);
        chooseFile(f, writeFile(QStringLiteral("quit-%1").arg(code), content));
        QStringList asked;
        bool answer = true; // the image and the upload's questions
        w->askQuestion = [&](const QString &title, const QString &text) {
            asked << title + ": " + text;
            return answer;
        };
        RequestLog requests(f.reader());
        f.click(button);
        QVERIFY(runUntil([&] { return requests.count(uint8_t(code)) >= 3; }, 10000));
        answer = false;
        QVERIFY(!w->close());
        QCOMPARE(asked.last(), "Question: " + question + "\n\nQuit anyway?");
        const int before = requests.count(uint8_t(code));
        QVERIFY(runUntil([&] { return requests.count(uint8_t(code)) > before; }, 2000)); // still running

        answer = true;
        QVERIFY(w->close());
        const int sent = requests.count(uint8_t(code));
        QCOMPARE(w->runningWorkflow(), MainWindow::Workflow::None);
        QVERIFY(f.logText().contains(QStringLiteral("Quitting while the ")));
        const QString line = code == 0xF1 ? left.arg(sent * 256)
            : code == 0xF7                ? left.arg(sent)
                                          : left.arg((sent - 1) * 128);
        QCOMPARE(f.logCount(line), 1);
        if (code == 0xE2) {
            QVERIFY(runUntil([&] { return !f.reader()->files().isFileOpen(); }, 2000));
            QCOMPARE(f.reader()->files().configFile(), old);
        }
    }

    // An image goes out only on a yes to a question that names it (size,
    // SHA-256) and what happens to the reader; the reader's configuration is
    // backed up first, and the version it reports after its restart is
    // logged beside the one it had.
    void imageAskedFirst()
    {
        WindowFixture f;
        SimOta *module = ota(f);
        QVERIFY(connectTcp(f));
        shortWaits(f);
        const QByteArray image = pattern(40000, 5);
        chooseFile(f, writeFile("random.bin", image));
        bool yes = false;
        f.window()->askQuestion = [&](const QString &title, const QString &text) {
            f.questions << title + ": " + text;
            return yes;
        };
        RequestLog requests(f.reader());
        f.click("btFlashFirmware");
        QCOMPARE(f.questions,
                 QStringList("Question: Flash this firmware?\n\nFile: random.bin\nSize: 40000 bytes\nSHA-256: "
                             + QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()
                             + "\n\nThe reader's firmware will be erased and replaced. Do not disconnect it."));
        QTest::qWait(200);
        QVERIFY(requests.list.isEmpty());
        QCOMPARE(f.logCount("Firmware update cancelled: nothing was sent."), 1);

        yes = true;
        const QByteArray config = f.reader()->files().configFile();
        f.click("btFlashFirmware");
        QVERIFY(f.waitForLog("Firmware now 2.38 (was 2.38)", 30000));
        QCOMPARE(module->flashedImage(), image);
        const QString folder = f.window()->readerBackupFolder();
        const QStringList backups = QDir(folder).entryList({"*.json"}, QDir::Files);
        QCOMPARE(backups.size(), 1);
        QCOMPARE(fileBytes(folder + "/" + backups.first()), config);
        QVERIFY(f.logText().contains("Backup of config.json (" + QString::number(config.size()) + " bytes) saved as "
                                     + folder + "/" + backups.first()));

        // A backup that cannot be kept is said, and asked about.
        f.window()->backupRoot = writeFile("not-a-folder", "x"); // a file, not a folder
        f.window()->askQuestion = [&](const QString &title, const QString &text) {
            f.questions << title + ": " + text;
            return !text.contains("backed up");
        };
        requests.list.clear();
        f.click("btFlashFirmware");
        QVERIFY(f.waitForLog("Nothing was sent to the reader."));
        QCOMPARE(f.questions.last(),
                 QStringLiteral("Question: The reader's config.json could not be backed up. Go on without a backup?"));
        QCOMPARE(requests.count(0xF0), 0);
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
        QCOMPARE(requests.count(0xE0), 2); // the backup's two readings, nothing more
        QVERIFY(f.widget<QWidget>("btPollingConfiguration")->isEnabled());
    }
};

QTEST_MAIN(TestFirmware)
#include "tst_firmware.moc"
