#include "xlsx/archive.h"

#include "xlsx/deflate.h"
#include "xlsx/xmltext.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <zip.h>

namespace xlsx {

namespace {

// Level for parts other than worksheets: they are small.
constexpr int PartLevel = 6;

QString zipErrorText(zip_error_t *error)
{
    return QString::fromUtf8(zip_error_strerror(error));
}

quint64 littleEndian(const QByteArray &bytes, qint64 at, int size)
{
    quint64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | uchar(bytes[int(at) + i]);
    return value;
}

// The largest entry count any end-of-central-directory record near the end
// of the file claims, looked up before libzip allocates for it. (A zip64
// count stands behind 0xFFFF, which is over the limit already.)
quint64 claimedEntries(const QByteArray &bytes)
{
    const qint64 n = bytes.size();
    quint64 most = 0;
    for (qint64 at = n - 22; at >= 0 && at >= n - 22 - 65535; --at)
        if (bytes[int(at)] == 'P' && bytes.mid(int(at), 4) == QByteArray("PK\x05\x06", 4))
            most = qMax(most, littleEndian(bytes, at + 10, 2));
    return most;
}

} // namespace

qint64 EncodedPart::compressedSize() const
{
    qint64 n = 0;
    for (const QByteArray &p : pieces)
        n += p.size();
    return n;
}

bool encodePart(const QByteArray &data, EncodedPart *out)
{
    *out = EncodedPart();
    QByteArray deflated;
    if (!deflateRaw(data, PartLevel, &deflated))
        return false;
    out->pieces = {deflated};
    out->size = data.size();
    out->crc = crc32Of(data);
    return true;
}

ArchiveReader::~ArchiveReader()
{
    if (m_zip)
        zip_discard(m_zip);
}

bool ArchiveReader::open(const QByteArray &bytes, QString *error)
{
    if (claimedEntries(bytes) > quint64(MaxEntries)) {
        *error = QStringLiteral("too many parts");
        return false;
    }
    zip_error_t ze;
    zip_error_init(&ze);
    zip_source_t *source = zip_source_buffer_create(bytes.constData(), zip_uint64_t(bytes.size()), 0, &ze);
    // The consistency checks make sure that every entry's data lies where
    // its headers say: unchanged entries are copied by those headers when
    // the workbook is saved.
    if (source)
        m_zip = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &ze);
    if (!m_zip) {
        *error = QStringLiteral("not a zip archive (%1)").arg(zipErrorText(&ze));
        if (source)
            zip_source_free(source);
    }
    zip_error_fini(&ze);
    if (m_zip && zip_get_num_entries(m_zip, 0) > MaxEntries) {
        *error = QStringLiteral("too many parts");
        return false;
    }
    return m_zip != nullptr;
}

qint64 ArchiveReader::locate(const QString &name) const
{
    if (name.isEmpty())
        return -1;
    const qint64 index = zip_name_locate(m_zip, name.toUtf8().constData(), ZIP_FL_NOCASE);
    if (index >= 0 || !name.contains(QLatin1Char('%')))
        return index;
    return zip_name_locate(m_zip, QByteArray::fromPercentEncoding(name.toUtf8()).constData(), ZIP_FL_NOCASE);
}

QString ArchiveReader::nameAt(qint64 index) const
{
    const char *name = zip_get_name(m_zip, zip_uint64_t(index), 0);
    return name ? QString::fromUtf8(name) : QString();
}

bool ArchiveReader::spend(qint64 bytes, QString *error)
{
    if (bytes > m_budget) {
        *error = QStringLiteral("the parts are too large");
        return false;
    }
    m_budget -= bytes;
    return true;
}

bool ArchiveReader::read(qint64 index, QByteArray *out, QString *error)
{
    out->clear();
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(m_zip, zip_uint64_t(index), 0, &st) < 0 || !(st.valid & ZIP_STAT_COMP_SIZE)) {
        *error = QStringLiteral("%1: %2").arg(nameAt(index), zipErrorText(zip_get_error(m_zip)));
        return false;
    }
    // Nothing of the sizes the archive claims is trusted; a part may only
    // grow so far beyond what it takes in the file.
    const qint64 deflated = qint64(qMin<zip_uint64_t>(st.comp_size, zip_uint64_t(MaxLoadBytes)));
    const qint64 limit = qMin(qMax(PartBytesFloor, deflated * MaxExpansion), qint64(INT_MAX) - 65536);
    zip_file_t *file = zip_fopen_index(m_zip, zip_uint64_t(index), 0);
    if (!file) {
        *error = QStringLiteral("%1: %2").arg(nameAt(index), zipErrorText(zip_get_error(m_zip)));
        return false;
    }
    if ((st.valid & ZIP_STAT_SIZE) && st.size <= zip_uint64_t(qMin(limit, m_budget)))
        out->reserve(int(st.size));
    char chunk[65536];
    bool ok = true;
    for (;;) {
        const zip_int64_t n = zip_fread(file, chunk, sizeof chunk);
        if (n < 0) {
            *error = QStringLiteral("%1: %2").arg(nameAt(index), zipErrorText(zip_file_get_error(file)));
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (out->size() + n > limit) {
            *error = QStringLiteral("%1: the part expands too far").arg(nameAt(index));
            ok = false;
            break;
        }
        if (!spend(n, error)) {
            *error = QStringLiteral("%1: %2").arg(nameAt(index), *error);
            ok = false;
            break;
        }
        out->append(chunk, int(n));
    }
    zip_fclose(file);
    if (!ok)
        *out = QByteArray();
    return ok;
}

bool ArchiveReader::readXml(qint64 index, XmlText *out, QString *error)
{
    QByteArray bytes;
    if (!read(index, &bytes, error))
        return false;
    QString why;
    if (!decodeXml(bytes, out, &why)) {
        *error = QStringLiteral("%1: %2").arg(nameAt(index), why);
        return false;
    }
    return true;
}

// A part handed to libzip already deflated, with its size and CRC, so that
// libzip copies it as it is.
struct DeflatedSource
{
    EncodedPart part;
    int piece = 0;
    qint64 at = 0;
    time_t mtime = 0;
    zip_error_t error;
};

namespace {

zip_int64_t readDeflated(void *state, void *data, zip_uint64_t length, zip_source_cmd_t command)
{
    auto *d = static_cast<DeflatedSource *>(state);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        d->piece = 0;
        d->at = 0;
        return 0;
    case ZIP_SOURCE_READ: {
        zip_uint64_t done = 0;
        char *to = static_cast<char *>(data);
        while (done < length && d->piece < d->part.pieces.size()) {
            const QByteArray &p = d->part.pieces[d->piece];
            const zip_uint64_t n = std::min(length - done, zip_uint64_t(p.size() - d->at));
            std::memcpy(to + done, p.constData() + d->at, size_t(n));
            done += n;
            d->at += qint64(n);
            if (d->at == p.size()) {
                ++d->piece;
                d->at = 0;
            }
        }
        return zip_int64_t(done);
    }
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_STAT: {
        if (length < sizeof(zip_stat_t)) {
            zip_error_set(&d->error, ZIP_ER_INVAL, 0);
            return -1;
        }
        zip_stat_t *st = static_cast<zip_stat_t *>(data);
        zip_stat_init(st);
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC
            | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_MTIME;
        st->size = zip_uint64_t(d->part.size);
        st->comp_size = zip_uint64_t(d->part.compressedSize());
        st->comp_method = ZIP_CM_DEFLATE;
        st->encryption_method = ZIP_EM_NONE;
        st->crc = d->part.crc;
        st->mtime = d->mtime;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_GET_FILE_ATTRIBUTES: {
        if (length < sizeof(zip_file_attributes_t)) {
            zip_error_set(&d->error, ZIP_ER_INVAL, 0);
            return -1;
        }
        // As libzip marks what it deflates itself: version 2.0, normal.
        zip_file_attributes_t *a = static_cast<zip_file_attributes_t *>(data);
        a->valid |= ZIP_FILE_ATTRIBUTES_VERSION_NEEDED | ZIP_FILE_ATTRIBUTES_GENERAL_PURPOSE_BIT_FLAGS;
        a->version_needed = 20;
        a->general_purpose_bit_flags = 0;
        a->general_purpose_bit_mask = 0x0006;
        return sizeof(zip_file_attributes_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&d->error, data, length);
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_GET_FILE_ATTRIBUTES, -1);
    default:
        zip_error_set(&d->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

} // namespace

ArchiveWriter::ArchiveWriter() = default;

ArchiveWriter::~ArchiveWriter()
{
    if (m_zip)
        zip_discard(m_zip);
    if (m_source)
        zip_source_free(m_source);
    for (auto &d : m_data)
        zip_error_fini(&d->error);
}

bool ArchiveWriter::open(const QByteArray &original, QString *error)
{
    zip_error_t ze;
    zip_error_init(&ze);
    // libzip gets a copy of its own: writing into a buffer source may split
    // and free its fragments.
    void *copy = nullptr;
    if (!original.isEmpty()) {
        copy = std::malloc(size_t(original.size()));
        if (!copy) {
            *error = QStringLiteral("out of memory");
            return false;
        }
        std::memcpy(copy, original.constData(), size_t(original.size()));
    }
    m_source = zip_source_buffer_create(copy, zip_uint64_t(original.size()), 1, &ze);
    if (!m_source)
        std::free(copy);
    if (m_source) {
        m_zip = zip_open_from_source(m_source, original.isEmpty() ? ZIP_CREATE | ZIP_TRUNCATE : 0, &ze);
        if (m_zip)
            zip_source_keep(m_source); // the written archive is read back from it after closing
    }
    if (!m_zip)
        *error = zipErrorText(&ze);
    zip_error_fini(&ze);
    return m_zip != nullptr;
}

bool ArchiveWriter::add(const QString &name, const QByteArray &data, QString *error)
{
    EncodedPart part;
    if (!encodePart(data, &part)) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    return add(name, part, error);
}

bool ArchiveWriter::add(const QString &name, const EncodedPart &part, QString *error)
{
    zip_source_t *source = sourceFor(part, error);
    if (!source)
        return false;
    const zip_int64_t index = zip_file_add(m_zip, name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        return fail(error);
    }
    return setIndex(index, part, error);
}

bool ArchiveWriter::replace(qint64 index, const QByteArray &data, QString *error)
{
    EncodedPart part;
    if (!encodePart(data, &part)) {
        *error = QStringLiteral("out of memory");
        return false;
    }
    return replace(index, part, error);
}

bool ArchiveWriter::replace(qint64 index, const EncodedPart &part, QString *error)
{
    zip_source_t *source = sourceFor(part, error);
    if (!source)
        return false;
    if (zip_file_replace(m_zip, zip_uint64_t(index), source, 0) < 0) {
        zip_source_free(source);
        return fail(error);
    }
    return setIndex(index, part, error);
}

bool ArchiveWriter::remove(qint64 index, QString *error)
{
    return zip_delete(m_zip, zip_uint64_t(index)) == 0 ? true : fail(error);
}

bool ArchiveWriter::finish(QByteArray *out, QString *error)
{
    if (zip_close(m_zip) < 0)
        return fail(error);
    m_zip = nullptr;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_source_stat(m_source, &st) < 0 || !(st.valid & ZIP_STAT_SIZE) || st.size > zip_uint64_t(INT_MAX)
        || zip_source_open(m_source) < 0) {
        *error = zipErrorText(zip_source_error(m_source));
        return false;
    }
    out->resize(int(st.size));
    const zip_int64_t n = zip_source_read(m_source, out->data(), st.size);
    zip_source_close(m_source);
    if (n != zip_int64_t(st.size)) {
        *error = QStringLiteral("archive could not be read back");
        return false;
    }
    return true;
}

zip_source *ArchiveWriter::sourceFor(const EncodedPart &part, QString *error)
{
    m_data.emplace_back(new DeflatedSource);
    DeflatedSource &d = *m_data.back();
    zip_error_init(&d.error);
    d.part = part;
    d.mtime = time(nullptr);
    zip_source_t *source = zip_source_function(m_zip, readDeflated, &d);
    if (!source)
        fail(error);
    return source;
}

// Deflate, as the data is (libzip forgets the level set for a replaced
// entry whose method stays deflate, and would compress it at its slowest);
// the entry's index replaces any it had.
bool ArchiveWriter::setIndex(qint64 index, const EncodedPart &part, QString *error)
{
    const auto i = zip_uint64_t(index);
    if (zip_set_file_compression(m_zip, i, ZIP_CM_DEFLATE, 1) < 0)
        return fail(error);
    if (zip_file_extra_fields_count_by_id(m_zip, i, SheetIndexFieldId, ZIP_FL_CENTRAL | ZIP_FL_LOCAL) > 0
        && zip_file_extra_field_delete_by_id(m_zip, i, SheetIndexFieldId, ZIP_EXTRA_FIELD_ALL,
                                             ZIP_FL_CENTRAL | ZIP_FL_LOCAL)
            < 0)
        return fail(error);
    int others = 0;
    const zip_int16_t count = zip_file_extra_fields_count(m_zip, i, ZIP_FL_CENTRAL);
    for (zip_int16_t k = 0; k < count; ++k) {
        zip_uint16_t length = 0;
        if (zip_file_extra_field_get(m_zip, i, zip_uint16_t(k), nullptr, &length, ZIP_FL_CENTRAL))
            others += 4 + length;
    }
    if (!part.index.isEmpty() && part.index.size() + 4 + others < MaxIndexFieldBytes
        && zip_file_extra_field_set(m_zip, i, SheetIndexFieldId, ZIP_EXTRA_FIELD_NEW,
                                    reinterpret_cast<const zip_uint8_t *>(part.index.constData()),
                                    zip_uint16_t(part.index.size()), ZIP_FL_CENTRAL)
            < 0)
        return fail(error);
    return true;
}

bool ArchiveWriter::fail(QString *error)
{
    *error = zipErrorText(zip_get_error(m_zip));
    return false;
}

} // namespace xlsx
