#include "support/workflowsoak.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTabWidget>
#include <QTimer>

#include "sim/simfaults.h"
#include "sim/simfiles.h"
#include "sim/simota.h"
#include "support/windowfixture.h"

namespace {

const char *const kWorkflowNames[] = {"firmware", "chip", "upload", "download"};

struct Answers
{
    quint8 code;
    int count;
    int timeoutMs;
};

QByteArray randomBytes(std::mt19937 &rng, int size)
{
    QByteArray out(size, '\0');
    for (int i = 0; i < size; ++i)
        out[i] = char(rng() & 0xFF);
    return out;
}

QByteArray record(const QByteArray &body)
{
    QByteArray out;
    out.append(char(body.size() >> 8)).append(char(body.size() & 0xFF));
    return out + body;
}

} // namespace

// ---------------------------------------------------------------- figures

void WorkflowSoakFigures::add(const WorkflowSoakFigures &other)
{
    for (int i = 0; i < CounterCount; ++i)
        n[i] += other.n[i];
    seconds = qMax(seconds, other.seconds);
}

QString WorkflowSoakFigures::line() const
{
    QStringList numbers;
    for (int value : n)
        numbers << QString::number(value);
    return numbers.join(QLatin1Char(' ')) + QStringLiteral(" %1").arg(seconds, 0, 'f', 1);
}

WorkflowSoakFigures WorkflowSoakFigures::fromLine(const QString &text)
{
    WorkflowSoakFigures figures;
    const QStringList values = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (values.size() != CounterCount + 1)
        return figures;
    for (int i = 0; i < CounterCount; ++i)
        figures.n[i] = values[i].toInt();
    figures.seconds = values.last().toDouble();
    return figures;
}

QString WorkflowSoakFigures::text(quint32 seed) const
{
    const auto line = [this](const char *format, std::initializer_list<Counter> counters) {
        QString text = QString::fromLatin1(format);
        for (Counter counter : counters)
            text = text.arg(n[counter]);
        return text;
    };
    return QStringLiteral("workflow soak: seed %1, ").arg(seed)
        + line("%1 runs with faults (pty %2, TCP %3; firmware %4, chip %5, upload %6, download %7), %8 more runs "
               "ended before their fault came due",
               {Runs, SerialRuns, TcpRuns, FirmwareRuns, ChipRuns, UploadRuns, DownloadRuns, Unfaulted})
        + QStringLiteral(", %1 s\nworkflow soak: faults injected %2: ").arg(seconds, 0, 'f', 1).arg(faults())
        + line("answers lost %1, late %2, twice %3, unsolicited %4, link drops %5\n",
               {Lost, Late, Twice, Unsolicited, LinkDrops})
        + line("workflow soak: verified-complete %1, reported-failed %2, silently-corrupt %3, without a verdict %4; "
               "transfers started over %5",
               {Verified, Failed, Corrupt, NoVerdict, StartsOver});
}

// ---------------------------------------------------------------- soak

WorkflowSoak::WorkflowSoak(WindowFixture &fixture, quint32 seed)
    : f(fixture)
    , m_rng(seed)
{
    SimReader *reader = f.reader();
    SimOta *ota = SimOta::of(reader);
    ota->setEraseTime(20);
    ota->setReconnectTime(150);
    // The restart after a transfer is not what is soaked here.
    reader->registerCommand(Command::Reboot, [](SimRequest &req) { req.silent(); });
}

bool WorkflowSoak::ensureLink(bool serial, QString *problem)
{
    MainWindow *w = f.window();
    if (serial ? w->serial.isOpen() : w->tcpConnected)
        return true;
    if (w->serial.isOpen())
        w->closeSerialPort();
    if (w->tcpConnected)
        w->disconnectHost();
    f.widget<QTabWidget>(QStringLiteral("tabWidget"))->setCurrentIndex(serial ? 0 : 1);
    if (!(serial ? f.connectSerial() : f.connectTcp())) {
        *problem = QStringLiteral("no %1 link to the reader").arg(serial ? "pty" : "TCP");
        return false;
    }
    runUntil([] { return false; }, 150); // the request for log lines is answered
    return true;
}

bool WorkflowSoak::run(int runs, QString *problem)
{
    QElapsedTimer clock;
    clock.start();
    for (int index = 0; figures.n[WorkflowSoakFigures::Runs] < runs; ++index) {
        if (!runOnce(index, problem))
            return false;
    }
    figures.seconds = clock.elapsed() / 1000.0;
    return true;
}

bool WorkflowSoak::runOnce(int index, QString *problem)
{
    using Figures = WorkflowSoakFigures;
    MainWindow *w = f.window();
    SimReader *reader = f.reader();
    SimAnswerFaults *faults = SimAnswerFaults::of(reader);
    SimOta *ota = SimOta::of(reader);
    const auto workflow = Figures::Workflow(index % 4);
    const bool serial = (index / 4) % 2 == 0;
    if (!ensureLink(serial, problem))
        return false;
    f.click(QStringLiteral("btClearLogs"));

    // The source, and the answers the run will draw: code, how many, and
    // how long the client waits for each.
    QByteArray source;
    QList<QByteArray> records;
    QList<Answers> answers;
    const QString local = m_dir.filePath(QStringLiteral("run-%1").arg(index));
    switch (workflow) {
    case Figures::Firmware:
        source = randomBytes(m_rng, between(1, 4096));
        answers = {{Command::OtaBegin, 1, 1000},
                   {Command::OtaFrame, (source.size() + 255) / 256, 500},
                   {Command::OtaEnd, 1, 3000}};
        break;
    case Figures::Chip:
        while (records.isEmpty() || source.size() < 6 || between(0, 20) > 0) {
            records << randomBytes(m_rng, between(0, 200));
            source += record(records.last());
        }
        answers = {
            {Command::PnOtaBegin, 1, 3000}, {Command::PnOtaFrame, records.size(), 800}, {Command::PnOtaFinish, 1, 800}};
        break;
    case Figures::Upload:
    case Figures::Download:
        source = randomBytes(m_rng, between(0, 3000));
        answers = {{Command::FileOpen, 1, 3000}, {Command::FileClose, 1, 3000}};
        if (workflow == Figures::Upload)
            answers << Answers {Command::FileWrite, qMax(1, (source.size() + 127) / 128), 3000};
        else
            answers << Answers {Command::FileRead, source.size() / reader->files().readChunkSize() + 1, 3000};
        break;
    }
    if (workflow == Figures::Download) {
        reader->files().setFile(SimFileSystem::kConfigName, source);
    } else {
        if (!writeFile(local, source)) {
            *problem = QStringLiteral("cannot write %1").arg(local);
            return false;
        }
    }
    int totalAnswers = 0;
    for (const Answers &a : answers)
        totalAnswers += a.count;

    // One to three faults, each at a place the run will reach.
    QList<QPair<int, QByteArray>> unsolicited; // after this many requests, this answer
    int settleMs = 300;
    for (int planned = between(0, 9) < 6 ? 1 : between(2, 3); planned > 0; --planned) {
        const Answers &target = answers.at(between(0, answers.size() - 1));
        SimAnswerFaults::Rule rule;
        rule.code = target.code;
        rule.count = between(0, target.count - 1);
        const int roll = between(0, 99);
        if (roll < 30) {
            rule.kind = SimAnswerFaults::Kind::Lose;
        } else if (roll < 50) {
            rule.kind = SimAnswerFaults::Kind::Late;
            rule.ms = target.timeoutMs + between(200, 600);
        } else if (roll < 70) {
            rule.kind = SimAnswerFaults::Kind::Twice;
            rule.ms = between(0, 2) == 0 ? 0 : between(20, 1500);
        } else if (roll < 85) {
            QByteArray payload = QByteArray::fromHex("00") + char(target.code);
            if (target.code == Command::FileRead)
                payload += randomBytes(m_rng, between(0, 100));
            unsolicited << qMakePair(between(1, totalAnswers), payload);
            continue;
        } else {
            faults->dropLinkAfter(between(1, totalAnswers));
            continue;
        }
        faults->add(rule);
        settleMs = qMax(settleMs, rule.ms + 300);
    }
    int before[3];
    for (int kind = 0; kind < 3; ++kind)
        before[kind] = faults->hits(SimAnswerFaults::Kind(kind));
    const int dropsBefore = faults->linkDrops();
    int requests = 0;
    int unsolicitedSent = 0;
    const QMetaObject::Connection hook
        = QObject::connect(reader, &SimReader::requestReceived, [&](quint8 code, const QByteArray &) {
              if (code == Command::DeviceLog)
                  return;
              ++requests;
              for (const auto &u : unsolicited) {
                  if (u.first == requests) {
                      reader->sendFrame(u.second);
                      ++unsolicitedSent;
                  }
              }
          });

    // The run, from the button the user presses, until the window reports
    // success or failure and answers still on their way have landed.
    static const char *const buttons[] = {"btFlashFirmware", "btPNUpdate", "btUploadConfig", "btDownloadConfig"};
    w->fileChooser = [local](const QString &, const QString &, bool) { return local; };
    f.click(QString::fromLatin1(buttons[workflow]));
    const QString success = workflow == Figures::Firmware ? QStringLiteral("Firmware flashed.")
        : workflow == Figures::Chip   ? QStringLiteral("Firmware size %1, data written %1").arg(source.size())
        : workflow == Figures::Upload ? QStringLiteral("File closed. Restarting...")
                                      : QStringLiteral("File closed. Size ");
    const auto reported = [](const QString &log) {
        for (const char *failure : {"Flash firmware aborted", "failed", "Error 0x", "Timeout - Please recconnect",
                                    "Unable to open serial port. Please"}) {
            if (log.contains(QLatin1String(failure)))
                return true;
        }
        return false;
    };
    const bool ended = runUntil(
        [&] {
            const QString log = f.logText();
            return w->runningWorkflow() == MainWindow::Workflow::None && (log.contains(success) || reported(log));
        },
        120000);
    runUntil([] { return false; }, settleMs);
    QObject::disconnect(hook);
    faults->clear();
    const QString log = f.logText();
    if (!ended) {
        *problem = QStringLiteral("run %1 (%2 over %3) did not end; the log:\n%4")
                       .arg(index)
                       .arg(QLatin1String(kWorkflowNames[workflow]), serial ? "pty" : "TCP", log.right(3000));
        ++figures.n[Figures::NoVerdict];
        return false;
    }

    int *n = figures.n;
    const int injected[]
        = {faults->hits(SimAnswerFaults::Kind::Lose) - before[0], faults->hits(SimAnswerFaults::Kind::Late) - before[1],
           faults->hits(SimAnswerFaults::Kind::Twice) - before[2], unsolicitedSent, faults->linkDrops() - dropsBefore};
    if (injected[0] + injected[1] + injected[2] + injected[3] + injected[4] == 0) {
        ++n[Figures::Unfaulted];
        return true;
    }
    ++n[Figures::Runs];
    ++n[serial ? Figures::SerialRuns : Figures::TcpRuns];
    ++n[workflow];
    for (int i = 0; i < 5; ++i)
        n[Figures::Lost + i] += injected[i];
    n[Figures::StartsOver] += log.count(QStringLiteral(" again (attempt "));
    if (!log.contains(success)) {
        ++n[reported(log) ? Figures::Failed : Figures::NoVerdict];
        return true;
    }
    bool same = false;
    switch (workflow) {
    case Figures::Firmware:
        same = ota->flashedImage() == source;
        break;
    case Figures::Chip:
        same = ota->chipRecords() == records;
        break;
    case Figures::Upload:
        same = reader->files().configFile() == source;
        break;
    case Figures::Download:
        same = fileBytes(local) == source;
        break;
    }
    ++n[same ? Figures::Verified : Figures::Corrupt];
    if (!same)
        qWarning("workflow soak: run %d (%s over %s) reported success, but the result differs; the log:\n%s", index,
                 kWorkflowNames[workflow], serial ? "pty" : "TCP", qPrintable(log.right(3000)));
    return true;
}
