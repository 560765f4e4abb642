#include "link/readersession.h"

#include <QTimer>

#include "common/readertext.h"
#include "console/hexbyte.h"
#include "console/versioninfo.h"
#include "discovery/rs485scanworkflow.h"
#include "link/commandcodes.h"
#include "workflows/pollingworkflow.h"

ReaderSession::ReaderSession(QObject *parent)
    : QObject(parent)
{
    connect(&link.protocol, &BinaryProtocol::frameComplete, this, &ReaderSession::frameComplete);
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
        host->deviceLogWrite(buff, len);
        return;
    }
    emit frameReceived(frame);
    if (len < 3)
        return; // no status byte in front of the CRC

    const uint8_t status = buff[0];
    const bool hasCode = len >= 4;
    const uint8_t code = hasCode ? buff[1] : 0;
    const QByteArray data = len > 4 ? QByteArray(reinterpret_cast<const char *>(buff + 2), int(len - 4)) : QByteArray();

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
        if (host->runningWorkflow() == Workflow::None)
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
        host->strayFileAnswer();
    else if (code >= Command::PnOtaBegin && code <= Command::PnOtaFinish && link.oneShotState == FlashRfidChip)
        host->chipAnswerOutOfTurn();
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
        if (link.oneShotState == AddressTagWrite) {
            host->addressTagOnActivated();
        } else {
            log(QStringLiteral("Reading tag info"));
            link.beginRequest(AddressTagRead, QByteArray::fromHex("400402"), 3000);
        }
        break;
    case Command::Halt:
        log(QStringLiteral("HALT done"));
        link.oneShotTimer->stop();
        if (link.oneShotState == LoopTest)
            host->loopTestOnHalt();
        else if (link.oneShotState == AddressTagWrite || link.oneShotState == AddressTagRead)
            link.oneShotState = Idle; // the HALT after a tag was written or read ends the chain
        break;
    case Command::NetworkConfig:
        if (link.oneShotState == NetworkRead || link.oneShotState == NetworkWrite)
            host->networkSettingsAnswered(data);
        break;
    case Command::Reboot:
    case Command::FactoryReset:
        host->deviceRestartAnswered();
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
        if (link.oneShotState != Idle)
            host->tagTestOnReadPage(data);
        break;
    case Command::UltralightWritePage:
        if (link.oneShotState == LoopTest || link.oneShotState == AddressTagWrite)
            host->tagTestOnWritePage();
        break;
    case Command::FileOpen:
        host->fileOpenAnswered(data);
        break;
    case Command::FileRead:
        host->fileReadAnswered(data);
        break;
    case Command::FileWrite:
        host->fileWriteAnswered(data);
        break;
    case Command::FileClose:
        host->fileCloseAnswered();
        break;
    case Command::OtaBegin:
        host->firmwareBeginAnswered();
        break;
    case Command::OtaFrame:
        host->firmwareFrameAnswered();
        break;
    case Command::OtaEnd:
        host->firmwareEndAnswered();
        break;
    case Command::PnOtaBegin:
    case Command::PnOtaFrame:
        host->chipUpdateAnswered();
        break;
    case Command::PnOtaFinish:
        host->chipUpdateFinished();
        break;
    default:
        break;
    }
}

// The device log is asked for when the version says the reader keeps one.
void ReaderSession::decodeVersion(const QString &text)
{
    host->versionReported(text);
    link.oneShotTimer->stop();
    log(QStringLiteral("Version:") + text);

    readerVersion = text;
    if (awaitingFlashedVersion) {
        awaitingFlashedVersion = false;
        log(QStringLiteral("Firmware now %1 (was %2)").arg(oneLine(text), oneLine(versionBeforeFlash)));
    }

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
        if (link.oneShotState == LoopTest)
            host->loopTestCount(true);
        link.beginRequest(link.oneShotState, QByteArray::fromHex("0300"), 3000);
        return;
    }
    log(QStringLiteral("No tag detected"));
    if (link.oneShotState == AddressTagWrite || link.oneShotState == AddressTagRead)
        link.oneShotState = Idle; // the operation ends without a tag
    if (link.oneShotState == LoopTest) {
        link.beginRequest(LoopTest, QByteArray(1, char(Command::Halt)), 3000);
        host->loopTestCount(false);
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

    if (link.oneShotState == LoopTest) {
        host->loopTestOnUid(type);
        return;
    }
    if (polling) {
        polling->recordUid(uid);
        if (polling->running())
            polling->schedule();
    }

    if (link.oneShotState == AddressTagWrite || link.oneShotState == AddressTagRead) {
        if (type == 1) {
            log(QStringLiteral("Ultralight TAG detected. Activating TAG..."));
            link.beginRequest(link.oneShotState, QByteArray::fromHex("0400"), 3000);
        } else {
            log(QStringLiteral("Ultralight TAG needed for address tag."));
            link.forgetRequest();
            link.oneShotState = Idle;
        }
    }
}

void ReaderSession::dispatchError(bool hasCode, uint8_t code, const QByteArray &data)
{
    const QString name = hasCode ? host->commandName(code) : QStringLiteral("Unknown");
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
    const bool firmware = hasCode && code >= Command::OtaBegin && code <= Command::OtaEnd;
    const bool chip = hasCode && code >= Command::PnOtaBegin && code <= Command::PnOtaFinish;
    if (firmware || chip) {
        log(QStringLiteral("Firmware writing error - please restart the board and try again"));
        const Workflow update = firmware ? Workflow::FirmwareUpdate : Workflow::ChipUpdate;
        if (host->runningWorkflow() == update) {
            host->failWorkflow(update, QString(), QString());
        } else {
            if (firmware)
                host->endFirmwareUpdate();
            else
                host->endChipUpdate();
            log(QStringLiteral("Flash firmware aborted."));
        }
        return;
    }

    // The workflow whose request was refused ends here, saying what the
    // reader holds now.
    const QString refusal = QStringLiteral("the reader answered %1 with error %2")
                                .arg(name, number.isEmpty() ? QStringLiteral("(no number)") : number);
    switch (link.workflowWaiting() ? host->runningWorkflow() : Workflow::None) {
    case Workflow::Download:
    case Workflow::Upload:
    case Workflow::AddressTag:
    case Workflow::NetworkSettings:
        host->failWorkflow(host->runningWorkflow(), QString(), refusal);
        return;
    default:
        break;
    }

    if (link.oneShotState == LoopTest) {
        host->loopTestOnError();
        link.beginRequest(LoopTest, QByteArray(1, char(Command::Halt)), 3000);
        log(QStringLiteral("HALT request"));
    } else if (link.oneShotState != Rs485Scan) {
        // During the bus scan an error answer records nothing; the scan
        // moves on when the address's 100 ms are over.
        link.forgetRequest();
    }
}
