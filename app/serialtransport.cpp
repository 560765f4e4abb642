#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QSerialPortInfo>
#include <QSettings>
#include <QTimer>

#include "common/settings.h"

void MainWindow::refreshPortList(const QString &preferredPort)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    closeSerialPort();
    ui->cbSerialPort->clear();
    int selected = 0;
    const auto addPort = [&](const QString &location) {
        ui->cbSerialPort->addItem(location);
        if (!preferredPort.isEmpty() && location == preferredPort)
            selected = ui->cbSerialPort->count() - 1;
    };
    for (const QSerialPortInfo &info : ports) {
        qDebug() << "Port found: " + info.systemLocation();
        qDebug() << "Vendor: " + QString::number(info.vendorIdentifier());
        addPort(info.systemLocation());
    }
    // Ports the system does not list (a pseudo-terminal such as the simulated
    // reader's) can be named in RX_EXTRA_PORTS, separated by ':'.
    const QStringList extra
        = QString::fromLocal8Bit(qgetenv("RX_EXTRA_PORTS")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &location : extra) {
        qDebug() << "Port found: " + location;
        addPort(location);
    }
    if (ui->cbSerialPort->count() > 0)
        ui->cbSerialPort->setCurrentIndex(selected);
}

void MainWindow::openSerialPort()
{
    // The link closes the port first and counts the repeats afresh, also
    // when no port is selected.
    const QString name = ui->cbSerialPort->currentText();
    if (!name.isEmpty())
        openSettings().setValue(QStringLiteral("lastComPort"), name);
    static const QSerialPort::Parity parities[]
        = {QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity};
    const int parityIndex = ui->cbParity->currentIndex();
    link.openSerial(name, ui->cbConnectionSpeed->currentText().toInt(),
                    parityIndex >= 0 && parityIndex < 3 ? parities[parityIndex] : QSerialPort::NoParity);
}

void MainWindow::serialPortOpened()
{
    if (oneShotState != Rs485Scan)
        setControlsEnabled(true);
    // Closing emptied the status bar; a port opened again on its own (after
    // a restart, during an update) is as connected as before.
    if (linkCycling)
        statusLabel->setText(QStringLiteral("Connected"));
}

void MainWindow::closeSerialPort()
{
    link.closeSerial();
}

void MainWindow::serialPortClosed()
{
    setControlsEnabled(false);
    statusLabel->clear();
    statusDetailLabel->clear();
    // A port closed to be opened again keeps the update's Abort.
    ui->btFlashFirmware->setText(oneShotState == FlashFirmware && linkCycling ? QStringLiteral("Abort...")
                                                                              : QStringLiteral("Flash firmware"));
    ui->btPNUpdate->setText(QStringLiteral("RFID chip update"));
    progressBar->setValue(0);
}

void MainWindow::on_btSerialConnect_clicked()
{
    uint8_t address = 0;
    if (ui->gbRS485->isChecked()) {
        bool ok = false;
        const uint value = ui->leTargetAddress->text().toUInt(&ok, 16);
        if (!ok || (value & 0xFF) == 0) {
            logd(QStringLiteral("Please enter the correct device address!"));
            ui->leTargetAddress->setFocus();
            return;
        }
        address = uint8_t(value & 0xFF);
    }

    oneShotTimer->stop();
    protocol.setAddress(address);

    if (serial.isOpen()) {
        closeSerialPort();
        return;
    }

    openSerialPort();
    session.checkVersion(500);
}

void MainWindow::on_btRefresComPorts_clicked()
{
    refreshPortList(QString());
}

void MainWindow::requestVersion()
{
    session.requestVersion();
}

void MainWindow::versionAsked()
{
    statusLabel->setText(QStringLiteral("Connected"));
    statusDetailLabel->clear();
}

void MainWindow::handleSerialDataReady()
{
    takeReceivedBytes(&serial);
}

void MainWindow::handleSerialDataError(QSerialPort::SerialPortError serialPortError)
{
    session.serialError(serialPortError);
}
