// UDP discovery under a flood of senders: SENDERS readers (default 10,000,
// on 127.0.0.1, 127.0.0.2, ... all loopback) each announce themselves
// ROUNDS times (default 2) to the window's listener as fast as the loopback
// takes them; then the window's clock jumps 11 s ahead so that every entry
// goes offline at the next tick, and all of them announce once more and come
// back online. For each phase it reports how many announcements the window
// handled, how long that took, and the longest the GUI event loop went
// without turning meanwhile.
//
// It builds a real MainWindow, whose scan loop sends to every /24 of every
// local address: it runs only in a network namespace with nothing but
// loopback (it makes one of its own where it can).
//
//     bench_discovery [SENDERS [ROUNDS]]
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

#include "app/mainwindow.h"
#include "bench/benchsupport.h"
#include "discovery/announcement.h"

namespace {

// One datagram from 127.0.0.1 + sender to the discovery port.
bool announce(int sender, const QByteArray &text)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + quint32(sender));
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(Discovery::Port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool sent = ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0
        && ::sendto(fd, text.constData(), size_t(text.size()), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to)
            == text.size();
    ::close(fd);
    return sent;
}

} // namespace

int main(int argc, char **argv)
{
    const int senders = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2;
    if (senders < 1 || senders > 60000 || rounds < 1) {
        std::fprintf(stderr, "usage: bench_discovery [SENDERS [ROUNDS]]\n");
        return 2;
    }
    Bench::preferOffscreen();
    QApplication app(argc, argv);
    Bench::WindowEnvironment environment;

    MainWindow window;
    qint64 clockShift = 0;
    window.discoveryClock = [&] { return Discovery::monotonicMs() + clockShift; };
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

    Bench::GapMeter meter;
    // Every sender announces once, from another thread, while the window
    // runs; done when all were handled or nothing came for 1 s after the
    // last was sent (the rest was lost on the way).
    const auto phase = [&](const char *what, int round) {
        const int before = window.udpAnnouncementsHandled;
        std::atomic<int> sent {0};
        std::atomic<bool> sending {true};
        QElapsedTimer clock;
        std::atomic<qint64> sendTime {0};
        qint64 lastHandledAt = 0;
        int handled = before;
        clock.start();
        meter.start();
        std::thread sender([&] {
            for (int i = 0; i < senders; ++i) {
                if (announce(i, QStringLiteral("Q_R4:Bench-%1:1.%2").arg(i).arg(round).toLatin1()))
                    ++sent;
            }
            sendTime = clock.elapsed();
            sending = false;
        });
        while (window.udpAnnouncementsHandled - before < senders) {
            app.processEvents(QEventLoop::AllEvents, 5);
            if (window.udpAnnouncementsHandled != handled) {
                handled = window.udpAnnouncementsHandled;
                lastHandledAt = clock.elapsed();
            }
            if (!sending && clock.elapsed() - std::max(sendTime.load(), lastHandledAt) > 1000)
                break;
        }
        const qint64 gap = meter.stop();
        sender.join();
        handled = window.udpAnnouncementsHandled - before;
        const qint64 total = handled == senders ? clock.elapsed() : lastHandledAt;
        std::printf("%-26s %d sent in %lld ms, %d handled (%d lost) in %lld ms, %.0f per second; "
                    "longest GUI gap %lld ms\n",
                    what, sent.load(), static_cast<long long>(sendTime.load()), handled, sent.load() - handled,
                    static_cast<long long>(total), total > 0 ? handled * 1000.0 / double(total) : 0.0,
                    static_cast<long long>(gap));
    };

    std::printf("%d senders, %d announcement rounds\n", senders, rounds);
    for (int round = 0; round < rounds; ++round)
        phase(round == 0 ? "new entries:" : "heard again:", round);
    std::printf("list entries:              %d\n", list->count());

    // Everybody silent for 11 s: the next tick turns every entry offline.
    const auto italicCount = [&] {
        int n = 0;
        for (int i = 0; i < list->count(); ++i)
            n += list->item(i)->font().style() != QFont::StyleNormal;
        return n;
    };
    clockShift += 11000;
    QElapsedTimer clock;
    clock.start();
    meter.start();
    while (italicCount() < list->count() && clock.elapsed() < 5000)
        app.processEvents(QEventLoop::AllEvents, 5);
    std::printf("%-26s %d of %d offline after %lld ms; longest GUI gap %lld ms\n", "all gone quiet:", italicCount(),
                list->count(), static_cast<long long>(clock.elapsed()), static_cast<long long>(meter.stop()));
    phase("all back online:", rounds);
    std::printf("still offline:             %d\n", italicCount());
    return 0;
}
