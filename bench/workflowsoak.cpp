#include "workflowsoak.h"

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
const char *const kClassNames[] = {"single", "doubled+lost-request", "around-eof", "errors"};

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

QString hexCode(quint8 code)
{
    return QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

// The answers a run draws: code, how many, how long the client waits for
// each, and the error the reader would give instead. The transfer's repeated
// step is the second.
struct WorkflowSoak::Answers
{
    quint8 code;
    int count;
    int timeoutMs;
    quint16 error;
};

// The faults a run places besides the rules on the reader's answers and
// requests, what it says about them, and how long answers may still come.
struct WorkflowSoak::Plan
{
    QStringList text;
    int settleMs = 300;
    QList<QPair<int, QByteArray>> unsolicited; // after this many requests, this answer
    quint8 failCode = 0; // error failError to the requests with failCode...
    quint16 failError = 0;
    int failAt = 0; // ...from the failAt-th on, failTimes times in a row
    int failTimes = 0;
    QByteArray aroundEnd; // an FREAD answer sent unasked at the end of the file...
    int afterEndMs = -1; // ...this long after the reader's answer there (-1: just before it)
};

// ---------------------------------------------------------------- figures

int WorkflowSoakFigures::faults() const
{
    int sum = 0;
    for (int i = Lost; i <= ReadsPastEnd; ++i)
        sum += n[i];
    return sum;
}

void WorkflowSoakFigures::add(const WorkflowSoakFigures &other)
{
    for (int i = 0; i < CounterCount; ++i)
        n[i] += other.n[i];
    for (int c = 0; c < ClassCount; ++c) {
        for (int i = 0; i < 5; ++i)
            byClass[c][i] += other.byClass[c][i];
    }
    seconds = qMax(seconds, other.seconds);
}

QString WorkflowSoakFigures::line() const
{
    QStringList numbers;
    for (int value : n)
        numbers << QString::number(value);
    for (const auto &counts : byClass) {
        for (int value : counts)
            numbers << QString::number(value);
    }
    return numbers.join(QLatin1Char(' ')) + QStringLiteral(" %1").arg(seconds, 0, 'f', 1);
}

WorkflowSoakFigures WorkflowSoakFigures::fromLine(const QString &text)
{
    WorkflowSoakFigures figures;
    const QStringList values = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (values.size() != CounterCount + ClassCount * 5 + 1)
        return figures;
    for (int i = 0; i < CounterCount; ++i)
        figures.n[i] = values[i].toInt();
    for (int i = 0; i < ClassCount * 5; ++i)
        figures.byClass[i / 5][i % 5] = values[CounterCount + i].toInt();
    figures.seconds = values.last().toDouble();
    return figures;
}

QString WorkflowSoakFigures::text(quint32 seed) const
{
    const auto line = [](const char *format, std::initializer_list<int> counts) {
        QString text = QString::fromLatin1(format);
        for (int count : counts)
            text = text.arg(count);
        return text;
    };
    QString text = QStringLiteral("workflow soak: seed %1, ").arg(seed)
        + line("%1 runs with faults (pty %2, TCP %3; firmware %4, chip %5, upload %6, download %7), %8 more runs "
               "ended before their fault came due",
               {n[Runs], n[SerialRuns], n[TcpRuns], n[FirmwareRuns], n[ChipRuns], n[UploadRuns], n[DownloadRuns],
                n[Unfaulted]})
        + QStringLiteral(", %1 s\nworkflow soak: faults injected %2: ").arg(seconds, 0, 'f', 1).arg(faults())
        + line("answers lost %1, late %2, twice %3, requests lost %4, answers unsolicited %5, link drops %6, error "
               "answers %7, errors after the end of a file %8\n",
               {n[Lost], n[Late], n[Twice], n[LostRequests], n[Unsolicited], n[LinkDrops], n[ErrorAnswers],
                n[ReadsPastEnd]});
    // Four verdict counts in a row, verified-complete first.
    const auto verdicts = [](const int *v) {
        return QStringLiteral("verified-complete %1, reported-failed %2, silently-corrupt %3, without a verdict %4")
            .arg(v[0])
            .arg(v[1])
            .arg(v[2])
            .arg(v[3]);
    };
    for (int c = 0; c < ClassCount; ++c)
        text += QStringLiteral("workflow soak: %1: %2 runs, %3\n")
                    .arg(QLatin1String(kClassNames[c]))
                    .arg(byClass[c][0])
                    .arg(verdicts(byClass[c] + 1));
    return text
        + QStringLiteral("workflow soak: all: %1; transfers started over %2")
              .arg(verdicts(n + Verified))
              .arg(n[StartsOver]);
}

// ---------------------------------------------------------------- soak

WorkflowSoak::WorkflowSoak(WindowFixture &fixture, quint32 seed)
    : f(fixture)
    , m_seed(seed)
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

namespace {

// Each workflow takes the classes that fit it in turn (around-eof only where
// a file is read), starting at different places, so that the first eight runs
// of a soak hold every class.
WorkflowSoakFigures::RunClass classOf(int index, WorkflowSoakFigures::Workflow workflow)
{
    using Figures = WorkflowSoakFigures;
    static const QList<Figures::RunClass> reading {Figures::Single, Figures::DoubledLostRequest, Figures::AroundEof,
                                                   Figures::Errors};
    static const QList<Figures::RunClass> other {Figures::Single, Figures::DoubledLostRequest, Figures::Errors};
    const QList<Figures::RunClass> &classes
        = workflow == Figures::Upload || workflow == Figures::Download ? reading : other;
    return classes[(index / 4 + 2 * workflow) % classes.size()];
}

} // namespace

// One to three faults, each at a place the run will reach.
void WorkflowSoak::planSingle(const QList<Answers> &answers, Plan &plan)
{
    SimAnswerFaults *faults = SimAnswerFaults::of(f.reader());
    int totalAnswers = 0;
    for (const Answers &a : answers)
        totalAnswers += a.count;
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
            plan.unsolicited << qMakePair(between(1, totalAnswers), payload);
            plan.text << QStringLiteral("answer %1 unasked after request %2")
                             .arg(QString::fromLatin1(payload.toHex(' ').left(20)))
                             .arg(plan.unsolicited.last().first);
            continue;
        } else {
            const int frames = between(1, totalAnswers);
            faults->dropLinkAfter(frames);
            plan.text << QStringLiteral("link drop after %1 frames").arg(frames);
            continue;
        }
        faults->add(rule);
        plan.text << SimAnswerFaults::describe(rule);
        plan.settleMs = qMax(plan.settleMs, rule.ms + 300);
    }
}

bool WorkflowSoak::runOnce(int index, QString *problem)
{
    using Figures = WorkflowSoakFigures;
    MainWindow *w = f.window();
    SimReader *reader = f.reader();
    SimAnswerFaults *faults = SimAnswerFaults::of(reader);
    SimOta *ota = SimOta::of(reader);
    SimFileSystem &files = reader->files();
    const auto workflow = Figures::Workflow(index % 4);
    const bool serial = (index / 4 + index / 16) % 2 == 0;
    const Figures::RunClass runClass = classOf(index, workflow);
    const bool doubled = runClass == Figures::DoubledLostRequest; // the repeated step comes twice at least
    if (!ensureLink(serial, problem))
        return false;
    f.click(QStringLiteral("btClearLogs"));

    // The source, and the answers the run will draw.
    QByteArray source;
    QList<QByteArray> records;
    QList<Answers> answers;
    const QString local = m_dir.filePath(QStringLiteral("run-%1").arg(index));
    switch (workflow) {
    case Figures::Firmware:
        source = randomBytes(m_rng, between(doubled ? 257 : 1, 4096));
        answers = {{Command::OtaBegin, 1, 1000, SimOta::kErrorInjected},
                   {Command::OtaFrame, int((source.size() + 255) / 256), 500, SimOta::kErrorInjected},
                   {Command::OtaEnd, 1, 3000, SimOta::kErrorImageSize}};
        break;
    case Figures::Chip:
        while (records.size() < (doubled ? 2 : 1) || source.size() < 6 || between(0, 20) > 0) {
            records << randomBytes(m_rng, between(0, 200));
            source += record(records.last());
        }
        answers = {{Command::PnOtaBegin, 1, 3000, SimOta::kErrorChipInjected},
                   {Command::PnOtaFrame, int(records.size()), 800, SimOta::kErrorChipInjected},
                   {Command::PnOtaFinish, 1, 800, SimOta::kErrorChipNoBegin}};
        break;
    case Figures::Upload:
        // A configuration is one JSON object; the window refuses anything else.
        source = jsonPattern(between(doubled ? 200 : 8, 3000), m_rng());
        answers
            = {{Command::FileOpen, 1, 3000, SimFileSystem::kErrorOpenParams},
               {Command::FileWrite, int(qMax(1, (source.size() + 127) / 128)), 3000, SimFileSystem::kErrorFileTooLarge},
               {Command::FileClose, 1, 3000, SimFileSystem::kErrorNotOpen}};
        break;
    case Figures::Download:
        source = randomBytes(m_rng, between(doubled ? 200 : 0, 3000));
        answers
            = {{Command::FileOpen, 1, 3000, SimFileSystem::kErrorNoSuchFile},
               {Command::FileRead, int(source.size() / files.readChunkSize() + 1), 3000, SimFileSystem::kErrorNotOpen},
               {Command::FileClose, 1, 3000, SimFileSystem::kErrorNotOpen}};
        break;
    }
    if (workflow == Figures::Download) {
        files.setFile(SimFileSystem::kConfigName, source);
    } else {
        if (!writeFile(local, source)) {
            *problem = QStringLiteral("cannot write %1").arg(local);
            return false;
        }
    }

    // The faults of the run's class. Rules count the answers (or requests)
    // of their code from the run's start.
    Plan plan;
    switch (runClass) {
    case Figures::Single:
        planSingle(answers, plan);
        break;
    case Figures::DoubledLostRequest: {
        const Answers &step = answers[1];
        SimAnswerFaults::Rule twice;
        twice.kind = SimAnswerFaults::Kind::Twice;
        twice.code = step.code;
        twice.count = between(0, step.count - 2);
        twice.ms = between(1, 5);
        SimAnswerFaults::Rule lost = twice;
        lost.kind = SimAnswerFaults::Kind::LoseRequest;
        lost.ms = 0;
        // Mostly the very next request: the copy may then pass for its answer.
        lost.count = between(0, 2) > 0 ? twice.count + 1 : between(twice.count + 1, step.count - 1);
        for (const SimAnswerFaults::Rule &rule : {twice, lost}) {
            faults->add(rule);
            plan.text << SimAnswerFaults::describe(rule);
        }
        break;
    }
    case Figures::AroundEof: {
        files.setErrorAfterEnd(true);
        const int chunk = files.readChunkSize();
        const bool earlier = !source.isEmpty() && between(0, 1) == 0; // an answer of an earlier attempt
        plan.aroundEnd = QByteArray::fromHex("00E1")
            + (earlier ? source.mid(between(0, (source.size() - 1) / chunk) * chunk, chunk)
                       : randomBytes(m_rng, between(1, chunk)));
        plan.afterEndMs = between(0, 1) == 0 ? -1 : between(0, 5);
        plan.text << QStringLiteral("errors after the end of a file; an FREAD answer with %1 bytes%2 unasked %3")
                         .arg(plan.aroundEnd.size() - 2)
                         .arg(earlier ? QStringLiteral(" of the file") : QString())
                         .arg(plan.afterEndMs < 0
                                  ? QStringLiteral("just before the end's answer")
                                  : QStringLiteral("%1 ms after the end's answer").arg(plan.afterEndMs));
        break;
    }
    case Figures::Errors: {
        const Answers &step = answers.at(between(0, answers.size() - 1));
        plan.failCode = step.code;
        plan.failError = step.error;
        plan.failAt = between(1, step.count);
        plan.failTimes = between(1, 2);
        plan.text << QStringLiteral("error %1 to request %2 with %3, %4 time(s)")
                         .arg(plan.failError, 4, 16, QLatin1Char('0'))
                         .arg(plan.failAt)
                         .arg(hexCode(plan.failCode))
                         .arg(plan.failTimes);
        break;
    }
    case Figures::ClassCount:
        break;
    }

    int hitsBefore[4];
    for (int kind = 0; kind < 4; ++kind)
        hitsBefore[kind] = faults->hits(SimAnswerFaults::Kind(kind));
    const int dropsBefore = faults->linkDrops();
    const int pastEndBefore = files.readsPastEnd();
    int requests = 0;
    int unsolicitedSent = 0;
    int failingSeen = 0;
    bool endPassed = false;
    const QMetaObject::Connection hook
        = QObject::connect(reader, &SimReader::requestReceived, [&](quint8 code, const QByteArray &) {
              if (code == Command::DeviceLog)
                  return;
              ++requests;
              for (const auto &u : plan.unsolicited) {
                  if (u.first == requests) {
                      reader->sendFrame(u.second);
                      ++unsolicitedSent;
                  }
              }
              if (code == plan.failCode && ++failingSeen == plan.failAt)
                  reader->failCommand(code, plan.failError, plan.failTimes);
              if (!plan.aroundEnd.isEmpty() && !endPassed && code == Command::FileRead && files.nextReadIsEnd()) {
                  endPassed = true;
                  ++unsolicitedSent;
                  if (plan.afterEndMs < 0)
                      reader->sendFrame(plan.aroundEnd);
                  else
                      QTimer::singleShot(plan.afterEndMs, Qt::PreciseTimer, reader,
                                         [reader, answer = plan.aroundEnd] { reader->sendFrame(answer); });
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
    runUntil([] { return false; }, plan.settleMs);
    QObject::disconnect(hook);
    const int errorsGiven = plan.failAt > 0 && failingSeen >= plan.failAt
        ? plan.failTimes - reader->failures().value(plan.failCode).second
        : 0;
    faults->clear();
    reader->clearFailures();
    files.setErrorAfterEnd(false);
    const QString log = f.logText();
    const QString run = QStringLiteral("seed %1, run %2 (%3, %4 over %5; %6)")
                            .arg(m_seed)
                            .arg(index)
                            .arg(QLatin1String(kClassNames[runClass]), QLatin1String(kWorkflowNames[workflow]),
                                 serial ? QStringLiteral("pty") : QStringLiteral("TCP"), plan.text.join("; "));
    if (!ended) {
        *problem = QStringLiteral("%1 did not end; the log:\n%2").arg(run, log.right(3000));
        ++figures.n[Figures::NoVerdict];
        return false;
    }

    int *n = figures.n;
    int injected[Figures::ReadsPastEnd - Figures::Lost + 1] = {};
    for (int kind = 0; kind < 4; ++kind)
        injected[kind] = faults->hits(SimAnswerFaults::Kind(kind)) - hitsBefore[kind];
    injected[Figures::Unsolicited - Figures::Lost] = unsolicitedSent;
    injected[Figures::LinkDrops - Figures::Lost] = faults->linkDrops() - dropsBefore;
    injected[Figures::ErrorAnswers - Figures::Lost] = errorsGiven;
    injected[Figures::ReadsPastEnd - Figures::Lost] = files.readsPastEnd() - pastEndBefore;
    int total = 0;
    for (int i = 0; i <= Figures::ReadsPastEnd - Figures::Lost; ++i) {
        n[Figures::Lost + i] += injected[i];
        total += injected[i];
    }
    if (total == 0) {
        ++n[Figures::Unfaulted];
        return true;
    }
    ++n[Figures::Runs];
    ++n[serial ? Figures::SerialRuns : Figures::TcpRuns];
    ++n[workflow];
    ++figures.byClass[runClass][0];
    n[Figures::StartsOver] += log.count(QStringLiteral(" again (attempt "));
    Figures::Counter verdict = Figures::Corrupt;
    if (!log.contains(success)) {
        verdict = reported(log) ? Figures::Failed : Figures::NoVerdict;
    } else {
        bool same = false;
        switch (workflow) {
        case Figures::Firmware:
            same = ota->flashedImage() == source;
            break;
        case Figures::Chip:
            same = ota->chipRecords() == records;
            break;
        case Figures::Upload:
            same = files.configFile() == source;
            break;
        case Figures::Download:
            same = fileBytes(local) == source;
            break;
        }
        if (same)
            verdict = Figures::Verified;
    }
    ++n[verdict];
    ++figures.byClass[runClass][1 + verdict - Figures::Verified];
    if (verdict == Figures::Corrupt)
        qWarning("workflow soak: %s reported success, but the result differs; the log:\n%s", qPrintable(run),
                 qPrintable(log.right(3000)));
    return true;
}
