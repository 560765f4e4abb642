#include "app/mainwindow.h"
#include "ui_mainwindow.h"

// The window's side of the two tag tools of the polling tab, the address tag
// and the loop test (workflows/tagworkflows.h): their buttons, the address
// field and the terminated box, the loop test's options, statistics line and
// caption.

namespace {

const QString StartCaption = QStringLiteral("Start loop test");
const QString StopCaption = QStringLiteral("Stop loop test");

// The loop test's options as the boxes show them now.
LoopTestOptions loopTestOptions(const Ui::MainWindow &ui)
{
    LoopTestOptions options;
    options.writeTest = ui.cbWriteTest->isChecked();
    options.readTest = ui.cbReadPage->isChecked();
    options.writePage = ui.spWritePageAddr->value();
    options.stopAfter3k = ui.cbStopAfter3k->isChecked();
    return options;
}

} // namespace

void MainWindow::setUpTagTests()
{
    connect(&addressTag, &ReaderWorkflow::logLine, this, &MainWindow::logd);
    connect(&addressTag, &AddressTagWorkflow::tagRead, this, [this](uint8_t address, bool terminated) {
        ui->cbTagTerminated->setChecked(terminated);
        ui->leDeviceAddress->setText(QString::asprintf("%02X", address));
    });

    // The boxes may change while the test runs; each step goes by them.
    loopTest.latestOptions = [this] { return loopTestOptions(*ui); };
    connect(&loopTest, &ReaderWorkflow::logLine, this, &MainWindow::logd);
    connect(&loopTest, &LoopTestWorkflow::statistics, this, [this](int notFound, int found, int retries, int errors) {
        ui->labStatistic->setText(
            QString::asprintf("Not found: %d\tFound:%d\nRetry: %d   \tErrors:%d", notFound, found, retries, errors));
    });
    connect(&loopTest, &ReaderWorkflow::ended, this, [this] { ui->btLoopTest->setText(StartCaption); });
}

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
    addressTag.write(uint8_t(address & 0xFF), ui->cbTagTerminated->isChecked());
}

void MainWindow::on_btReadAddressTag_clicked()
{
    if (refuseWhileBusy())
        return;
    addressTag.read();
}

// ---- Loop test ---------------------------------------------------------------

void MainWindow::on_btLoopTest_clicked()
{
    if (loopTest.running()) {
        loopTest.stop();
        applyDeviceGating();
        return;
    }
    if (refuseWhileBusy())
        return;
    ui->btLoopTest->setText(StopCaption);
    loopTest.start(loopTestOptions(*ui));
}
