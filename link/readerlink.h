#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <cstddef>
#include <cstdint>

#include "link/binaryprotocol.h"

class QIODevice;
class QTcpSocket;
class QTimer;

// One reader's link: its transports (a serial port, a TCP socket), the codec
// between them and whoever drives the reader, and the one guarded request
// that may be outstanding at a time.
//
// Requests are stop-and-wait: a guarded request is sent with beginRequest
// and answered through takeAnswer. The protocol carries no sequence
// numbers, so an answer is recognised by its command code (and the
// sub-command a "Network config" answer echoes); one that came twice or too
// late carries the same code as the next request's answer.
class ReaderLink : public QObject
{
    Q_OBJECT

public:
    // The states in which nothing but the version check or nothing at all is
    // outstanding; every other state belongs to a workflow.
    static constexpr int IdleState = 0;
    static constexpr int VersionState = 2;

    explicit ReaderLink(QObject *parent = nullptr);
    ~ReaderLink() override;

    // ---- transports ---------------------------------------------------------
    QSerialPort serial;
    BinaryProtocol protocol;
    QTcpSocket *tcpSocket = nullptr; // the socket in use, if any
    bool tcpConnected = false;
    bool linkOpen() const;
    static constexpr qint64 ReceiveBufferBytes = 64 * 1024; // unread bytes a transport keeps

    // Hands what device received to the codec in bounded slices, the event
    // loop running between them.
    void takeReceivedBytes(QIODevice *device);

    // ---- the guarded request ------------------------------------------------
    // The one way a guarded request goes out: oneShotState = state, the
    // payload sent, oneShotTimer armed with timeoutMs. The payload's command
    // (for "Network config" with its sub-command) is the answer awaited.
    void beginRequest(int state, const QByteArray &payload, int timeoutMs);
    // The one place that decides whether a positive answer (its command
    // code and the data behind it) answers the request outstanding. If it
    // does, the request is answered: no longer outstanding, timer stopped.
    bool takeAnswer(uint8_t code, const QByteArray &data);
    // Nothing is awaited any more; the answer timer stops.
    void forgetRequest();
    bool requestOutstanding() const { return awaitedCommand >= 0; }
    // A workflow (not the console, not the version check) waits for the
    // answer to its request.
    bool workflowWaiting() const;
    // The request outstanding goes out again as it went the first time.
    void repeatRequest(int timeoutMs);

    QTimer *oneShotTimer = nullptr; // the answer timer; its timeout is the session's
    int oneShotState = IdleState; // which guarded request waits for an answer
    int retryCount = 0; // repeats of it so far
    QByteArray requestPayload; // of the guarded request, for its repeats
    int awaitedCommand = -1; // command of the guarded request outstanding
    int awaitedSub = -1; // and its "Network config" sub-command

    // Writes a frame the codec made to every transport that is open.
    void writeFrame(uint8_t *buff, size_t len);

signals:
    // A frame went out on a transport (once for each transport it went to).
    void frameWritten(const QByteArray &frame);
    // A guarded request went out: what may be started has changed.
    void requestBegun();

private:
    bool receivingBytes = false; // a pass is running
    bool receivedMeanwhile = false; // bytes arrived while it ran
    bool receivePassPending = false; // the next pass is scheduled
};
