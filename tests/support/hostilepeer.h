#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "sim/simflood.h"

// A reader that fights back, on a thread of its own: it writes a stream (a
// SimFlood source, say) as fast as the client takes it, over a pty whose
// slave the client opens as a serial port, or over the TCP connection it
// accepts on the loopback address; whatever the client sends it reads and
// drops. Being apart from the GUI thread, it goes on writing however long
// the window takes over what it got.
class HostilePeer
{
public:
    HostilePeer() = default;
    ~HostilePeer();

    bool openPty();
    QString ptyPath() const { return m_ptyPath; }
    bool listenTcp();
    quint16 tcpPort() const { return m_port; }

    // Writes the pieces next gives, from its own thread, until stop. next
    // runs on that thread; while it gives nothing, it is asked again every
    // 20 ms.
    void start(std::function<QByteArray()> next);
    void stop();
    bool isRunning() const { return m_thread.joinable(); }

    qint64 bytesWritten() const { return m_written; }
    qint64 bytesRead() const { return m_read; }

    // Starts a flooding reader: once the client has sent something (the
    // version request of its connect) the answer "2.30", so that the
    // connect succeeds; then, while *flooding is set (always, without it),
    // the pieces of a SimFlood source of that kind.
    void startFlood(SimFlood::Kind kind, const std::atomic<bool> *flooding = nullptr);

private:
    void run(std::function<QByteArray()> next);

    int m_master = -1;
    int m_slave = -1; // held open so that the master never hangs up
    QString m_ptyPath;
    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop {false};
    std::atomic<qint64> m_written {0};
    std::atomic<qint64> m_read {0};
};
