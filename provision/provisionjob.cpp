#include "provision/provisionjob.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSerialPort>

#include "common/framedump.h"
#include "common/readertext.h"
#include "link/commandcodes.h"
#include "common/safefile.h"
#include "config/configcheck.h"
#include "config/configdocument.h"
#include "console/versioninfo.h"
#include "workflows/configbackups.h"
#include "workflows/configtransferworkflow.h"
#include "workflows/chipupdateworkflow.h"
#include "workflows/firmwarefiles.h"
#include "workflows/firmwareupdateworkflow.h"

ProvisionJob::ProvisionJob(const ProvisionTarget &target, const ProvisionCommand &command, QObject *parent)
    : QObject(parent)
    , target(target)
    , command(command)
{
    const auto logged = [this](const QString &line) {
        lastLine = line;
        if (collecting)
            said << line;
        emit progress(line, true);
    };
    connect(&session, &ReaderSession::logLine, this, logged);
    connect(&session.link, &ReaderLink::logLine, this, logged);
    connect(&session, &ReaderSession::versionRead, this, &ProvisionJob::versionRead);
    connect(&session, &ReaderSession::gaveUp, this, [this] { fail(QStringLiteral("the reader does not answer")); });
    connect(&session.link, &ReaderLink::tcpFailed, this, [this] {
        fail(QStringLiteral("no TCP connection to %1:%2").arg(this->target.port).arg(this->target.tcpPort));
    });
    connect(session.configTransfer, &ConfigTransferWorkflow::downloaded, this, &ProvisionJob::downloaded);
    connect(session.configTransfer, &ReaderWorkflow::ended, this, &ProvisionJob::workflowEnded);
    connect(session.configTransfer, &ConfigTransferWorkflow::backupFailed, this, [this] {
        if (this->command.yes)
            backedUp(QByteArray());
        else
            fail(QStringLiteral("the reader's config.json could not be backed up (--yes goes on without)"));
    });
    for (ReaderWorkflow *workflow :
         {static_cast<ReaderWorkflow *>(session.configTransfer), static_cast<ReaderWorkflow *>(session.firmware),
          static_cast<ReaderWorkflow *>(session.chip)})
        connect(workflow, &ReaderWorkflow::progress, this, [this](int value, int maximum) {
            if (maximum > 0)
                emit percent(int(qint64(value) * 100 / maximum));
        });
    connect(session.firmware, &ReaderWorkflow::ended, this, &ProvisionJob::workflowEnded);
    connect(session.chip, &ReaderWorkflow::ended, this, &ProvisionJob::workflowEnded);
    connect(&addressTag, &ReaderWorkflow::ended, this, &ProvisionJob::addressTagEnded);
    connect(&addressTag, &AddressTagWorkflow::tagRead, this, [this](uint8_t address, bool terminated) {
        tagReadAddress = address;
        tagReadTerminated = terminated;
    });
    connect(&session, &ReaderSession::frameReceived, this, [this](const QByteArray &frame) { lastFrame = frame; });
    connect(&session, &ReaderSession::answerReceived, this, &ProvisionJob::answerReceived);
    answerLimit.setSingleShot(true);
    connect(&answerLimit, &QTimer::timeout, this, [this] { fail(QStringLiteral("no answer")); });
    rs485Scan.openPort = [this] {
        if (!session.link.openSerial(this->target.port, this->target.baudRate, QSerialPort::NoParity))
            openFailure = lastLine;
    };
    rs485Scan.closePort = [this] { session.link.closeSerial(); };
    rs485Scan.requestVersion = [this] { session.requestVersion(); };
    connect(&rs485Scan, &ReaderWorkflow::ended, this, &ProvisionJob::scanEnded);
    connect(&networkSettings, &NetworkSettingsWorkflow::settingRead, this,
            [this](int, const NetworkConfig::Settings &settings) { networkRead = settings; });
    connect(&networkSettings, &ReaderWorkflow::ended, this, &ProvisionJob::networkEnded);
    restartLimit.setSingleShot(true);
    connect(&restartLimit, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("the reader did not answer again after its restart")); });
}

void ProvisionJob::start()
{
    clock.start();
    if (command.name == QLatin1String("scan")) {
        // The bus, address by address: no version first.
        emit progress(QStringLiteral("scanning addresses 00 to FF"), false);
        rs485Scan.startOrCancel();
        if (!openFailure.isEmpty())
            rs485Scan.end(QStringLiteral("Searching aborted."));
        return;
    }
    emit progress(QStringLiteral("connecting"), false);
    if (target.kind == ProvisionTarget::Tcp) {
        session.link.connectTcp(target.port, target.tcpPort); // the version follows by itself
        return;
    }
    session.link.protocol.setAddress(target.address);
    if (!session.link.openSerial(target.port, target.baudRate, QSerialPort::NoParity)) {
        fail(lastLine);
        return;
    }
    session.checkVersion(500);
}

void ProvisionJob::interrupt()
{
    if (over())
        return;
    interrupting = true;
    lastLine.clear();
    session.failWorkflow(session.runningWorkflow(), QString());
    const QString left = lastLine;
    // What the ending sent (a file closed, a write dropped) goes out before
    // the link is closed.
    session.link.waitThen(200, [this, left] {
        fail(left.isEmpty() ? QStringLiteral("interrupted") : QStringLiteral("interrupted: ") + left);
    });
}

void ProvisionJob::versionRead(const QString &text)
{
    if (over())
        return;
    const QString version = oneLine(text);
    if (phase == Phase::Restarting) {
        restartLimit.stop();
        if (command.name.startsWith(QLatin1String("flash")))
            result.insert(QStringLiteral("version_after"), version);
        else
            result.insert(QStringLiteral("version"), version);
        finish(true, QString());
        return;
    }
    if (phase != Phase::Connecting)
        return;
    phase = Phase::Working;
    result.insert(command.name.startsWith(QLatin1String("flash")) ? QStringLiteral("version_before")
                                                                  : QStringLiteral("version"),
                  version);
    run();
}

void ProvisionJob::run()
{
    if (command.name == QLatin1String("version")) {
        finish(true, QString());
        return;
    }
    if (!command.sha256.isEmpty()) {
        result.insert(QStringLiteral("file"), command.path);
        result.insert(QStringLiteral("sha256"), command.sha256);
    }
    if (command.name == QLatin1String("config diff")) {
        emit progress(QStringLiteral("reading config.json"), false);
        session.configTransfer->startDownload(ReaderStates::SaveToFile);
        return;
    }
    if (command.dryRun) {
        finish(true, QStringLiteral("dry run: nothing was changed"));
        return;
    }
    if (command.name == QLatin1String("send")) {
        answerLimit.start(SendAnswerMs);
        session.link.protocol.sendFrame(command.data);
        return;
    }
    if (command.name == QLatin1String("network set")) {
        emit progress(QStringLiteral("reading the network settings"), false);
        networkSettings.read();
        return;
    }
    if (command.name == QLatin1String("address-tag write")) {
        emit progress(QStringLiteral("writing the address tag"), false);
        addressTag.write(uint8_t(command.tagAddress), command.tagTerminated);
        return;
    }
    if (command.name == QLatin1String("address-tag read")) {
        emit progress(QStringLiteral("reading the address tag"), false);
        addressTag.read();
        return;
    }
    if (command.name == QLatin1String("config get")) {
        emit progress(QStringLiteral("reading config.json"), false);
        session.configTransfer->startDownload(ReaderStates::SaveToFile);
        return;
    }
    emit progress(QStringLiteral("backing up config.json"), false);
    session.configTransfer->startDownload(ReaderStates::Backup);
}

void ProvisionJob::downloaded(int downloadTarget, const QByteArray &document)
{
    if (over())
        return;
    if (downloadTarget == ReaderStates::Backup) {
        QString error;
        const QString file
            = ConfigBackups::save(command.backupRoot, ConfigBackups::linkName(session.link), document, &error);
        if (file.isEmpty() && !command.yes) {
            fail(QStringLiteral("the backup could not be saved: %1 (--yes goes on without)").arg(error));
            return;
        }
        if (!file.isEmpty())
            result.insert(QStringLiteral("backup"), file);
        backedUp(document);
        return;
    }
    if (command.name == QLatin1String("config diff")) {
        QStringList changes;
        for (const ConfigCheck::Change &change : ConfigCheck::changes(document, command.data))
            changes << QStringLiteral("%1: %2 -> %3").arg(change.path, change.before, change.after);
        result.insert(QStringLiteral("changes"), QJsonArray::fromStringList(changes));
        finish(true, QString());
        return;
    }
    // config get: DIR/<target>.json, written whole or not at all.
    QString name = target.text;
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9@.-]+")), QStringLiteral("_"));
    const QString file = QDir(command.path).filePath(name + QStringLiteral(".json"));
    QString error;
    if (!writeFileSafely(file, document, &error)) {
        fail(QStringLiteral("config.json was read but could not be saved: ") + error);
        return;
    }
    result.insert(QStringLiteral("file"), file);
    result.insert(QStringLiteral("sha256"),
                  QString::fromLatin1(QCryptographicHash::hash(document, QCryptographicHash::Sha256).toHex()));
    finish(true, QString());
}

// The backup is kept (or may be done without): what would make the window
// ask refuses the upload unless --yes was given.
void ProvisionJob::backedUp(const QByteArray &current)
{
    if (command.name == QLatin1String("flash")) {
        emit progress(QStringLiteral("flashing"), false);
        changing = true;
        session.firmware->start(command.data);
        return;
    }
    if (command.name == QLatin1String("flash-chip")) {
        // Every record must fit one frame on this link (an RS485 frame
        // carries a byte less) before the chip is told to expect them.
        const FirmwareFiles::ChipCheck check
            = FirmwareFiles::checkChipFile(command.data, int(session.link.protocol.maxPayload()) - 1);
        if (!check.ok) {
            fail(QStringLiteral("the file cannot go to this reader: ") + check.problem);
            return;
        }
        emit progress(QStringLiteral("updating the RFID chip"), false);
        changing = true;
        session.chip->start(command.data);
        return;
    }
    const ConfigDocument file(command.data);
    const bool readerR5 = VersionInfo::parse(session.readerVersion).r5;
    if (!command.yes && (file.hardwareVersion() == 0 || file.isR5() != readerR5)) {
        fail(QStringLiteral("the file is not for an %1 reader (--yes uploads it all the same)")
                 .arg(readerR5 ? QStringLiteral("R5") : QStringLiteral("R4")));
        return;
    }
    const QStringList missing = current.isEmpty() ? QStringList() : ConfigCheck::missingSections(command.data, current);
    if (!command.yes && !missing.isEmpty()) {
        fail(QStringLiteral("the file lacks sections the reader's configuration has: %1 (--yes uploads it all the "
                            "same)")
                 .arg(missing.join(QStringLiteral(", "))));
        return;
    }
    emit progress(QStringLiteral("uploading config.json"), false);
    changing = true;
    session.configTransfer->startUpload(command.data);
}

void ProvisionJob::workflowEnded(bool ok)
{
    if (over())
        return;
    if (!ok) {
        failSaying();
        return;
    }
    // An upload read back and a flashed image end with the reader's
    // restart: done once it answers again. A download's document follows.
    if (!changing)
        return;
    phase = Phase::Restarting;
    emit progress(QStringLiteral("waiting for the restart"), false);
    restartLimit.start(RestartLimitMs);
}

// send: the answer to the request's command, positive or an error.
void ProvisionJob::answerReceived(uint8_t status, uint8_t code, const QByteArray &data)
{
    if (over() || !answerLimit.isActive() || code != uint8_t(command.data.at(0)))
        return;
    answerLimit.stop();
    result.insert(QStringLiteral("answer"), QString::fromLatin1(data.toHex(' ').toUpper()));
    result.insert(QStringLiteral("decoded"), FrameDump::describe(lastFrame, target.address != 0, [this](uint32_t name) {
                      return session.commandName(name);
                  }));
    if (status == AnswerStatus::Positive)
        finish(true, QString());
    else
        fail(QStringLiteral("the reader answered with an error"));
}

void ProvisionJob::scanEnded(bool ok)
{
    if (over())
        return;
    if (!ok) {
        fail(openFailure.isEmpty() ? lastLine : openFailure);
        return;
    }
    QJsonArray readers;
    for (const QString &entry : rs485Scan.found) {
        const QString address = entry.section(QStringLiteral(" - "), 0, 0);
        readers.append(QJsonObject {{QStringLiteral("address"), address},
                                    {QStringLiteral("version"), entry.section(QStringLiteral(" - "), 1).trimmed()}});
    }
    result.insert(QStringLiteral("readers"), readers);
    finish(true, QString());
}

// network set: the settings are read, the ones given changed, the result
// checked as the window checks it, written, and read back: done when the
// reader holds every setting that counts as it was written.
void ProvisionJob::networkEnded(bool ok)
{
    using namespace NetworkConfig;
    if (over())
        return;
    if (!ok) {
        failSaying();
        return;
    }
    if (networkStep == 0) {
        networkWanted = networkRead;
        for (auto edit = command.networkEdits.constBegin(); edit != command.networkEdits.constEnd(); ++edit) {
            const QString &value = edit.value();
            switch (edit.key()) {
            case WifiMode:
                networkWanted.wifiMode = value.toInt();
                break;
            case AuthMode:
                networkWanted.authMode = value.toInt();
                break;
            case Channel:
                networkWanted.channel = value.toInt();
                break;
            case Ssid:
                networkWanted.ssid = value;
                break;
            case Password:
                networkWanted.password = value;
                break;
            case AddressType:
                networkWanted.addressType = value.toInt();
                break;
            default:
                networkWanted.addresses[edit.key() - Ip] = value;
                break;
            }
        }
        for (int sub : {int(Ssid), int(Password)}) {
            const QString tooLong = networkSettings.textTooLong(sub, networkWanted);
            if (!tooLong.isEmpty()) {
                fail(tooLong);
                return;
            }
        }
        if (!command.yes && networkSettings.opensSecuredNetwork(networkWanted)) {
            fail(QStringLiteral("the reader's secured Wi-Fi would become an open access point (--yes writes it all "
                                "the same)"));
            return;
        }
        networkStep = 1;
        emit progress(QStringLiteral("writing the network settings"), false);
        networkSettings.write(networkWanted);
        return;
    }
    if (networkStep == 1) {
        networkStep = 2;
        emit progress(QStringLiteral("reading the network settings back"), false);
        networkSettings.read();
        return;
    }
    QStringList differ;
    for (int sub = 0; sub < SubCount; ++sub) {
        if (networkWanted.offers(sub) && networkRead.value(sub) != networkWanted.value(sub))
            differ << settingName(sub);
    }
    if (!differ.isEmpty()) {
        fail(QStringLiteral("the reader holds other settings than were written: ") + differ.join(QStringLiteral(", ")));
        return;
    }
    finish(true, QString());
}

// A written tag counts once it reads back as written.
void ProvisionJob::addressTagEnded(bool ok)
{
    if (over())
        return;
    if (!ok) {
        failSaying();
        return;
    }
    const bool writing = command.name == QLatin1String("address-tag write");
    if (writing && !tagWritten) {
        tagWritten = true;
        emit progress(QStringLiteral("reading the address tag back"), false);
        addressTag.read();
        return;
    }
    if (tagReadAddress < 0) {
        fail(QStringLiteral("the tag holds no valid address record"));
        return;
    }
    result.insert(QStringLiteral("address"), QString::asprintf("%02X", tagReadAddress));
    result.insert(QStringLiteral("terminated"), tagReadTerminated);
    if (writing && (tagReadAddress != command.tagAddress || tagReadTerminated != command.tagTerminated)) {
        fail(QStringLiteral("the tag reads back address %1%2, not what was written")
                 .arg(QString::asprintf("%02X", tagReadAddress),
                      tagReadTerminated ? QStringLiteral(" (terminated)") : QString()));
        return;
    }
    finish(true, QString());
}

// A workflow that fails says why, then what the reader holds, in lines of
// their own (an update's "Flash firmware aborted." and its flash): every
// line said in the turn of the event loop in which it ended makes the detail.
void ProvisionJob::failSaying()
{
    if (over())
        return;
    collecting = true;
    said = QStringList {lastLine};
    QTimer::singleShot(0, this, [this] {
        said.removeAll(QString());
        said.removeDuplicates();
        for (QString &line : said) {
            if (said.size() > 1 && !line.endsWith(QLatin1Char('.')) && !line.endsWith(QLatin1Char(')')))
                line += QLatin1Char('.');
        }
        collecting = false;
        fail(said.join(QLatin1Char(' ')));
    });
}

void ProvisionJob::finish(bool ok, const QString &detail)
{
    if (done)
        return;
    done = true;
    restartLimit.stop();
    session.link.forgetRequest();
    session.link.oneShotState = ReaderStates::Idle;
    session.link.closeSerial();
    session.link.disconnectTcp();
    result.insert(QStringLiteral("target"), target.text);
    result.insert(QStringLiteral("command"), command.name);
    result.insert(QStringLiteral("ok"), ok);
    result.insert(QStringLiteral("detail"), detail);
    result.insert(QStringLiteral("elapsed_ms"), double(clock.elapsed()));
    emit finished(result);
}
