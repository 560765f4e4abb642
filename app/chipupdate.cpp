#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>

#include "common/safefile.h"
#include "link/commandcodes.h"
#include "workflows/firmwarefiles.h"

// The RFID chip update as the window offers it: the file is chosen,
// checked, confirmed and the configuration backed up; the update itself is
// the session's (workflows/chipupdateworkflow.h). The button reads
// "Abort..." while an update runs and then cancels it.

void MainWindow::on_btPNUpdate_clicked()
{
    if (chip.running()) {
        logd(QStringLiteral("Flash firmware aborted"));
        const QString left = chip.leftState();
        chip.end();
        logd(left);
        return;
    }
    if (refuseWhileBusy())
        return;

    firmwareFileName = chooseFile(tr("Select firmware file"),
                                  QStringLiteral("PN51xx firmware file (*.nwfwu);;All files (*)"), false);
    if (firmwareFileName.isEmpty()) {
        logd(QStringLiteral("Firmware not selected!"));
        return;
    }
    logd(QStringLiteral("Firmware file ") + firmwareFileName);
    const FileContent file = readWholeFile(firmwareFileName, FirmwareFiles::MaxFileBytes);
    if (!checkFirmwareFile(file)) {
        oneShotTimer->stop();
        return;
    }
    const QByteArray &content = file.data;

    // Every record must be sendable before the chip is told to expect them.
    const FirmwareFiles::ChipCheck check = FirmwareFiles::checkChipFile(content, int(protocol.maxPayload()) - 1);
    if (!check.ok) {
        logd(QStringLiteral("Firmware file refused: ") + check.problem);
        return;
    }

    firmwareData = content;
    logd(QStringLiteral("Firmware file version detected ") + FirmwareFiles::chipVersionText(firmwareData));
    if (!confirmImage(QStringLiteral("Update the RFID chip with this firmware (version %1, %2 records)")
                          .arg(FirmwareFiles::chipVersionText(firmwareData))
                          .arg(check.records),
                      QFileInfo(firmwareFileName).fileName(), firmwareData,
                      QStringLiteral("The RFID chip's firmware will be replaced. Do not disconnect the reader."))) {
        logd(QStringLiteral("RFID chip update cancelled: nothing was sent."));
        return;
    }
    startBackupThen(AfterBackup::ChipUpdate);
}

void MainWindow::startChipUpdate()
{
    ui->btPNUpdate->setText(QStringLiteral("Abort..."));
    chip.start(firmwareData);
}

void MainWindow::endChipUpdate()
{
    chip.end();
}

void MainWindow::chipUpdateEnded(bool updated)
{
    ui->btPNUpdate->setText(QStringLiteral("RFID chip update"));
    if (updated)
        statusDetailLabel->clear();
    applyDeviceGating();
}

QString MainWindow::chipLeftState() const
{
    return chip.leftState();
}
