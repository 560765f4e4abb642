#include "provision/announcementlistener.h"

#include <QNetworkDatagram>
#include <QVariant>

#include "discovery/announcement.h"

AnnouncementListener::AnnouncementListener(QObject *parent)
    : QObject(parent)
{
    connect(&m_listener, &QUdpSocket::readyRead, this, &AnnouncementListener::receive);
    m_again.setInterval(1000);
    connect(&m_again, &QTimer::timeout, this, &AnnouncementListener::sendScan);
}

QVector<quint32> AnnouncementListener::networkHosts(const QString &text, QString *error)
{
    const QPair<QHostAddress, int> network = QHostAddress::parseSubnet(text);
    const bool ipv4 = network.first.protocol() == QAbstractSocket::IPv4Protocol;
    if (!ipv4 || !text.contains(QLatin1Char('/')) || network.second < 16) {
        *error = QStringLiteral("%1 is not a network a.b.c.d/N with N from 16 to 32").arg(text);
        return {};
    }
    error->clear();
    const int prefix = network.second;
    const quint64 size = quint64(1) << (32 - prefix);
    const quint32 first = network.first.toIPv4Address() & ~quint32(size - 1);
    QVector<quint32> hosts;
    for (quint64 i = 0; i < size; ++i) {
        if (prefix <= 30 && (i == 0 || i == size - 1))
            continue;
        hosts << quint32(first + i);
    }
    return hosts;
}

QString AnnouncementListener::listen()
{
    // Shared with a scan listener bound to one address of this computer
    // (a simulated reader), never with another client's listener bound to
    // every address: that one keeps the port and this fails.
    if (!m_listener.bind(QHostAddress::AnyIPv4, Discovery::Port, QUdpSocket::ReuseAddressHint))
        return QStringLiteral("cannot listen on UDP port %1: %2 (is rx-client running on this computer?)")
            .arg(Discovery::Port)
            .arg(m_listener.errorString());
    return QString();
}

void AnnouncementListener::scan(const QVector<quint32> &hosts)
{
    m_hosts = hosts;
    if (!m_sender.bind(QHostAddress(QHostAddress::AnyIPv4), 0))
        return;
    m_sender.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, QVariant(Discovery::SendBufferBytes));
    sendScan();
    m_again.start();
}

void AnnouncementListener::sendScan()
{
    for (const quint32 host : qAsConst(m_hosts))
        m_sender.writeDatagram(Discovery::ScanRequest, Discovery::ScanRequestSize, QHostAddress(host), Discovery::Port);
}

void AnnouncementListener::receive()
{
    while (m_listener.hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_listener.receiveDatagram(Discovery::MaxDatagram + 1);
        const QByteArray data = datagram.data();
        Discovery::Announcement announcement;
        const QString address = Discovery::senderAddress(datagram.senderAddress().toString());
        if (address.isEmpty() || data.size() > Discovery::MaxDatagram
            || !Discovery::parseAnnouncement(Discovery::datagramText(data.constData(), data.size()), &announcement)
            || m_heard.contains(address))
            continue;
        m_heard.insert(address);
        emit found(address, announcement.name, announcement.version);
    }
}
