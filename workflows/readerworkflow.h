#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include "link/readerlink.h"
#include "link/readersession.h"

// What a workflow the session calls itself holds while it exists: the
// session's pointer for it (slot) points at it, and is cleared when it goes.
template<typename Workflow>
class SessionSlot
{
public:
    SessionSlot(Workflow *&slot, Workflow *workflow)
        : m_slot(slot)
        , m_workflow(workflow)
    {
        slot = workflow;
    }
    ~SessionSlot()
    {
        if (m_slot == m_workflow)
            m_slot = nullptr;
    }
    SessionSlot(const SessionSlot &) = delete;
    SessionSlot &operator=(const SessionSlot &) = delete;

private:
    Workflow *&m_slot;
    Workflow *m_workflow;
};

// A workflow of one reader session: it owns its steps and its state, sends
// through the session's link, takes its inputs as values (or asks a view
// for the latest edit where a step needs it) and reports by signals. It
// touches no widget; a window or a terminal tool shows what it reports.
class ReaderWorkflow : public QObject
{
    Q_OBJECT

public:
    explicit ReaderWorkflow(ReaderSession &session, QObject *parent = nullptr)
        : QObject(parent)
        , session(session)
        , link(session.link)
    { }

    ReaderSession &session;
    ReaderLink &link;

    // The last line of a workflow that failed: what failed, then why and
    // what the reader holds now, those of them that are known.
    static QString failureLine(const QString &what, const QStringList &why)
    {
        QStringList known;
        for (const QString &part : why) {
            if (!part.isEmpty())
                known << part;
        }
        return known.isEmpty() ? what + QLatin1Char('.')
                               : what + QStringLiteral(": ") + known.join(QStringLiteral("; ")) + QLatin1Char('.');
    }

protected:
    // A transfer whose answers cannot be trusted starts over from its first
    // request: attempt is counted up, the log says so and true comes back.
    // After the last attempt the workflow fails instead (and after silence
    // the link is dropped).
    bool startsAgain(ReaderStates::Workflow workflow, int &attempt, const QString &why, bool silence,
                     const QString &ending)
    {
        const int attempts = ReaderSession::TransferAttempts;
        if (attempt >= attempts) {
            session.failWorkflow(workflow, why + QStringLiteral(" - giving up after %1 attempts.").arg(attempts),
                                 ending);
            if (silence)
                session.giveUp();
            return false;
        }
        ++attempt;
        emit logLine(QStringLiteral("%1 - starting %2 again (attempt %3 of %4)...")
                         .arg(why, ReaderStates::workflowName(workflow))
                         .arg(attempt)
                         .arg(attempts));
        return true;
    }

signals:
    // A line for the user's log, in the order the steps happen.
    void logLine(const QString &line);
    // How far the work is: value of maximum (0 of 0: none shown).
    void progress(int value, int maximum);
    // The workflow is over; ok when the reader holds what was asked.
    void ended(bool ok);
};

// An update the reader takes piece by piece in the order the pieces come
// (the firmware image in frames, the chip's records): a piece is never sent
// again, the update starts over from its first request instead. What both
// updates share: the file, how far it went, the attempts, and how the
// update ends.
class ImageUpdateWorkflow : public ReaderWorkflow
{
    Q_OBJECT

public:
    ImageUpdateWorkflow(ReaderSession &session, ReaderStates::Workflow kind, QObject *parent = nullptr)
        : ReaderWorkflow(session, parent)
        , kind(kind)
    { }

    // Ends the update without a word (the caller says why).
    void end()
    {
        ++run;
        ending();
        link.oneShotState = ReaderStates::Idle;
        link.forgetRequest();
        emit progress(0, data.size());
        emit ended(false);
    }
    // Ends it, saying that it was aborted and what the reader holds.
    void abort()
    {
        const QString left = leftState();
        end();
        emit logLine(QStringLiteral("Flash firmware aborted."));
        emit logLine(left);
    }
    // What the reader holds after an update that did not end.
    virtual QString leftState() const = 0;
    // A step's answer did not come, came twice or too late: the update
    // starts over, or after the last attempt fails (and after silence the
    // link is dropped).
    void restart(const QString &why, bool silence, const QString &ending)
    {
        if (startsAgain(kind, attempt, why, silence, ending))
            startTransfer(RepeatMs);
    }

protected:
    static constexpr int RepeatMs = 1500; // the first request's time when starting over
    // The first request of an attempt.
    virtual void startTransfer(int timeoutMs) = 0;
    // What else stops when the update ends.
    virtual void ending() { }

    QByteArray data;
    int sent = 0; // bytes of the file sent
    int attempt = 1;
    int run = 0; // bumped when the update starts, starts over or ends

private:
    const ReaderStates::Workflow kind;
};
