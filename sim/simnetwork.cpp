#include "sim/simnetwork.h"

#include "sim/simreader.h"

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

const char *const kNames[SimNetwork::kSubCount]
    = {"mode", "auth", "channel", "ssid", "password", "address-type", "ip", "netmask", "gateway", "dns"};

bool isText(int sub)
{
    return sub == 3 || sub == 4;
}

bool isAddress(int sub)
{
    return sub >= 6 && sub <= 9;
}

} // namespace

SimNetwork::SimNetwork(SimReader *reader)
    : QObject(reader)
{
    setObjectName(QStringLiteral("SimNetwork"));
    restoreDefaults();
    reader->registerCommand(kCmdNetworkConfig, [this](SimRequest &req) { handle(req); });
}

SimNetwork *SimNetwork::of(SimReader *reader)
{
    return reader ? reader->findChild<SimNetwork *>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
}

void SimNetwork::restoreDefaults()
{
    m_values.clear();
    m_values[0] = bytes({0});
    m_values[1] = bytes({3});
    m_values[2] = bytes({6});
    m_values[3] = QByteArrayLiteral("Quill-R4");
    m_values[4] = QByteArrayLiteral("quill-setup");
    m_values[5] = bytes({0});
    m_values[6] = bytes({192, 168, 4, 1});
    m_values[7] = bytes({255, 255, 255, 0});
    m_values[8] = bytes({192, 168, 4, 1});
    m_values[9] = bytes({192, 168, 4, 1});
}

bool SimNetwork::acceptable(int sub, const QByteArray &value)
{
    const int first = value.isEmpty() ? -1 : quint8(value.at(0));
    switch (sub) {
    case 0:
        return value.size() == 1 && first <= 2;
    case 1:
        return value.size() == 1 && first <= 4;
    case 2:
        return value.size() == 1 && first >= 1 && first <= 13;
    case 3:
        return value.size() <= kMaxSsid && !value.contains('\0');
    case 4:
        return value.size() <= kMaxPassword && !value.contains('\0');
    case 5:
        return value.size() == 1 && first <= 1;
    default:
        return isAddress(sub) && value.size() == 4;
    }
}

void SimNetwork::failSub(int sub, int times, quint16 errorNumber)
{
    if (times == 0)
        m_faults.remove(sub);
    else
        m_faults.insert(sub, Fault {false, times, errorNumber});
}

void SimNetwork::silenceSub(int sub, int times)
{
    if (times == 0)
        m_faults.remove(sub);
    else
        m_faults.insert(sub, Fault {true, times, 0});
}

void SimNetwork::handle(SimRequest &req)
{
    if (req.params.isEmpty()) {
        req.error(kErrorNoSub);
        return;
    }
    const int sub = quint8(req.params.at(0));
    const QByteArray value = req.params.mid(1);
    // "09 sub" alone is a read, so a write of an empty SSID or password
    // (which has no value bytes) is taken as a read of it.

    const auto fault = m_faults.find(sub);
    if (fault != m_faults.end()) {
        const Fault f = *fault;
        if (fault->times > 0 && --fault->times == 0)
            m_faults.erase(fault);
        if (f.silent)
            req.silent();
        else
            req.error(f.error);
        return;
    }

    QByteArray answer(1, char(sub));
    if (req.params.size() == 1) {
        if (sub < kSubCount) {
            answer += m_values.value(sub);
            if (isText(sub))
                answer += '\0';
        }
        req.ack(answer);
        return;
    }
    if (sub >= kSubCount) {
        req.error(kErrorSub);
        return;
    }
    if (!acceptable(sub, value)) {
        req.error(kErrorValue);
        return;
    }
    m_values[sub] = value;
    m_writes.append(qMakePair(sub, value));
    req.ack(answer);
}

QString SimNetwork::showText() const
{
    QStringList parts;
    for (int sub = 0; sub < kSubCount; ++sub) {
        const QByteArray v = m_values.value(sub);
        QString text;
        if (isText(sub))
            text = QStringLiteral("\"%1\"").arg(QString::fromUtf8(v));
        else if (isAddress(sub) && v.size() == 4)
            text
                = QStringLiteral("%1.%2.%3.%4").arg(quint8(v[0])).arg(quint8(v[1])).arg(quint8(v[2])).arg(quint8(v[3]));
        else
            text = QString::fromLatin1(v.toHex(' ').toUpper());
        parts << QStringLiteral("%1=%2").arg(QString::fromLatin1(kNames[sub]), text);
    }
    return parts.join(QLatin1Char(' '));
}

QString SimNetwork::command(const QStringList &words)
{
    const QString sub = words.value(0);
    if (sub.isEmpty() || sub == QLatin1String("show"))
        return showText();
    if (sub == QLatin1String("defaults")) {
        restoreDefaults();
        return showText();
    }
    if (sub == QLatin1String("set") && words.size() >= 2) {
        int index = -1;
        for (int i = 0; i < kSubCount; ++i) {
            if (words[1] == QLatin1String(kNames[i]))
                index = i;
        }
        if (index < 0)
            return QStringLiteral("unknown setting \"%1\"").arg(words[1]);
        const QString rest = words.mid(2).join(QLatin1Char(' '));
        QByteArray value;
        if (isText(index)) {
            value = rest.toUtf8();
        } else if (isAddress(index)) {
            const QStringList parts = rest.split(QLatin1Char('.'));
            if (parts.size() != 4)
                return QStringLiteral("usage: net set %1 A.B.C.D").arg(words[1]);
            for (const QString &part : parts)
                value.append(char(part.toInt() & 0xFF));
        } else {
            bool ok = false;
            const int number = rest.toInt(&ok);
            if (!ok || number < 0 || number > 255)
                return QStringLiteral("usage: net set %1 NUMBER").arg(words[1]);
            value.append(char(number));
        }
        setValue(index, value); // unchecked, on purpose
        return showText();
    }
    if (sub == QLatin1String("fail") && words.size() >= 2) {
        bool ok = false;
        const int index = words[1].toInt(&ok);
        if (!ok || index < 0 || index > 255)
            return QStringLiteral("usage: net fail SUB [TIMES]");
        const int times = words.size() > 2 ? words[2].toInt() : 1;
        failSub(index, times);
        return QStringLiteral("sub-command %1 fails").arg(index);
    }
    if (sub == QLatin1String("clear")) {
        clearFaults();
        return QStringLiteral("no faults");
    }
    return QStringLiteral("usage: net show | net set SETTING VALUE | net defaults | net fail SUB [TIMES] | net clear\n"
                          "settings: mode auth channel ssid password address-type ip netmask gateway dns");
}
