#include "sim/simchannel.h"

#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QtDebug>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pty takes a few kilobytes before a write would block; beyond this much
// waiting output (nobody reads the slave) further bytes are dropped, as a
// device's transmit buffer would overflow.
constexpr int kMaxPending = 64 * 1024;

void setFlags(int fd)
{
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

} // namespace

// ---------------------------------------------------------------- SimChannel

SimChannel::SimChannel(QObject *parent)
    : QObject(parent)
{ }

void SimChannel::deliver(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    emit bytesReceived(bytes);
    const QList<SimCodec::Frame> frames = m_parser.feed(bytes);
    for (const SimCodec::Frame &frame : frames)
        emit frameReceived(frame);
}

// ---------------------------------------------------------------- SimBus

SimBus::SimBus(QObject *parent)
    : SimChannel(parent)
{ }

SimBus::~SimBus()
{
    close();
}

bool SimBus::open(const QString &linkPath)
{
    close();

    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        qWarning("SimBus: openpty failed: %s", std::strerror(errno));
        return false;
    }
    char name[256];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        qWarning("SimBus: ptsname failed: %s", std::strerror(errno));
        ::close(master);
        ::close(slave);
        return false;
    }

    termios tio;
    if (::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    setFlags(master);
    setFlags(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    const QString slavePath = QString::fromLocal8Bit(name);
    if (!linkPath.isEmpty()) {
        const QByteArray link = QFile::encodeName(linkPath);
        struct stat st;
        if (::lstat(link.constData(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                qWarning("SimBus: %s exists and is not a symbolic link", link.constData());
                ::close(master);
                ::close(slave);
                return false;
            }
            ::unlink(link.constData());
        }
        if (::symlink(name, link.constData()) != 0) {
            qWarning("SimBus: cannot create link %s: %s", link.constData(), std::strerror(errno));
            ::close(master);
            ::close(slave);
            return false;
        }
    }

    m_master = master;
    m_slave = slave;
    m_slavePath = slavePath;
    m_linkPath = linkPath;
    m_pending.clear();
    resetParser();

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimBus::readMaster);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimBus::flushPending);
    return true;
}

void SimBus::close()
{
    if (m_master < 0)
        return;
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    ::close(m_master);
    ::close(m_slave);
    m_master = -1;
    m_slave = -1;
    m_pending.clear();
    removeLink();
    emit closed();
}

void SimBus::removeLink()
{
    if (m_linkPath.isEmpty())
        return;
    // Only our own link: another simulator may have taken the name meanwhile.
    const QByteArray link = QFile::encodeName(m_linkPath);
    char target[256];
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (QString::fromLocal8Bit(target) == m_slavePath)
            ::unlink(link.constData());
    }
}

QString SimBus::description() const
{
    return QStringLiteral("serial %1").arg(m_slavePath);
}

void SimBus::readMaster()
{
    char buf[4096];
    QByteArray chunk;
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            chunk.append(buf, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && m_readNotifier) {
            // Cannot happen while our slave descriptor is open; do not spin if it does.
            qWarning("SimBus: read from pty failed: %s", std::strerror(errno));
            m_readNotifier->setEnabled(false);
        }
        break;
    }
    deliver(chunk);
}

void SimBus::write(const QByteArray &bytes)
{
    if (m_master < 0 || bytes.isEmpty())
        return;
    if (m_pending.size() + bytes.size() > kMaxPending) {
        qWarning("SimBus: nobody reads %s, %d bytes dropped", qPrintable(m_slavePath), bytes.size());
        return;
    }
    m_pending.append(bytes);
    flushPending();
}

void SimBus::flushPending()
{
    while (m_master >= 0 && !m_pending.isEmpty()) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            qWarning("SimBus: write to pty failed: %s", std::strerror(errno));
            m_pending.clear();
        }
        break;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_pending.isEmpty());
}

// ---------------------------------------------------------------- SimTcpChannel

SimTcpChannel::SimTcpChannel(QTcpSocket *socket, QObject *parent)
    : SimChannel(parent)
    , m_socket(socket)
{
    m_socket->setParent(this);
    // Each write goes on the wire at once: a frame is not held back until the
    // client acknowledges the one before (the copy of an answer sent twice a
    // few milliseconds after it stays those milliseconds behind it).
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket, &QTcpSocket::readyRead, this, [this] { deliver(m_socket->readAll()); });
    connect(m_socket, &QTcpSocket::disconnected, this, &SimChannel::closed);
}

bool SimTcpChannel::isOpen() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

QString SimTcpChannel::description() const
{
    return QStringLiteral("TCP %1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
}

void SimTcpChannel::write(const QByteArray &bytes)
{
    if (!isOpen() || bytes.isEmpty())
        return;
    m_socket->write(bytes);
    m_socket->flush();
}

qint64 SimTcpChannel::backlog() const
{
    return m_socket->bytesToWrite();
}

void SimTcpChannel::close()
{
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        return;
    m_socket->flush();
    m_socket->abort();
}
