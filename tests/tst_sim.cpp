// The simulated reader itself: its codec against known frames, and the reader
// driven the way the client drives a device, over a real pty and loopback TCP.

#include "sim/simchannel.h"
#include "sim/simcodec.h"
#include "sim/simreader.h"
#include "sim/simtags.h"

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

QByteArray frame(const char* payload)
{
    return SimCodec::buildFrame(0, hex(payload));
}

// Sends each request payload and compares the answer frame with the expected
// payload's; returns the first mismatch, empty when all matched.
QString exchange(QIODevice& dev, std::initializer_list<std::pair<const char*, const char*>> steps)
{
    for (const auto& [request, answer] : steps) {
        const QByteArray expected = frame(answer);
        const QByteArray got = ask(dev, frame(request), expected.size());
        if (got != expected)
            return QStringLiteral("%1: expected %2, got %3").arg(request, expected.toHex(' '), got.toHex(' '));
    }
    return QString();
}

// A client connected to the reader's TCP port, or an empty pointer.
std::unique_ptr<QTcpSocket> connectTo(SimReader& reader)
{
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, reader.tcpPort());
    if (!client->waitForConnected(2000))
        return nullptr;
    return client;
}

const QByteArray kUlUid = hex("04A1B2C3D4E5F6");

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
    void dropTcpClientsKeepsListening();
    void failCommandOnceAndRepeatedly();

    void tagCountUidActivateHalt();
    void ultralightPagesWriteAndRead();
    void tagEventOnArrival();

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

    // Commands the simulator does not model ("Set polling", or no command
    // at all) get a bare positive answer unless that is turned off.
    QVERIFY(reader.ackUnknown());
    QCOMPARE(exchange(client, {{"0601", "0006"}, {"30", "0030"}}), QString());
    client.write(frame("FFFF02"));   // a peer's error reply is not acked
    QVERIFY(drain(client).isEmpty());
    reader.setAckUnknown(false);
    client.write(frame("0601"));
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

void TestSim::dropTcpClientsKeepsListening()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto a = connectTo(reader);
    auto b = connectTo(reader);
    QVERIFY(a && b);
    QTRY_COMPARE(reader.tcpClientCount(), 2);

    reader.dropTcpClients();
    QCOMPARE(reader.tcpClientCount(), 0);
    QTRY_COMPARE(a->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(b->state(), QAbstractSocket::UnconnectedState);

    auto again = connectTo(reader);
    QVERIFY(again);
    QCOMPARE(ask(*again, kGetVersion, versionAnswer(0).size()), versionAnswer(0));
    QCOMPARE(reader.tcpClientCount(), 1);
}

void TestSim::failCommandOnceAndRepeatedly()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);

    reader.failCommand(0x0B, 0x0A0B);
    QCOMPARE(exchange(*client, {{"0B", "FF0B0A0B"}}), QString());
    QCOMPARE(ask(*client, kGetVersion, versionAnswer(0).size()), versionAnswer(0));

    // Counted per code: other commands go on answering normally.
    reader.failCommand(0x02, 0x0001, 2);
    QCOMPARE(exchange(*client, {{"02", "FF020001"}, {"05", "0005"}, {"02", "FF020001"}, {"02", "000200"}}), QString());

    // Until cleared; a failing write stores nothing.
    reader.tagField().placeTag(SimTag::ultralight(kUlUid));
    reader.failCommand(0x41, 0x0203, -1);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(exchange(*client, {{"410401AABBCCDD", "FF410203"}}), QString());
    QCOMPARE(exchange(*client, {{"400401", "004000000000"}}), QString());
    reader.clearFailures();
    QCOMPARE(exchange(*client, {{"410401AABBCCDD", "0041"}, {"400401", "0040AABBCCDD"}}), QString());

    reader.failCommand(0x05, 0x0001, -1);
    reader.failCommand(0x05, 0x0001, 0);   // withdrawn
    QVERIFY(reader.failures().isEmpty());
    QCOMPARE(exchange(*client, {{"05", "0005"}}), QString());

    reader.failCommand(0xFF, 0x0001, -1);
    client->write(frame("FFFF02"));
    QVERIFY(drain(*client).isEmpty());
}

void TestSim::tagCountUidActivateHalt()
{
    SimReader reader;
    QVERIFY(reader.openPty());
    QSerialPort port(reader.ptyPath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    SimTagField& field = reader.tagField();

    QCOMPARE(exchange(port, {{"02", "000200"},
                             {"0300", "FF030101"},
                             {"0400", "FF040101"},
                             {"03", "FF030102"},
                             {"05", "0005"}}), QString());

    field.placeTag(SimTag::ultralight(kUlUid));
    field.placeTag(SimTag::classic(hex("11223344")));
    QCOMPARE(exchange(port, {{"02", "000202"},
                             {"0300", "0003010004A1B2C3D4E5F6"},
                             {"0301", "0003020811223344"},
                             {"0302", "FF030101"},
                             {"0401", "0004"},
                             {"0402", "FF040101"},
                             {"05", "0005"}}), QString());

    // Same UID again: takes the old one's place, the count stays.
    field.placeTag(SimTag::ultralight(hex("11223344"), 45));
    QCOMPARE(exchange(port, {{"02", "000202"}, {"0301", "0003010011223344"}}), QString());
    QVERIFY(field.removeTag(kUlUid));
    QVERIFY(!field.removeTag(kUlUid));
    QCOMPARE(exchange(port, {{"02", "000201"}, {"0300", "0003010011223344"}}), QString());
    field.clear();
    QCOMPARE(exchange(port, {{"02", "000200"}}), QString());
}

void TestSim::ultralightPagesWriteAndRead()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);
    SimTagField& field = reader.tagField();

    QCOMPARE(exchange(*client, {{"400401", "FF400101"}, {"410401AABBCCDD", "FF410101"}}), QString());

    field.placeTag(SimTag::ultralight(kUlUid));
    // An address tag record in pages 4 and 5, read back; pages 0 to 2 carry
    // the UID with its check bytes.
    QCOMPARE(exchange(*client, {{"4104024778303105006392", "0041"},
                                {"400402", "00404778303105006392"},
                                {"400003", "004004A1B29FC3D4E5F604480000"},
                                {"410F01AABBCCDDEE", "0041"},
                                {"400F01", "0040AABBCCDD"}}), QString());
    QCOMPARE(field.tags()[0].pages(4, 2), hex("4778303105006392"));

    QCOMPARE(exchange(*client, {{"400F02", "FF400104"},
                                {"411001AABBCCDD", "FF410104"},
                                {"410201AABBCCDD", "FF410105"},
                                {"410001AABBCCDD", "FF410105"},
                                {"410402AABBCCDD", "FF410102"},
                                {"400400", "FF400102"},
                                {"40", "FF400102"}}), QString());
    QCOMPARE(field.tags()[0].pages(0, 3), hex("04A1B29FC3D4E5F604480000"));

    // Page commands act on the activated tag until HALT, then on tag 0.
    field.placeTag(SimTag::ultralight(hex("0411223344556677"), 45));
    field.placeTag(SimTag::classic(hex("CAFE0001")));
    QCOMPARE(exchange(*client, {{"0401", "0004"},
                                {"412C0101020304", "0041"},
                                {"402C01", "004001020304"},
                                {"402D01", "FF400104"},
                                {"05", "0005"},
                                {"402C01", "FF400104"},
                                {"0402", "0004"},
                                {"400401", "FF400103"},
                                {"410401AABBCCDD", "FF410103"}}), QString());
    QVERIFY(field.removeTag(hex("CAFE0001")));   // the activated tag leaves
    QCOMPARE(exchange(*client, {{"400401", "004047783031"}}), QString());
}

void TestSim::tagEventOnArrival()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);
    QTRY_COMPARE(reader.tcpClientCount(), 1);
    SimTagField& field = reader.tagField();

    field.placeTag(SimTag::ultralight(kUlUid));
    QVERIFY(drain(*client).isEmpty());
    field.setTagEvents(true);
    field.placeTag(SimTag::classic(hex("11223344")));
    QCOMPARE(readBytes(*client, frame("FE01").size()), frame("FE01"));
    QVERIFY(field.removeTag(kUlUid));
    field.clear();
    QVERIFY(drain(*client).isEmpty());
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
