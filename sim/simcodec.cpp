#include "sim/simcodec.h"

#include <QElapsedTimer>

namespace SimCodec {

quint16 crc16(const char *data, int len)
{
    if (len <= 0)
        return 0x0000;
    quint16 crc = 0xFFFF;
    for (int i = 0; i < len; ++i) {
        crc ^= quint16(quint8(data[i])) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

QByteArray buildFrame(quint8 address, const QByteArray &payload)
{
    QByteArray body;
    body.reserve(payload.size() + 1);
    if (address != 0)
        body.append(char(address));
    body.append(payload);

    const int length = body.size() + 2;
    const quint16 crc = crc16(body);

    QByteArray frame;
    frame.reserve(kHeaderSize + length);
    frame.append(char(kStx));
    frame.append(char(length & 0xFF));
    frame.append(char((length >> 8) & 0xFF));
    frame.append(char(~length & 0xFF));
    frame.append(char((~length >> 8) & 0xFF));
    frame.append(body);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

bool Frame::payloadFor(quint8 address, QByteArray *payload) const
{
    if (address == 0) {
        *payload = body;
        return true;
    }
    if (body.isEmpty() || quint8(body.at(0)) != address)
        return false;
    *payload = body.mid(1);
    return true;
}

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

QList<Frame> Parser::feed(const QByteArray &chunk)
{
    return feed(chunk, monotonicMs());
}

QList<Frame> Parser::feed(const QByteArray &chunk, qint64 nowMs)
{
    QList<Frame> frames;
    if (chunk.isEmpty())
        return frames;

    // After a pause the line starts afresh: an unfinished body is lost and a
    // partial header cannot be completed by bytes from after the pause.
    if (m_lastByteAt >= 0 && nowMs - m_lastByteAt >= kSilenceMs) {
        if (m_expected > 0)
            ++m_abandoned;
        m_expected = 0;
        m_body.clear();
        m_window.clear();
    }
    m_lastByteAt = nowMs;

    for (const char c : chunk) {
        if (m_expected > 0) {
            m_body.append(c);
            if (m_body.size() < m_expected)
                continue;
            const int n = m_expected - 2;
            Frame frame;
            frame.body = m_body.left(n);
            const quint16 received = quint16(quint8(m_body.at(n))) | quint16(quint8(m_body.at(n + 1)) << 8);
            frame.crcOk = crc16(frame.body) == received;
            frames.append(frame);
            m_expected = 0;
            m_body.clear();
            continue;
        }

        m_window.append(c);
        if (m_window.size() > kHeaderSize)
            m_window.remove(0, 1);
        if (m_window.size() < kHeaderSize || quint8(m_window.at(0)) != kStx)
            continue;
        const quint8 lo = quint8(m_window.at(1));
        const quint8 hi = quint8(m_window.at(2));
        if (quint8(~lo) != quint8(m_window.at(3)) || quint8(~hi) != quint8(m_window.at(4)))
            continue;
        const int length = lo | (hi << 8);
        if (length < kMinBody || length > kMaxBody)
            continue;
        m_expected = length;
        m_body.clear();
        m_body.reserve(length);
        m_window.clear();
    }
    return frames;
}

void Parser::reset()
{
    m_window.clear();
    m_body.clear();
    m_expected = 0;
    m_lastByteAt = -1;
}

} // namespace SimCodec
