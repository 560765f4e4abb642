#include "link/readersession.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

#include "common/readertext.h"
#include "console/catalogue.h"
#include "console/hexbyte.h"
#include "console/versioninfo.h"
#include "discovery/rs485scanworkflow.h"
#include "link/commandcodes.h"
#include "workflows/chipupdateworkflow.h"
#include "workflows/configtransferworkflow.h"
#include "workflows/firmwareupdateworkflow.h"
#include "workflows/networksettingsworkflow.h"
#include "workflows/tagworkflows.h"
#include "workflows/pollingworkflow.h"

ReaderSession::ReaderSession(QObject *parent)
    : QObject(parent)
{
    commands = readCommandCatalogue();
    firmware = new FirmwareUpdateWorkflow(*this, this);
    chip = new ChipUpdateWorkflow(*this, this);
    configTransfer = new ConfigTransferWorkflow(*this, this);
    connect(&link.protocol, &BinaryProtocol::frameComplete, this, &ReaderSession::frameComplete);
    connect(link.oneShotTimer, &QTimer::timeout, this, &ReaderSession::oneShotTimeout);
    connect(&link.serial, &QSerialPort::errorOccurred, this, &ReaderSession::serialError);
    connect(&link, &ReaderLink::tcpUp, this, [this] {
        emit tcpLinkUp();
        checkVersion(2500);
    });
    // A workflow cannot go on without its link (unless the link is being
    // taken down and up on purpose).
    const auto closed = [this] {
        if (!link.linkOpen())
            linkLost(QStringLiteral("Connection to the device closed."));
    };
    connect(&link, &ReaderLink::serialClosed, this, closed);
    connect(&link, &ReaderLink::tcpClosed, this, closed);
    connect(firmware, &ReaderWorkflow::logLine, this, &ReaderSession::logLine);
    connect(chip, &ReaderWorkflow::logLine, this, &ReaderSession::logLine);
    connect(configTransfer, &ReaderWorkflow::logLine, this, &ReaderSession::logLine);
}

ReaderSession::~ReaderSession()
{
    link.oneShotTimer->disconnect(this);
}

QString ReaderSession::commandName(uint32_t code) const
{
    return commandNameIn(commands, code);
}

SessionHost &ReaderSession::hostOrNone() const
{
    // Without a host, the workflows it would run are not running.
    static SessionHost none;
    return host ? *host : none;
}

ReaderStates::Workflow ReaderSession::runningWorkflow() const
{
    if (restarting)
        return Workflow::Restart;
    // Firmware updates, the loop test and the bus scan run until they end;
    // the network and address tag chains while their request is outstanding;
    // a transfer from its first request to its end, also between two steps.
    const bool waiting = link.requestOutstanding();
    switch (link.oneShotState) {
    case FlashFirmware:
        return Workflow::FirmwareUpdate;
    case FlashRfidChip:
        return Workflow::ChipUpdate;
    case LoopTest:
        return Workflow::LoopTest;
    case Rs485Scan:
        return Workflow::Rs485Scan;
    case NetworkRead:
    case NetworkWrite:
        if (waiting)
            return Workflow::NetworkSettings;
        break;
    case AddressTagWrite:
    case AddressTagRead:
        if (waiting)
            return Workflow::AddressTag;
        break;
    case FileOpenForRead:
    case FileReading:
    case FileClosingAfterRead:
    case FileOpenForWrite:
    case FileWriting:
    case FileClosingAfterWrite:
        return configTransfer->running();
    default:
        break;
    }
    return polling && polling->running() ? Workflow::Polling : Workflow::None;
}

void ReaderSession::failWorkflow(Workflow workflow, const QString &reason, const QString &ending)
{
    if (workflow == Workflow::None || workflow == Workflow::Restart)
        return;
    if (!reason.isEmpty())
        log(reason);
    const int state = link.oneShotState;
    link.forgetRequest();
    switch (workflow) {
    case Workflow::FirmwareUpdate:
        firmware->abort();
        break;
    case Workflow::ChipUpdate:
        chip->abort();
        break;
    case Workflow::Download:
    case Workflow::Upload:
        configTransfer->fail(workflow, state, ending);
        break;
    case Workflow::NetworkSettings:
        if (networkSettings)
            networkSettings->fail(ending);
        break;
    case Workflow::AddressTag:
        if (addressTag)
            addressTag->fail(ending);
        break;
    case Workflow::LoopTest:
        if (loopTest)
            loopTest->fail();
        break;
    case Workflow::Rs485Scan:
        if (rs485Scan)
            rs485Scan->end(QStringLiteral("Searching aborted."));
        break;
    case Workflow::Polling:
        if (polling)
            polling->stop();
        log(QStringLiteral("Software polling stopped."));
        break;
    case Workflow::None:
    case Workflow::Restart:
        break;
    }
    emit workflowFailed();
}

void ReaderSession::giveUp()
{
    link.oneShotState = Idle;
    link.forgetRequest();
    link.closeSerial();
    link.disconnectTcp();
    log(QStringLiteral("Timeout - Please recconnect device and try again."));
    emit gaveUp();
}

void ReaderSession::linkLost(const QString &reason)
{
    if (link.linkCycling)
        return;
    link.linkGoing = true; // nothing more goes out on it
    failWorkflow(runningWorkflow(), reason);
    link.linkGoing = false;
}

void ReaderSession::serialError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return;
    // A vanishing device often reports more than one error before the port
    // is closed; the first one is handled, the rest are echoes of it. A
    // removal may show only in an echo (a hang-up reads as a read error
    // first), and is said then, once.
    const bool removed = error == QSerialPort::ResourceError;
    if (serialClosePending) {
        if (removed && !serialRemovalSaid)
            log(QStringLiteral("Device removed."));
        serialRemovalSaid = serialRemovalSaid || removed;
        return;
    }
    qDebug() << QStringLiteral("Serial port error on %1: %2, oneShotState: %3")
                    .arg(link.serial.portName(), link.serial.errorString())
                    .arg(link.oneShotState);
    link.oneShotTimer->stop();
    serialRemovalSaid = removed;
    if (removed)
        log(QStringLiteral("Device removed."));
    // The workflow on this link ends now, not by repeats into a dead port.
    if (!link.tcpConnected)
        linkLost(QStringLiteral("Connection to the device lost."));
    // Not from inside the port's own error signal.
    serialClosePending = true;
    QTimer::singleShot(0, this, [this] {
        link.closeSerial(); // may itself report the port's errors once more
        serialClosePending = false;
    });
}

// A step of a transfer (the firmware or chip update, the configuration
// download or upload) is not repeated: its transfer starts over. The loop
// test repeats its request for as long as it runs, the bus scan goes on to
// the next address, the version check and every other request are repeated
// five times before the link is given up.
void ReaderSession::oneShotTimeout()
{
    Workflow transfer = Workflow::None;
    if (link.oneShotState == FlashFirmware)
        transfer = Workflow::FirmwareUpdate;
    else if (link.oneShotState == FlashRfidChip)
        transfer = Workflow::ChipUpdate;
    else
        transfer = configTransfer->running();
    switch (link.oneShotState) {
    case Idle:
        return;
    case LoopTest:
        if (link.serial.isOpen() || link.tcpConnected) {
            log(QStringLiteral("Repeating last frame...\n"));
            link.repeatRequest(3000);
        }
        return;
    case GetVersion:
        if (link.retryCount++ < 5) {
            log(QStringLiteral("Repeating get version frame...\n"));
            requestVersion();
            link.oneShotTimer->start(500);
        } else {
            giveUp();
        }
        return;
    case Rs485Scan:
        if (rs485Scan)
            rs485Scan->nextAddress();
        return;
    default:
        break;
    }
    // Nothing is repeated into a link that is gone.
    if (!link.linkOpen()) {
        failWorkflow(transfer != Workflow::None ? transfer : runningWorkflow(),
                     QStringLiteral("No connection to the device."));
        link.oneShotState = Idle;
        link.forgetRequest();
        return;
    }
    const QString why = QStringLiteral("No answer from the device");
    if (transfer == Workflow::FirmwareUpdate)
        firmware->restart(why, true, QString());
    else if (transfer == Workflow::ChipUpdate)
        chip->restart(why, true, QString());
    else if (transfer != Workflow::None)
        configTransfer->restart(why, true);
    else if (link.retryCount++ < 5) {
        log(QStringLiteral("Repeating last frame...\n"));
        link.repeatRequest(1500);
    } else {
        giveUp();
    }
}

void ReaderSession::requestVersion()
{
    if (!link.serial.isOpen() && !link.tcpConnected)
        return;
    link.protocol.sendFrame({Command::GetVersion});
    emit versionAsked();
}

void ReaderSession::checkVersion(int waitMs)
{
    link.oneShotState = GetVersion;
    requestVersion();
    link.oneShotTimer->start(waitMs);
}

// Every accepted frame arrives here. Body: status, answered command, data,
// CRC. Only bytes the frame holds are read; data copies are taken before any
// handler lets the event loop run, since the codec's buffer may then change.
void ReaderSession::frameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len)
{
    QByteArray frame(reinterpret_cast<const char *>(header), int(hlen));
    frame.append(reinterpret_cast<const char *>(buff), int(len));
    if (len >= 2)
        buff[len - 2] = 0;

    if (len >= 1 && buff[0] == AnswerStatus::LogLine) {
        hostOrNone().deviceLogWrite(buff, len);
        return;
    }
    emit frameReceived(frame);
    if (len < 3)
        return; // no status byte in front of the CRC

    const uint8_t status = buff[0];
    const bool hasCode = len >= 4;
    const uint8_t code = hasCode ? buff[1] : 0;
    const QByteArray data = len > 4 ? QByteArray(reinterpret_cast<const char *>(buff + 2), int(len - 4)) : QByteArray();
    if (hasCode && (status == AnswerStatus::Positive || status == AnswerStatus::Error))
        emit answerReceived(status, code, data);

    switch (status) {
    case AnswerStatus::Positive:
        link.retryCount = 0;
        if (hasCode)
            dispatchAnswer(code, data);
        break;
    case AnswerStatus::Error:
        dispatchError(hasCode, code, data);
        break;
    case AnswerStatus::Event:
        // A tag in the field: its count is asked for, unless a workflow waits
        // for an answer of its own, which the count's answer would not be.
        if (hasCode && code == 0x01 /* tag event */ && !link.workflowWaiting())
            link.beginRequest(link.oneShotState, QByteArray(1, char(Command::GetTagCount)), 500);
        break;
    default:
        break;
    }
    emit frameHandled();
}

// While a workflow waits, only the answer to its request is acted on. Any
// other answer, a workflow answer nobody asked for among them, is only
// logged (the dump above); for a download or a chip update it is also a
// sign that one of the answers taken may have been another request's.
void ReaderSession::dispatchAnswer(uint8_t code, const QByteArray &data)
{
    if (link.workflowWaiting()) {
        if (link.takeAnswer(code, data))
            routeAnswer(code, data);
        else
            answerOutOfTurn(code);
        return;
    }
    answerOutOfTurn(code);
    switch (code) {
    case Command::NetworkConfig:
    case Command::FileOpen:
    case Command::FileRead:
    case Command::FileWrite:
    case Command::FileClose:
    case Command::OtaBegin:
    case Command::OtaFrame:
    case Command::OtaEnd:
    case Command::PnOtaBegin:
    case Command::PnOtaFrame:
    case Command::PnOtaFinish:
        if (code == Command::FileOpen && link.oneShotState != FileOpenForRead && link.oneShotState != FileOpenForWrite)
            link.oneShotTimer->stop(); // an FOPEN sent from the console
        return;
    case Command::Reboot:
    case Command::FactoryReset:
        // Nobody could have asked for a restart while a workflow runs.
        if (runningWorkflow() == Workflow::None)
            routeAnswer(code, data);
        return;
    default:
        // The console's own requests, and the chains of the address tag and
        // of polling when no step of theirs is outstanding.
        link.takeAnswer(code, data);
        routeAnswer(code, data);
        return;
    }
}

// An answer (positive or not) that answered no request outstanding.
void ReaderSession::answerOutOfTurn(uint8_t code)
{
    if (code >= Command::FileOpen && code <= Command::FileClose)
        configTransfer->answerOutOfTurn();
    else if (code >= Command::PnOtaBegin && code <= Command::PnOtaFinish && link.oneShotState == FlashRfidChip)
        chip->answerOutOfTurn();
}

void ReaderSession::routeAnswer(uint8_t code, const QByteArray &data)
{
    switch (code) {
    case Command::GetTagCount:
        decodeTagCount(data);
        break;
    case Command::GetUid:
        decodeUid(data);
        break;
    case Command::ActivateTag:
        link.oneShotTimer->stop();
        log(QStringLiteral("Tag activated."));
        if (addressTag)
            addressTag->tagActivated();
        break;
    case Command::Halt:
        log(QStringLiteral("HALT done"));
        link.oneShotTimer->stop();
        if (LoopTestWorkflow *test = runningLoopTest())
            test->halted();
        else if (AddressTagWorkflow *tag = runningAddressTag())
            tag->halted();
        break;
    case Command::NetworkConfig:
        if ((link.oneShotState == NetworkRead || link.oneShotState == NetworkWrite) && networkSettings)
            networkSettings->answered(data);
        break;
    case Command::Reboot:
    case Command::FactoryReset:
        restartAnswered();
        break;
    case Command::GetVersion: {
        const int end = data.indexOf('\0');
        const QString text = QString::fromUtf8(end >= 0 ? data.left(end) : data);
        if (link.oneShotState == Rs485Scan && rs485Scan)
            rs485Scan->deviceFound(text);
        else
            decodeVersion(text);
        break;
    }
    case Command::UltralightReadPage:
        // In any state but Idle and the loop test's the data is taken as an
        // address tag.
        if (LoopTestWorkflow *test = runningLoopTest())
            test->pageRead(data);
        else if (link.oneShotState != Idle && addressTag)
            addressTag->pageRead(data);
        break;
    case Command::UltralightWritePage:
        if (LoopTestWorkflow *test = runningLoopTest())
            test->pageWritten();
        else if (link.oneShotState == AddressTagWrite && addressTag)
            addressTag->pageWritten();
        break;
    case Command::FileOpen:
        configTransfer->openAnswered();
        break;
    case Command::FileRead:
        configTransfer->readAnswered(data);
        break;
    case Command::FileWrite:
        configTransfer->writeAnswered();
        break;
    case Command::FileClose:
        configTransfer->closeAnswered();
        break;
    case Command::OtaBegin:
    case Command::OtaFrame:
    case Command::OtaEnd:
        firmware->answered(code);
        break;
    case Command::PnOtaBegin:
    case Command::PnOtaFrame:
        chip->answered(code);
        break;
    case Command::PnOtaFinish:
        chip->answered(code);
        break;
    default:
        break;
    }
}

// The restart itself runs from the event loop, not from inside the handler
// of the frame that announced it: the transport that delivered that frame
// goes away meanwhile.
void ReaderSession::restartAnswered()
{
    if (restarting)
        return;
    link.forgetRequest();
    log(QStringLiteral("Restarting the device. Please wait.."));
    restarting = true;
    emit restartBegun();
    const bool overSerial = link.serial.isOpen();
    const bool overTcp = link.tcpSocket != nullptr;
    QTimer::singleShot(0, this, [this, overSerial, overTcp] { reconnectAfterRestart(overSerial, overTcp); });
}

void ReaderSession::reconnectAfterRestart(bool overSerial, bool overTcp)
{
    link.linkCycling = true;
    if (overSerial)
        link.closeSerial();
    link.waitThen(3000, [this, overSerial, overTcp] {
        if (overSerial)
            link.reopenSerial();
        link.linkCycling = false;
        restarting = false;
        if (overTcp) {
            link.disconnectTcp();
            link.reconnectTcp();
            return;
        }
        link.beginRequest(GetVersion, QByteArray(1, char(Command::GetVersion)), 500);
    });
}

// The device log is asked for when the version says the reader keeps one.
void ReaderSession::decodeVersion(const QString &text)
{
    hostOrNone().versionReported(text);
    link.oneShotTimer->stop();
    log(QStringLiteral("Version:") + text);

    readerVersion = text;
    if (awaitingFlashedVersion) {
        awaitingFlashedVersion = false;
        log(QStringLiteral("Firmware now %1 (was %2)").arg(oneLine(text), oneLine(versionBeforeFlash)));
    }
    emit versionRead(text);

    if (VersionInfo::parse(text).supportsDeviceLog())
        link.protocol.sendFrame({Command::DeviceLog, 0x01});
}

void ReaderSession::decodeTagCount(const QByteArray &data)
{
    link.oneShotTimer->stop();
    if (data.isEmpty())
        return; // no count in the answer
    const int count = uint8_t(data.at(0));
    if (count != 0) {
        if (LoopTestWorkflow *test = runningLoopTest())
            test->counted(true);
        link.beginRequest(link.oneShotState, QByteArray::fromHex("0300"), 3000);
        return;
    }
    log(QStringLiteral("No tag detected"));
    if (AddressTagWorkflow *tag = runningAddressTag())
        tag->noTag();
    if (LoopTestWorkflow *test = runningLoopTest()) {
        test->counted(false);
    } else if (polling && polling->running()) {
        polling->schedule();
    }
}

void ReaderSession::decodeUid(const QByteArray &data)
{
    const uint8_t type = data.isEmpty() ? 0 : uint8_t(data.at(0));
    QString uid;
    for (int i = 2; i < data.size(); ++i)
        uid += hexByteText(uint8_t(data.at(i)));
    log(QStringLiteral("TAG is found: ") + uid);
    link.oneShotTimer->stop();

    if (LoopTestWorkflow *test = runningLoopTest()) {
        test->tagFound(type);
        return;
    }
    if (polling) {
        polling->recordUid(uid);
        if (polling->running())
            polling->schedule();
    }

    if (AddressTagWorkflow *tag = runningAddressTag())
        tag->tagFound(type);
}

LoopTestWorkflow *ReaderSession::runningLoopTest() const
{
    return link.oneShotState == LoopTest ? loopTest : nullptr;
}

AddressTagWorkflow *ReaderSession::runningAddressTag() const
{
    return link.oneShotState == AddressTagWrite || link.oneShotState == AddressTagRead ? addressTag : nullptr;
}

void ReaderSession::dispatchError(bool hasCode, uint8_t code, const QByteArray &data)
{
    const QString name = hasCode ? commandName(code) : QStringLiteral("Unknown");
    const QString number
        = data.size() >= 2 ? QString::asprintf("0x%02X%02X", uint8_t(data.at(0)), uint8_t(data.at(1))) : QString();
    if (!number.isEmpty())
        log(QStringLiteral("Error ") + number + QStringLiteral(" received for command - ") + name);
    else
        log(QStringLiteral("Error received for command - ") + name);

    if (hasCode && code == Command::SetUid)
        log(QStringLiteral("This command may only be executed on special tags with changeable UID"));
    // While a workflow waits, an error to another request ends nothing; one
    // of its own kind is a sign that answers came out of turn.
    if (link.workflowWaiting() && !(hasCode && code == link.awaitedCommand)) {
        if (hasCode)
            answerOutOfTurn(code);
        return;
    }
    const bool firmwareCode = hasCode && code >= Command::OtaBegin && code <= Command::OtaEnd;
    const bool chipCode = hasCode && code >= Command::PnOtaBegin && code <= Command::PnOtaFinish;
    if (firmwareCode || chipCode) {
        log(QStringLiteral("Firmware writing error - please restart the board and try again"));
        const Workflow update = firmwareCode ? Workflow::FirmwareUpdate : Workflow::ChipUpdate;
        if (runningWorkflow() == update) {
            failWorkflow(update, QString(), QString());
        } else {
            if (firmwareCode)
                firmware->end();
            else
                chip->end();
            log(QStringLiteral("Flash firmware aborted."));
        }
        return;
    }

    // The workflow whose request was refused ends here, saying what the
    // reader holds now.
    const QString refusal = QStringLiteral("the reader answered %1 with error %2")
                                .arg(name, number.isEmpty() ? QStringLiteral("(no number)") : number);
    switch (link.workflowWaiting() ? runningWorkflow() : Workflow::None) {
    case Workflow::Download:
    case Workflow::Upload:
    case Workflow::AddressTag:
    case Workflow::NetworkSettings:
        failWorkflow(runningWorkflow(), QString(), refusal);
        return;
    default:
        break;
    }

    if (LoopTestWorkflow *test = runningLoopTest()) {
        test->refused();
    } else if (link.oneShotState != Rs485Scan) {
        // During the bus scan an error answer records nothing; the scan
        // moves on when the address's 100 ms are over.
        link.forgetRequest();
    }
}
