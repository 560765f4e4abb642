#include "discovery/announcement.h"

#include <QElapsedTimer>
#include <QStringList>

#include "common/readertext.h"

namespace Discovery {

const char ScanRequest[] = "Q_R4:SCAN";

QString datagramText(const char *data, int size)
{
    int length = 0;
    while (length < size && data[length] != '\0')
        ++length;
    return utf8OrLatin1(QByteArray::fromRawData(data, length));
}

namespace {

// Four decimal octets 0..255, each one to three digits.
bool splitQuad(const QString &ip, int octets[4])
{
    const QStringList parts = ip.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        const QString &part = parts[i];
        if (part.isEmpty() || part.size() > 3)
            return false;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        octets[i] = part.toInt();
        if (octets[i] > 255)
            return false;
    }
    return true;
}

} // namespace

bool parseAnnouncement(const QString &text, Announcement *announcement)
{
    if (text.size() > MaxDatagram)
        return false;
    if (!text.contains(QLatin1String("Q_R4:")) || text.contains(QLatin1String("SCAN")))
        return false;
    const QStringList fields = text.split(QLatin1Char(':'));
    if (fields.size() < 3)
        return false;
    announcement->name = oneLine(fields[1]);
    announcement->version = oneLine(fields[2]);
    return true;
}

QString senderAddress(const QString &ip)
{
    const int colon = ip.lastIndexOf(QLatin1Char(':'));
    const QString plain = colon >= 0 ? ip.mid(colon + 1) : ip;
    int octets[4];
    return splitQuad(plain, octets) ? plain : QString();
}

QString paddedAddress(const QString &ip)
{
    int octets[4];
    if (!splitQuad(ip, octets))
        return QString();
    return QString::asprintf("%03d.%03d.%03d.%03d", octets[0], octets[1], octets[2], octets[3]);
}

QVector<quint32> scanTargets(const QHostAddress &local)
{
    QVector<quint32> targets;
    if (local.protocol() != QAbstractSocket::IPv4Protocol || local == QHostAddress(QHostAddress::LocalHost))
        return targets;
    const quint32 address = local.toIPv4Address();
    const quint32 network = address & 0xFFFFFF00u;
    const quint32 own = address & 0xFFu;
    targets.reserve(254);
    for (quint32 host = 1; host <= 254; ++host) {
        if (host != own)
            targets.append(network | host);
    }
    return targets;
}

QVector<quint32> scanTargets(const QList<QHostAddress> &locals)
{
    QVector<quint32> targets;
    for (const QHostAddress &local : locals)
        targets += scanTargets(local);
    return targets;
}

bool heardRecently(qint64 lastHeard, qint64 now)
{
    return now - lastHeard <= OfflineAfterMs;
}

qint64 monotonicMs()
{
    QElapsedTimer clock;
    clock.start();
    return clock.msecsSinceReference();
}

} // namespace Discovery
