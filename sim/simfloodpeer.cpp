#include "sim/simfloodpeer.h"

#include "sim/simcodec.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

SimFloodPeer::~SimFloodPeer()
{
    stop();
    for (int fd : {m_master, m_slave, m_listener}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool SimFloodPeer::openPty()
{
    char name[256];
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
        return false;
    termios tio;
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_ptyPath = QString::fromLocal8Bit(name);
    return true;
}

bool SimFloodPeer::listenTcp()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), size) != 0
        || ::listen(m_listener, 1) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        return false;
    m_port = ntohs(address.sin_port);
    return true;
}

void SimFloodPeer::start(std::function<QByteArray()> next)
{
    stop();
    m_stop = false;
    m_thread = std::thread([this, next] { run(next); });
}

void SimFloodPeer::startFlood(SimFlood::Kind kind, const std::atomic<bool> *flooding)
{
    auto source = std::make_shared<SimFlood::Source>(kind, 7);
    auto answered = std::make_shared<bool>(false);
    start([this, source, answered, flooding] {
        if (!*answered) {
            if (m_read == 0)
                return QByteArray();
            *answered = true;
            return SimCodec::buildFrame(0,
                                        QByteArray("\x00\x0B"
                                                   "2.30",
                                                   6)
                                            + '\0');
        }
        return !flooding || *flooding ? source->next(16 * 1024) : QByteArray();
    });
}

void SimFloodPeer::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void SimFloodPeer::run(std::function<QByteArray()> next)
{
    int connection = -1; // the accepted TCP connection
    QByteArray pending;
    char sink[65536];
    while (!m_stop) {
        if (m_listener >= 0 && connection < 0) {
            connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (connection < 0) {
                pollfd waiting = {m_listener, POLLIN, 0};
                ::poll(&waiting, 1, 20);
                continue;
            }
        }
        const int fd = connection >= 0 ? connection : m_master;
        if (fd < 0)
            return;
        if (pending.isEmpty())
            pending = next();
        // Nothing to write for now: only read, and ask again soon.
        pollfd ready = {fd, short(pending.isEmpty() ? POLLIN : POLLIN | POLLOUT), 0};
        if (::poll(&ready, 1, 20) <= 0)
            continue;
        if (ready.revents & POLLIN) {
            const ssize_t n = ::read(fd, sink, sizeof sink);
            if (n > 0)
                m_read += n;
        }
        if (ready.revents & POLLOUT) {
            const ssize_t n = ::write(fd, pending.constData(), size_t(pending.size()));
            if (n > 0)
                pending.remove(0, int(n));
        }
        if ((ready.revents & (POLLHUP | POLLERR)) && connection >= 0) {
            ::close(connection); // the client went; wait for the next one
            connection = -1;
            pending.clear();
        }
    }
    if (connection >= 0)
        ::close(connection);
}
