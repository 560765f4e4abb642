#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QTimer>

#include "common/safefile.h"
#include "config/configcheck.h"
#include "link/commandcodes.h"

// Moving "config.json" between the reader and the PC: FOPEN, then FREAD or
// FWRITE chunk by chunk, then FCLOSE, each request sent when the previous one
// is answered. An upload ends with a reboot of the reader.
//
// FREAD and FWRITE carry no offset: the reader keeps the file position. A
// chunk whose answer does not come is therefore not asked for or written
// again; the transfer starts over from FOPEN, which opens the file afresh.
// Every request gets at most one answer taken, in order, so an answer of a
// file command that turns up when none is awaited means the answers shifted:
// one taken was not the answer to its request, and the file is read again.
//
// Nothing is taken on trust: a download counts only when two readings agree,
// and an upload is read back and compared byte for byte before the reader
// restarts onto it. A difference starts the transfer over.

namespace {

const QByteArray kConfigFileName = QByteArrayLiteral("config.json");
constexpr int kArmMs = 3000;
constexpr int kChunk = 128;
// A configuration document is a few kilobytes; a file of more than this is
// not one (and would take thousands of frames), whichever way it goes. A
// reader that never says its file has ended is stopped there too.
constexpr int kMaxDocumentBytes = 1024 * 1024;

QByteArray fopenPayload(uint8_t mode)
{
    QByteArray payload;
    payload.append(char(Command::FileOpen)).append(char(mode)).append(kConfigFileName);
    return payload;
}

QByteArray request(Command::Code code)
{
    return QByteArray(1, char(code));
}

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
    downloadTarget = target;
    transferAttempt = 1;
    uploadReadBack = false;
    haveDownloadCandidate = false;
    startDownloadTransfer(kArmMs);
}

void MainWindow::startDownloadTransfer(int timeoutMs)
{
    ++workflowRun;
    transferBuffer.clear();
    downloadOpened = false;
    downloadShifted = false;
    beginRequest(FileOpenForRead, fopenPayload(0x00), timeoutMs);
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
    transferFileName = fileName;
    if (transferFileName.isEmpty()) {
        logd(QStringLiteral("No file was chosen: nothing was uploaded."));
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
    transferSource = content;
    transferAttempt = 1;
    startUploadTransfer(kArmMs);
}

void MainWindow::startUploadTransfer(int timeoutMs)
{
    ++workflowRun;
    uploadReadBack = false;
    uploadWritten = 0;
    transferBuffer = transferSource;
    beginRequest(FileOpenForWrite, fopenPayload(0x01), timeoutMs);
}

void MainWindow::sendFileWriteChunk()
{
    const int n = qMin(transferBuffer.size(), kChunk);
    QByteArray payload = request(Command::FileWrite);
    payload.append(transferBuffer.constData(), n);
    beginRequest(FileWriting, payload, kArmMs);
    transferBuffer.remove(0, n);
}

void MainWindow::fileOpenAnswered(const QByteArray &)
{
    if (oneShotState == FileOpenForRead) {
        transferBuffer.clear();
        downloadOpened = true;
        logd(QStringLiteral("File openned. Downloading..."));
        if (drainEvents())
            beginRequest(FileReading, request(Command::FileRead), kArmMs);
    } else if (oneShotState == FileOpenForWrite) {
        logd(QStringLiteral("Config file openned. Uploading..."));
        if (drainEvents())
            sendFileWriteChunk();
    }
}

void MainWindow::fileReadAnswered(const QByteArray &data)
{
    if (data.isEmpty()) {
        logd(QStringLiteral("End of file. Closing the file..."));
        if (drainEvents())
            beginRequest(FileClosingAfterRead, request(Command::FileClose), kArmMs);
        return;
    }
    if (transferBuffer.size() > kMaxDocumentBytes - data.size()) {
        transferBuffer.clear();
        failWorkflow(Workflow::Download,
                     QStringLiteral("The file on the device is larger than %1 bytes.").arg(kMaxDocumentBytes));
        return;
    }
    transferBuffer.append(data);
    if (drainEvents())
        beginRequest(FileReading, request(Command::FileRead), kArmMs);
}

void MainWindow::strayFileAnswer()
{
    if (downloadOpened && (oneShotState == FileReading || oneShotState == FileClosingAfterRead))
        downloadShifted = true;
}

void MainWindow::fileWriteAnswered(const QByteArray &)
{
    if (oneShotState != FileWriting)
        return;
    uploadWritten = transferSource.size() - transferBuffer.size();
    if (transferBuffer.isEmpty()) {
        logd(QStringLiteral("End of file. Closing the file..."));
        if (drainEvents())
            beginRequest(FileClosingAfterWrite, request(Command::FileClose), kArmMs);
        return;
    }
    if (drainEvents())
        sendFileWriteChunk();
}

void MainWindow::fileCloseAnswered()
{
    if (oneShotState == FileClosingAfterWrite) {
        logd(QStringLiteral("File closed. Reading it back to check it..."));
        startDownloadTransfer(kArmMs);
        uploadReadBack = true;
        return;
    }
    if (oneShotState != FileClosingAfterRead)
        return;
    if (uploadReadBack) {
        uploadReadBackDone();
        return;
    }
    if (downloadShifted) {
        restartTransfer(QStringLiteral("Answers of the download came twice or out of turn"), false);
        return;
    }
    // A reading is the reader's file only when the next one agrees with it.
    if (!haveDownloadCandidate) {
        downloadCandidate = transferBuffer;
        haveDownloadCandidate = true;
        logd(QStringLiteral("Reading config.json a second time to check it..."));
        startDownloadTransfer(kArmMs);
        return;
    }
    if (downloadCandidate != transferBuffer) {
        downloadCandidate = transferBuffer;
        restartTransfer(QStringLiteral("The two readings of config.json differ"), false);
        return;
    }
    ++workflowRun;
    logd(QStringLiteral("File closed. Size ") + QString::number(transferBuffer.size()) + QStringLiteral(" bytes."));
    QCoreApplication::processEvents();
    oneShotState = Idle;
    if (downloadTarget == Backup) {
        backupDownloaded(transferBuffer);
        return;
    }
    if (downloadTarget == SaveToFile) {
        // Written whole or not at all: an existing file is only replaced by a
        // complete new one, and a failure is reported.
        QString error;
        if (!writeFileSafely(transferFileName, transferBuffer, &error))
            logd(QStringLiteral("Unable to save the file ") + error);
        return;
    }
    const int end = transferBuffer.indexOf('\0');
    // The bytes go to the dialog as they came: a document need not be all
    // UTF-8, and what the dialog does not change is uploaded unchanged.
    const QByteArray text = end >= 0 ? transferBuffer.left(end) : transferBuffer;
    if (downloadTarget == ApplyEdits) {
        uploadEdits(text);
        return;
    }
    // The dialog is opened from the event loop, not from inside the handler
    // of the frame that ended the download: the modal one runs its own loop,
    // and the transports do not deliver new bytes while their read handler
    // is still running.
    const int target = downloadTarget;
    QTimer::singleShot(0, this, [this, target, text] { openConfigurationDialog(target, text); });
}

// The upload's file has been read back. Only what was sent, to the byte, is
// restarted onto; anything else is written again.
void MainWindow::uploadReadBackDone()
{
    if (transferBuffer != transferSource) {
        restartTransfer(QStringLiteral("The reader holds different bytes than were sent"), false,
                        QStringLiteral("the reader holds different bytes"));
        return;
    }
    ++workflowRun;
    uploadReadBack = false;
    oneShotState = FileClosingAfterWrite;
    logd(QStringLiteral("Read back: config.json holds the %1 bytes sent.").arg(transferSource.size()));
    logd(QStringLiteral("File closed. Restarting..."));
    QCoreApplication::processEvents();
    protocol.sendFrame(request(Command::Reboot));
}

// A transfer that ends before its FCLOSE leaves nothing open on the reader.
// A write not yet closed is dropped by opening the file for reading instead
// (the reader keeps the file it had); a file open for reading is closed.
// Returns what the reader holds now.
QString MainWindow::abandonFileTransfer(Workflow workflow, int state, bool readBack)
{
    const bool writing
        = workflow == Workflow::Upload && !readBack && (state == FileOpenForWrite || state == FileWriting);
    const bool closingWrite = workflow == Workflow::Upload && state == FileClosingAfterWrite;
    const bool link = linkOpen() && !linkGoing;
    if (link) {
        if (writing)
            protocol.sendFrame(fopenPayload(0x00));
        protocol.sendFrame(request(Command::FileClose));
    }
    if (workflow == Workflow::Download)
        return QStringLiteral("the reader's config.json is unchanged");
    if (readBack)
        return QStringLiteral("config.json was written in full (%1 bytes) but not read back as sent")
            .arg(transferSource.size());
    if (closingWrite)
        return QStringLiteral("config.json was written (%1 bytes) but its closing was not confirmed")
            .arg(transferSource.size());
    if (!link)
        return QStringLiteral("the link went down during the write (%1 of %2 bytes written); the reader drops the "
                              "unfinished file when it restarts or opens the file again")
            .arg(uploadWritten)
            .arg(transferSource.size());
    return QStringLiteral("the unfinished write (%1 of %2 bytes) was dropped and the reader keeps the config.json "
                          "it had")
        .arg(uploadWritten)
        .arg(transferSource.size());
}

// The restart itself (link down, 3 s, link up, version) runs from the event
// loop, not from inside the handler of the frame that announced it: the
// transport that delivered that frame goes away meanwhile. A second answer
// to the same Reboot changes nothing.
void MainWindow::deviceRestartAnswered()
{
    if (restarting)
        return;
    forgetRequest();
    logd(QStringLiteral("Restarting the device. Please wait.."));
    statusDetailLabel->clear();
    restarting = true;
    applyDeviceGating();
    const bool overSerial = serial.isOpen();
    const bool overTcp = tcpSocket != nullptr;
    QTimer::singleShot(0, this, [this, overSerial, overTcp] { restartAndReconnect(overSerial, overTcp); });
}

void MainWindow::restartAndReconnect(bool overSerial, bool overTcp)
{
    linkCycling = true;
    if (overSerial)
        closeSerialPort();
    link.waitThen(3000, [this, overSerial, overTcp] {
        if (overSerial)
            openSerialPort();
        linkCycling = false;
        restarting = false;
        if (overTcp) {
            disconnectHost();
            on_btNetworkConnect_clicked();
            return;
        }
        beginRequest(GetVersion, request(Command::GetVersion), 500);
    });
}
