// Download and upload of a 64 KiB config.json over TCP and over a pty
// against the simulated reader, from the real main window: seconds, and the
// ratio to the stop-and-wait bound (the reader's measured round-trip time ×
// the number of requests). Builds a MainWindow, so it runs only in a network
// namespace with nothing but loopback (it makes one of its own where it can).
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <cstdio>

#include "sim/simfiles.h"
#include "support/windowfixture.h"

namespace {

int requestsSince(SimReader *reader, int from)
{
    return reader->receivedPayloads().size() - from;
}

// Mean time from a request to its answer, over `count` sequential requests.
double roundTripMs(WindowFixture &f, int count)
{
    int answers = 0;
    auto conn = QObject::connect(&f.window()->protocol, &BinaryProtocol::frameComplete,
                                 [&](uint8_t *, size_t, uint8_t *, size_t) { ++answers; });
    // "Set polling" has no decoder, and in a transfer state the dumps are
    // kept out of the log: only the link and the reader are timed.
    const int state = f.window()->oneShotState;
    f.window()->oneShotState = MainWindow::FileReading;
    QElapsedTimer t;
    t.start();
    const uint8_t request = 0x06;
    for (int i = 0; i < count; ++i) {
        const int want = answers + 1;
        f.window()->protocol.sendFrame(&request, 1);
        runUntil([&] { return answers >= want; }, 2000);
    }
    QObject::disconnect(conn);
    f.window()->oneShotState = state;
    return double(t.nsecsElapsed()) / 1e6 / count;
}

void run(const char *transport, bool tcp)
{
    WindowFixture f;
    if (!(tcp ? f.connectTcp() : f.connectSerial())) {
        std::printf("%s: could not connect\n", transport);
        return;
    }
    QTest::qWait(200);
    QByteArray content(64 * 1024, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char('a' + i % 26);
    f.reader()->files().setFile("config.json", content);
    const double rtt = roundTripMs(f, 200);

    QTemporaryDir dir;
    const QString target = dir.filePath("download.json");
    f.window()->fileChooser = [&](const QString &, const QString &, bool) { return target; };
    int from = f.reader()->receivedPayloads().size();
    QElapsedTimer t;
    t.start();
    QMetaObject::invokeMethod(f.window(), "on_btDownloadConfig_clicked");
    runUntil([&] { return f.logText().endsWith(QStringLiteral("File closed. Size %1 bytes.\n").arg(content.size())); },
             120000);
    const double down = t.nsecsElapsed() / 1e9;
    const int downRequests = requestsSince(f.reader(), from);

    from = f.reader()->receivedPayloads().size();
    t.restart();
    f.window()->startConfigUpload(content);
    runUntil([&] { return f.logText().contains(QStringLiteral("File closed. Restarting...")); }, 120000);
    const double up = t.nsecsElapsed() / 1e9;
    const int upRequests = requestsSince(f.reader(), from);
    const bool intact = f.reader()->files().configFile() == content;

    std::printf("%-4s round trip %.3f ms\n", transport, rtt);
    std::printf("%-4s download 64 KiB  %.2f s, %d requests, bound %.2f s, ratio %.2f\n", transport, down, downRequests,
                rtt * downRequests / 1000, down / (rtt * downRequests / 1000));
    std::printf("%-4s upload   64 KiB  %.2f s, %d requests, bound %.2f s, ratio %.2f%s\n", transport, up, upRequests,
                rtt * upRequests / 1000, up / (rtt * upRequests / 1000), intact ? "" : "  (CONTENT DIFFERS)");
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    run("pty", false);
    run("tcp", true);
    return 0;
}
