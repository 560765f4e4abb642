#pragma once

// Finding readers by UDP, and the list of the readers found.
//
// A scan loop asks every host of every local /24 network to announce itself,
// a listener loop receives the announcements. Both run on the global thread
// pool from start() to stop(); the listener hands each datagram to this
// object by a queued call, nothing else crosses threads. The announcements
// make the list of detected devices; a reader silent for longer than
// Discovery::OfflineAfterMs counts as offline, looked at once a second.
//
// The list is data: whoever shows it follows deviceAdded and
// deviceOnlineChanged, and says so (forget, forgetAll) when it drops entries
// of its own accord. What the list goes through is told by logLine.

#include <QFuture>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QString>
#include <QVector>
#include <atomic>
#include <functional>

class QEventLoop;
class QTimer;

class DeviceDiscovery : public QObject
{
    Q_OBJECT

public:
    struct Device
    {
        QString address; // the sender's, dotted decimal as received
        QString paddedAddress; // "192.168.001.020" (Discovery::paddedAddress)
        QString name; // from the first announcement
        QString version; // firmware version from the first announcement
        qint64 lastHeard = 0; // discovery clock (ms)
        bool online = true;

        // "192.168.001.020 - Reader-7 (v1.2.3)": the line the device is
        // listed by. The list is in the locale's order of these lines, which
        // is the numeric order of the addresses.
        QString text() const;
    };

    explicit DeviceDiscovery(QObject *parent = nullptr);
    // Stops the loops.
    ~DeviceDiscovery() override;

    // The two loops and the once-a-second offline check. stop() returns
    // once both loops have ended, with the discovery port free again.
    void start();
    void stop();
    QFuture<void> scanFuture() const { return m_scanFuture; }
    QFuture<void> listenFuture() const { return m_listenFuture; }
    QTimer *offlineTimer() const { return m_offlineTimer; }

    // The loops themselves (start runs them on the global thread pool). Of
    // this object they touch the running flag and the listener's handle
    // alone; the listener's datagrams come by the queued call to receive.
    void scanLoop();
    void listenLoop();

    // In list order.
    int count() const { return int(m_rows.size()); }
    const Device &device(int row) const { return m_rows.at(row)->device; }

    // Whoever shows the list dropped rows first to last, or every row: they
    // are no longer listed, and their readers count as new when heard again.
    void forget(int first, int last);
    void forgetAll();

    // Milliseconds of a clock that never steps back; tests set their own.
    std::function<qint64()> clock;
    qint64 now() const;

    int announcementsHandled = 0; // announcements taken into the list so far
    int announcementsDropped = 0; // not taken: too many were waiting

public slots:
    // An announcement text and its sender's address as the listener
    // received them; on the thread this object lives in.
    void receive(const QString &text, const QString &sender);
    // Turns entries offline that have been silent for too long (online
    // again, should the clock say so); the timer's once a second.
    void checkOffline();
    // Ends the listener's wait for datagrams.
    void terminateListener();

signals:
    void deviceAdded(int row);
    void deviceOnlineChanged(int row);
    void logLine(const QString &text);

private:
    // At most Discovery::ChangesPerTurn entries change between two turns of
    // the event loop; what is over waits for the next turn.
    void takeAnnouncement(const QString &text, const QString &sender);
    void continueOfflineCheck();
    void countChange();
    void scheduleTurn();
    void turn();
    void renumber(int from);

    // Each entry knows its row, so that an announcement finds its entry and
    // where it is listed at once however long the list is.
    struct Entry
    {
        Device device;
        int row = 0;
    };
    QVector<Entry *> m_rows; // owned, in list order
    QHash<QString, Entry *> m_byAddress;

    QQueue<QPair<QString, QString>> m_pending; // text, sender
    int m_changes = 0; // entries changed since the event loop turned
    bool m_turnPending = false;
    int m_offlineCheckRow = -1; // where a cut-short offline check goes on; -1: none
    QTimer *m_offlineTimer = nullptr;

    // Shared by the loops and this object. stop() clears the flag; the loops
    // only read it.
    std::atomic<bool> m_running {false};
    // The listener's handle as this object sees it: the event loop the
    // listener waits in for datagrams, null when there is none. Whoever
    // takes it out of here is the one who ends that loop: terminateListener
    // by a queued quit, or the listener itself when it finds the flag
    // cleared before anybody took it.
    std::atomic<QEventLoop *> m_listenHandle {nullptr};
    QFuture<void> m_scanFuture;
    QFuture<void> m_listenFuture;
};
