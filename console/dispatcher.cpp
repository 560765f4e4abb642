#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include "app/readertext.h"
#include "console/versioninfo.h"

// Every accepted frame arrives here. Body: status, answered command, data,
// CRC. Only bytes the frame holds are read; data copies are taken before any
// handler lets the event loop run, since the codec's buffer may then change.
void MainWindow::binaryProtocolFrameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len)
{
    QByteArray frame(reinterpret_cast<const char *>(header), int(hlen));
    frame.append(reinterpret_cast<const char *>(buff), int(len));
    if (len >= 2)
        buff[len - 2] = 0;

    if (len >= 1 && buff[0] == 0xE4) {
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
    case 0x00:
        retryCount = 0;
        if (hasCode)
            dispatchAnswer(code, data);
        break;
    case 0xFF:
        dispatchError(hasCode, code, data);
        break;
    case 0xFE:
        if (hasCode && code == 0x01) {
            protocol.sendFrame({0x02});
            oneShotTimer->start(500);
        }
        break;
    default:
        break;
    }
}

void MainWindow::dispatchAnswer(uint8_t code, const QByteArray &data)
{
    switch (code) {
    case 0x02:
        decodeTagCount(data);
        break;
    case 0x03:
        decodeUid(data);
        break;
    case 0x04:
        if (oneShotState == AddressTagWrite) {
            oneShotTimer->stop();
            logd(QStringLiteral("Tag activated."));
            addressTagOnActivated();
        } else {
            oneShotTimer->stop();
            logd(QStringLiteral("Tag activated."));
            logd(QStringLiteral("Reading tag info"));
            protocol.sendFrame({0x40, 0x04, 0x02});
            oneShotState = AddressTagRead;
            oneShotTimer->start(3000);
        }
        break;
    case 0x05:
        logd(QStringLiteral("HALT done"));
        oneShotTimer->stop();
        if (oneShotState == LoopTest)
            loopTestOnHalt();
        break;
    case 0x09:
        if (oneShotState == NetworkRead || oneShotState == NetworkWrite)
            networkSettingsAnswered(data);
        break;
    case 0x0A:
    case 0x11:
        deviceRestartAnswered();
        break;
    case 0x0B: {
        const int end = data.indexOf('\0');
        const QString text = QString::fromUtf8(end >= 0 ? data.left(end) : data);
        if (oneShotState == Rs485Scan)
            rs485ScanDeviceFound(text);
        else
            decodeVersion(text);
        break;
    }
    case 0x40:
        if (oneShotState != Idle)
            tagTestOnReadPage(data);
        break;
    case 0x41:
        if (oneShotState == LoopTest || oneShotState == AddressTagWrite)
            tagTestOnWritePage();
        break;
    case 0xE0:
        if (oneShotState == FileOpenForRead || oneShotState == FileOpenForWrite)
            fileOpenAnswered(data);
        else
            oneShotTimer->stop();
        break;
    case 0xE1:
        fileReadAnswered(data);
        break;
    case 0xE2:
        if (oneShotState == FileWriting)
            fileWriteAnswered(data);
        break;
    case 0xE3:
        fileCloseAnswered();
        break;
    case 0xF0:
        firmwareBeginAnswered();
        break;
    case 0xF1:
        firmwareFrameAnswered();
        break;
    case 0xF2:
        firmwareEndAnswered();
        break;
    case 0xF6:
    case 0xF7:
        chipUpdateAnswered();
        break;
    case 0xF8:
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

    const VersionInfo version = VersionInfo::parse(text);
    if (version.r5) {
        ui->btPollingConfiguration->show();
        ui->btPNUpdate->hide();
    } else {
        ui->btPollingConfiguration->setVisible(version.showsRfidConfiguration());
        ui->btPNUpdate->show();
    }
    if (version.supportsDeviceLog())
        protocol.sendFrame({0xE4, 0x01});
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
        protocol.sendFrame({0x03, 0x00});
        oneShotTimer->start(3000);
        return;
    }
    logd(QStringLiteral("No tag detected"));
    if (oneShotState == LoopTest) {
        protocol.sendFrame({0x05});
        oneShotTimer->start(3000);
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
            protocol.sendFrame({0x04, 0x00});
            oneShotTimer->start(3000);
        } else {
            logd(QStringLiteral("Ultralight TAG needed for address tag."));
            oneShotTimer->stop();
        }
    }
}

void MainWindow::dispatchError(bool hasCode, uint8_t code, const QByteArray &data)
{
    const QString name = hasCode ? commandName(code) : QStringLiteral("Unknown");
    if (data.size() >= 2)
        logd(QString::asprintf("Error 0x%02X%02X received for command - ", uint8_t(data.at(0)), uint8_t(data.at(1)))
             + name);
    else
        logd(QStringLiteral("Error received for command - ") + name);

    if (hasCode && code == 0x28)
        logd(QStringLiteral("This command may only be executed on special tags with changeable UID"));
    const bool firmware = hasCode && code >= 0xF0 && code <= 0xF2;
    const bool chip = hasCode && code >= 0xF6 && code <= 0xF8;
    if (firmware || chip) {
        logd(QStringLiteral("Firmware writing error - please restart the board and try again"));
        oneShotState = Idle;
        if (firmware)
            ui->btFlashFirmware->setText(QStringLiteral("Flash firmware"));
        else
            ui->btPNUpdate->setText(QStringLiteral("RFID chip update"));
        oneShotTimer->stop();
        progressBar->setValue(0);
        logd(QStringLiteral("Flash firmware aborted."));
    }

    if (oneShotState == LoopTest) {
        loopTestOnError();
        protocol.sendFrame({0x05});
        oneShotTimer->start(3000);
        logd(QStringLiteral("HALT request"));
    } else if (oneShotState != Rs485Scan) {
        // During the bus scan an error answer records nothing; the scan
        // moves on when the address's 100 ms are over.
        oneShotTimer->stop();
    }
}
