#include "workflows/firmwareupdateworkflow.h"

#include <QTimer>

#include "link/commandcodes.h"
#include "workflows/firmwarefiles.h"

namespace {

constexpr int kBeginArmMs = 1000;
constexpr int kFrameArmMs = 500;
// The reader checks the whole image before it answers OTA End.
constexpr int kEndArmMs = 3000;
// The reader leaves the USB bus after the erase and comes back: the port is
// closed for 6 s, then opened again, up to six times a second apart. Over
// TCP the link stays; the reader gets 4 s.
constexpr int kPortClosedMs = 6000;
constexpr int kReopenAttempts = 6;
constexpr int kReopenRetryMs = 1000;
constexpr int kTcpEraseMs = 4000;

} // namespace

void FirmwareUpdateWorkflow::start(const QByteArray &image)
{
    data = image;
    attempt = 1;
    flashErased = false;
    startTransfer(kBeginArmMs);
}

bool FirmwareUpdateWorkflow::running() const
{
    return link.oneShotState == ReaderStates::FlashFirmware;
}

void FirmwareUpdateWorkflow::startTransfer(int timeoutMs)
{
    ++run;
    sent = 0;
    emit progress(0, data.size());
    link.beginRequest(ReaderStates::FlashFirmware, QByteArray(1, char(Command::OtaBegin)), timeoutMs);
}

void FirmwareUpdateWorkflow::ending()
{
    // The wait over TCP ends with the update; a port being opened again
    // comes back all the same.
    if (!link.linkCycling)
        link.cancelWait();
}

QString FirmwareUpdateWorkflow::leftState() const
{
    if (!flashErased)
        return QStringLiteral("The reader did not confirm OTA Begin: it may have erased its flash; check that it "
                              "still starts before you disconnect it.");
    return QStringLiteral("The reader's flash was erased and holds at most %1 of %2 bytes of the new image: it has "
                          "no working firmware until an update completes.")
        .arg(sent)
        .arg(data.size());
}

void FirmwareUpdateWorkflow::answered(uint8_t code)
{
    switch (code) {
    case Command::OtaBegin:
        flashErased = true;
        emit logLine(QStringLiteral("Flash erased."));
        // The port is closed and opened again from the event loop, not from
        // inside the handler of the frame that reported the erase: the
        // transport that delivered it may go away meanwhile.
        QTimer::singleShot(0, this, [this, current = run] {
            if (current == run && running())
                reopenThenWrite();
        });
        break;
    case Command::OtaFrame:
        sendNextFrame();
        break;
    case Command::OtaEnd:
        flashed();
        break;
    default:
        break;
    }
}

void FirmwareUpdateWorkflow::reopenThenWrite()
{
    if (!link.serial.isOpen()) {
        // Over TCP only the wait: an abort or a lost link ends it.
        link.waitThen(kTcpEraseMs, [this] { writeFrames(); });
        return;
    }
    emit logLine(QStringLiteral("Closing the port..."));
    link.linkCycling = true;
    link.closeSerial();
    link.waitThen(kPortClosedMs, [this] {
        emit logLine(QStringLiteral("Opening again..."));
        reopenAttempt(1);
    });
}

void FirmwareUpdateWorkflow::reopenAttempt(int attempt)
{
    if (link.reopenSerial()) {
        link.linkCycling = false;
        writeFrames();
        return;
    }
    if (attempt < kReopenAttempts) {
        emit logLine(QStringLiteral("Unable to open serial port. Trying again.."));
        link.waitThen(kReopenRetryMs, [this, attempt] { reopenAttempt(attempt + 1); });
        return;
    }
    emit logLine(QStringLiteral("Unable to open serial port. Please try to reconnect device and start again."));
    link.closeSerial();
    link.linkCycling = false;
    link.forgetRequest();
    link.oneShotState = ReaderStates::Idle;
    ++run;
    emit ended(false);
}

void FirmwareUpdateWorkflow::writeFrames()
{
    if (!running())
        return; // aborted, or the link was lost, during the wait
    emit logLine(QStringLiteral("Writing firmware..."));
    sent = 0;
    emit progress(0, data.size());
    sendNextFrame();
}

void FirmwareUpdateWorkflow::sendNextFrame()
{
    // Aborted, or another workflow has taken over the answer timer.
    if (!running())
        return;
    // All frames are out: OTA End carries the size, which the reader checks.
    // The update has worked only when it answers.
    if (sent >= data.size()) {
        link.beginRequest(ReaderStates::FlashFirmware, FirmwareFiles::otaEndPayload(uint32_t(data.size())), kEndArmMs);
        return;
    }
    const QByteArray payload = FirmwareFiles::otaFramePayload(data, sent);
    sent += payload.size() - 1;
    link.beginRequest(ReaderStates::FlashFirmware, payload, kFrameArmMs);
    emit progress(sent, data.size());
}

void FirmwareUpdateWorkflow::flashed()
{
    emit logLine(QStringLiteral("Firmware flashed."));
    // The version the reader reports after its restart is logged beside
    // the one it had.
    session.versionBeforeFlash = session.readerVersion;
    session.awaitingFlashedVersion = true;
    ++run;
    link.oneShotState = ReaderStates::Idle;
    link.forgetRequest();
    emit progress(0, data.size());
    emit logLine(QStringLiteral("Restarting device..."));
    link.protocol.sendFrame({Command::Reboot});
    emit ended(true);
}
