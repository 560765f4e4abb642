// A reader that fights back, against the real window: over TCP and over a
// pty, a peer on a thread of its own writes as fast as the window takes them
// positive answers, a sweep of every command code and status byte, valid and
// damaged frames mixed with loose bytes, and device log lines of the largest
// size. The window must keep answering the user meanwhile, keep no more than
// its bound of unread bytes, and come through whole. Besides: a frame cut
// off with its link does not spoil the next link.
#include <QLabel>
#include <QTabWidget>
#include <QTcpSocket>

#include <atomic>

#include "sim/simcodec.h"
#include "sim/simflood.h"
#include "sim/simfloodpeer.h"
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
        for (const bool tcp : {true, false}) {
            for (const SimFlood::Kind kind :
                 {SimFlood::Kind::Answers, SimFlood::Kind::Sweep, SimFlood::Kind::Random, SimFlood::Kind::Log})
                QTest::addRow("%s, %s", tcp ? "tcp" : "pty", qPrintable(SimFlood::kindNames().at(int(kind))))
                    << tcp << kind;
        }
    }
    void floodKeepsTheWindowAnswering()
    {
        QFETCH(bool, tcp);
        QFETCH(SimFlood::Kind, kind);
        WindowFixture f(false);
        MainWindow *w = f.window();
        SimFloodPeer peer;
        QVERIFY(tcp ? peer.listenTcp() : peer.openPty());
        std::atomic<bool> flooding {false};
        peer.startFlood(kind, &flooding);
        int taken = 0;
        connect(&w->protocol, &BinaryProtocol::frameComplete, this, [&] { ++taken; });
        tcp ? f.clickConnectTcp(peer.tcpPort()) : f.clickConnectSerial(peer.ptyPath());
        QTRY_VERIFY_WITH_TIMEOUT(w->statusDetailLabel->text().startsWith(QStringLiteral("Version:")), 5000);

        // Clicks posted while the flood goes on are answered while it goes
        // on, after some of its frames (at most half of the frames of 12
        // bytes on average the unread bytes can hold); the transport never
        // holds more than its bound unread.
        const int mostFrames = int(MainWindow::ReceiveBufferBytes / 24);
        auto *tabs = f.widget<QTabWidget>("tabs");
        int clicks = 0;
        int longestWait = 0; // frames taken between a click and its answer
        qint64 mostUnread = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            QIODevice *link = tcp ? static_cast<QIODevice *>(w->tcpSocket) : &w->serial;
            mostUnread = qMax(mostUnread, link ? link->bytesAvailable() : 0);
        });
        watch.start(5);
        flooding = true;
        while ((taken < 150 || clicks < 10) && (w->tcpConnected || w->serial.isOpen())) {
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
            QVERIFY2(QTest::qWaitFor([&] { return clicks > before; }, 5000), "a click waited 5 s");
            QVERIFY2(longestWait <= mostFrames, qPrintable(QString::number(longestWait)));
            QTest::qWait(20);
        }
        qInfo("%d frames taken, %d clicks answered after at most %d frames, at most %lld bytes unread", taken, clicks,
              longestWait, static_cast<long long>(mostUnread));
        QVERIFY2(mostUnread <= MainWindow::ReceiveBufferBytes, qPrintable(QString::number(mostUnread)));
        QVERIFY(taken > 0);
        peer.stop();
        // Whole afterwards: the link closes as asked (unless the request
        // discipline gave up on a reader that never answers its requests).
        if (w->tcpConnected || w->serial.isOpen())
            f.click(tcp ? "btNetworkConnect" : "btSerialConnect");
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
        f.clickConnectTcp(networked.tcpPort());
        QTRY_VERIFY(f.window()->tcpConnected);
        QSignalSpy received(f.window()->tcpSocket, &QTcpSocket::readyRead);
        networked.sendRaw(SimCodec::buildFrame(0, QByteArray("\x00\x0B", 2) + QByteArray(1000, 'x')).left(100));
        QVERIFY(received.wait());
        f.click("btNetworkConnect");
        QVERIFY(f.connectSerial());
        QCOMPARE(f.logCount("Repeating get version frame..."), 0);
    }
};

QTEST_MAIN(TestHostileReader)
#include "tst_hostilereader.moc"
