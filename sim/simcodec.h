#pragma once

// Frame codec of the simulated reader.
//
// Deliberately written apart from the client's own codec: the simulator is
// the other end of the link and checks the client's frames with its own
// arithmetic (a bitwise CRC instead of the client's table).
//
// Frame on the wire:
//   F5, L lo, L hi, ~L lo, ~L hi, [address], command/status, data..., CRC lo, CRC hi
// L counts everything after the five header bytes (address, payload, CRC).
// The CRC is CRC-16/CCITT-FALSE over the bytes between header and CRC.

#include <QByteArray>
#include <QList>

namespace SimCodec {

constexpr quint8 kStx = 0xF5;
constexpr int kHeaderSize = 5;
constexpr int kMinBody = 2; // just the CRC
constexpr int kMaxBody = 2068;
constexpr int kSilenceMs = 500; // an unfinished body is dropped after this much silence

// CRC-16/CCITT-FALSE: polynomial 0x1021, start 0xFFFF, no reflection, no final
// XOR. Over zero bytes the result is 0x0000 (that is how the devices do it).
quint16 crc16(const char *data, int len);
inline quint16 crc16(const QByteArray &bytes)
{
    return crc16(bytes.constData(), bytes.size());
}

// The whole frame for payload (command or status byte first). Address 0 means
// the frame carries no address byte.
QByteArray buildFrame(quint8 address, const QByteArray &payload);

// One frame found in the byte stream.
struct Frame
{
    QByteArray body; // bytes between header and CRC: [address], command/status, data
    bool crcOk = false;

    // Splits the body for a receiver with the given address (0 = no address
    // byte). False when the frame is not meant for that receiver: with an
    // address set, an empty body or one whose first byte is another address.
    bool payloadFor(quint8 address, QByteArray *payload) const;
};

// Finds frames in a byte stream fed in arbitrary chunks.
class Parser
{
public:
    // Feeds bytes that arrived now (monotonic clock).
    QList<Frame> feed(const QByteArray &chunk);
    // Same with an explicit arrival time in milliseconds, for tests.
    QList<Frame> feed(const QByteArray &chunk, qint64 nowMs);

    void reset();
    bool isCollecting() const { return m_expected > 0; }
    // Bodies dropped because the line went silent before they were complete.
    int abandonedCount() const { return m_abandoned; }

private:
    QByteArray m_window; // last bytes seen while hunting for a header (at most 5)
    QByteArray m_body; // body being collected, CRC included
    int m_expected = 0; // L of the frame being collected; 0 while hunting
    qint64 m_lastByteAt = -1;
    int m_abandoned = 0;
};

qint64 monotonicMs();

} // namespace SimCodec
