#include "discovery/devicediscovery.h"

#include <QDebug>
#include <QEventLoop>
#include <QFutureInterface>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <algorithm>

#include "discovery/announcement.h"

namespace {

QFuture<void> runOnGlobalPool(std::function<void()> task)
{
    QThreadPool *pool = QThreadPool::globalInstance();
    // The two loops never end while discovery runs; they must not take the
    // pool's capacity from anybody else, nor wait for a free thread.
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

// "Device Reader-7(192.168.1.20) is offline now."
QString stateLine(const DeviceDiscovery::Device &device, bool online)
{
    return QStringLiteral("Device ") + device.name + QLatin1Char('(') + device.address
        + (online ? QStringLiteral(") is online now.") : QStringLiteral(") is offline now."));
}

} // namespace

QString DeviceDiscovery::Device::text() const
{
    return paddedAddress + QStringLiteral(" - ") + name + QStringLiteral(" (v") + version + QLatin1Char(')');
}

DeviceDiscovery::DeviceDiscovery(QObject *parent)
    : QObject(parent)
    , m_offlineTimer(new QTimer(this))
{
    connect(m_offlineTimer, &QTimer::timeout, this, &DeviceDiscovery::checkOffline);
}

DeviceDiscovery::~DeviceDiscovery()
{
    stop();
    qDeleteAll(m_rows);
}

qint64 DeviceDiscovery::now() const
{
    return clock ? clock() : Discovery::monotonicMs();
}

void DeviceDiscovery::start()
{
    m_offlineTimer->start(1000);
    m_running = true;
    m_scanFuture = runOnGlobalPool([this] { scanLoop(); });
    m_listenFuture = runOnGlobalPool([this] { listenLoop(); });
}

void DeviceDiscovery::stop()
{
    m_offlineTimer->stop();
    m_scanFuture.cancel();
    m_listenFuture.cancel();
    m_running = false;
    terminateListener();
    // Both loops end within moments now (the scan loop looks at the flag at
    // least every 50 ms). Waiting for them means no loop outlives the object
    // it reports to, and the next start finds the port free.
    m_listenFuture.waitForFinished();
    m_scanFuture.waitForFinished();
}

// Worker thread: touches nothing of this object but the flag.
void DeviceDiscovery::scanLoop()
{
    // Bound to any address and a port the system picks: the requests leave
    // by whichever interface leads to each target.
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0)) {
        info(QStringLiteral("scan: socket() failed: ") + errorText(socket));
        return;
    }
    socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, QVariant(Discovery::SendBufferBytes));
    info(QStringLiteral("scan on different thread"));

    while (m_running) {
        const QList<QHostAddress> locals = QNetworkInterface::allAddresses();
        for (const QHostAddress &local : locals) {
            if (!m_running)
                break;
            // One local address's requests go out back to back.
            for (const quint32 target : Discovery::scanTargets(local))
                socket.writeDatagram(Discovery::ScanRequest, Discovery::ScanRequestSize, QHostAddress(target),
                                     Discovery::Port);
            QThread::msleep(1);
        }
        // A second between passes, in slices so that stopping is not kept
        // waiting.
        for (int slept = 0; slept < 1000 && m_running; slept += 50)
            QThread::msleep(50);
    }
    info(QStringLiteral("scan done"));
}

// Worker thread: reaches this object only through the queued call.
void DeviceDiscovery::listenLoop()
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
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, QVariant(Discovery::SendBufferBytes));

    QObject::connect(&socket, &QUdpSocket::readyRead, [&socket, this] {
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
            QMetaObject::invokeMethod(this, "receive", Qt::QueuedConnection,
                                      Q_ARG(QString, Discovery::datagramText(bytes.constData(), bytes.size())),
                                      Q_ARG(QString, datagram.senderAddress().toString()));
        }
    });

    // The listener waits in this loop, doing nothing between datagrams,
    // until terminateListener ends it. Published before the flag is looked
    // at: a stop from here on either finds the flag cleared first, or takes
    // the handle and sends the quit.
    QEventLoop wait;
    m_listenHandle = &wait;
    QEventLoop *published = &wait;
    if (m_running || !m_listenHandle.compare_exchange_strong(published, nullptr))
        wait.exec();

    info(QStringLiteral("Server: Finished receiving. Closing the listening socket..."));
    socket.close();
    info(QStringLiteral("Server: closesocket() is OK"));
}

void DeviceDiscovery::terminateListener()
{
    QEventLoop *listener = m_listenHandle.exchange(nullptr);
    if (!listener)
        return;
    info(QStringLiteral("udpNetworkServerTerminate: Closing socket..."));
    // The listener's loop lives until it has run this quit.
    QMetaObject::invokeMethod(listener, "quit", Qt::QueuedConnection);
}

// Announcements and the offline check change entries and write log lines,
// and whoever shows the list follows each change. A crowd of readers (or of
// forged senders) must not keep the event loop from turning (a window from
// painting and answering the user): at most Discovery::ChangesPerTurn
// entries change between two turns. Announcements beyond that wait in order
// (a bounded number of them; the rest is dropped as a full receive buffer
// would drop it), and the offline check goes on where it stopped.
void DeviceDiscovery::receive(const QString &text, const QString &sender)
{
    if (m_pending.isEmpty() && m_changes < Discovery::ChangesPerTurn) {
        takeAnnouncement(text, sender);
        return;
    }
    if (m_pending.size() >= Discovery::MaxPendingAnnouncements) {
        ++announcementsDropped;
        return;
    }
    m_pending.enqueue({text, sender});
    scheduleTurn();
}

void DeviceDiscovery::takeAnnouncement(const QString &text, const QString &sender)
{
    Discovery::Announcement announcement;
    if (!Discovery::parseAnnouncement(text, &announcement))
        return;
    const QString address = Discovery::senderAddress(sender);
    if (address.isEmpty())
        return;

    ++announcementsHandled;
    countChange();
    const qint64 heard = now();

    if (Entry *entry = m_byAddress.value(address)) {
        entry->device.lastHeard = heard;
        if (!entry->device.online) {
            entry->device.online = true;
            emit deviceOnlineChanged(entry->row);
            emit logLine(stateLine(entry->device, true));
        }
        return;
    }
    emit logLine(announcement.name + QStringLiteral(" found at address ") + address + QStringLiteral(". Version: ")
                 + announcement.version);
    auto *entry = new Entry;
    entry->device.address = address;
    entry->device.paddedAddress = Discovery::paddedAddress(address);
    entry->device.name = announcement.name;
    entry->device.version = announcement.version;
    entry->device.lastHeard = heard;
    // Before the first entry listed after it, as a sorted list view inserts.
    const auto at = std::lower_bound(
        m_rows.begin(), m_rows.end(), entry->device.text(),
        [](const Entry *listed, const QString &text) { return listed->device.text().localeAwareCompare(text) < 0; });
    const int row = int(at - m_rows.begin());
    m_rows.insert(row, entry);
    renumber(row);
    m_byAddress.insert(address, entry);
    emit deviceAdded(row);
}

void DeviceDiscovery::renumber(int from)
{
    for (int row = from; row < m_rows.size(); ++row)
        m_rows[row]->row = row;
}

void DeviceDiscovery::forget(int first, int last)
{
    first = std::max(first, 0);
    last = std::min(last, count() - 1);
    if (first > last)
        return;
    for (int row = first; row <= last; ++row) {
        m_byAddress.remove(m_rows[row]->device.address);
        delete m_rows[row];
    }
    m_rows.remove(first, last - first + 1);
    renumber(first);
}

void DeviceDiscovery::forgetAll()
{
    qDeleteAll(m_rows);
    m_rows.clear();
    m_byAddress.clear();
    m_offlineCheckRow = -1;
}

void DeviceDiscovery::countChange()
{
    if (m_changes++ == 0)
        scheduleTurn();
}

void DeviceDiscovery::scheduleTurn()
{
    if (m_turnPending)
        return;
    m_turnPending = true;
    // A zero timer runs once the event loop has turned: the events posted
    // meanwhile (paint, input, timers) go first.
    QTimer::singleShot(0, this, &DeviceDiscovery::turn);
}

void DeviceDiscovery::turn()
{
    m_turnPending = false;
    m_changes = 0;
    while (!m_pending.isEmpty() && m_changes < Discovery::ChangesPerTurn) {
        const QPair<QString, QString> next = m_pending.dequeue();
        takeAnnouncement(next.first, next.second);
    }
    if (m_offlineCheckRow >= 0)
        continueOfflineCheck();
    if (!m_pending.isEmpty() || m_offlineCheckRow >= 0)
        scheduleTurn();
}

void DeviceDiscovery::checkOffline()
{
    // A check cut short by the budget is still going on; it reaches the
    // end first.
    if (m_offlineCheckRow < 0) {
        m_offlineCheckRow = 0;
        continueOfflineCheck();
    }
}

// From m_offlineCheckRow to the end of the list (m_offlineCheckRow is -1
// then), or until the budget of this turn is spent (m_offlineCheckRow says
// where to go on).
void DeviceDiscovery::continueOfflineCheck()
{
    const qint64 time = now();
    for (int row = m_offlineCheckRow; row < m_rows.size(); ++row) {
        Device &device = m_rows[row]->device;
        const bool heard = Discovery::heardRecently(device.lastHeard, time);
        if (heard == device.online)
            continue;
        if (m_changes >= Discovery::ChangesPerTurn) {
            m_offlineCheckRow = row;
            scheduleTurn();
            return;
        }
        countChange();
        device.online = heard;
        emit deviceOnlineChanged(row);
        if (!heard)
            emit logLine(stateLine(device, false));
    }
    m_offlineCheckRow = -1;
}
