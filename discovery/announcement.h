#pragma once

// The pieces of UDP discovery that need neither a socket nor a window: the
// datagrams, the addresses a scan pass goes to, and the rules by which the
// detected-device list is kept.
//
// Datagrams on the discovery port 63311:
//   Q_R4:SCAN                     a client asks every host to announce itself
//   Q_R4:<name>:<version>[:...]   a reader announces itself (at most 1024
//                                 bytes; the text ends at the first NUL)
// The reader's identity is the sender's IPv4 address; the datagram carries none.

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QVector>

namespace Discovery {

constexpr quint16 Port = 63311;
constexpr int MaxDatagram = 1024;
constexpr qint64 OfflineAfterMs = 10000;
constexpr int SendBufferBytes = 1250000; // socket buffers of both loops
// Entries of the detected-device list that may change (be added, refreshed,
// go offline or online) between two turns of the GUI event loop, and the
// announcements that may wait for their turn meanwhile.
constexpr int ChangesPerTurn = 32;
constexpr int MaxPendingAnnouncements = 16384;

extern const char ScanRequest[]; // "Q_R4:SCAN", sent without terminator
constexpr int ScanRequestSize = 9;

// Roles of a detected-device list entry beside its display text: which
// reader it shows (DeviceDiscovery::Device).
enum Role {
    AddressRole = 0x0100, // Qt::UserRole: sender address as received
    NameRole, // name from the first announcement
    VersionRole, // firmware version from the first announcement
    PaddedAddressRole, // "%03d.%03d.%03d.%03d"
};

struct Announcement
{
    QString name;
    QString version;
};

// The received bytes as text, up to the first NUL or the end: UTF-8 when
// they are valid UTF-8 (a reader named "Unicode-Ünï"), else Latin-1.
QString datagramText(const char *data, int size);

// An announcement's name and version. False for anything else: no "Q_R4:"
// marker, "SCAN" anywhere (another client's request, or a name that looks
// like one), fewer than three fields, or more than 1024 characters. The
// fields are made one line each (oneLine).
bool parseAnnouncement(const QString &text, Announcement *announcement);

// The sender address in plain dotted decimal: an IPv4-mapped form
// ("::ffff:192.168.1.20") loses its prefix. Empty unless the result is a
// dotted-quad IPv4 address.
QString senderAddress(const QString &ip);

// "192.168.1.20" -> "192.168.001.020", so that the text order of the list is
// the numeric order of the addresses. Empty for anything but a dotted quad.
QString paddedAddress(const QString &ip);

// Where one scan pass sends its requests for one local address: every host
// 1 to 254 of its /24 except itself. None for IPv6 addresses and for
// 127.0.0.1.
QVector<quint32> scanTargets(const QHostAddress &local);
QVector<quint32> scanTargets(const QList<QHostAddress> &locals);

// Whether an entry last heard at lastHeard still counts as online at now
// (both on the discovery clock). A clock that reads earlier than the entry
// counts as just heard.
bool heardRecently(qint64 lastHeard, qint64 now);

// Milliseconds of the system's monotonic clock: it runs on across midnight
// and is not moved by setting the wall clock.
qint64 monotonicMs();

} // namespace Discovery
