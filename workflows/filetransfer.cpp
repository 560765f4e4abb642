#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QThread>
#include <QTimer>

#include "app/safefile.h"

// Moving "config.json" between the reader and the PC: FOPEN, then FREAD or
// FWRITE chunk by chunk, then FCLOSE, each request sent when the previous one
// is answered. An upload ends with a reboot of the reader.

namespace {

const QByteArray kConfigFileName = QByteArrayLiteral("config.json");
constexpr int kArmMs = 3000;
constexpr int kChunk = 128;
// A configuration document is a few kilobytes; a file of more than this is
// not one (and would take thousands of frames).
constexpr qint64 kMaxUploadBytes = 1024 * 1024;

QByteArray fopenPayload(uint8_t mode)
{
    QByteArray payload;
    payload.append(char(0xE0)).append(char(mode)).append(kConfigFileName);
    return payload;
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
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(PollingDialog);
}

void MainWindow::on_btUartConfiguration_clicked()
{
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(UartDialog);
}

void MainWindow::on_btSleepConfiguration_clicked()
{
    logd(QStringLiteral("Please wait downloading current configuration..."));
    startConfigDownload(SleepDialog);
}

void MainWindow::startConfigDownload(int target)
{
    downloadTarget = target;
    oneShotState = FileOpenForRead;
    oneShotTimer->stop();
    protocol.sendFrame(fopenPayload(0x00));
    oneShotTimer->start(kArmMs);
}

void MainWindow::on_btUploadConfig_clicked()
{
    transferFileName = chooseFile(QStringLiteral("Select json file"), QStringLiteral("Import file (*.json)"), false);
    if (transferFileName.isEmpty()) {
        logd(QStringLiteral("Please enter correct file name!"));
        return;
    }
    logd(QStringLiteral("Loading file ") + transferFileName + QStringLiteral("..."));
    const FileContent file = readWholeFile(transferFileName, kMaxUploadBytes);
    if (file.status == FileContent::TooLarge) {
        logd(QStringLiteral("File is too large (%1 bytes, at most %2), nothing uploaded.")
                 .arg(file.size)
                 .arg(kMaxUploadBytes));
        return;
    }
    if (file.status != FileContent::Read) {
        logd(QStringLiteral("Unable to open file ") + transferFileName + QStringLiteral(": ") + file.error);
        return;
    }
    logd(QStringLiteral("File size ") + QString::number(file.data.size()) + QStringLiteral(" bytes."));
    startConfigUpload(file.data);
}

void MainWindow::updateConfigSignal(const QByteArray &newCfg)
{
    logd(QStringLiteral("New configuration received. Updating..."));
    startConfigUpload(newCfg);
}

void MainWindow::updateConfigSignal(const QString &newCfg)
{
    updateConfigSignal(newCfg.toUtf8());
}

void MainWindow::startConfigUpload(const QByteArray &content)
{
    transferBuffer = content;
    oneShotState = FileOpenForWrite;
    oneShotTimer->stop();
    protocol.sendFrame(fopenPayload(0x01));
    oneShotTimer->start(kArmMs);
}

void MainWindow::sendFileWriteChunk()
{
    const int n = qMin(transferBuffer.size(), kChunk);
    QByteArray payload(1, char(0xE2));
    payload.append(transferBuffer.constData(), n);
    protocol.sendFrame(payload);
    oneShotTimer->start(kArmMs);
    oneShotState = FileWriting;
    transferBuffer.remove(0, n);
}

void MainWindow::fileOpenAnswered(const QByteArray &)
{
    oneShotTimer->stop();
    if (oneShotState == FileOpenForRead) {
        transferBuffer.clear();
        logd(QStringLiteral("File openned. Downloading..."));
        QCoreApplication::processEvents();
        protocol.sendFrame({0xE1});
        oneShotTimer->start(kArmMs);
        oneShotState = FileReading;
    } else if (oneShotState == FileOpenForWrite) {
        logd(QStringLiteral("Config file openned. Uploading..."));
        QCoreApplication::processEvents();
        sendFileWriteChunk();
    }
}

void MainWindow::fileReadAnswered(const QByteArray &data)
{
    oneShotTimer->stop();
    if (data.isEmpty()) {
        logd(QStringLiteral("End of file. Closing the file..."));
        QCoreApplication::processEvents();
        protocol.sendFrame({0xE3});
        oneShotTimer->start(kArmMs);
        oneShotState = FileClosingAfterRead;
        return;
    }
    QCoreApplication::processEvents();
    protocol.sendFrame({0xE1});
    oneShotTimer->start(kArmMs);
    oneShotState = FileReading;
    transferBuffer.append(data);
}

void MainWindow::fileWriteAnswered(const QByteArray &)
{
    if (oneShotState != FileWriting)
        return;
    if (transferBuffer.isEmpty()) {
        oneShotTimer->stop();
        logd(QStringLiteral("End of file. Closing the file..."));
        QCoreApplication::processEvents();
        protocol.sendFrame({0xE3});
        oneShotTimer->start(kArmMs);
        oneShotState = FileClosingAfterWrite;
        return;
    }
    QCoreApplication::processEvents();
    sendFileWriteChunk();
}

void MainWindow::fileCloseAnswered()
{
    oneShotTimer->stop();
    if (oneShotState == FileClosingAfterWrite) {
        logd(QStringLiteral("File closed. Restarting..."));
        QCoreApplication::processEvents();
        protocol.sendFrame({0x0A});
        return;
    }

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

void MainWindow::deviceRestartAnswered()
{
    oneShotTimer->stop();
    logd(QStringLiteral("Restarting the device. Please wait.."));
    statusDetailLabel->clear();
    QCoreApplication::processEvents();
    if (serial.isOpen()) {
        closeSerialPort();
        QThread::msleep(3000);
        openSerialPort();
    } else {
        QThread::msleep(3000);
    }
    if (tcpSocket) {
        disconnectHost();
        on_btNetworkConnect_clicked();
        return;
    }
    oneShotState = GetVersion;
    protocol.sendFrame({0x0B});
    oneShotTimer->start(500);
}
