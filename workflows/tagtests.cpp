#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QTimer>
#include <cstdlib>

#include "link/commandcodes.h"
#include "workflows/addresstag.h"

// Two tools of the polling tab that work on a MIFARE Ultralight tag: the
// address tag (write or read the record of pages 4 and 5) and the loop test
// (tag count, UID, optional page write and read-back, HALT, over and over).
// Both are chains driven by the answers the dispatcher hands in here; the
// tag count and UID steps are shared with software polling.

namespace {

constexpr int LinkStepTimeoutMs = 1000; // first request of an address tag chain
constexpr int StepTimeoutMs = 3000;
constexpr int LoopTestStopCount = 3000;

const QString StartCaption = QStringLiteral("Start loop test");
const QString StopCaption = QStringLiteral("Stop loop test");
const QString HaltNote = QStringLiteral("Sending HALT command to disable RF field.");

QByteArray request(Command::Code code)
{
    return QByteArray(1, char(code));
}

// One page of an Ultralight tag.
QByteArray readPageRequest(int page)
{
    QByteArray payload = request(Command::UltralightReadPage);
    payload.append(char(page)).append(char(0x01));
    return payload;
}

} // namespace

// ---- Address tag -------------------------------------------------------------

void MainWindow::on_btWriteAddressTag_clicked()
{
    if (refuseWhileBusy())
        return;
    bool ok = false;
    const uint address = ui->leDeviceAddress->text().toUInt(&ok, 16);
    if (!ok) {
        logd(QStringLiteral("Please enter correct tag address defice address!"));
        return;
    }
    addressTagRecord = AddressTag::makeRecord(uint8_t(address & 0xFF), ui->cbTagTerminated->isChecked());
    beginRequest(AddressTagWrite, request(Command::GetTagCount), LinkStepTimeoutMs);
}

void MainWindow::on_btReadAddressTag_clicked()
{
    if (refuseWhileBusy())
        return;
    beginRequest(AddressTagRead, request(Command::GetTagCount), LinkStepTimeoutMs);
}

// The tag of an address tag write is activated ("Tag activated." is logged).
void MainWindow::addressTagOnActivated()
{
    logd(QStringLiteral("Writing address tag..."));
    QByteArray payload = request(Command::UltralightWritePage);
    payload.append(char(AddressTag::FirstPage));
    payload.append(char(AddressTag::PageCount));
    payload.append(addressTagRecord);
    beginRequest(AddressTagWrite, payload, StepTimeoutMs);
}

void MainWindow::tagTestOnWritePage()
{
    if (oneShotState == AddressTagWrite) {
        logd(QStringLiteral("Address tag written successful."));
        beginRequest(AddressTagWrite, request(Command::Halt), StepTimeoutMs);
        logd(HaltNote);
        return;
    }
    if (oneShotState != LoopTest || !ui->cbWriteTest->isChecked())
        return;
    if (ui->cbReadPage->isChecked()) {
        logd(QStringLiteral("Reading test page"));
        beginRequest(LoopTest, readPageRequest(ui->spWritePageAddr->value()), StepTimeoutMs);
    } else {
        beginRequest(LoopTest, request(Command::Halt), StepTimeoutMs);
    }
}

// A positive read page answer in any state but Idle. In the loop test it is
// the read check; otherwise the data is taken as an address tag.
void MainWindow::tagTestOnReadPage(const QByteArray &data)
{
    oneShotTimer->stop();
    if (oneShotState == LoopTest) {
        logd(QStringLiteral("Read page OK"));
        if (ui->cbWriteTest->isChecked()) {
            // The value went out as 32 bits, low byte first.
            bool passed = data.size() >= 4;
            if (passed) {
                const uint32_t read = uint32_t(uint8_t(data.at(0))) | uint32_t(uint8_t(data.at(1))) << 8
                    | uint32_t(uint8_t(data.at(2))) << 16 | uint32_t(uint8_t(data.at(3))) << 24;
                passed = int32_t(read) == loopTestValue;
            }
            if (passed) {
                logd(QStringLiteral("Write test passed"));
            } else {
                logd(QStringLiteral("Write test ERROR - data is not valid"));
                ++loopErrorCount; // shown at the next refresh
            }
        }
        beginRequest(LoopTest, request(Command::Halt), StepTimeoutMs);
        return;
    }

    const AddressTag::Content tag = AddressTag::parseRecord(data);
    const char *problem = nullptr;
    switch (tag.check) {
    case AddressTag::Check::TooShort:
        problem = "Too little page data - it is not a valid address tag";
        break;
    case AddressTag::Check::WrongHeader:
        problem = "Wrong address header";
        break;
    case AddressTag::Check::WrongCrc:
        problem = "Wrong payload CRC - it is not a valid address tag";
        break;
    case AddressTag::Check::Valid:
        break;
    }
    if (problem) {
        logd(QString::fromLatin1(problem));
        if (oneShotState == AddressTagRead)
            oneShotState = Idle; // the read has ended: nothing waits for a tag any more
        return;
    }
    logd(QStringLiteral("Valid address tag found."));
    ui->cbTagTerminated->setChecked(tag.terminated);
    const QString address = QString::asprintf("%02X", tag.address);
    ui->leDeviceAddress->setText(address);
    logd(QStringLiteral("Address: 0x") + address);
    logd(tag.terminated ? QStringLiteral("Terminated: true") : QStringLiteral("Terminated: false"));
    beginRequest(oneShotState, request(Command::Halt), StepTimeoutMs);
    logd(HaltNote);
}

// ---- Loop test ---------------------------------------------------------------

void MainWindow::on_btLoopTest_clicked()
{
    if (oneShotState == LoopTest) {
        forgetRequest();
        logd(QStringLiteral("Loop test stoped"));
        ui->btLoopTest->setText(StartCaption);
        oneShotState = Idle;
        applyDeviceGating();
        return;
    }
    if (refuseWhileBusy())
        return;
    oneShotTimer->stop();
    logd(QStringLiteral("Loop test started"));
    ui->btLoopTest->setText(StopCaption);
    loopNotFoundCount = 0;
    loopFoundCount = 0;
    loopRetryCount = 0;
    loopErrorCount = 0;
    refreshLoopStatistics();
    loopCycleStart = QDateTime::currentMSecsSinceEpoch();
    beginRequest(LoopTest, request(Command::GetTagCount), StepTimeoutMs);
}

void MainWindow::refreshLoopStatistics()
{
    ui->labStatistic->setText(QString::asprintf("Not found: %d\tFound:%d\nRetry: %d   \tErrors:%d", loopNotFoundCount,
                                                loopFoundCount, loopRetryCount, loopErrorCount));
    if (ui->cbStopAfter3k->isChecked() && loopFoundCount >= LoopTestStopCount) {
        logd(QStringLiteral("Loop test stoped after 3k tests"));
        ui->btLoopTest->setText(StartCaption);
        oneShotState = Idle;
    }
}

// The tag count of a cycle; the dispatcher sends the next request.
void MainWindow::loopTestCount(bool found)
{
    if (found)
        ++loopFoundCount;
    else
        ++loopNotFoundCount;
    refreshLoopStatistics();
}

void MainWindow::loopTestOnUid(uint8_t tagType)
{
    const bool writeTest = ui->cbWriteTest->isChecked();
    const bool readTest = ui->cbReadPage->isChecked();
    if ((writeTest || readTest) && tagType != 1) {
        logd(QStringLiteral("Ultralight TAG needed for this test. Test aborted."));
        oneShotState = Idle;
        ui->btLoopTest->setText(StartCaption);
        return;
    }
    if (writeTest) {
        // Never seeded, so the values repeat from run to run; kept to 15 bits
        // whatever the C library's range.
        loopTestValue = std::rand() & 0x7FFF;
        const int page = ui->spWritePageAddr->value();
        const uint32_t value = uint32_t(loopTestValue);
        QByteArray payload = request(Command::UltralightWritePage);
        for (const uint8_t byte : {uint8_t(page), uint8_t(0x01), uint8_t(value), uint8_t(value >> 8),
                                   uint8_t(value >> 16), uint8_t(value >> 24)})
            payload.append(char(byte));
        beginRequest(LoopTest, payload, StepTimeoutMs);
        logd(QString::asprintf("Writing %d value to page %d", loopTestValue, page));
    } else if (readTest) {
        logd(QStringLiteral("Reading page 4"));
        beginRequest(LoopTest, readPageRequest(4), StepTimeoutMs);
    } else {
        beginRequest(LoopTest, request(Command::Halt), StepTimeoutMs);
    }
}

// The HALT that ends a cycle is answered ("HALT done" is logged): the next
// cycle starts.
void MainWindow::loopTestOnHalt()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    logd(QStringLiteral("Test time: ") + QString::number(now - loopCycleStart));
    logd(QStringLiteral("Get tag count req..."));
    loopCycleStart = now;
    beginRequest(LoopTest, request(Command::GetTagCount), StepTimeoutMs);
}

// An error answer during the test; the dispatcher sends the HALT that ends
// the cycle.
void MainWindow::loopTestOnError()
{
    ++loopErrorCount;
    refreshLoopStatistics();
}
