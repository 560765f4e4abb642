#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QProgressBar>

// The RS485 bus scan runs in its workflow (discovery/rs485scanworkflow.h):
// the window opens and closes the serial port for it, lists the readers it
// finds and shows how far it is.

void MainWindow::setUpRs485Scan()
{
    rs485Scan.openPort = [this] { openSerialPort(); };
    rs485Scan.closePort = [this] { closeSerialPort(); };
    rs485Scan.requestVersion = [this] { requestVersion(); };
    connect(&rs485Scan, &ReaderWorkflow::logLine, this, &MainWindow::logd);
    connect(&rs485Scan, &ReaderWorkflow::progress, this, [this](int value, int maximum) {
        progressBar->setMaximum(maximum);
        progressBar->setValue(value);
    });
    connect(&rs485Scan, &Rs485ScanWorkflow::started, this, [this] {
        ui->cbDetectedDevices->clear();
        ui->btScanRs485->setText(QStringLiteral("Cancel"));
        applyDeviceGating();
    });
    connect(&rs485Scan, &Rs485ScanWorkflow::deviceListed, this,
            [this](const QString &entry) { ui->cbDetectedDevices->addItem(entry); });
    connect(&rs485Scan, &ReaderWorkflow::ended, this, [this] {
        ui->btScanRs485->setText(QStringLiteral("Scan"));
        applyDeviceGating();
    });
}

void MainWindow::on_btScanRs485_clicked()
{
    // "Cancel" ends a scan; another workflow is not cut into.
    if (!rs485Scan.running() && refuseWhileBusy())
        return;
    rs485Scan.startOrCancel();
}

void MainWindow::on_cbDetectedDevices_currentIndexChanged(const QString &arg1)
{
    // Clearing the list before a scan leaves the address as it was.
    if (!arg1.isEmpty())
        ui->leTargetAddress->setText(arg1.left(2));
}

void MainWindow::on_cbDetectedDevices_activated(const QString &arg1)
{
    if (!arg1.isEmpty())
        ui->leTargetAddress->setText(arg1.left(2));
}
