#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// The sub-commands of "Network config" (09) and their values.
//
//   read   09 sub                -> 00 09 sub value
//   write  09 sub value          -> 00 09 sub
//
// Values: one byte (mode, authentication, channel, address type), four bytes
// for an address (first dotted part first), text without terminator for the
// SSID and the password (a read answer's text ends at its first zero byte).
namespace NetworkConfig {

enum Sub {
    WifiMode = 0,
    AuthMode = 1,
    Channel = 2,
    Ssid = 3,
    Password = 4,
    AddressType = 5,
    Ip = 6,
    Netmask = 7,
    Gateway = 8,
    Dns = 9,
    SubCount = 10,
};

constexpr uint8_t Command = 0x09;

QByteArray readRequest(int sub);
QByteArray writeRequest(int sub, const QByteArray &value);

bool isTextSub(int sub);
bool isAddressSub(int sub);

// Complete address input is four dotted parts; the part count is what the
// write checks ("1.2.3." has four, the last one empty).
bool hasFourParts(const QString &text);
// Each dotted part as a decimal number, its low 8 bits; a part that is
// missing or not a number gives 0.
QByteArray addressBytes(const QString &text);
// "a.b.c.d", each byte in decimal. Empty when fewer than four bytes.
QString addressText(const QByteArray &value);
// The text of a read answer: up to the first zero byte or the end.
QString textValue(const QByteArray &value);

// The log line of a write step ("Writing SSID..."); empty for sub 0.
QString writeLogLine(int sub);
// The name of a setting in the log ("Wi-Fi mode", "SSID", ...).
QString settingName(int sub);

// The choices the reader has for its one-byte settings, as the Network tab
// lists them: Wi-Fi mode access point, client, off; authentication open,
// WEP, WPA PSK, WPA2 PSK, WPA/WPA2 PSK; address type DHCP, static; the
// channels 1 to 13.
constexpr int WifiModeCount = 3;
constexpr int AuthModeCount = 5;
constexpr int AddressTypeCount = 2;
constexpr int ChannelMin = 1;
constexpr int ChannelMax = 13;

// Whether sub matters under this Wi-Fi mode and address type: the
// authentication and the channel only for an access point, the SSID and
// the password not with Wi-Fi off, the addresses only for a static address;
// the mode and the address type always.
bool isOffered(int sub, int wifiMode, int addressType);

// The settings as they are edited: the choices by their index, the
// addresses as typed.
struct Settings
{
    int wifiMode = 0;
    int authMode = 0;
    int channel = ChannelMin;
    QString ssid;
    QString password;
    int addressType = 0;
    QString addresses[4]; // Ip, Netmask, Gateway, Dns

    bool offers(int sub) const { return isOffered(sub, wifiMode, addressType); }
    QString text(int sub) const { return sub == Ssid ? ssid : password; }
    // What a write of sub sends.
    QByteArray value(int sub) const;
};

// The sub-command to write after the answer for sub k: subs 1 to 4 and 6 to
// 9 only when enabled(sub) is true, sub 5 always. -1 when none is left.
template<class Enabled>
int nextWriteSub(int k, Enabled enabled)
{
    for (int sub = k + 1; sub < SubCount; ++sub) {
        if (sub == AddressType || enabled(sub))
            return sub;
    }
    return -1;
}

} // namespace NetworkConfig
