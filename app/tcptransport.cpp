#include "app/mainwindow.h"
#include "ui_mainwindow.h"

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
    link.connectTcp(address, port);
}

void MainWindow::tcpLinkUp()
{
    QTcpSocket *socket = tcpSocket;
    connect(socket, &QTcpSocket::stateChanged, this, &MainWindow::onSocketStateChanged);
    connect(socket, &QTcpSocket::errorOccurred, this, &MainWindow::tcpClientError);
    logd(QStringLiteral("New TCP client connected"));
    setControlsEnabled(true);
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
    link.disconnectTcp();
}

void MainWindow::tcpLinkClosed()
{
    setControlsEnabled(false);
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
