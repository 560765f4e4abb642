#include "workflows/configbackups.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>

#include "common/safefile.h"
#include "link/readerlink.h"

QString ConfigBackups::defaultRoot()
{
    const QString dir = qEnvironmentVariable("RX_BACKUP_DIR");
    if (!dir.isEmpty())
        return dir;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/rx-client/backups");
}

QString ConfigBackups::linkName(const ReaderLink &link)
{
    QString name;
    if (link.tcpConnected && link.tcpSocket)
        name = link.tcpHost() + QLatin1Char('_') + QString::number(link.tcpSocket->peerPort());
    else
        name = link.serial.portName().section(QLatin1Char('/'), 0, -1, QString::SectionSkipEmpty);
    if (link.protocol.address() != 0)
        name += QStringLiteral("@%1").arg(link.protocol.address(), 2, 16, QLatin1Char('0')).toUpper();
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9@.-]+")), QStringLiteral("_"));
    return name.isEmpty() ? QStringLiteral("reader") : name;
}

QString ConfigBackups::folder(const QString &root, const QString &linkName)
{
    return root + QLatin1Char('/') + linkName;
}

QString ConfigBackups::save(const QString &root, const QString &linkName, const QByteArray &document, QString *error)
{
    const QString dirPath = folder(root, linkName);
    if (!QDir().mkpath(dirPath)) {
        *error = QStringLiteral("cannot make the folder ") + dirPath;
        return QString();
    }
    const QString name = linkName + QLatin1Char(' ')
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH-mm-ss-zzz")) + QStringLiteral(".json");
    const QString path = dirPath + QLatin1Char('/') + name;
    if (!writeFileSafely(path, document, error))
        return QString();
    QDir dir(dirPath);
    const QStringList kept = dir.entryList({linkName + QStringLiteral(" *.json")}, QDir::Files, QDir::Name);
    for (int i = 0; i + Kept < kept.size(); ++i)
        dir.remove(kept.at(i));
    return path;
}
