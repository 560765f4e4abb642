// A reader that fights back, against the real window: over TCP and over a
// pty, a peer on a thread of its own writes as fast as the window takes them
// positive answers, a sweep of every command code and status byte, valid and
// damaged frames mixed with loose bytes, and device log lines of the largest
// size. The window must keep answering the user meanwhile, keep no more than
// its bound of unread bytes, and come through whole. Besides: a frame cut
// off with its link does not spoil the next link, and the logs keep to
// their bound.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTextBlock>
#include <QTextEdit>

#include <atomic>

#include "app/loglimit.h"
#include "sim/simcodec.h"
#include "sim/simflood.h"
#include "support/requestlog.h"
#include "support/hostilepeer.h"
#include "support/windowfixture.h"

Q_DECLARE_METATYPE(SimFlood::Kind)

class TestHostileReader : public QObject
{
    Q_OBJECT
private slots:
    void floodKeepsTheWindowAnswering_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<SimFlood::Kind>("kind");
        QTest::addColumn<int>("frames"); // taken before the flood ends
        for (const bool tcp : {true, false}) {
            const char *link = tcp ? "tcp" : "pty";
            QTest::addRow("%s, answers", link) << tcp << SimFlood::Kind::Answers << 2000;
            QTest::addRow("%s, sweep", link) << tcp << SimFlood::Kind::Sweep << 1100;
            QTest::addRow("%s, random", link) << tcp << SimFlood::Kind::Random << 1000;
            QTest::addRow("%s, log", link) << tcp << SimFlood::Kind::Log << 150;
        }
    }
    void floodKeepsTheWindowAnswering()
    {
        QFETCH(bool, tcp);
        QFETCH(SimFlood::Kind, kind);
        QFETCH(int, frames);
        WindowFixture f(false);
        MainWindow *w = f.window();
        HostilePeer peer;
        QVERIFY(tcp ? peer.listenTcp() : peer.openPty());
        std::atomic<bool> flooding {false};
        peer.startFlood(kind, &flooding);

        int taken = 0;
        connect(&w->protocol, &BinaryProtocol::frameComplete, this, [&] { ++taken; });
        if (tcp) {
            f.widget<QTabWidget>("tabWidget")->setCurrentIndex(1);
            f.widget<QLineEdit>("leDeviceAddr")->setText(QStringLiteral("127.0.0.1"));
            f.widget<QSpinBox>("sbPort")->setValue(peer.tcpPort());
            f.click("btNetworkConnect");
        } else {
            auto *ports = f.widget<QComboBox>("cbSerialPort");
            ports->addItem(peer.ptyPath());
            ports->setCurrentIndex(ports->count() - 1);
            f.click("btSerialConnect");
        }
        QTRY_VERIFY_WITH_TIMEOUT(w->statusDetailLabel->text().startsWith(QStringLiteral("Version:")), 5000);

        // Clicks posted while the flood goes on are answered while it goes
        // on, after a few of its frames; the transport never holds more than
        // its bound unread.
        auto *tabs = f.widget<QTabWidget>("tabs");
        int clicks = 0;
        qint64 mostUnread = 0;
        QTimer watch;
        watch.setInterval(5);
        connect(&watch, &QTimer::timeout, this, [&] {
            const qint64 unread
                = tcp ? (w->tcpSocket ? w->tcpSocket->bytesAvailable() : 0) : w->serial.bytesAvailable();
            mostUnread = qMax(mostUnread, unread);
        });
        watch.start();
        flooding = true;
        int longestWait = 0; // frames taken between a click and its answer
        while (taken < frames || clicks < 10) {
            const int before = clicks;
            const int takenAtClick = taken;
            QMetaObject::invokeMethod(
                tabs,
                [&, takenAtClick] {
                    tabs->setCurrentIndex(1 - tabs->currentIndex());
                    ++clicks;
                    longestWait = qMax(longestWait, taken - takenAtClick);
                },
                Qt::QueuedConnection);
            QVERIFY2(QTest::qWaitFor([&] { return clicks > before; }, 5000),
                     qPrintable(QStringLiteral("a click waited 5 s (%1 frames taken)").arg(taken)));
            // Far fewer frames than the unread bytes can hold: the window
            // does not take all it has before it looks at the user again.
            QVERIFY2(longestWait <= 1500, qPrintable(QString::number(longestWait)));
            if (!w->tcpConnected && !w->serial.isOpen())
                break; // the request discipline gave up on a reader that never answers its requests
            QTest::qWait(20);
        }
        watch.stop();
        qInfo("%d frames taken, %d clicks answered (the longest wait: %d frames), at most %lld bytes unread, link %s",
              taken, clicks, longestWait, static_cast<long long>(mostUnread),
              w->tcpConnected || w->serial.isOpen() ? "up" : "given up");
        QVERIFY2(mostUnread <= MainWindow::ReceiveBufferBytes, qPrintable(QString::number(mostUnread)));
        peer.stop();

        QVERIFY(taken > 0);

        // Whole afterwards: the window closes its link as asked.
        if (tcp && w->tcpConnected)
            f.click("btNetworkConnect");
        if (!tcp && w->serial.isOpen())
            f.click("btSerialConnect");
        QTRY_VERIFY(!w->tcpConnected && !w->serial.isOpen());
    }

    // The reader had begun a long frame when the TCP link was closed: the
    // serial link opened next does not start inside that frame (its first
    // answer would be taken as the rest of it and refused).
    void halfFrameOfAClosedLinkIsForgotten()
    {
        WindowFixture f;
        SimReader networked; // on TCP only
        QVERIFY(networked.listenTcp(0));
        f.widget<QTabWidget>("tabWidget")->setCurrentIndex(1);
        f.widget<QLineEdit>("leDeviceAddr")->setText(QStringLiteral("127.0.0.1"));
        f.widget<QSpinBox>("sbPort")->setValue(networked.tcpPort());
        f.click("btNetworkConnect");
        QTRY_VERIFY(f.window()->statusDetailLabel->text().startsWith(QStringLiteral("Version:")));
        QSignalSpy received(f.window()->tcpSocket, &QTcpSocket::readyRead);
        networked.sendRaw(SimCodec::buildFrame(0, QByteArray("\x00\x0B", 2) + QByteArray(1000, 'x')).left(100));
        QVERIFY(received.wait());
        f.click("btNetworkConnect");

        RequestLog requests(f.reader(), true);
        QVERIFY(f.connectSerial());
        QCOMPARE(requests.count(0xFF), 0); // no damaged frame to complain about
        QCOMPARE(f.logCount("Repeating get version frame..."), 0);
    }

    // However long a reader talks, a log keeps its newest lines only, and
    // no record of them to undo.
    void logsKeepTheirNewestLines()
    {
        QTextEdit log;
        limitLog(&log, 100);
        for (int i = 1; i <= 1000; ++i) {
            log.append(QStringLiteral("line %1").arg(i));
            if (i % 7 == 0)
                QCoreApplication::processEvents();
        }
        QTRY_VERIFY(log.document()->blockCount() <= 110);
        QVERIFY(log.document()->blockCount() >= 100);
        QCOMPARE(log.document()->lastBlock().text(), QStringLiteral("line 1000"));
        QCOMPARE(log.document()->firstBlock().text(),
                 QStringLiteral("line %1").arg(1001 - log.document()->blockCount()));
        QVERIFY(!log.document()->isUndoAvailable());
    }
};

QTEST_MAIN(TestHostileReader)
#include "tst_hostilereader.moc"
