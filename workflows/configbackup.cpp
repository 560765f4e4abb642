#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTimer>

#include "common/safefile.h"
#include "config/configcheck.h"
#include "config/configdocument.h"
#include "console/versioninfo.h"

// Before anything changes what a reader holds (a configuration upload, a
// firmware or chip update), its config.json is read, by the same verified
// download as every other, and kept in a folder of that reader's in the
// user's data directory: the last BackupsKept of them. A backup that cannot
// be made is said, and the user decides whether to go on. "Restore
// configuration..." uploads one of them through the same checks as any
// other file.

QString MainWindow::defaultBackupRoot()
{
    const QString dir = qEnvironmentVariable("RX_BACKUP_DIR");
    if (!dir.isEmpty())
        return dir;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/rx-client/backups");
}

// The reader's link as a folder name: the port (with the RS485 address) or
// the host and port.
QString MainWindow::readerLinkName() const
{
    QString link;
    if (tcpConnected && tcpSocket)
        link = ui->leDeviceAddr->text() + QLatin1Char('_') + QString::number(tcpSocket->peerPort());
    else
        link = serial.portName().section(QLatin1Char('/'), 0, -1, QString::SectionSkipEmpty);
    if (protocol.address() != 0)
        link += QStringLiteral("@%1").arg(protocol.address(), 2, 16, QLatin1Char('0')).toUpper();
    link.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9@.-]+")), QStringLiteral("_"));
    return link.isEmpty() ? QStringLiteral("reader") : link;
}

QString MainWindow::readerBackupFolder() const
{
    return backupRoot + QLatin1Char('/') + readerLinkName();
}

void MainWindow::startBackupThen(AfterBackup next)
{
    afterBackup = next;
    logd(QStringLiteral("Backing up the reader's config.json first..."));
    startConfigDownload(Backup);
}

void MainWindow::backupDownloaded(const QByteArray &document)
{
    if (keepBackup(document))
        continueAfterBackup(document, true);
    else
        afterBackup = AfterBackup::Nothing;
}

// Saves the reader's document as a backup and says where; when that fails,
// asks whether to go on without one. True to go on.
bool MainWindow::keepBackup(const QByteArray &document)
{
    QString error;
    const QString file = saveBackup(document, &error);
    if (file.isEmpty()) {
        logd(QStringLiteral("The backup could not be saved: ") + error);
        return goOnWithoutBackup();
    }
    logd(QStringLiteral("Backup of config.json (%1 bytes) saved as %2").arg(document.size()).arg(file));
    return true;
}

bool MainWindow::goOnWithoutBackup()
{
    if (askYesNo(QStringLiteral("Question"),
                 QStringLiteral("The reader's config.json could not be backed up. Go on without a backup?")))
        return true;
    logd(QStringLiteral("Nothing was sent to the reader."));
    return false;
}

// The file is named by the link and the time; only the newest BackupsKept
// stay.
QString MainWindow::saveBackup(const QByteArray &document, QString *error)
{
    const QString folder = readerBackupFolder();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot make the folder ") + folder;
        return QString();
    }
    const QString name = readerLinkName() + QLatin1Char(' ')
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH-mm-ss-zzz")) + QStringLiteral(".json");
    const QString path = folder + QLatin1Char('/') + name;
    if (!writeFileSafely(path, document, error))
        return QString();
    QDir dir(folder);
    const QStringList kept = dir.entryList({readerLinkName() + QStringLiteral(" *.json")}, QDir::Files, QDir::Name);
    for (int i = 0; i + BackupsKept < kept.size(); ++i)
        dir.remove(kept.at(i));
    return path;
}

void MainWindow::backupFailed()
{
    if (afterBackup == AfterBackup::Nothing)
        return;
    if (goOnWithoutBackup())
        continueAfterBackup(QByteArray(), false);
    else
        afterBackup = AfterBackup::Nothing;
}

void MainWindow::continueAfterBackup(const QByteArray &current, bool known)
{
    const AfterBackup next = afterBackup;
    afterBackup = AfterBackup::Nothing;
    switch (next) {
    case AfterBackup::UploadFile:
        if (confirmUpload(pendingUpload, current, known))
            startConfigUpload(pendingUpload);
        else
            logd(QStringLiteral("Nothing was uploaded."));
        break;
    case AfterBackup::FirmwareUpdate:
        startFirmwareUpdate();
        break;
    case AfterBackup::ChipUpdate:
        startChipUpdate();
        break;
    case AfterBackup::Nothing:
        break;
    }
}

// The questions before a file replaces the reader's config.json: another
// hardware generation, sections the reader has and the file lacks, and
// what it changes, field by field.
bool MainWindow::confirmUpload(const QByteArray &document, const QByteArray &current, bool known)
{
    const ConfigDocument file(document);
    const bool readerR5 = VersionInfo::parse(readerVersion).r5;
    if (file.hardwareVersion() == 0 || file.isR5() != readerR5) {
        const QString fileGeneration = file.hardwareVersion() == 0
            ? QStringLiteral("does not say which hardware it is for (no \"hardware_version\")")
            : QStringLiteral("is for an %1 reader (\"hardware_version\": %2)")
                  .arg(file.isR5() ? QStringLiteral("R5") : QStringLiteral("R4"))
                  .arg(file.hardwareVersion());
        if (!askYesNo(QStringLiteral("Question"),
                      QStringLiteral("The file %1, and this reader is an %2. Upload it all the same?")
                          .arg(fileGeneration, readerR5 ? QStringLiteral("R5") : QStringLiteral("R4"))))
            return false;
    }
    if (known) {
        const QStringList missing = ConfigCheck::missingSections(document, current);
        if (!missing.isEmpty()
            && !askYesNo(QStringLiteral("Question"),
                         QStringLiteral("The file lacks sections the reader's configuration has: %1. Upload it all "
                                        "the same?")
                             .arg(missing.join(QStringLiteral(", ")))))
            return false;
    }
    const QString changes = known ? ConfigCheck::changesText(ConfigCheck::changes(current, document))
                                  : QStringLiteral("(the reader's configuration could not be read)");
    return askYesNo(QStringLiteral("Question"),
                    QStringLiteral("Upload %1 (%2 bytes)? It changes the reader's configuration so:\n\n%3\n\nThe "
                                   "reader restarts afterwards.")
                        .arg(QFileInfo(pendingUploadName).fileName())
                        .arg(document.size())
                        .arg(changes));
}

void MainWindow::on_btRestoreConfig_clicked()
{
    if (refuseWhileBusy())
        return;
    const QString folder = readerBackupFolder();
    if (QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files).isEmpty()) {
        logd(QStringLiteral("There is no backup of this reader's configuration yet (%1).").arg(folder));
        return;
    }
    uploadChosenFile(
        chooseFile(QStringLiteral("Restore configuration"), QStringLiteral("Backups (*.json)"), false, folder));
}

// What an image is and what happens to the reader, asked before anything
// is sent.
bool MainWindow::confirmImage(const QString &what, const QString &fileName, const QByteArray &data,
                              const QString &consequence)
{
    const QString hash = QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
    return askYesNo(QStringLiteral("Question"),
                    QStringLiteral("%1?\n\nFile: %2\nSize: %3 bytes\nSHA-256: %4\n\n%5")
                        .arg(what, fileName)
                        .arg(data.size())
                        .arg(hash, consequence));
}
