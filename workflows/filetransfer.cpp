#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QTimer>

#include "app/safefile.h"
#include "link/commandcodes.h"

// Moving "config.json" between the reader and the PC: FOPEN, then FREAD or
// FWRITE chunk by chunk, then FCLOSE, each request sent when the previous one
// is answered. An upload ends with a reboot of the reader.
//
// FREAD and FWRITE carry no offset: the reader keeps the file position. A
// chunk whose answer does not come is therefore not asked for or written
// again; the transfer starts over from FOPEN, which opens the file afresh.
// Every request gets at most one answer taken, in order, so an FREAD answer
// that turns up when none is awaited means the answers shifted: one taken
// was not the answer to its request, and the file is read again.

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

QString MainWindow::chooseFile(const QString &caption, const QString &filter, bool save)
{
    if (fileChooser)
        return fileChooser(caption, filter, save);
    return save ? QFileDialog::getSaveFileName(this, caption, QString(), filter)
                : QFileDialog::getOpenFileName(this, caption, QString(), filter);
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
    if (refuseWhileBusy())
        return;
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(PollingDialog);
}

void MainWindow::on_btUartConfiguration_clicked()
{
    if (refuseWhileBusy())
        return;
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(UartDialog);
}

void MainWindow::on_btSleepConfiguration_clicked()
{
    if (refuseWhileBusy())
        return;
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(SleepDialog);
}

void MainWindow::startConfigDownload(int target)
{
    downloadTarget = target;
    transferAttempt = 1;
    haveDownloadCandidate = false;
    startDownloadTransfer(kArmMs);
}

void MainWindow::startDownloadTransfer(int timeoutMs)
{
    ++workflowRun;
    transferBuffer.clear();
    downloadOpened = false;
    downloadShifted = false;
    downloadRepeated = false;
    lastReadPiece.clear();
    beginRequest(FileOpenForRead, fopenPayload(0x00), timeoutMs);
}

void MainWindow::on_btUploadConfig_clicked()
{
    if (refuseWhileBusy())
        return;
    transferFileName = chooseFile(QStringLiteral("Select json file"), QStringLiteral("Import file (*.json)"), false);
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
    startConfigUpload(file.data);
}

// A dialog's OK while another workflow runs does not cut into it.
void MainWindow::updateConfigSignal(const QByteArray &newCfg)
{
    if (refuseWhileBusy()) {
        logd(QStringLiteral("The new configuration was not uploaded."));
        return;
    }
    logd(QStringLiteral("New configuration received. Updating..."));
    startConfigUpload(newCfg);
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
    if (data == lastReadPiece)
        downloadRepeated = true;
    lastReadPiece = data;
    transferBuffer.append(data);
    if (drainEvents())
        beginRequest(FileReading, request(Command::FileRead), kArmMs);
}

void MainWindow::strayReadAnswer()
{
    if (downloadOpened && (oneShotState == FileReading || oneShotState == FileClosingAfterRead))
        downloadShifted = true;
}

void MainWindow::fileWriteAnswered(const QByteArray &)
{
    if (oneShotState != FileWriting)
        return;
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
        logd(QStringLiteral("File closed. Restarting..."));
        QCoreApplication::processEvents();
        protocol.sendFrame(request(Command::Reboot));
        return;
    }
    if (oneShotState != FileClosingAfterRead)
        return;

    if (downloadShifted) {
        restartTransfer(QStringLiteral("Answers of the download came twice or out of turn"), false);
        return;
    }
    if (downloadRepeated && !(haveDownloadCandidate && downloadCandidate == transferBuffer)) {
        downloadCandidate = transferBuffer;
        haveDownloadCandidate = true;
        restartTransfer(QStringLiteral("The same piece of the file came twice in a row"), false);
        return;
    }
    ++workflowRun;
    logd(QStringLiteral("File closed. Size ") + QString::number(transferBuffer.size()) + QStringLiteral(" bytes."));
    QCoreApplication::processEvents();
    oneShotState = Idle;
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
    // The dialog is opened from the event loop, not from inside the handler
    // of the frame that ended the download: the modal one runs its own loop,
    // and the transports do not deliver new bytes while their read handler
    // is still running.
    const int target = downloadTarget;
    QTimer::singleShot(0, this, [this, target, text] { openConfigurationDialog(target, text); });
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
    if (overSerial) {
        closeSerialPort();
        pause(3000);
        openSerialPort();
    } else {
        pause(3000);
    }
    linkCycling = false;
    restarting = false;
    if (overTcp) {
        disconnectHost();
        on_btNetworkConnect_clicked();
        return;
    }
    beginRequest(GetVersion, request(Command::GetVersion), 500);
}
