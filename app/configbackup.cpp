#include "app/mainwindow.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include "config/configcheck.h"
#include "config/configdocument.h"
#include "console/versioninfo.h"
#include "workflows/configbackups.h"

// The window's backups (workflows/configbackups.h): kept before the reader
// is changed; a backup that cannot be made is said, and the user decides
// whether to go on. "Restore configuration..." uploads one of them through
// the same checks as any other file.

QString MainWindow::defaultBackupRoot()
{
    return ConfigBackups::defaultRoot();
}

QString MainWindow::readerLinkName() const
{
    return ConfigBackups::linkName(link);
}

QString MainWindow::readerBackupFolder() const
{
    return ConfigBackups::folder(backupRoot, readerLinkName());
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

QString MainWindow::saveBackup(const QByteArray &document, QString *error)
{
    return ConfigBackups::save(backupRoot, readerLinkName(), document, error);
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
