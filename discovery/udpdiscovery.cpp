#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFont>
#include <QFutureInterface>
#include <QLabel>
#include <QListWidget>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUdpSocket>
#include <QUrl>

#include <atomic>

#include "discovery/announcement.h"

// Network discovery: a scan loop asks every host of every local /24 network
// to announce itself, a listener loop receives the announcements. Both run on
// the global thread pool for as long as the window exists; the listener hands
// each datagram to the window by a queued call, nothing else crosses threads.

namespace {

// Shared by the loops and the window. The window clears the flag when it
// goes; the loops only read it.
std::atomic<bool> udpRunning {true};

// The listener's handle as the window sees it: the event loop the listener
// waits in for datagrams, null when there is none. Whoever takes it out of
// here is the one who ends that loop: the window by a queued quit, or the
// listener itself when it finds the flag cleared before anybody took it.
std::atomic<QEventLoop *> udpListenHandle {nullptr};

QFuture<void> runOnGlobalPool(std::function<void()> task)
{
    QThreadPool *pool = QThreadPool::globalInstance();
    // The two loops never end while the window is open; they must not take
    // the pool's capacity from anybody else, nor wait for a free thread.
    const int wanted = QThread::idealThreadCount() + 2;
    if (pool->maxThreadCount() < wanted)
        pool->setMaxThreadCount(wanted);

    QFutureInterface<void> state;
    state.reportStarted();
    QFuture<void> future = state.future();
    pool->start([state, task]() mutable {
        task();
        state.reportFinished();
    });
    return future;
}

void info(const QString &text)
{
    qInfo().noquote() << text;
}

QString errorText(const QAbstractSocket &socket)
{
    return QString::number(int(socket.error())) + QStringLiteral(" (") + socket.errorString() + QLatin1Char(')');
}

} // namespace

qint64 MainWindow::discoveryNow() const
{
    return discoveryClock ? discoveryClock() : Discovery::monotonicMs();
}

void MainWindow::startDiscoveryLoops()
{
    // Every entry is one line of the same font: without this the list lays
    // out all its entries again, text by text, whenever one is heard.
    ui->lvDetectedDevices->setUniformItemSizes(true);

    udpRunning = true;
    udpScanFuture = runOnGlobalPool([this] { udpScanLoop(); });
    udpListenFuture = runOnGlobalPool([this] { udpListenLoop(this); });
}

void MainWindow::stopDiscoveryLoops()
{
    udpScanFuture.cancel();
    udpListenFuture.cancel();
    udpRunning = false;
    udpNetworkServerTerminate();
    // Both loops end within moments now (the scan loop looks at the flag at
    // least every 50 ms). Waiting for them means no loop outlives the window
    // it reports to, and the next window starts with the port free.
    udpListenFuture.waitForFinished();
    udpScanFuture.waitForFinished();
}

// Worker thread: touches no widget and no member.
void MainWindow::udpScanLoop()
{
    // Bound to any address and a port the system picks: the requests leave
    // by whichever interface leads to each target.
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        info(QStringLiteral("scan: socket() failed: ") + errorText(socket));
        return;
    }
    socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, Discovery::SendBufferBytes);
    info(QStringLiteral("scan on different thread"));

    while (udpRunning) {
        const QList<QHostAddress> locals = QNetworkInterface::allAddresses();
        for (const QHostAddress &local : locals) {
            if (!udpRunning)
                break;
            // One local address's requests go out back to back.
            for (const quint32 target : Discovery::scanTargets(local))
                socket.writeDatagram(Discovery::ScanRequest, Discovery::ScanRequestSize, QHostAddress(target),
                                     Discovery::Port);
            QThread::msleep(1);
        }
        // A second between passes, in slices so that a closing window is
        // not kept waiting.
        for (int slept = 0; slept < 1000 && udpRunning; slept += 50)
            QThread::msleep(50);
    }
    info(QStringLiteral("scan done"));
}

// Worker thread: reaches the window only through the queued call.
void MainWindow::udpListenLoop(MainWindow *receiver)
{
    QUdpSocket socket;
    info(QStringLiteral("Server: socket() is OK!"));
    // The port is this client's alone: with another client on this machine
    // holding it, the listener ends here and that client keeps it.
    if (!socket.bind(QHostAddress::AnyIPv4, Discovery::Port, QUdpSocket::DontShareAddress)) {
        info((socket.error() == QAbstractSocket::SocketResourceError ? QStringLiteral("Server: Error at socket(): ")
                                                                     : QStringLiteral("Server: Error! bind() failed! "))
             + errorText(socket));
        return;
    }
    info(QStringLiteral("Server: bind() is OK!"));
    // Every reader answers a scan pass at about the same moment; room for
    // the burst (the system may grant less).
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, Discovery::SendBufferBytes);

    QObject::connect(&socket, &QUdpSocket::readyRead, [&socket, receiver] {
        while (socket.hasPendingDatagrams()) {
            // The size of the whole datagram, so that an oversized one is
            // refused rather than read cut short.
            const qint64 size = socket.pendingDatagramSize();
            const QNetworkDatagram datagram = socket.receiveDatagram(Discovery::MaxDatagram);
            if (size < 1 || size > Discovery::MaxDatagram || !datagram.isValid()) {
                const QString why = !datagram.isValid() ? errorText(socket)
                    : size < 1                          ? QStringLiteral("empty datagram")
                                                        : QStringLiteral("datagram of %1 bytes").arg(size);
                info(QStringLiteral("Server: Connection closed with error code: ") + why);
                continue;
            }
            const QByteArray bytes = datagram.data();
            QMetaObject::invokeMethod(receiver, "udpMessageReceive", Qt::QueuedConnection,
                                      Q_ARG(QString, Discovery::datagramText(bytes.constData(), bytes.size())),
                                      Q_ARG(QString, datagram.senderAddress().toString()));
        }
    });

    // The listener waits in this loop, doing nothing between datagrams,
    // until the window's udpNetworkServerTerminate ends it. Published before
    // the flag is looked at: a window closing from here on either finds the
    // flag cleared first, or takes the handle and sends the quit.
    QEventLoop wait;
    udpListenHandle = &wait;
    QEventLoop *published = &wait;
    if (udpRunning || !udpListenHandle.compare_exchange_strong(published, nullptr))
        wait.exec();

    info(QStringLiteral("Server: Finished receiving. Closing the listening socket..."));
    socket.close();
    info(QStringLiteral("Server: closesocket() is OK"));
}

void MainWindow::udpNetworkServerTerminate()
{
    QEventLoop *listener = udpListenHandle.exchange(nullptr);
    if (!listener)
        return;
    info(QStringLiteral("udpNetworkServerTerminate: Closing socket..."));
    // The listener's loop lives until it has run this quit.
    QMetaObject::invokeMethod(listener, "quit", Qt::QueuedConnection);
}

// Announcements and the offline check change entries, re-sort the list and
// write log lines. A crowd of readers (or of forged senders) must not keep
// the window from painting and answering the user: at most
// Discovery::ChangesPerTurn entries change between two turns of the event
// loop. Announcements beyond that wait in order (a bounded number of them;
// the rest is dropped as a full receive buffer would drop it), and the
// offline check goes on where it stopped.
void MainWindow::udpMessageReceive(const QString &msg, const QString &ip)
{
    if (pendingAnnouncements.isEmpty() && discoveryChanges < Discovery::ChangesPerTurn) {
        takeAnnouncement(msg, ip);
        return;
    }
    if (pendingAnnouncements.size() >= Discovery::MaxPendingAnnouncements) {
        ++udpAnnouncementsDropped;
        return;
    }
    pendingAnnouncements.enqueue({msg, ip});
    scheduleDiscoveryTurn();
}

void MainWindow::takeAnnouncement(const QString &msg, const QString &ip)
{
    Discovery::Announcement announcement;
    if (!Discovery::parseAnnouncement(msg, &announcement))
        return;
    const QString address = Discovery::senderAddress(ip);
    if (address.isEmpty())
        return;

    ++udpAnnouncementsHandled;
    countDiscoveryChange();
    const qint64 now = discoveryNow();
    QListWidget *list = ui->lvDetectedDevices;
    QListWidgetItem *entry = detectedByAddress.value(address);

    if (entry) {
        entry->setData(Discovery::LastHeardRole, now);
        QFont font = entry->font();
        if (font.style() != QFont::StyleNormal) {
            font.setStyle(QFont::StyleNormal);
            entry->setFont(font);
            logd(QStringLiteral("Device ") + announcement.name + QLatin1Char('(') + address
                 + QStringLiteral(") is online now."));
        }
        return;
    }
    logd(announcement.name + QStringLiteral(" found at address ") + address + QStringLiteral(". Version: ")
         + announcement.version);
    const QString padded = Discovery::paddedAddress(address);
    auto *item = new QListWidgetItem(padded + QStringLiteral(" - ") + announcement.name + QStringLiteral(" (v")
                                     + announcement.version + QLatin1Char(')'));
    item->setData(Discovery::AddressRole, address);
    item->setData(Discovery::NameRole, announcement.name);
    item->setData(Discovery::VersionRole, announcement.version);
    item->setData(Discovery::PaddedAddressRole, padded);
    item->setData(Discovery::LastHeardRole, now);
    list->addItem(item);
    detectedByAddress.insert(address, item);
    ui->labDetected->setText(QStringLiteral("Detected devices (%1)").arg(list->count()));
}

void MainWindow::countDiscoveryChange()
{
    if (discoveryChanges++ == 0)
        scheduleDiscoveryTurn();
}

void MainWindow::scheduleDiscoveryTurn()
{
    if (discoveryTurnPending)
        return;
    discoveryTurnPending = true;
    // A zero timer runs once the event loop has turned: the events posted
    // meanwhile (paint, input, timers) go first.
    QTimer::singleShot(0, this, &MainWindow::discoveryTurn);
}

void MainWindow::discoveryTurn()
{
    discoveryTurnPending = false;
    discoveryChanges = 0;
    while (!pendingAnnouncements.isEmpty() && discoveryChanges < Discovery::ChangesPerTurn) {
        const QPair<QString, QString> next = pendingAnnouncements.dequeue();
        takeAnnouncement(next.first, next.second);
    }
    if (offlineCheckRow >= 0)
        checkOffline();
    if (!pendingAnnouncements.isEmpty() || offlineCheckRow >= 0)
        scheduleDiscoveryTurn();
}

void MainWindow::indexDetectedDevices()
{
    QAbstractItemModel *model = ui->lvDetectedDevices->model();
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        detectedByAddress.clear();
        offlineCheckRow = -1;
    });
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, [this](const QModelIndex &, int first, int last) {
        for (int row = first; row <= last; ++row) {
            const QListWidgetItem *entry = ui->lvDetectedDevices->item(row);
            if (entry)
                detectedByAddress.remove(entry->data(Discovery::AddressRole).toString());
        }
    });
}

void MainWindow::updateListTimer()
{
    // A check cut short by the budget is still going on; it reaches the
    // end first.
    if (offlineCheckRow < 0) {
        offlineCheckRow = 0;
        checkOffline();
    }
}

// From offlineCheckRow to the end of the list (offlineCheckRow is -1 then),
// or until the budget of this turn is spent (offlineCheckRow says where to
// go on).
void MainWindow::checkOffline()
{
    const qint64 now = discoveryNow();
    QListWidget *list = ui->lvDetectedDevices;
    for (int i = offlineCheckRow; i < list->count(); ++i) {
        QListWidgetItem *entry = list->item(i);
        QFont font = entry->font();
        const bool online = font.style() == QFont::StyleNormal;
        const bool heard = Discovery::heardRecently(entry->data(Discovery::LastHeardRole).toLongLong(), now);
        if (heard == online)
            continue;
        if (discoveryChanges >= Discovery::ChangesPerTurn) {
            offlineCheckRow = i;
            scheduleDiscoveryTurn();
            return;
        }
        countDiscoveryChange();
        font.setStyle(heard ? QFont::StyleNormal : QFont::StyleItalic);
        entry->setFont(font);
        if (!heard)
            logd(QStringLiteral("Device ") + entry->data(Discovery::NameRole).toString() + QLatin1Char('(')
                 + entry->data(Discovery::AddressRole).toString() + QStringLiteral(") is offline now."));
    }
    offlineCheckRow = -1;
}

void MainWindow::on_lvDetectedDevices_currentItemChanged(QListWidgetItem *current, QListWidgetItem *)
{
    if (current)
        ui->leDeviceAddr->setText(current->data(Discovery::AddressRole).toString());
}

void MainWindow::on_btOpenWeb_clicked()
{
    const QString address = ui->leDeviceAddr->text();
    if (address.isEmpty()) {
        logd(QStringLiteral("Please enter device IP address or select from device list"));
        return;
    }
    QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + address));
}
