#include "xlsx/zipdirectory.h"

#include "xlsx/archive.h"

#include "common/safefile.h"

#include <QDateTime>
#include <algorithm>

namespace xlsx {

namespace {

constexpr quint32 LocalSignature = 0x04034b50;
constexpr quint32 CentralSignature = 0x02014b50;
constexpr quint32 EndSignature = 0x06054b50;
constexpr quint32 Zip64LocatorSignature = 0x07064b50;
constexpr int LocalHeaderSize = 30;
constexpr int CentralHeaderSize = 46;
constexpr int EndSize = 22;
constexpr quint16 Encrypted = 0x0001;
constexpr quint16 DataDescriptor = 0x0008;
constexpr quint16 Deflate = 8;

quint32 get(const QByteArray &b, qint64 at, int size)
{
    quint32 v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = v << 8 | uchar(b[int(at + i)]);
    return v;
}

void put(QByteArray &b, int at, quint32 v, int size)
{
    for (int i = 0; i < size; ++i, v >>= 8)
        b[at + i] = char(v & 0xFF);
}

// Now in MS-DOS form: time and date.
QPair<quint16, quint16> dosNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    const int year = qBound(1980, d.year(), 2107);
    return {quint16(t.hour() << 11 | t.minute() << 5 | t.second() / 2),
            quint16((year - 1980) << 9 | d.month() << 5 | d.day())};
}

// The fields a local header (from offset 6) and a central directory record
// (from offset 8) share, for a part written anew: flags, method, time and
// date, CRC and both sizes.
void putPartFields(QByteArray &record, int at, quint16 flags, QPair<quint16, quint16> when, const EncodedPart &part)
{
    put(record, at, flags & ~DataDescriptor, 2);
    put(record, at + 2, Deflate, 2);
    put(record, at + 4, when.first, 2);
    put(record, at + 6, when.second, 2);
    put(record, at + 8, part.crc, 4);
    put(record, at + 12, quint32(part.compressedSize()), 4);
    put(record, at + 16, quint32(part.size), 4);
}

// The extra fields of a record without the sheet index; false when they do
// not parse.
bool splitExtra(const QByteArray &extra, QByteArray *others, QByteArray *index)
{
    int at = 0;
    while (at < extra.size()) {
        if (extra.size() - at < 4)
            return false;
        const quint32 id = get(extra, at, 2);
        const int length = int(get(extra, at + 2, 2));
        if (extra.size() - at - 4 < length)
            return false;
        if (id == SheetIndexFieldId)
            *index = extra.mid(at + 4, length);
        else
            others->append(extra.constData() + at, 4 + length);
        at += 4 + length;
    }
    return true;
}

} // namespace

bool ZipDirectory::read(const QByteArray &file)
{
    m_file = &file;
    m_entries.clear();
    m_byOffset.clear();
    const qint64 n = file.size();
    if (n < EndSize || n > 0xFFFFFFFFll)
        return false;
    // The end record: the last signature that the comment length fits.
    m_end = -1;
    for (qint64 at = n - EndSize; at >= 0 && at >= n - EndSize - 65535; --at) {
        if (get(file, at, 4) == EndSignature && at + EndSize + get(file, at + 20, 2) == n) {
            m_end = at;
            break;
        }
    }
    if (m_end < 0 || (m_end >= 20 && get(file, m_end - 20, 4) == Zip64LocatorSignature))
        return false;
    const quint32 count = get(file, m_end + 10, 2);
    m_directory = get(file, m_end + 16, 4);
    if (get(file, m_end + 4, 2) != 0 || get(file, m_end + 6, 2) != 0 || get(file, m_end + 8, 2) != count
        || count == 0xFFFF || m_directory + get(file, m_end + 12, 4) != m_end)
        return false;

    qint64 at = m_directory;
    for (quint32 i = 0; i < count; ++i) {
        if (m_end - at < CentralHeaderSize || get(file, at, 4) != CentralSignature)
            return false;
        Entry e;
        e.flags = quint16(get(file, at + 8, 2));
        e.method = quint16(get(file, at + 10, 2));
        e.crc = get(file, at + 16, 4);
        e.compressedSize = get(file, at + 20, 4);
        e.size = get(file, at + 24, 4);
        const int nameLength = int(get(file, at + 28, 2));
        e.extraLength = int(get(file, at + 30, 2));
        const int commentLength = int(get(file, at + 32, 2));
        e.localOffset = get(file, at + 42, 4);
        e.record = int(at);
        e.recordLength = CentralHeaderSize + nameLength + e.extraLength + commentLength;
        e.extraStart = CentralHeaderSize + nameLength;
        if (m_end - at < e.recordLength || get(file, at + 34, 2) != 0 || e.compressedSize == 0xFFFFFFFF
            || e.size == 0xFFFFFFFF || e.localOffset == 0xFFFFFFFF)
            return false;
        e.name = file.mid(int(at + CentralHeaderSize), nameLength);
        QByteArray others;
        if (!splitExtra(file.mid(int(at + e.extraStart), e.extraLength), &others, &e.index))
            return false;
        const qint64 local = e.localOffset;
        if (local + LocalHeaderSize > m_directory || get(file, local, 4) != LocalSignature
            || int(get(file, local + 26, 2)) != nameLength
            || file.mid(int(local + LocalHeaderSize), nameLength) != e.name)
            return false;
        e.dataOffset = local + LocalHeaderSize + nameLength + get(file, local + 28, 2);
        m_entries.push_back(e);
        at += e.recordLength;
    }
    if (at != m_end)
        return false;

    for (size_t i = 0; i < m_entries.size(); ++i)
        m_byOffset.push_back(int(i));
    std::sort(m_byOffset.begin(), m_byOffset.end(),
              [this](int a, int b) { return m_entries[size_t(a)].localOffset < m_entries[size_t(b)].localOffset; });
    qint64 expected = 0;
    for (size_t k = 0; k < m_byOffset.size(); ++k) {
        Entry &e = m_entries[size_t(m_byOffset[k])];
        if (k == 0 ? e.localOffset != 0 : e.localOffset <= expected)
            return false;
        e.end = k + 1 < m_byOffset.size() ? m_entries[size_t(m_byOffset[k + 1])].localOffset : m_directory;
        if (e.dataOffset + e.compressedSize > e.end)
            return false;
        expected = e.localOffset;
    }
    return true;
}

QByteArray ZipDirectory::deflatedData(int entry) const
{
    const Entry &e = m_entries[size_t(entry)];
    if (e.method != Deflate || (e.flags & Encrypted))
        return QByteArray();
    return QByteArray::fromRawData(m_file->constData() + e.dataOffset, int(e.compressedSize));
}

bool ZipDirectory::write(SafeFileWriter &out, const QHash<int, const EncodedPart *> &parts, QString *error) const
{
    const QByteArray &file = *m_file;
    const auto when = dosNow();
    std::vector<qint64> offsets(m_entries.size());
    qint64 at = 0;
    auto fail = [&](const QString &why) {
        *error = why;
        return false;
    };
    auto write = [&](const char *data, qint64 size) {
        at += size;
        return out.write(data, size);
    };
    for (int i : m_byOffset) {
        const Entry &e = m_entries[size_t(i)];
        offsets[size_t(i)] = at;
        const EncodedPart *part = parts.value(i);
        if (!part) {
            if (!write(file.constData() + e.localOffset, e.end - e.localOffset))
                return false;
            continue;
        }
        if (part->size >= 0xFFFFFFFFll || part->compressedSize() >= 0xFFFFFFFFll)
            return fail(QStringLiteral("%1 is too large").arg(QString::fromUtf8(e.name)));
        QByteArray header(LocalHeaderSize, '\0');
        put(header, 0, LocalSignature, 4);
        put(header, 4, get(file, e.record + 6, 2), 2); // version needed, as the directory says
        putPartFields(header, 6, e.flags, when, *part);
        put(header, 26, quint32(e.name.size()), 2);
        header += e.name;
        if (!write(header.constData(), header.size()))
            return false;
        for (const QByteArray &piece : part->pieces)
            if (!write(piece.constData(), piece.size()))
                return false;
    }
    if (at >= 0xFFFFFFFFll)
        return fail(QStringLiteral("the archive is too large"));

    const qint64 directory = at;
    QByteArray records;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const Entry &e = m_entries[i];
        QByteArray record = file.mid(e.record, e.recordLength);
        const EncodedPart *part = parts.value(int(i));
        if (part) {
            QByteArray extra, oldIndex;
            splitExtra(record.mid(e.extraStart, e.extraLength), &extra, &oldIndex);
            if (!part->index.isEmpty() && extra.size() + 4 + part->index.size() < MaxIndexFieldBytes) {
                QByteArray field(4, '\0');
                put(field, 0, SheetIndexFieldId, 2);
                put(field, 2, quint32(part->index.size()), 2);
                extra += field + part->index;
            }
            record.replace(e.extraStart, e.extraLength, extra);
            putPartFields(record, 8, e.flags, when, *part);
            put(record, 30, quint32(extra.size()), 2);
        }
        put(record, 42, quint32(offsets[i]), 4);
        records += record;
    }
    QByteArray end = file.mid(int(m_end));
    put(end, 12, quint32(records.size()), 4);
    put(end, 16, quint32(directory), 4);
    if (directory + records.size() >= 0xFFFFFFFFll)
        return fail(QStringLiteral("the archive is too large"));
    return write(records.constData(), records.size()) && write(end.constData(), end.size());
}

} // namespace xlsx
