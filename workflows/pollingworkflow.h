#pragma once

#include <QString>
#include <functional>

#include "workflows/readerworkflow.h"

class QTimer;

// Software polling: the PC asks the reader for tags at a fixed interval
// instead of the reader polling on its own. A cycle is Get tag count, and
// when a tag is there Get UID of tag 0; the session decodes both answers and
// calls schedule() at the end of the cycle, so the interval runs from the
// end of one cycle to the start of the next. Every UID found may be
// appended to an .xlsx workbook as date, time and UID.
//
// The session it is made for routes its answers to it for as long as it
// lives.
class PollingWorkflow : public ReaderWorkflow
{
    Q_OBJECT

public:
    explicit PollingWorkflow(ReaderSession &session, QObject *parent = nullptr);

    // The first cycle begins after the interval.
    void start();
    // A request already sent is still answered and logged (a UID still gets
    // its row), but no new cycle starts.
    void stop();
    bool running() const { return isRunning; }

    // One cycle begins: the timer's step. With the link closed the cycle is
    // skipped and polling stalls until it is stopped and started again. No
    // answer timer guards the request. While a chain that polling set off
    // (an address tag kept in its state) waits for its answer, the cycle
    // waits its turn.
    void poll();
    // The next cycle after the interval.
    void schedule();

    // The row writer, for every UID found outside the loop test (whether or
    // not polling runs). The workbook is opened, written and saved for each
    // row; nothing stays open in between. Rows go below the last used row
    // of the sheet written to, with the header first when that sheet is
    // empty, so the user's own rows and sheets are never overwritten; a
    // sheet whose last row is taken is reported for every tag found. The
    // save replaces the file only once the new one is complete.
    void recordUid(const QString &uid);

    // The interval in ms, asked for at every cycle: a view gives the value
    // its field shows now.
    static constexpr int DefaultIntervalMs = 100;
    std::function<int()> intervalMs = [] { return DefaultIntervalMs; };
    QTimer *timer = nullptr; // single shot: the wait before the next cycle

    // The workbook log: whether rows are written, and to which file.
    bool saveToFile = false;
    QString outputFile;

signals:
    void runningChanged(bool running);
    // The workbook could not be opened (it is none, or unreadable); the row
    // was not written and the file is as it was.
    void outputUnopenable(const QString &path);

private:
    void setRunning(bool running);
    bool isRunning = false;
    SessionSlot<PollingWorkflow> registered {session.polling, this}; // the session calls it
};
