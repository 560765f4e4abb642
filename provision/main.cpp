// rx-provision: works on many readers from a terminal, several at once,
// with one JSON object per reader and command on standard output, progress
// on standard error and an optional report file. Exit status: 0 when every
// reader succeeded, 1 when one failed, 2 when the command line or an input
// was refused before any reader was touched.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonDocument>
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
#include "provision/provisionjob.h"
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

QByteArray reportBytes(const QString &path, const QJsonArray &results)
{
    if (!path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
        return QJsonDocument(results).toJson();
    QByteArray csv = "target,command,ok,detail,elapsed_ms,version\n";
    for (const QJsonValue &value : results) {
        const QJsonObject row = value.toObject();
        const QStringList fields {csvField(row.value(QStringLiteral("target")).toString()),
                                  csvField(row.value(QStringLiteral("command")).toString()),
                                  row.value(QStringLiteral("ok")).toBool() ? QStringLiteral("true")
                                                                           : QStringLiteral("false"),
                                  csvField(row.value(QStringLiteral("detail")).toString()),
                                  QString::number(row.value(QStringLiteral("elapsed_ms")).toDouble()),
                                  csvField(row.value(QStringLiteral("version")).toString())};
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
QString readCommand(const QStringList &args, ProvisionCommand *command)
{
    const bool twoWords = args.first() == QLatin1String("config") || args.first() == QLatin1String("address-tag")
        || args.first() == QLatin1String("network");
    const QString words = args.mid(0, twoWords ? 2 : 1).join(QLatin1Char(' '));
    const QStringList rest = args.mid(words.count(QLatin1Char(' ')) + 1);
    command->name = words;
    if (words == QLatin1String("version") || words == QLatin1String("address-tag read"))
        return rest.isEmpty() ? QString() : QStringLiteral("%1 takes no arguments").arg(words);
    if (words == QLatin1String("send"))
        return readSend(rest, command);
    if (words == QLatin1String("network set"))
        return readNetworkSettings(rest, command);
    if (words == QLatin1String("scan")) {
        if (rest.size() != 1)
            return QStringLiteral("scan takes one PORT");
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
    command->path = rest.first();
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
                       "                     gateway, dns (a.b.c.d)"));
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
    parser.addOptions({versionOption, port, tcp, targetsFile, jobs, report, dryRun, yes, quiet, verbose, terminated});
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
    if (command.name == QLatin1String("scan")) {
        if (!targets.isEmpty())
            return usageError(QStringLiteral("scan takes its PORT alone, no -p, -t or -T"));
        targets << ProvisionTarget::parse(ProvisionTarget::Serial, command.path, &error);
        if (!error.isEmpty() || targets.first().address != 0)
            return usageError(QStringLiteral("%1 is not PORT[:BAUD]").arg(command.path));
    }
    if (targets.isEmpty())
        return usageError(QStringLiteral("no reader given (-p, -t or -T)"));
    int most = targets.size();
    if (parser.isSet(jobs)) {
        bool ok = false;
        most = parser.value(jobs).toInt(&ok);
        if (!ok || most < 1)
            return usageError(QStringLiteral("-j wants a number of at least 1"));
    }
    const QString reportPath = parser.value(report);
    const bool showProgress = !parser.isSet(quiet);
    const bool showVerbose = parser.isSet(verbose);
    // The library's debugging lines are for -v only.
    if (!showVerbose)
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                say(stderr, message);
        });

    // Readers on one serial port (an RS485 bus) go one after another.
    QList<ProvisionTarget> waiting = targets;
    QSet<QString> busyPorts;
    int running = 0;
    QJsonArray results;
    bool allOk = true;
    std::function<void()> startMore = [&] {
        for (int i = 0; i < waiting.size() && running < most;) {
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
            auto *job = new ProvisionJob(target, command, &app);
            QObject::connect(job, &ProvisionJob::progress, &app, [&, job](const QString &line, bool verboseLine) {
                if (showProgress && (!verboseLine || showVerbose))
                    say(stderr, job->target.text + QStringLiteral(": ") + line);
            });
            QObject::connect(job, &ProvisionJob::finished, &app, [&, job](const QJsonObject &result) {
                say(stdout, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)));
                results.append(result);
                allOk = allOk && result.value(QStringLiteral("ok")).toBool();
                if (job->target.kind == ProvisionTarget::Serial)
                    busyPorts.remove(job->target.port);
                --running;
                job->deleteLater();
                startMore();
                if (running == 0 && waiting.isEmpty())
                    QCoreApplication::exit(0);
            });
            job->start();
        }
    };
    // Ctrl+C: nothing more is started, every job running ends as cleanly as
    // the protocol allows, the report is written, the exit status is 130.
    std::signal(SIGINT, onInterrupt);
    QTimer interruptWatch;
    bool stopping = false;
    QObject::connect(&interruptWatch, &QTimer::timeout, &app, [&] {
        if (!interrupted || stopping)
            return;
        stopping = true;
        for (const ProvisionTarget &target : waiting) {
            const QJsonObject result {{QStringLiteral("target"), target.text},
                                      {QStringLiteral("command"), command.name},
                                      {QStringLiteral("ok"), false},
                                      {QStringLiteral("detail"), QStringLiteral("interrupted before it began")},
                                      {QStringLiteral("elapsed_ms"), 0}};
            say(stdout, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)));
            results.append(result);
        }
        waiting.clear();
        allOk = false;
        if (running == 0)
            QCoreApplication::exit(0);
        for (ProvisionJob *job : app.findChildren<ProvisionJob *>())
            job->interrupt();
    });
    interruptWatch.start(100);
    QMetaObject::invokeMethod(&app, startMore, Qt::QueuedConnection);
    app.exec();

    if (!reportPath.isEmpty()) {
        QString writeError;
        if (!writeFileSafely(reportPath, reportBytes(reportPath, results), &writeError)) {
            say(stderr, QStringLiteral("rx-provision: the report could not be written: ") + writeError);
            return 1;
        }
    }
    if (interrupted)
        return 130;
    return allOk ? 0 : 1;
}
