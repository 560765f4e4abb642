#include "app/mainwindow.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>

// Bytes from the serial port and the TCP socket reach the codec here, in
// slices. A reader that sends faster than the window can log must not keep
// it from painting and answering the user: one pass takes at most
// ReceiveSliceMs (and at least one slice), then the event loop gets its turn
// and the next pass goes on with what is left. The transports keep at most
// ReceiveBufferBytes unread; beyond that the reader is held back by the
// link's own flow control (a full pty, a full TCP window).

namespace {
constexpr int ReceiveSliceBytes = 64;
constexpr qint64 ReceiveSliceMs = 20;
} // namespace

void MainWindow::takeReceivedBytes(QIODevice *device)
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
