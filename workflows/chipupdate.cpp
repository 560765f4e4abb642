#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "app/safefile.h"
#include "link/commandcodes.h"
#include "workflows/firmwarefiles.h"

// Updating the firmware of the reader's RFID front-end chip: PN OTA Begin,
// then one PN OTA Frame per record of the .nwfwu file, each sent on the
// answer to the request before, then PN OTA Finish and, on its answer,
// Reboot. The button reads "Abort..." while an update runs and then cancels
// it. The chip takes records by order of arrival, so a record whose answer
// does not come is not sent again: the update starts over from PN OTA Begin.

namespace {

constexpr int kBeginArmMs = 3000;
constexpr int kRecordArmMs = 800;

} // namespace

void MainWindow::on_btPNUpdate_clicked()
{
    if (ui->btPNUpdate->text() == QLatin1String("Abort...")) {
        logd(QStringLiteral("Flash firmware aborted"));
        endChipUpdate();
        return;
    }
    if (refuseWhileBusy())
        return;

    firmwareFileName = chooseFile(tr("Select firmware file"), QStringLiteral("PN51xx firmware file (*.nwfwu)"), false);
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
    transferAttempt = 1;
    ui->btPNUpdate->setText(QStringLiteral("Abort..."));
    startChipTransfer(kBeginArmMs);
}

void MainWindow::startChipTransfer(int timeoutMs)
{
    ++workflowRun;
    firmwareOffset = 0;
    progressBar->setMaximum(firmwareData.size());
    progressBar->setValue(0);
    beginRequest(FlashRfidChip, QByteArray(1, char(Command::PnOtaBegin)), timeoutMs);
}

void MainWindow::endChipUpdate()
{
    ++workflowRun;
    oneShotState = Idle;
    ui->btPNUpdate->setText(QStringLiteral("RFID chip update"));
    forgetRequest();
    progressBar->setValue(0);
    applyDeviceGating();
}

void MainWindow::chipUpdateAnswered()
{
    // Aborted, or another workflow has taken over the answer timer.
    if (oneShotState != FlashRfidChip)
        return;

    const int length = FirmwareFiles::chipRecordLength(firmwareData, firmwareOffset);
    if (firmwareOffset < firmwareData.size() && length >= 0) {
        QByteArray payload;
        payload.append(char(Command::PnOtaFrame));
        payload.append(firmwareData.mid(firmwareOffset + 2, length));
        firmwareOffset += length + 2;
        progressBar->setValue(firmwareOffset);
        if (!drainEvents() || oneShotState != FlashRfidChip)
            return; // aborted while the window caught up
        beginRequest(FlashRfidChip, payload, kRecordArmMs);
    } else {
        // Every record is out; the chip has them all when Finish is answered.
        beginRequest(FlashRfidChip, QByteArray(1, char(Command::PnOtaFinish)), kRecordArmMs);
    }
}

void MainWindow::chipUpdateFinished()
{
    logd(QStringLiteral("Firmware size %1, data written %2").arg(firmwareData.size()).arg(firmwareOffset));
    endChipUpdate();
    logd(QStringLiteral("Restarting device..."));
    QCoreApplication::processEvents();
    protocol.sendFrame({Command::Reboot});
    statusDetailLabel->clear();
}
