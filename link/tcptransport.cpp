#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QHostAddress>
#include <QLabel>
#include <QTcpSocket>
#include <QTimer>

void MainWindow::on_btNetworkConnect_clicked()
{
    if (tcpConnected) {
        disconnectHost();
    } else {
        const QString address = ui->leDeviceAddr->text();
        if (address.isEmpty()) {
            logd(QStringLiteral("Please enter device IP address or select from device list"));
            return;
        }
        connectToHost(address, ui->sbPort->value());
    }
    statusDetailLabel->clear();
}

void MainWindow::connectToHost(const QString &address, int port)
{
    auto *socket = new QTcpSocket(this);
    socket->setReadBufferSize(ReceiveBufferBytes);
    tcpSocket = socket;
    for (int attempt = 0; attempt < 3; ++attempt) {
        logd(QStringLiteral("Connecting to ") + address + QStringLiteral(" ..."));
        QApplication::processEvents();
        socket->connectToHost(QHostAddress(address), quint16(port), QIODevice::ReadWrite);
        // The window keeps painting while the attempt runs.
        const auto settled = [socket] {
            return socket->state() == QAbstractSocket::ConnectedState
                || socket->state() == QAbstractSocket::UnconnectedState;
        };
        pauseUntil(settled, 5000);
        if (socket->state() == QAbstractSocket::ConnectedState) {
            connect(socket, &QTcpSocket::readyRead, this, &MainWindow::onReadyRead);
            connect(socket, &QTcpSocket::stateChanged, this, &MainWindow::onSocketStateChanged);
            connect(socket, &QTcpSocket::errorOccurred, this, &MainWindow::tcpClientError);
            protocol.resetReceiver();
            logd(QStringLiteral("New TCP client connected"));
            tcpConnected = true;
            setControlsEnabled(true);
            oneShotState = GetVersion;
            requestVersion();
            oneShotTimer->start(2500);
            return;
        }
        socket->abort();
    }
    logd(QStringLiteral("TCP connection filed. Remeber to enable TCP server in the device settings to user TCP "
                        "connection from R4 client."));
    if (tcpSocket == socket)
        tcpSocket = nullptr;
    delete socket;
}

void MainWindow::onReadyRead()
{
    // Once the link is closed (the socket may still be closing), what is
    // left unread belongs to nobody.
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || socket != tcpSocket || !tcpConnected)
        return;
    takeReceivedBytes(socket);
}

void MainWindow::tcpClientError(QAbstractSocket::SocketError socketError)
{
    protoLogRaw(QByteArray(1, char(socketError)), QStringLiteral("TCP socker error"));
    // The workflow on this link ends now, not by repeats into a dead socket.
    if (!serial.isOpen())
        linkLost(QStringLiteral("Connection to the device lost."));
    disconnectHost();
}

void MainWindow::disconnectHost()
{
    if (tcpConnected) {
        tcpConnected = false;
        if (tcpSocket)
            tcpSocket->disconnectFromHost();
    }
    setControlsEnabled(false);
    if (!linkOpen())
        linkLost(QStringLiteral("Connection to the device closed."));
}

void MainWindow::onSocketStateChanged(QAbstractSocket::SocketState socketState)
{
    if (socketState != QAbstractSocket::UnconnectedState)
        return;
    // Only the socket currently in use ends the link; the object itself stays
    // a child of the window until it is released below.
    if (sender() == tcpSocket) {
        tcpSocket = nullptr;
        tcpConnected = false;
    }
    if (QObject *old = sender())
        old->deleteLater();
}
