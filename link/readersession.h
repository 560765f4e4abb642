#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <cstddef>
#include <cstdint>

#include "link/readerlink.h"
#include "link/readerstates.h"

class NetworkSettingsWorkflow;
class AddressTagWorkflow;
class LoopTestWorkflow;
class PollingWorkflow;
class Rs485ScanWorkflow;

// What a session asks of whoever runs the workflows it routes answers to,
// and shows what the reader reports. The window is one; each workflow that
// becomes an object of its own takes its part out of here. Each call does
// nothing by default: a session without a host (a terminal tool) runs only
// the workflows that are objects of their own.
class ChipUpdateWorkflow;
class ConfigTransferWorkflow;
class FirmwareUpdateWorkflow;

class SessionHost
{
public:
    virtual ~SessionHost() = default;

    // A line of the reader's own log (the body of its log frame).
    virtual void deviceLogWrite(const uint8_t *, size_t) { }
    virtual void versionReported(const QString &) { }
};

// One reader: its link, and the routing of every frame it sends - the
// reader's log lines, answers to the request outstanding, answers nobody
// waits for, errors and events - to the workflow they belong to.
class ReaderSession : public QObject, public ReaderStates
{
    Q_OBJECT

public:
    explicit ReaderSession(QObject *parent = nullptr);
    ~ReaderSession() override;

    ReaderLink link;
    SessionHost *host = nullptr;
    FirmwareUpdateWorkflow *firmware = nullptr;
    ChipUpdateWorkflow *chip = nullptr;
    ConfigTransferWorkflow *configTransfer = nullptr;

    // A transfer whose answers cannot be trusted starts over from its first
    // request, TransferAttempts times in all.
    static constexpr int TransferAttempts = 4;

    ReaderStates::Workflow runningWorkflow() const;
    // Ends the workflow: the reason, then its own failure line.
    void failWorkflow(ReaderStates::Workflow workflow, const QString &reason, const QString &ending = QString());
    // No answer after the last attempt: the link is dropped.
    void giveUp();
    // The link went down (not on purpose): the running workflow ends, and
    // nothing more goes out on the link meanwhile.
    void linkLost(const QString &reason);
    // The serial port reported an error; a read error or a removal ends the
    // link.
    void serialError(QSerialPort::SerialPortError error);
    NetworkSettingsWorkflow *networkSettings = nullptr; // made on this session, takes its answers
    // The workflows whose steps the session calls itself; each sets its own
    // while it exists.
    AddressTagWorkflow *addressTag = nullptr;
    LoopTestWorkflow *loopTest = nullptr;
    // The workflows that take their answers straight from the session,
    // while they live.
    PollingWorkflow *polling = nullptr;
    Rs485ScanWorkflow *rs485Scan = nullptr;

    // The reader answered a Reboot or a factory reset: the link goes down,
    // 3 s pass, the link comes up again (a serial port reopened with its
    // settings, a TCP connection made anew to the same place) and the
    // version is asked for. A second answer to the same Reboot changes
    // nothing.
    void restartAnswered();
    bool restarting = false; // between a restart answer and the reconnect

    // The command catalogue (the one the program carries unless replaced):
    // the names of commands in what the session says.
    QJsonArray commands;
    QString commandName(uint32_t code) const;

    QString readerVersion; // as the reader last reported it
    bool awaitingFlashedVersion = false; // the version after the restart is logged
    QString versionBeforeFlash;

    // Every accepted frame arrives here. Body: status, answered command,
    // data, CRC.
    void frameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len);
    // The answer timer ran out.
    void oneShotTimeout();
    // Asks for the version (GetVersion, no more) when a link is open.
    void requestVersion();
    // The first exchange on a link that has come up: the version is asked
    // for, waitMs for the answer, then five repeats 500 ms apart, then the
    // link is given up. A TCP connection gets it by itself (2500 ms).
    void checkVersion(int waitMs);

signals:
    void logLine(const QString &line);
    // A frame that is not a log line (for the protocol log).
    void frameReceived(const QByteArray &frame);
    // A frame was handled: what may be started may have changed.
    void frameHandled();
    // The reader restarts; the link goes down and up again.
    void restartBegun();
    // giveUp dropped the link.
    void gaveUp();
    // failWorkflow ended a workflow.
    void workflowFailed();
    // The version was asked for.
    void versionAsked();
    // The reader said its version.
    void versionRead(const QString &text);
    // An answer came (status positive or error), before it is acted on.
    void answerReceived(uint8_t status, uint8_t code, const QByteArray &data);
    // A TCP connection came up; its version check follows.
    void tcpLinkUp();

private:
    void dispatchAnswer(uint8_t code, const QByteArray &data);
    void routeAnswer(uint8_t code, const QByteArray &data);
    void dispatchError(bool hasCode, uint8_t code, const QByteArray &data);
    void answerOutOfTurn(uint8_t code);
    void decodeVersion(const QString &text);
    void reconnectAfterRestart(bool overSerial, bool overTcp);
    bool serialClosePending = false; // an error's close is scheduled
    bool serialRemovalSaid = false; // "Device removed." logged for it
    void decodeTagCount(const QByteArray &data);
    void decodeUid(const QByteArray &data);
    // The workflow the request state belongs to, if it is there.
    LoopTestWorkflow *runningLoopTest() const;
    AddressTagWorkflow *runningAddressTag() const;
    void log(const QString &line) { emit logLine(line); }
    SessionHost &hostOrNone() const;
};
