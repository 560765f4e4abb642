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

signals:
    // A line for the user's log, in the order the steps happen.
    void logLine(const QString &line);
    // How far the work is: value of maximum (0 of 0: none shown).
    void progress(int value, int maximum);
    // The workflow is over; ok when the reader holds what was asked.
    void ended(bool ok);
};
