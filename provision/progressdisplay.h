#pragma once

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

// rx-provision's progress on standard error. On a terminal: one line per
// reader being worked on, redrawn in place, and above them a line that stays
// for every reader that has ended (and for the verbose lines). Anywhere else
// (a pipe, a file, a terminal that cannot move its cursor): plain lines, one
// per reader and step, never a redraw.
class ProgressDisplay : public QObject
{
    Q_OBJECT

public:
    // terminal: stderr is a terminal that takes cursor movements.
    explicit ProgressDisplay(bool terminal, QObject *parent = nullptr);
    ~ProgressDisplay() override;

    // Whether standard error looks like such a terminal.
    static bool stderrIsTerminal();

    // A reader's step begins (its percentage unknown until percent()).
    void step(const QString &target, const QString &text);
    void percent(const QString &target, int percent);
    // A line that stays: a reader has ended, or a verbose line.
    void line(const QString &text);
    // The reader is no longer shown among the running ones.
    void forget(const QString &target);
    // The running lines are taken off the screen.
    void clear();

private:
    // What the running lines read now, in the order the readers began.
    QStringList runningLines() const;
    void scheduleRedraw();
    void redraw();
    void erase();
    void write(const QByteArray &bytes);

    struct Running
    {
        QString text;
        int percent = -1;
    };
    const bool m_terminal;
    QStringList m_order;
    QHash<QString, Running> m_running;
    int m_drawn = 0; // running lines on the screen now
    QTimer m_redraw; // at most one redraw per tick
};
