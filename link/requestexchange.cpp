#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QTcpSocket>
#include <QTimer>

void MainWindow::binaryProtocolWrite(uint8_t *buff, size_t len)
{
    const QByteArray frame(reinterpret_cast<const char *>(buff), int(len));
    if (serial.isOpen()) {
        protoLog(frame, QStringLiteral("[TX]"));
        serial.write(frame);
        serial.flush();
    }
    if (tcpConnected && tcpSocket) {
        protoLog(frame, QStringLiteral("[TX]"));
        tcpSocket->write(frame);
        tcpSocket->flush();
    }
}

void MainWindow::binaryProtocolSendSignal(uint8_t *buff, int len)
{
    if (len < 0)
        return;
    protocol.sendFrame(buff, size_t(len));
}

void MainWindow::oneShotTimeout()
{
    switch (oneShotState) {
    case Idle:
        return;
    case LoopTest:
        if (serial.isOpen() || tcpConnected) {
            logd(QStringLiteral("Repeating last frame...\n"));
            protocol.resendLastFrame();
            oneShotTimer->start(3000);
        }
        return;
    case GetVersion:
        if (retryCount++ < 5) {
            logd(QStringLiteral("Repeating get version frame...\n"));
            requestVersion();
            oneShotTimer->start(500);
        } else {
            giveUp();
        }
        return;
    case Rs485Scan:
        rs485ScanNextAddress();
        return;
    default:
        if (retryCount++ < 5) {
            logd(QStringLiteral("Repeating last frame...\n"));
            protocol.resendLastFrame();
            oneShotTimer->start(1500);
        } else {
            giveUp();
        }
        return;
    }
}

void MainWindow::giveUp()
{
    oneShotState = Idle;
    oneShotTimer->stop();
    closeSerialPort();
    disconnectHost();
    // Closing empties the status bar, so the reason is put there afterwards
    // and stays visible in the disconnected window.
    statusLabel->setText(QStringLiteral("Timeout"));
    statusDetailLabel->setText(QStringLiteral("No response from device"));
    logd(QStringLiteral("Timeout - Please recconnect device and try again."));
}
