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

// Updating the firmware of the reader's RFID front-end chip: PN OTA Begin,
// then one PN OTA Frame per record of the .nwfwu file, each sent on the
// answer to the request before, then PN OTA Finish and, on its answer,
// Reboot. The button reads "Abort..." while an update runs and then cancels
// it. The chip takes records by order of arrival, so a record whose answer
// does not come is not sent again: the update starts over from PN OTA Begin.
//
// The chip cannot be read back, and its answers carry nothing but their
// command code, so an answer that comes twice could stand in for the next
// record's. After each answer the update therefore waits a tenth of the
// mean round trip (2 ms at the least) before it sends on, so the update
// takes at most a tenth longer: a copy that lands meanwhile answers nothing
// outstanding and is passed over. An answer of the update that answers
// nothing while a request is outstanding means one taken may have been
// another's: the update starts
// over once the link has been quiet for a while.

namespace {

constexpr int kBeginArmMs = 3000;
constexpr int kRecordArmMs = 800;
constexpr qint64 kMaxWatchNs = 100 * 1000 * 1000;
// A copy sent right behind its answer lands within this, however fast the
// link; a record takes the chip far longer to program.
constexpr qint64 kMinWatchNs = 2 * 1000 * 1000;
constexpr int kQuietMs = 300; // before starting over after an answer out of turn

} // namespace

void MainWindow::on_btPNUpdate_clicked()
{
    if (ui->btPNUpdate->text() == QLatin1String("Abort...")) {
        logd(QStringLiteral("Flash firmware aborted"));
        const QString left = chipLeftState();
        endChipUpdate();
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
    transferAttempt = 1;
    ui->btPNUpdate->setText(QStringLiteral("Abort..."));
    startChipTransfer(kBeginArmMs);
}

void MainWindow::startChipTransfer(int timeoutMs)
{
    ++workflowRun;
    firmwareOffset = 0;
    chipRecordsSent = 0;
    chipRoundTripNs = 0;
    chipRoundTrips = 0;
    chipWatching = false;
    chipQuietPending = false;
    progressBar->setMaximum(firmwareData.size());
    progressBar->setValue(0);
    chipClock.start();
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
    const qint64 roundTrip = chipClock.nsecsElapsed();
    if (chipRecordsSent == 0) {
        chipBeginNs = roundTrip;
    } else {
        chipRoundTripNs += roundTrip;
        ++chipRoundTrips;
    }
    chipWatching = true;
    const int run = workflowRun;
    QTimer::singleShot(int((chipWatchNs() + 999999) / 1000000), Qt::PreciseTimer, this, [this, run] {
        if (run != workflowRun || oneShotState != FlashRfidChip)
            return; // aborted, ended or started over meanwhile
        chipWatching = false;
        sendNextChipRequest();
    });
}

void MainWindow::sendNextChipRequest()
{
    const int length = FirmwareFiles::chipRecordLength(firmwareData, firmwareOffset);
    chipClock.start();
    if (firmwareOffset < firmwareData.size() && length >= 0) {
        QByteArray payload;
        payload.append(char(Command::PnOtaFrame));
        payload.append(firmwareData.mid(firmwareOffset + 2, length));
        firmwareOffset += length + 2;
        ++chipRecordsSent;
        progressBar->setValue(firmwareOffset);
        beginRequest(FlashRfidChip, payload, kRecordArmMs);
    } else {
        // Every record is out; the chip has them all when Finish is answered.
        beginRequest(FlashRfidChip, QByteArray(1, char(Command::PnOtaFinish)), kRecordArmMs);
    }
}

// An answer of the update that answered nothing. One that lands while the
// update waits to send on is a copy or a stray that nothing can take for
// another's answer. One that lands while a request is outstanding means
// one taken may have been another request's: once the link has been quiet
// for a while (answers still on their way land meanwhile), the update
// starts over.
void MainWindow::chipAnswerOutOfTurn()
{
    if (oneShotState != FlashRfidChip || chipQuietPending || chipWatching)
        return;
    ++workflowRun;
    forgetRequest();
    chipWatching = false;
    chipQuietPending = true;
    const int run = workflowRun;
    const int quietMs = int(qMax<qint64>(kQuietMs, 30 * chipWatchNs() / 1000000));
    QTimer::singleShot(quietMs, this, [this, run] {
        if (run != workflowRun || oneShotState != FlashRfidChip)
            return;
        chipQuietPending = false;
        restartTransfer(QStringLiteral("An answer of the RFID chip update came twice or out of turn"), false);
    });
}

// A tenth of the mean round trip of a record (of Begin's until one is
// known).
qint64 MainWindow::chipWatchNs() const
{
    const qint64 mean = chipRoundTrips > 0 ? chipRoundTripNs / chipRoundTrips : chipBeginNs;
    return qBound(kMinWatchNs, mean / 10, kMaxWatchNs);
}

QString MainWindow::chipLeftState() const
{
    return QStringLiteral("The RFID chip has taken at most %1 of %2 records: update it again before relying on it.")
        .arg(chipRecordsSent)
        .arg(FirmwareFiles::checkChipFile(firmwareData, int(protocol.maxPayload()) - 1).records);
}

void MainWindow::chipUpdateFinished()
{
    logd(QStringLiteral("Firmware size %1, data written %2").arg(firmwareData.size()).arg(firmwareOffset));
    logd(QStringLiteral("%1 records sent and answered in turn, each %2 ms after the answer before it so that a "
                        "doubled answer lands first; the chip itself cannot be read back.")
             .arg(chipRecordsSent)
             .arg(double(chipWatchNs()) / 1e6, 0, 'f', 1));
    endChipUpdate();
    logd(QStringLiteral("Restarting device..."));
    QCoreApplication::processEvents();
    protocol.sendFrame({Command::Reboot});
    statusDetailLabel->clear();
}
