// The frame codec against hand-worked frames, every chunking of the stream,
// corrupted and foreign frames, and its 500 ms frame timer; the UTF-8
// decoding that reader texts, configuration documents and workbooks share.
#include <QSignalSpy>
#include <QtTest>

#include "common/utf8.h"
#include "link/binaryprotocol.h"
#include "support/bytes.h"
#include "sim/simcodec.h"

namespace {

// Records what the codec emits, copying the bytes while the pointers are valid.
struct Recorder : QObject
{
    QList<QByteArray> headers;
    QList<QByteArray> bodies;
    QList<QByteArray> writes;
    int timeouts = 0;

    explicit Recorder(BinaryProtocol &codec)
    {
        connect(&codec, &BinaryProtocol::frameComplete, this, [this](uint8_t *h, size_t hl, uint8_t *b, size_t bl) {
            headers << QByteArray(reinterpret_cast<char *>(h), int(hl));
            bodies << QByteArray(reinterpret_cast<char *>(b), int(bl));
        });
        connect(&codec, &BinaryProtocol::protocolWrite, this,
                [this](uint8_t *b, size_t l) { writes << QByteArray(reinterpret_cast<char *>(b), int(l)); });
        connect(&codec, &BinaryProtocol::frameTimeout, this, [this] { ++timeouts; });
    }
};

void feed(BinaryProtocol &codec, const QByteArray &bytes)
{
    codec.receiveBytes(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
}

void send(BinaryProtocol &codec, const QByteArray &payload)
{
    codec.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()), size_t(payload.size()));
}

// A frame as the reader builds it (the simulated reader's own code).
QByteArray frameFor(const QByteArray &body)
{
    return SimCodec::buildFrame(0, body);
}

} // namespace

class TestCodec : public QObject
{
    Q_OBJECT
private slots:
    // Byte sequences and what they have always decoded to (UTF-16 code units;
    // "0" rows: invalid sequences as NUL and a leading BOM skipped, as reader
    // texts are read): each invalid sequence one replacement per byte it
    // starts on, a sequence cut off at the end left out and counted.
    void utf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("asReaderText");
        QTest::addColumn<QString>("units");
        QTest::addColumn<int>("invalid");
        QTest::addColumn<int>("incomplete");
        QTest::newRow("ascii") << hex("41 42") << false << "0041 0042" << 0 << 0;
        QTest::newRow("two bytes") << hex("C3 A9") << false << "00E9" << 0 << 0;
        QTest::newRow("four bytes, a surrogate pair") << hex("F0 9F 98 80") << false << "D83D DE00" << 0 << 0;
        QTest::newRow("noncharacter") << hex("EF BF BE") << false << "FFFE" << 0 << 0;
        QTest::newRow("BOM kept") << hex("EF BB BF 41") << false << "FEFF 0041" << 0 << 0;
        QTest::newRow("BOM skipped") << hex("EF BB BF 41") << true << "0041" << 0 << 0;
        QTest::newRow("BOM alone, skipped") << hex("EF BB BF") << true << "" << 0 << 0;
        QTest::newRow("stray continuation") << hex("80 41") << false << "FFFD 0041" << 1 << 0;
        QTest::newRow("stray continuation as NUL") << hex("80 41") << true << "0000 0041" << 1 << 0;
        QTest::newRow("overlong, two bytes") << hex("C0 AF") << false << "FFFD FFFD" << 2 << 0;
        QTest::newRow("overlong, three bytes") << hex("E0 80 AF") << false << "FFFD FFFD FFFD" << 3 << 0;
        QTest::newRow("surrogate") << hex("ED A0 80") << false << "FFFD FFFD FFFD" << 3 << 0;
        QTest::newRow("past U+10FFFF") << hex("F4 90 80 80") << false << "FFFD FFFD FFFD FFFD" << 4 << 0;
        QTest::newRow("F5 starts nothing") << hex("F5") << false << "FFFD" << 1 << 0;
        QTest::newRow("cut off at the end") << hex("E2 82") << false << "" << 0 << 2;
        QTest::newRow("cut off after a character") << hex("41 F0 9F 98") << false << "0041" << 0 << 3;
        QTest::newRow("broken off by a character") << hex("E2 82 41") << false << "FFFD FFFD 0041" << 2 << 0;
        QTest::newRow("broken off before the end") << hex("F0 9F 41") << false << "FFFD FFFD 0041" << 2 << 0;
        QTest::newRow("invalid, then cut off") << hex("41 FF C3") << true << "0041 0000" << 1 << 1;
    }
    void utf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, asReaderText);
        QFETCH(QString, units);
        QFETCH(int, invalid);
        QFETCH(int, incomplete);
        const Utf8::Decoded decoded = asReaderText ? Utf8::decode(bytes.constData(), bytes.size(), true, QChar(0))
                                                   : Utf8::decode(bytes.constData(), bytes.size());
        QStringList got;
        for (const QChar c : decoded.text)
            got << QString::asprintf("%04X", c.unicode());
        QCOMPARE(got.join(' ') + QStringLiteral(" / %1 / %2").arg(decoded.invalid).arg(decoded.incomplete),
                 units + QStringLiteral(" / %1 / %2").arg(invalid).arg(incomplete));
        QCOMPARE(Utf8::isValid(bytes.constData(), bytes.size()), invalid == 0 && incomplete == 0);
    }

    void workedFrames_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("get version") << 0 << hex("0B") << hex("F5 03 00 FC FF 0B 9B 50");
        QTest::newRow("get version to 01") << 1 << hex("0B") << hex("F5 04 00 FB FF 01 0B 55 9F");
        QTest::newRow("error reply") << 0 << hex("FF FF 02") << hex("F5 05 00 FA FF FF FF 02 42 20");
        QTest::newRow("error reply to 05") << 5 << hex("FF FF 02") << hex("F5 06 00 F9 FF 05 FF FF 02 5B D4");
        QTest::newRow("empty payload") << 0 << QByteArray() << hex("F5 02 00 FD FF 00 00");
    }
    void workedFrames()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, frame);
        BinaryProtocol codec;
        Recorder rec(codec);
        codec.setAddress(uint8_t(address));
        send(codec, payload);
        QCOMPARE(rec.writes, QList<QByteArray> {frame});
    }

    // What goes out: the largest payload that fits (one byte less with an
    // address byte), nothing for more; a resend repeats the most recent
    // frame that went out, the error reply after a damaged answer included.
    void sendingAndResending()
    {
        BinaryProtocol codec;
        Recorder rec(codec);
        codec.resendLastFrame();
        QVERIFY(rec.writes.isEmpty());
        const QByteArray largest(2061, 'x');
        send(codec, largest);
        send(codec, QByteArray(2062, 'x'));
        codec.setAddress(3);
        send(codec, largest);
        codec.resendLastFrame(); // still the last frame that fitted
        QCOMPARE(rec.writes.size(), 2);
        QCOMPARE(rec.writes.at(0).size(), 2068);
        QCOMPARE(rec.writes.at(1), rec.writes.at(0));

        codec.setAddress(5);
        rec.writes.clear();
        feed(codec, hex("F5 05 00 FA FF 05 00 0B 00 00"));
        codec.resendLastFrame();
        const QByteArray reply = hex("F5 06 00 F9 FF 05 FF FF 02 5B D4");
        QCOMPARE(rec.writes, (QList<QByteArray> {reply, reply}));
    }

    void everySplitOfAFrameIsAssembledOnce()
    {
        const QByteArray frame = frameFor(hex("00 0B 32 2E 33 38 00"));
        for (int cut1 = 0; cut1 <= frame.size(); ++cut1) {
            for (int cut2 = cut1; cut2 <= frame.size(); ++cut2) {
                BinaryProtocol codec;
                Recorder rec(codec);
                feed(codec, frame.left(cut1));
                feed(codec, frame.mid(cut1, cut2 - cut1));
                feed(codec, frame.mid(cut2));
                QCOMPARE(rec.bodies.size(), 1);
                QCOMPARE(rec.bodies.first(), frame.mid(5));
                QCOMPARE(rec.headers.first(), frame.left(5));
                QVERIFY(rec.writes.isEmpty());
            }
        }
    }

    // Streams the codec must take apart into exactly these bodies, without
    // a reply: bursts behind noise, and headers that are not headers (a
    // length inverse that does not match, L = 0, 1 or 2069) followed by
    // the frame they must not swallow.
    void streams_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<QByteArray>>("bodies");
        const QByteArray a = frameFor(hex("00 02 01"));
        const QByteArray b = frameFor(hex("00 03 01 07 04 A1 B2 C3"));
        const QByteArray c = frameFor(hex("00 05"));
        const QByteArray largest = frameFor(QByteArray(2066, char(0x5A)));
        QTest::newRow("burst behind noise")
            << hex("00 13 F5 F5 01") + a + b + hex("F5 03") << QList<QByteArray> {a.mid(5), b.mid(5)};
        QTest::newRow("false headers") << hex("F5 03 00 FB FF") + c + hex("F5 03 00 FC FE") + c
                                       << QList<QByteArray> {c.mid(5), c.mid(5)};
        QTest::newRow("L = 2068, the largest") << largest << QList<QByteArray> {largest.mid(5)};
        QTest::newRow("L = 2069") << frameFor(QByteArray(2067, char(0x5A))) << QList<QByteArray>();
        QTest::newRow("L = 2, CRC 00 00") << hex("F5 02 00 FD FF 00 00") << QList<QByteArray> {hex("00 00")};
        QTest::newRow("L = 0 and 1") << hex("F5 00 00 FF FF") + c + hex("F5 01 00 FE FF") + c
                                     << QList<QByteArray> {c.mid(5), c.mid(5)};
    }
    void streams()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QList<QByteArray>, bodies);
        BinaryProtocol codec;
        Recorder rec(codec);
        feed(codec, stream);
        QCOMPARE(rec.bodies, bodies);
        QVERIFY(rec.writes.isEmpty());
    }

    void badCrcRepliesAndLosesTheRestOfTheChunk()
    {
        BinaryProtocol codec;
        Recorder rec(codec);
        QByteArray bad = frameFor(hex("00 0B 32"));
        bad[bad.size() - 1] = char(bad.at(bad.size() - 1) ^ 0x01);
        const QByteArray good = frameFor(hex("00 02 00"));
        feed(codec, bad + good);
        QVERIFY(rec.bodies.isEmpty());
        QCOMPARE(rec.writes, QList<QByteArray> {hex("F5 05 00 FA FF FF FF 02 42 20")});
        feed(codec, good);
        QCOMPARE(rec.bodies, QList<QByteArray> {good.mid(5)});
        // A bad CRC leaves the frame timer running.
        feed(codec, bad);
        QTRY_COMPARE_WITH_TIMEOUT(rec.timeouts, 1, 1000);
    }

    void addressFiltering()
    {
        BinaryProtocol codec;
        Recorder rec(codec);
        codec.setAddress(5);
        // A frame for address 6 is dropped, and stops the frame timer.
        feed(codec, frameFor(hex("06 00 0B 31")));
        QVERIFY(rec.bodies.isEmpty());
        QTest::qWait(650);
        QCOMPARE(rec.timeouts, 0);
        const QByteArray mine = frameFor(hex("05 00 0B 31"));
        feed(codec, mine);
        QCOMPARE(rec.bodies, QList<QByteArray> {mine.mid(6)});
        QCOMPARE(rec.headers, QList<QByteArray> {mine.left(5) + hex("05")});
        // Without an address the body is delivered whole.
        codec.setAddress(0);
        feed(codec, mine);
        QCOMPARE(rec.bodies.last(), mine.mid(5));
    }

    void loneByteAndLostTailTimeOut()
    {
        BinaryProtocol codec;
        Recorder rec(codec);
        QSignalSpy timeouts(&codec, &BinaryProtocol::frameTimeout);
        feed(codec, hex("00"));
        QTest::qWait(300);
        QCOMPARE(timeouts.count(), 0);
        QVERIFY(timeouts.wait(1000));
        QCOMPARE(timeouts.count(), 1);
        QVERIFY(rec.bodies.isEmpty());

        // A header whose body never completes: abandoned after 500 ms, and
        // the next frame is received normally.
        const QByteArray f = frameFor(hex("00 0B 32 2E 33 38"));
        feed(codec, f.left(8));
        QVERIFY(timeouts.wait(1000));
        feed(codec, f);
        QCOMPARE(rec.bodies, QList<QByteArray> {f.mid(5)});
    }
};

QTEST_GUILESS_MAIN(TestCodec)
#include "tst_codec.moc"
