#include "workflows/networksettingsworkflow.h"

#include <QStringList>

using namespace NetworkConfig;

namespace {

constexpr int kArmMs = 1000;

} // namespace

void NetworkSettingsWorkflow::takeLatestEdits()
{
    if (latestEdits)
        settings = latestEdits();
}

bool NetworkSettingsWorkflow::writing() const
{
    return link.oneShotState == ReaderStates::NetworkWrite;
}

void NetworkSettingsWorkflow::read()
{
    log(QStringLiteral("Reading network settings..."));
    link.beginRequest(ReaderStates::NetworkRead, readRequest(WifiMode), kArmMs);
}

void NetworkSettingsWorkflow::write(const Settings &toWrite)
{
    settings = toWrite;
    log(QStringLiteral("Writing network settings..."));
    written.clear();
    link.beginRequest(ReaderStates::NetworkWrite, writeRequest(WifiMode, settings.value(WifiMode)), kArmMs);
}

// An SSID or password is written whole in one frame: 09, the sub-command and
// the text bytes. A setting that is not written always fits.
QString NetworkSettingsWorkflow::textTooLong(int sub, const Settings &edited) const
{
    if (!edited.offers(sub))
        return QString();
    const int size = edited.text(sub).toUtf8().size();
    const int limit = int(link.protocol.maxPayload()) - 2;
    if (size <= limit)
        return QString();
    return QStringLiteral("The %1 is too long: %2 bytes, at most %3 can be written.")
        .arg(settingName(sub))
        .arg(size)
        .arg(limit);
}

bool NetworkSettingsWorkflow::opensSecuredNetwork(const Settings &edited) const
{
    const bool opensAccessPoint = edited.wifiMode == 0 && edited.authMode == 0;
    return readDone && opensAccessPoint && !(readMode == 0 && readAuth == 0);
}

QString NetworkSettingsWorkflow::quitRisk() const
{
    if (!writing())
        return QString();
    return QStringLiteral("Network settings are being written: the reader may be left with some settings new and "
                          "others old.");
}

void NetworkSettingsWorkflow::answered(const QByteArray &data)
{
    if (data.isEmpty())
        return; // no sub-command: not an answer to our request
    const int sub = uint8_t(data.at(0));
    if (link.oneShotState == ReaderStates::NetworkRead)
        readAnswered(sub, data.mid(1));
    else if (writing())
        writeAnswered(sub);
}

void NetworkSettingsWorkflow::readAnswered(int sub, const QByteArray &value)
{
    if (sub >= SubCount) {
        log(QStringLiteral("Reading network done."));
        link.oneShotState = ReaderStates::Idle;
        readDone = true;
        takeLatestEdits();
        readMode = settings.wifiMode;
        readAuth = settings.authMode;
        emit ended(true);
        return;
    }

    // A value the view cannot show is reported and the setting keeps what
    // it had, so a later write does not send something nobody chose.
    const int byte = value.isEmpty() ? -1 : uint8_t(value.at(0));
    const auto choice = [byte](int &setting, int first, int last) {
        if (byte < first || byte > last)
            return false;
        setting = byte;
        return true;
    };
    bool shown = true;
    switch (sub) {
    case WifiMode:
        shown = choice(settings.wifiMode, 0, WifiModeCount - 1);
        break;
    case AuthMode:
        shown = choice(settings.authMode, 0, AuthModeCount - 1);
        break;
    case Channel:
        shown = choice(settings.channel, ChannelMin, ChannelMax);
        break;
    case Ssid:
        settings.ssid = textValue(value);
        break;
    case Password:
        settings.password = textValue(value);
        break;
    case AddressType:
        shown = choice(settings.addressType, 0, AddressTypeCount - 1);
        break;
    default:
        shown = value.size() >= 4;
        if (shown)
            settings.addresses[sub - Ip] = addressText(value);
        break;
    }
    if (shown)
        emit settingRead(sub, settings);
    else
        log(QStringLiteral("Unexpected %1 in the answer (%2), the field is left unchanged.")
                .arg(settingName(sub), QString::fromLatin1(value.toHex(' ').toUpper())));

    link.beginRequest(ReaderStates::NetworkRead, readRequest(sub + 1), kArmMs);
}

void NetworkSettingsWorkflow::writeAnswered(int sub)
{
    written << sub;
    // The values are taken now: edits made while the write runs count. A
    // text made too long meanwhile ends the write.
    takeLatestEdits();
    const auto offered = [this](int s) { return settings.offers(s); };
    const int next = nextWriteSub(sub, offered);
    if (next < 0) {
        log(QStringLiteral("Writing network done."));
        link.oneShotState = ReaderStates::Idle;
        emit ended(true);
        return;
    }
    if (isTextSub(next)) {
        const QString tooLong = textTooLong(next, settings);
        if (!tooLong.isEmpty()) {
            log(tooLong);
            link.oneShotState = ReaderStates::Idle;
            emit ended(false);
            return;
        }
    }
    link.beginRequest(ReaderStates::NetworkWrite, writeRequest(next, settings.value(next)), kArmMs);
    log(writeLogLine(next));
}

// Which settings a write that stopped has changed on the reader and which
// it has not: the reader then holds new and old ones side by side.
QString NetworkSettingsWorkflow::writeSummary() const
{
    if (!writing())
        return QString();
    QStringList changed;
    for (int sub : written)
        changed << settingName(sub);
    QStringList unchanged;
    const auto offered = [this](int s) { return settings.offers(s); };
    for (int sub = written.isEmpty() ? WifiMode : nextWriteSub(written.last(), offered); sub >= 0;
         sub = nextWriteSub(sub, offered))
        unchanged << settingName(sub);
    const auto list = [](const QStringList &names) {
        return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
    };
    return QStringLiteral("written: %1; not written: %2").arg(list(changed), list(unchanged));
}

void NetworkSettingsWorkflow::fail(const QString &ending)
{
    const bool reading = link.oneShotState == ReaderStates::NetworkRead;
    takeLatestEdits();
    const QString summary = writeSummary();
    link.oneShotState = ReaderStates::Idle;
    log(failureLine(reading ? QStringLiteral("Reading network settings failed")
                            : QStringLiteral("Writing network settings failed"),
                    {ending, summary}));
    emit ended(false);
}
