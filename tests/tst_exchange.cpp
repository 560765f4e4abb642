// The request discipline and the response dispatcher against the simulated
// reader: what each answer makes the client do next, repeats, give-up, and
// the TCP link.
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTcpServer>
#include <QTextDocument>
#include <QTextEdit>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/requestlog.h"
#include "support/windowfixture.h"

class TestExchange : public QObject
{
    Q_OBJECT
private slots:
    // The buttons offered follow the R5 rule whatever the number gives;
    // only the RFID configuration of an R4 and the log request need a
    // number. "previous" is what the reader said at the connect.
    void versionDecoding_data()
    {
        QTest::addColumn<QByteArray>("previous");
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<bool>("rfidConfig");
        QTest::addColumn<bool>("chipUpdate");
        QTest::addColumn<bool>("asksForLog");
        QTest::newRow("2.38") << QByteArray("1.0") << QByteArray("2.38") << true << true << true;
        QTest::newRow("2.35") << QByteArray("1.0") << QByteArray("2.35") << true << true << false;
        QTest::newRow("2.34") << QByteArray("2.38") << QByteArray("2.34") << false << true << false;
        QTest::newRow("R5 1.14") << QByteArray("1.0") << QByteArray("1.14 R5") << true << false << false;
        QTest::newRow("R5 1.15") << QByteArray("1.0") << QByteArray("1.15-R5") << true << false << true;
        QTest::newRow("R5 first") << QByteArray("2.34") << QByteArray("R5 1.15") << true << false << false;
        QTest::newRow("not a version after R5")
            << QByteArray("1.15-R5") << QByteArray("beta") << false << true << false;
    }
    void versionDecoding()
    {
        QFETCH(QByteArray, previous);
        QFETCH(QByteArray, version);
        QFETCH(bool, rfidConfig);
        QFETCH(bool, chipUpdate);
        QFETCH(bool, asksForLog);
        WindowFixture f;
        f.reader()->setVersion(previous);
        RequestLog atConnect(f.reader(), true);
        QVERIFY(f.connectSerial());
        if (previous == "2.38" || previous == "1.15-R5")
            QVERIFY(atConnect.waitFor(hex("E4 01")));
        RequestLog requests(f.reader(), true);
        f.injectAnswer(hex("00 0B") + version + QByteArray(1, '\0'));
        QVERIFY(QTest::qWaitFor([&] { return f.window()->statusDetailLabel->text() == "Version:" + version; }, 2000));
        QTest::qWait(150);
        QCOMPARE(!f.widget<QPushButton>("btPollingConfiguration")->isHidden(), rfidConfig);
        QCOMPARE(!f.widget<QPushButton>("btPNUpdate")->isHidden(), chipUpdate);
        QCOMPARE(requests.list.contains(hex("E4 01")), asksForLog);
    }

    // Whatever the reader calls its version is shown as text: markup stays
    // literal (no colours, links or pictures from the reader in the status
    // bar), and a long text with line breaks neither pushes the progress bar
    // out of the window nor makes the status bar taller.
    void versionTextIsShownAsText()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        const int barHeight = w->statusBar()->height();
        const QByteArray markup = "<font color=red size=6><b>HACKED</b></font><a href=\"http://example.com\">click "
                                  "me</a><img src=\"x.png\">";
        f.injectAnswer(hex("00 0B") + markup + QByteArray(1, '\0'));
        QLabel *label = w->statusDetailLabel;
        QTRY_COMPARE(label->text(), "Version:" + markup);
        // What is painted is what the same text looks like as plain text.
        QLabel literal;
        literal.setTextFormat(Qt::PlainText);
        literal.setText(label->text());
        literal.setFont(label->font());
        literal.setPalette(label->palette());
        literal.setAlignment(label->alignment());
        literal.setContentsMargins(label->contentsMargins());
        literal.resize(label->size());
        QCOMPARE(label->grab().toImage().convertToFormat(QImage::Format_RGB32),
                 literal.grab().toImage().convertToFormat(QImage::Format_RGB32));

        const QByteArray longText = QByteArray("2.38\n") + QByteArray(2000, 'W') + "\r\nend";
        f.injectAnswer(hex("00 0B") + longText + QByteArray(1, '\0'));
        QTRY_VERIFY(label->text().endsWith("  end"));
        QCOMPARE(label->text(), "Version:2.38 " + QString(2000, 'W') + "  end");
        QTest::qWait(50);
        QCOMPARE(w->statusBar()->height(), barHeight);
        const QRect progress(w->progressBar->mapTo(w, QPoint()), w->progressBar->size());
        QVERIFY2(w->rect().contains(progress), "the progress bar is pushed out of the window");
    }

    // Error answers name their command and number; tag answers outside a
    // workflow go on as the reader's chain would.
    void tagAnswers()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        RequestLog requests(f.reader(), true);
        MainWindow *w = f.window();
        w->oneShotState = MainWindow::Idle;
        // Only the injected answers reach the client: a real answer to the
        // Get UID request would stop the timer before it is looked at.
        f.reader()->setSilent(true);

        f.injectAnswer(hex("FF 28 00 01"));
        QVERIFY(f.waitForLog("Error 0x0001 received for command - MIFARE Classic - Set UID"));
        QVERIFY(f.waitForLog("This command may only be executed on special tags with changeable UID"));
        f.injectAnswer(hex("FF 30 01 02"));
        QVERIFY(f.waitForLog("Error 0x0102 received for command - Unknown"));
        f.injectAnswer(hex("FF 03"));
        QVERIFY(f.waitForLog("Error received for command - Get UID"));

        f.injectAnswer(hex("00 02 01"));
        QVERIFY(requests.waitFor(hex("03 00")));
        QVERIFY(w->oneShotTimer->isActive());

        f.injectAnswer(hex("00 03 01 07 04 A1 B2 C3"));
        QVERIFY(f.waitForLog("TAG is found: 04A1B2C3"));
        QVERIFY(!w->oneShotTimer->isActive());
        f.injectAnswer(hex("00 03"));
        QVERIFY(f.waitForLog("TAG is found: \n"));

        requests.list.clear();
        f.injectAnswer(hex("00 02 00"));
        QVERIFY(f.waitForLog("No tag detected"));
        f.injectAnswer(hex("00 02")); // no count at all: nothing follows
        QTest::qWait(200);
        QVERIFY(requests.list.isEmpty());

        f.injectAnswer(hex("00 05"));
        QVERIFY(f.waitForLog("HALT done"));

        // "Activate TAG" answered outside an address tag write reads the tag.
        f.injectAnswer(hex("00 04"));
        QVERIFY(requests.waitFor(hex("40 04 02")));
        QCOMPARE(w->oneShotState, int(MainWindow::AddressTagRead));
    }

    // Only event 01 (a tag in the field) asks for the tag count, and not
    // while a workflow waits for its own answer.
    void events()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        RequestLog requests(f.reader());
        MainWindow *w = f.window();
        for (uint8_t event : {0x02, 0x00, 0xFF, 0x01})
            f.reader()->sendEvent(event);
        QVERIFY(requests.waitFor(hex("02")));
        QCOMPARE(requests.list, QList<QByteArray> {hex("02")});
        QCOMPARE(w->oneShotTimer->interval(), 500);
        f.reader()->setSilent(true);
        requests.list.clear();
        w->beginRequest(MainWindow::FileReading, hex("E1"), 3000);
        f.reader()->sendEvent(0x01);
        QTest::qWait(200);
        QCOMPARE(requests.list, QList<QByteArray> {hex("E1")});
        QCOMPARE(w->oneShotTimer->interval(), 3000);
        QVERIFY(w->oneShotTimer->isActive());
    }

    // A damaged answer is answered by the codec's error reply; the repeat
    // after the wait is the workflow's own request, not that reply.
    void repeatIsTheRequestItself()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial() && f.settle());
        RequestLog requests(f.reader());
        f.reader()->corruptNextCrc();
        f.click("btReadNetwork");
        QVERIFY(f.waitForLog("Reading network done.", 5000));
        QVERIFY(requests.list.size() > 3);
        QCOMPARE(uint8_t(requests.list.at(1).at(0)), uint8_t(SimReader::kCmdError));
        QCOMPARE(requests.list.at(2), requests.list.at(0));
        QCOMPARE(f.logCount("Repeating last frame...\n"), 1);
    }

    void repeatsAndGiveUp()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        RequestLog requests(f.reader());
        MainWindow *w = f.window();

        // A workflow step is sent again 1500 ms after its first wait, and
        // answered on its third try it starts the next step afresh.
        f.reader()->setSilent(true);
        f.click("btReadNetwork");
        QVERIFY(QTest::qWaitFor([&] { return !requests.list.isEmpty(); }, 2000));
        const uint8_t firstRead = uint8_t(requests.list.last().at(0));
        QVERIFY(QTest::qWaitFor([&] { return requests.count(firstRead) == 3; }, 5000));
        const QList<qint64> sent = requests.timesOf(firstRead);
        QVERIFY2(sent[1] - sent[0] >= 900 && sent[1] - sent[0] < 1400, qPrintable(QString::number(sent[1] - sent[0])));
        QVERIFY2(sent[2] - sent[1] >= 1350 && sent[2] - sent[1] < 1900, qPrintable(QString::number(sent[2] - sent[1])));
        QCOMPARE(w->retryCount, 2);
        QCOMPARE(f.logCount("Repeating last frame...\n"), 2);
        f.reader()->setSilent(false);
        w->oneShotTimeout();
        QVERIFY(QTest::qWaitFor([&] { return w->retryCount == 0; }, 2000));
        QVERIFY(QTest::qWaitFor([&] { return w->oneShotState == MainWindow::Idle; }, 5000));

        // The loop test repeats without a limit while the link is up.
        w->oneShotState = MainWindow::LoopTest;
        f.reader()->setSilent(true);
        for (int i = 0; i < 8; ++i)
            w->oneShotTimeout();
        QVERIFY(w->serial.isOpen());
        QCOMPARE(w->oneShotTimer->interval(), 3000);
        QCOMPARE(f.logCount("Repeating last frame...\n"), 11);

        // The other idempotent requests give up after five repeats.
        w->oneShotState = MainWindow::AddressTagRead;
        w->retryCount = 0;
        for (int i = 0; i < 6; ++i)
            w->oneShotTimeout();
        QVERIFY(!w->serial.isOpen());
        QCOMPARE(w->oneShotState, int(MainWindow::Idle));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Timeout"));

        // A transfer starts over instead, four times in all, then fails and
        // drops the link.
        f.reader()->setSilent(false);
        QVERIFY(f.connectSerial());
        f.reader()->setSilent(true);
        w->startConfigDownload(MainWindow::SaveToFile);
        const QByteArray open = hex("E0 00 63 6F 6E 66 69 67 2E 6A 73 6F 6E");
        for (int i = 1; i <= 4; ++i) {
            QVERIFY(QTest::qWaitFor([&] { return requests.count(open) == i; }, 2000));
            w->oneShotTimeout();
        }
        QCOMPARE(f.logCount("No answer from the device - starting the download of config.json again"), 3);
        QVERIFY(f.logText().contains("No answer from the device - giving up after 4 attempts."));
        QCOMPARE(f.logCount("Downloading config.json failed: the reader's config.json is unchanged."), 1);
        QVERIFY(!w->serial.isOpen());
        QCOMPARE(w->oneShotState, int(MainWindow::Idle));
        f.reader()->setSilent(false);

        // With nothing open a frame goes nowhere and is not logged.
        const int tx = f.logCount("[TX]");
        const uint8_t count[] = {0x02};
        w->protocol.sendFrame(count, 1);
        QCOMPARE(f.logCount("[TX]"), tx);
        w->oneShotState = MainWindow::LoopTest;
        w->oneShotTimeout();
        QVERIFY(!w->oneShotTimer->isActive());
    }

    void tcpLink()
    {
        WindowFixture f;
        MainWindow *w = f.window();
        // A port nobody listens on: three attempts, then the advice.
        quint16 port;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        w->connectToHost("127.0.0.1", port);
        QVERIFY(QTest::qWaitFor([&] { return !w->link.tcpConnecting(); }, 1000));
        QCOMPARE(f.logCount("Connecting to 127.0.0.1 ..."), 3);
        QVERIFY(f.logText().contains("TCP connection filed. Remeber to enable TCP server in the device settings to "
                                     "user TCP connection from R4 client."));
        QVERIFY(!w->tcpSocket);
        QCOMPARE(f.widget<QPushButton>("btNetworkConnect")->text(), QStringLiteral("Connect"));

        // A host that takes no connection: an attempt waits 5000 ms before
        // the next begins. A listener whose one place is taken drops the
        // client's requests; a place freed at the second attempt lets it in.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&at), size) == 0 && ::listen(listener, 0) == 0);
        QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&at), &size) == 0);
        QTcpSocket placeTaker;
        placeTaker.connectToHost(QHostAddress::LocalHost, ntohs(at.sin_port));
        QVERIFY(placeTaker.waitForConnected(2000));
        QElapsedTimer clock;
        QList<qint64> attempts;
        const auto watch = connect(f.widget<QTextEdit>("teProtocol")->document(), &QTextDocument::contentsChanged, [&] {
            if (f.logCount("Connecting to 127.0.0.1 ...") <= 3 + attempts.size())
                return;
            attempts << clock.elapsed();
            if (attempts.size() == 2)
                ::close(::accept(listener, nullptr, nullptr));
        });
        clock.start();
        f.clickConnectTcp(ntohs(at.sin_port));
        disconnect(watch);
        ::close(listener);
        QCOMPARE(attempts.size(), 2);
        QVERIFY2(attempts[1] - attempts[0] >= 4700 && attempts[1] - attempts[0] < 6500,
                 qPrintable(QString::number(attempts[1] - attempts[0])));
        QVERIFY(w->tcpConnected);
        f.click("btNetworkConnect");

        QVERIFY(f.connectTcp());
        QCOMPARE(f.widget<QPushButton>("btNetworkConnect")->text(), QStringLiteral("Disconnect"));
        QVERIFY(!f.widget<QWidget>("tabSerialConnection")->isEnabled());

        // Serial and TCP both open: one frame, two writes, two [TX] lines.
        f.selectReaderPort();
        w->openSerialPort();
        QVERIFY(w->serial.isOpen());
        RequestLog requests(f.reader(), true);
        const int tx = f.logCount("[TX]");
        const uint8_t halt[] = {0x05};
        w->protocol.sendFrame(halt, 1);
        QCOMPARE(f.logCount("[TX]"), tx + 2);
        QVERIFY(QTest::qWaitFor([&] { return requests.list.count(hex("05")) == 2; }, 2000));
        w->closeSerialPort();

        // The reader drops the connection.
        f.reader()->unplug();
        QVERIFY(f.waitForLog("TCP socker error\n    Data: 01"));
        QVERIFY(QTest::qWaitFor([&] { return !w->tcpConnected; }, 2000));
        QCOMPARE(f.widget<QPushButton>("btNetworkConnect")->text(), QStringLiteral("Connect"));
        QVERIFY(f.widget<QWidget>("tabSerialConnection")->isEnabled());

        // A new connect makes a new socket and works.
        f.reader()->replug();
        QVERIFY(f.connectTcp());
        // A socket of an earlier link that ends its closing only now leaves
        // the new link up.
        auto *earlier = new QTcpSocket(w);
        connect(earlier, &QTcpSocket::stateChanged, w, &MainWindow::onSocketStateChanged);
        emit earlier->stateChanged(QAbstractSocket::UnconnectedState);
        QVERIFY(w->tcpConnected && w->tcpSocket);
        f.click("btNetworkConnect");
        QVERIFY(!w->tcpConnected);
    }

    // The version request after a connect is sent anew five times, 500 ms
    // apart, after a first wait of 500 ms on a serial port and 2500 ms over
    // TCP; then the link is given up with the advice to reconnect.
    void versionRequestGivesUp_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<int>("firstWait");
        QTest::newRow("silent reader on the pty") << "pty" << 500;
        QTest::newRow("no port") << "none" << 0;
        QTest::newRow("silent reader over TCP") << "tcp" << 2500;
    }
    void versionRequestGivesUp()
    {
        QFETCH(QString, link);
        QFETCH(int, firstWait);
        WindowFixture f;
        f.reader()->setSilent(true);
        RequestLog requests(f.reader());
        if (link == "tcp") {
            QVERIFY(!f.connectTcp());
        } else {
            if (link == "none")
                f.widget<QComboBox>("cbSerialPort")->clear();
            else
                f.selectReaderPort();
            f.click("btSerialConnect");
            QCOMPARE(f.window()->serial.isOpen(), link == "pty");
        }
        QVERIFY(f.waitForLog("Timeout - Please recconnect device and try again.", 7000));
        QCOMPARE(f.logCount("Repeating get version frame..."), 5);
        QCOMPARE(f.logText().contains("[TX]"), link != "none");
        if (link != "none") {
            // Timers fire late, never much early: the first wait and the
            // mean of the repeats tell each wait from its neighbours.
            const QList<qint64> sent = requests.timesOf(0x0B);
            QCOMPARE(sent.size(), 6);
            QVERIFY2(sent[1] - sent[0] >= firstWait * 0.9 && sent[1] - sent[0] < firstWait + 400,
                     qPrintable(QString::number(sent[1] - sent[0])));
            const qint64 repeats = (sent[5] - sent[1]) / 4;
            QVERIFY2(repeats >= 450 && repeats < 750, qPrintable(QString::number(repeats)));
        }
        QCOMPARE(f.window()->statusDetailLabel->text(), QStringLiteral("No response from device"));
        QVERIFY(!f.window()->serial.isOpen() && !f.window()->tcpConnected);
        QCOMPARE(f.widget<QPushButton>(link == "tcp" ? "btNetworkConnect" : "btSerialConnect")->text(),
                 QStringLiteral("Connect"));
        if (link == "none")
            return;
        // Connected again, the version is asked for as often as the first time.
        if (link == "tcp")
            QVERIFY(!f.connectTcp());
        else
            f.click("btSerialConnect");
        QVERIFY(runUntil([&] { return f.logCount("Timeout - Please recconnect device and try again.") == 2; }, 7000));
        QCOMPARE(f.logCount("Repeating get version frame..."), 10);
    }
};

QTEST_MAIN(TestExchange)
#include "tst_exchange.moc"
