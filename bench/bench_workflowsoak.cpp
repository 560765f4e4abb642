// The workflow soak at length: reader firmware, RFID chip firmware,
// config.json upload and download from the real window against the simulated
// reader, over the pty and over TCP in turn, the classes of faults in turn
// (single: one to three faults on the reader's answers; doubled+lost-request;
// around-eof; errors; see workflowsoak.h) placed at random from the
// seed. Prints the runs, the faults injected by kind and the verdicts by
// class; fails when a run reported success the reader's data contradicts
// (silently-corrupt, each reported with its seed, class, faults and log) or
// ended without any verdict.
//
// The runs wait as the client does (the 4 s and 6 s after an erase, the
// answer timers), so they are shared among worker processes, each with its
// own window and reader and its own part of the seed.
// Builds MainWindows: run it inside a private network namespace, e.g.
//   /work/shared/tools/isolated bench/bench_workflowsoak [RUNS [SEED [WORKERS]]]
// (320 runs, seed 1 and 4 workers unless given).
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <cstdio>

#include "support/windowfixture.h"
#include "workflowsoak.h"

namespace {

int argument(const QStringList &args, int index, int fallback)
{
    bool ok = false;
    const int value = args.value(index).toInt(&ok);
    return ok && value > 0 ? value : fallback;
}

// A worker says only what goes wrong, not what the window logs for debugging.
void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

int worker(int runs, quint32 seed)
{
    qInstallMessageHandler(quietHandler);
    WindowFixture f;
    WorkflowSoak soak(f, seed);
    QString problem;
    const bool ok = soak.run(runs, &problem);
    if (!ok)
        std::fprintf(stderr, "worker with seed %u: %s\n", seed, qPrintable(problem));
    std::printf("FIGURES %s\n", qPrintable(soak.figures.line()));
    std::fflush(stdout);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--worker"))
        return worker(argument(args, 2, 1), quint32(argument(args, 3, 1)));

    const int runs = argument(args, 1, 320);
    const quint32 seed = quint32(argument(args, 2, 1));
    const int workers = qMin(argument(args, 3, 4), runs);
    QElapsedTimer clock;
    clock.start();
    QList<QProcess *> processes;
    for (int i = 0; i < workers; ++i) {
        auto *process = new QProcess(&app);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const int share = runs / workers + (i < runs % workers ? 1 : 0);
        process->start(args.value(0),
                       {QStringLiteral("--worker"), QString::number(share), QString::number(seed * 1000 + quint32(i))});
        processes << process;
    }
    WorkflowSoakFigures total;
    bool allRan = true;
    for (QProcess *process : processes) {
        process->waitForFinished(-1);
        const QString out = QString::fromLocal8Bit(process->readAllStandardOutput());
        const int at = out.lastIndexOf(QLatin1String("FIGURES "));
        if (at < 0 || process->exitCode() != 0)
            allRan = false;
        if (at >= 0)
            total.add(WorkflowSoakFigures::fromLine(out.mid(at + 8).section(QLatin1Char('\n'), 0, 0)));
    }
    total.seconds = clock.elapsed() / 1000.0;
    std::printf("%s\n", qPrintable(total.text(seed)));
    std::printf("workflow soak: %d worker processes, seeds %u to %u\n", workers, seed * 1000,
                seed * 1000 + quint32(workers) - 1);
    return allRan && total.n[WorkflowSoakFigures::Corrupt] == 0 && total.n[WorkflowSoakFigures::NoVerdict] == 0 ? 0 : 1;
}
