#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QFont>
#include <QFutureInterface>
#include <QLabel>
#include <QListWidget>
#include <QNetworkInterface>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "discovery/announcement.h"

// Network discovery: a scan loop asks every host of every local /24 network
// to announce itself, a listener loop receives the announcements. Both run on
// the global thread pool for as long as the window exists; the listener hands
// each datagram to the window by a queued call, nothing else crosses threads.

namespace {

// Shared by the loops and the window. The window clears the flag when it
// goes; the loops only read it.
std::atomic<bool> udpRunning {true};

// The listener's socket as the window sees it, -1 when there is none. It is a
// descriptor of its own (a duplicate of the one the listener receives on), so
// that whoever takes it out of here may shut it down and close it without the
// number being reused under the other side: shutting down the one socket
// behind both releases the listener's blocking receive.
std::atomic<int> udpListenHandle {-1};

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

QString errorText(int code)
{
    return QString::number(code) + QStringLiteral(" (") + QString::fromLocal8Bit(std::strerror(code))
        + QLatin1Char(')');
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
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        info(QStringLiteral("scan: socket() failed: ") + errorText(errno));
        return;
    }
    const int sendBuffer = Discovery::SendBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    info(QStringLiteral("scan on different thread"));

    while (udpRunning) {
        const QList<QHostAddress> locals = QNetworkInterface::allAddresses();
        for (const QHostAddress &local : locals) {
            if (!udpRunning)
                break;
            // One local address's requests go out back to back.
            for (const quint32 target : Discovery::scanTargets(local)) {
                sockaddr_in to = {};
                to.sin_family = AF_INET;
                to.sin_port = htons(Discovery::Port);
                to.sin_addr.s_addr = htonl(target);
                ::sendto(fd, Discovery::ScanRequest, Discovery::ScanRequestSize, 0,
                         reinterpret_cast<const sockaddr *>(&to), sizeof to);
            }
            QThread::msleep(1);
        }
        // A second between passes, in slices so that a closing window is
        // not kept waiting.
        for (int slept = 0; slept < 1000 && udpRunning; slept += 50)
            QThread::msleep(50);
    }
    ::close(fd);
    info(QStringLiteral("scan done"));
}

// Worker thread: reaches the window only through the queued call.
void MainWindow::udpListenLoop(MainWindow *receiver)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        info(QStringLiteral("Server: Error at socket(): ") + errorText(errno));
        return;
    }
    info(QStringLiteral("Server: socket() is OK!"));

    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(Discovery::Port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
        // Typically another client on this machine has the port. The handle
        // of a listener that does have it is left alone.
        info(QStringLiteral("Server: Error! bind() failed! ") + errorText(errno));
        ::close(fd);
        return;
    }
    info(QStringLiteral("Server: bind() is OK!"));
    // Every reader answers a scan pass at about the same moment; room for
    // the burst (the system may grant less).
    const int receiveBuffer = Discovery::SendBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const int handle = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (handle < 0) {
        info(QStringLiteral("Server: Error at socket(): ") + errorText(errno));
        ::close(fd);
        return;
    }
    // Published before the flag is looked at: a window closing from here on
    // either finds the flag cleared first or shuts this socket down.
    udpListenHandle = handle;

    char buffer[Discovery::MaxDatagram];
    while (udpRunning) {
        sockaddr_in from = {};
        socklen_t fromSize = sizeof from;
        // MSG_TRUNC: the size of the whole datagram, so that an oversized one
        // is refused rather than read cut short.
        const ssize_t size
            = ::recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &fromSize);
        if (size < 1 || size > Discovery::MaxDatagram) {
            const int code = size > Discovery::MaxDatagram ? EMSGSIZE : errno;
            info(QStringLiteral("Server: Connection closed with error code: ") + errorText(code));
            if (udpListenHandle != handle)
                break; // shut down: every further receive returns at once
            continue;
        }
        if (from.sin_family != AF_INET || fromSize < socklen_t(sizeof from))
            continue;
        char ip[INET_ADDRSTRLEN] = {};
        if (!::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip))
            continue;
        QMetaObject::invokeMethod(receiver, "udpMessageReceive", Qt::QueuedConnection,
                                  Q_ARG(QString, Discovery::datagramText(buffer, int(size))),
                                  Q_ARG(QString, QString::fromLatin1(ip)));
    }

    info(QStringLiteral("Server: Finished receiving. Closing the listening socket..."));
    int published = handle;
    if (udpListenHandle.compare_exchange_strong(published, -1))
        ::close(handle);
    if (::close(fd) != 0)
        info(QStringLiteral("Server: closesocket() failed! Error code: ") + errorText(errno));
    else
        info(QStringLiteral("Server: closesocket() is OK"));
}

void MainWindow::udpNetworkServerTerminate()
{
    const int handle = udpListenHandle.exchange(-1);
    if (handle < 0)
        return;
    ::shutdown(handle, SHUT_RDWR);
    ::close(handle);
    info(QStringLiteral("udpNetworkServerTerminate: Closing socket..."));
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
