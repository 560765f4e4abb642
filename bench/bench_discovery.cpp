// UDP discovery under a flood: 10,000 announcements from 500 senders
// (127.0.0.1 to 127.0.1.244, all loopback) sent to the window's listener as
// fast as the loopback takes them. Reports how many the window handled, how
// long that took, and the longest the GUI event loop went without turning
// meanwhile.
//
// It builds a real MainWindow, whose scan loop sends to every /24 of every
// local address: it runs only in a network namespace with nothing but
// loopback (it makes one of its own where it can).
//
//     bench_discovery [ANNOUNCEMENTS [SENDERS]]
#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/mainwindow.h"
#include "discovery/announcement.h"

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char **argv)
{
    const int announcements = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int senders = argc > 2 ? std::atoi(argv[2]) : 500;
    if (announcements < 1 || senders < 1 || senders > 60000) {
        std::fprintf(stderr, "usage: bench_discovery [ANNOUNCEMENTS [SENDERS]]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    qInstallMessageHandler(quietHandler);

    MainWindow window;
    window.show();
    window.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
    auto *list = window.findChild<QListWidget *>(QStringLiteral("lvDetectedDevices"));

    // The listener has the port once nobody else can bind it.
    QElapsedTimer waiting;
    waiting.start();
    for (;;) {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::AnyIPv4, Discovery::Port))
            break;
        probe.close();
        if (waiting.elapsed() > 5000) {
            std::fprintf(stderr, "bench_discovery: the listener did not bind port %u\n", Discovery::Port);
            return 1;
        }
        app.processEvents(QEventLoop::AllEvents, 10);
    }

    // Senders on 127.0.0.1, 127.0.0.2, ... each a host of its own.
    std::vector<int> sockets;
    for (int i = 0; i < senders; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in from = {};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + quint32(i));
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            std::perror("bench_discovery: sender");
            return 1;
        }
        sockets.push_back(fd);
    }

    QElapsedTimer clock;
    int handled = 0;
    qint64 lastHandledAt = 0;
    qint64 longestGap = 0;
    QElapsedTimer gap;
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    beat.setInterval(1);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, gap.restart());
        if (window.udpAnnouncementsHandled != handled) {
            handled = window.udpAnnouncementsHandled;
            lastHandledAt = clock.elapsed();
        }
    });

    std::atomic<int> sent {0};
    std::atomic<bool> sending {true};
    std::atomic<qint64> sendTime {0};
    clock.start();
    gap.start();
    beat.start();
    std::thread sender([&] {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(Discovery::Port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < announcements; ++i) {
            const int who = i % senders;
            const QByteArray text = QStringLiteral("Q_R4:Bench-%1:1.%2").arg(who).arg(i / senders).toLatin1();
            if (::sendto(sockets[size_t(who)], text.constData(), size_t(text.size()), 0,
                         reinterpret_cast<const sockaddr *>(&to), sizeof to)
                == text.size())
                ++sent;
        }
        sendTime = clock.elapsed();
        sending = false;
    });

    // Done when every announcement was handled, or nothing came for 1 s
    // after the last was sent (the rest was lost on the way).
    while (window.udpAnnouncementsHandled < announcements) {
        app.processEvents(QEventLoop::AllEvents, 5);
        if (!sending && clock.elapsed() - std::max(sendTime.load(), lastHandledAt) > 1000)
            break;
    }
    beat.stop();
    handled = window.udpAnnouncementsHandled;
    const qint64 total = handled == announcements ? clock.elapsed() : lastHandledAt;
    sender.join();
    for (const int fd : sockets)
        ::close(fd);

    std::printf("announcements sent:    %d from %d addresses in %lld ms\n", sent.load(), senders,
                static_cast<long long>(sendTime.load()));
    std::printf("handled by the window: %d (%d lost on the way) in %lld ms, %.0f per second\n", handled,
                sent.load() - handled, static_cast<long long>(total),
                total > 0 ? handled * 1000.0 / double(total) : 0.0);
    std::printf("list entries:          %d\n", list->count());
    std::printf("longest GUI gap:       %lld ms\n", static_cast<long long>(longestGap));
    return 0;
}
