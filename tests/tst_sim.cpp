// The simulated reader itself: its codec against known frames, and the reader
// driven the way the client drives a device, over a real pty and loopback TCP.

#include "sim/simchannel.h"
#include "sim/simcodec.h"
#include "sim/simfiles.h"
#include "sim/simknowntags.h"
#include "sim/simreader.h"
#include "sim/simtags.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray versionAnswer(quint8 address, const char *version = "2.38")
{
    QByteArray payload = hex("000B");
    payload.append(version);
    payload.append('\0');
    return SimCodec::buildFrame(address, payload);
}

// Collects n bytes from dev while the event loop runs (the simulator lives in
// the same thread); returns what came within the time-out.
QByteArray readBytes(QIODevice &dev, int n, int timeoutMs = 3000)
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
QByteArray drain(QIODevice &dev, int ms = 250)
{
    QTest::qWait(ms);
    return dev.readAll();
}

QByteArray ask(QIODevice &dev, const QByteArray &request, int answerSize)
{
    dev.write(request);
    return readBytes(dev, answerSize);
}

QByteArray frame(const char *payload)
{
    return SimCodec::buildFrame(0, hex(payload));
}

// Sends each request payload and compares the answer frame with the expected
// payload's; returns the first mismatch, empty when all matched.
QString exchange(QIODevice &dev, std::initializer_list<std::pair<const char *, const char *>> steps)
{
    for (const auto &[request, answer] : steps) {
        const QByteArray expected = frame(answer);
        const QByteArray got = ask(dev, frame(request), expected.size());
        if (got != expected)
            return QStringLiteral("%1: expected %2, got %3").arg(request, expected.toHex(' '), got.toHex(' '));
    }
    return QString();
}

// A client connected to the reader's TCP port, or an empty pointer.
std::unique_ptr<QTcpSocket> connectTo(SimReader &reader)
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

    void configDocuments();
    void downloadIsByteExact();
    void uploadReplacesTheFile();
    void fileCommandErrors();
    void rebootOverPtyGoesQuietAndComesBack();
    void rebootOverTcpClosesAndListensAgain();
    void rebootWithNewPty();
    void factoryResetRestoresTheDefaults();
    void knownListReadAndWrite();

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
    connect(&reader, &SimReader::rawReceived, this, [&raw](const QByteArray &b) { raw += b; });

    // Through the link, then again after the client closed and reopened the
    // port: the reader must survive the client going away.
    for (int round = 0; round < 2; ++round) {
        QSerialPort port(link);
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        port.setBaudRate(115200);
        QCOMPARE(ask(port, kGetVersion, versionAnswer(0).size()), versionAnswer(0));
        QVERIFY(drain(port, 50).isEmpty());
        port.close();
        QTest::qWait(100); // nobody on the line for a while
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
    client.write(kGetVersion); // no address byte: 0B is not our address
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
    QCOMPARE(reader.receivedPayloads().size(), 1); // heard, not answered
    reader.setSilent(false);

    reader.corruptNextCrc();
    const QByteArray bad = ask(client, kGetVersion, size);
    QCOMPARE(bad.size(), size);
    QCOMPARE(bad.left(size - 2), versionAnswer(0).left(size - 2));
    SimCodec::Parser parser;
    const QList<SimCodec::Frame> frames = parser.feed(bad);
    QCOMPARE(frames.size(), 1);
    QVERIFY(!frames[0].crcOk);
    QCOMPARE(ask(client, kGetVersion, size), versionAnswer(0)); // only the one
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
    reader.registerCommand(0x03, [](SimRequest &req) { req.error(0x0102); });
    QList<SimRequest> held;
    reader.registerCommand(0x02, [&held](SimRequest &req) { held.append(req); });

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
    client.write(frame("FFFF02")); // a peer's error reply is not acked
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
    reader.failCommand(0x05, 0x0001, 0); // withdrawn
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
    SimTagField &field = reader.tagField();

    QCOMPARE(
        exchange(port,
                 {{"02", "000200"}, {"0300", "FF030101"}, {"0400", "FF040101"}, {"03", "FF030102"}, {"05", "0005"}}),
        QString());

    field.placeTag(SimTag::ultralight(kUlUid));
    field.placeTag(SimTag::classic(hex("11223344")));
    QCOMPARE(exchange(port,
                      {{"02", "000202"},
                       {"0300", "0003010004A1B2C3D4E5F6"},
                       {"0301", "0003020811223344"},
                       {"0302", "FF030101"},
                       {"0401", "0004"},
                       {"0402", "FF040101"},
                       {"05", "0005"}}),
             QString());

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
    SimTagField &field = reader.tagField();

    QCOMPARE(exchange(*client, {{"400401", "FF400101"}, {"410401AABBCCDD", "FF410101"}}), QString());

    field.placeTag(SimTag::ultralight(kUlUid));
    // An address tag record in pages 4 and 5, read back; pages 0 to 2 carry
    // the UID with its check bytes.
    QCOMPARE(exchange(*client,
                      {{"4104024778303105006392", "0041"},
                       {"400402", "00404778303105006392"},
                       {"400003", "004004A1B29FC3D4E5F604480000"},
                       {"410F01AABBCCDDEE", "0041"},
                       {"400F01", "0040AABBCCDD"}}),
             QString());
    QCOMPARE(field.tags()[0].pages(4, 2), hex("4778303105006392"));

    QCOMPARE(exchange(*client,
                      {{"400F02", "FF400104"},
                       {"411001AABBCCDD", "FF410104"},
                       {"410201AABBCCDD", "FF410105"},
                       {"410001AABBCCDD", "FF410105"},
                       {"410402AABBCCDD", "FF410102"},
                       {"400400", "FF400102"},
                       {"40", "FF400102"}}),
             QString());
    QCOMPARE(field.tags()[0].pages(0, 3), hex("04A1B29FC3D4E5F604480000"));

    // Page commands act on the activated tag until HALT, then on tag 0.
    field.placeTag(SimTag::ultralight(hex("0411223344556677"), 45));
    field.placeTag(SimTag::classic(hex("CAFE0001")));
    QCOMPARE(exchange(*client,
                      {{"0401", "0004"},
                       {"412C0101020304", "0041"},
                       {"402C01", "004001020304"},
                       {"402D01", "FF400104"},
                       {"05", "0005"},
                       {"402C01", "FF400104"},
                       {"0402", "0004"},
                       {"400401", "FF400103"},
                       {"410401AABBCCDD", "FF410103"}}),
             QString());
    QVERIFY(field.removeTag(hex("CAFE0001"))); // the activated tag leaves
    QCOMPARE(exchange(*client, {{"400401", "004047783031"}}), QString());
}

void TestSim::tagEventOnArrival()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);
    QTRY_COMPARE(reader.tcpClientCount(), 1);
    SimTagField &field = reader.tagField();

    field.placeTag(SimTag::ultralight(kUlUid));
    QVERIFY(drain(*client).isEmpty());
    field.setTagEvents(true);
    field.placeTag(SimTag::classic(hex("11223344")));
    QCOMPARE(readBytes(*client, frame("FE01").size()), frame("FE01"));
    QVERIFY(field.removeTag(kUlUid));
    field.clear();
    QVERIFY(drain(*client).isEmpty());
}

namespace {

// Sends payload in a frame; the answer's payload (status first), empty when
// none came in time.
QByteArray request(QIODevice &dev, const QByteArray &payload, int timeoutMs = 3000)
{
    dev.write(SimCodec::buildFrame(0, payload));
    SimCodec::Parser parser;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const QList<SimCodec::Frame> frames = parser.feed(dev.readAll());
        if (!frames.isEmpty())
            return frames.first().body;
        if (timer.elapsed() > timeoutMs)
            return QByteArray();
        QTest::qWait(5);
    }
}

// Fetches a file as the client does: FOPEN for reading, FREAD until an
// answer without data, FCLOSE. The FREAD pieces in order; empty with
// *problem set on a wrong answer.
QList<QByteArray> download(QIODevice &dev, const QByteArray &name, QString *problem)
{
    QList<QByteArray> pieces;
    QByteArray answer = request(dev, hex("E000") + name);
    if (answer != hex("00E0")) {
        *problem = QStringLiteral("FOPEN answered %1").arg(QString::fromLatin1(answer.toHex(' ')));
        return {};
    }
    for (int i = 0; i < 10000; ++i) {
        answer = request(dev, hex("E1"));
        if (!answer.startsWith(hex("00E1"))) {
            *problem = QStringLiteral("FREAD %1 answered %2").arg(i).arg(QString::fromLatin1(answer.toHex(' ')));
            return {};
        }
        if (answer.size() == 2)
            break;
        pieces.append(answer.mid(2));
    }
    answer = request(dev, hex("E3"));
    if (answer != hex("00E3")) {
        *problem = QStringLiteral("FCLOSE answered %1").arg(QString::fromLatin1(answer.toHex(' ')));
        return {};
    }
    return pieces;
}

QByteArray joined(const QList<QByteArray> &pieces)
{
    QByteArray all;
    for (const QByteArray &piece : pieces)
        all += piece;
    return all;
}

// Stores content as the client does: FOPEN for writing, FWRITE in pieces of
// 128 bytes (one without data for empty content), FCLOSE. Empty when all
// answers were positive, else what went wrong.
QString upload(QIODevice &dev, const QByteArray &name, const QByteArray &content)
{
    QByteArray answer = request(dev, hex("E001") + name);
    if (answer != hex("00E0"))
        return QStringLiteral("FOPEN answered %1").arg(QString::fromLatin1(answer.toHex(' ')));
    int at = 0;
    do {
        answer = request(dev, hex("E2") + content.mid(at, 128));
        if (answer != hex("00E2"))
            return QStringLiteral("FWRITE at %1 answered %2").arg(at).arg(QString::fromLatin1(answer.toHex(' ')));
        at += 128;
    } while (at < content.size());
    answer = request(dev, hex("E3"));
    if (answer != hex("00E3"))
        return QStringLiteral("FCLOSE answered %1").arg(QString::fromLatin1(answer.toHex(' ')));
    return QString();
}

const QByteArray kConfigName("config.json");

} // namespace

void TestSim::configDocuments()
{
    SimReader reader;
    QCOMPARE(reader.files().files().keys(), QList<QByteArray>({kConfigName}));
    QCOMPARE(reader.files().configFile(), SimFileSystem::configDocument(SimFileSystem::ConfigR4));

    for (const auto kind : {SimFileSystem::ConfigR4, SimFileSystem::ConfigR5}) {
        const bool r5 = kind == SimFileSystem::ConfigR5;
        const QByteArray text = SimFileSystem::configDocument(kind);
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
        QVERIFY2(doc.isObject(), qPrintable(error.errorString()));
        // Laid out as the client writes it: an unchanged document goes back
        // byte for byte.
        QCOMPARE(doc.toJson(QJsonDocument::Indented), text);

        const QJsonObject top = doc.object();
        QCOMPARE(top.value("hardware_version").toInt(-1), r5 ? 12 : 4);
        const QJsonObject rfid = top.value("rfid").toObject();
        QVERIFY(rfid.value("known_tag").toObject().contains(r5 ? "gpio_number" : "gpio"));
        QVERIFY(rfid.value("unknown_tag").toObject().contains(r5 ? "gpio_number" : "gpio"));
        QVERIFY(rfid.contains("tech_support") && rfid.contains("key4") && rfid.contains("keyType4"));
        const QJsonObject uart = top.value("communication").toObject().value("uart").toObject();
        for (const char *key : {"uart0_proto", "uart2_proto", "uart0_baud", "uart2_baud", "rs485_address", "hid_enter"})
            QVERIFY2(uart.value(key).isDouble(), key);
        const QJsonObject sleep = top.value("sleep").toObject();
        QVERIFY(sleep.contains("wake_up_trigger1") && sleep.contains("lpcd_timeout"));
        QCOMPARE(sleep.contains("use_light_sleep"), !r5);
        QCOMPARE(sleep.contains("use_rfid_lpcd"), !r5);
    }

    reader.files().setConfigDocument(SimFileSystem::ConfigR5);
    QCOMPARE(reader.files().configFile(), SimFileSystem::configDocument(SimFileSystem::ConfigR5));
    QCOMPARE(reader.files().defaultConfig(), reader.files().configFile());
}

void TestSim::downloadIsByteExact()
{
    SimReader reader;
    QVERIFY(reader.openPty());
    QSerialPort port(reader.ptyPath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    QString problem;
    QList<QByteArray> pieces = download(port, kConfigName, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(joined(pieces), reader.files().configFile());
    QCOMPARE(pieces.size(), (reader.files().configFile().size() + 99) / 100);
    for (int i = 0; i + 1 < pieces.size(); ++i)
        QCOMPARE(pieces[i].size(), SimFileSystem::kDefaultChunkSize);

    // Every byte value survives, zero bytes included; a smaller chunk size
    // only changes the pieces.
    QByteArray binary;
    for (int i = 0; i < 300; ++i)
        binary.append(char(i));
    reader.files().setFile("bin", binary);
    reader.files().setReadChunkSize(7);
    pieces = download(port, "bin", &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(joined(pieces), binary);
    QCOMPARE(pieces.size(), 43);
    QCOMPARE(pieces.last().size(), 300 - 42 * 7);

    // An empty file ends at the first FREAD; past the end every FREAD stays
    // empty; the file is read as it was when opened.
    reader.files().setFile("empty", QByteArray());
    QVERIFY(download(port, "empty", &problem).isEmpty());
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(request(port, hex("E000") + "bin"), hex("00E0"));
    reader.files().setFile("bin", "changed");
    QCOMPARE(request(port, hex("E1")), hex("00E1") + binary.left(7));
    reader.files().setReadChunkSize(1000);
    QCOMPARE(request(port, hex("E1")), hex("00E1") + binary.mid(7));
    QCOMPARE(request(port, hex("E1")), hex("00E1"));
    QCOMPARE(request(port, hex("E1")), hex("00E1"));
    QCOMPARE(request(port, hex("E3")), hex("00E3"));
}

void TestSim::uploadReplacesTheFile()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);
    SimFileSystem &fs = reader.files();
    QSignalSpy written(&fs, &SimFileSystem::fileWritten);
    const QByteArray old = fs.configFile();

    // 300 bytes: 128, 128 and 44. The old content stays until FCLOSE.
    QByteArray edited = SimFileSystem::configDocument(SimFileSystem::ConfigR5).left(299) + '\n';
    QCOMPARE(request(*client, hex("E001") + kConfigName), hex("00E0"));
    QCOMPARE(request(*client, hex("E2") + edited.left(128)), hex("00E2"));
    QVERIFY(fs.isOpenForWriting());
    QCOMPARE(fs.configFile(), old);
    QCOMPARE(request(*client, hex("E2") + edited.mid(128, 128)), hex("00E2"));
    QCOMPARE(request(*client, hex("E2") + edited.mid(256)), hex("00E2"));
    QCOMPARE(written.size(), 0);
    QCOMPARE(request(*client, hex("E3")), hex("00E3"));
    QCOMPARE(fs.configFile(), edited);
    QCOMPARE(written.size(), 1);
    QCOMPARE(written[0][0].toByteArray(), kConfigName);
    QCOMPARE(written[0][1].toByteArray(), edited);
    QString problem;
    QCOMPARE(joined(download(*client, kConfigName, &problem)), edited);

    // Writing empties the file: a shorter document leaves nothing of the
    // longer one; no data at all leaves an empty file. New names are created.
    QCOMPARE(upload(*client, kConfigName, "{}"), QString());
    QCOMPARE(fs.configFile(), QByteArray("{}"));
    QCOMPARE(upload(*client, kConfigName, QByteArray()), QString());
    QVERIFY(fs.hasFile(kConfigName));
    QCOMPARE(fs.configFile(), QByteArray());
    QCOMPARE(upload(*client, "notes.txt", "hello"), QString());
    QCOMPARE(fs.file("notes.txt"), QByteArray("hello"));
    QCOMPARE(written.size(), 4);

    // A write that is never closed changes nothing: the next FOPEN drops it.
    QCOMPARE(request(*client, hex("E001") + "notes.txt"), hex("00E0"));
    QCOMPARE(request(*client, hex("E2") + "lost"), hex("00E2"));
    QCOMPARE(request(*client, hex("E000") + "notes.txt"), hex("00E0"));
    QCOMPARE(request(*client, hex("E1")), hex("00E1") + "hello");
    QCOMPARE(written.size(), 4);
}

void TestSim::fileCommandErrors()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);
    QTcpSocket &c = *client;

    QCOMPARE(exchange(c,
                      {{"E1", "FFE10204"},
                       {"E2AABB", "FFE20204"},
                       {"E3", "FFE30204"},
                       {"E0", "FFE00201"},
                       {"E000", "FFE00201"},
                       {"E00000", "FFE00201"}}),
             QString());
    QCOMPARE(request(c, hex("E002") + kConfigName), hex("FFE00202"));
    QCOMPARE(request(c, hex("E000") + "missing.json"), hex("FFE00203"));
    QCOMPARE(request(c, hex("E000") + QByteArray(33, 'n')), hex("FFE00201"));
    QVERIFY(!reader.files().isFileOpen());

    // 32 bytes is the longest name; a trailing terminator is not part of it.
    const QByteArray longest(32, 'n');
    QCOMPARE(upload(c, longest, "x"), QString());
    QCOMPARE(request(c, hex("E000") + kConfigName + '\0'), hex("00E0"));
    QCOMPARE(reader.files().openFileName(), kConfigName);

    // The wrong direction for the open file.
    QCOMPARE(request(c, hex("E2AA")), hex("FFE20205"));
    QCOMPARE(request(c, hex("E001") + longest), hex("00E0"));
    QCOMPARE(request(c, hex("E1")), hex("FFE10205"));

    // A file cannot grow past the largest size; what fits stays written.
    const QByteArray block(2000, 'b');
    int accepted = 0;
    while (request(c, hex("E2") + block) == hex("00E2"))
        ++accepted;
    QCOMPARE(accepted, SimFileSystem::kMaxFileSize / 2000);
    QCOMPARE(request(c, hex("E2") + block), hex("FFE20206"));
    QCOMPARE(request(c, hex("E3")), hex("00E3"));
    QCOMPARE(reader.files().file(longest).size(), accepted * 2000);
    QCOMPARE(request(c, hex("E3")), hex("FFE30204"));
}

void TestSim::rebootOverPtyGoesQuietAndComesBack()
{
    SimReader reader;
    reader.setRestartTime(600);
    const QString link = m_dir.filePath(QStringLiteral("ttyReboot"));
    QVERIFY(reader.openPty(link));
    const QString ptyPath = reader.ptyPath();
    QSignalSpy restarted(&reader, &SimReader::restarted);

    auto port = std::make_unique<QSerialPort>(link);
    QVERIFY(port->open(QIODevice::ReadWrite));
    QCOMPARE(request(*port, hex("E000") + kConfigName), hex("00E0"));
    QCOMPARE(request(*port, hex("0A")), hex("000A"));
    QVERIFY(reader.isRestarting());
    QCOMPARE(reader.restartCount(), 1);

    // Deaf and mute: requests are thrown away, nothing is sent.
    reader.clearReceived();
    port->write(kGetVersion);
    reader.sendLogLine(QStringLiteral("not while restarting"));
    QVERIFY(drain(*port, 150).isEmpty());
    QVERIFY(reader.receivedPayloads().isEmpty());

    // What the client does: close, wait, open the same name, ask the version.
    port->close();
    QTRY_COMPARE_WITH_TIMEOUT(restarted.size(), 1, 3000);
    QVERIFY(!reader.isRestarting());
    QCOMPARE(reader.ptyPath(), ptyPath);
    QCOMPARE(QFileInfo(link).symLinkTarget(), ptyPath);
    port = std::make_unique<QSerialPort>(link);
    QVERIFY(port->open(QIODevice::ReadWrite));
    QCOMPARE(ask(*port, kGetVersion, versionAnswer(0).size()), versionAnswer(0));
    // The file open before the restart is gone.
    QCOMPARE(request(*port, hex("E1")), hex("FFE10204"));
    QCOMPARE(reader.restartCount(), 1);
}

void TestSim::rebootOverTcpClosesAndListensAgain()
{
    SimReader reader;
    reader.setRestartTime(1000);
    QVERIFY(reader.listenTcp(0));
    const quint16 port = reader.tcpPort();
    QSignalSpy restarted(&reader, &SimReader::restarted);

    // Without and with an answer delay, the answer comes out before the
    // connection closes.
    for (const int delay : {0, 100}) {
        reader.setAnswerDelay(delay);
        auto client = connectTo(reader);
        QVERIFY(client);
        QCOMPARE(request(*client, hex("0A")), hex("000A"));
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(reader.tcpClientCount(), 0);

        QTcpSocket refused;
        refused.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!refused.waitForConnected(200));

        QTRY_COMPARE_WITH_TIMEOUT(restarted.size(), delay == 0 ? 1 : 2, 3000);
        QCOMPARE(reader.tcpPort(), port);
        auto again = connectTo(reader);
        QVERIFY(again);
        QCOMPARE(ask(*again, kGetVersion, versionAnswer(0).size()), versionAnswer(0));
    }
    QCOMPARE(reader.restartCount(), 2);
}

void TestSim::rebootWithNewPty()
{
    SimReader reader;
    reader.setRestartTime(500);
    reader.setRestartMode(SimReader::RestartMode::ReopenPty);
    const QString link = m_dir.filePath(QStringLiteral("ttyReopen"));
    QVERIFY(reader.openPty(link));
    QSignalSpy restarted(&reader, &SimReader::restarted);

    {
        QSerialPort port(link);
        QVERIFY(port.open(QIODevice::ReadWrite));
        QCOMPARE(request(port, hex("0A")), hex("000A"));
        // The device leaves: the pty and its link go away for a while.
        QTRY_VERIFY(!QFileInfo(link).isSymLink());
        QVERIFY(reader.isRestarting());
    }
    QTRY_COMPARE_WITH_TIMEOUT(restarted.size(), 1, 3000);
    QCOMPARE(QFileInfo(link).symLinkTarget(), reader.ptyPath());
    QSerialPort port(link);
    QVERIFY(port.open(QIODevice::ReadWrite));
    QCOMPARE(ask(port, kGetVersion, versionAnswer(0).size()), versionAnswer(0));
}

void TestSim::factoryResetRestoresTheDefaults()
{
    SimReader reader;
    reader.setRestartTime(50);
    reader.files().setConfigDocument(SimFileSystem::ConfigR5);
    QVERIFY(reader.listenTcp(0));
    QSignalSpy restarted(&reader, &SimReader::restarted);
    auto client = connectTo(reader);
    QVERIFY(client);
    QCOMPARE(upload(*client, kConfigName, "{\"hardware_version\": 12}"), QString());
    QCOMPARE(upload(*client, "extra.bin", "x"), QString());
    QCOMPARE(exchange(*client, {{"1802", "001802"}, {"18030704A1B2C3D4E5F6", "001803"}}), QString());

    // A reboot keeps files and known tags.
    QCOMPARE(request(*client, hex("0A")), hex("000A"));
    QTRY_COMPARE(restarted.size(), 1);
    QCOMPARE(reader.files().configFile(), QByteArray("{\"hardware_version\": 12}"));
    QCOMPARE(reader.files().files().size(), 2);
    QCOMPARE(reader.knownTags().count(), 1);

    client = connectTo(reader);
    QVERIFY(client);
    QCOMPARE(request(*client, hex("11")), hex("0011"));
    QVERIFY(reader.isRestarting());
    QCOMPARE(reader.files().files(),
             (QMap<QByteArray, QByteArray> {{kConfigName, SimFileSystem::configDocument(SimFileSystem::ConfigR5)}}));
    QCOMPARE(reader.knownTags().count(), 0);
    QTRY_COMPARE(restarted.size(), 2);
    QCOMPARE(reader.restartCount(), 2);
}

void TestSim::knownListReadAndWrite()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);
    QTcpSocket &c = *client;
    SimKnownTags &known = reader.knownTags();

    // Nothing to read; next and store need their start first.
    QCOMPARE(
        exchange(c,
                 {{"1801", "FF180303"}, {"18030704A1B2C3D4E5F6", "FF180303"}, {"1800", "001800"}, {"1801", "001801"}}),
        QString());

    QCOMPARE(exchange(c, {{"1802", "001802"}, {"18030704A1B2C3D4E5F6", "001803"}, {"18030811223344", "001803"}}),
             QString());
    QCOMPARE(known.entries(), QList<QByteArray>({hex("0704A1B2C3D4E5F6"), hex("0811223344")}));
    QCOMPARE(exchange(c,
                      {{"1800", "00180704A1B2C3D4E5F6"},
                       {"1801", "00180811223344"},
                       {"1801", "001801"},
                       {"1801", "001801"},
                       {"18030904A1B2C3", "FF180303"}, // reading ended the writing
                       {"1800", "00180704A1B2C3D4E5F6"}}),
             QString());

    // Bad requests change nothing.
    QCOMPARE(exchange(c,
                      {{"18", "FF180301"},
                       {"1804", "FF180302"},
                       {"1802", "001802"},
                       {"180307112233", "FF180301"},
                       {"180307112233445566778899AABB", "FF180301"},
                       {"1803", "FF180301"}}),
             QString());
    QCOMPARE(known.count(), 0); // 18 02 emptied the list

    // The list has room for kMaxEntries.
    for (int i = 0; i < SimKnownTags::kMaxEntries; ++i) {
        QByteArray store = hex("180300A1B2C3");
        store.append(char(i));
        QCOMPARE(request(c, store), hex("001803"));
    }
    QCOMPARE(request(c, hex("180300FFFFFFFF")), hex("FF180304"));
    QCOMPARE(known.count(), SimKnownTags::kMaxEntries);
    QCOMPARE(known.entries().last(), hex("00A1B2C363"));

    // A restart ends the reading, not the list.
    known.setEntries({SimKnownTags::entry(0x08, hex("CAFE0001"))});
    reader.setRestartTime(50);
    QSignalSpy restarted(&reader, &SimReader::restarted);
    QCOMPARE(exchange(c, {{"1800", "001808CAFE0001"}, {"0A", "000A"}}), QString());
    QTRY_COMPARE(restarted.size(), 1);
    client = connectTo(reader);
    QVERIFY(client);
    QCOMPARE(exchange(*client, {{"1801", "FF180303"}, {"1800", "001808CAFE0001"}}), QString());
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
