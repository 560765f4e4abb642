#pragma once

// Virtual tags on the simulated reader's antenna, and the tag commands that
// work on them:
//   02 Get tag count                     -> 00 02 count
//   03 Get UID, tag index                -> 00 03 type bracket uid...
//   04 Activate TAG, tag index           -> 00 04
//   05 HALT                              -> 00 05
//   40 Ultralight read page, page count  -> 00 40 count*4 bytes
//   41 Ultralight write page, page count data(count*4)  -> 00 41
//
// Page commands act on the tag last activated while it stays on the field,
// otherwise on tag 0; HALT ends the activation. No activation is needed
// before reading or writing (the client's loop test goes straight from Get
// UID to the page commands). Pages 0 to 3 of an Ultralight hold the UID, the
// lock bytes and the OTP page; they can be read but not written.
//
// Error numbers (FF code hi lo):
//   0101  no tag at that index, or no tag on the field at all
//   0102  parameters missing or too short, or a page count of 0
//   0103  page command on a tag that is not an Ultralight
//   0104  pages outside the tag's memory
//   0105  write to one of the pages 0 to 3

#include <QByteArray>
#include <QList>
#include <QObject>

#include "link/commandcodes.h"

class SimReader;
class SimRequest;

struct SimTag
{
    static constexpr quint8 kTypeUltralight = 1;
    static constexpr quint8 kTypeOther = 2; // MIFARE Classic and the rest: no pages
    static constexpr int kPageSize = 4;
    static constexpr int kFirstUserPage = 4;

    quint8 type = kTypeOther;
    quint8 bracket = 0; // second byte of the Get UID answer; the client ignores it
    QByteArray uid;
    QByteArray memory; // Ultralight: pageCount() pages of 4 bytes

    // An Ultralight with pages pages (4 to 256; 16 for an Ultralight, 45 for
    // an NTAG213-like tag). Pages 0 to 2 carry the UID (a 7-byte UID in the
    // ISO 14443 layout with its check bytes), the rest is zero.
    static SimTag ultralight(const QByteArray &uid, int pages = 16);
    static SimTag classic(const QByteArray &uid);

    bool isUltralight() const { return type == kTypeUltralight; }
    int pageCount() const { return isUltralight() ? memory.size() / kPageSize : 0; }
    QByteArray pages(int first, int count) const { return memory.mid(first * kPageSize, count * kPageSize); }
};

// The antenna of one SimReader: the tags in its field, in the order they
// were placed (index 0 first). Created by the reader, which owns it.
class SimTagField : public QObject
{
    Q_OBJECT
public:
    static constexpr quint8 kCmdGetTagCount = Command::GetTagCount;
    static constexpr quint8 kCmdGetUid = Command::GetUid;
    static constexpr quint8 kCmdActivate = Command::ActivateTag;
    static constexpr quint8 kCmdHalt = Command::Halt;
    static constexpr quint8 kCmdReadPage = Command::UltralightReadPage;
    static constexpr quint8 kCmdWritePage = Command::UltralightWritePage;
    static constexpr quint8 kEventTag = 0x01;

    static constexpr quint16 kErrorNoTag = 0x0101;
    static constexpr quint16 kErrorParams = 0x0102;
    static constexpr quint16 kErrorNotUltralight = 0x0103;
    static constexpr quint16 kErrorPageRange = 0x0104;
    static constexpr quint16 kErrorPageLocked = 0x0105;

    // Registers the tag commands on reader.
    explicit SimTagField(SimReader *reader);

    // A tag with the UID of one already there takes its place (and index).
    void placeTag(const SimTag &tag);
    bool removeTag(const QByteArray &uid);
    void clear();
    QList<SimTag> tags() const { return m_tags; }
    int count() const { return m_tags.size(); }

    // When on, every tag placed on the field sends the tag event (FE 01) on
    // all of the reader's transports. Taking tags off sends nothing.
    void setTagEvents(bool on) { m_tagEvents = on; }
    bool tagEvents() const { return m_tagEvents; }

signals:
    void changed();

private:
    int indexOf(const QByteArray &uid) const;
    int pageTarget() const; // tag the page commands act on, -1 if none
    void getUid(SimRequest &req);
    void activate(SimRequest &req);
    void readPage(SimRequest &req);
    void writePage(SimRequest &req);
    bool checkPages(SimRequest &req, int *index, int *first, int *count);

    SimReader *m_reader;
    QList<SimTag> m_tags;
    QByteArray m_activeUid; // empty: no tag activated
    bool m_tagEvents = false;
};
