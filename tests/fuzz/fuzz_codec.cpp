// The frame codec on any byte stream, with any RS485 address, cut into chunks
// of any size, with frame timeouts in between.
//
// Input: address, chunk control, then the stream. Chunk control: bits 0-5
// the chunk size (0: all at once), bit 7 a frame timeout after each chunk,
// bit 6 an event byte in front of each chunk, as the window's codec meets
// them between two reads: 0xFF a new link (resetReceiver), 0xFE a request
// sent, 0x80-0xFD the bus address set to 0-125 (the RS485 scan moves on),
// anything else nothing. Every frame the codec hands out must be one it
// could have been sent: header and length consistent, the CRC right, the
// address the one it is set to, and no longer than its buffer. Whatever it
// sends (the repeat request after a bad CRC, a request) must be a frame a
// peer decodes to the same payload. At the end the stream's first bytes are
// sent as a payload and must come back whole from a peer.

#include <QByteArray>
#include <QCoreApplication>
#include <vector>

#include "fuzzsupport.h"
#include "link/binaryprotocol.h"

namespace {

QByteArray hexOf(const uint8_t *p, size_t n)
{
    return QByteArray(reinterpret_cast<const char *>(p), int(n)).toHex(' ');
}

// Checks one frame handed out by a codec with this address setting.
void checkDelivered(uint8_t address, const uint8_t *header, size_t hlen, uint8_t *buff, size_t len)
{
    const QString detail = QStringLiteral("address %1, header %2, body %3")
                               .arg(address)
                               .arg(QString::fromLatin1(hexOf(header, hlen)))
                               .arg(QString::fromLatin1(hexOf(buff, len)));
    FUZZ_CHECK(hlen == (address ? BinaryProtocol::HeaderSize + 1 : BinaryProtocol::HeaderSize), detail);
    FUZZ_CHECK(header[0] == BinaryProtocol::Stx, detail);
    FUZZ_CHECK(header[1] == uint8_t(~header[3]) && header[2] == uint8_t(~header[4]), detail);
    const size_t length = size_t(header[1] | (header[2] << 8));
    FUZZ_CHECK(length >= 2 && length <= BinaryProtocol::BufferSize, detail);
    // The whole body is the address byte (when set) and what was handed out.
    QByteArray body;
    if (address) {
        FUZZ_CHECK(header[BinaryProtocol::HeaderSize] == address, detail);
        body.append(char(address));
    }
    body.append(reinterpret_cast<const char *>(buff), int(len));
    FUZZ_CHECK(size_t(body.size()) == length, detail);
    const auto *b = reinterpret_cast<const uint8_t *>(body.constData());
    const uint16_t crc = BinaryProtocol::crc16(b, size_t(body.size()) - 2);
    FUZZ_CHECK(crc == uint16_t(b[body.size() - 2] | (b[body.size() - 1] << 8)), detail);
    // The dispatcher writes into the body it is handed.
    if (len >= 2)
        buff[len - 2] = 0;
}

// What a peer with the same address setting makes of frames the codec sent.
std::vector<QByteArray> decodeAtPeer(uint8_t address, const QByteArray &bytes)
{
    BinaryProtocol peer;
    peer.setAddress(address);
    std::vector<QByteArray> payloads;
    QObject::connect(&peer, &BinaryProtocol::frameComplete,
                     [&](uint8_t *header, size_t hlen, uint8_t *buff, size_t len) {
                         checkDelivered(address, header, hlen, buff, len);
                         payloads.emplace_back(reinterpret_cast<const char *>(buff), int(len - 2));
                     });
    peer.receiveBytes(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    return payloads;
}

void checkSent(uint8_t address, const QByteArray &payload, const QByteArray &frame)
{
    const QString detail = QStringLiteral("address %1, payload %2, frame %3")
                               .arg(address)
                               .arg(QString::fromLatin1(payload.toHex(' ')))
                               .arg(QString::fromLatin1(frame.toHex(' ')));
    FUZZ_CHECK(size_t(frame.size()) <= BinaryProtocol::BufferSize, detail);
    const std::vector<QByteArray> got = decodeAtPeer(address, frame);
    FUZZ_CHECK(got.size() == 1 && got.front() == payload, detail);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initCore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::Input in(data, size);
    const uint8_t address = in.byte();
    const uint8_t chunkControl = in.byte();
    const QByteArray stream = in.rest();

    BinaryProtocol codec;
    codec.setAddress(address);
    QByteArray lastWrite;
    QObject::connect(&codec, &BinaryProtocol::frameComplete,
                     [&](uint8_t *header, size_t hlen, uint8_t *buff, size_t len) {
                         checkDelivered(codec.address(), header, hlen, buff, len);
                     });
    QObject::connect(&codec, &BinaryProtocol::protocolWrite, [&](uint8_t *buff, size_t len) {
        lastWrite = QByteArray(reinterpret_cast<const char *>(buff), int(len));
    });

    // Chunks of 1..64 bytes; with the top bit set, a frame timeout after each.
    const size_t chunk = (chunkControl & 0x3F) ? size_t(chunkControl & 0x3F) : size_t(stream.size());
    const bool timeouts = chunkControl & 0x80;
    const bool events = chunkControl & 0x40;
    const auto *bytes = reinterpret_cast<const uint8_t *>(stream.constData());
    for (size_t pos = 0; pos < size_t(stream.size());) {
        if (events) {
            const uint8_t event = bytes[pos++];
            if (event == 0xFF) {
                codec.resetReceiver();
            } else if (event == 0xFE) {
                static const QByteArray request("\x0B", 1);
                lastWrite.clear();
                codec.sendFrame(request);
                checkSent(codec.address(), request, lastWrite);
                lastWrite.clear();
            } else if (event >= 0x80) {
                codec.setAddress(uint8_t(event - 0x80));
            }
            if (pos >= size_t(stream.size()))
                break;
        }
        const size_t n = qMin(chunk ? chunk : size_t(1), size_t(stream.size()) - pos);
        // Each chunk in a buffer of its own size, so reading past it is seen.
        std::vector<uint8_t> piece(bytes + pos, bytes + pos + n);
        codec.receiveBytes(piece.data(), piece.size());
        pos += n;
        if (!lastWrite.isEmpty()) {
            static const QByteArray repeatRequest("\xFF\xFF\x02", 3);
            checkSent(codec.address(), repeatRequest, lastWrite);
            lastWrite.clear();
        }
        if (timeouts)
            codec.frameTimerTimeout();
    }

    // Sending: what fits goes out and comes back whole; what does not fit is refused.
    const QByteArray payload = stream.left(int(codec.maxPayload()) + 2);
    lastWrite.clear();
    codec.sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()), size_t(payload.size()));
    if (size_t(payload.size()) > codec.maxPayload()) {
        FUZZ_CHECK(lastWrite.isEmpty(), QStringLiteral("a payload of %1 bytes was sent").arg(payload.size()));
    } else {
        checkSent(codec.address(), payload, lastWrite);
        QByteArray before = lastWrite;
        lastWrite.clear();
        codec.resendLastFrame();
        FUZZ_CHECK(lastWrite == before, QStringLiteral("the repeat differs from the frame"));
    }
    return 0;
}
