// Network discovery: what an announcement does to the detected-device list,
// where a scan pass sends its requests, real datagrams through the listener
// until both loops shut down, the offline/online rule, the buttons of the
// "Network connection" tab and the export of the list.
//
// Like every suite that builds the window, this one runs in a network
// namespace of its own: only its own loopback exists there, so the scan loop
// finds nothing to send to unless a test gives it a network on that
// loopback, and the listener's port 63311 belongs to this suite alone even
// while other suites run beside it.
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMap>
#include <QNetworkInterface>
#include <QProcess>
#include <QSpinBox>
#include <QUdpSocket>
#include <QUrl>

#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "discovery/announcement.h"
#include "sim/simudp.h"
#include "support/windowfixture.h"
#include "support/xlsxcheck.h"

namespace {

// Every UDP datagram that crosses the loopback from the moment this is made,
// seen through a packet socket on every interface (the suite's namespace has
// loopback alone): what was sent where, whoever sent it.
class LoopbackCapture
{
public:
    struct Datagram
    {
        quint32 to;
        quint16 port;
        QByteArray payload;
    };

    LoopbackCapture()
        : m_fd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP)))
    { }
    ~LoopbackCapture()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }

    // What came since the last call. Each packet is taken once, as the
    // loopback receives it.
    QList<Datagram> take()
    {
        QList<Datagram> taken;
        unsigned char packet[65536];
        sockaddr_ll from = {};
        socklen_t fromSize = sizeof from;
        ssize_t size;
        while ((size = ::recvfrom(m_fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from), &fromSize))
               > 0) {
            const int header = (packet[0] & 0x0F) * 4;
            if (from.sll_pkttype == PACKET_OUTGOING || packet[9] != IPPROTO_UDP || size < header + 8)
                continue;
            quint32 to;
            std::memcpy(&to, packet + 16, 4);
            taken << Datagram {ntohl(to), quint16(packet[header + 2] << 8 | packet[header + 3]),
                               QByteArray(reinterpret_cast<const char *>(packet) + header + 8, int(size) - header - 8)};
        }
        return taken;
    }

private:
    int m_fd = -1;
};

// An address with its /24 on this suite's loopback for as long as this
// lives; the scan loop takes it for a local network.
struct LoopbackNetwork
{
    QString address;
    bool added = false;
    explicit LoopbackNetwork(const QString &withPrefix)
        : address(withPrefix)
    {
        added = QProcess::execute(QStringLiteral("ip"), {"address", "add", address, "dev", "lo"}) == 0;
    }
    ~LoopbackNetwork()
    {
        if (added)
            QProcess::execute(QStringLiteral("ip"), {"address", "del", address, "dev", "lo"});
    }
};

// Whether the discovery port is taken (by a window's listener).
bool discoveryPortTaken()
{
    QUdpSocket probe;
    return !probe.bind(QHostAddress::AnyIPv4, Discovery::Port);
}

QListWidget *deviceList(const WindowFixture &f)
{
    return f.widget<QListWidget>(QStringLiteral("lvDetectedDevices"));
}

bool italic(QListWidgetItem *item)
{
    return item->font().style() != QFont::StyleNormal;
}

// Columns A to C of a workbook's first sheet as read by openpyxl, row by
// row, and how many sheets it has.
QList<QStringList> workbookRows(const QString &path, int *sheets)
{
    const QJsonObject dump = dumpOf(path);
    const QString first = sheetsOf(dump).value(0);
    *sheets = sheetsOf(dump).size();
    QList<QStringList> rows;
    for (int r = 1; r <= lastRow(dump, first); ++r) {
        const QString row = QString::number(r);
        rows << QStringList {cellValue(dump, first, "A" + row), cellValue(dump, first, "B" + row),
                             cellValue(dump, first, "C" + row)};
    }
    return rows;
}

} // namespace

// Receives the URLs the window opens in the desktop browser.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

class TestDiscovery : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Nothing but loopback here, so no scan request can leave.
        QVERIFY(Discovery::scanTargets(QNetworkInterface::allAddresses()).isEmpty());
    }

    // What the announcements in announcementsFillTheList and the datagrams
    // in listenerTakesDatagramsUntilTheWindowCloses do not reach: bytes that are not
    // UTF-8, and where the scan loop sends besides a /24. (What any sender
    // address becomes is the fuzz target's, fuzz_discovery.)
    void datagramsAndTargets()
    {
        for (const char *latin1 :
             {"Q_R4:\xE9:1", "Q_R4:\xC3:1", "Q_R4:\xC0\xAF:1", "Q_R4:\xED\xA0\x80:1", "Q_R4:\xF8\x88\x80\x80\x80:1"})
            QCOMPARE(Discovery::datagramText(latin1, int(strlen(latin1))), QString::fromLatin1(latin1));

        QVERIFY(Discovery::scanTargets(QHostAddress(QStringLiteral("fe80::1"))).isEmpty());
        const QVector<quint32> all = Discovery::scanTargets(
            {QHostAddress(QStringLiteral("10.0.0.5")), QHostAddress(QStringLiteral("192.168.7.1"))});
        QCOMPARE(all.size(), 2 * 253);
        QCOMPARE(all.at(253), QHostAddress(QStringLiteral("192.168.7.2")).toIPv4Address());
    }

    // One pass of the real scan loop: the request "Q_R4:SCAN", exactly its 9
    // bytes, to port 63311 of every other host of the local /24, and again a
    // second later; nothing to loopback's own 127.0.0.1.
    void scanLoopAsksEveryHostOfTheNetwork()
    {
        LoopbackNetwork network(QStringLiteral("10.0.0.5/24"));
        QVERIFY2(network.added, "ip address add 10.0.0.5/24 dev lo");
        LoopbackCapture capture;
        QVERIFY(capture.isOpen());
        QMap<quint32, int> requests;
        QList<QByteArray> other;
        auto twoPasses = [&] {
            for (const LoopbackCapture::Datagram &d : capture.take()) {
                if (d.port == Discovery::Port && d.payload == QByteArray("Q_R4:SCAN"))
                    ++requests[d.to];
                else
                    other << QHostAddress(d.to).toString().toLatin1() + ':' + QByteArray::number(d.port) + ' '
                            + d.payload;
            }
            return requests.size() >= 253
                && std::all_of(requests.begin(), requests.end(), [](int n) { return n >= 2; });
        };
        {
            WindowFixture f(false);
            (void)QTest::qWaitFor(twoPasses, 5000); // what came is compared below
        }
        twoPasses();
        QVector<quint32> everyOther; // 10.0.0.1 to 10.0.0.254 but 10.0.0.5
        for (quint32 host = 1; host <= 254; ++host)
            if (host != 5)
                everyOther << (QHostAddress(QStringLiteral("10.0.0.0")).toIPv4Address() | host);
        QCOMPARE(requests.keys().toVector(), everyOther);
        QCOMPARE(other, QList<QByteArray>());
        QVERIFY(twoPasses());
    }

    void announcementsFillTheList()
    {
        WindowFixture f(false);
        MainWindow *w = f.window();
        w->udpMessageReceive(QStringLiteral("Q_R4:Reader-7:1.2.3"), QStringLiteral("192.168.1.20"));
        QCOMPARE(itemTexts(deviceList(f)), QStringList {QStringLiteral("192.168.001.020 - Reader-7 (v1.2.3)")});
        QCOMPARE(f.logCount("Reader-7 found at address 192.168.1.20. Version: 1.2.3"), 1);
        QCOMPARE(f.widget<QLabel>("labDetected")->text(), QStringLiteral("Detected devices (1)"));

        // Heard again, under another name: the entry stays as it was (when
        // it was heard is offlineAndOnlineAgain's story).
        w->udpMessageReceive(QStringLiteral("Q_R4:Renamed:9.9"), QStringLiteral("::ffff:192.168.1.20"));
        QCOMPARE(itemTexts(deviceList(f)), QStringList {QStringLiteral("192.168.001.020 - Reader-7 (v1.2.3)")});
        QCOMPARE(f.logCount("found at address"), 1);

        // The marker may stand anywhere; fields after the third are ignored.
        w->udpMessageReceive(QStringLiteral("xxQ_R4:Ten:1.0:extra:more"), QStringLiteral("192.168.1.10"));
        w->udpMessageReceive(QStringLiteral("Q_R4:Nine:1.0"), QStringLiteral("192.168.1.9"));
        QCOMPARE(itemTexts(deviceList(f)),
                 (QStringList {QStringLiteral("192.168.001.009 - Nine (v1.0)"),
                               QStringLiteral("192.168.001.010 - Ten (v1.0)"),
                               QStringLiteral("192.168.001.020 - Reader-7 (v1.2.3)")}));
        QCOMPARE(f.widget<QLabel>("labDetected")->text(), QStringLiteral("Detected devices (3)"));

        // Scan requests, foreign and broken datagrams change nothing.
        const QString before = f.logText();
        w->udpMessageReceive(QStringLiteral("Q_R4:SCAN"), QStringLiteral("192.168.1.30"));
        w->udpMessageReceive(QStringLiteral("Q_R4:SCANNER:1.0"), QStringLiteral("192.168.1.31"));
        w->udpMessageReceive(QStringLiteral("Q_R4:lonely"), QStringLiteral("192.168.1.32"));
        w->udpMessageReceive(QStringLiteral("Q_R4:Reader:SCAN-1"), QStringLiteral("192.168.1.35"));
        w->udpMessageReceive(QStringLiteral("Q_R5:Other:1.0"), QStringLiteral("192.168.1.36"));
        w->udpMessageReceive(QStringLiteral("Q_R4:v6:1.0"), QStringLiteral("fe80::1"));
        w->udpMessageReceive(QStringLiteral("Q_R4:nobody:1.0"), QString());
        w->udpMessageReceive(QStringLiteral("Q_R4:Big:1.0:") + QString(2000, QLatin1Char('x')),
                             QStringLiteral("192.168.1.33"));
        w->udpMessageReceive(QStringLiteral("NOTIFY * HTTP/1.1"), QStringLiteral("192.168.1.34"));
        QCOMPARE(deviceList(f)->count(), 3);
        QCOMPARE(f.logText(), before);

        // Markup in a name is shown as it is, in the list and in the log;
        // line breaks and direction overrides cannot rearrange the entry.
        w->udpMessageReceive(QStringLiteral("Q_R4:<b>bold</b>:<i>1</i>"), QStringLiteral("192.168.1.40"));
        QCOMPARE(deviceList(f)->item(3)->text(), QStringLiteral("192.168.001.040 - <b>bold</b> (v<i>1</i>)"));
        QVERIFY(f.logText().contains(QStringLiteral("<b>bold</b> found at address 192.168.1.40. Version: <i>1</i>")));
        w->udpMessageReceive(QStringLiteral("Q_R4:a\u202Eb\u2028c\u0085d\u007Fe\u202Af\u2066g:1\u2069"),
                             QStringLiteral("192.168.1.41"));
        QCOMPARE(deviceList(f)->item(4)->text(), QStringLiteral("192.168.001.041 - a b c d e f g (v1 )"));

        // Entries the list drops are forgotten: heard again, they are new.
        delete deviceList(f)->takeItem(0);
        w->udpMessageReceive(QStringLiteral("Q_R4:Nine:1.0"), QStringLiteral("192.168.1.9"));
        QCOMPARE(deviceList(f)->item(0)->text(), QStringLiteral("192.168.001.009 - Nine (v1.0)"));
        QCOMPARE(f.logCount("Nine found at address"), 2);
        deviceList(f)->clear();
        w->udpMessageReceive(QStringLiteral("Q_R4:Ten:1.0"), QStringLiteral("192.168.1.10"));
        QCOMPARE(itemTexts(deviceList(f)), QStringList {QStringLiteral("192.168.001.010 - Ten (v1.0)")});
    }

    // A reader silent for more than 10 s turns italic with one message, and
    // back with one message when it is heard again; the rule holds across
    // midnight.
    void offlineAndOnlineAgain()
    {
        WindowFixture f(false);
        MainWindow *w = f.window();
        qint64 now = QDateTime(QDate(2024, 3, 1), QTime(23, 59, 55)).toMSecsSinceEpoch();
        const qint64 heard = now;
        w->discoveryClock = [&] { return now; };
        w->udpMessageReceive(QStringLiteral("Q_R4:Reader-7:1.2.3"), QStringLiteral("192.168.1.20"));
        w->udpMessageReceive(QStringLiteral("Q_R4:Other:1.0"), QStringLiteral("192.168.1.21"));
        QListWidgetItem *entry = deviceList(f)->item(0);
        const QString offline = QStringLiteral("Device Reader-7(192.168.1.20) is offline now.");
        const QString online = QStringLiteral("Device Reader-7(192.168.1.20) is online now.");

        now = heard + Discovery::OfflineAfterMs; // 00:00:05 of the next day
        w->updateListTimer();
        QVERIFY(!italic(entry));
        QCOMPARE(f.logCount("is offline now."), 0);

        // The window's own timer notices, 1 s later at most.
        now = heard + 11000;
        w->udpMessageReceive(QStringLiteral("Q_R4:Other:1.0"), QStringLiteral("192.168.1.21"));
        QTRY_COMPARE_WITH_TIMEOUT(f.logCount(offline), 1, 2500);
        QVERIFY(italic(entry));
        QVERIFY(!italic(deviceList(f)->item(1)));
        now += 5000;
        w->updateListTimer();
        w->updateListTimer();
        QCOMPARE(f.logCount(offline), 1);
        QVERIFY(italic(entry));

        w->udpMessageReceive(QStringLiteral("Q_R4:Reader-7:1.2.3"), QStringLiteral("192.168.1.20"));
        QVERIFY(!italic(entry));
        QCOMPARE(f.logCount(online), 1);
        w->udpMessageReceive(QStringLiteral("Q_R4:Reader-7:1.2.3"), QStringLiteral("192.168.1.20"));
        w->updateListTimer();
        QCOMPARE(f.logCount(online), 1);
        QCOMPARE(f.logCount(offline), 1);

        // Silence is measured, not the time of day: a clock behind the entry.
        QVERIFY(Discovery::heardRecently(heard, heard - 60000));

        // With every entry as it should be, the list is left alone: the
        // window idles (a second of it takes far less than a second of CPU).
        timespec before {}, after {};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
        QTest::qWait(1000);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
        const qint64 cpuMs = (after.tv_sec - before.tv_sec) * 1000 + (after.tv_nsec - before.tv_nsec) / 1000000;
        QVERIFY2(cpuMs < 250, qPrintable(QString::number(cpuMs)));
    }

    // A crowd of senders (a big network, or forged addresses) is taken in
    // while the window goes on answering: what the user does meanwhile is
    // not queued behind thousands of announcements, nor behind thousands
    // of entries going offline at once. Nothing is lost.
    void crowdOfSendersLeavesTheWindowAnswering()
    {
        WindowFixture f(false);
        MainWindow *w = f.window();
        qint64 now = 0;
        w->discoveryClock = [&] { return now; };
        const int crowd = 3000;
        // What was done when the user's click, posted behind the crowd, ran.
        int handledAtClick = -1;
        int offlineAtClick = -1;
        const auto postClick = [&] {
            QMetaObject::invokeMethod(
                w,
                [&] {
                    handledAtClick = w->udpAnnouncementsHandled;
                    offlineAtClick = f.logCount(" is offline now.");
                },
                Qt::QueuedConnection);
        };

        // As the listener delivers them: queued calls, all posted at once.
        for (int i = crowd - 1; i >= 0; --i)
            QMetaObject::invokeMethod(w, "udpMessageReceive", Qt::QueuedConnection,
                                      Q_ARG(QString, QStringLiteral("Q_R4:R%1:1.0").arg(i)),
                                      Q_ARG(QString, QStringLiteral("10.1.%1.%2").arg(i / 256).arg(i % 256)));
        postClick();
        QTRY_VERIFY(handledAtClick >= 0);
        QVERIFY2(handledAtClick < crowd / 2, qPrintable(QString::number(handledAtClick)));
        QTRY_COMPARE_WITH_TIMEOUT(deviceList(f)->count(), crowd, 20000);
        QCOMPARE(f.logCount(" found at address "), crowd);
        QCOMPARE(deviceList(f)->item(0)->text(), QStringLiteral("010.001.000.000 - R0 (v1.0)"));
        QCOMPARE(deviceList(f)->item(crowd - 1)->text(), QStringLiteral("010.001.011.183 - R2999 (v1.0)"));

        // All silent at once: one timer tick, every entry offline, each
        // said once, and the click in between is not kept waiting.
        now += Discovery::OfflineAfterMs + 1;
        w->updateListTimer();
        w->udpMessageReceive(QStringLiteral("Q_R4:Late:1.0"), QStringLiteral("10.2.0.1"));
        offlineAtClick = -1;
        postClick();
        QTRY_VERIFY(offlineAtClick >= 0);
        QVERIFY2(offlineAtClick < crowd / 2, qPrintable(QString::number(offlineAtClick)));
        QTRY_COMPARE_WITH_TIMEOUT(f.logCount(" is offline now."), crowd, 20000);
        QCOMPARE(deviceList(f)->count(), crowd + 1);
        for (int i = 0; i < deviceList(f)->count(); ++i) {
            QListWidgetItem *entry = deviceList(f)->item(i);
            QCOMPARE(italic(entry), entry->data(Qt::UserRole + 1).toString() != QLatin1String("Late"));
        }
    }

    // Datagrams from simulated readers and other senders on 127.0.0.x reach
    // the list through the listener; oversized, empty and scan ones do not
    // stop it. Closing the window ends both loops, also while the listener
    // blocks in its receive and datagrams keep coming; the next window
    // starts anew.
    void listenerTakesDatagramsUntilTheWindowCloses()
    {
        WindowFixture f;
        QTRY_VERIFY_WITH_TIMEOUT(discoveryPortTaken(), 3000);
        QFuture<void> scan = f.window()->udpScanFuture;
        QFuture<void> listen = f.window()->udpListenFuture;
        QVERIFY(scan.isRunning());
        QVERIFY(listen.isRunning());

        SimUdp hall(f.reader());
        hall.setName(QStringLiteral("Hall"));
        QVERIFY(hall.setSourceAddress(QHostAddress(QStringLiteral("127.0.0.20"))));
        SimReader other;
        other.setVersion(QStringLiteral("1.7"));
        SimUdp gate(&other);
        gate.setName(QStringLiteral("Gate"));
        QVERIFY(gate.setSourceAddress(QHostAddress(QStringLiteral("127.0.0.9"))));
        QVERIFY(hall.announce());
        QVERIFY(gate.announce());
        const QList<QPair<QString, QByteArray>> sent {
            {QStringLiteral("127.0.0.30"), "Q_R4:Big:1.0:" + QByteArray(1200, 'x')},
            {QStringLiteral("127.0.0.30"), QByteArray()},
            {QStringLiteral("127.0.0.30"), QByteArray("Q_R4:SCAN")},
            {QStringLiteral("127.0.0.30"), QByteArray("Q_R4:Nul:3.0\0:ignored", 21)},
            {QStringLiteral("127.0.0.31"), QStringLiteral("Q_R4:Unicode-\u00DCn\u00EF:1.0").toUtf8()}};
        for (const auto &datagram : sent) {
            QUdpSocket sender;
            QVERIFY(sender.bind(QHostAddress(datagram.first), 0));
            QCOMPARE(sender.writeDatagram(datagram.second, QHostAddress::LocalHost, Discovery::Port),
                     qint64(datagram.second.size()));
        }
        QTRY_COMPARE(itemTexts(deviceList(f)),
                     (QStringList {QStringLiteral("127.000.000.009 - Gate (v1.7)"),
                                   QStringLiteral("127.000.000.020 - Hall (v2.38)"),
                                   QStringLiteral("127.000.000.030 - Nul (v3.0)"),
                                   QStringLiteral("127.000.000.031 - Unicode-\u00DCn\u00EF (v1.0)")}));
        QCOMPARE(deviceList(f)->item(0)->data(Qt::UserRole).toString(), QStringLiteral("127.0.0.9"));
        QVERIFY(!f.logText().contains(QStringLiteral("Big")));

        SimUdp stream(f.reader());
        stream.setInterval(10);
        stream.start();
        QTRY_COMPARE(deviceList(f)->count(), 5);
        f.closeWindow();
        QVERIFY(scan.isFinished());
        QVERIFY(listen.isFinished());
        QVERIFY(!discoveryPortTaken());
        QTest::qWait(100); // queued announcements for the closed window go nowhere

        f.reopenWindow();
        QTRY_VERIFY_WITH_TIMEOUT(discoveryPortTaken(), 3000);
        QTRY_COMPARE(deviceList(f)->count(), 1);
        QVERIFY(f.window()->udpScanFuture.isRunning());
        stream.stop();
    }

    void selectConnectAndOpenWeb()
    {
        WindowFixture f;
        MainWindow *w = f.window();
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
        auto *address = f.widget<QLineEdit>("leDeviceAddr");

        // Without an address both buttons only ask for one.
        f.click("btOpenWeb");
        f.click("btNetworkConnect");
        QCOMPARE(f.logCount("Please enter device IP address or select from device list"), 2);
        QVERIFY(catcher.urls.isEmpty());
        QVERIFY(!w->tcpConnected);

        w->udpMessageReceive(QStringLiteral("Q_R4:Reader-7:1.2.3"), QStringLiteral("192.168.1.20"));
        w->udpMessageReceive(QStringLiteral("Q_R4:Sim:2.38"), QStringLiteral("127.0.0.1"));
        deviceList(f)->setCurrentRow(1);
        QCOMPARE(address->text(), QStringLiteral("192.168.1.20"));
        f.click("btOpenWeb");
        QCOMPARE(catcher.urls, QList<QUrl> {QUrl(QStringLiteral("http://192.168.1.20"))});

        // The simulated reader's entry leads to its TCP server.
        deviceList(f)->setCurrentRow(0);
        QCOMPARE(address->text(), QStringLiteral("127.0.0.1"));
        f.widget<QSpinBox>("sbPort")->setValue(f.reader()->tcpPort());
        f.click("btNetworkConnect");
        QTRY_VERIFY(w->tcpConnected);
        QTRY_COMPARE(w->statusDetailLabel->text(), QStringLiteral("Version:2.38"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    }

    void exportTheList()
    {
        QTemporaryDir dir;
        WindowFixture f(false);
        MainWindow *w = f.window();
        QString chosen;
        w->fileChooser = [&](const QString &, const QString &, bool save) { return save ? chosen : QString(); };

        // Cancelled dialog.
        f.click("btSaveList");
        QCOMPARE(f.logCount("No file selected"), 1);

        // Order of the list, addresses as received, offline entries alike.
        qint64 now = 0;
        w->discoveryClock = [&] { return now; };
        w->udpMessageReceive(QStringLiteral("Q_R4:Reader-7:1.2.3"), QStringLiteral("192.168.1.20"));
        w->udpMessageReceive(QStringLiteral("Q_R4:Nine:2.0"), QStringLiteral("192.168.1.9"));
        now = 20000;
        w->udpMessageReceive(QStringLiteral("Q_R4:Seven:3.1"), QStringLiteral("10.0.0.7"));
        w->updateListTimer();
        QVERIFY(italic(deviceList(f)->item(2)));
        chosen = dir.filePath(QStringLiteral("devices.xlsx"));
        f.click("btSaveList");
        QVERIFY(f.waitForLog(QStringLiteral("Device list exported to file ") + chosen));
        const QList<QStringList> three = {{"Name", "IP", "Firmware"},
                                          {"Seven", "10.0.0.7", "3.1"},
                                          {"Nine", "192.168.1.9", "2.0"},
                                          {"Reader-7", "192.168.1.20", "1.2.3"}};
        int sheets = 0;
        QCOMPARE(workbookRows(chosen, &sheets), three);

        // An existing file is replaced, not added to, by a shorter workbook
        // (an empty list gives the header row alone); a file that is no
        // workbook at all too.
        const QString junk = dir.filePath(QStringLiteral("junk.xlsx"));
        QVERIFY(writeFile(junk, "not a workbook"));
        f.reopenWindow();
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return chosen; };
        const QList<QStringList> none = {{"Name", "IP", "Firmware"}};
        for (const QString &file : {chosen, junk}) {
            chosen = file;
            f.click("btSaveList");
            QVERIFY(f.waitForLog(QStringLiteral("Device list exported to file ") + chosen));
            QCOMPARE(workbookRows(chosen, &sheets), none);
            QCOMPARE(sheets, 1);
        }

        // No temporary file is left beside the two workbooks (what a save
        // that fails leaves is the file-saving suite's story).
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }
};

QTEST_MAIN(TestDiscovery)

#include "tst_discovery.moc"
