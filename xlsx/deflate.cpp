#include "xlsx/deflate.h"

#include <climits>
#include <zlib.h>

namespace xlsx {

namespace {

constexpr int RawWindowBits = -15; // raw deflate, 32 KiB window
constexpr int Chunk = 1 << 16;

// zlib counts in uInt: feed it no more than this at a time.
constexpr qint64 MaxStep = 1 << 30;

} // namespace

quint32 crc32Of(const char *data, qint64 size, quint32 crc)
{
    uLong c = crc;
    while (size > 0) {
        const qint64 n = qMin(size, MaxStep);
        c = ::crc32(c, reinterpret_cast<const Bytef *>(data), uInt(n));
        data += n;
        size -= n;
    }
    return quint32(c);
}

quint32 crc32Combine(quint32 crcA, quint32 crcB, qint64 lengthB)
{
    return quint32(::crc32_combine(crcA, crcB, z_off_t(lengthB)));
}

struct Deflater::State
{
    z_stream z {};
};

Deflater::Deflater(int level, const QByteArray &dictionary)
    : m_state(new State)
{
    m_valid = deflateInit2(&m_state->z, level, Z_DEFLATED, RawWindowBits, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    if (!m_valid) {
        delete m_state;
        m_state = nullptr;
        return;
    }
    if (!dictionary.isEmpty())
        m_valid = deflateSetDictionary(&m_state->z, reinterpret_cast<const Bytef *>(dictionary.constData()),
                                       uInt(dictionary.size()))
            == Z_OK;
}

Deflater::~Deflater()
{
    if (m_state)
        deflateEnd(&m_state->z);
    delete m_state;
}

bool Deflater::add(const char *data, qint64 size, QByteArray *out)
{
    while (m_valid && size > 0) {
        const qint64 n = qMin(size, MaxStep);
        if (!run(data, n, Z_NO_FLUSH, out))
            return false;
        data += n;
        size -= n;
    }
    return m_valid;
}

bool Deflater::finish(bool final, QByteArray *out)
{
    return m_valid && run(nullptr, 0, final ? Z_FINISH : Z_SYNC_FLUSH, out);
}

bool Deflater::run(const char *data, qint64 size, int flush, QByteArray *out)
{
    z_stream &z = m_state->z;
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    z.avail_in = uInt(size);
    for (;;) {
        const int at = out->size();
        if (at > INT_MAX - Chunk) {
            m_valid = false;
            return false;
        }
        out->resize(at + Chunk);
        z.next_out = reinterpret_cast<Bytef *>(out->data() + at);
        z.avail_out = Chunk;
        const int result = deflate(&z, flush);
        out->resize(at + Chunk - int(z.avail_out));
        if (result == Z_STREAM_ERROR) {
            m_valid = false;
            return false;
        }
        if (result == Z_STREAM_END)
            return true;
        // Done when zlib left room: all input taken and, for a flush,
        // everything pending written.
        if (z.avail_out != 0 && z.avail_in == 0)
            return true;
    }
}

bool deflateRaw(const QByteArray &data, int level, QByteArray *out)
{
    out->clear();
    Deflater deflater(level);
    return deflater.add(data, out) && deflater.finish(true, out);
}

bool inflateRaw(const char *data, qint64 size, bool final, qint64 limit, QByteArray *out, const QByteArray &dictionary)
{
    out->clear();
    z_stream z {};
    if (inflateInit2(&z, RawWindowBits) != Z_OK)
        return false;
    bool ok = dictionary.isEmpty()
        || inflateSetDictionary(&z, reinterpret_cast<const Bytef *>(dictionary.constData()), uInt(dictionary.size()))
            == Z_OK;
    bool ended = false;
    int dataType = 0; // where the last call that made progress stopped
    char chunk[Chunk];
    while (ok && !ended) {
        if (z.avail_in == 0 && size > 0) {
            const qint64 n = qMin(size, MaxStep);
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
            z.avail_in = uInt(n);
            data += n;
            size -= n;
        }
        z.next_out = reinterpret_cast<Bytef *>(chunk);
        z.avail_out = sizeof chunk;
        const int result = inflate(&z, Z_SYNC_FLUSH);
        const qint64 produced = qint64(sizeof chunk) - z.avail_out;
        if (produced > limit - out->size()) {
            ok = false;
            break;
        }
        out->append(chunk, int(produced));
        if (result == Z_STREAM_END)
            ended = true;
        else if (result == Z_BUF_ERROR && z.avail_in == 0 && size == 0)
            break; // all input read, all output given
        else if (result != Z_OK)
            ok = false;
        dataType = z.data_type;
        if (z.avail_in == 0 && size == 0 && z.avail_out != 0)
            break;
    }
    if (ok) {
        if (final)
            ok = ended && z.avail_in == 0 && size == 0;
        else // stopped between blocks, on a byte boundary, after a non-final block
            ok = !ended && (dataType & (128 | 64 | 7)) == 128;
    }
    inflateEnd(&z);
    if (!ok)
        out->clear();
    return ok;
}

QByteArray storedBlocks(const char *data, int size)
{
    QByteArray out;
    out.reserve(size + (size / 65535 + 1) * 5);
    int at = 0;
    do {
        const int n = qMin(size - at, 65535);
        const char header[5] = {0x00, char(n & 0xFF), char(n >> 8), char(~n & 0xFF), char((~n >> 8) & 0xFF)};
        out.append(header, 5);
        out.append(data + at, n);
        at += n;
    } while (at < size);
    return out;
}

bool readStoredBlocks(const char *data, qint64 size, QByteArray *out)
{
    out->clear();
    const auto *p = reinterpret_cast<const uchar *>(data);
    qint64 at = 0;
    while (at < size) {
        if (size - at < 5 || p[at] != 0x00)
            return false;
        const int n = p[at + 1] | p[at + 2] << 8;
        const int inverse = p[at + 3] | p[at + 4] << 8;
        if ((n ^ inverse) != 0xFFFF || size - at - 5 < n)
            return false;
        out->append(data + at + 5, n);
        at += 5 + n;
    }
    return size > 0;
}

} // namespace xlsx
