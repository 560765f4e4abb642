#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include "link/readersession.h"
#include "provision/provisiontarget.h"

// One reader and one command: the session is connected, the reader's
// version read (the first exchange on every link), the command run, the
// link closed, and the outcome reported as one JSON object.
class ProvisionJob : public QObject
{
    Q_OBJECT

public:
    ProvisionJob(const ProvisionTarget &target, const QString &command, QObject *parent = nullptr);

    void start();
    const ProvisionTarget target;
    const QString command;

signals:
    // A line for the progress display; verbose lines are the session's own.
    void progress(const QString &line, bool verbose);
    // {"target", "command", "ok", "detail", "elapsed_ms", ...}
    void finished(const QJsonObject &result);

private:
    void versionRead(const QString &text);
    void finish(bool ok, const QString &detail, QJsonObject result = QJsonObject());

    ReaderSession session;
    QElapsedTimer clock;
    QString lastLine; // the session's, for a failure's detail
    bool done = false;
};
