#include "link/binaryprotocol.h"

#include <QDebug>
#include <cstring>

namespace {

struct CrcTable
{
    uint16_t v[256];
    constexpr CrcTable()
        : v()
    {
        for (int i = 0; i < 256; ++i) {
            uint16_t crc = uint16_t(i << 8);
            for (int b = 0; b < 8; ++b)
                crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
            v[i] = crc;
        }
    }
};

constexpr CrcTable kCrcTable;

} // namespace

BinaryProtocol::BinaryProtocol(QObject *parent)
    : QObject(parent)
{
    std::memset(m_rxBuffer, 0, sizeof m_rxBuffer);
    std::memset(m_lastFrame, 0, sizeof m_lastFrame);
    std::memset(m_header, 0, sizeof m_header);
    m_frameTimer.setParent(this);
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, &BinaryProtocol::frameTimerTick);
}

uint16_t BinaryProtocol::crc16(const uint8_t *data, size_t len)
{
    if (len == 0)
        return 0x0000;
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i)
        crc = uint16_t((crc << 8) ^ kCrcTable.v[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

void BinaryProtocol::setAddress(uint8_t address)
{
    m_address = address;
}

void BinaryProtocol::sendFrame(const uint8_t *payload, size_t len)
{
    if (len > maxPayload()) {
        qDebug() << "sendFrame: payload of" << len << "bytes does not fit a frame (at most" << maxPayload()
                 << "), not sent";
        return;
    }
    const size_t bodyStart = HeaderSize;
    size_t pos = bodyStart;
    const uint16_t L = uint16_t(len + 2 + (m_address ? 1 : 0));
    m_lastFrame[0] = Stx;
    m_lastFrame[1] = uint8_t(L & 0xFF);
    m_lastFrame[2] = uint8_t(L >> 8);
    m_lastFrame[3] = uint8_t(~m_lastFrame[1]);
    m_lastFrame[4] = uint8_t(~m_lastFrame[2]);
    if (m_address)
        m_lastFrame[pos++] = m_address;
    if (len)
        std::memcpy(m_lastFrame + pos, payload, len);
    pos += len;
    const uint16_t crc = crc16(m_lastFrame + bodyStart, pos - bodyStart);
    m_lastFrame[pos++] = uint8_t(crc & 0xFF);
    m_lastFrame[pos++] = uint8_t(crc >> 8);
    m_lastFrameLength = uint16_t(pos);
    emit protocolWrite(m_lastFrame, m_lastFrameLength);
}

void BinaryProtocol::resendLastFrame()
{
    if (m_lastFrameLength != 0)
        emit protocolWrite(m_lastFrame, m_lastFrameLength);
}

void BinaryProtocol::receiveBytes(const uint8_t *data, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        const uint8_t b = data[i];
        if (m_receiving) {
            m_rxBuffer[m_rxCount++] = b;
            if (m_rxCount != m_expectedLength)
                continue;
            m_receiving = false;
            const size_t count = m_rxCount;
            const uint16_t crc = crc16(m_rxBuffer, count - 2);
            const uint16_t got = uint16_t(m_rxBuffer[count - 2] | (m_rxBuffer[count - 1] << 8));
            if (crc == got) {
                stopFrameTimer();
                if (m_address == 0) {
                    emit frameComplete(m_header, HeaderSize, m_rxBuffer, count);
                } else if (m_rxBuffer[0] == m_address) {
                    m_header[HeaderSize] = m_address;
                    emit frameComplete(m_header, HeaderSize + 1, m_rxBuffer + 1, count - 1);
                }
                continue;
            }
            // Bad CRC: ask the reader to repeat; the rest of this chunk is lost.
            emit frameDamaged(QByteArray(reinterpret_cast<const char *>(m_header), int(HeaderSize))
                              + QByteArray(reinterpret_cast<const char *>(m_rxBuffer), int(count)));
            static const uint8_t errorReply[3] = {0xFF, 0xFF, 0x02};
            sendFrame(errorReply, sizeof errorReply);
            return;
        }

        std::memmove(m_header, m_header + 1, HeaderSize - 1);
        m_header[HeaderSize - 1] = b;
        restartFrameTimer();
        if (m_header[0] == Stx && m_header[1] == uint8_t(~m_header[3]) && m_header[2] == uint8_t(~m_header[4])) {
            const uint16_t L = uint16_t(m_header[1] | (m_header[2] << 8));
            // A body holds at least its two CRC bytes and must fit the buffer.
            if (L >= 2 && L <= BufferSize) {
                m_receiving = true;
                m_rxCount = 0;
                m_expectedLength = L;
            }
        }
    }
}

void BinaryProtocol::resetReceiver()
{
    m_receiving = false;
    m_rxCount = 0;
    std::memset(m_header, 0, sizeof m_header);
    stopFrameTimer();
}

void BinaryProtocol::restartFrameTimer()
{
    m_frameDeadline = Clock::now() + std::chrono::milliseconds(FrameTimeoutMs);
    m_frameTimerArmed = true;
    if (!m_frameTimer.isActive())
        m_frameTimer.start(FrameTimeoutMs);
}

void BinaryProtocol::frameTimerTick()
{
    if (!m_frameTimerArmed)
        return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_frameDeadline - Clock::now());
    if (left.count() > 0) {
        m_frameTimer.start(int(left.count()));
        return;
    }
    m_frameTimerArmed = false;
    frameTimerTimeout();
}

void BinaryProtocol::frameTimerTimeout()
{
    m_receiving = false;
    emit frameTimeout();
}
