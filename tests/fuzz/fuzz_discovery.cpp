// UDP discovery: the window's udpMessageReceive on any datagram from any
// sender, and the list's offline rule on any clock.
//
// Input: a flags byte, then the sender (bit 0: four bytes as an IPv4-mapped
// address, bit 1: four bytes as a dotted quad, else a line of text), a clock
// step (16 bits, ms), then the datagram as the listener receives it (at most
// 1024 bytes, text up to the first zero). Bit 2 runs the list timer after
// the datagram. Bit 3 makes it a burst: sender, clock step, a length byte
// and that many bytes of datagram, again and again, all handed in before
// the event loop turns (a crowd of readers, or of forged senders).
//
// A lone announcement is taken at once and shows its reader online; in a
// burst, those over the budget of a turn wait for the next. Once the event
// loop has turned, every announcement was taken (or dropped, when too many
// waited), every reader announced is listed, and the list holds every
// reader at most once, by a dotted-quad address.

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

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Fuzz::searchLeaksAtEndOnly(argc, argv);
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
    const bool burst = flags & 8;
    const int handledBefore = w->udpAnnouncementsHandled;
    const int droppedBefore = w->udpAnnouncementsDropped;
    int announcements = 0;
    QStringList announced;
    bool takenAtOnce = false;
    do {
        QString ip;
        if (flags & 1)
            ip = QStringLiteral("::ffff:") + dotted(in);
        else if (flags & 2)
            ip = dotted(in);
        else
            ip = QString::fromLatin1(in.line(64));
        g_now += in.word();
        const QByteArray datagram = in.take(burst ? in.byte() : Discovery::MaxDatagram);
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

        const int handled = w->udpAnnouncementsHandled;
        w->udpMessageReceive(text, ip);
        if (isAnnouncement && !address.isEmpty()) {
            ++announcements;
            announced << address;
        }
        // A lone datagram is taken at once; in a burst, those over the
        // budget of a turn wait for the next.
        if (!burst) {
            takenAtOnce = w->udpAnnouncementsHandled != handled;
            FUZZ_CHECK(takenAtOnce == (isAnnouncement && !address.isEmpty()),
                       QStringLiteral("taken %1 for \"%2\" from %3").arg(takenAtOnce).arg(text, ip));
        }
    } while (burst && !in.empty());
    if (flags & 4)
        w->updateListTimer();

    // Every announcement is taken, or dropped when too many waited, once
    // the event loop has turned often enough.
    for (int turn = 0; turn < 64; ++turn) {
        Fuzz::settle();
        if (w->udpAnnouncementsHandled - handledBefore + w->udpAnnouncementsDropped - droppedBefore >= announcements)
            break;
    }
    const int handled = w->udpAnnouncementsHandled - handledBefore;
    const int dropped = w->udpAnnouncementsDropped - droppedBefore;
    FUZZ_CHECK(handled + dropped == announcements,
               QStringLiteral("%1 announcements: %2 taken, %3 dropped").arg(announcements).arg(handled).arg(dropped));

    QSet<QString> seen;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem *entry = list->item(i);
        const QString a = entry->data(Discovery::AddressRole).toString();
        FUZZ_CHECK(isDottedQuad(a), a);
        FUZZ_CHECK(!seen.contains(a), QStringLiteral("%1 listed twice").arg(a));
        seen.insert(a);
        if (takenAtOnce && !(flags & 4) && a == announced.last())
            FUZZ_CHECK(entry->font().style() == QFont::StyleNormal, a + QStringLiteral(" not online"));
    }
    if (dropped == 0)
        for (const QString &a : announced)
            FUZZ_CHECK(seen.contains(a), a + QStringLiteral(" not listed"));
    return 0;
}
