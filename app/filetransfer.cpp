#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QTimer>

#include "common/safefile.h"
#include "config/configcheck.h"
#include "link/commandcodes.h"

// The window's part of moving config.json: choosing the file, the checks
// and questions before an upload, and what a verified download is for. The
// transfer itself is the session's (workflows/configtransferworkflow.h).

namespace {

constexpr int kMaxDocumentBytes = ConfigTransferWorkflow::MaxDocumentBytes;

} // namespace

QString MainWindow::chooseFile(const QString &caption, const QString &filter, bool save, const QString &dir)
{
    if (fileChooser)
        return fileChooser(caption, filter, save);
    return save ? QFileDialog::getSaveFileName(this, caption, dir, filter)
                : QFileDialog::getOpenFileName(this, caption, dir, filter);
}

void MainWindow::on_btDownloadConfig_clicked()
{
    if (refuseWhileBusy())
        return;
    transferFileName = chooseFile(QStringLiteral("Save json"), QStringLiteral("Export file (*.json)"), true);
    if (transferFileName.isEmpty()) {
        logd(QStringLiteral("Please enter correct file name!"));
        return;
    }
    logd(QStringLiteral("Saving to file ") + transferFileName + QStringLiteral("..."));
    startConfigDownload(SaveToFile);
}

void MainWindow::on_btPollingConfiguration_clicked()
{
    if (refuseWhileBusy() || refuseSecondDialog())
        return;
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(PollingDialog);
}

void MainWindow::on_btUartConfiguration_clicked()
{
    if (refuseWhileBusy() || refuseSecondDialog())
        return;
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(UartDialog);
}

void MainWindow::on_btSleepConfiguration_clicked()
{
    if (refuseWhileBusy() || refuseSecondDialog())
        return;
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(SleepDialog);
}

void MainWindow::startConfigDownload(int target)
{
    configTransfer.startDownload(target);
}

void MainWindow::on_btUploadConfig_clicked()
{
    if (refuseWhileBusy())
        return;
    uploadChosenFile(chooseFile(QStringLiteral("Select json file"), QStringLiteral("Import file (*.json)"), false));
}

// A file goes to the reader only as one JSON object, after a backup of what
// the reader holds and the user's yes to what it changes there.
void MainWindow::uploadChosenFile(const QString &fileName)
{
    // A cancelled file dialog gives no name at all: the user knows nothing
    // was uploaded. A name that is there but empty is worth a word.
    if (fileName.isNull())
        return;
    transferFileName = fileName;
    if (transferFileName.isEmpty()) {
        logd(QStringLiteral("Please enter correct file name!"));
        return;
    }
    logd(QStringLiteral("Loading file ") + transferFileName + QStringLiteral("..."));
    const FileContent file = readWholeFile(transferFileName, kMaxDocumentBytes);
    if (file.status == FileContent::TooLarge) {
        logd(QStringLiteral("File is too large (%1 bytes, at most %2), nothing uploaded.")
                 .arg(file.size)
                 .arg(kMaxDocumentBytes));
        return;
    }
    if (file.status != FileContent::Read) {
        logd(QStringLiteral("Unable to open file ") + transferFileName + QStringLiteral(": ") + file.error);
        return;
    }
    logd(QStringLiteral("File size ") + QString::number(file.data.size()) + QStringLiteral(" bytes."));
    const QString problem = ConfigCheck::documentProblem(file.data);
    if (!problem.isEmpty()) {
        logd(QStringLiteral("The file cannot be a configuration, %1; nothing was uploaded.").arg(problem));
        return;
    }
    pendingUpload = file.data;
    pendingUploadName = transferFileName;
    startBackupThen(AfterBackup::UploadFile);
}

// A dialog's OK while another workflow runs does not cut into it. An OK
// that changed nothing uploads nothing; one that did has its changes made
// on the document the reader holds now.
void MainWindow::updateConfigSignal(const QByteArray &newCfg)
{
    if (refuseWhileBusy()) {
        logd(QStringLiteral("The new configuration was not uploaded."));
        return;
    }
    const bool fromDialog = configDialog && sender() == configDialog;
    if (fromDialog && newCfg == configDialogBase) {
        logd(QStringLiteral("Nothing was changed: the configuration was not uploaded."));
        return;
    }
    logd(QStringLiteral("New configuration received. Updating..."));
    if (!fromDialog) {
        startConfigUpload(newCfg);
        return;
    }
    editsBase = configDialogBase;
    editsWanted = newCfg;
    logd(QStringLiteral("Reading config.json again to make the changes on what the reader holds now..."));
    startConfigDownload(ApplyEdits);
}

void MainWindow::startConfigUpload(const QByteArray &content)
{
    configTransfer.startUpload(content);
}

// Two readings of config.json agreed: it goes where it was read for.
void MainWindow::configDownloaded(int target, const QByteArray &document)
{
    if (target == Backup) {
        backupDownloaded(document);
        return;
    }
    if (target == SaveToFile) {
        // Written whole or not at all: an existing file is only replaced by a
        // complete new one, and a failure is reported.
        QString error;
        if (!writeFileSafely(transferFileName, document, &error))
            logd(QStringLiteral("Unable to save the file ") + error);
        return;
    }
    const int end = document.indexOf('\0');
    // The bytes go to the dialog as they came: a document need not be all
    // UTF-8, and what the dialog does not change is uploaded unchanged.
    const QByteArray text = end >= 0 ? document.left(end) : document;
    if (target == ApplyEdits) {
        uploadEdits(text);
        return;
    }
    // The dialog is opened from the event loop, not from inside the handler
    // of the frame that ended the download: the modal one runs its own loop,
    // and the transports do not deliver new bytes while their read handler
    // is still running.
    QTimer::singleShot(0, this, [this, target, text] { openConfigurationDialog(target, text); });
}
