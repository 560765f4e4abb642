#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include "link/readersession.h"
#include "discovery/rs485scanworkflow.h"
#include "workflows/networksettingsworkflow.h"
#include "workflows/tagworkflows.h"
#include "provision/provisiontarget.h"

// What every reader is to be given, checked once before any is touched.
struct ProvisionCommand
{
    QString name; // "version", "config get", "config put", "flash", "flash-chip"
    QString path; // the directory of config get; the file of config put and flash
    QByteArray data; // the document, the image or the request of send
    QString sha256; // of data
    bool yes = false; // the questions the window would ask are answered yes
    bool dryRun = false; // reach the reader, change nothing
    QString backupRoot;
    int tagAddress = 0; // address-tag write
    // network set: the settings given, by their sub-command; the rest stay
    // as the reader has them.
    QMap<int, QString> networkEdits;
    bool tagTerminated = false;
};

// One reader and one command: the session is connected, the reader's
// version read (the first exchange on every link), the command run with
// the same workflows the window runs (a backup before anything is changed,
// uploads read back, a restart awaited until the reader answers again), the
// link closed, and the outcome reported as one JSON object.
class ProvisionJob : public QObject
{
    Q_OBJECT

public:
    ProvisionJob(const ProvisionTarget &target, const ProvisionCommand &command, QObject *parent = nullptr);

    void start();
    // Ctrl+C: the running workflow ends as cleanly as the protocol allows
    // (nothing left open on the reader), then the job fails, saying what
    // the reader holds.
    void interrupt();
    const ProvisionTarget target;
    const ProvisionCommand command;

    // The time a reader has to answer again after its restart.
    static constexpr int RestartLimitMs = 30000;
    // The time the reader has to answer a request of send.
    static constexpr int SendAnswerMs = 3000;

signals:
    // A line for the progress display; verbose lines are the session's own.
    void progress(const QString &line, bool verbose);
    // How far the transfer or update running is.
    void percent(int percent);
    // {"target", "command", "ok", "detail", "elapsed_ms", ...}
    void finished(const QJsonObject &result);

private:
    enum class Phase {
        Connecting,
        Working,
        Restarting
    };
    void versionRead(const QString &text);
    void run();
    void downloaded(int target, const QByteArray &document);
    void backedUp(const QByteArray &current);
    void workflowEnded(bool ok);
    void addressTagEnded(bool ok);
    void scanEnded(bool ok);
    void networkEnded(bool ok);
    void answerReceived(uint8_t status, uint8_t code, const QByteArray &data);
    void fail(const QString &detail) { finish(false, detail); }
    void failSaying();
    bool over() const { return done || interrupting || collecting; }
    void finish(bool ok, const QString &detail);

    ReaderSession session;
    AddressTagWorkflow addressTag {session};
    Rs485ScanWorkflow rs485Scan {session};
    NetworkSettingsWorkflow networkSettings {session};
    NetworkConfig::Settings networkRead; // as the last read found them
    NetworkConfig::Settings networkWanted;
    int networkStep = 0; // 0 reading, 1 writing, 2 reading back
    QString openFailure; // scan: why the port did not open
    bool tagWritten = false; // address-tag write: now read back
    int tagReadAddress = -1; // as read, -1: nothing read
    bool tagReadTerminated = false;
    Phase phase = Phase::Connecting;
    QElapsedTimer clock;
    QTimer restartLimit;
    QTimer answerLimit; // send: the answer's time
    QByteArray lastFrame; // as received, for send's description
    QString lastLine; // the session's, for a failure's detail
    QJsonObject result;
    bool changing = false; // the upload or the update has begun
    bool interrupting = false; // Ctrl+C: the workflow is being ended
    bool done = false;
    bool collecting = false; // failSaying: the lines of the failure are gathered
    QStringList said;
};
