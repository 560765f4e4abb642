#pragma once

// The simulated reader's Wi-Fi and IP settings and the "Network config"
// command (09) with its sub-commands:
//   09 sub          -> 00 09 sub value   read; a sub above 9 -> 00 09 sub (no value)
//   09 sub value    -> 00 09 sub         write
//
//   sub  setting         value
//   0    Wi-Fi mode      1 byte: 0 access point, 1 client, 2 off
//   1    authentication  1 byte: 0 open, 1 WEP, 2 WPA, 3 WPA2, 4 WPA/WPA2
//   2    channel         1 byte, 1 to 13
//   3    SSID            text, at most 32 bytes (read answers end it with a zero byte)
//   4    password        text, at most 64 bytes (likewise)
//   5    address type    1 byte: 0 DHCP, 1 static
//   6-9  IP address, netmask, gateway, DNS server: 4 bytes, first part first
//
// Error numbers (FF code hi lo):
//   0901  no sub-command
//   0902  a value the setting cannot take (range, length)
//   0903  write of a sub-command above 9
//   09EE  a fault set with failSub

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QStringList>

#include "link/commandcodes.h"

class SimReader;
class SimRequest;

class SimNetwork : public QObject
{
    Q_OBJECT
public:
    static constexpr quint8 kCmdNetworkConfig = Command::NetworkConfig;
    static constexpr int kSubCount = 10;
    static constexpr int kMaxSsid = 32;
    static constexpr int kMaxPassword = 64;

    static constexpr quint16 kErrorNoSub = 0x0901;
    static constexpr quint16 kErrorValue = 0x0902;
    static constexpr quint16 kErrorSub = 0x0903;
    static constexpr quint16 kErrorInjected = 0x09EE;

    // Registers "Network config" on reader.
    explicit SimNetwork(SimReader *reader);
    static SimNetwork *of(SimReader *reader);

    // The stored value of a setting, as a read answer carries it (text
    // without its terminator).
    QByteArray value(int sub) const { return m_values.value(sub); }
    // Stores a value as it is, unchecked (a test may give the reader values
    // a client must cope with).
    void setValue(int sub, const QByteArray &value) { m_values[sub] = value; }
    // Whether a write of this value would be taken.
    static bool acceptable(int sub, const QByteArray &value);
    void restoreDefaults();

    // Every write taken, in order: sub-command and value.
    QList<QPair<int, QByteArray>> writes() const { return m_writes; }
    void clearWrites() { m_writes.clear(); }

    // Requests for sub are answered with errorNumber (Error) or not at all
    // (silent) the next times times (< 0: always; 0 withdraws it).
    void failSub(int sub, int times = 1, quint16 errorNumber = kErrorInjected);
    void silenceSub(int sub, int times = 1);
    void clearFaults() { m_faults.clear(); }

    // A control command of rx-reader-sim ("net ..." without the first word).
    QString command(const QStringList &words);

private:
    struct Fault
    {
        bool silent = false;
        int times = 0;
        quint16 error = 0;
    };
    void handle(SimRequest &req);
    QString showText() const;

    QMap<int, QByteArray> m_values;
    QList<QPair<int, QByteArray>> m_writes;
    QMap<int, Fault> m_faults;
};
