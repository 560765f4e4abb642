#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QProgressBar>
#include <QTimer>

#include "common/readertext.h"

// The RS485 bus scan: every address 0 to 255 in turn is asked for its
// firmware version (address 0 without an address byte), 100 ms each. The
// codec only passes on frames from the address it is set to, so an answer
// always belongs to the address being probed.

namespace {
constexpr int ProbeWaitMs = 100;
}

void MainWindow::on_btScanRs485_clicked()
{
    // "Cancel" ends a scan; another workflow is not cut into.
    if (oneShotState != Rs485Scan && refuseWhileBusy())
        return;
    oneShotTimer->stop();
    progressBar->setValue(1);
    progressBar->setMaximum(255);
    QApplication::processEvents();

    // A scan whose port would not open runs on the timer alone; "Cancel"
    // stops it all the same.
    if (!serial.isOpen() && oneShotState != Rs485Scan) {
        rs485ScanAddress = 0;
        protocol.setAddress(0);
        ui->cbDetectedDevices->clear();
        logd(QStringLiteral("Searching for devices. Please wait..."));
        ui->btScanRs485->setText(QStringLiteral("Cancel"));

        oneShotState = Rs485Scan;
        applyDeviceGating();
        openSerialPort();
        requestVersion();
        oneShotTimer->start(ProbeWaitMs);
        return;
    }

    // "Cancel" during a scan, or a normal connection that is open: either
    // way the port is closed and no scan runs.
    endRs485Scan(QStringLiteral("Searching aborted."));
}

void MainWindow::rs485ScanNextAddress()
{
    oneShotTimer->stop();
    if (rs485ScanAddress < 255) {
        ++rs485ScanAddress;
        protocol.setAddress(rs485ScanAddress);
        progressBar->setValue(rs485ScanAddress);
        QApplication::processEvents();
        if (oneShotState != Rs485Scan)
            return; // cancelled meanwhile
        requestVersion();
        oneShotTimer->start(ProbeWaitMs);
        return;
    }
    endRs485Scan(QStringLiteral("Done."));
}

// The end of a scan, whether it ran through, was cancelled or lost its port.
// Frames after the scan carry no address until a serial connect sets the
// one in the address field (a TCP link takes none).
void MainWindow::endRs485Scan(const QString &message)
{
    logd(message);
    oneShotTimer->stop();
    oneShotState = Idle;
    ui->btScanRs485->setText(QStringLiteral("Scan"));
    progressBar->setValue(0);
    closeSerialPort();
    protocol.setAddress(0);
    applyDeviceGating();
}

void MainWindow::rs485ScanDeviceFound(const QString &version)
{
    const QString entry = QStringLiteral("%1 - %2 ").arg(hexByte(rs485ScanAddress), oneLine(version));
    ui->cbDetectedDevices->addItem(entry);
    logd(QStringLiteral("Device found: ") + entry);
    rs485ScanNextAddress();
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
