#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "app/safefile.h"
#include "workflows/firmwarefiles.h"

// Replacing the reader's own firmware: OTA Begin (the reader erases its
// flash and, over USB, leaves and comes back), then the image in frames of
// 256 bytes, each sent on the answer to the one before, then OTA End with
// the image size and, on its answer, Reboot. The button reads "Abort..."
// while an update runs and then cancels it.

namespace {

constexpr int kBeginArmMs = 1000;
constexpr int kFrameArmMs = 500;

} // namespace

void MainWindow::on_btFlashFirmware_clicked()
{
    if (oneShotState == FlashFirmware) {
        oneShotState = Idle;
        ui->btFlashFirmware->setText(QStringLiteral("Flash firmware"));
        oneShotTimer->stop();
        progressBar->setValue(0);
        logd(QStringLiteral("Flash firmware aborted."));
        return;
    }

    firmwareFileName = chooseFile(tr("Select firmware file"), QString(), false);
    if (firmwareFileName.isEmpty()) {
        logd(QStringLiteral("Firmware not selected!"));
        return;
    }
    logd(QStringLiteral("Firmware file ") + firmwareFileName);
    // The reader erases its flash on OTA Begin, so an image that cannot be
    // sent is refused before anything goes out.
    if (!loadFirmwareImage(firmwareFileName))
        return;

    oneShotState = FlashFirmware;
    protocol.sendFrame({0xF0});
    ui->btFlashFirmware->setText(QStringLiteral("Abort..."));
    oneShotTimer->start(kBeginArmMs);
}

bool MainWindow::loadFirmwareImage(const QString &fileName)
{
    const FileContent file = readWholeFile(fileName, FirmwareFiles::MaxFileBytes);
    if (!checkFirmwareFile(file))
        return false;
    if (file.data.isEmpty()) {
        logd(QStringLiteral("Firmware file is empty, nothing to flash!"));
        return false;
    }
    firmwareData = file.data;
    firmwareOffset = 0;
    return true;
}

bool MainWindow::checkFirmwareFile(const FileContent &file)
{
    switch (file.status) {
    case FileContent::Read:
        return true;
    case FileContent::CannotOpen:
        logd(QStringLiteral("Unable to open firmware file!"));
        break;
    case FileContent::ReadFailed:
        logd(QStringLiteral("Unable to read firmware file!"));
        break;
    case FileContent::TooLarge:
        logd(QStringLiteral("Firmware file is too large (%1 bytes, at most %2), nothing to flash!")
                 .arg(file.size)
                 .arg(FirmwareFiles::MaxFileBytes));
        break;
    }
    return false;
}

void MainWindow::firmwareBeginAnswered()
{
    // A repeat of OTA Begin from the answer timer would erase the reader
    // again; the reopen below lets timers run between its attempts.
    oneShotTimer->stop();
    logd(QStringLiteral("Flash erased."));

    const bool overSerial = serial.isOpen();
    reopenSerialPort();
    if (overSerial && !serial.isOpen())
        return; // the port did not come back; the update has been ended

    logd(QStringLiteral("Writing firmware..."));
    oneShotTimer->stop();
    firmwareOffset = 0;
    if (oneShotState == FlashFirmware) {
        // Closing the port for the reopen reset the caption and the progress.
        ui->btFlashFirmware->setText(QStringLiteral("Abort..."));
        progressBar->setMaximum(firmwareData.size());
        progressBar->setValue(0);
    }
    sendNextFirmwareFrame();
}

void MainWindow::firmwareFrameAnswered()
{
    sendNextFirmwareFrame();
}

void MainWindow::sendNextFirmwareFrame()
{
    // Aborted, or another workflow has taken over the answer timer.
    if (oneShotState != FlashFirmware)
        return;
    oneShotTimer->stop();

    if (firmwareOffset >= firmwareData.size()) {
        protocol.sendFrame(FirmwareFiles::otaEndPayload(uint32_t(firmwareData.size())));
        logd(QStringLiteral("Firmware flashed."));
        oneShotState = Idle;
        ui->btFlashFirmware->setText(QStringLiteral("Flash firmware"));
        oneShotTimer->stop();
        progressBar->setValue(0);
        return;
    }

    const QByteArray payload = FirmwareFiles::otaFramePayload(firmwareData, firmwareOffset);
    firmwareOffset += payload.size() - 1;
    protocol.sendFrame(payload);
    progressBar->setValue(firmwareOffset);
    oneShotTimer->start(kFrameArmMs);
}

void MainWindow::firmwareEndAnswered()
{
    oneShotTimer->stop();
    logd(QStringLiteral("Restarting device..."));
    QCoreApplication::processEvents();
    protocol.sendFrame({0x0A});
    statusDetailLabel->clear();
}
