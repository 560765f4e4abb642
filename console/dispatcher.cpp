#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "common/readertext.h"
#include "console/versioninfo.h"
#include "link/commandcodes.h"

// Every accepted frame arrives here. Body: status, answered command, data,
// CRC. Only bytes the frame holds are read; data copies are taken before any
// handler lets the event loop run, since the codec's buffer may then change.
void MainWindow::binaryProtocolFrameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len)
{
    QByteArray frame(reinterpret_cast<const char *>(header), int(hlen));
    frame.append(reinterpret_cast<const char *>(buff), int(len));
    if (len >= 2)
        buff[len - 2] = 0;

    if (len >= 1 && buff[0] == AnswerStatus::LogLine) {
        deviceLogWrite(buff, len);
        return;
    }
    protoLog(frame, QStringLiteral("[RX]"));
    if (len < 3)
        return; // no status byte in front of the CRC

    const uint8_t status = buff[0];
    const bool hasCode = len >= 4;
    const uint8_t code = hasCode ? buff[1] : 0;
    const QByteArray data = len > 4 ? QByteArray(reinterpret_cast<const char *>(buff + 2), int(len - 4)) : QByteArray();

    switch (status) {
    case AnswerStatus::Positive:
        retryCount = 0;
        if (hasCode)
            dispatchAnswer(code, data);
        break;
    case AnswerStatus::Error:
        dispatchError(hasCode, code, data);
        break;
    case AnswerStatus::Event:
        // A tag in the field: its count is asked for, unless a workflow waits
        // for an answer of its own, which the count's answer would not be.
        if (hasCode && code == 0x01 /* tag event */ && !workflowWaiting())
            beginRequest(oneShotState, QByteArray(1, char(Command::GetTagCount)), 500);
        break;
    default:
        break;
    }
    applyDeviceGating();
}

// While a workflow waits, only the answer to its request is acted on. Any
// other answer, a workflow answer nobody asked for among them, is only
// logged (the dump above); for a download or a chip update it is also a
// sign that one of the answers taken may have been another request's.
void MainWindow::dispatchAnswer(uint8_t code, const QByteArray &data)
{
    if (workflowWaiting()) {
        if (takeAnswer(code, data))
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
        if (code == Command::FileOpen && oneShotState != FileOpenForRead && oneShotState != FileOpenForWrite)
            oneShotTimer->stop(); // an FOPEN sent from the console
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
        takeAnswer(code, data);
        routeAnswer(code, data);
        return;
    }
}

// An answer (positive or not) that answered no request outstanding.
void MainWindow::answerOutOfTurn(uint8_t code)
{
    if (code >= Command::FileOpen && code <= Command::FileClose)
        strayFileAnswer();
    else if (code >= Command::PnOtaBegin && code <= Command::PnOtaFinish && oneShotState == FlashRfidChip)
        chipAnswerOutOfTurn();
}

void MainWindow::routeAnswer(uint8_t code, const QByteArray &data)
{
    switch (code) {
    case Command::GetTagCount:
        decodeTagCount(data);
        break;
    case Command::GetUid:
        decodeUid(data);
        break;
    case Command::ActivateTag:
        oneShotTimer->stop();
        logd(QStringLiteral("Tag activated."));
        if (oneShotState == AddressTagWrite) {
            addressTagOnActivated();
        } else {
            logd(QStringLiteral("Reading tag info"));
            beginRequest(AddressTagRead, QByteArray::fromHex("400402"), 3000);
        }
        break;
    case Command::Halt:
        logd(QStringLiteral("HALT done"));
        oneShotTimer->stop();
        if (oneShotState == LoopTest)
            loopTestOnHalt();
        else if (oneShotState == AddressTagWrite || oneShotState == AddressTagRead)
            oneShotState = Idle; // the HALT after a tag was written or read ends the chain
        break;
    case Command::NetworkConfig:
        if (oneShotState == NetworkRead || oneShotState == NetworkWrite)
            networkSettingsAnswered(data);
        break;
    case Command::Reboot:
    case Command::FactoryReset:
        deviceRestartAnswered();
        break;
    case Command::GetVersion: {
        const int end = data.indexOf('\0');
        const QString text = QString::fromUtf8(end >= 0 ? data.left(end) : data);
        if (oneShotState == Rs485Scan)
            rs485ScanDeviceFound(text);
        else
            decodeVersion(text);
        break;
    }
    case Command::UltralightReadPage:
        if (oneShotState != Idle)
            tagTestOnReadPage(data);
        break;
    case Command::UltralightWritePage:
        if (oneShotState == LoopTest || oneShotState == AddressTagWrite)
            tagTestOnWritePage();
        break;
    case Command::FileOpen:
        fileOpenAnswered(data);
        break;
    case Command::FileRead:
        fileReadAnswered(data);
        break;
    case Command::FileWrite:
        fileWriteAnswered(data);
        break;
    case Command::FileClose:
        fileCloseAnswered();
        break;
    case Command::OtaBegin:
        firmwareBeginAnswered();
        break;
    case Command::OtaFrame:
        firmwareFrameAnswered();
        break;
    case Command::OtaEnd:
        firmwareEndAnswered();
        break;
    case Command::PnOtaBegin:
    case Command::PnOtaFrame:
        chipUpdateAnswered();
        break;
    case Command::PnOtaFinish:
        chipUpdateFinished();
        break;
    default:
        break;
    }
}

// Which buttons a reader is offered follows from whether it is an R5, even
// when the number in its version text cannot be read; only the RFID
// configuration of an R4 and the device log need that number.
void MainWindow::decodeVersion(const QString &text)
{
    statusDetailLabel->setText(QStringLiteral("Version:") + oneLine(text));
    oneShotTimer->stop();
    logd(QStringLiteral("Version:") + text);

    readerVersion = text;
    if (awaitingFlashedVersion) {
        awaitingFlashedVersion = false;
        logd(QStringLiteral("Firmware now %1 (was %2)").arg(oneLine(text), oneLine(versionBeforeFlash)));
    }

    const VersionInfo version = VersionInfo::parse(text);
    if (version.r5) {
        ui->btPollingConfiguration->show();
        ui->btPNUpdate->hide();
    } else {
        ui->btPollingConfiguration->setVisible(version.showsRfidConfiguration());
        ui->btPNUpdate->show();
    }
    if (version.supportsDeviceLog())
        protocol.sendFrame({Command::DeviceLog, 0x01});
}

void MainWindow::decodeTagCount(const QByteArray &data)
{
    oneShotTimer->stop();
    if (data.isEmpty())
        return; // no count in the answer
    const int count = uint8_t(data.at(0));
    if (count != 0) {
        if (oneShotState == LoopTest)
            loopTestCount(true);
        beginRequest(oneShotState, QByteArray::fromHex("0300"), 3000);
        return;
    }
    logd(QStringLiteral("No tag detected"));
    if (oneShotState == AddressTagWrite || oneShotState == AddressTagRead)
        oneShotState = Idle; // the operation ends without a tag
    if (oneShotState == LoopTest) {
        beginRequest(LoopTest, QByteArray(1, char(Command::Halt)), 3000);
        loopTestCount(false);
    } else if (pollingRunning()) {
        pollingTimer->start(ui->sbPollingTimeout->value());
    }
}

void MainWindow::decodeUid(const QByteArray &data)
{
    const uint8_t type = data.isEmpty() ? 0 : uint8_t(data.at(0));
    QString uid;
    for (int i = 2; i < data.size(); ++i)
        uid += hexByte(uint8_t(data.at(i)));
    logd(QStringLiteral("TAG is found: ") + uid);
    oneShotTimer->stop();

    if (oneShotState == LoopTest) {
        loopTestOnUid(type);
        return;
    }
    pollingRecordUid(uid);
    QApplication::processEvents();
    if (pollingRunning())
        pollingTimer->start(ui->sbPollingTimeout->value());

    if (oneShotState == AddressTagWrite || oneShotState == AddressTagRead) {
        if (type == 1) {
            logd(QStringLiteral("Ultralight TAG detected. Activating TAG..."));
            beginRequest(oneShotState, QByteArray::fromHex("0400"), 3000);
        } else {
            logd(QStringLiteral("Ultralight TAG needed for address tag."));
            forgetRequest();
            oneShotState = Idle;
        }
    }
}

void MainWindow::dispatchError(bool hasCode, uint8_t code, const QByteArray &data)
{
    const QString name = hasCode ? commandName(code) : QStringLiteral("Unknown");
    const QString number
        = data.size() >= 2 ? QString::asprintf("0x%02X%02X", uint8_t(data.at(0)), uint8_t(data.at(1))) : QString();
    if (!number.isEmpty())
        logd(QStringLiteral("Error ") + number + QStringLiteral(" received for command - ") + name);
    else
        logd(QStringLiteral("Error received for command - ") + name);

    if (hasCode && code == Command::SetUid)
        logd(QStringLiteral("This command may only be executed on special tags with changeable UID"));
    // While a workflow waits, an error to another request ends nothing; one
    // of its own kind is a sign that answers came out of turn.
    if (workflowWaiting() && !(hasCode && code == link.awaitedCommand)) {
        if (hasCode)
            answerOutOfTurn(code);
        return;
    }
    const bool firmware = hasCode && code >= Command::OtaBegin && code <= Command::OtaEnd;
    const bool chip = hasCode && code >= Command::PnOtaBegin && code <= Command::PnOtaFinish;
    if (firmware || chip) {
        logd(QStringLiteral("Firmware writing error - please restart the board and try again"));
        const Workflow update = firmware ? Workflow::FirmwareUpdate : Workflow::ChipUpdate;
        if (runningWorkflow() == update) {
            failWorkflow(update, QString());
        } else {
            if (firmware)
                endFirmwareUpdate();
            else
                endChipUpdate();
            logd(QStringLiteral("Flash firmware aborted."));
        }
        return;
    }

    // The workflow whose request was refused ends here, saying what the
    // reader holds now.
    const QString refusal = QStringLiteral("the reader answered %1 with error %2")
                                .arg(name, number.isEmpty() ? QStringLiteral("(no number)") : number);
    switch (workflowWaiting() ? runningWorkflow() : Workflow::None) {
    case Workflow::Download:
    case Workflow::Upload:
    case Workflow::AddressTag:
    case Workflow::NetworkSettings:
        failWorkflow(runningWorkflow(), QString(), refusal);
        return;
    default:
        break;
    }

    if (oneShotState == LoopTest) {
        loopTestOnError();
        beginRequest(LoopTest, QByteArray(1, char(Command::Halt)), 3000);
        logd(QStringLiteral("HALT request"));
    } else if (oneShotState != Rs485Scan) {
        // During the bus scan an error answer records nothing; the scan
        // moves on when the address's 100 ms are over.
        forgetRequest();
    }
}
