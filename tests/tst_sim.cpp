// The simulated reader itself: its codec against known frames, and the reader
// driven the way the client drives a device, over a real pty and loopback TCP.

#include "sim/simchannel.h"
#include "sim/simcodec.h"
#include "sim/simreader.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

QByteArray versionAnswer(quint8 address, const char* version = "2.38")
{
    QByteArray payload = hex("000B");
    payload.append(version);
    payload.append('\0');
    return SimCodec::buildFrame(address, payload);
}

// Collects n bytes from dev while the event loop runs (the simulator lives in
// the same thread); returns what came within the time-out.
QByteArray readBytes(QIODevice& dev, int n, int timeoutMs = 3000)
{
    QByteArray got = dev.readAll();
    QElapsedTimer timer;
    timer.start();
    while (got.size() < n && timer.elapsed() < timeoutMs) {
        QTest::qWait(5);
        got += dev.readAll();
    }
    return got;
}

// Everything that arrives within ms.
QByteArray drain(QIODevice& dev, int ms = 250)
{
    QTest::qWait(ms);
    return dev.readAll();
}

QByteArray ask(QIODevice& dev, const QByteArray& request, int answerSize)
{
    dev.write(request);
    return readBytes(dev, answerSize);
}

const QByteArray kGetVersion = hex("F50300FCFF0B9B50");
const QByteArray kGetVersionTo5 = SimCodec::buildFrame(5, hex("0B"));

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void codecWorkedFrames_data();
    void codecWorkedFrames();
    void crcCheckValues();
    void parserFindsFramesInAnyChunking();
    void parserLengthLimitsAndBadCrc();
    void parserDropsBodyAfterSilence();

    void serialAnswersVersion();
    void tcpAnswersEachClient();
    void addressFiltering();
    void silentAndCorrupt();
    void badCrcFromClientGetsErrorReply();
    void handlersAndUnknownCommands();
    void unsolicitedFramesOnEveryTransport();
    void unplugAndReplug();

private:
    QTemporaryDir m_dir;
};

void TestSim::codecWorkedFrames_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("0B") << 0 << hex("0B") << hex("F50300FCFF0B9B50");
    QTest::newRow("0B to 01") << 1 << hex("0B") << hex("F50400FBFF010B559F");
    QTest::newRow("error reply") << 0 << hex("FFFF02") << hex("F50500FAFFFFFF024220");
    QTest::newRow("error reply to 05") << 5 << hex("FFFF02") << hex("F50600F9FF05FFFF025BD4");
    QTest::newRow("empty") << 0 << QByteArray() << hex("F50200FDFF0000");
}

void TestSim::codecWorkedFrames()
{
    QFETCH(int, address);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, frame);
    QCOMPARE(SimCodec::buildFrame(quint8(address), payload).toHex(' '), frame.toHex(' '));

    SimCodec::Parser parser;
    const QList<SimCodec::Frame> frames = parser.feed(frame, 0);
    QCOMPARE(frames.size(), 1);
    QVERIFY(frames[0].crcOk);
    QByteArray got;
    QVERIFY(frames[0].payloadFor(quint8(address), &got));
    QCOMPARE(got, payload);
}

void TestSim::crcCheckValues()
{
    QCOMPARE(SimCodec::crc16(QByteArray("123456789")), quint16(0x29B1));
    QCOMPARE(SimCodec::crc16(QByteArray()), quint16(0x0000));
}

void TestSim::parserFindsFramesInAnyChunking()
{
    // Line noise, a frame that looks like a header start, then two frames.
    const QByteArray first = hex("F50400FBFF010B559F");
    const QByteArray second = SimCodec::buildFrame(0, hex("00F5F50300FC"));
    const QByteArray stream = hex("00F5F503") + first + second;
    for (int cut = 0; cut <= stream.size(); ++cut) {
        SimCodec::Parser parser;
        QList<SimCodec::Frame> frames = parser.feed(stream.left(cut), 0);
        frames += parser.feed(stream.mid(cut), 10);
        QCOMPARE(frames.size(), 2);
        QCOMPARE(frames[0].body, hex("010B"));
        QCOMPARE(frames[1].body, hex("00F5F50300FC"));
        QVERIFY(frames[0].crcOk && frames[1].crcOk);
    }
}

void TestSim::parserLengthLimitsAndBadCrc()
{
    auto header = [](int length) {
        QByteArray h;
        h.append(char(0xF5)).append(char(length & 0xFF)).append(char(length >> 8));
        h.append(char(~length & 0xFF)).append(char((~length >> 8) & 0xFF));
        return h;
    };
    SimCodec::Parser parser;
    // Largest body accepted; one more is not a header.
    const QByteArray big = SimCodec::buildFrame(0, QByteArray(SimCodec::kMaxBody - 2, '\x11'));
    QCOMPARE(parser.feed(big, 0).size(), 1);
    QCOMPARE(parser.feed(header(SimCodec::kMaxBody + 1) + QByteArray(SimCodec::kMaxBody + 1, '\0'), 0).size(), 0);
    QVERIFY(!parser.isCollecting());
    QCOMPARE(parser.feed(header(1) + hex("00"), 0).size(), 0);
    QVERIFY(!parser.isCollecting());

    QByteArray damaged = kGetVersion;
    damaged[6] = char(0x51);
    const QList<SimCodec::Frame> frames = parser.feed(damaged + kGetVersion, 0);
    QCOMPARE(frames.size(), 2);
    QVERIFY(!frames[0].crcOk);
    QVERIFY(frames[1].crcOk);
}

void TestSim::parserDropsBodyAfterSilence()
{
    SimCodec::Parser parser;
    QCOMPARE(parser.feed(kGetVersion.left(6), 0).size(), 0);
    QCOMPARE(parser.feed(kGetVersion.mid(6), 499).size(), 1);

    QCOMPARE(parser.feed(kGetVersion.left(6), 1000).size(), 0);
    QCOMPARE(parser.feed(kGetVersion.mid(6) + kGetVersion, 1500).size(), 1);
    QCOMPARE(parser.abandonedCount(), 1);
}

void TestSim::serialAnswersVersion()
{
    SimReader reader;
    const QString link = m_dir.filePath(QStringLiteral("ttyVersion"));
    QVERIFY(reader.openPty(link));
    QVERIFY(reader.ptyPath().startsWith(QLatin1String("/dev/")));
    QCOMPARE(QFileInfo(link).symLinkTarget(), reader.ptyPath());

    QByteArray raw;
    connect(&reader, &SimReader::rawReceived, this, [&raw](const QByteArray& b) { raw += b; });

    // Through the link, then again after the client closed and reopened the
    // port: the reader must survive the client going away.
    for (int round = 0; round < 2; ++round) {
        QSerialPort port(link);
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        port.setBaudRate(115200);
        QCOMPARE(ask(port, kGetVersion, versionAnswer(0).size()), versionAnswer(0));
        QVERIFY(drain(port, 50).isEmpty());
        port.close();
        QTest::qWait(100);   // nobody on the line for a while
    }
    QCOMPARE(raw, kGetVersion + kGetVersion);
    QCOMPARE(reader.receivedPayloads(), QList<QByteArray>({hex("0B"), hex("0B")}));
}

void TestSim::tcpAnswersEachClient()
{
    SimReader reader;
    reader.setVersion(QStringLiteral("R5 1.15"));
    QVERIFY(reader.listenTcp(0));
    QVERIFY(reader.tcpPort() != 0);

    QTcpSocket a, b;
    a.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
    b.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
    QVERIFY(a.waitForConnected(2000) && b.waitForConnected(2000));
    QTRY_COMPARE(reader.tcpClientCount(), 2);

    // Split across two writes; the answer goes only to the asking client.
    a.write(kGetVersion.left(3));
    QTest::qWait(20);
    a.write(kGetVersion.mid(3));
    const QByteArray expected = versionAnswer(0, "R5 1.15");
    QCOMPARE(readBytes(a, expected.size()), expected);
    QVERIFY(drain(b).isEmpty());
    QCOMPARE(ask(b, kGetVersion, expected.size()), expected);

    a.disconnectFromHost();
    QTRY_COMPARE(reader.tcpClientCount(), 1);
}

void TestSim::addressFiltering()
{
    SimReader reader;
    reader.setAddress(5);
    QVERIFY(reader.listenTcp(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
    QVERIFY(client.waitForConnected(2000));

    client.write(SimCodec::buildFrame(6, hex("0B")));
    client.write(kGetVersion);   // no address byte: 0B is not our address
    QVERIFY(drain(client).isEmpty());
    QVERIFY(reader.receivedPayloads().isEmpty());

    QCOMPARE(ask(client, kGetVersionTo5, versionAnswer(5).size()), versionAnswer(5));
    QCOMPARE(reader.receivedPayloads(), QList<QByteArray>({hex("0B")}));
}

void TestSim::silentAndCorrupt()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
    QVERIFY(client.waitForConnected(2000));
    const int size = versionAnswer(0).size();

    reader.setSilent(true);
    client.write(kGetVersion);
    QVERIFY(drain(client).isEmpty());
    QCOMPARE(reader.receivedPayloads().size(), 1);   // heard, not answered
    reader.setSilent(false);

    reader.corruptNextCrc();
    const QByteArray bad = ask(client, kGetVersion, size);
    QCOMPARE(bad.size(), size);
    QCOMPARE(bad.left(size - 2), versionAnswer(0).left(size - 2));
    SimCodec::Parser parser;
    const QList<SimCodec::Frame> frames = parser.feed(bad);
    QCOMPARE(frames.size(), 1);
    QVERIFY(!frames[0].crcOk);
    QCOMPARE(ask(client, kGetVersion, size), versionAnswer(0));   // only the one
}

void TestSim::badCrcFromClientGetsErrorReply()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
    QVERIFY(client.waitForConnected(2000));

    QByteArray damaged = kGetVersion;
    damaged[7] = char(0x00);
    QCOMPARE(ask(client, damaged, 10), hex("F50500FAFFFFFF024220"));
    QCOMPARE(reader.badCrcCount(), 1);

    reader.setAddress(5);
    damaged = kGetVersionTo5;
    damaged[7] = char(0x00);
    QCOMPARE(ask(client, damaged, 11), hex("F50600F9FF05FFFF025BD4"));
    QCOMPARE(reader.badCrcCount(), 2);
    QVERIFY(reader.receivedPayloads().isEmpty());
}

void TestSim::handlersAndUnknownCommands()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
    QVERIFY(client.waitForConnected(2000));

    QSignalSpy requests(&reader, &SimReader::requestReceived);
    reader.registerCommand(0x03, [](SimRequest& req) { req.error(0x0102); });
    QList<SimRequest> held;
    reader.registerCommand(0x02, [&held](SimRequest& req) { held.append(req); });

    const QByteArray errorAnswer = SimCodec::buildFrame(0, hex("FF030102"));
    QCOMPARE(ask(client, SimCodec::buildFrame(0, hex("03AABB")), errorAnswer.size()), errorAnswer);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0][0].value<quint8>(), quint8(0x03));
    QCOMPARE(requests[0][1].toByteArray(), hex("AABB"));

    // A handler may answer later, on the transport the request came from.
    client.write(SimCodec::buildFrame(0, hex("02")));
    QTRY_COMPARE(held.size(), 1);
    QVERIFY(drain(client, 50).isEmpty());
    held[0].ack(hex("01"));
    const QByteArray late = SimCodec::buildFrame(0, hex("000201"));
    QCOMPARE(readBytes(client, late.size()), late);

    client.write(SimCodec::buildFrame(0, hex("30")));
    QVERIFY(drain(client).isEmpty());
    reader.setAckUnknown(true);
    const QByteArray bareAck = SimCodec::buildFrame(0, hex("0030"));
    QCOMPARE(ask(client, SimCodec::buildFrame(0, hex("30")), bareAck.size()), bareAck);
    client.write(SimCodec::buildFrame(0, hex("FFFF02")));   // a peer's error reply is not acked
    QVERIFY(drain(client).isEmpty());
}

void TestSim::unsolicitedFramesOnEveryTransport()
{
    SimReader reader;
    QVERIFY(reader.openPty());
    QVERIFY(reader.listenTcp(0));
    QSerialPort port(reader.ptyPath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
    QVERIFY(client.waitForConnected(2000));
    QTRY_COMPARE(reader.tcpClientCount(), 1);

    reader.setAddress(0x1A);
    reader.sendLogLine(QStringLiteral("\x1b[32mI (42) boot: ok\x1b[0m"));
    reader.sendEvent(0x01);
    QByteArray log = hex("E4");
    log += "\x1b[32mI (42) boot: ok\x1b[0m";
    log += '\0';
    const QByteArray expected = SimCodec::buildFrame(0x1A, log) + SimCodec::buildFrame(0x1A, hex("FE01"));
    QCOMPARE(readBytes(port, expected.size()), expected);
    QCOMPARE(readBytes(client, expected.size()), expected);

    reader.sendRaw(hex("00F5"));
    QCOMPARE(readBytes(port, 2), hex("00F5"));
    QCOMPARE(readBytes(client, 2), hex("00F5"));
}

void TestSim::unplugAndReplug()
{
    SimReader reader;
    const QString link = m_dir.filePath(QStringLiteral("ttyPlug"));
    QVERIFY(reader.openPty(link));
    QVERIFY(reader.listenTcp(0));
    const quint16 tcpPort = reader.tcpPort();

    QList<QSerialPort::SerialPortError> errors;
    {
        QSerialPort port(link);
        connect(&port, &QSerialPort::errorOccurred, this,
                [&errors](QSerialPort::SerialPortError e) { errors.append(e); });
        QVERIFY(port.open(QIODevice::ReadWrite));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, tcpPort);
        QVERIFY(client.waitForConnected(2000));
        QTRY_COMPARE(reader.tcpClientCount(), 1);

        reader.unplug();
        QVERIFY(!reader.isPlugged());
        QVERIFY(!QFileInfo(link).isSymLink());
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);

        // The hang-up ends reading at once; which error Qt names for that
        // depends on errno at the moment. Writing to the dead port then fails
        // with EIO, which Qt reports as a resource error.
        QTRY_VERIFY(errors.contains(QSerialPort::ReadError) || errors.contains(QSerialPort::ResourceError));
        port.write(kGetVersion);
        QTRY_VERIFY(errors.contains(QSerialPort::ResourceError));
        port.close();

        QTcpSocket refused;
        refused.connectToHost(QHostAddress::LocalHost, tcpPort);
        QVERIFY(!refused.waitForConnected(1000));
    }

    reader.replug();
    QVERIFY(reader.isPlugged());
    QVERIFY(!reader.ptyPath().isEmpty());
    QCOMPARE(QFileInfo(link).symLinkTarget(), reader.ptyPath());
    QCOMPARE(reader.tcpPort(), tcpPort);

    QSerialPort port(link);
    QVERIFY(port.open(QIODevice::ReadWrite));
    QCOMPARE(ask(port, kGetVersion, versionAnswer(0).size()), versionAnswer(0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, tcpPort);
    QVERIFY(client.waitForConnected(2000));
    QCOMPARE(ask(client, kGetVersion, versionAnswer(0).size()), versionAnswer(0));
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
