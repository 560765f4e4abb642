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

// The firmware update as the window offers it: the image is chosen,
// checked, confirmed and the configuration backed up; the update itself is
// the session's (workflows/firmwareupdateworkflow.h). The button reads
// "Abort..." while an update runs and then cancels it.

void MainWindow::on_btFlashFirmware_clicked()
{
    if (firmware.running()) {
        firmware.abort();
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
    ui->btFlashFirmware->setText(QStringLiteral("Abort..."));
    firmware.start(firmwareData);
}

void MainWindow::endFirmwareUpdate()
{
    firmware.end();
}

void MainWindow::firmwareUpdateEnded(bool flashed)
{
    ui->btFlashFirmware->setText(QStringLiteral("Flash firmware"));
    if (flashed)
        statusDetailLabel->clear();
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
    return firmware.leftState();
}
