// Moving config.json between the reader and the PC from the window: the
// download to a file, the upload from a file and its restart, over the pty
// and over TCP, with the reader's file system checked byte for byte.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>

#include "config/configcheck.h"
#include "sim/simfaults.h"
#include "sim/simfiles.h"
#include "sim/simreader.h"
#include "support/requestlog.h"
#include "config/jsontext.h"
#include "support/windowfixture.h"

class TestFileTransfer : public QObject
{
    Q_OBJECT
private slots:
    // config.json both ways over the pty and over TCP, every byte value and
    // the empty file, in chunks of 128 bytes up; the upload restarts the
    // reader, and the window finds it again. Answers nobody asked for after
    // it (a repeat, a reader that misbehaves) are only logged: the user's
    // file is not overwritten, no FREAD chain starts.
    void transfer_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("chunks");
        QTest::newRow("download over the pty, 5000 bytes") << false << false << 5000 << QList<int>();
        QTest::newRow("download over TCP, 5000 bytes") << false << true << 5000 << QList<int>();
        QTest::newRow("download, empty file") << false << false << 0 << QList<int>();
        QTest::newRow("upload, the smallest document") << true << false << 8 << QList<int> {8};
        QTest::newRow("upload, 128 bytes") << true << false << 128 << QList<int> {128};
        QTest::newRow("upload over TCP, 129 bytes") << true << true << 129 << QList<int> {128, 1};
    }
    void transfer()
    {
        QFETCH(bool, upload);
        QFETCH(bool, tcp);
        QFETCH(int, size);
        QFETCH(QList<int>, chunks);
        WindowFixture f;
        MainWindow *w = f.window();
        QVERIFY(tcp ? f.connectTcp() : f.connectSerial());
        const QByteArray content = upload ? jsonPattern(size) : pattern(size);
        QTemporaryDir dir;
        const QString local = dir.filePath("local.json");
        QVERIFY(writeFile(local, upload ? content : QByteArray("previous content that is longer than nothing")));
        if (!upload)
            f.reader()->files().setFile("config.json", content);
        w->fileChooser = [&](const QString &caption, const QString &filter, bool save) {
            const bool asked = upload ? caption == "Select json file" && filter == "Import file (*.json)" && !save
                                      : caption == "Save json" && filter == "Export file (*.json)" && save;
            return asked ? local : QString();
        };
        RequestLog requests(f.reader(), true);
        // The backup goes to the connected reader's folder, whatever the
        // address field says by now.
        const QString linkFolder = tcp ? QStringLiteral("127.0.0.1_%1").arg(w->tcpSocket->peerPort()) : QString();
        if (tcp)
            w->findChild<QLineEdit *>("leDeviceAddr")->setText("192.0.2.1");
        f.click(upload ? "btUploadConfig" : "btDownloadConfig");
        QVERIFY(f.waitForLog(upload ? QStringLiteral("File closed. Restarting...")
                                    : QStringLiteral("File closed. Size %1 bytes.").arg(size),
                             20000));
        if (upload && tcp)
            QCOMPARE(QDir(w->backupRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList {linkFolder});
        // A download reads the file twice; an upload backs up the reader's
        // file (read twice), writes and reads it back.
        const QByteArray read = hex("E0 00") + "config.json";
        QCOMPARE(requests.withCode(0xE0),
                 upload ? (QList<QByteArray> {read, read, hex("E0 01") + "config.json", read})
                        : (QList<QByteArray> {read, read}));
        // The chain is kept out of the protocol log.
        QVERIFY(!f.logText().contains(upload ? "[TX] - FWRITE" : "[TX] - FREAD"));
        if (!upload) {
            QCOMPARE(fileBytes(local), content);
            QCOMPARE(w->oneShotState, int(MainWindow::Idle));
            QVERIFY(!w->oneShotTimer->isActive());
            return;
        }
        QVERIFY(f.logText().contains(QStringLiteral("File size %1 bytes.").arg(size)));
        QList<int> sent;
        for (const QByteArray &chunk : requests.withCode(0xE2))
            sent << chunk.size() - 1;
        QCOMPARE(sent, chunks);
        QCOMPARE(f.reader()->files().configFile(), content);
        QVERIFY(f.waitForLog("Restarting the device. Please wait..", 10000));
        w->statusDetailLabel->clear();
        QVERIFY(QTest::qWaitFor([&] { return w->statusDetailLabel->text() == "Version:2.38"; }, 15000));
        QVERIFY(w->linkOpen());
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Connected"));

        QTest::qWait(150); // the request for log lines is answered
        requests.list.clear();
        const QByteArray readBack = w->transferBuffer;
        const int saved = f.logCount("File closed. Size");
        f.injectAnswer(hex("00 E3"));
        for (int i = 0; i < 20; ++i)
            f.injectAnswer(hex("00 E1 41 42 43"));
        f.injectAnswer(hex("00 E2"));
        QTest::qWait(300);
        QVERIFY(requests.list.isEmpty());
        QCOMPARE(f.logCount("File closed. Size"), saved);
        QCOMPARE(w->transferBuffer, readBack);
        QCOMPARE(fileBytes(local), content);
        // An FOPEN sent from the console is answered: the timer stops.
        w->oneShotTimer->start(3000);
        f.injectAnswer(hex("00 E0"));
        QVERIFY(QTest::qWaitFor([&] { return !w->oneShotTimer->isActive(); }, 2000));
    }

    // A session without a window (as a terminal tool runs it) moves the
    // file both ways on its own: the upload is read back, the reader
    // restarts onto it, the session opens the port again and asks for the
    // version, and a download then gives back the bytes sent.
    void withoutWindow()
    {
        SimReader reader;
        reader.setRestartTime(100);
        QTemporaryDir dir;
        QVERIFY(reader.openPty(dir.filePath("tty")));
        ReaderSession session;
        session.link.waitLimitMs = 200; // the 3 s after the restart
        QVERIFY(session.link.openSerial(dir.filePath("tty"), 115200, QSerialPort::NoParity));
        QStringList log;
        connect(&session, &ReaderSession::logLine, [&](const QString &line) { log << line; });
        QList<bool> ended;
        connect(session.configTransfer, &ReaderWorkflow::ended, [&](bool ok) { ended << ok; });
        QByteArray downloaded;
        connect(session.configTransfer, &ConfigTransferWorkflow::downloaded,
                [&](int, const QByteArray &document) { downloaded = document; });

        const QByteArray content = jsonPattern(300);
        session.configTransfer->startUpload(content);
        QVERIFY(QTest::qWaitFor([&] { return !session.readerVersion.isEmpty(); }, 10000));
        QCOMPARE(ended, QList<bool> {true});
        QCOMPARE(reader.files().configFile(), content);
        QVERIFY(log.contains("Restarting the device. Please wait.."));

        session.configTransfer->startDownload(MainWindow::SaveToFile);
        QVERIFY(QTest::qWaitFor([&] { return ended.size() == 2; }, 10000));
        QCOMPARE(ended.last(), true);
        QCOMPARE(downloaded, content);
    }

    void downloadFailures()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial() && f.settle());
        f.window()->fileChooser = [](const QString &, const QString &, bool) { return QString(); };
        f.click("btDownloadConfig");
        QVERIFY(f.logText().contains("Please enter correct file name!"));
        // A cancelled upload says nothing; a name that is there but empty
        // is remarked on as for the download.
        const QString before = f.logText();
        f.click("btUploadConfig");
        QCOMPARE(f.logText(), before);
        f.window()->fileChooser = [](const QString &, const QString &, bool) { return QString(""); };
        f.click("btUploadConfig");
        QCOMPARE(f.logCount("Please enter correct file name!"), 2);

        // (A file that cannot be written is the file-saving suite's story.)
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
        f.reader()->files().setFile("config.json", pattern(1024 * 1024 + 1));
        const QString never = dir.filePath("never.json");
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return never; };
        f.click("btDownloadConfig");
        QVERIFY(runUntil([&] { return f.window()->runningWorkflow() == MainWindow::Workflow::None; }, 20000));
        QVERIFY(f.logText().contains("The file on the device is larger than 1048576 bytes."));
        QCOMPARE(f.logCount("Downloading config.json failed: the reader's config.json is unchanged."), 1);
        QVERIFY(!QFile::exists(never) && f.window()->transferBuffer.isEmpty());
    }

    // An error answer ends the transfer with one line that names it and
    // what the reader holds, and leaves no file open on the reader: a write
    // not yet closed is dropped, so the reader keeps its old config.json.
    void errorAnswerEndsTheTransfer_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("after"); // answers of that code let through first
        QTest::addColumn<QString>("ending");
        QTest::newRow("download, FREAD") << false << 0xE1 << 1
                                         << "Downloading config.json failed: the reader answered FREAD with error "
                                            "0x0EEE; the reader's config.json is unchanged.";
        QTest::newRow("upload, the second FWRITE")
            << true << 0xE2 << 1
            << "Uploading config.json failed: the reader answered FWRITE with error 0x0EEE; the unfinished write "
               "(128 of 300 bytes) was dropped and the reader keeps the config.json it had.";
        QTest::newRow("upload, reading it back") << true << 0xE1 << 0
                                                 << "Uploading config.json failed: the reader answered FREAD with "
                                                    "error 0x0EEE; config.json was written in full (300 bytes) but "
                                                    "not read back as sent.";
    }
    void errorAnswerEndsTheTransfer()
    {
        QFETCH(bool, upload);
        QFETCH(int, code);
        QFETCH(int, after);
        QFETCH(QString, ending);
        WindowFixture f;
        QVERIFY(f.connectSerial() && f.settle());
        const QByteArray old = f.reader()->files().configFile();
        QTemporaryDir dir;
        const QString local = dir.filePath("local.json");
        QVERIFY(writeFile(local, jsonPattern(300)));
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return local; };
        RequestLog requests(f.reader());
        int base = upload ? -1 : 0; // an upload counts from its write on, after the backup
        requests.onRequest = [&](const QByteArray &r) {
            if (r == hex("E0 01") + "config.json")
                base = requests.count(uint8_t(code));
            if (base >= 0 && uint8_t(r.at(0)) == code && requests.count(uint8_t(code)) - base == after + 1)
                f.reader()->failCommand(quint8(code), 0x0EEE);
        };
        f.click(upload ? "btUploadConfig" : "btDownloadConfig");
        QVERIFY(f.waitForLog(ending, 5000));
        QVERIFY(runUntil([&] { return !f.reader()->files().isFileOpen(); }, 2000));
        QCOMPARE(f.window()->runningWorkflow(), MainWindow::Workflow::None);
        QCOMPARE(f.logCount(" failed"), 1);
        if (upload && code == 0xE2)
            QCOMPARE(f.reader()->files().configFile(), old);
        QVERIFY(!f.logText().contains("Restarting"));
    }

    // A file goes up only as one JSON object, after a backup of what the
    // reader holds, and on the user's yes to each question: another
    // hardware generation, sections it lacks, and what it changes. "Restore
    // configuration..." puts a backup back through the same questions.
    void uploadGuards_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<int>("yeses"); // questions answered yes before a no (-1: all)
        QTest::addColumn<QStringList>("asked"); // the first questions, exactly
        const QByteArray r4 = SimFileSystem::configDocument(SimFileSystem::ConfigR4);
        const QByteArray r5 = SimFileSystem::configDocument(SimFileSystem::ConfigR5);
        const QString generation = "Question: The file is for an R5 reader (\"hardware_version\": 12), and this "
                                   "reader is an R4. Upload it all the same?";
        QTest::newRow("not JSON") << QByteArray("this is not json") << -1 << QStringList();
        QTest::newRow("JSON, not an object") << QByteArray("[1, 2]") << -1 << QStringList();
        QTest::newRow("an R5 document, no") << r5 << 0 << QStringList {generation};
        QTest::newRow("an R5 document, yes") << r5 << -1 << QStringList {generation};
        QTest::newRow("a section missing, no")
            << QByteArray(r4).replace("\"sleep\"", "\"slept\"") << 0
            << QStringList {"Question: The file lacks sections the reader's configuration has: sleep. Upload it all "
                            "the same?"};
        QTest::newRow("no hardware version, no")
            << QByteArray(r4).replace("\"hardware_version\"", "\"hardware\"") << 0
            << QStringList {"Question: The file does not say which hardware it is for (no \"hardware_version\"), and "
                            "this reader is an R4. Upload it all the same?"};
        JsonText sleepless(r4);
        sleepless.set({"sleep"}, QJsonValue(5));
        QTest::newRow("a section not an object, no")
            << sleepless.text() << 0
            << QStringList {"Question: The file lacks sections the reader's configuration has: sleep. Upload it all "
                            "the same?"};
        QTest::newRow("the same document") << r4 << -1 << QStringList();
    }
    void uploadGuards()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, yeses);
        QFETCH(QStringList, asked);
        WindowFixture f;
        QVERIFY(f.connectSerial() && f.settle());
        f.reader()->registerCommand(0x0A, [](SimRequest &req) { req.silent(); }); // no restart
        const QByteArray old = f.reader()->files().configFile();
        QTemporaryDir dir;
        const QString local = dir.filePath("chosen.json");
        QVERIFY(writeFile(local, document));
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return local; };
        f.window()->askQuestion = [&](const QString &title, const QString &text) {
            f.questions << title + ": " + text;
            return yeses < 0 || f.questions.size() <= yeses;
        };
        RequestLog requests(f.reader());
        f.click("btUploadConfig");
        const bool refused = !ConfigCheck::documentProblem(document).isEmpty();
        QVERIFY(runUntil(
            [&] {
                return refused ? f.logText().contains("nothing was uploaded.")
                               : f.logText().contains("Nothing was uploaded.") || requests.count(0x0A) == 1;
            },
            10000));
        if (refused) {
            QVERIFY(requests.list.isEmpty()); // not even the backup
            QVERIFY(f.questions.isEmpty());
            return;
        }
        QCOMPARE(f.questions.mid(0, asked.size()), asked);
        const bool uploaded = yeses < 0;
        QCOMPARE(f.reader()->files().configFile(), uploaded ? document : old);
        QCOMPARE(requests.count(hex("E0 01") + "config.json"), uploaded ? 1 : 0);
        if (uploaded)
            QVERIFY(f.questions.last().startsWith(QStringLiteral("Question: Upload chosen.json (%1 bytes)? It changes "
                                                                 "the reader's configuration so:\n\n")
                                                      .arg(document.size())));
        if (document == old)
            QVERIFY(f.questions.last().contains(":\n\nno change\n\nThe reader restarts afterwards."));

        // The backup holds the reader's bytes as they were, and puts them back.
        const QString folder = f.window()->readerBackupFolder();
        const QStringList backups = QDir(folder).entryList({"*.json"}, QDir::Files);
        QCOMPARE(backups.size(), 1);
        QCOMPARE(fileBytes(folder + "/" + backups.first()), old);
        if (!uploaded)
            return;
        QString restoreCaption;
        f.window()->fileChooser = [&](const QString &caption, const QString &, bool) {
            restoreCaption = caption;
            return folder + "/" + backups.first();
        };
        yeses = -1;
        f.click("btRestoreConfig");
        QVERIFY(runUntil([&] { return requests.count(0x0A) == 2; }, 10000));
        QCOMPARE(restoreCaption, QStringLiteral("Restore configuration"));
        QCOMPARE(f.reader()->files().configFile(), old);
    }

    // A link that goes down in the middle of an upload ends it with what
    // the reader holds; nothing is left waiting.
    void linkDownDuringUpload()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial() && f.settle());
        QTemporaryDir dir;
        const QString local = dir.filePath("local.json");
        QVERIFY(writeFile(local, jsonPattern(1000)));
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return local; };
        RequestLog requests(f.reader());
        requests.onRequest = [&](const QByteArray &r) {
            if (r.startsWith(hex("E2")) && requests.count(0xE2) == 1)
                QVERIFY(f.applyFaults("answers drop-link 2"));
        };
        f.click("btUploadConfig");
        QVERIFY(f.waitForLog("Uploading config.json failed: the link went down during the write (128 of 1000 bytes "
                             "written); the reader drops the unfinished file when it restarts or opens the file "
                             "again."));
        QCOMPARE(f.window()->runningWorkflow(), MainWindow::Workflow::None);
        QVERIFY(!f.window()->oneShotTimer->isActive());
    }

    // An upload is read back before the reader restarts onto it: a file the
    // reader holds otherwise than sent is written again, and one that stays
    // wrong ends the upload without a restart.
    void uploadIsReadBack_data()
    {
        QTest::addColumn<int>("spoiled"); // writes the reader keeps with a byte changed
        QTest::newRow("once") << 1;
        QTest::newRow("every time") << 4;
    }
    void uploadIsReadBack()
    {
        QFETCH(int, spoiled);
        WindowFixture f;
        QVERIFY(f.connectSerial() && f.settle());
        f.reader()->registerCommand(0x0A, [](SimRequest &req) { req.silent(); }); // no restart
        const QByteArray content = jsonPattern(700);
        int writes = 0;
        QObject::connect(&f.reader()->files(), &SimFileSystem::fileWritten,
                         [&](const QByteArray &name, QByteArray stored) {
                             if (++writes > spoiled)
                                 return;
                             stored[567] = char(stored.at(567) ^ 1);
                             f.reader()->files().setFile(name, stored);
                         });
        QTemporaryDir dir;
        const QString local = dir.filePath("local.json");
        QVERIFY(writeFile(local, content));
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return local; };
        RequestLog requests(f.reader());
        f.click("btUploadConfig");
        QVERIFY(runUntil([&] { return f.window()->runningWorkflow() == MainWindow::Workflow::None; }, 15000));
        QCOMPARE(f.logCount("The reader holds different bytes than were sent - starting the upload of config.json "
                            "again (attempt 2 of 4)..."),
                 1);
        if (spoiled == 1) {
            QCOMPARE(f.logCount("Read back: config.json holds the 700 bytes sent."), 1);
            QCOMPARE(f.reader()->files().configFile(), content);
            QVERIFY(runUntil([&] { return requests.count(0x0A) == 1; }, 2000));
        } else {
            QCOMPARE(f.logCount("Uploading config.json failed: the reader holds different bytes; config.json was "
                                "written in full (700 bytes) but not read back as sent."),
                     1);
            QTest::qWait(200);
            QCOMPARE(requests.count(0x0A), 0);
            QVERIFY(!f.logText().contains("Restarting"));
        }
    }

    // An answer lost, late or doubled never makes the reader take a chunk
    // twice or the PC miss one: the transfer starts over from FOPEN and
    // ends byte-exact, with one line that says so.
    void answerFaults_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("fault"); // control commands of the simulated reader
        QTest::newRow("upload, an FWRITE answer lost") << true << false << "answers lose once 2 code E2";
        QTest::newRow("upload, the FCLOSE answer lost") << true << true << "answers lose once code E3";
        QTest::newRow("upload, an FWRITE answer twice 4 ms apart, a later FWRITE lost")
            << true << false << "answers twice-gap 4 once 1 code E2; requests lose once 4 code E2";
        QTest::newRow("upload over TCP, the same")
            << true << true << "answers twice-gap 4 once 1 code E2; requests lose once 4 code E2";
        QTest::newRow("download, an FREAD answer lost") << false << true << "answers lose once 3 code E1";
        QTest::newRow("download, an FREAD answer late") << false << false << "answers late 3300 once 2 code E1";
        QTest::newRow("download, an FREAD answer twice") << false << true << "answers twice once 1 code E1";
        QTest::newRow("download, an FREAD answer nobody asked for") << false << false << "unasked E1";
        QTest::newRow("download, the same, and errors past the end")
            << false << true << "unasked E1; files eof-error on";
        // "copy N..": in those readings the answer to the second FREAD comes
        // again before the third's, so every later answer is taken one
        // request late. Alike in two readings, only the surplus answer at
        // the end tells; with a later request lost there is none, and only
        // the comparison with a clean reading tells.
        QTest::newRow("download, an answer copied in turn in two readings") << false << false << "copy 1 2";
        QTest::newRow("download, an answer copied in turn, a later FREAD lost")
            << false << true << "copy 2; requests lose once 15 code E1";
    }
    void answerFaults()
    {
        QFETCH(bool, upload);
        QFETCH(bool, tcp);
        QFETCH(QString, fault);
        WindowFixture f;
        QVERIFY(tcp ? f.connectTcp() : f.connectSerial());
        f.reader()->registerCommand(0x0A, [](SimRequest &req) { req.silent(); }); // no restart
        const QByteArray content = upload ? jsonPattern(941) : pattern(941);
        QTemporaryDir dir;
        const QString local = dir.filePath("local.json");
        if (upload)
            QVERIFY(writeFile(local, content));
        else
            f.reader()->files().setFile("config.json", content);
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return local; };
        RequestLog requests(f.reader());
        QList<int> copyIn;
        for (const QString &reading : fault.section("; ", 0, 0).split(' ').mid(1))
            copyIn << reading.toInt();
        int reading = 0;
        int reads = 0;
        requests.onRequest = [&](const QByteArray &r) {
            if (r == hex("E0 00") + "config.json")
                ++reading, reads = 0;
            if (r != hex("E1") || ++reads > 3)
                return;
            if (fault.startsWith("unasked E1") && reading == 1 && reads == 2) // with data of its own
                f.injectAnswer(hex("00 E1 AA BB"));
            if (fault.startsWith("copy") && copyIn.contains(reading) && reads == 3)
                f.injectAnswer(hex("00 E1") + content.mid(100, 100));
        };
        const bool injected = fault.startsWith("unasked") || fault.startsWith("copy");
        QVERIFY(f.applyFaults(injected ? fault.section("; ", 1) : fault));

        f.click(upload ? "btUploadConfig" : "btDownloadConfig");
        QVERIFY(f.waitForLog(upload ? "File closed. Restarting..." : "File closed. Size 941 bytes.", 15000));
        const QString done = upload ? "File closed. Restarting..." : "File closed. Size 941 bytes.";
        QCOMPARE(f.logCount("attempt 2 of 4"), 1);
        QCOMPARE(f.logCount(done), 1);
        QCOMPARE(upload ? f.reader()->files().configFile() : fileBytes(local), content);
        QTest::qWait(300); // late or doubled answers still on their way change nothing
        QCOMPARE(f.logCount(done), 1);
        QVERIFY(!f.window()->oneShotTimer->isActive());
    }
};

QTEST_MAIN(TestFileTransfer)
#include "tst_filetransfer.moc"
