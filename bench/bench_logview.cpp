// Appends 20,000 annotated frame dumps to the protocol log of the real main
// window and prints the time per 1,000 appends at the start and at the end
// (the log has no size limit, so the cost per append must stay flat), and the
// memory in use. Builds a MainWindow, so it runs only in a network namespace
// with nothing but loopback (it makes one of its own where it can).
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>

#include "app/mainwindow.h"

static long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int total = argc > 1 ? std::atoi(argv[1]) : 20000;
    MainWindow window;
    QByteArray frame = QByteArray::fromHex("F5 0A 00 F5 FF 00 0B 32 2E 33 38 00 DC FF");
    const long before = residentKiB();
    QElapsedTimer timer;
    QList<double> perThousand;
    timer.start();
    for (int i = 1; i <= total; ++i) {
        window.protoLog(frame, i % 2 ? QStringLiteral("[TX]") : QStringLiteral("[RX]"));
        if (i % 1000 == 0) {
            perThousand << timer.nsecsElapsed() / 1e6;
            timer.restart();
        }
    }
    std::printf("dumps appended          %d\n", total);
    std::printf("first 1,000 appends     %.1f ms\n", perThousand.value(0));
    std::printf("last 1,000 appends      %.1f ms\n", perThousand.value(perThousand.size() - 1));
    double worst = 0;
    for (double v : perThousand)
        worst = qMax(worst, v);
    std::printf("slowest 1,000 appends   %.1f ms\n", worst);
    std::printf("resident memory         %ld KiB before, %ld KiB after (%.0f bytes per dump)\n", before, residentKiB(),
                (residentKiB() - before) * 1024.0 / total);
    return 0;
}
