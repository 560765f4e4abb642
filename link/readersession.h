#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstddef>
#include <cstdint>

#include "link/readerlink.h"
#include "link/readerstates.h"

class PollingWorkflow;
class Rs485ScanWorkflow;

// What a session asks of whoever runs the workflows it routes answers to,
// and shows what the reader reports. The window is one; each workflow that
// becomes an object of its own takes its part out of here.
class SessionHost
{
public:
    virtual ~SessionHost() = default;

    virtual ReaderStates::Workflow runningWorkflow() const = 0;
    virtual void failWorkflow(ReaderStates::Workflow workflow, const QString &reason, const QString &ending) = 0;
    virtual QString commandName(uint32_t code) const = 0;
    // A line of the reader's own log (the body of its log frame).
    virtual void deviceLogWrite(const uint8_t *body, size_t len) = 0;
    virtual void versionReported(const QString &text) = 0;

    virtual void strayFileAnswer() = 0;
    virtual void fileOpenAnswered(const QByteArray &data) = 0;
    virtual void fileReadAnswered(const QByteArray &data) = 0;
    virtual void fileWriteAnswered(const QByteArray &data) = 0;
    virtual void fileCloseAnswered() = 0;
    virtual void deviceRestartAnswered() = 0;

    virtual void firmwareBeginAnswered() = 0;
    virtual void firmwareFrameAnswered() = 0;
    virtual void firmwareEndAnswered() = 0;
    virtual void endFirmwareUpdate() = 0;
    virtual void chipUpdateAnswered() = 0;
    virtual void chipUpdateFinished() = 0;
    virtual void chipAnswerOutOfTurn() = 0;
    virtual void endChipUpdate() = 0;

    virtual void networkSettingsAnswered(const QByteArray &data) = 0;

    virtual void addressTagOnActivated() = 0;
    virtual void tagTestOnReadPage(const QByteArray &data) = 0;
    virtual void tagTestOnWritePage() = 0;
    virtual void loopTestCount(bool found) = 0;
    virtual void loopTestOnUid(uint8_t tagType) = 0;
    virtual void loopTestOnHalt() = 0;
    virtual void loopTestOnError() = 0;
};

// One reader: its link, and the routing of every frame it sends - the
// reader's log lines, answers to the request outstanding, answers nobody
// waits for, errors and events - to the workflow they belong to.
class ReaderSession : public QObject, public ReaderStates
{
    Q_OBJECT

public:
    explicit ReaderSession(QObject *parent = nullptr);

    ReaderLink link;
    SessionHost *host = nullptr;
    // The workflows that take their answers straight from the session,
    // while they live.
    PollingWorkflow *polling = nullptr;
    Rs485ScanWorkflow *rs485Scan = nullptr;

    QString readerVersion; // as the reader last reported it
    bool awaitingFlashedVersion = false; // the version after the restart is logged
    QString versionBeforeFlash;

    // Every accepted frame arrives here. Body: status, answered command,
    // data, CRC.
    void frameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len);

signals:
    void logLine(const QString &line);
    // A frame that is not a log line (for the protocol log).
    void frameReceived(const QByteArray &frame);
    // A frame was handled: what may be started may have changed.
    void frameHandled();

private:
    void dispatchAnswer(uint8_t code, const QByteArray &data);
    void routeAnswer(uint8_t code, const QByteArray &data);
    void dispatchError(bool hasCode, uint8_t code, const QByteArray &data);
    void answerOutOfTurn(uint8_t code);
    void decodeVersion(const QString &text);
    void decodeTagCount(const QByteArray &data);
    void decodeUid(const QByteArray &data);
    void log(const QString &line) { emit logLine(line); }
};
