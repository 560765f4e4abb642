// rx-provision flashing a reader image into simulated readers (rx-reader-sim
// processes) whose links run at the pace of a serial line, against the
// stop-and-wait bound: the line time of every frame the update exchanged,
// both ways, plus the reader's own times and the waits the protocol
// prescribes the client. Then eight readers over TCP at once against one
// alone, and the client's CPU time (user and system) per reader.
//   bench/bench_provision [KiB [BAUD]]
// (a 64 KiB image at 115200 baud unless given). Every link is on loopback;
// scripts/bench runs it in a network namespace of its own all the same.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/resource.h>
#include <vector>

#include "benchsupport.h"
#include "sim/simcodec.h"

namespace {

// The simulated reader's times (its defaults, set on each all the same).
constexpr int kEraseMs = 300; // OTA Begin is answered once the flash is erased
constexpr int kAwayMs = 2000; // then its pty is gone this long
constexpr int kRestartMs = 1000;
// What the client waits by protocol: the port stays closed after the erase
// (over TCP the link stays and the reader is given its time), and after the
// answer to Reboot the link is made again only this much later.
constexpr int kPortClosedMs = 6000;
constexpr int kTcpEraseMs = 4000;
constexpr int kRestartWaitMs = 3000;

// What one reader exchanged, from its verbose output: the frames it took
// whole from the line and those it sent.
struct Traffic
{
    int requests = 0;
    int answers = 0;
    qint64 bytes = 0; // both ways
};

// One rx-reader-sim, printing every frame.
class Sim
{
public:
    bool start(QStringList args)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                         [this] { m_output += m_process.readAllStandardOutput(); });
        m_process.start(QStringLiteral(RX_READER_SIM_PATH), args << QStringLiteral("-v"));
        if (!m_process.waitForStarted() || !Bench::waitUntil([this] { return m_output.contains('\n'); }, 5000))
            return false;
        banner = QString::fromLocal8Bit(m_output.left(m_output.indexOf('\n')));
        command("ota erase " + QByteArray::number(kEraseMs));
        command("ota reconnect " + QByteArray::number(kAwayMs));
        return Bench::waitUntil([this] { return m_output.count('\n') >= 3; }, 5000);
    }
    ~Sim()
    {
        m_process.terminate(); // quits on SIGTERM
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }
    void command(const QByteArray &line) { m_process.write(line + '\n'); }
    void forget() { m_output.clear(); }
    // All the reader printed since forget() is read once the answer to a
    // command behind it is: the md5 of the image it holds now.
    QByteArray flashedMd5()
    {
        command("ota status");
        const QRegularExpression md5(QStringLiteral("last image \\d+ bytes md5 ([0-9a-f]{32})"));
        QRegularExpressionMatch match;
        Bench::waitUntil([&] { return (match = md5.match(QString::fromLatin1(m_output))).hasMatch(); }, 5000);
        return match.captured(1).toLatin1();
    }
    Traffic traffic() const
    {
        Traffic traffic;
        SimCodec::Parser parser;
        for (const QByteArray &line : m_output.split('\n')) {
            if (line.startsWith("<- ")) {
                for (const SimCodec::Frame &frame : parser.feed(QByteArray::fromHex(line.mid(3)))) {
                    ++traffic.requests;
                    traffic.bytes += SimCodec::kHeaderSize + frame.body.size() + 2;
                }
            } else if (line.startsWith("-> ")) {
                ++traffic.answers;
                traffic.bytes += QByteArray::fromHex(line.mid(3)).size();
            }
        }
        return traffic;
    }

    QString banner;

private:
    QProcess m_process;
    QByteArray m_output;
};

double cpuSecondsOfChildren()
{
    rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Run
{
    double wallS = -1; // rx-provision started to exited
    double cpuS = 0; // its user and system time
    double boundS = 0; // the largest of its readers'
    Traffic traffic; // of the reader with the largest bound
    bool sameImage = true; // every reader holds the image now
    QString failure;
};

// rx-provision flashes the image into the readers at targets, all at once;
// the simulated readers are the only other children, and they run on.
Run flash(const QList<Sim *> &sims, const QStringList &targets, const QString &imagePath, const QByteArray &md5,
          double waitsS, int baud, const QString &backups)
{
    QStringList args {QStringLiteral("-q")};
    for (const QString &target : targets)
        args << (target.startsWith(QLatin1Char('/')) ? QStringLiteral("-p") : QStringLiteral("-t")) << target;
    args << QStringLiteral("flash") << imagePath;
    for (Sim *sim : sims)
        sim->forget();

    Run run;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RX_BACKUP_DIR"), backups);
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    qint64 exitedNs = -1;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     [&] { exitedNs = clock.nsecsElapsed(); });
    const double cpuBefore = cpuSecondsOfChildren();
    clock.start();
    process.start(QStringLiteral(RX_PROVISION_PATH), args);
    if (!Bench::waitUntil([&] { return exitedNs >= 0; }, 300000)) {
        process.kill();
        process.waitForFinished();
        run.failure = QStringLiteral("rx-provision did not end within 300 s");
        return run;
    }
    run.cpuS = cpuSecondsOfChildren() - cpuBefore;
    run.wallS = exitedNs / 1e9;

    int succeeded = 0;
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        const QJsonObject result = QJsonDocument::fromJson(line).object();
        if (result.value(QStringLiteral("ok")).toBool())
            ++succeeded;
        else if (!result.isEmpty())
            run.failure = result.value(QStringLiteral("target")).toString() + QStringLiteral(": ")
                + result.value(QStringLiteral("detail")).toString();
    }
    if (succeeded != targets.size() && run.failure.isEmpty())
        run.failure = QStringLiteral("exit status %1: %2")
                          .arg(process.exitCode())
                          .arg(QString::fromLocal8Bit(process.readAllStandardError()));
    for (Sim *sim : sims) {
        run.sameImage = sim->flashedMd5() == md5 && run.sameImage;
        const Traffic traffic = sim->traffic();
        const double boundS = waitsS + traffic.bytes * 10.0 / baud;
        if (boundS > run.boundS) {
            run.boundS = boundS;
            run.traffic = traffic;
        }
    }
    return run;
}

void report(const char *name, const Run &run, double waitsS, int baud, int readers)
{
    std::printf("%-16s %8d %7d %7lld %8.3f %9.3f %9.3f %12.3f %6.3f %15.1f  %s\n", name, run.traffic.requests,
                run.traffic.answers, static_cast<long long>(run.traffic.bytes), run.traffic.bytes * 10.0 / baud, waitsS,
                run.boundS, run.wallS, run.wallS / run.boundS, run.cpuS * 1000 / readers, run.sameImage ? "yes" : "NO");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int kib = argc > 1 ? std::atoi(argv[1]) : 64;
    const int baud = argc > 2 ? std::atoi(argv[2]) : 115200;
    if (kib < 1 || baud < 1) {
        std::fprintf(stderr, "usage: bench_provision [KiB [BAUD]]\n");
        return 2;
    }
    constexpr int kReaders = 8;

    QTemporaryDir dir;
    QByteArray image(kib * 1024, '\0');
    quint32 x = 2024;
    for (char &c : image) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    const QByteArray md5 = QCryptographicHash::hash(image, QCryptographicHash::Md5).toHex();
    const QString imagePath = dir.filePath(QStringLiteral("image.bin"));
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
        return 1;
    }
    file.close();
    const QString backups = dir.filePath(QStringLiteral("backups"));

    const QStringList common {QStringLiteral("--baud"), QString::number(baud), QStringLiteral("--restart-time"),
                              QString::number(kRestartMs)};
    const QString link = dir.filePath(QStringLiteral("ttyBench"));
    Sim serial;
    if (!serial.start(QStringList {QStringLiteral("--link"), link, QStringLiteral("--no-tcp")} + common)) {
        std::fprintf(stderr, "the simulated reader on a pty did not start\n");
        return 1;
    }
    std::vector<std::unique_ptr<Sim>> network;
    QStringList tcpTargets;
    QList<Sim *> tcpSims;
    for (int i = 0; i < kReaders; ++i) {
        network.push_back(std::make_unique<Sim>());
        // "--tcp 0": a free port, which the first line names.
        const bool started = network.back()->start(QStringList {QStringLiteral("--tcp"), QStringLiteral("0")} + common);
        const QRegularExpressionMatch listening
            = QRegularExpression(QStringLiteral("TCP on (127\\.0\\.0\\.1:\\d+)")).match(network.back()->banner);
        if (!started || !listening.hasMatch()) {
            std::fprintf(stderr, "simulated reader %d did not start: %s\n", i + 1, qPrintable(network.back()->banner));
            return 1;
        }
        tcpTargets << listening.captured(1);
        tcpSims << network.back().get();
    }

    const double restartS = std::max(kRestartMs, kRestartWaitMs) / 1000.0;
    const double ptyWaitsS = kEraseMs / 1000.0 + std::max(kAwayMs, kPortClosedMs) / 1000.0 + restartS;
    const double tcpWaitsS = kEraseMs / 1000.0 + kTcpEraseMs / 1000.0 + restartS;
    std::printf("image %d bytes (%d OTA frames), line %d baud: %.1f us a byte both ways\n", image.size(),
                (image.size() + 255) / 256, baud, 1e7 / baud);
    std::printf("the reader: erase %d ms, its pty away %d ms after it, restart %d ms; the client by protocol: port "
                "closed %d ms after the erase (TCP: %d ms), link made again %d ms after the restart's answer\n",
                kEraseMs, kAwayMs, kRestartMs, kPortClosedMs, kTcpEraseMs, kRestartWaitMs);
    std::printf("bound = line time of every frame (requests and answers, per reader) + those waits\n");
    std::printf(
        "run              requests answers   bytes line (s) waits (s) bound (s) measured (s)  ratio  CPU/reader "
        "(ms)  image\n");

    const auto failed = [](const Run &run) {
        if (run.failure.isEmpty() && run.sameImage)
            return false;
        std::fprintf(stderr, "failed: %s\n",
                     run.failure.isEmpty() ? "the reader holds another image" : qPrintable(run.failure));
        return true;
    };
    const Run pty = flash({&serial}, {link}, imagePath, md5, ptyWaitsS, baud, backups);
    report("pty, 1 reader", pty, ptyWaitsS, baud, 1);
    const Run one = flash({tcpSims.first()}, {tcpTargets.first()}, imagePath, md5, tcpWaitsS, baud, backups);
    report("TCP, 1 reader", one, tcpWaitsS, baud, 1);
    const Run eight = flash(tcpSims, tcpTargets, imagePath, md5, tcpWaitsS, baud, backups);
    report("TCP, 8 at once", eight, tcpWaitsS, baud, kReaders);
    if (failed(pty) || failed(one) || failed(eight))
        return 1;
    std::printf("eight readers at once against one alone: %.3f s / %.3f s = %.3f\n", eight.wallS, one.wallS,
                eight.wallS / one.wallS);
    return 0;
}
