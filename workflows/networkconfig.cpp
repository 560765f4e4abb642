#include "workflows/networkconfig.h"

#include <QStringList>

namespace NetworkConfig {

QByteArray readRequest(int sub)
{
    QByteArray payload;
    payload.append(char(Command)).append(char(sub));
    return payload;
}

QByteArray writeRequest(int sub, const QByteArray &value)
{
    return readRequest(sub) + value;
}

bool isTextSub(int sub)
{
    return sub == Ssid || sub == Password;
}

bool isAddressSub(int sub)
{
    return sub >= Ip && sub <= Dns;
}

bool hasFourParts(const QString &text)
{
    return text.split(QLatin1Char('.')).size() == 4;
}

QByteArray addressBytes(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    QByteArray bytes;
    for (int i = 0; i < 4; ++i)
        bytes.append(char(parts.value(i).toInt(nullptr, 10) & 0xFF));
    return bytes;
}

QString addressText(const QByteArray &value)
{
    if (value.size() < 4)
        return QString();
    return QStringLiteral("%1.%2.%3.%4")
        .arg(uint8_t(value.at(0)))
        .arg(uint8_t(value.at(1)))
        .arg(uint8_t(value.at(2)))
        .arg(uint8_t(value.at(3)));
}

QString textValue(const QByteArray &value)
{
    const int end = value.indexOf('\0');
    return QString::fromUtf8(end >= 0 ? value.left(end) : value);
}

QString writeLogLine(int sub)
{
    switch (sub) {
    case AuthMode:
        return QStringLiteral("Writing auth mode...");
    case Channel:
        return QStringLiteral("Writing channel...");
    case Ssid:
        return QStringLiteral("Writing SSID...");
    case Password:
        return QStringLiteral("Writing password...");
    case AddressType:
        return QStringLiteral("Writing address type...");
    case Ip:
        return QStringLiteral("Writing IP address...");
    case Netmask:
        return QStringLiteral("Writing netmask address...");
    case Gateway:
        return QStringLiteral("Writing gateway address...");
    case Dns:
        return QStringLiteral("Writing DNS address...");
    default:
        return QString();
    }
}

QString settingName(int sub)
{
    switch (sub) {
    case WifiMode:
        return QStringLiteral("Wi-Fi mode");
    case AuthMode:
        return QStringLiteral("authentication method");
    case Channel:
        return QStringLiteral("channel");
    case Ssid:
        return QStringLiteral("SSID");
    case Password:
        return QStringLiteral("Wi-Fi password");
    case AddressType:
        return QStringLiteral("address type");
    case Ip:
        return QStringLiteral("IP address");
    case Netmask:
        return QStringLiteral("netmask");
    case Gateway:
        return QStringLiteral("gateway");
    case Dns:
        return QStringLiteral("DNS server");
    default:
        return QStringLiteral("setting");
    }
}

bool isOffered(int sub, int wifiMode, int addressType)
{
    switch (sub) {
    case AuthMode:
    case Channel:
        return wifiMode == 0;
    case Ssid:
    case Password:
        return wifiMode == 0 || wifiMode == 1;
    default:
        return isAddressSub(sub) ? addressType != 0 : true;
    }
}

QByteArray Settings::value(int sub) const
{
    switch (sub) {
    case WifiMode:
        return QByteArray(1, char(wifiMode));
    case AuthMode:
        return QByteArray(1, char(authMode));
    case Channel:
        return QByteArray(1, char(channel));
    case Ssid:
    case Password:
        return text(sub).toUtf8();
    case AddressType:
        return QByteArray(1, char(addressType));
    default:
        return addressBytes(addresses[qBound(0, sub - Ip, 3)]);
    }
}

} // namespace NetworkConfig
