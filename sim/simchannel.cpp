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

// ---------------------------------------------------------------- SimLineQueue

void SimLineQueue::push(const QByteArray &bytes, qint64 nowNs, qint64 byteNs)
{
    if (bytes.isEmpty())
        return;
    const qint64 start = qMax(nowNs, m_lineFreeNs);
    m_chunks.append(Chunk {bytes, start, byteNs});
    m_lineFreeNs = start + bytes.size() * byteNs;
    m_size += bytes.size();
}

QByteArray SimLineQueue::takeThrough(qint64 nowNs)
{
    QByteArray through;
    while (!m_chunks.isEmpty()) {
        const Chunk &chunk = m_chunks.first();
        const qint64 size = chunk.bytes.size();
        const qint64 done = nowNs < chunk.startNs ? 0
            : chunk.byteNs > 0                    ? qMin(size, (nowNs - chunk.startNs) / chunk.byteNs)
                                                  : size;
        if (done > m_taken) {
            through.append(chunk.bytes.constData() + m_taken, int(done - m_taken));
            m_size -= done - m_taken;
            m_taken = int(done);
        }
        if (m_taken < size)
            break;
        m_chunks.removeFirst();
        m_taken = 0;
    }
    return through;
}

void SimLineQueue::clear()
{
    m_chunks.clear();
    m_taken = 0;
    m_size = 0;
    m_lineFreeNs = 0;
}

// ---------------------------------------------------------------- SimChannel

SimChannel::SimChannel(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_tick.setTimerType(Qt::PreciseTimer);
    m_tick.setInterval(1);
    connect(&m_tick, &QTimer::timeout, this, &SimChannel::releaseThrough);
}

void SimChannel::setBaudRate(int baud)
{
    m_baud = qMax(0, baud);
    // Rounded up: never faster than the line.
    m_byteNs = m_baud > 0 ? (Q_INT64_C(10000000000) + m_baud - 1) / m_baud : 0;
}

void SimChannel::write(const QByteArray &bytes)
{
    if (isOpen())
        enterLine(m_out, bytes, &SimChannel::transmit);
}

void SimChannel::deliver(const QByteArray &bytes)
{
    enterLine(m_in, bytes, &SimChannel::parse);
}

// Unpaced with nothing waiting, bytes go on at once; else behind what waits.
void SimChannel::enterLine(SimLineQueue &queue, const QByteArray &bytes,
                           void (SimChannel::*through)(const QByteArray &))
{
    if (bytes.isEmpty())
        return;
    if (m_baud == 0 && queue.isEmpty()) {
        (this->*through)(bytes);
        return;
    }
    queue.push(bytes, m_clock.nsecsElapsed(), m_byteNs);
    if (!m_tick.isActive())
        m_tick.start();
}

void SimChannel::parse(const QByteArray &bytes)
{
    emit bytesReceived(bytes);
    const QList<SimCodec::Frame> frames = m_parser.feed(bytes);
    for (const SimCodec::Frame &frame : frames)
        emit frameReceived(frame);
}

void SimChannel::releaseThrough()
{
    const qint64 now = m_clock.nsecsElapsed();
    const QByteArray out = m_out.takeThrough(now);
    if (!out.isEmpty() && isOpen())
        transmit(out);
    const QByteArray in = m_in.takeThrough(now);
    if (!in.isEmpty())
        parse(in); // may write answers, or close the channel
    if (m_out.isEmpty() && m_in.isEmpty())
        m_tick.stop();
}

void SimChannel::resetLine()
{
    m_parser.reset();
    m_out.clear();
    m_in.clear();
    m_tick.stop();
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
    resetLine();

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
    resetLine();
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

void SimBus::transmit(const QByteArray &bytes)
{
    if (m_master < 0)
        return;
    if (m_pending.size() + bytes.size() > kMaxPending) {
        qWarning("SimBus: nobody reads %s, %d bytes dropped", qPrintable(m_slavePath), int(bytes.size()));
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

void SimTcpChannel::transmit(const QByteArray &bytes)
{
    m_socket->write(bytes);
    m_socket->flush();
}

qint64 SimTcpChannel::transportBacklog() const
{
    return m_socket->bytesToWrite();
}

void SimTcpChannel::close()
{
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        return;
    resetLine();
    m_socket->flush();
    m_socket->abort();
}
