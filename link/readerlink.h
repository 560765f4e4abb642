#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>

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
    bool linkCycling = false; // the link goes down and up again on purpose
    bool linkGoing = false; // the link is being lost: nothing more is sent

    // Opens the serial port with these settings (kept for reopenSerial); on
    // failure says why in the log. serialOpened when it is open.
    bool openSerial(const QString &name, qint32 baudRate, QSerialPort::Parity parity);
    bool reopenSerial();
    // Empties and closes the port (if open); serialClosed in every case.
    void closeSerial();
    // Why the port could not be opened: the port's own error text, with a
    // hint where the user lacks the permission.
    QString openFailureReason(const QString &portName) const;

    // Connects over TCP: up to TcpAttempts attempts of TcpAttemptMs each,
    // the next begun when one is refused or its time is over. tcpAttempting
    // before each, then tcpUp (tcpSocket is connected) or tcpFailed (there
    // is no socket).
    void connectTcp(const QString &address, int port);
    // Connects again to where connectTcp last connected.
    void reconnectTcp() { connectTcp(tcpAddress, tcpPort); }
    // Where connectTcp last connected (or tries to).
    QString tcpHost() const { return tcpAddress; }
    // Lets the connection go (if there is one); tcpClosed in every case.
    void disconnectTcp();
    bool tcpConnecting() const { return tcpAttempt > 0; }
    static constexpr int TcpAttempts = 3;
    static constexpr int TcpAttemptMs = 5000;

    // ---- waits --------------------------------------------------------------
    // The prescribed waits (after an erase, around a restart) are steps on a
    // timer: nothing waits inside the event loop, so several links wait at
    // once in one thread. One wait at a time: step runs after ms unless the
    // wait is cancelled or replaced.
    void waitThen(int ms, std::function<void()> step);
    void cancelWait();
    bool waiting() const;
    // A wait or a connection attempt runs: the link is not to be taken down
    // or up by hand meanwhile.
    bool settling() const { return waiting() || tcpConnecting(); }
    // A hook for tests: when not negative, no wait and no connection
    // attempt lasts longer than this many milliseconds.
    int waitLimitMs = -1;

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
    void logLine(const QString &line);
    void serialOpened();
    void serialClosed();
    // A frame went out on a transport (once for each transport it went to).
    void frameWritten(const QByteArray &frame);
    // A guarded request went out: what may be started has changed.
    void requestBegun();
    // settling() changed.
    void settlingChanged();
    void tcpAttempting(const QString &address);
    void tcpUp();
    void tcpFailed();
    void tcpClosed();

private:
    int limited(int ms) const { return waitLimitMs >= 0 ? qMin(ms, waitLimitMs) : ms; }
    void nextTcpAttempt();
    void tcpAttemptEnded(bool connected);
    QTimer *waitTimer = nullptr;
    std::function<void()> waitStep;
    QTimer *tcpAttemptTimer = nullptr;
    int tcpAttempt = 0; // of the connection being made; 0: none
    int tcpAttemptSerial = 0; // tells a settled attempt's late news from the next one's
    QString serialName;
    qint32 serialBaudRate = 0;
    QSerialPort::Parity serialParity = QSerialPort::NoParity;
    QString tcpAddress;
    quint16 tcpPort = 0;
    QMetaObject::Connection tcpWatch;
    bool receivingBytes = false; // a pass is running
    bool receivedMeanwhile = false; // bytes arrived while it ran
    bool receivePassPending = false; // the next pass is scheduled
};
