// The simulated reader itself, where the client's suites rely on it being as
// strict as a real reader and answering as one: what it refuses, the layout
// of its answers, its file system and its restart, driven the way the client
// drives a device, over a real pty and loopback TCP. Its codec, its fault
// injection and its unsolicited frames are exercised by every client suite
// that talks to it, against the client's own hand-worked frames.

#include "sim/simcodec.h"
#include "sim/simfiles.h"
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

// Writes bytes; the first whole frame that comes back, empty when none came
// within timeoutMs.
QByteArray answerTo(QIODevice &dev, const QByteArray &bytes, int timeoutMs = 3000)
{
    dev.write(bytes);
    QByteArray got;
    (void)QTest::qWaitFor(
        [&] {
            got += dev.readAll();
            return got.size() >= 7 && got.size() >= 5 + (uint8_t(got[1]) | uint8_t(got[2]) << 8);
        },
        timeoutMs);
    return got;
}

// Sends payload in a frame without an address; the answer's payload (status
// first), empty when none came in time.
QByteArray request(QIODevice &dev, const QByteArray &payload, int timeoutMs = 3000)
{
    const QByteArray frame = answerTo(dev, SimCodec::buildFrame(0, payload), timeoutMs);
    return frame.size() >= 7 ? frame.mid(5, frame.size() - 7) : QByteArray();
}

// Sends each request payload and compares the answer's payload; the first
// mismatch, empty when all matched.
QString exchange(QIODevice &dev, std::initializer_list<std::pair<const char *, const char *>> steps)
{
    for (const auto &[sent, expected] : steps) {
        const QByteArray got = request(dev, hex(sent));
        if (got != hex(expected))
            return QStringLiteral("%1: expected %2, got %3").arg(sent, expected, QString::fromLatin1(got.toHex()));
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

// Fetches a file as the client does: FOPEN for reading, FREAD until an
// answer without data, FCLOSE. The FREAD pieces in order; *problem says
// which answer was wrong.
QList<QByteArray> download(QIODevice &dev, const QByteArray &name, QString *problem)
{
    QList<QByteArray> pieces;
    if (request(dev, hex("E000") + name) != hex("00E0"))
        *problem = QStringLiteral("FOPEN refused");
    for (QByteArray answer;
         problem->isEmpty() && pieces.size() < 10000 && (answer = request(dev, hex("E1"))) != hex("00E1");) {
        if (!answer.startsWith(hex("00E1")))
            *problem = QStringLiteral("FREAD %1 answered %2").arg(pieces.size()).arg(QString(answer.toHex()));
        pieces.append(answer.mid(2));
    }
    if (problem->isEmpty() && request(dev, hex("E3")) != hex("00E3"))
        *problem = QStringLiteral("FCLOSE refused");
    return pieces;
}

// Stores content as the client does: FOPEN for writing, FWRITE in pieces of
// 128 bytes (one without data for empty content), FCLOSE. Empty when all
// answers were positive, else what went wrong.
QString upload(QIODevice &dev, const QByteArray &name, const QByteArray &content)
{
    if (request(dev, hex("E001") + name) != hex("00E0"))
        return QStringLiteral("FOPEN refused");
    int at = 0;
    do {
        if (request(dev, hex("E2") + content.mid(at, 128)) != hex("00E2"))
            return QStringLiteral("FWRITE at %1 refused").arg(at);
        at += 128;
    } while (at < content.size());
    return request(dev, hex("E3")) == hex("00E3") ? QString() : QStringLiteral("FCLOSE refused");
}

const QByteArray kUlUid = hex("04A1B2C3D4E5F6");
const QByteArray kGetVersion = hex("F50300FCFF0B9B50");
const QByteArray kConfigName("config.json");

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void parserLengthLimits();
    void parserDropsBodyAfterSilence();
    void addressFiltering();
    void badCrcFromClientGetsErrorReply();

    void tagCountUidActivateHalt();
    void ultralightPagesWriteAndRead();

    void configDocuments();
    void downloadIsByteExact();
    void uploadReplacesTheFile();
    void fileCommandErrors();
    void rebootOverPtyGoesQuietAndComesBack();
    void rebootOverTcpClosesAndListensAgain();

private:
    QTemporaryDir m_dir;
};

void TestSim::parserLengthLimits()
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
}

// Like the reader, it forgets a body that stops coming for 500 ms.
void TestSim::parserDropsBodyAfterSilence()
{
    SimCodec::Parser parser;
    QCOMPARE(parser.feed(kGetVersion.left(6), 0).size(), 0);
    QCOMPARE(parser.feed(kGetVersion.mid(6), 499).size(), 1);

    QCOMPARE(parser.feed(kGetVersion.left(6), 1000).size(), 0);
    QCOMPARE(parser.feed(kGetVersion.mid(6) + kGetVersion, 1500).size(), 1);
    QCOMPARE(parser.abandonedCount(), 1);
}

void TestSim::addressFiltering()
{
    SimReader reader;
    reader.setAddress(5);
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);

    // To 06, and without an address byte (0B is not our address): silence.
    QCOMPARE(answerTo(*client, SimCodec::buildFrame(6, hex("0B")) + kGetVersion, 250), QByteArray());
    QVERIFY(reader.receivedPayloads().isEmpty());

    QCOMPARE(answerTo(*client, SimCodec::buildFrame(5, hex("0B"))),
             SimCodec::buildFrame(5, hex("000B") + "2.38" + '\0'));
    QCOMPARE(reader.receivedPayloads(), QList<QByteArray>({hex("0B")}));
}

void TestSim::badCrcFromClientGetsErrorReply()
{
    SimReader reader;
    QVERIFY(reader.listenTcp(0));
    auto client = connectTo(reader);
    QVERIFY(client);

    QByteArray damaged = kGetVersion;
    damaged[7] = char(0x00);
    QCOMPARE(answerTo(*client, damaged), hex("F50500FAFFFFFF024220"));
    reader.setAddress(5);
    damaged = SimCodec::buildFrame(5, hex("0B"));
    damaged[7] = char(0x00);
    QCOMPARE(answerTo(*client, damaged), hex("F50600F9FF05FFFF025BD4"));
    QCOMPARE(reader.badCrcCount(), 2);
    QVERIFY(reader.receivedPayloads().isEmpty());
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
    QCOMPARE(exchange(port, {{"02", "000201"}, {"0300", "0003010011223344"}}), QString());
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

// The readers' documents, laid out as the client writes them (an unchanged
// document goes back byte for byte), with the keys of each generation.
void TestSim::configDocuments()
{
    SimReader reader;
    QCOMPARE(reader.files().files().keys(), QList<QByteArray>({kConfigName}));
    QCOMPARE(reader.files().configFile(), SimFileSystem::configDocument(SimFileSystem::ConfigR4));

    for (const auto kind : {SimFileSystem::ConfigR4, SimFileSystem::ConfigR5}) {
        const bool r5 = kind == SimFileSystem::ConfigR5;
        const QByteArray text = SimFileSystem::configDocument(kind);
        const QJsonDocument doc = QJsonDocument::fromJson(text);
        QCOMPARE(doc.toJson(QJsonDocument::Indented), text);
        const QJsonObject top = doc.object();
        QCOMPARE(top.value("hardware_version").toInt(-1), r5 ? 12 : 4);
        const QJsonObject rfid = top.value("rfid").toObject();
        QVERIFY(rfid.value("known_tag").toObject().contains(r5 ? "gpio_number" : "gpio"));
        QVERIFY(rfid.contains("tech_support") && rfid.contains("key4") && rfid.contains("keyType4"));
        const QJsonObject uart = top.value("communication").toObject().value("uart").toObject();
        for (const char *key : {"uart0_proto", "uart2_proto", "uart0_baud", "uart2_baud", "rs485_address", "hid_enter"})
            QVERIFY2(uart.value(key).isDouble(), key);
        const QJsonObject sleep = top.value("sleep").toObject();
        QVERIFY(sleep.contains("wake_up_trigger1") && sleep.contains("lpcd_timeout"));
        QCOMPARE(sleep.contains("use_light_sleep"), !r5);
        QCOMPARE(sleep.contains("use_rfid_lpcd"), !r5);
    }
}

void TestSim::downloadIsByteExact()
{
    SimReader reader;
    QVERIFY(reader.openPty());
    QSerialPort port(reader.ptyPath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    // Pieces of 100 bytes; every byte value survives, zero bytes included.
    QByteArray binary;
    for (int i = 0; i < 300; ++i)
        binary.append(char(i));
    reader.files().setFile("bin", binary);
    QString problem;
    const QList<QByteArray> pieces = download(port, "bin", &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(pieces, (QList<QByteArray> {binary.left(100), binary.mid(100, 100), binary.mid(200)}));

    // An empty file ends at the first FREAD; past the end every FREAD stays
    // empty; the file is read as it was when opened.
    reader.files().setFile("empty", QByteArray());
    QVERIFY(download(port, "empty", &problem).isEmpty());
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(request(port, hex("E000") + "bin"), hex("00E0"));
    reader.files().setFile("bin", "changed");
    QCOMPARE(request(port, hex("E1")), hex("00E1") + binary.left(100));
    reader.files().setReadChunkSize(1000);
    QCOMPARE(request(port, hex("E1")), hex("00E1") + binary.mid(100));
    QCOMPARE(exchange(port, {{"E1", "00E1"}, {"E1", "00E1"}, {"E3", "00E3"}}), QString());
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

    // The old content stays until FCLOSE.
    const QByteArray edited = SimFileSystem::configDocument(SimFileSystem::ConfigR5).left(299) + '\n';
    QCOMPARE(request(*client, hex("E001") + kConfigName), hex("00E0"));
    QCOMPARE(request(*client, hex("E2") + edited.left(128)), hex("00E2"));
    QCOMPARE(request(*client, hex("E2") + edited.mid(128)), hex("00E2"));
    QCOMPARE(fs.configFile(), old);
    QCOMPARE(written.size(), 0);
    QCOMPARE(request(*client, hex("E3")), hex("00E3"));
    QCOMPARE(fs.configFile(), edited);
    QCOMPARE(written.size(), 1);

    // Writing empties the file: a shorter document leaves nothing of the
    // longer one; no data at all leaves an empty file. New names are created.
    QCOMPARE(upload(*client, kConfigName, "{}"), QString());
    QCOMPARE(fs.configFile(), QByteArray("{}"));
    QCOMPARE(upload(*client, kConfigName, QByteArray()), QString());
    QVERIFY(fs.hasFile(kConfigName));
    QCOMPARE(fs.configFile(), QByteArray());
    QCOMPARE(upload(*client, "notes.txt", "hello"), QString());
    QCOMPARE(fs.file("notes.txt"), QByteArray("hello"));

    // A write that is never closed changes nothing: the next FOPEN drops it.
    QCOMPARE(request(*client, hex("E001") + "notes.txt"), hex("00E0"));
    QCOMPARE(request(*client, hex("E2AABB")), hex("00E2"));
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

    // Deaf and mute: requests are thrown away, nothing is sent.
    reader.clearReceived();
    reader.sendLogLine(QStringLiteral("not while restarting"));
    QCOMPARE(answerTo(*port, kGetVersion, 150), QByteArray());
    QVERIFY(reader.receivedPayloads().isEmpty());

    // What the client does: close, wait, open the same name, ask the version.
    port->close();
    QTRY_COMPARE_WITH_TIMEOUT(restarted.size(), 1, 3000);
    QCOMPARE(QFileInfo(link).symLinkTarget(), ptyPath);
    port = std::make_unique<QSerialPort>(link);
    QVERIFY(port->open(QIODevice::ReadWrite));
    // The version comes; the file open before the restart is gone.
    QCOMPARE(exchange(*port, {{"0B", "000B322E333800"}, {"E1", "FFE10204"}}), QString());
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
    // connection closes; while it restarts nobody can connect.
    for (const int delay : {0, 100}) {
        reader.setAnswerDelay(delay);
        auto client = connectTo(reader);
        QVERIFY(client);
        QCOMPARE(request(*client, hex("0A")), hex("000A"));
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);

        QTcpSocket refused;
        refused.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!refused.waitForConnected(200));

        QTRY_COMPARE_WITH_TIMEOUT(restarted.size(), delay == 0 ? 1 : 2, 3000);
        QCOMPARE(reader.tcpPort(), port);
        auto again = connectTo(reader);
        QVERIFY(again);
        QCOMPARE(request(*again, hex("0B")), hex("000B322E333800"));
    }
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"
