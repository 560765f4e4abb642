// rx-provision: works on many readers from a terminal, several at once,
// with one JSON object per reader and command on standard output, progress
// on standard error and an optional report file. Exit status: 0 when every
// reader succeeded, 1 when one failed, 2 when the command line or an input
// was refused before any reader was touched.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "app/version.h"
#include "common/safefile.h"
#include "config/configcheck.h"
#include "console/catalogue.h"
#include "console/requestbuilder.h"
#include "link/binaryprotocol.h"
#include "workflows/networkconfig.h"
#include "provision/announcementlistener.h"
#include "provision/progressdisplay.h"
#include "provision/provisionjob.h"
#include "discovery/announcement.h"
#include "workflows/configbackups.h"
#include "workflows/configtransferworkflow.h"
#include "workflows/firmwarefiles.h"

namespace {

std::atomic<bool> interrupted {false};

void onInterrupt(int)
{
    interrupted = true;
}

void say(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    fflush(stream);
}

int usageError(const QString &message)
{
    say(stderr, QStringLiteral("rx-provision: ") + message);
    say(stderr, QStringLiteral("Try 'rx-provision --help'."));
    return 2;
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString csvValue(const QJsonValue &value)
{
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble())
        return QString::number(value.toDouble());
    if (value.isArray()) {
        QStringList items;
        for (const QJsonValue &item : value.toArray())
            items << (item.isObject() ? QString::fromUtf8(QJsonDocument(item.toObject()).toJson(QJsonDocument::Compact))
                                      : csvValue(item));
        return items.join(QStringLiteral("; "));
    }
    return value.toString();
}

// .json: the array of every result; .csv: one row per reader and step, the
// columns every result has first, then whatever any command yields.
QByteArray reportBytes(const QString &path, const QJsonArray &results)
{
    if (!path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
        return QJsonDocument(results).toJson();
    QStringList columns {QStringLiteral("target"), QStringLiteral("command"), QStringLiteral("ok"),
                         QStringLiteral("detail"), QStringLiteral("elapsed_ms")};
    QStringList more;
    for (const QJsonValue &value : results) {
        for (const QString &key : value.toObject().keys()) {
            if (!columns.contains(key) && !more.contains(key))
                more << key;
        }
    }
    more.sort();
    if (more.removeOne(QStringLiteral("step")))
        columns.insert(2, QStringLiteral("step"));
    columns += more;
    QByteArray csv = columns.join(QLatin1Char(',')).toUtf8() + '\n';
    for (const QJsonValue &value : results) {
        QStringList fields;
        for (const QString &column : qAsConst(columns))
            fields << csvField(csvValue(value.toObject().value(column)));
        csv += fields.join(QLatin1Char(',')).toUtf8() + '\n';
    }
    return csv;
}

QString fileRefusal(const QString &path, const FileContent &file, qint64 most)
{
    switch (file.status) {
    case FileContent::Read:
        return QString();
    case FileContent::TooLarge:
        return QStringLiteral("%1 is too large (%2 bytes, at most %3)").arg(path).arg(file.size).arg(most);
    case FileContent::CannotOpen:
    case FileContent::ReadFailed:
        break;
    }
    return QStringLiteral("cannot read %1: %2").arg(path, file.error);
}

// network set KEY=VALUE...: the keys of the Network tab, its choices by
// their texts (case, '-' and '_' for spaces do not matter).
QString readNetworkSettings(const QStringList &rest, ProvisionCommand *command)
{
    using namespace NetworkConfig;
    struct Key
    {
        const char *name;
        int sub;
        QStringList choices; // empty: a text, a channel or an address
    };
    const QList<Key> keys {
        {"wifi-mode", WifiMode, {"access point", "client", "off"}},
        {"auth", AuthMode, {"open", "wep", "wpa psk", "wpa2 psk", "wpa/wpa2 psk"}},
        {"channel", Channel, {}},
        {"ssid", Ssid, {}},
        {"password", Password, {}},
        {"address-type", AddressType, {"dhcp", "static"}},
        {"ip", Ip, {}},
        {"netmask", Netmask, {}},
        {"gateway", Gateway, {}},
        {"dns", Dns, {}},
    };
    if (rest.isEmpty())
        return QStringLiteral("network set takes KEY=VALUE settings");
    for (const QString &assignment : rest) {
        const int at = assignment.indexOf(QLatin1Char('='));
        const QString name = assignment.left(qMax(at, 0)).toLower();
        const QString value = assignment.mid(at + 1);
        const auto key = std::find_if(keys.begin(), keys.end(),
                                      [&](const Key &k) { return at > 0 && name == QLatin1String(k.name); });
        if (key == keys.end())
            return QStringLiteral("network set has no setting %1 (wifi-mode, auth, channel, ssid, password, "
                                  "address-type, ip, netmask, gateway, dns)")
                .arg(assignment.left(qMax(at, 0)));
        QString normal = value.toLower();
        normal.replace(QLatin1Char('-'), QLatin1Char(' ')).replace(QLatin1Char('_'), QLatin1Char(' '));
        QString stored = value;
        bool ok = true;
        if (!key->choices.isEmpty()) {
            const int index = key->choices.indexOf(normal);
            ok = index >= 0;
            stored = QString::number(index);
        } else if (key->sub == Channel) {
            const int channel = value.toInt(&ok);
            ok = ok && channel >= ChannelMin && channel <= ChannelMax;
        } else if (isAddressSub(key->sub)) {
            const QStringList parts = value.split(QLatin1Char('.'));
            ok = parts.size() == 4;
            for (const QString &part : parts) {
                bool number = false;
                ok = ok && part.toUInt(&number) <= 255 && number;
            }
        }
        if (!ok)
            return QStringLiteral("%1 is not a value of %2%3")
                .arg(value, QLatin1String(key->name),
                     key->choices.isEmpty() ? QString()
                                            : QStringLiteral(" (") + key->choices.join(QStringLiteral(", ")) + ')');
        command->networkEdits.insert(key->sub, stored);
    }
    return QString();
}

// send NAME [FIELD=VALUE...]: the catalogue command by its name, its fields
// by theirs (case does not matter), packed as the console packs them.
QString readSend(const QStringList &rest, ProvisionCommand *command)
{
    if (rest.isEmpty())
        return QStringLiteral("send takes a command NAME");
    QJsonObject found;
    for (const QJsonValue &entry : readCommandCatalogue()) {
        if (entry.toObject().value(QStringLiteral("name")).toString().compare(rest.first(), Qt::CaseInsensitive) == 0)
            found = entry.toObject();
    }
    if (found.isEmpty())
        return QStringLiteral("no command is named %1").arg(rest.first());
    const QJsonArray fields = found.value(QStringLiteral("args")).toArray();
    QStringList texts;
    for (int i = 0; i < fields.size(); ++i)
        texts << QString();
    for (const QString &assignment : rest.mid(1)) {
        const int at = assignment.indexOf(QLatin1Char('='));
        int index = -1;
        for (int i = 0; i < fields.size() && at > 0; ++i) {
            if (fields.at(i)
                    .toObject()
                    .value(QStringLiteral("name"))
                    .toString()
                    .compare(assignment.left(at), Qt::CaseInsensitive)
                == 0)
                index = i;
        }
        if (index < 0)
            return QStringLiteral("%1 has no field %2")
                .arg(found.value(QStringLiteral("name")).toString(), assignment.left(qMax(at, 0)));
        texts[index] = assignment.mid(at + 1);
    }
    const RequestBuildResult built = RequestBuilder::build(found, texts);
    if (!built.ok())
        return QStringLiteral("the value of %1 is not valid")
            .arg(fields.at(built.failedArgument).toObject().value(QStringLiteral("name")).toString());
    command->data = built.payload;
    return QString();
}

// The command and its input, checked before any reader is touched; the
// reason when refused.
QString readCommand(const QStringList &args, ProvisionCommand *command, const QString &base = QString())
{
    const bool twoWords = args.first() == QLatin1String("config") || args.first() == QLatin1String("address-tag")
        || args.first() == QLatin1String("network");
    const QString words = args.mid(0, twoWords ? 2 : 1).join(QLatin1Char(' '));
    const QStringList rest = args.mid(words.count(QLatin1Char(' ')) + 1);
    command->name = words;
    if (words == QLatin1String("discover"))
        return rest.isEmpty() ? QString() : QStringLiteral("discover takes only --seconds and --network");
    if (words == QLatin1String("version") || words == QLatin1String("address-tag read"))
        return rest.isEmpty() ? QString() : QStringLiteral("%1 takes no arguments").arg(words);
    if (words == QLatin1String("send"))
        return readSend(rest, command);
    if (words == QLatin1String("network set"))
        return readNetworkSettings(rest, command);
    if (words == QLatin1String("scan") || words == QLatin1String("plan")) {
        if (rest.size() != 1)
            return QStringLiteral("%1 takes one %2").arg(words, words == QLatin1String("scan") ? "PORT" : "FILE");
        command->path = rest.first();
        return QString();
    }
    if (words == QLatin1String("address-tag write")) {
        bool ok = false;
        const uint address = rest.value(0).toUInt(&ok, 16);
        if (rest.size() != 1 || !ok || address > 0xFF)
            return QStringLiteral("address-tag write takes one ADDR, 00 to FF in hex");
        command->tagAddress = int(address);
        return QString();
    }
    const bool known = words == QLatin1String("config get") || words == QLatin1String("config put")
        || words == QLatin1String("config diff") || words == QLatin1String("flash")
        || words == QLatin1String("flash-chip");
    if (!known)
        return QStringLiteral("unknown command: ") + args.join(QLatin1Char(' '));
    if (rest.size() != 1)
        return QStringLiteral("%1 takes one %2").arg(words, words == QLatin1String("config get") ? "DIR" : "FILE");
    command->path = base.isEmpty() ? rest.first() : QDir(base).filePath(rest.first());
    if (words == QLatin1String("config get")) {
        if (!QDir().mkpath(command->path))
            return QStringLiteral("cannot make the folder ") + command->path;
        return QString();
    }
    const bool image = words.startsWith(QLatin1String("flash"));
    const qint64 most = image ? FirmwareFiles::MaxFileBytes : ConfigTransferWorkflow::MaxDocumentBytes;
    const FileContent file = readWholeFile(command->path, most);
    const QString problem = fileRefusal(command->path, file, most);
    if (!problem.isEmpty())
        return problem;
    if (file.data.isEmpty())
        return QStringLiteral("%1 is empty").arg(command->path);
    if (words == QLatin1String("flash-chip")) {
        const FirmwareFiles::ChipCheck check
            = FirmwareFiles::checkChipFile(file.data, int(BinaryProtocol().maxPayload()) - 1);
        if (!check.ok)
            return QStringLiteral("%1 refused: %2").arg(command->path, check.problem);
    }
    if (!image) {
        const QString notConfiguration = ConfigCheck::documentProblem(file.data);
        if (!notConfiguration.isEmpty())
            return QStringLiteral("%1 cannot be a configuration, %2").arg(command->path, notConfiguration);
    }
    command->data = file.data;
    command->sha256 = QString::fromLatin1(QCryptographicHash::hash(file.data, QCryptographicHash::Sha256).toHex());
    return QString();
}

// plan FILE: a JSON list of steps, each a command as it is written on the
// command line, as one text ("flash firmware.bin") or a list of words
// (["network", "set", "ssid=Hall 3"]); files relative to the plan's folder.
// Every step is checked before any reader is touched.
QString readPlan(const QString &path, QList<ProvisionCommand> *steps)
{
    const qint64 most = 1024 * 1024;
    const FileContent file = readWholeFile(path, most);
    const QString problem = fileRefusal(path, file, most);
    if (!problem.isEmpty())
        return problem;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.data, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return QStringLiteral("%1 is not JSON: %2 at byte %3")
            .arg(path, parseError.errorString())
            .arg(parseError.offset);
    if (!document.isArray() || document.array().isEmpty())
        return QStringLiteral("%1 is not a list of steps").arg(path);
    const QString base = QFileInfo(path).absolutePath();
    int number = 0;
    for (const QJsonValue &value : document.array()) {
        ++number;
        QStringList words;
        if (value.isString())
            words = QProcess::splitCommand(value.toString());
        for (const QJsonValue &word : value.toArray())
            words << (word.isString() ? word.toString() : QString());
        const QString where = QStringLiteral("%1 step %2: ").arg(path).arg(number);
        if (words.isEmpty() || words.contains(QString()))
            return where + QStringLiteral("a step is a command, as a text or a list of texts");
        ProvisionCommand step;
        step.tagTerminated = words.removeAll(QStringLiteral("--terminated")) > 0;
        if (words.first() == QLatin1String("plan") || words.first() == QLatin1String("scan")
            || words.first() == QLatin1String("discover"))
            return where + QStringLiteral("%1 cannot be a step").arg(words.first());
        const QString refusal = readCommand(words, &step, base);
        if (!refusal.isEmpty())
            return where + refusal;
        *steps << step;
    }
    return QString();
}

QJsonObject notRun(const ProvisionTarget &target, const ProvisionCommand &step, const QString &why)
{
    return {{QStringLiteral("target"), target.text},
            {QStringLiteral("command"), step.name},
            {QStringLiteral("ok"), false},
            {QStringLiteral("detail"), why},
            {QStringLiteral("elapsed_ms"), 0}};
}

} // namespace

namespace {

void printResult(const QJsonObject &result)
{
    say(stdout, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)));
}

// The readers worked on: at most `most` at once, readers on one serial port
// (an RS485 bus) one after another, the steps of each reader in order; a
// reader whose step fails is given no further step, the other readers go on.
class Scheduler
{
public:
    Scheduler(const QList<ProvisionTarget> &targets, const QList<ProvisionCommand> &steps, int most,
              ProgressDisplay *display, bool verbose)
        : waiting(targets)
        , steps(steps)
        , most(most)
        , display(display)
        , verbose(verbose)
    { }

    void startMore()
    {
        for (int i = 0; i < waiting.size() && running < most && !stopping;) {
            const ProvisionTarget target = waiting.at(i);
            const bool serial = target.kind == ProvisionTarget::Serial;
            if (serial && busyPorts.contains(target.port)) {
                ++i;
                continue;
            }
            waiting.removeAt(i);
            if (serial)
                busyPorts.insert(target.port);
            ++running;
            startStep(target, 0);
        }
        if (running == 0 && (waiting.isEmpty() || stopping))
            QCoreApplication::exit(0);
    }

    // Ctrl+C: nothing more is begun, every job running ends as cleanly as
    // the protocol allows.
    void interrupt()
    {
        if (stopping)
            return;
        stopping = true;
        for (const ProvisionTarget &target : qAsConst(waiting)) {
            for (int i = 0; i < steps.size(); ++i)
                record(notRun(target, steps.at(i), QStringLiteral("interrupted before it began")), i);
        }
        waiting.clear();
        allOk = false;
        for (ProvisionJob *job : qAsConst(jobs))
            job->interrupt();
        startMore();
    }

    QJsonArray results;
    bool allOk = true;

private:
    void startStep(const ProvisionTarget &target, int index)
    {
        auto *job = new ProvisionJob(target, steps.at(index));
        jobs.insert(job);
        const QString stepText
            = steps.size() > 1 ? QStringLiteral("step %1, %2: ").arg(index + 1).arg(steps.at(index).name) : QString();
        const QString shown = target.text + QStringLiteral(": ") + stepText;
        QObject::connect(job, &ProvisionJob::progress, job,
                         [this, target, shown, stepText](const QString &line, bool detail) {
                             if (display && !detail)
                                 display->step(target.text, stepText + line);
                             else if (display && verbose)
                                 display->line(shown + line);
                         });
        QObject::connect(job, &ProvisionJob::percent, job, [this, target](int percent) {
            if (display)
                display->percent(target.text, percent);
        });
        QObject::connect(job, &ProvisionJob::finished, job,
                         [this, job, target, shown, index](const QJsonObject &result) {
                             jobs.remove(job);
                             job->deleteLater();
                             const bool ok = result.value(QStringLiteral("ok")).toBool();
                             if (display) {
                                 display->forget(target.text);
                                 display->line(shown
                                               + (ok ? QStringLiteral("done")
                                                     : QStringLiteral("failed: ")
                                                          + result.value(QStringLiteral("detail")).toString()));
                             }
                             record(result, index);
                             allOk = allOk && ok;
                             if (ok && index + 1 < steps.size() && !stopping) {
                                 startStep(target, index + 1);
                                 return;
                             }
                             for (int i = index + 1; i < steps.size(); ++i)
                                 record(notRun(target, steps.at(i),
                                               stopping ? QStringLiteral("interrupted before it began")
                                                        : QStringLiteral("not begun: step %1 failed").arg(index + 1)),
                                        i);
                             if (target.kind == ProvisionTarget::Serial)
                                 busyPorts.remove(target.port);
                             --running;
                             startMore();
                         });
        job->start();
    }

    void record(QJsonObject result, int index)
    {
        if (steps.size() > 1)
            result.insert(QStringLiteral("step"), index + 1);
        printResult(result);
        results.append(result);
    }

    QList<ProvisionTarget> waiting;
    const QList<ProvisionCommand> steps;
    const int most;
    ProgressDisplay *const display;
    const bool verbose;
    QSet<QString> busyPorts;
    QSet<ProvisionJob *> jobs;
    int running = 0;
    bool stopping = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rx-provision"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2").arg(RX_VERSION_MAJOR).arg(RX_VERSION_MINOR));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Works on many readers at once.\n\nCommands:\n"
                       "  version            read each reader's firmware version\n"
                       "  config get DIR     save each reader's config.json as DIR/<target>.json\n"
                       "  config put FILE    upload FILE (backup first, read back), then restart\n"
                       "  config diff FILE   the fields FILE would change on each reader\n"
                       "  flash FILE         device firmware update, then the version after the restart\n"
                       "  flash-chip FILE    RFID chip firmware update (.nwfwu)\n"
                       "  address-tag write ADDR [--terminated]\n"
                       "                     write the address tag on the reader's antenna, read it back\n"
                       "  address-tag read   read the address tag on the reader's antenna\n"
                       "  send NAME [FIELD=VALUE...]\n"
                       "                     any command of the catalogue by its name; the answer decoded\n"
                       "  scan PORT[:BAUD]   the readers on an RS485 bus, addresses 00 to FF\n"
                       "  network set KEY=VALUE...\n"
                       "                     Wi-Fi and IP settings, written and read back; keys:\n"
                       "                     wifi-mode (access-point, client, off), auth (open, wep,\n"
                       "                     wpa-psk, wpa2-psk, wpa/wpa2-psk), channel (1-13), ssid,\n"
                       "                     password, address-type (dhcp, static), ip, netmask,\n"
                       "                     gateway, dns (a.b.c.d)\n"
                       "  discover [--seconds N] [--network CIDR]\n"
                       "                     the readers that announce themselves by UDP (port 63311)\n"
                       "                     within N seconds (10); with --network every host of that\n"
                       "                     network is asked to, once a second\n"
                       "  plan FILE          the steps of a JSON list, in order on each reader; a step\n"
                       "                     is one of the commands above, as a text (\"flash fw.bin\")\n"
                       "                     or a list of words ([\"network\", \"set\", \"ssid=Hall 3\"]),\n"
                       "                     its files relative to the plan's folder; a reader whose\n"
                       "                     step fails is given no further step\n\n"
                       "Progress goes to standard error: on a terminal one line per reader, redrawn\n"
                       "in place; otherwise one line per reader and step."));
    parser.addHelpOption();
    // -v is --verbose here, so the version has its long name only.
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Displays version information."));
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")},
                                  QStringLiteral("A serial port; BAUD 115200 when left out; ADDR an RS485 address "
                                                 "in hex."),
                                  QStringLiteral("PORT[:BAUD][@ADDR]"));
    const QCommandLineOption tcp({QStringLiteral("t"), QStringLiteral("tcp")},
                                 QStringLiteral("A reader on the network; PORT 1234 when left out."),
                                 QStringLiteral("HOST[:PORT]"));
    const QCommandLineOption targetsFile({QStringLiteral("T"), QStringLiteral("targets")},
                                         QStringLiteral("One target per line, in the forms above ('#' starts a "
                                                        "comment)."),
                                         QStringLiteral("FILE"));
    const QCommandLineOption jobs({QStringLiteral("j"), QStringLiteral("jobs")},
                                  QStringLiteral("Readers worked on at once (default: all; readers on one serial "
                                                 "port always one after another)."),
                                  QStringLiteral("N"));
    const QCommandLineOption report({QStringLiteral("r"), QStringLiteral("report")},
                                    QStringLiteral("Also write the report to FILE (.json: one array; .csv: one row "
                                                   "per reader and step)."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption dryRun({QStringLiteral("n"), QStringLiteral("dry-run")},
                                    QStringLiteral("Check every input and reach every reader (version), change "
                                                   "nothing."));
    const QCommandLineOption yes({QStringLiteral("y"), QStringLiteral("yes")},
                                 QStringLiteral("Answer yes to the questions the window would ask."));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("No progress lines."));
    const QCommandLineOption terminated(QStringLiteral("terminated"),
                                        QStringLiteral("address-tag write: mark the record terminated."));
    const QCommandLineOption verbose({QStringLiteral("v"), QStringLiteral("verbose")},
                                     QStringLiteral("Every line of each reader's log as progress."));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("discover: how long to listen (default 10)."), QStringLiteral("N"));
    const QCommandLineOption network(QStringLiteral("network"),
                                     QStringLiteral("discover: ask every host of this network to announce itself "
                                                    "(a.b.c.d/N, N from 16 to 32)."),
                                     QStringLiteral("CIDR"));
    parser.addOptions({versionOption, port, tcp, targetsFile, jobs, report, dryRun, yes, quiet, verbose, terminated,
                       seconds, network});
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("What to do on each reader."));
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(versionOption)) {
        say(stdout, QStringLiteral("rx-provision ") + QCoreApplication::applicationVersion());
        return 0;
    }

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usageError(QStringLiteral("no command given"));
    ProvisionCommand command;
    const QString refusal = readCommand(args, &command);
    if (!refusal.isEmpty())
        return usageError(refusal);
    command.yes = parser.isSet(yes);
    command.tagTerminated = parser.isSet(terminated);
    command.dryRun = parser.isSet(dryRun);
    command.backupRoot = ConfigBackups::defaultRoot();

    const bool discovering = command.name == QLatin1String("discover");
    if (!discovering && (parser.isSet(seconds) || parser.isSet(network)))
        return usageError(QStringLiteral("--seconds and --network are for discover only"));
    QList<ProvisionCommand> steps {command};
    if (command.name == QLatin1String("plan")) {
        steps.clear();
        const QString planRefusal = readPlan(command.path, &steps);
        if (!planRefusal.isEmpty())
            return usageError(planRefusal);
        for (ProvisionCommand &step : steps) {
            step.yes = command.yes;
            step.dryRun = command.dryRun;
            step.backupRoot = command.backupRoot;
        }
    }

    QList<ProvisionTarget> targets;
    QString error;
    for (const QString &text : parser.values(port)) {
        targets << ProvisionTarget::parse(ProvisionTarget::Serial, text, &error);
        if (!error.isEmpty())
            return usageError(error);
    }
    for (const QString &text : parser.values(tcp)) {
        targets << ProvisionTarget::parse(ProvisionTarget::Tcp, text, &error);
        if (!error.isEmpty())
            return usageError(error);
    }
    for (const QString &path : parser.values(targetsFile)) {
        targets << ProvisionTarget::readFile(path, &error);
        if (!error.isEmpty())
            return usageError(error);
    }
    if (command.name == QLatin1String("scan") || discovering) {
        if (!targets.isEmpty())
            return usageError(QStringLiteral("%1 takes no -p, -t or -T").arg(command.name));
    }
    if (command.name == QLatin1String("scan")) {
        targets << ProvisionTarget::parse(ProvisionTarget::Serial, command.path, &error);
        if (!error.isEmpty() || targets.first().address != 0)
            return usageError(QStringLiteral("%1 is not PORT[:BAUD]").arg(command.path));
    }
    int listenSeconds = 10;
    QVector<quint32> scanHosts;
    if (discovering) {
        bool ok = true;
        if (parser.isSet(seconds))
            listenSeconds = parser.value(seconds).toInt(&ok);
        if (!ok || listenSeconds < 1 || listenSeconds > 3600)
            return usageError(QStringLiteral("--seconds wants a number from 1 to 3600"));
        if (parser.isSet(network)) {
            scanHosts = AnnouncementListener::networkHosts(parser.value(network), &error);
            if (!error.isEmpty())
                return usageError(error);
        }
    } else if (targets.isEmpty()) {
        return usageError(QStringLiteral("no reader given (-p, -t or -T)"));
    }
    int most = qMax(1, targets.size());
    if (parser.isSet(jobs)) {
        bool ok = false;
        most = parser.value(jobs).toInt(&ok);
        if (!ok || most < 1)
            return usageError(QStringLiteral("-j wants a number of at least 1"));
    }
    const QString reportPath = parser.value(report);
    const bool showVerbose = parser.isSet(verbose);
    // The library's debugging lines are for -v only.
    if (!showVerbose)
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                say(stderr, message);
        });
    ProgressDisplay display(ProgressDisplay::stderrIsTerminal());
    ProgressDisplay *shown = parser.isSet(quiet) ? nullptr : &display;

    Scheduler scheduler(targets, steps, most, shown, showVerbose);
    AnnouncementListener listener;
    QJsonArray heard;
    QElapsedTimer clock;
    clock.start();
    if (discovering) {
        const QString refusal = listener.listen();
        if (!refusal.isEmpty()) {
            say(stderr, QStringLiteral("rx-provision: ") + refusal);
            return 1;
        }
        QObject::connect(&listener, &AnnouncementListener::found, &app,
                         [&](const QString &address, const QString &name, const QString &version) {
                             const QJsonObject result {{QStringLiteral("target"), address},
                                                       {QStringLiteral("command"), command.name},
                                                       {QStringLiteral("ok"), true},
                                                       {QStringLiteral("detail"), QString()},
                                                       {QStringLiteral("elapsed_ms"), double(clock.elapsed())},
                                                       {QStringLiteral("name"), name},
                                                       {QStringLiteral("version"), version}};
                             printResult(result);
                             heard.append(result);
                             if (shown)
                                 shown->line(QStringLiteral("%1: %2 (v%3)").arg(address, name, version));
                         });
        if (shown)
            shown->line(QStringLiteral("listening for readers on UDP port %1 for %2 s%3")
                            .arg(Discovery::Port)
                            .arg(listenSeconds)
                            .arg(scanHosts.isEmpty() ? QString()
                                                     : QStringLiteral(", asking %1 hosts of %2")
                                                           .arg(scanHosts.size())
                                                           .arg(parser.value(network))));
        if (!scanHosts.isEmpty())
            listener.scan(scanHosts);
        QTimer::singleShot(listenSeconds * 1000, &app, [] { QCoreApplication::exit(0); });
    } else {
        QMetaObject::invokeMethod(
            &app, [&] { scheduler.startMore(); }, Qt::QueuedConnection);
    }

    // Ctrl+C is only noted by the signal handler; it is acted on here, in the
    // event loop.
    std::signal(SIGINT, onInterrupt);
    QTimer interruptWatch;
    QObject::connect(&interruptWatch, &QTimer::timeout, &app, [&] {
        if (!interrupted)
            return;
        if (discovering)
            QCoreApplication::exit(0);
        else
            scheduler.interrupt();
    });
    interruptWatch.start(100);
    app.exec();
    display.clear();
    const QJsonArray &results = discovering ? heard : scheduler.results;

    if (!reportPath.isEmpty()) {
        QString writeError;
        if (!writeFileSafely(reportPath, reportBytes(reportPath, results), &writeError)) {
            say(stderr, QStringLiteral("rx-provision: the report could not be written: ") + writeError);
            return 1;
        }
    }
    if (interrupted)
        return 130;
    if (discovering && shown)
        shown->line(QStringLiteral("%1 reader%2 heard").arg(heard.size()).arg(heard.size() == 1 ? "" : "s"));
    return scheduler.allOk ? 0 : 1;
}
