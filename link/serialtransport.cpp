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
    const QString name = ui->cbSerialPort->currentText();
    retryCount = 0;
    if (serial.isOpen())
        serial.close();
    if (name.isEmpty())
        return;

    openSettings().setValue(QStringLiteral("lastComPort"), name);
    serial.setPortName(name);
    serial.setBaudRate(ui->cbConnectionSpeed->currentText().toInt());
    static const QSerialPort::Parity parities[]
        = {QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity};
    const int parityIndex = ui->cbParity->currentIndex();
    serial.setParity(parityIndex >= 0 && parityIndex < 3 ? parities[parityIndex] : QSerialPort::NoParity);
    if (serial.open(QIODevice::ReadWrite)) {
        serial.setDataTerminalReady(false);
        protocol.resetReceiver();
        qDebug() << QStringLiteral("Port opened: %1").arg(name);
        if (oneShotState != Rs485Scan)
            setControlsEnabled(true);
    } else {
        qDebug() << QStringLiteral("Failed to open port %1, error: %2").arg(name, serial.errorString());
        // The answer timer reports the missing answer later; the reason is
        // only known here.
        logd(QStringLiteral("Failed to open port %1: %2").arg(name, openFailureReason(name)));
    }
}

QString MainWindow::openFailureReason(const QString &portName) const
{
    QString reason = serial.errorString();
#ifdef Q_OS_LINUX
    // A serial device the user may not write to is, on most distributions,
    // one of the group dialout (a port in use by another program is a
    // permission error too, but one the user may write to).
    if (serial.error() == QSerialPort::PermissionError && QFileInfo::exists(portName)
        && !QFileInfo(portName).isWritable())
        reason += QStringLiteral(" (to use serial ports, add your user to the group dialout: sudo adduser $USER "
                                 "dialout, then log in again)");
#else
    Q_UNUSED(portName)
#endif
    return reason;
}

void MainWindow::closeSerialPort()
{
    if (serial.isOpen()) {
        serial.clear(QSerialPort::AllDirections);
        serial.close();
    }
    setControlsEnabled(false);
    qDebug() << "Port closed";
    statusLabel->clear();
    statusDetailLabel->clear();
    ui->btFlashFirmware->setText(QStringLiteral("Flash firmware"));
    ui->btPNUpdate->setText(QStringLiteral("RFID chip update"));
    progressBar->setValue(0);
    // A workflow cannot go on without its link (unless the link is being
    // taken down and up on purpose).
    if (!linkOpen())
        linkLost(QStringLiteral("Connection to the device closed."));
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

    oneShotState = GetVersion;
    openSerialPort();
    requestVersion();
    oneShotTimer->start(500);
}

void MainWindow::on_btRefresComPorts_clicked()
{
    refreshPortList(QString());
}

void MainWindow::requestVersion()
{
    if (!serial.isOpen() && !tcpConnected)
        return;
    static const uint8_t payload[1] = {0x0B};
    protocol.sendFrame(payload, sizeof payload);
    statusLabel->setText(QStringLiteral("Connected"));
    statusDetailLabel->clear();
}

void MainWindow::handleSerialDataReady()
{
    takeReceivedBytes(&serial);
}

void MainWindow::handleSerialDataError(QSerialPort::SerialPortError serialPortError)
{
    if (serialPortError != QSerialPort::ReadError && serialPortError != QSerialPort::ResourceError)
        return;
    // A vanishing device often reports more than one error before the port
    // is closed; the first one is handled, the rest are echoes of it. A
    // removal may show only in an echo (a hang-up reads as a read error
    // first), and is said then, once.
    const bool removed = serialPortError == QSerialPort::ResourceError;
    if (serialClosePending) {
        if (removed && !serialRemovalSaid)
            logd(QStringLiteral("Device removed."));
        serialRemovalSaid = serialRemovalSaid || removed;
        return;
    }
    qDebug() << QStringLiteral("Serial port error on %1: %2, oneShotState: %3")
                    .arg(serial.portName(), serial.errorString())
                    .arg(oneShotState);
    oneShotTimer->stop();
    serialRemovalSaid = removed;
    if (removed)
        logd(QStringLiteral("Device removed."));
    // The workflow on this link ends now, not by repeats into a dead port.
    if (!tcpConnected)
        linkLost(QStringLiteral("Connection to the device lost."));
    // Not from inside the port's own error signal.
    serialClosePending = true;
    QTimer::singleShot(0, this, [this] {
        closeSerialPort(); // may itself report the port's errors once more
        serialClosePending = false;
    });
}

// Over the serial port: closed, 6 s, opened again (up to six attempts a
// second apart). reopened runs once the port is open again; when it does not
// come back, the workflow is ended instead. Over TCP only the wait: an Abort
// or a lost link ends it.
void MainWindow::reopenSerialPort(std::function<void()> reopened)
{
    if (!serial.isOpen()) {
        link.waitThen(4000, std::move(reopened));
        return;
    }
    logd(QStringLiteral("Closing the port..."));
    linkCycling = true;
    closeSerialPort();
    if (oneShotState == FlashFirmware)
        ui->btFlashFirmware->setText(QStringLiteral("Abort..."));
    link.waitThen(6000, [this, reopened = std::move(reopened)] {
        logd(QStringLiteral("Opening again..."));
        reopenAttempt(1, reopened);
    });
}

void MainWindow::reopenAttempt(int attempt, const std::function<void()> &reopened)
{
    openSerialPort();
    if (serial.isOpen()) {
        linkCycling = false;
        reopened();
        return;
    }
    if (attempt < 6) {
        logd(QStringLiteral("Unable to open serial port. Trying again.."));
        link.waitThen(1000, [this, attempt, reopened] { reopenAttempt(attempt + 1, reopened); });
        return;
    }
    logd(QStringLiteral("Unable to open serial port. Please try to reconnect device and start again."));
    closeSerialPort();
    linkCycling = false;
    forgetRequest();
    oneShotState = Idle;
    ++workflowRun;
    applyDeviceGating();
}
