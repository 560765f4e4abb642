// UDP discovery: the window's udpMessageReceive on any datagram from any
// sender, and the list's offline rule on any clock.
//
// Input: a flags byte, then the sender (bit 0: four bytes as an IPv4-mapped
// address, bit 1: four bytes as a dotted quad, else a line of text), a clock
// step (16 bits, ms), then the datagram as the listener receives it (at most
// 1024 bytes, text up to the first zero). Bit 2 runs the list timer after
// the datagram.
//
// After each datagram the list holds every reader at most once, by a
// dotted-quad address; an announcement that was taken shows its reader
// online.

#include <QApplication>
#include <QFont>
#include <QListWidget>
#include <QRegularExpression>
#include <QSet>

#include "app/mainwindow.h"
#include "discovery/announcement.h"
#include "fuzzsupport.h"

namespace {

qint64 g_now = 1000000;

QString dotted(Fuzz::Input &in)
{
    QStringList parts;
    for (int i = 0; i < 4; ++i)
        parts << QString::number(in.byte());
    return parts.join(QLatin1Char('.'));
}

// Four decimal octets of one to three digits, each at most 255. (The
// listener passes what inet_ntop writes, which has no leading zeros; the
// handler is fed other spellings here as well.)
bool isDottedQuad(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    for (int i = 1; i <= 4; ++i)
        if (m.captured(i).toInt() > 255)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    MainWindow *w = Fuzz::window();
    w->discoveryClock = [] { return g_now; };
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MainWindow *w = Fuzz::window();
    auto *list = w->findChild<QListWidget *>(QStringLiteral("lvDetectedDevices"));
    if (list->count() > 300)
        list->clear();

    Fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    QString ip;
    if (flags & 1)
        ip = QStringLiteral("::ffff:") + dotted(in);
    else if (flags & 2)
        ip = dotted(in);
    else
        ip = QString::fromLatin1(in.line(64));
    g_now += in.word();
    const QByteArray datagram = in.take(Discovery::MaxDatagram);
    const QString text = Discovery::datagramText(datagram.constData(), datagram.size());

    // The plain rules on their own.
    const QString address = Discovery::senderAddress(ip);
    FUZZ_CHECK(address.isEmpty() || isDottedQuad(address), ip + QStringLiteral(" -> ") + address);
    const QString padded = Discovery::paddedAddress(address);
    FUZZ_CHECK(address.isEmpty() == padded.isEmpty() && (padded.isEmpty() || padded.size() == 15),
               address + QStringLiteral(" -> ") + padded);
    Discovery::Announcement announcement;
    const bool isAnnouncement = Discovery::parseAnnouncement(text, &announcement);
    // The marker may stand anywhere; a scan request is never an announcement.
    FUZZ_CHECK(!isAnnouncement
                   || (text.contains(QLatin1String("Q_R4:")) && !text.contains(QLatin1String("SCAN"))
                       && text.count(QLatin1Char(':')) >= 2),
               text);

    const int handledBefore = w->udpAnnouncementsHandled;
    w->udpMessageReceive(text, ip);
    const bool taken = w->udpAnnouncementsHandled != handledBefore;
    FUZZ_CHECK(taken == (isAnnouncement && !address.isEmpty()),
               QStringLiteral("taken %1 for \"%2\" from %3").arg(taken).arg(text, ip));
    if (flags & 4)
        w->updateListTimer();
    Fuzz::settle();

    QSet<QString> seen;
    bool found = false;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem *entry = list->item(i);
        const QString a = entry->data(Discovery::AddressRole).toString();
        FUZZ_CHECK(isDottedQuad(a), a);
        FUZZ_CHECK(!seen.contains(a), QStringLiteral("%1 listed twice").arg(a));
        seen.insert(a);
        if (taken && a == address) {
            found = true;
            if (!(flags & 4))
                FUZZ_CHECK(entry->font().style() == QFont::StyleNormal, a + QStringLiteral(" not online"));
        }
    }
    FUZZ_CHECK(!taken || found, address + QStringLiteral(" not listed"));
    return 0;
}
