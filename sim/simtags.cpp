#include "sim/simtags.h"

#include "sim/simreader.h"

// ---------------------------------------------------------------- SimTag

SimTag SimTag::ultralight(const QByteArray &uid, int pages)
{
    SimTag tag;
    tag.type = kTypeUltralight;
    tag.bracket = 0x00;
    tag.uid = uid;
    tag.memory = QByteArray(qBound(kFirstUserPage, pages, 256) * kPageSize, '\0');
    if (uid.size() == 7) {
        // UID0 UID1 UID2 BCC0 | UID3 UID4 UID5 UID6 | BCC1 internal lock0 lock1
        const auto b = [&uid](int i) { return quint8(uid.at(i)); };
        const QByteArray head = QByteArray(uid.constData(), 3) + char(0x88 ^ b(0) ^ b(1) ^ b(2)) + uid.mid(3, 4)
            + char(b(3) ^ b(4) ^ b(5) ^ b(6)) + char(0x48);
        tag.memory.replace(0, head.size(), head);
    } else {
        const QByteArray head = uid.left(3 * kPageSize);
        tag.memory.replace(0, head.size(), head);
    }
    return tag;
}

SimTag SimTag::classic(const QByteArray &uid)
{
    SimTag tag;
    tag.type = kTypeOther;
    tag.bracket = 0x08;
    tag.uid = uid;
    return tag;
}

// ---------------------------------------------------------------- SimTagField

SimTagField::SimTagField(SimReader *reader)
    : QObject(reader)
    , m_reader(reader)
{
    reader->registerCommand(kCmdGetTagCount,
                            [this](SimRequest &req) { req.ack(QByteArray(1, char(qMin(m_tags.size(), 255)))); });
    reader->registerCommand(kCmdGetUid, [this](SimRequest &req) { getUid(req); });
    reader->registerCommand(kCmdActivate, [this](SimRequest &req) { activate(req); });
    reader->registerCommand(kCmdHalt, [this](SimRequest &req) {
        m_activeUid.clear();
        req.ack();
    });
    reader->registerCommand(kCmdReadPage, [this](SimRequest &req) { readPage(req); });
    reader->registerCommand(kCmdWritePage, [this](SimRequest &req) { writePage(req); });
}

void SimTagField::placeTag(const SimTag &tag)
{
    const int index = indexOf(tag.uid);
    if (index >= 0)
        m_tags[index] = tag;
    else
        m_tags.append(tag);
    emit changed();
    if (m_tagEvents)
        m_reader->sendEvent(kEventTag);
}

bool SimTagField::removeTag(const QByteArray &uid)
{
    const int index = indexOf(uid);
    if (index < 0)
        return false;
    m_tags.removeAt(index);
    if (uid == m_activeUid)
        m_activeUid.clear();
    emit changed();
    return true;
}

void SimTagField::clear()
{
    m_tags.clear();
    m_activeUid.clear();
    emit changed();
}

int SimTagField::indexOf(const QByteArray &uid) const
{
    for (int i = 0; i < m_tags.size(); ++i) {
        if (m_tags[i].uid == uid)
            return i;
    }
    return -1;
}

int SimTagField::pageTarget() const
{
    if (!m_activeUid.isEmpty()) {
        const int active = indexOf(m_activeUid);
        if (active >= 0)
            return active;
    }
    return m_tags.isEmpty() ? -1 : 0;
}

void SimTagField::getUid(SimRequest &req)
{
    if (req.params.isEmpty()) {
        req.error(kErrorParams);
        return;
    }
    const int index = quint8(req.params.at(0));
    if (index >= m_tags.size()) {
        req.error(kErrorNoTag);
        return;
    }
    const SimTag &tag = m_tags[index];
    QByteArray data;
    data.append(char(tag.type));
    data.append(char(tag.bracket));
    data.append(tag.uid);
    req.ack(data);
}

void SimTagField::activate(SimRequest &req)
{
    if (req.params.isEmpty()) {
        req.error(kErrorParams);
        return;
    }
    const int index = quint8(req.params.at(0));
    if (index >= m_tags.size()) {
        req.error(kErrorNoTag);
        return;
    }
    m_activeUid = m_tags[index].uid;
    req.ack();
}

// Shared checks of the page commands: parameters, tag, type, range. On
// failure the error is answered and false returned.
bool SimTagField::checkPages(SimRequest &req, int *index, int *first, int *count)
{
    if (req.params.size() < 2 || req.params.at(1) == 0) {
        req.error(kErrorParams);
        return false;
    }
    *first = quint8(req.params.at(0));
    *count = quint8(req.params.at(1));
    *index = pageTarget();
    if (*index < 0) {
        req.error(kErrorNoTag);
        return false;
    }
    const SimTag &tag = m_tags[*index];
    if (!tag.isUltralight()) {
        req.error(kErrorNotUltralight);
        return false;
    }
    if (*first + *count > tag.pageCount()) {
        req.error(kErrorPageRange);
        return false;
    }
    return true;
}

void SimTagField::readPage(SimRequest &req)
{
    int index, first, count;
    if (checkPages(req, &index, &first, &count))
        req.ack(m_tags[index].pages(first, count));
}

void SimTagField::writePage(SimRequest &req)
{
    int index, first, count;
    if (!checkPages(req, &index, &first, &count))
        return;
    if (first < SimTag::kFirstUserPage) {
        req.error(kErrorPageLocked);
        return;
    }
    const int size = count * SimTag::kPageSize;
    if (req.params.size() - 2 < size) {
        req.error(kErrorParams);
        return;
    }
    // Bytes beyond count pages are ignored.
    m_tags[index].memory.replace(first * SimTag::kPageSize, size, req.params.mid(2, size));
    emit changed();
    req.ack();
}
