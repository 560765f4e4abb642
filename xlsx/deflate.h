#pragma once

// Raw deflate data and CRC-32 as zip archives keep them, through zlib.
//
// A worksheet part is written as several deflate streams one after the
// other in the same entry: its head as stored blocks, its rows ending on a
// flush point (the data so far ends on a byte boundary and a non-final
// block), and its tail as the final block. A decoder reads them as one
// stream. Rows appended later are compressed on their own behind the flush
// point, with the last rows before it as the dictionary they may refer back
// to, so the rows before are never compressed again.

#include <QByteArray>
#include <QtGlobal>

namespace xlsx {

quint32 crc32Of(const char *data, qint64 size, quint32 crc = 0);
inline quint32 crc32Of(const QByteArray &bytes, quint32 crc = 0)
{
    return crc32Of(bytes.constData(), bytes.size(), crc);
}
// CRC-32 of A followed by B, from the CRC of A, the CRC of B and B's length.
quint32 crc32Combine(quint32 crcA, quint32 crcB, qint64 lengthB);

// One raw deflate stream, fed in pieces. A dictionary makes it start as if
// those bytes had just been written before it, which the decoder must then
// have seen.
class Deflater
{
public:
    explicit Deflater(int level, const QByteArray &dictionary = QByteArray());
    ~Deflater();
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;

    bool isValid() const { return m_valid; }
    // Appends the compressed form of data to *out.
    bool add(const char *data, qint64 size, QByteArray *out);
    bool add(const QByteArray &data, QByteArray *out) { return add(data.constData(), data.size(), out); }
    // Ends the stream: with the final block, or on a flush point that more
    // blocks can follow.
    bool finish(bool final, QByteArray *out);

private:
    bool run(const char *data, qint64 size, int flush, QByteArray *out);

    struct State;
    State *m_state = nullptr;
    bool m_valid = false;
};

// The whole of data as one raw deflate stream ending in the final block.
bool deflateRaw(const QByteArray &data, int level, QByteArray *out);

// Raw deflate data decoded: all of it, which must be exactly one stream
// ending in its final block (final) or end on a block boundary without one.
// False when it does not decode, refers back beyond the dictionary, or
// decodes to more than limit bytes.
bool inflateRaw(const char *data, qint64 size, bool final, qint64 limit, QByteArray *out,
                const QByteArray &dictionary = QByteArray());

// Bytes as non-final stored blocks (no compression), which keep them
// readable in place.
QByteArray storedBlocks(const char *data, int size);
inline QByteArray storedBlocks(const QByteArray &bytes)
{
    return storedBlocks(bytes.constData(), bytes.size());
}
// The content of the non-final stored blocks that make up data exactly.
bool readStoredBlocks(const char *data, qint64 size, QByteArray *out);

} // namespace xlsx
