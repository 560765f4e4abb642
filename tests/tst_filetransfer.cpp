// Moving config.json between the reader and the PC from the window: the
// download to a file, the upload from a file and its restart, over the pty
// and over TCP, with the reader's file system checked byte for byte.
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>

#include <QPushButton>

#include "sim/simfaults.h"
#include "sim/simfiles.h"
#include "support/requestlog.h"
#include "support/windowfixture.h"

namespace {

QByteArray hex(const char *t)
{
    return WindowFixture::hex(t);
}

QByteArray patterned(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 31 + 7) & 0xFF);
    return b;
}

} // namespace

class TestFileTransfer : public QObject
{
    Q_OBJECT
private slots:
    void downloadToFile_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<int>("size");
        QTest::newRow("pty, 5000 bytes with zeros") << false << 5000;
        QTest::newRow("tcp, 5000 bytes with zeros") << true << 5000;
        QTest::newRow("pty, empty file") << false << 0;
    }
    void downloadToFile()
    {
        QFETCH(bool, tcp);
        QFETCH(int, size);
        WindowFixture f;
        QVERIFY(tcp ? f.connectTcp() : f.connectSerial());
        const QByteArray content = patterned(size);
        f.reader()->files().setFile("config.json", content);
        QTemporaryDir dir;
        const QString target = dir.filePath("saved.json");
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("previous content that is longer than nothing");
        old.close();
        f.window()->fileChooser = [&](const QString &caption, const QString &filter, bool save) {
            return caption == "Save json" && filter == "Export file (*.json)" && save ? target : QString();
        };
        RequestLog requests(f.reader(), true);
        f.click("btDownloadConfig");
        QVERIFY(f.waitForLog(QStringLiteral("File closed. Size %1 bytes.").arg(size), 20000));
        QVERIFY(f.logText().contains("Saving to file " + target + "..."));
        QVERIFY(f.logText().contains("File openned. Downloading..."));
        QVERIFY(f.logText().contains("End of file. Closing the file..."));
        QCOMPARE(requests.withCode(0xE0), QList<QByteArray> {hex("E0 00 63 6F 6E 66 69 67 2E 6A 73 6F 6E")});
        QFile saved(target);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), content);
        QCOMPARE(f.window()->oneShotState, int(MainWindow::Idle));
        QVERIFY(!f.window()->oneShotTimer->isActive());
        // The chain is kept out of the protocol log.
        QVERIFY(!f.logText().contains("[TX] - FREAD"));
    }

    void downloadFailures()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        f.window()->fileChooser = [](const QString &, const QString &, bool) { return QString(); };
        f.click("btDownloadConfig");
        QVERIFY(f.logText().contains("Please enter correct file name!"));

        // A file that cannot be written is reported, not lost in silence.
        f.window()->fileChooser
            = [](const QString &, const QString &, bool) { return QStringLiteral("/nonexistent-folder/x.json"); };
        f.click("btDownloadConfig");
        QVERIFY(f.waitForLog("Unable to save the file /nonexistent-folder/x.json", 10000));

        // A file far too large for a configuration is not read, nor sent.
        QTemporaryDir dir;
        QFile huge(dir.filePath("huge.json"));
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(2600000000));
        huge.close();
        RequestLog uploads(f.reader(), true);
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return huge.fileName(); };
        f.click("btUploadConfig");
        QVERIFY(f.waitForLog("File is too large (2600000000 bytes, at most 1048576), nothing uploaded."));
        QTest::qWait(200);
        QVERIFY(uploads.list.isEmpty());

        // Reading stops at what a configuration can be: a larger file (or a
        // reader that never says it has ended) is not taken in without end.
        // (Waited for without qWait's naps: some 500 reads.)
        f.reader()->files().setReadChunkSize(2000);
        f.reader()->files().setFile("config.json", patterned(1024 * 1024 + 1));
        const QString never = dir.filePath("never.json");
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return never; };
        f.click("btDownloadConfig");
        QElapsedTimer clock;
        clock.start();
        while (f.window()->runningWorkflow() != MainWindow::Workflow::None && clock.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QVERIFY(f.logText().contains("The file on the device is larger than 1048576 bytes."));
        QVERIFY(f.logText().contains("Downloading config.json failed."));
        QVERIFY(!QFile::exists(never) && f.window()->transferBuffer.isEmpty());

        // An error answer stops the chain where it is.
        RequestLog requests(f.reader(), true);
        f.reader()->failCommand(0xE1, 0x0204);
        f.window()->fileChooser
            = [](const QString &, const QString &, bool) { return QStringLiteral("/tmp/never.json"); };
        f.click("btDownloadConfig");
        QVERIFY(f.waitForLog("Error 0x0204 received for command - FREAD"));
        QTest::qWait(300);
        QCOMPARE(requests.count(0xE1), 1);
        QCOMPARE(f.window()->oneShotState, int(MainWindow::FileReading));
        QVERIFY(!f.window()->oneShotTimer->isActive());
    }

    void uploadChunks_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("chunks");
        QTest::newRow("empty") << 0 << QList<int> {0};
        QTest::newRow("128") << 128 << QList<int> {128};
        QTest::newRow("129") << 129 << QList<int> {128, 1};
    }
    void uploadChunks()
    {
        QFETCH(int, size);
        QFETCH(QList<int>, chunks);
        WindowFixture f;
        QVERIFY(f.connectSerial());
        QTemporaryDir dir;
        const QString source = dir.filePath("upload.json");
        const QByteArray content = patterned(size);
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        f.window()->fileChooser = [&](const QString &caption, const QString &filter, bool save) {
            return caption == "Select json file" && filter == "Import file (*.json)" && !save ? source : QString();
        };
        RequestLog requests(f.reader(), true);
        f.click("btUploadConfig");
        QVERIFY(f.logText().contains(QStringLiteral("File size %1 bytes.").arg(size)));
        QVERIFY(f.waitForLog("File closed. Restarting...", 20000));
        QCOMPARE(requests.withCode(0xE0), QList<QByteArray> {hex("E0 01 63 6F 6E 66 69 67 2E 6A 73 6F 6E")});
        QList<int> sent;
        for (const QByteArray &w : requests.withCode(0xE2))
            sent << w.size() - 1;
        QCOMPARE(sent, chunks);
        QVERIFY(QTest::qWaitFor([&] { return requests.count(0x0A) == 1; }, 2000));
        QCOMPARE(f.reader()->files().configFile(), content);
    }

    // After the upload and the restart, answers that nobody asked for (a
    // repeat, a reader that misbehaves) are only logged: the user's file is
    // not overwritten, no FREAD chain starts.
    void uploadThenRestartAndReconnect()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        QTemporaryDir dir;
        const QString source = dir.filePath("mine.json");
        const QByteArray content = QStringLiteral("{\n    \"text\": \"Grüße\"\n}\n").toUtf8();
        QFile file(source);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();
        w->fileChooser = [&](const QString &, const QString &, bool) { return source; };
        f.click("btUploadConfig");
        QVERIFY(f.waitForLog("Restarting the device. Please wait..", 10000));
        w->statusDetailLabel->clear();
        QVERIFY(QTest::qWaitFor([&] { return w->statusDetailLabel->text() == "Version:2.38"; }, 15000));
        QVERIFY(w->serial.isOpen());
        QCOMPARE(f.reader()->files().configFile(), content);

        QTest::qWait(150); // the request for log lines is answered
        RequestLog requests(f.reader(), true);
        f.injectAnswer(hex("00 E3"));
        for (int i = 0; i < 20; ++i)
            f.injectAnswer(hex("00 E1 41 42 43"));
        f.injectAnswer(hex("00 E2"));
        QTest::qWait(300);
        QVERIFY(requests.list.isEmpty());
        QVERIFY(!f.logText().contains("File closed. Size"));
        QVERIFY(w->transferBuffer.isEmpty());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
        // An FOPEN sent from the console is answered: the timer stops.
        w->oneShotTimer->start(3000);
        f.injectAnswer(hex("00 E0"));
        QVERIFY(QTest::qWaitFor([&] { return !w->oneShotTimer->isActive(); }, 2000));
    }

    void uploadOverTcpReconnects()
    {
        WindowFixture f;
        QVERIFY(f.connectTcp());
        f.window()->updateConfigSignal(QByteArrayLiteral("{}"));
        QVERIFY(f.waitForLog("Restarting the device. Please wait..", 10000));
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("New TCP client connected") == 2; }, 20000));
        QVERIFY(QTest::qWaitFor([&] { return f.window()->statusDetailLabel->text() == "Version:2.38"; }, 5000));
        QCOMPARE(f.reader()->files().configFile(), QByteArray("{}"));
    }

    // An answer lost, late or doubled never makes the reader take a chunk
    // twice or the PC miss one: the transfer starts over from FOPEN and
    // ends byte-exact, with one "File closed." line.
    void answerFaults_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("fault"); // a control command of the simulated reader
        QTest::newRow("upload, an FWRITE answer lost") << true << false << "lose once 2 code E2";
        QTest::newRow("upload, the FCLOSE answer lost") << true << true << "lose once code E3";
        QTest::newRow("download, an FREAD answer lost") << false << true << "lose once 3 code E1";
        QTest::newRow("download, an FREAD answer late") << false << false << "late 3300 once 2 code E1";
        QTest::newRow("download, an FREAD answer twice") << false << true << "twice once 1 code E1";
    }
    void answerFaults()
    {
        QFETCH(bool, upload);
        QFETCH(bool, tcp);
        QFETCH(QString, fault);
        WindowFixture f;
        QVERIFY(tcp ? f.connectTcp() : f.connectSerial());
        f.reader()->registerCommand(0x0A, [](SimRequest &req) { req.silent(); }); // no restart
        const QByteArray content = patterned(941);
        QTemporaryDir dir;
        const QString local = dir.filePath("local.json");
        if (upload) {
            QFile file(local);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        } else {
            f.reader()->files().setFile("config.json", content);
        }
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return local; };
        QVERIFY(!SimAnswerFaults::of(f.reader())->command(fault.split(' ')).startsWith("usage"));

        f.click(upload ? "btUploadConfig" : "btDownloadConfig");
        QVERIFY(f.waitForLog(upload ? "File closed. Restarting..." : "File closed. Size 941 bytes.", 15000));
        QCOMPARE(f.logCount("attempt 2 of 4"), 1);
        QCOMPARE(f.logCount("File closed."), 1);
        if (upload) {
            QCOMPARE(f.reader()->files().configFile(), content);
        } else {
            QFile saved(local);
            QVERIFY(saved.open(QIODevice::ReadOnly));
            QCOMPARE(saved.readAll(), content);
        }
        QTest::qWait(300); // late or doubled answers still on their way change nothing
        QCOMPARE(f.logCount("File closed."), 1);
        QVERIFY(!f.window()->oneShotTimer->isActive());
    }
};

QTEST_MAIN(TestFileTransfer)
#include "tst_filetransfer.moc"
