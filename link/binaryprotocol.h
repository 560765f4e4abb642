#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

// The reader's frame format:
//   F5 | L lo | L hi | ~L lo | ~L hi | [address] | command/status | params | CRC lo | CRC hi
// L counts the whole body (address, command, params, CRC). The CRC is
// CRC-16/CCITT-FALSE over the body in front of it; over zero bytes it is 0.
//
// BinaryProtocol wraps outgoing payloads into frames (protocolWrite) and finds,
// checks and unwraps frames in the incoming byte stream (frameComplete). It
// never touches a port and never allocates per frame.
class BinaryProtocol : public QObject
{
    Q_OBJECT
public:
    static constexpr size_t BufferSize = 2068; // receive and last-frame buffers
    static constexpr size_t HeaderSize = 5;
    static constexpr uint8_t Stx = 0xF5;
    static constexpr int FrameTimeoutMs = 500;

    explicit BinaryProtocol(QObject *parent = nullptr);

    // Builds the frame for payload (command byte first) and emits protocolWrite.
    // A payload whose frame would not fit the last-frame buffer is refused.
    void sendFrame(const uint8_t *payload, size_t len);
    void sendFrame(const QByteArray &payload)
    {
        sendFrame(reinterpret_cast<const uint8_t *>(payload.constData()), size_t(payload.size()));
    }
    void sendFrame(std::initializer_list<uint8_t> payload) { sendFrame(payload.begin(), payload.size()); }
    // Emits protocolWrite again with the most recent frame, if one was sent.
    void resendLastFrame();
    void receiveBytes(const uint8_t *data, size_t len);
    // Forgets a frame begun but not finished: a new link starts afresh, not
    // inside what the last one was sending when it went.
    void resetReceiver();
    void setAddress(uint8_t address);
    uint8_t address() const { return m_address; }

    static uint16_t crc16(const uint8_t *data, size_t len);
    // Largest payload sendFrame accepts with the current address setting.
    size_t maxPayload() const { return BufferSize - HeaderSize - 2 - (m_address ? 1 : 0); }

signals:
    void frameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len);
    // A whole frame (header and body) whose CRC does not match its body; it
    // is answered with the request to repeat and not passed on.
    void frameDamaged(const QByteArray &frame);
    void frameTimeout();
    void protocolWrite(uint8_t *buff, size_t len);

public slots:
    void frameTimerTimeout();

private:
    using Clock = std::chrono::steady_clock;
    // The frame timer is restarted by every byte taken while hunting for a
    // header. Re-arming a QTimer allocates, so the restart only moves a
    // deadline; the timer itself re-arms at most once per expiry.
    void restartFrameTimer();
    void stopFrameTimer() { m_frameTimerArmed = false; }
    void frameTimerTick();

    uint8_t m_rxBuffer[BufferSize];
    uint16_t m_rxCount = 0;
    uint16_t m_expectedLength = 0;
    uint8_t m_lastFrame[BufferSize];
    uint16_t m_lastFrameLength = 0;
    uint8_t m_address = 0;
    QTimer m_frameTimer;
    Clock::time_point m_frameDeadline;
    bool m_frameTimerArmed = false;
    bool m_receiving = false;
    // Sliding window in which a header is sought; the sixth byte carries the
    // address out with frameComplete.
    uint8_t m_header[HeaderSize + 1];
};
