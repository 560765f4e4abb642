// The simulated reader on its own, seen from the other end of a raw link (the
// pty's slave side or a TCP connection), as the workflow soak's faults need
// it: requests that never reach it, the copy of an answer on the wire the
// asked-for milliseconds after the first, what it answers past the end of a
// file, the chip's time to program a record, and the pace of a serial line.
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include "sim/simcodec.h"
#include "sim/simfaults.h"
#include "sim/simfiles.h"
#include "sim/simota.h"
#include "sim/simreader.h"
#include "support/bytes.h"
#include "support/rununtil.h"

namespace {

// A client's end of a link to the reader. Every request of one send() goes
// in one write; every answer is kept, and the milliseconds from that write to
// each frame the reader wrote on its end.
class RawLink
{
public:
    RawLink(SimReader &reader, bool tcp)
    {
        QObject::connect(&reader, &SimReader::frameSent, [this] { sentMs << m_clock.nsecsElapsed() / 1e6; });
        if (tcp) {
            reader.listenTcp(0);
            m_socket.connectToHost(QHostAddress::LocalHost, reader.tcpPort());
            m_socket.waitForConnected(3000);
            QObject::connect(&m_socket, &QTcpSocket::readyRead, [this] { take(m_socket.readAll()); });
            return;
        }
        reader.openPty();
        m_fd = ::open(QFile::encodeName(reader.ptyPath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        m_notifier.reset(new QSocketNotifier(m_fd, QSocketNotifier::Read));
        QObject::connect(m_notifier.data(), &QSocketNotifier::activated, [this] {
            char buf[4096];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0)
                take(QByteArray(buf, int(n)));
        });
    }
    ~RawLink()
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool isOpen() const { return m_fd >= 0 || m_socket.state() == QAbstractSocket::ConnectedState; }

    void send(const QList<QByteArray> &payloads)
    {
        QByteArray bytes;
        for (const QByteArray &payload : payloads)
            bytes += SimCodec::buildFrame(0, payload);
        m_clock.start();
        if (m_fd >= 0)
            QCOMPARE(::write(m_fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        else
            m_socket.write(bytes);
    }
    // Waits for answers, true when count have come.
    bool waitFor(int count)
    {
        return runUntil([&] { return answers.size() >= count; }, 5000);
    }

    QList<QByteArray> answers; // status first
    QList<double> sentMs;

private:
    void take(const QByteArray &bytes)
    {
        for (const SimCodec::Frame &frame : m_parser.feed(bytes)) {
            QByteArray payload;
            if (frame.crcOk && frame.payloadFor(0, &payload))
                answers << payload;
        }
    }

    QTcpSocket m_socket;
    int m_fd = -1;
    QScopedPointer<QSocketNotifier> m_notifier;
    SimCodec::Parser m_parser;
    QElapsedTimer m_clock;
};

QByteArray fileOpen(char mode, const QByteArray &name)
{
    return hex("E0") + mode + name;
}

QList<QByteArray> times(int count, const QByteArray &payload)
{
    return QVector<QByteArray>(count, payload).toList();
}

} // namespace

class TestSimReader : public QObject
{
    Q_OBJECT
private slots:
    // A lost request leaves no trace: the reader does not act on it (the
    // file position stays, the data is not written) and sends nothing for it.
    void lostRequests_data()
    {
        QTest::addColumn<QString>("fault"); // "requests ..." control command
        QTest::addColumn<QList<QByteArray>>("requests");
        QTest::addColumn<QList<QByteArray>>("answers");
        QTest::addColumn<int>("lost");
        const QByteArray data = pattern(250);
        QTest::newRow("the second FREAD")
            << "lose once 1 code E1" << QList<QByteArray> {fileOpen(0, "f"), hex("E1"), hex("E1"), hex("E1")}
            << QList<QByteArray> {hex("00 E0"), hex("00 E1") + data.left(100), hex("00 E1") + data.mid(100, 100)} << 1;
        QTest::newRow("every second FWRITE")
            << "lose every 2 code E2"
            << QList<QByteArray> {fileOpen(1, "w"), hex("E2 0A"), hex("E2 0B"),     hex("E2 0C"),
                                  hex("E2 0D"),     hex("E3"),    fileOpen(0, "w"), hex("E1")}
            << QList<QByteArray> {hex("00 E0"), hex("00 E2"), hex("00 E2"),
                                  hex("00 E3"), hex("00 E0"), hex("00 E1 0A 0C")}
            << 2;
        QTest::newRow("Get version, one in two at random")
            << "lose random 50 7 code 0B" << times(8, hex("0B")) << times(5, hex("00 0B") + "2.38" + '\0') << 3;
    }
    void lostRequests()
    {
        QFETCH(QString, fault);
        QFETCH(QList<QByteArray>, requests);
        QFETCH(QList<QByteArray>, answers);
        QFETCH(int, lost);
        SimReader reader;
        reader.files().setFile("f", pattern(250));
        SimAnswerFaults &faults = reader.answerFaults();
        QVERIFY(!faults.requestCommand(fault.split(' ')).startsWith("usage"));
        RawLink link(reader, false);
        link.send(requests << hex("5A")); // its bare answer comes last and shows all came
        QVERIFY(link.waitFor(answers.size() + 1));
        QCOMPARE(link.answers, answers << hex("00 5A"));
        QCOMPARE(faults.hits(SimAnswerFaults::Kind::LoseRequest), lost);
        QCOMPARE(reader.receivedPayloads().size(), requests.size() - lost);
    }

    // Past the end of a file the reader answers FREAD with no data again, or
    // with error 0207 once the empty answer went out; a new FOPEN reads from
    // the start.
    void readPastTheEnd_data()
    {
        QTest::addColumn<bool>("errorAfterEnd");
        QTest::addColumn<int>("size");
        QTest::newRow("no data again, 250 bytes") << false << 250;
        QTest::newRow("error, 250 bytes") << true << 250;
        QTest::newRow("error, 200 bytes (the end on a piece's end)") << true << 200;
        QTest::newRow("error, empty file") << true << 0;
    }
    void readPastTheEnd()
    {
        QFETCH(bool, errorAfterEnd);
        QFETCH(int, size);
        SimReader reader;
        const QByteArray data = pattern(size);
        reader.files().setFile("f", data);
        reader.files().setErrorAfterEnd(errorAfterEnd);
        QList<QByteArray> requests {fileOpen(0, "f")};
        QList<QByteArray> answers {hex("00 E0")};
        for (int at = 0; answers.last() != hex("00 E1"); at += 100) {
            requests << hex("E1");
            answers << hex("00 E1") + data.mid(at, 100);
        }
        requests << hex("E1") << hex("E1") << fileOpen(0, "f") << hex("E1");
        const QByteArray past = errorAfterEnd ? hex("FF E1 02 07") : hex("00 E1");
        answers << past << past << hex("00 E0") << hex("00 E1") + data.left(100);
        RawLink link(reader, false);
        link.send(requests);
        QVERIFY(link.waitFor(answers.size()));
        QCOMPARE(link.answers, answers);
        QCOMPARE(reader.files().readsPastEnd(), errorAfterEnd ? 2 : 0);
    }

    // An answer sent twice: the copy goes on the wire gap ms after the answer
    // itself, also when that one waited behind an answer delay, and later
    // answers do not wait for the copy. Times are taken as the reader writes.
    void answerCopies_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<int>("gap");
        QTest::addColumn<int>("delay");
        QTest::newRow("pty, 1 ms") << false << 1 << 0;
        QTest::newRow("pty, 5 ms") << false << 5 << 0;
        QTest::newRow("TCP, 1 ms") << true << 1 << 0;
        QTest::newRow("TCP, 5 ms") << true << 5 << 0;
        QTest::newRow("TCP, 3 ms behind a delay of 40 ms") << true << 3 << 40;
    }
    void answerCopies()
    {
        QFETCH(bool, tcp);
        QFETCH(int, gap);
        QFETCH(int, delay);
        SimReader reader;
        reader.setAnswerDelay(delay);
        reader.answerFaults().command({"twice-gap", QString::number(gap), "once", "code", "E0"});
        RawLink link(reader, tcp);
        QVERIFY(link.isOpen());
        link.send({fileOpen(0, "config.json"), hex("5A")});
        QVERIFY(link.waitFor(3));
        QCOMPARE(link.answers, QList<QByteArray>({hex("00 E0"), hex("00 5A"), hex("00 E0")}));
        QVERIFY2(link.sentMs[0] >= delay, qPrintable(QString::number(link.sentMs[0])));
        const double apart = link.sentMs[2] - link.sentMs[0];
        QVERIFY2(apart >= gap - 0.1 && apart < gap + 25, qPrintable(QStringLiteral("%1 ms apart").arg(apart)));
    }

    // The chip programs each record before its answer goes out, and the
    // answers behind wait for it; the copy of a record's answer follows the
    // answer, not the request. (The reader's clock counts whole ms.)
    void chipProgrammingTime()
    {
        SimReader reader;
        SimOta::of(&reader)->setChipTime(30);
        reader.answerFaults().command({"twice-gap", "2", "once", "code", "F7"});
        RawLink link(reader, false);
        link.send({hex("F6"), hex("F7 01"), hex("F7 02"), hex("5A"), hex("F8")});
        QVERIFY(link.waitFor(6));
        QCOMPARE(
            link.answers,
            QList<QByteArray>({hex("00 F6"), hex("00 F7"), hex("00 F7"), hex("00 F7"), hex("00 5A"), hex("00 F8")}));
        const QList<double> &ms = link.sentMs;
        QVERIFY2(ms[1] >= 29 && ms[2] - ms[1] >= 1.9 && ms[3] >= 59 && ms[4] >= ms[3] && ms[5] >= ms[3],
                 qPrintable(QStringLiteral("%1 ms, %2 ms, %3 ms, %4 ms").arg(ms[1]).arg(ms[2]).arg(ms[3]).arg(ms[5])));
        QCOMPARE(SimOta::of(&reader)->chipRecords(), QList<QByteArray>({hex("01"), hex("02")}));
    }

    // At 9600 baud a byte takes 1/960 s either way. The reader acts on a
    // request once its last byte has come over the line, and its answer
    // takes the line's time: 1000 bytes of a file read in one piece arrive
    // whole and in order, and no sooner than the line carries them.
    void lineRate_data()
    {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("pty") << false;
        QTest::newRow("TCP") << true;
    }
    void lineRate()
    {
        QFETCH(bool, tcp);
        SimReader reader;
        reader.setBaudRate(9600);
        const QByteArray data = pattern(1000);
        reader.files().setFile("f", data);
        reader.files().setReadChunkSize(1000);
        RawLink link(reader, tcp);
        QVERIFY(link.isOpen());
        QElapsedTimer clock;
        clock.start();
        link.send({fileOpen(0, "f"), hex("E1")}); // frames of 10 and 8 bytes
        QVERIFY(link.waitFor(2));
        const double ms = clock.nsecsElapsed() / 1e6;
        QCOMPARE(link.answers, QList<QByteArray>({hex("00 E0"), hex("00 E1") + data}));
        // The answers (9 and 1009 bytes) follow the line back to back, the
        // first from the moment FOPEN was through.
        const double byteMs = 1000.0 / 960;
        QVERIFY2(link.sentMs[0] >= 10 * byteMs && link.sentMs[1] >= 18 * byteMs && ms >= (10 + 9 + 1009) * byteMs,
                 qPrintable(QStringLiteral("answered at %1 and %2 ms, all through at %3 ms")
                                .arg(link.sentMs[0])
                                .arg(link.sentMs[1])
                                .arg(ms)));
    }
};

QTEST_MAIN(TestSimReader)
#include "tst_simreader.moc"
