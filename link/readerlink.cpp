#include "link/readerlink.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>

#include "link/commandcodes.h"

// Bytes from the serial port and the TCP socket reach the codec in slices.
// A reader that sends faster than the frames can be logged must not keep
// the event loop from turning: one pass takes at most ReceiveSliceMs (and at
// least one slice), then the event loop gets its turn and the next pass goes
// on with what is left. The transports keep at most ReceiveBufferBytes
// unread; beyond that the reader is held back by the link's own flow
// control (a full pty, a full TCP window).

namespace {
constexpr int ReceiveSliceBytes = 64;
constexpr qint64 ReceiveSliceMs = 20;
} // namespace

ReaderLink::ReaderLink(QObject *parent)
    : QObject(parent)
    , protocol(nullptr)
{
    serial.setReadBufferSize(ReceiveBufferBytes);
    connect(&serial, &QSerialPort::readyRead, this, [this] { takeReceivedBytes(&serial); });
    oneShotTimer = new QTimer(this);
    oneShotTimer->setSingleShot(true);
    connect(&protocol, &BinaryProtocol::protocolWrite, this, &ReaderLink::writeFrame);
    // A coarse timer may end a wait 5 % early.
    waitTimer = new QTimer(this);
    waitTimer->setSingleShot(true);
    waitTimer->setTimerType(Qt::PreciseTimer);
    connect(waitTimer, &QTimer::timeout, this, [this] {
        const std::function<void()> step = std::move(waitStep);
        waitStep = nullptr;
        emit settlingChanged();
        if (step)
            step();
    });
    tcpAttemptTimer = new QTimer(this);
    tcpAttemptTimer->setSingleShot(true);
    tcpAttemptTimer->setTimerType(Qt::PreciseTimer);
    connect(tcpAttemptTimer, &QTimer::timeout, this, [this] { tcpAttemptEnded(false); });
}

ReaderLink::~ReaderLink()
{
    oneShotTimer->stop();
    waitTimer->stop();
    tcpAttemptTimer->stop();
    disconnect(tcpWatch);
}

bool ReaderLink::openSerial(const QString &name, qint32 baudRate, QSerialPort::Parity parity)
{
    serialName = name;
    serialBaudRate = baudRate;
    serialParity = parity;
    return reopenSerial();
}

bool ReaderLink::reopenSerial()
{
    retryCount = 0;
    if (serial.isOpen())
        serial.close();
    if (serialName.isEmpty())
        return false;
    serial.setPortName(serialName);
    serial.setBaudRate(serialBaudRate);
    serial.setParity(serialParity);
    if (!serial.open(QIODevice::ReadWrite)) {
        qDebug() << QStringLiteral("Failed to open port %1, error: %2").arg(serialName, serial.errorString());
        // The answer timer reports the missing answer later; the reason is
        // only known here.
        emit logLine(QStringLiteral("Failed to open port %1: %2").arg(serialName, openFailureReason(serialName)));
        return false;
    }
    serial.setDataTerminalReady(false);
    protocol.resetReceiver();
    qDebug() << QStringLiteral("Port opened: %1").arg(serialName);
    emit serialOpened();
    return true;
}

QString ReaderLink::openFailureReason(const QString &portName) const
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

void ReaderLink::closeSerial()
{
    if (serial.isOpen()) {
        serial.clear(QSerialPort::AllDirections);
        serial.close();
    }
    qDebug() << "Port closed";
    emit serialClosed();
}

void ReaderLink::waitThen(int ms, std::function<void()> step)
{
    waitStep = std::move(step);
    waitTimer->start(limited(ms));
    emit settlingChanged();
}

void ReaderLink::cancelWait()
{
    if (!waitTimer->isActive())
        return;
    waitTimer->stop();
    waitStep = nullptr;
    emit settlingChanged();
}

bool ReaderLink::waiting() const
{
    return waitTimer->isActive();
}

void ReaderLink::disconnectTcp()
{
    if (tcpConnected) {
        tcpConnected = false;
        if (tcpSocket)
            tcpSocket->disconnectFromHost();
    }
    emit tcpClosed();
}

void ReaderLink::connectTcp(const QString &address, int port)
{
    auto *socket = new QTcpSocket(this);
    socket->setReadBufferSize(ReceiveBufferBytes);
    tcpSocket = socket;
    tcpAddress = address;
    tcpPort = quint16(port);
    tcpAttempt = 0;
    // An attempt has settled when the socket is connected or unconnected
    // again. That is looked at once the socket's own signal has returned.
    disconnect(tcpWatch);
    tcpWatch = connect(socket, &QAbstractSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state != QAbstractSocket::ConnectedState && state != QAbstractSocket::UnconnectedState)
            return;
        const int serial = tcpAttemptSerial;
        QTimer::singleShot(0, this, [this, serial] {
            if (serial == tcpAttemptSerial && tcpAttempt > 0)
                tcpAttemptEnded(tcpSocket && tcpSocket->state() == QAbstractSocket::ConnectedState);
        });
    });
    emit settlingChanged();
    nextTcpAttempt();
}

void ReaderLink::nextTcpAttempt()
{
    ++tcpAttempt;
    ++tcpAttemptSerial;
    emit tcpAttempting(tcpAddress);
    tcpAttemptTimer->start(limited(TcpAttemptMs));
    tcpSocket->connectToHost(QHostAddress(tcpAddress), tcpPort, QIODevice::ReadWrite);
}

void ReaderLink::tcpAttemptEnded(bool connected)
{
    QTcpSocket *socket = tcpSocket;
    tcpAttemptTimer->stop();
    ++tcpAttemptSerial;
    if (!connected && socket) {
        socket->abort();
        if (tcpAttempt < TcpAttempts) {
            nextTcpAttempt();
            return;
        }
    }
    disconnect(tcpWatch);
    tcpAttempt = 0;
    emit settlingChanged();
    if (connected) {
        // Once the link is closed (the socket may still be closing), what
        // is left unread belongs to nobody.
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (socket == tcpSocket && tcpConnected)
                takeReceivedBytes(socket);
        });
        protocol.resetReceiver();
        retryCount = 0; // a reader given up on before gets its repeats again
        tcpConnected = true;
        emit tcpUp();
        return;
    }
    tcpSocket = nullptr;
    delete socket;
    emit tcpFailed();
}

bool ReaderLink::linkOpen() const
{
    return serial.isOpen() || tcpConnected;
}

void ReaderLink::writeFrame(uint8_t *buff, size_t len)
{
    const QByteArray frame(reinterpret_cast<const char *>(buff), int(len));
    if (serial.isOpen()) {
        emit frameWritten(frame);
        serial.write(frame);
        serial.flush();
    }
    if (tcpConnected && tcpSocket) {
        emit frameWritten(frame);
        tcpSocket->write(frame);
        tcpSocket->flush();
    }
}

void ReaderLink::takeReceivedBytes(QIODevice *device)
{
    if (!device)
        return;
    // A handler inside the running pass let the event loop run: that pass
    // (or the one it schedules) takes these bytes too.
    if (receivingBytes) {
        receivedMeanwhile = true;
        return;
    }
    {
        QScopedValueRollback<bool> receiving(receivingBytes, true);
        receivedMeanwhile = false;
        QElapsedTimer spent;
        spent.start();
        char slice[ReceiveSliceBytes];
        while (device->isOpen()) {
            const qint64 n = device->read(slice, sizeof slice);
            if (n <= 0)
                break;
            protocol.receiveBytes(reinterpret_cast<const uint8_t *>(slice), size_t(n));
            if (spent.elapsed() >= ReceiveSliceMs)
                break;
        }
    }
    const bool more = (device->isOpen() && device->bytesAvailable() > 0) || receivedMeanwhile;
    if (more && !receivePassPending) {
        receivePassPending = true;
        // A zero timer runs once the events posted meanwhile (paint,
        // input, timers) have had their turn.
        QTimer::singleShot(0, this, [this] {
            receivePassPending = false;
            if (serial.isOpen())
                takeReceivedBytes(&serial);
            if (tcpSocket && tcpConnected)
                takeReceivedBytes(tcpSocket);
        });
    }
}

void ReaderLink::beginRequest(int state, const QByteArray &payload, int timeoutMs)
{
    oneShotState = state;
    awaitedCommand = payload.isEmpty() ? -1 : uint8_t(payload.at(0));
    awaitedSub = awaitedCommand == Command::NetworkConfig && payload.size() > 1 ? uint8_t(payload.at(1)) : -1;
    requestPayload = payload;
    protocol.sendFrame(payload);
    oneShotTimer->start(timeoutMs);
    emit requestBegun();
}

bool ReaderLink::takeAnswer(uint8_t code, const QByteArray &data)
{
    if (awaitedCommand < 0 || code != awaitedCommand)
        return false;
    if (awaitedSub >= 0 && (data.isEmpty() || uint8_t(data.at(0)) != awaitedSub))
        return false;
    forgetRequest();
    return true;
}

void ReaderLink::forgetRequest()
{
    awaitedCommand = -1;
    awaitedSub = -1;
    oneShotTimer->stop();
}

bool ReaderLink::workflowWaiting() const
{
    return requestOutstanding() && oneShotState != IdleState && oneShotState != VersionState;
}

// The codec's last frame is not the request outstanding when anything was
// sent meanwhile: its own error reply to a damaged answer, a console
// command, a dialog's frame.
void ReaderLink::repeatRequest(int timeoutMs)
{
    if (requestPayload.isEmpty())
        protocol.resendLastFrame();
    else
        protocol.sendFrame(requestPayload);
    oneShotTimer->start(timeoutMs);
}
