#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "common/safefile.h"
#include "link/commandcodes.h"
#include "workflows/firmwarefiles.h"

// Replacing the reader's own firmware: OTA Begin (the reader erases its
// flash and, over USB, leaves and comes back), then the image in frames of
// 256 bytes, each sent on the answer to the one before, then OTA End with
// the image size and, on its answer, Reboot. The button reads "Abort..."
// while an update runs and then cancels it. A frame carries no offset, so a
// frame whose answer does not come is not sent again: the update starts
// over from OTA Begin.

namespace {

constexpr int kBeginArmMs = 1000;
constexpr int kFrameArmMs = 500;
// The reader checks the whole image before it answers OTA End.
constexpr int kEndArmMs = 3000;

} // namespace

void MainWindow::on_btFlashFirmware_clicked()
{
    if (oneShotState == FlashFirmware) {
        const QString left = firmwareLeftState();
        endFirmwareUpdate();
        logd(QStringLiteral("Flash firmware aborted."));
        logd(left);
        return;
    }
    if (refuseWhileBusy())
        return;

    firmwareFileName
        = chooseFile(tr("Select firmware file"), QStringLiteral("Firmware image (*.bin);;All files (*)"), false);
    if (firmwareFileName.isEmpty()) {
        logd(QStringLiteral("Firmware not selected!"));
        return;
    }
    logd(QStringLiteral("Firmware file ") + firmwareFileName);
    // The reader erases its flash on OTA Begin, so an image that cannot be
    // sent is refused before anything goes out.
    if (!loadFirmwareImage(firmwareFileName))
        return;
    if (!confirmImage(QStringLiteral("Flash this firmware"), QFileInfo(firmwareFileName).fileName(), firmwareData,
                      QStringLiteral("The reader's firmware will be erased and replaced. Do not disconnect it."))) {
        logd(QStringLiteral("Firmware update cancelled: nothing was sent."));
        return;
    }
    startBackupThen(AfterBackup::FirmwareUpdate);
}

void MainWindow::startFirmwareUpdate()
{
    transferAttempt = 1;
    firmwareErased = false;
    ui->btFlashFirmware->setText(QStringLiteral("Abort..."));
    startFirmwareTransfer(kBeginArmMs);
}

void MainWindow::startFirmwareTransfer(int timeoutMs)
{
    ++workflowRun;
    firmwareOffset = 0;
    progressBar->setValue(0);
    beginRequest(FlashFirmware, QByteArray(1, char(Command::OtaBegin)), timeoutMs);
}

void MainWindow::endFirmwareUpdate()
{
    ++workflowRun;
    // The wait over TCP ends with the update; a port being opened again
    // comes back all the same.
    if (!linkCycling)
        link.cancelWait();
    oneShotState = Idle;
    ui->btFlashFirmware->setText(QStringLiteral("Flash firmware"));
    forgetRequest();
    progressBar->setValue(0);
    applyDeviceGating();
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

QString MainWindow::firmwareLeftState() const
{
    if (!firmwareErased)
        return QStringLiteral("The reader did not confirm OTA Begin: it may have erased its flash; check that it "
                              "still starts before you disconnect it.");
    return QStringLiteral("The reader's flash was erased and holds at most %1 of %2 bytes of the new image: it has "
                          "no working firmware until an update completes.")
        .arg(firmwareOffset)
        .arg(firmwareData.size());
}

void MainWindow::firmwareBeginAnswered()
{
    firmwareErased = true;
    logd(QStringLiteral("Flash erased."));
    // The port is closed and opened again from the event loop, not from
    // inside the handler of the frame that reported the erase: the
    // transport that delivered it may go away meanwhile.
    const int run = workflowRun;
    QTimer::singleShot(0, this, [this, run] {
        if (run != workflowRun || oneShotState != FlashFirmware)
            return; // aborted or ended meanwhile
        reopenSerialPort([this, run] {
            if (run != workflowRun || oneShotState != FlashFirmware)
                return; // aborted, or the link was lost, during the wait
            logd(QStringLiteral("Writing firmware..."));
            firmwareOffset = 0;
            // Closing the port for the reopen reset the caption and the progress.
            ui->btFlashFirmware->setText(QStringLiteral("Abort..."));
            progressBar->setMaximum(firmwareData.size());
            progressBar->setValue(0);
            sendNextFirmwareFrame();
        });
    });
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

    // All frames are out: OTA End carries the size, which the reader checks.
    // The update has worked only when it answers.
    if (firmwareOffset >= firmwareData.size()) {
        beginRequest(FlashFirmware, FirmwareFiles::otaEndPayload(uint32_t(firmwareData.size())), kEndArmMs);
        return;
    }

    const QByteArray payload = FirmwareFiles::otaFramePayload(firmwareData, firmwareOffset);
    firmwareOffset += payload.size() - 1;
    beginRequest(FlashFirmware, payload, kFrameArmMs);
    progressBar->setValue(firmwareOffset);
}

void MainWindow::firmwareEndAnswered()
{
    logd(QStringLiteral("Firmware flashed."));
    // The version the reader reports after its restart is logged beside
    // the one it had.
    versionBeforeFlash = readerVersion;
    awaitingFlashedVersion = true;
    endFirmwareUpdate();
    logd(QStringLiteral("Restarting device..."));
    QCoreApplication::processEvents();
    protocol.sendFrame({Command::Reboot});
    statusDetailLabel->clear();
}
