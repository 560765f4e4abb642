#include "support/workflowsoak.h"

#include <QCoreApplication>
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

// One fault planned for a run.
struct Plan
{
    enum Kind {
        Lose,
        Late,
        Twice,
        Unsolicited,
        DropLink
    } kind = Lose;
    quint8 code = 0;
    int position = 0; // matching answers let through first, or requests/frames before it
    int ms = 0;
};

// The answers a run of a workflow draws: command code, how many, and the
// time the client waits for each.
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

void WorkflowSoakFigures::add(const WorkflowSoakFigures &o)
{
    runs += o.runs;
    unfaulted += o.unfaulted;
    serialRuns += o.serialRuns;
    tcpRuns += o.tcpRuns;
    for (int i = 0; i < WorkflowCount; ++i)
        byWorkflow[i] += o.byWorkflow[i];
    lost += o.lost;
    late += o.late;
    twice += o.twice;
    unsolicited += o.unsolicited;
    linkDrops += o.linkDrops;
    verified += o.verified;
    failed += o.failed;
    corrupt += o.corrupt;
    noVerdict += o.noVerdict;
    startsOver += o.startsOver;
    seconds = qMax(seconds, o.seconds);
}

QString WorkflowSoakFigures::line() const
{
    QStringList numbers;
    for (int n : {runs, unfaulted, serialRuns, tcpRuns, byWorkflow[0], byWorkflow[1], byWorkflow[2], byWorkflow[3],
                  lost, late, twice, unsolicited, linkDrops, verified, failed, corrupt, noVerdict, startsOver})
        numbers << QString::number(n);
    numbers << QString::number(seconds, 'f', 1);
    return numbers.join(QLatin1Char(' '));
}

WorkflowSoakFigures WorkflowSoakFigures::fromLine(const QString &text)
{
    WorkflowSoakFigures n;
    const QStringList v = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (v.size() != 19)
        return n;
    int *fields[] = {&n.runs,          &n.unfaulted,     &n.serialRuns,    &n.tcpRuns,     &n.byWorkflow[0],
                     &n.byWorkflow[1], &n.byWorkflow[2], &n.byWorkflow[3], &n.lost,        &n.late,
                     &n.twice,         &n.unsolicited,   &n.linkDrops,     &n.verified,    &n.failed,
                     &n.corrupt,       &n.noVerdict,     &n.startsOver};
    for (int i = 0; i < 18; ++i)
        *fields[i] = v[i].toInt();
    n.seconds = v[18].toDouble();
    return n;
}

QString WorkflowSoakFigures::text(quint32 seed) const
{
    return QStringLiteral("workflow soak: seed %1, %2 runs with faults in %3 s (pty %4, TCP %5; firmware %6, chip %7, "
                          "upload %8, download %9), %10 more runs ended before their fault came due\n")
               .arg(seed)
               .arg(runs)
               .arg(seconds, 0, 'f', 1)
               .arg(serialRuns)
               .arg(tcpRuns)
               .arg(byWorkflow[Firmware])
               .arg(byWorkflow[Chip])
               .arg(byWorkflow[Upload])
               .arg(byWorkflow[Download])
               .arg(unfaulted)
        + QStringLiteral("workflow soak: faults injected %1: answers lost %2, late %3, twice %4, unsolicited %5, "
                         "link drops %6\n")
              .arg(faults())
              .arg(lost)
              .arg(late)
              .arg(twice)
              .arg(unsolicited)
              .arg(linkDrops)
        + QStringLiteral("workflow soak: verified-complete %1, reported-failed %2, silently-corrupt %3, without a "
                         "verdict %4; transfers started over %5")
              .arg(verified)
              .arg(failed)
              .arg(corrupt)
              .arg(noVerdict)
              .arg(startsOver);
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

bool WorkflowSoak::pump(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(20);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
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
    pump([] { return false; }, 150); // the request for log lines is answered
    return true;
}

bool WorkflowSoak::run(int runs, QString *problem)
{
    QElapsedTimer clock;
    clock.start();
    for (int index = 0; figures.runs < runs; ++index) {
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
    const auto workflow = Figures::Workflow(index % Figures::WorkflowCount);
    const bool serial = (index / Figures::WorkflowCount) % 2 == 0;
    if (!ensureLink(serial, problem))
        return false;
    f.click(QStringLiteral("btClearLogs"));

    // The source and the answers the run will draw.
    QByteArray source;
    QList<QByteArray> records;
    QList<Answers> answers;
    const QString local = m_dir.filePath(QStringLiteral("run-%1").arg(index));
    switch (workflow) {
    case Figures::Firmware: {
        source = randomBytes(m_rng, between(1, 4096));
        answers = {{Command::OtaBegin, 1, 1000}, {Command::OtaFrame, (source.size() + 255) / 256, 500},
                   {Command::OtaEnd, 1, 3000}};
        break;
    }
    case Figures::Chip:
        for (int i = between(1, 24); i > 0; --i) {
            records << randomBytes(m_rng, between(0, 200));
            source += record(records.last());
        }
        while (source.size() < 6) { // room for the version bytes
            records << randomBytes(m_rng, 8);
            source += record(records.last());
        }
        answers = {{Command::PnOtaBegin, 1, 3000}, {Command::PnOtaFrame, records.size(), 800},
                   {Command::PnOtaFinish, 1, 800}};
        break;
    case Figures::Upload:
        source = randomBytes(m_rng, between(0, 3000));
        answers = {{Command::FileOpen, 1, 3000},
                   {Command::FileWrite, qMax(1, (source.size() + 127) / 128), 3000},
                   {Command::FileClose, 1, 3000}};
        break;
    case Figures::Download:
        source = randomBytes(m_rng, between(0, 3000));
        reader->files().setFile(SimFileSystem::kConfigName, source);
        answers = {{Command::FileOpen, 1, 3000},
                   {Command::FileRead, source.size() / reader->files().readChunkSize() + 1, 3000},
                   {Command::FileClose, 1, 3000}};
        break;
    default:
        break;
    }
    if (workflow != Figures::Download) {
        QFile file(local);
        if (!file.open(QIODevice::WriteOnly) || file.write(source) != source.size()) {
            *problem = QStringLiteral("cannot write %1").arg(local);
            return false;
        }
    }
    int totalAnswers = 0;
    for (const Answers &a : answers)
        totalAnswers += a.count;

    // One to three faults, each at a place the run will reach.
    QList<Plan> plans;
    const int planned = between(0, 9) < 6 ? 1 : between(2, 3);
    int settleMs = 300;
    for (int i = 0; i < planned; ++i) {
        Plan plan;
        const int roll = between(0, 99);
        plan.kind = roll < 30 ? Plan::Lose
            : roll < 50       ? Plan::Late
            : roll < 70       ? Plan::Twice
            : roll < 85       ? Plan::Unsolicited
                              : Plan::DropLink;
        const Answers &target = answers.at(between(0, answers.size() - 1));
        plan.code = target.code;
        plan.position = between(0, target.count - 1);
        if (plan.kind == Plan::Late)
            plan.ms = target.timeoutMs + between(200, 600);
        else if (plan.kind == Plan::Twice)
            plan.ms = between(0, 2) == 0 ? 0 : between(20, 1500);
        else if (plan.kind == Plan::Unsolicited || plan.kind == Plan::DropLink)
            plan.position = between(1, totalAnswers);
        settleMs = qMax(settleMs, plan.ms + 300);
        plans << plan;
    }

    const int lostBefore = faults->hits(SimAnswerFaults::Kind::Lose);
    const int lateBefore = faults->hits(SimAnswerFaults::Kind::Late);
    const int twiceBefore = faults->hits(SimAnswerFaults::Kind::Twice);
    const int dropsBefore = faults->linkDrops();
    int unsolicitedSent = 0;
    QList<QPair<int, QByteArray>> unsolicited; // after this many requests, this answer
    for (const Plan &plan : plans) {
        SimAnswerFaults::Rule rule;
        rule.code = plan.code;
        rule.count = plan.position;
        rule.ms = plan.ms;
        switch (plan.kind) {
        case Plan::Lose:
            rule.kind = SimAnswerFaults::Kind::Lose;
            faults->add(rule);
            break;
        case Plan::Late:
            rule.kind = SimAnswerFaults::Kind::Late;
            faults->add(rule);
            break;
        case Plan::Twice:
            rule.kind = SimAnswerFaults::Kind::Twice;
            faults->add(rule);
            break;
        case Plan::Unsolicited: {
            QByteArray payload = QByteArray::fromHex("00") + char(plan.code);
            if (plan.code == Command::FileRead)
                payload += randomBytes(m_rng, between(0, 100));
            unsolicited << qMakePair(plan.position, payload);
            break;
        }
        case Plan::DropLink:
            faults->dropLinkAfter(plan.position);
            break;
        }
    }
    int requests = 0;
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

    // The run, from the button the user presses.
    w->fileChooser = [local](const QString &, const QString &, bool) { return local; };
    const char *button = workflow == Figures::Firmware ? "btFlashFirmware"
        : workflow == Figures::Chip                    ? "btPNUpdate"
        : workflow == Figures::Upload                  ? "btUploadConfig"
                                                       : "btDownloadConfig";
    QElapsedTimer runClock;
    runClock.start();
    f.click(QString::fromLatin1(button));
    const QString success = workflow == Figures::Firmware ? QStringLiteral("Firmware flashed.")
        : workflow == Figures::Chip ? QStringLiteral("Firmware size %1, data written %1").arg(source.size())
        : workflow == Figures::Upload ? QStringLiteral("File closed. Restarting...")
                                      : QStringLiteral("File closed. Size ");
    const QStringList failures = {QStringLiteral("Flash firmware aborted"), QStringLiteral("failed"),
                                  QStringLiteral("Error 0x"), QStringLiteral("Timeout - Please recconnect"),
                                  QStringLiteral("Unable to open serial port. Please")};
    const auto reported = [&](const QString &log) {
        for (const QString &failure : failures) {
            if (log.contains(failure))
                return true;
        }
        return false;
    };
    const bool ended = pump(
        [&] {
            if (w->runningWorkflow() != MainWindow::Workflow::None)
                return false;
            const QString log = f.logText();
            return log.contains(success) || reported(log);
        },
        120000);
    pump([] { return false; }, settleMs); // answers still on their way land in this run
    QObject::disconnect(hook);
    faults->clear();
    const QString log = f.logText();
    if (qEnvironmentVariableIsSet("RX_WORKFLOW_SOAK_TRACE"))
        qInfo("run %d: %s over %s, %d fault(s) planned, %.1f s", index, kWorkflowNames[workflow], serial ? "pty" : "TCP",
              int(plans.size()), runClock.elapsed() / 1000.0);
    if (!ended) {
        *problem = QStringLiteral("run %1 (%2 over %3) did not end; the log:\n%4")
                       .arg(index)
                       .arg(QLatin1String(kWorkflowNames[workflow]), serial ? "pty" : "TCP", log.right(3000));
        ++figures.noVerdict;
        return false;
    }

    const int lost = faults->hits(SimAnswerFaults::Kind::Lose) - lostBefore;
    const int late = faults->hits(SimAnswerFaults::Kind::Late) - lateBefore;
    const int twice = faults->hits(SimAnswerFaults::Kind::Twice) - twiceBefore;
    const int drops = faults->linkDrops() - dropsBefore;
    if (lost + late + twice + drops + unsolicitedSent == 0) {
        ++figures.unfaulted;
        return true;
    }
    ++figures.runs;
    (serial ? figures.serialRuns : figures.tcpRuns) += 1;
    ++figures.byWorkflow[workflow];
    figures.lost += lost;
    figures.late += late;
    figures.twice += twice;
    figures.unsolicited += unsolicitedSent;
    figures.linkDrops += drops;
    figures.startsOver += log.count(QStringLiteral(" again (attempt "));

    if (!log.contains(success)) {
        ++(reported(log) ? figures.failed : figures.noVerdict);
        return true;
    }
    QByteArray result;
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
    default: {
        QFile saved(local);
        same = saved.open(QIODevice::ReadOnly) && saved.readAll() == source;
        break;
    }
    }
    if (same) {
        ++figures.verified;
    } else {
        ++figures.corrupt;
        qWarning("workflow soak: run %d (%s over %s) reported success, but the result differs; the log:\n%s", index,
                 kWorkflowNames[workflow], serial ? "pty" : "TCP", qPrintable(log.right(3000)));
    }
    return true;
}
