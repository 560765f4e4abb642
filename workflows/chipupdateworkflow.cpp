#include "workflows/chipupdateworkflow.h"

#include <QTimer>

#include "link/commandcodes.h"
#include "workflows/firmwarefiles.h"

namespace {

constexpr int kBeginArmMs = 3000;
constexpr int kRecordArmMs = 800;
constexpr qint64 kMaxWatchNs = 100 * 1000 * 1000;
// A copy sent right behind its answer lands within this, however fast the
// link; a record takes the chip far longer to program.
constexpr qint64 kMinWatchNs = 2 * 1000 * 1000;
constexpr int kQuietMs = 300; // before starting over after an answer out of turn

} // namespace

void ChipUpdateWorkflow::start(const QByteArray &file)
{
    data = file;
    attempt = 1;
    startTransfer(kBeginArmMs);
}

bool ChipUpdateWorkflow::running() const
{
    return link.oneShotState == ReaderStates::FlashRfidChip;
}

void ChipUpdateWorkflow::startTransfer(int timeoutMs)
{
    ++run;
    sent = 0;
    records = 0;
    roundTripNs = 0;
    roundTrips = 0;
    watching = false;
    quietPending = false;
    emit progress(0, data.size());
    clock.start();
    link.beginRequest(ReaderStates::FlashRfidChip, QByteArray(1, char(Command::PnOtaBegin)), timeoutMs);
}

QString ChipUpdateWorkflow::leftState() const
{
    return QStringLiteral("The RFID chip has taken at most %1 of %2 records: update it again before relying on it.")
        .arg(records)
        .arg(FirmwareFiles::checkChipFile(data, int(link.protocol.maxPayload()) - 1).records);
}

void ChipUpdateWorkflow::answered(uint8_t code)
{
    // Aborted, or another workflow has taken over the answer timer.
    if (!running())
        return;
    if (code == Command::PnOtaFinish) {
        finished();
        return;
    }
    const qint64 roundTrip = clock.nsecsElapsed();
    if (records == 0) {
        beginNs = roundTrip;
    } else {
        roundTripNs += roundTrip;
        ++roundTrips;
    }
    watching = true;
    QTimer::singleShot(int((watchNs() + 999999) / 1000000), Qt::PreciseTimer, this, [this, current = run] {
        if (current != run || !running())
            return; // aborted, ended or started over meanwhile
        watching = false;
        sendNext();
    });
}

void ChipUpdateWorkflow::sendNext()
{
    const int length = FirmwareFiles::chipRecordLength(data, sent);
    clock.start();
    if (sent < data.size() && length >= 0) {
        QByteArray payload;
        payload.append(char(Command::PnOtaFrame));
        payload.append(data.mid(sent + 2, length));
        sent += length + 2;
        ++records;
        emit progress(sent, data.size());
        link.beginRequest(ReaderStates::FlashRfidChip, payload, kRecordArmMs);
    } else {
        // Every record is out; the chip has them all when Finish is answered.
        link.beginRequest(ReaderStates::FlashRfidChip, QByteArray(1, char(Command::PnOtaFinish)), kRecordArmMs);
    }
}

// One that lands while the update waits to send on is a copy or a stray
// that nothing can take for another's answer. One that lands while a
// request is outstanding means one taken may have been another request's:
// once the link has been quiet for a while (answers still on their way land
// meanwhile), the update starts over.
void ChipUpdateWorkflow::answerOutOfTurn()
{
    if (!running() || quietPending || watching)
        return;
    ++run;
    link.forgetRequest();
    quietPending = true;
    const int quietMs = int(qMax<qint64>(kQuietMs, 30 * watchNs() / 1000000));
    QTimer::singleShot(quietMs, this, [this, current = run] {
        if (current != run || !running())
            return;
        quietPending = false;
        restart(QStringLiteral("An answer of the RFID chip update came twice or out of turn"), false, QString());
    });
}

qint64 ChipUpdateWorkflow::watchNs() const
{
    const qint64 mean = roundTrips > 0 ? roundTripNs / roundTrips : beginNs;
    return qBound(kMinWatchNs, mean / 10, kMaxWatchNs);
}

void ChipUpdateWorkflow::finished()
{
    emit logLine(QStringLiteral("Firmware size %1, data written %2").arg(data.size()).arg(sent));
    emit logLine(QStringLiteral("%1 records sent and answered in turn, each %2 ms after the answer before it so that "
                                "a doubled answer lands first; the chip itself cannot be read back.")
                     .arg(records)
                     .arg(double(watchNs()) / 1e6, 0, 'f', 1));
    ++run;
    link.oneShotState = ReaderStates::Idle;
    link.forgetRequest();
    emit progress(0, data.size());
    emit logLine(QStringLiteral("Restarting device..."));
    link.protocol.sendFrame({Command::Reboot});
    emit ended(true);
}
