#include "sim/simudp.h"

#include "sim/simreader.h"

#include <QTimer>
#include <QUdpSocket>
#include <QtDebug>

SimUdp::SimUdp(SimReader *reader, QObject *parent)
    : QObject(parent)
    , m_reader(reader)
{
    m_timer = new QTimer(this);
    m_timer->setInterval(m_intervalMs);
    connect(m_timer, &QTimer::timeout, this, &SimUdp::announce);
    m_sender = new QUdpSocket(this);
}

SimUdp::~SimUdp() = default;

void SimUdp::setTarget(const QHostAddress &address, quint16 port)
{
    m_target = address;
    m_targetPort = port;
}

bool SimUdp::setSourceAddress(const QHostAddress &address)
{
    m_sender->close();
    m_source = address;
    if (address.isNull())
        return true;
    if (!m_sender->bind(address, 0)) {
        qWarning("SimUdp: cannot send from %s: %s", qPrintable(address.toString()),
                 qPrintable(m_sender->errorString()));
        m_source = QHostAddress();
        return false;
    }
    return true;
}

void SimUdp::setInterval(int intervalMs)
{
    m_intervalMs = qMax(10, intervalMs);
    m_timer->setInterval(m_intervalMs);
}

void SimUdp::start()
{
    announce();
    m_timer->start();
}

void SimUdp::stop()
{
    m_timer->stop();
}

bool SimUdp::isAnnouncing() const
{
    return m_timer->isActive();
}

bool SimUdp::listenForScans(quint16 port, const QHostAddress &address)
{
    stopListening();
    m_scanSocket = new QUdpSocket(this);
    // Shared, so that the discovery port of one loopback address can be a
    // reader's while a client listens on the same port of every address.
    if (!m_scanSocket->bind(address, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        qWarning("SimUdp: cannot listen for scan requests on %s:%u: %s", qPrintable(address.toString()), port,
                 qPrintable(m_scanSocket->errorString()));
        delete m_scanSocket;
        m_scanSocket = nullptr;
        return false;
    }
    connect(m_scanSocket, &QUdpSocket::readyRead, this, &SimUdp::readScanRequests);
    return true;
}

quint16 SimUdp::scanPort() const
{
    return m_scanSocket ? m_scanSocket->localPort() : 0;
}

void SimUdp::stopListening()
{
    delete m_scanSocket;
    m_scanSocket = nullptr;
}

QByteArray SimUdp::datagram() const
{
    const QString version = m_reader ? m_reader->version() : QString();
    return QStringLiteral("Q_R4:%1:%2").arg(m_name, version).toLatin1();
}

bool SimUdp::announce()
{
    if (m_reader && !m_reader->isPlugged())
        return false; // an unplugged reader is off the network too
    const QByteArray bytes = datagram();
    if (m_sender->writeDatagram(bytes, m_target, m_targetPort) != bytes.size())
        return false;
    ++m_sent;
    emit announced(bytes);
    return true;
}

void SimUdp::readScanRequests()
{
    while (m_scanSocket && m_scanSocket->hasPendingDatagrams()) {
        QHostAddress sender;
        QByteArray bytes(int(qMax<qint64>(0, m_scanSocket->pendingDatagramSize())), '\0');
        const qint64 size = m_scanSocket->readDatagram(bytes.data(), bytes.size(), &sender);
        if (size < 0)
            continue;
        bytes.truncate(int(size));
        if (bytes != "Q_R4:SCAN")
            continue;
        ++m_scans;
        emit scanRequestReceived(sender);
        // To the target, not to the sender: the simulator talks only to
        // where it was pointed.
        announce();
    }
}
