#include "sim/simota.h"

#include "sim/simreader.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTimer>

#include <unistd.h>

namespace {

// The old pty stays this long at least, so the erase answer on it is read
// before it goes.
constexpr int kMinAwayMs = 100;

quint32 le32(const QByteArray &bytes)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(i));
    return value;
}

QString digest(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

bool parseInt(const QString &text, int *value, int base = 10)
{
    bool ok = false;
    *value = text.toInt(&ok, base);
    return ok;
}

} // namespace

SimOta::SimOta(SimReader *reader)
    : QObject(reader)
    , m_reader(reader)
{
    setObjectName(QStringLiteral("SimOta"));
    reader->registerCommand(kCmdBegin, [this](SimRequest &req) { begin(req); });
    reader->registerCommand(kCmdFrame, [this](SimRequest &req) { frame(req); });
    reader->registerCommand(kCmdEnd, [this](SimRequest &req) { end(req); });
    reader->registerCommand(kCmdChipBegin, [this](SimRequest &req) { chipBegin(req); });
    reader->registerCommand(kCmdChipFrame, [this](SimRequest &req) { chipFrame(req); });
    reader->registerCommand(kCmdChipFinish, [this](SimRequest &req) { chipFinish(req); });
}

SimOta *SimOta::of(SimReader *reader)
{
    return reader ? reader->findChild<SimOta *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

bool SimOta::isAway() const
{
    return m_awaySince.isValid() && (m_awayForever || m_awaySince.elapsed() < m_reconnectMs);
}

void SimOta::reset()
{
    ++m_leaveGeneration;
    m_awaySince.invalidate();
    m_awayForever = false;
    m_imageOpen = false;
    m_image.clear();
    m_flashed.clear();
    m_begins = m_frames = m_flashes = 0;
    m_chipOpen = false;
    m_pending.clear();
    m_chipRecords.clear();
    m_chipUpdates = 0;
}

// ------------------------------------------------ faults

void SimOta::setFrameFault(int number, Fault fault, int times, quint16 errorNumber)
{
    m_frameFault = FaultRule {number, fault, times, errorNumber};
}

void SimOta::setRecordFault(int number, Fault fault, int times, quint16 errorNumber)
{
    m_recordFault = FaultRule {number, fault, times, errorNumber};
}

void SimOta::clearFaults()
{
    m_frameFault = FaultRule();
    m_recordFault = FaultRule();
}

bool SimOta::applyFault(FaultRule &rule, int number, SimRequest &req)
{
    if (rule.fault == Fault::None || rule.number != number || rule.times == 0)
        return false;
    const Fault fault = rule.fault;
    const quint16 error = rule.error;
    if (rule.times > 0 && --rule.times == 0)
        rule = FaultRule();
    if (fault == Fault::Error)
        req.error(error);
    else
        req.silent();
    return true;
}

// ------------------------------------------------ reader firmware

void SimOta::begin(SimRequest &req)
{
    if (isAway()) {
        req.silent();
        return;
    }
    ++m_begins;
    m_imageOpen = false; // erasing
    m_image.clear();
    m_frames = 0;
    if (m_eraseMs == 0) {
        m_imageOpen = true;
        req.ack();
        leaveAfterErase();
        return;
    }
    req.silent(); // answered when the erase is done
    QTimer::singleShot(m_eraseMs, this, [this, later = req, begins = m_begins]() mutable {
        if (begins != m_begins)
            return; // a newer OTA Begin erases again and answers for itself
        m_imageOpen = true;
        later.ack();
        leaveAfterErase();
    });
}

void SimOta::leaveAfterErase()
{
    const int generation = ++m_leaveGeneration;
    if (!m_reader->isPlugged() || !m_reader->bus() || m_reader->ptyPath().isEmpty())
        return;
    const QString link = m_reader->linkPath();
    if (link.isEmpty()) {
        m_awaySince.start();
        m_awayForever = m_reconnectMs < 0;
        return;
    }

    // Only our own link: it may name another pty by now.
    const QByteArray linkName = QFile::encodeName(link);
    char target[512];
    const ssize_t n = ::readlink(linkName.constData(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (QFile::decodeName(target) == m_reader->ptyPath())
            ::unlink(linkName.constData());
    }
    if (m_reconnectMs < 0)
        return;
    const int away = qMax(m_reconnectMs, kMinAwayMs) + m_reader->answerDelay();
    QTimer::singleShot(away, this, [this, generation, link] {
        if (generation == m_leaveGeneration && m_reader->isPlugged())
            m_reader->openPty(link);
    });
}

void SimOta::frame(SimRequest &req)
{
    if (isAway()) {
        req.silent();
        return;
    }
    if (!m_imageOpen) {
        req.error(kErrorNoBegin);
        return;
    }
    if (applyFault(m_frameFault, m_frames + 1, req))
        return;
    if (req.params.isEmpty() || req.params.size() > kMaxFrameData) {
        req.error(kErrorFrameSize);
        return;
    }
    if (m_image.size() + req.params.size() > kFlashSize) {
        req.error(kErrorFlashFull);
        return;
    }
    m_image.append(req.params);
    ++m_frames;
    req.ack();
}

void SimOta::end(SimRequest &req)
{
    if (isAway()) {
        req.silent();
        return;
    }
    if (!m_imageOpen) {
        req.error(kErrorNoBegin);
        return;
    }
    m_imageOpen = false;
    if (req.params.size() != 4 || le32(req.params) != quint32(m_image.size())) {
        req.error(kErrorImageSize);
        return;
    }
    m_flashed = m_image;
    ++m_flashes;
    req.ack();
    emit flashed(m_flashed);
}

// ------------------------------------------------ chip firmware

void SimOta::chipBegin(SimRequest &req)
{
    m_chipOpen = true;
    m_pending.clear();
    req.ack();
}

void SimOta::chipFrame(SimRequest &req)
{
    if (!m_chipOpen) {
        req.error(kErrorChipNoBegin);
        return;
    }
    req.takeTime(m_chipMs);
    if (applyFault(m_recordFault, m_pending.size() + 1, req))
        return;
    m_pending.append(req.params);
    req.ack();
}

void SimOta::chipFinish(SimRequest &req)
{
    if (!m_chipOpen) {
        req.error(kErrorChipNoBegin);
        return;
    }
    m_chipOpen = false;
    m_chipRecords = m_pending;
    m_pending.clear();
    ++m_chipUpdates;
    req.ack();
    emit chipUpdated(m_chipRecords.size());
}

// ------------------------------------------------ control commands

QString SimOta::statusText() const
{
    QStringList parts;
    parts << QStringLiteral("erase %1 ms").arg(m_eraseMs);
    parts << (m_reconnectMs < 0 ? QStringLiteral("the pty does not come back after an erase")
                                : QStringLiteral("away %1 ms after an erase").arg(m_reconnectMs));
    if (isAway())
        parts << QStringLiteral("away now");
    if (m_imageOpen)
        parts << QStringLiteral("receiving: %1 bytes in %2 frames").arg(m_image.size()).arg(m_frames);
    parts << QStringLiteral("%1 update(s), last image %2 bytes md5 %3")
                 .arg(m_flashes)
                 .arg(m_flashed.size())
                 .arg(digest(m_flashed));
    parts << QStringLiteral("chip %1 ms a record").arg(m_chipMs);
    int bytes = 0;
    for (const QByteArray &record : m_chipRecords)
        bytes += record.size();
    if (m_chipOpen)
        parts << QStringLiteral("chip receiving: %1 record(s)").arg(m_pending.size());
    parts << QStringLiteral("%1 chip update(s), last %2 record(s), %3 bytes")
                 .arg(m_chipUpdates)
                 .arg(m_chipRecords.size())
                 .arg(bytes);
    return parts.join(QStringLiteral(", "));
}

QString SimOta::command(const QString &family, const QStringList &words)
{
    const bool chip = family == QLatin1String("pn");
    const QString sub = words.value(0);
    int number = 0;
    int value = 0;
    if (sub.isEmpty() || sub == QLatin1String("status"))
        return statusText();
    if (!chip && sub == QLatin1String("erase") && words.size() == 2 && parseInt(words[1], &value) && value >= 0) {
        setEraseTime(value);
        return statusText();
    }
    if (chip && sub == QLatin1String("time") && words.size() == 2 && parseInt(words[1], &value) && value >= 0) {
        setChipTime(value);
        return statusText();
    }
    if (!chip && sub == QLatin1String("reconnect") && words.size() == 2) {
        if (words[1] == QLatin1String("never"))
            setReconnectTime(-1);
        else if (parseInt(words[1], &value) && value >= 0)
            setReconnectTime(value);
        else
            return QStringLiteral("usage: ota reconnect MS|never");
        return statusText();
    }
    if ((sub == QLatin1String("fail") || sub == QLatin1String("drop")) && words.size() >= 2 && words.size() <= 4
        && parseInt(words[1], &number) && number >= 1) {
        const bool fail = sub == QLatin1String("fail");
        int times = 1;
        int error = chip ? kErrorChipInjected : kErrorInjected;
        if (fail && words.size() >= 3 && !(parseInt(words[2], &error, 16) && error >= 0 && error <= 0xFFFF))
            return QStringLiteral("usage: %1 fail N [ERR [TIMES]]").arg(family);
        const QString timesText = fail ? words.value(3) : words.value(2);
        if (!timesText.isEmpty() && !parseInt(timesText, &times))
            return QStringLiteral("usage: %1 %2 N ...").arg(family, sub);
        const Fault fault = fail ? Fault::Error : Fault::Silent;
        if (chip)
            setRecordFault(number, fault, times, quint16(error));
        else
            setFrameFault(number, fault, times, quint16(error));
        return QStringLiteral("%1 %2 %3 %4")
            .arg(chip ? QStringLiteral("record") : QStringLiteral("frame"))
            .arg(number)
            .arg(fail ? QStringLiteral("fails with %1")
                            .arg(QStringLiteral("%1").arg(error, 4, 16, QLatin1Char('0')).toUpper())
                      : QStringLiteral("is lost"),
                 times < 0 ? QStringLiteral("every time") : QStringLiteral("%1 time(s)").arg(times));
    }
    if (sub == QLatin1String("clear")) {
        if (chip)
            m_recordFault = FaultRule();
        else
            m_frameFault = FaultRule();
        return QStringLiteral("no faults");
    }
    return chip
        ? QStringLiteral("usage: pn status | pn time MS | pn fail N [ERR [TIMES]] | pn drop N [TIMES] | pn clear")
        : QStringLiteral("usage: ota status | ota erase MS | ota reconnect MS|never | ota fail N [ERR [TIMES]] | "
                         "ota drop N [TIMES] | ota clear");
}
