#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "sim/simflood.h"

// A reader that floods the link from a thread of its own (so that it goes
// on writing however long the client takes over what it got): over a pty
// whose slave the client opens as a serial port, or over the TCP connection
// it accepts on the loopback address. It writes a SimFlood stream as fast as
// the client takes it; whatever the client sends it reads and drops.
class SimFloodPeer
{
public:
    SimFloodPeer() = default;
    ~SimFloodPeer();

    bool openPty();
    QString ptyPath() const { return m_ptyPath; }
    bool listenTcp();
    quint16 tcpPort() const { return m_port; }

    // Starts a flooding reader: once the client has sent something (the
    // version request of its connect) the answer "2.30", so that the
    // connect succeeds; then, while *flooding is set (always, without it),
    // the pieces of a SimFlood source of that kind.
    void startFlood(SimFlood::Kind kind, const std::atomic<bool> *flooding = nullptr);
    void stop();


private:
    // Writes the pieces next gives (on the peer's thread) until stop; while
    // it gives nothing, it is asked again every 20 ms.
    void start(std::function<QByteArray()> next);
    void run(std::function<QByteArray()> next);

    int m_master = -1;
    int m_slave = -1; // held open so that the master never hangs up
    QString m_ptyPath;
    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop {false};
    std::atomic<qint64> m_read {0};
};
