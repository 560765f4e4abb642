#include "xlsx/workbook.h"

#include "xlsx/packageparts.h"
#include "xlsx/sheetdata.h"
#include "xlsx/xmltext.h"

#include "app/safefile.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QXmlStreamReader>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <vector>
#include <zip.h>

using namespace xlsx;

namespace {

// Decompressed bytes one load may read in all; each part is capped as well.
constexpr qint64 MaxLoadBytes = 256 * 1024 * 1024;
constexpr zip_int64_t MaxEntries = 10000;

const char WorksheetContentType[] = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
const char WorkbookContentType[] = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml";
const char RelationshipTypes[] = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

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

// CRC-32 as zip archives keep it (reflected 0xEDB88320), eight bytes a step.
zip_uint32_t crc32Of(const QByteArray &bytes)
{
    static const auto tables = [] {
        std::array<std::array<zip_uint32_t, 256>, 8> t {};
        for (zip_uint32_t i = 0; i < 256; ++i) {
            zip_uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (zip_uint32_t i = 0; i < 256; ++i)
            for (int k = 1; k < 8; ++k)
                t[size_t(k)][i] = (t[size_t(k - 1)][i] >> 8) ^ t[0][t[size_t(k - 1)][i] & 0xFF];
        return t;
    }();
    const auto *p = reinterpret_cast<const uchar *>(bytes.constData());
    size_t n = size_t(bytes.size());
    zip_uint32_t c = 0xFFFFFFFFu;
    while (n >= 8) {
        const zip_uint32_t lo
            = c ^ (zip_uint32_t(p[0]) | zip_uint32_t(p[1]) << 8 | zip_uint32_t(p[2]) << 16 | zip_uint32_t(p[3]) << 24);
        const zip_uint32_t hi
            = zip_uint32_t(p[4]) | zip_uint32_t(p[5]) << 8 | zip_uint32_t(p[6]) << 16 | zip_uint32_t(p[7]) << 24;
        c = tables[7][lo & 0xFF] ^ tables[6][(lo >> 8) & 0xFF] ^ tables[5][(lo >> 16) & 0xFF] ^ tables[4][lo >> 24]
            ^ tables[3][hi & 0xFF] ^ tables[2][(hi >> 8) & 0xFF] ^ tables[1][(hi >> 16) & 0xFF] ^ tables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--)
        c = tables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// Raw deflate data at level 1 (fast, and a sheet of many rows shrinks
// nearly as well as at the slowest level), taken out of the zlib stream
// qCompress() makes: four bytes of length, a two-byte header, the data, and
// a four-byte checksum.
bool deflateRaw(const QByteArray &data, QByteArray *out)
{
    if (data.isEmpty()) {
        *out = QByteArray("\x03\x00", 2); // one empty final block
        return true;
    }
    const QByteArray z = qCompress(data, 1);
    if (z.size() < 4 + 2 + 4 || (uchar(z[4]) & 0x0F) != 8 || (uchar(z[5]) & 0x20))
        return false;
    *out = z.mid(6, z.size() - 10);
    return true;
}

// Read access to an archive held in memory; the bytes must outlive it.
class ArchiveReader
{
public:
    ~ArchiveReader()
    {
        if (m_zip)
            zip_discard(m_zip);
    }

    bool open(const QByteArray &bytes, QString *error)
    {
        if (claimedEntries(bytes) > quint64(MaxEntries)) {
            *error = QStringLiteral("too many parts");
            return false;
        }
        zip_error_t ze;
        zip_error_init(&ze);
        zip_source_t *source = zip_source_buffer_create(bytes.constData(), zip_uint64_t(bytes.size()), 0, &ze);
        // The consistency checks make sure that every entry's data lies
        // where its headers say: unchanged entries are copied by those
        // headers when the workbook is saved.
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

    // Index of the entry of that name, case-insensitive as package part
    // names are, percent-encoded or not; -1 if none.
    qint64 locate(const QString &name) const
    {
        if (name.isEmpty())
            return -1;
        const qint64 index = zip_name_locate(m_zip, name.toUtf8().constData(), ZIP_FL_NOCASE);
        if (index >= 0 || !name.contains(QLatin1Char('%')))
            return index;
        return zip_name_locate(m_zip, QByteArray::fromPercentEncoding(name.toUtf8()).constData(), ZIP_FL_NOCASE);
    }

    QString nameAt(qint64 index) const
    {
        const char *name = zip_get_name(m_zip, zip_uint64_t(index), 0);
        return name ? QString::fromUtf8(name) : QString();
    }

    bool read(qint64 index, QByteArray *out, QString *error)
    {
        out->clear();
        zip_file_t *file = zip_fopen_index(m_zip, zip_uint64_t(index), 0);
        if (!file) {
            *error = QStringLiteral("%1: %2").arg(nameAt(index), zipErrorText(zip_get_error(m_zip)));
            return false;
        }
        char chunk[65536];
        qint64 size = 0;
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
            size += n;
            if (size > MaxPartBytes || m_budget < n) {
                *error = QStringLiteral("%1: part too large").arg(nameAt(index));
                ok = false;
                break;
            }
            m_budget -= n;
            out->append(chunk, int(n));
        }
        zip_fclose(file);
        if (!ok)
            out->clear();
        return ok;
    }

    bool readXml(qint64 index, XmlText *out, QString *error)
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

private:
    zip_t *m_zip = nullptr;
    qint64 m_budget = MaxLoadBytes;
};

// Builds an archive in memory: from scratch, or as an edit of an existing
// one whose untouched entries libzip copies without recompressing them.
class ArchiveWriter
{
public:
    ~ArchiveWriter()
    {
        if (m_zip)
            zip_discard(m_zip);
        if (m_source)
            zip_source_free(m_source);
        for (Deflated &d : m_data)
            zip_error_fini(&d.error);
    }

    bool open(const QByteArray &original, QString *error)
    {
        zip_error_t ze;
        zip_error_init(&ze);
        // libzip gets a copy of its own: writing into a buffer source may
        // split and free its fragments.
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

    bool add(const QString &name, const QByteArray &data, QString *error)
    {
        zip_source_t *source = bufferSource(data, error);
        if (!source)
            return false;
        const zip_int64_t index = zip_file_add(m_zip, name.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            return fail(error);
        }
        return compress(index, error);
    }

    bool replace(qint64 index, const QByteArray &data, QString *error)
    {
        zip_source_t *source = bufferSource(data, error);
        if (!source)
            return false;
        if (zip_file_replace(m_zip, zip_uint64_t(index), source, 0) < 0) {
            zip_source_free(source);
            return fail(error);
        }
        return compress(index, error);
    }

    bool remove(qint64 index, QString *error)
    {
        return zip_delete(m_zip, zip_uint64_t(index)) == 0 ? true : fail(error);
    }

    bool finish(QByteArray *out, QString *error)
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

private:
    // A part handed to libzip already deflated, with its size and CRC, so
    // that libzip copies it as it is. (libzip forgets the level set for a
    // replaced entry whose method stays deflate, and would compress it at
    // its slowest.)
    struct Deflated
    {
        QByteArray bytes;
        zip_uint64_t size = 0;
        zip_uint32_t crc = 0;
        zip_uint64_t at = 0;
        time_t mtime = 0;
        zip_error_t error;
    };

    static zip_int64_t readDeflated(void *state, void *data, zip_uint64_t length, zip_source_cmd_t command)
    {
        Deflated *d = static_cast<Deflated *>(state);
        switch (command) {
        case ZIP_SOURCE_OPEN:
            d->at = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            const zip_uint64_t n = std::min(length, zip_uint64_t(d->bytes.size()) - d->at);
            std::memcpy(data, d->bytes.constData() + d->at, size_t(n));
            d->at += n;
            return zip_int64_t(n);
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
            st->size = d->size;
            st->comp_size = zip_uint64_t(d->bytes.size());
            st->comp_method = ZIP_CM_DEFLATE;
            st->encryption_method = ZIP_EM_NONE;
            st->crc = d->crc;
            st->mtime = d->mtime;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_GET_FILE_ATTRIBUTES: {
            if (length < sizeof(zip_file_attributes_t)) {
                zip_error_set(&d->error, ZIP_ER_INVAL, 0);
                return -1;
            }
            // As libzip marks what it deflates itself: version 2.0, "fast".
            zip_file_attributes_t *a = static_cast<zip_file_attributes_t *>(data);
            a->valid |= ZIP_FILE_ATTRIBUTES_VERSION_NEEDED | ZIP_FILE_ATTRIBUTES_GENERAL_PURPOSE_BIT_FLAGS;
            a->version_needed = 20;
            a->general_purpose_bit_flags = 2 << 1;
            a->general_purpose_bit_mask = 0x0006;
            return sizeof(zip_file_attributes_t);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&d->error, data, length);
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_GET_FILE_ATTRIBUTES,
                                                  -1);
        default:
            zip_error_set(&d->error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

    zip_source_t *bufferSource(const QByteArray &data, QString *error)
    {
        m_data.emplace_back();
        Deflated &d = m_data.back();
        zip_error_init(&d.error);
        if (!deflateRaw(data, &d.bytes)) {
            *error = QStringLiteral("out of memory");
            return nullptr;
        }
        d.size = zip_uint64_t(data.size());
        d.crc = crc32Of(data);
        d.mtime = time(nullptr);
        zip_source_t *source = zip_source_function(m_zip, readDeflated, &d);
        if (!source)
            fail(error);
        return source;
    }

    bool compress(qint64 index, QString *error)
    {
        // Deflate, as the data is. The level that counts is the one of
        // deflateRaw().
        return zip_set_file_compression(m_zip, zip_uint64_t(index), ZIP_CM_DEFLATE, 1) == 0 ? true : fail(error);
    }

    bool fail(QString *error)
    {
        *error = zipErrorText(zip_get_error(m_zip));
        return false;
    }

    zip_source_t *m_source = nullptr;
    zip_t *m_zip = nullptr;
    std::deque<Deflated> m_data; // read by libzip when the archive is closed
};

struct SheetEntry
{
    QString name;
    QString part;
    qint64 zipIndex = -1;
    SheetData data;
};

struct WorkbookInfo
{
    struct Sheet
    {
        QString name;
        QString relationshipId;
    };
    QVector<Sheet> sheets;
    int activeTab = 0;
    bool date1904 = false;
};

bool parseWorkbook(const QString &text, WorkbookInfo *info, QString *error)
{
    QXmlStreamReader xml(text);
    int depth = 0;
    bool inSheets = false, inViews = false, haveView = false;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::DTD) {
            *error = QStringLiteral("document type declarations are not allowed");
            return false;
        }
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const bool main = isMainNamespace(xml.namespaceUri());
            const QStringRef name = xml.name();
            const QXmlStreamAttributes attributes = xml.attributes();
            if (depth == 1) {
                if (!main || name != QLatin1String("workbook")) {
                    *error = QStringLiteral("the main part is not a workbook");
                    return false;
                }
            } else if (depth == 2 && main) {
                inSheets = name == QLatin1String("sheets");
                inViews = name == QLatin1String("bookViews");
                if (name == QLatin1String("workbookPr")) {
                    const QStringRef v = attributes.value(QLatin1String("date1904"));
                    info->date1904 = v == QLatin1String("1") || v == QLatin1String("true");
                }
            } else if (depth == 3 && main && inViews && !haveView && name == QLatin1String("workbookView")) {
                haveView = true;
                bool ok = false;
                const int tab = attributes.value(QLatin1String("activeTab")).toInt(&ok);
                info->activeTab = ok && tab >= 0 ? tab : 0;
            } else if (depth == 3 && main && inSheets && name == QLatin1String("sheet")) {
                WorkbookInfo::Sheet sheet;
                sheet.name = attributes.value(QLatin1String("name")).toString();
                for (const QXmlStreamAttribute &a : attributes)
                    if (a.name() == QLatin1String("id") && isRelationshipNamespace(a.namespaceUri()))
                        sheet.relationshipId = a.value().toString();
                info->sheets.append(sheet);
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (depth == 2)
                inSheets = inViews = false;
            --depth;
        }
    }
    if (xml.hasError()) {
        *error = QStringLiteral("XML error at line %1: %2").arg(xml.lineNumber()).arg(xml.errorString());
        return false;
    }
    return true;
}

bool validCell(int row, int column)
{
    return row >= 1 && row <= MaxRows && column >= 1 && column <= MaxColumns;
}

QString attribute(const char *name, const QString &value)
{
    return QLatin1Char(' ') + QLatin1String(name) + QLatin1String("=\"") + escapeAttribute(value) + QLatin1Char('"');
}

QString element(const QString &prefix, const char *name, const QString &content, const QString &attributes = QString())
{
    return QLatin1Char('<') + prefix + QLatin1String(name) + attributes + QLatin1Char('>') + content
        + QLatin1String("</") + prefix + QLatin1String(name) + QLatin1Char('>');
}

} // namespace

struct XlsxWorkbook::Private
{
    QString path;
    QByteArray file; // the loaded file; empty for a new workbook
    bool fresh = true; // a new workbook: every part is generated when saved
    bool loaded = false;
    bool failed = false;
    QString error;

    QString workbookPart = QStringLiteral("xl/workbook.xml");
    bool date1904 = false;
    std::vector<SheetEntry> sheets;
    int current = -1;

    StylesPart styles;
    QString stylesPart;
    qint64 stylesIndex = -1;
    bool stylesAdded = false; // a loaded workbook without style sheet gets one

    QString workbookRelsPart;
    qint64 workbookRelsIndex = -1;
    XmlText workbookRels;
    qint64 contentTypesIndex = -1;
    XmlText contentTypes;

    qint64 sharedStringsIndex = -1;
    mutable bool sharedStringsRead = false;
    mutable QStringList sharedStrings;

    QString calcChainPart;
    qint64 calcChainIndex = -1;
    bool dropCalcChain = false;

    bool loadArchive(QString *why);
    SheetEntry *sheetForWrite();
    bool putCell(int row, int column, const QString *style, const QString &type,
                 const std::function<QString(const QString &prefix)> &content);
    int dateStyle();
    const QStringList &strings() const;
    bool buildNew(QByteArray *out, QString *why);
    bool buildEdited(QByteArray *out, QString *why);
};

bool XlsxWorkbook::Private::loadArchive(QString *why)
{
    ArchiveReader zip;
    if (!zip.open(file, why))
        return false;

    // The main part is named by the package relationships; xl/workbook.xml
    // is where every writer puts it.
    qint64 workbookIndex = -1;
    const qint64 rootRels = zip.locate(QStringLiteral("_rels/.rels"));
    XmlText text;
    QVector<Relationship> rels;
    QString ignored;
    if (rootRels >= 0 && zip.readXml(rootRels, &text, &ignored) && parseRelationships(text.text, &rels, &ignored)) {
        for (const Relationship &r : qAsConst(rels)) {
            if (!r.external && r.type.endsWith(QLatin1String("/officeDocument"))) {
                workbookIndex = zip.locate(resolveTarget(QString(), r.target));
                break;
            }
        }
    }
    if (workbookIndex < 0)
        workbookIndex = zip.locate(QStringLiteral("xl/workbook.xml"));
    if (workbookIndex < 0) {
        *why = QStringLiteral("the archive has no xl/workbook.xml");
        return false;
    }
    workbookPart = zip.nameAt(workbookIndex);

    WorkbookInfo info;
    if (!zip.readXml(workbookIndex, &text, why))
        return false;
    if (!parseWorkbook(text.text, &info, why)) {
        *why = workbookPart + QStringLiteral(": ") + *why;
        return false;
    }
    date1904 = info.date1904;

    contentTypesIndex = zip.locate(QStringLiteral("[Content_Types].xml"));
    if (contentTypesIndex < 0) {
        *why = QStringLiteral("the archive has no [Content_Types].xml");
        return false;
    }
    if (!zip.readXml(contentTypesIndex, &contentTypes, why))
        return false;
    if (!checkPackagePart(contentTypes.text, QStringLiteral("Types"), why)) {
        *why = QStringLiteral("[Content_Types].xml: ") + *why;
        return false;
    }

    workbookRelsPart = relationshipsPartOf(workbookPart);
    workbookRelsIndex = zip.locate(workbookRelsPart);
    if (workbookRelsIndex < 0) {
        *why = QStringLiteral("the archive has no %1").arg(workbookRelsPart);
        return false;
    }
    workbookRelsPart = zip.nameAt(workbookRelsIndex);
    if (!zip.readXml(workbookRelsIndex, &workbookRels, why))
        return false;
    if (!parseRelationships(workbookRels.text, &rels, why)) {
        *why = workbookRelsPart + QStringLiteral(": ") + *why;
        return false;
    }
    QHash<QString, Relationship> byId;
    for (const Relationship &r : qAsConst(rels)) {
        if (r.external)
            continue;
        byId.insert(r.id, r);
        if (r.type.endsWith(QLatin1String("/styles")) && stylesIndex < 0) {
            stylesPart = resolveTarget(workbookPart, r.target);
            stylesIndex = zip.locate(stylesPart);
            if (stylesIndex < 0) {
                *why = QStringLiteral("the style sheet %1 is missing").arg(stylesPart);
                return false;
            }
        } else if (r.type.endsWith(QLatin1String("/sharedStrings")) && sharedStringsIndex < 0) {
            sharedStringsIndex = zip.locate(resolveTarget(workbookPart, r.target));
        } else if (r.type.endsWith(QLatin1String("/calcChain")) && calcChainIndex < 0) {
            calcChainIndex = zip.locate(resolveTarget(workbookPart, r.target));
            if (calcChainIndex >= 0)
                calcChainPart = zip.nameAt(calcChainIndex);
        }
    }

    int activeWorksheet = -1;
    for (int i = 0; i < info.sheets.size(); ++i) {
        const WorkbookInfo::Sheet &s = info.sheets[i];
        const auto r = byId.constFind(s.relationshipId);
        if (r == byId.constEnd()) {
            *why = QStringLiteral("sheet \"%1\" has no part").arg(s.name);
            return false;
        }
        if (!r->type.endsWith(QLatin1String("/worksheet")))
            continue; // chart sheets, dialog sheets: kept as they are
        SheetEntry entry;
        entry.name = s.name;
        entry.zipIndex = zip.locate(resolveTarget(workbookPart, r->target));
        if (entry.zipIndex < 0) {
            *why = QStringLiteral("the part of sheet \"%1\" is missing").arg(s.name);
            return false;
        }
        entry.part = zip.nameAt(entry.zipIndex);
        QByteArray bytes;
        if (!zip.read(entry.zipIndex, &bytes, why))
            return false;
        if (!entry.data.parseQuickly(bytes)) {
            QString decodeError;
            if (!decodeXml(bytes, &text, &decodeError)) {
                *why = QStringLiteral("%1: %2").arg(entry.part, decodeError);
                return false;
            }
            if (!entry.data.parse(text.text, text.fromUtf8, why)) {
                *why = QStringLiteral("sheet \"%1\": %2").arg(s.name, *why);
                return false;
            }
        }
        if (i == info.activeTab)
            activeWorksheet = int(sheets.size());
        sheets.push_back(std::move(entry));
    }
    if (sheets.empty()) {
        *why = QStringLiteral("the workbook has no worksheet");
        return false;
    }
    current = activeWorksheet >= 0 ? activeWorksheet : 0;

    if (stylesIndex >= 0) {
        if (!zip.readXml(stylesIndex, &text, why))
            return false;
        if (!styles.parse(text.text, text.fromUtf8, why)) {
            *why = stylesPart + QStringLiteral(": ") + *why;
            return false;
        }
    }
    return true;
}

SheetEntry *XlsxWorkbook::Private::sheetForWrite()
{
    if (sheets.empty()) {
        if (!fresh)
            return nullptr;
        SheetEntry entry;
        entry.name = QStringLiteral("Sheet1");
        entry.part = QStringLiteral("xl/worksheets/sheet1.xml");
        entry.data = SheetData::blank();
        sheets.push_back(std::move(entry));
        current = 0;
    }
    if (current < 0 || current >= int(sheets.size()))
        return nullptr;
    return &sheets[size_t(current)];
}

// Writes a cell of the current sheet: the given format, or the one of the
// cell it replaces, and the content under the sheet's element prefix.
// Overwriting a formula makes the calculation chain stale, so it is dropped
// when the workbook is saved.
bool XlsxWorkbook::Private::putCell(int row, int column, const QString *style, const QString &type,
                                    const std::function<QString(const QString &prefix)> &content)
{
    if (!validCell(row, column))
        return false;
    SheetEntry *sheet = sheetForWrite();
    if (!sheet)
        return false;
    CellContent old;
    const QString oldXml = sheet->data.cellXml(row, column);
    if (!oldXml.isEmpty() && parseCell(oldXml, &old) && old.hasFormula)
        dropCalcChain = true;
    const QString &p = sheet->data.prefix();
    QString xml = QLatin1Char('<') + p + QLatin1String("c r=\"") + cellReference(row, column) + QLatin1Char('"');
    const QString &format = style ? *style : old.style;
    if (!format.isEmpty())
        xml += attribute("s", format);
    if (!type.isEmpty())
        xml += attribute("t", type);
    xml += QLatin1Char('>') + content(p) + QLatin1String("</") + p + QLatin1String("c>");
    sheet->data.setCell(row, column, xml);
    return true;
}

int XlsxWorkbook::Private::dateStyle()
{
    if (!fresh && stylesIndex < 0 && !stylesAdded) {
        styles = StylesPart::blank();
        stylesAdded = true;
    }
    return styles.dateStyle();
}

const QStringList &XlsxWorkbook::Private::strings() const
{
    if (sharedStringsRead)
        return sharedStrings;
    sharedStringsRead = true;
    ArchiveReader zip;
    XmlText text;
    QString why;
    if (sharedStringsIndex < 0 || !zip.open(file, &why) || !zip.readXml(sharedStringsIndex, &text, &why)
        || !parseSharedStrings(text.text, &sharedStrings, &why))
        sharedStrings.clear();
    return sharedStrings;
}

bool XlsxWorkbook::Private::buildNew(QByteArray *out, QString *why)
{
    const QString decl = QLatin1String(XmlDeclaration);
    QString types
        = decl
        + QLatin1String(
              "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
              "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
              "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
              "<Override PartName=\"/xl/workbook.xml\" ContentType=\"")
        + QLatin1String(WorkbookContentType) + QLatin1String("\"/>");
    QString workbook = decl
        + QLatin1String("<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                        "<bookViews><workbookView activeTab=\"0\"/></bookViews><sheets>");
    QString rels = decl
        + QLatin1String("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">");
    int id = 0;
    for (const SheetEntry &s : sheets) {
        const QString rid = QStringLiteral("rId%1").arg(++id);
        types += QLatin1String("<Override") + attribute("PartName", QLatin1Char('/') + s.part)
            + attribute("ContentType", QLatin1String(WorksheetContentType)) + QLatin1String("/>");
        workbook += QLatin1String("<sheet") + attribute("name", s.name) + attribute("sheetId", QString::number(id))
            + attribute("r:id", rid) + QLatin1String("/>");
        rels += QLatin1String("<Relationship") + attribute("Id", rid)
            + attribute("Type", QLatin1String(RelationshipTypes) + QLatin1String("worksheet"))
            + attribute("Target", s.part.mid(3)) + QLatin1String("/>");
    }
    types += QLatin1String("<Override PartName=\"/xl/styles.xml\" ContentType=\"") + QLatin1String(StylesContentType)
        + QLatin1String("\"/></Types>");
    workbook += QLatin1String("</sheets></workbook>");
    rels += QLatin1String("<Relationship") + attribute("Id", QStringLiteral("rId%1").arg(++id))
        + attribute("Type", QLatin1String(StylesRelationshipType)) + attribute("Target", QStringLiteral("styles.xml"))
        + QLatin1String("/></Relationships>");
    const QString packageRels = decl
        + QLatin1String("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                        "<Relationship Id=\"rId1\" Type=\"")
        + QLatin1String(RelationshipTypes)
        + QLatin1String("officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");

    ArchiveWriter zip;
    if (!zip.open(QByteArray(), why) || !zip.add(QStringLiteral("[Content_Types].xml"), types.toUtf8(), why)
        || !zip.add(QStringLiteral("_rels/.rels"), packageRels.toUtf8(), why)
        || !zip.add(QStringLiteral("xl/workbook.xml"), workbook.toUtf8(), why)
        || !zip.add(QStringLiteral("xl/_rels/workbook.xml.rels"), rels.toUtf8(), why)
        || !zip.add(QStringLiteral("xl/styles.xml"), styles.toXml(), why))
        return false;
    for (const SheetEntry &s : sheets)
        if (!zip.add(s.part, s.data.toXml(), why))
            return false;
    return zip.finish(out, why);
}

bool XlsxWorkbook::Private::buildEdited(QByteArray *out, QString *why)
{
    ArchiveWriter zip;
    if (!zip.open(file, why))
        return false;
    for (const SheetEntry &s : sheets)
        if (s.data.isModified() && !zip.replace(s.zipIndex, s.data.toXml(), why))
            return false;

    QString rels = workbookRels.text;
    QString types = contentTypes.text;
    bool relsChanged = false, typesChanged = false;
    if (styles.isModified()) {
        if (!stylesAdded) {
            if (!zip.replace(stylesIndex, styles.toXml(), why))
                return false;
        } else {
            ArchiveReader names;
            names.open(file, why);
            const QString folder = workbookPart.left(workbookPart.lastIndexOf(QLatin1Char('/')) + 1);
            QString part = folder + QLatin1String("styles.xml");
            for (int n = 1; names.locate(part) >= 0; ++n)
                part = folder + QStringLiteral("styles%1.xml").arg(n);
            QVector<Relationship> existing;
            parseRelationships(rels, &existing, why);
            QString id;
            for (int n = 1; id.isEmpty(); ++n) {
                id = QStringLiteral("rId%1").arg(n);
                for (const Relationship &r : qAsConst(existing))
                    if (r.id == id)
                        id.clear();
            }
            if (!appendChild(&rels, QStringLiteral("Relationship"),
                             {{QStringLiteral("Id"), id},
                              {QStringLiteral("Type"), QLatin1String(StylesRelationshipType)},
                              {QStringLiteral("Target"), QLatin1Char('/') + part}})
                || !appendChild(&types, QStringLiteral("Override"),
                                {{QStringLiteral("PartName"), QLatin1Char('/') + part},
                                 {QStringLiteral("ContentType"), QLatin1String(StylesContentType)}})) {
                *why = QStringLiteral("the package relationships cannot take a style sheet");
                return false;
            }
            relsChanged = typesChanged = true;
            if (!zip.add(part, styles.toXml(), why))
                return false;
        }
    }
    if (dropCalcChain && calcChainIndex >= 0) {
        const QString name = QLatin1Char('/') + calcChainPart;
        removeChildren(&rels, [](const QString &element, const QXmlStreamAttributes &a) {
            return element == QLatin1String("Relationship")
                && a.value(QLatin1String("Type")).endsWith(QLatin1String("/calcChain"));
        });
        removeChildren(&types, [&name](const QString &element, const QXmlStreamAttributes &a) {
            return element == QLatin1String("Override")
                && a.value(QLatin1String("PartName")).compare(name, Qt::CaseInsensitive) == 0;
        });
        relsChanged = typesChanged = true;
        if (!zip.remove(calcChainIndex, why))
            return false;
    }
    if (relsChanged && !zip.replace(workbookRelsIndex, encodeXml(rels, workbookRels.fromUtf8), why))
        return false;
    if (typesChanged && !zip.replace(contentTypesIndex, encodeXml(types, contentTypes.fromUtf8), why))
        return false;
    return zip.finish(out, why);
}

XlsxWorkbook::XlsxWorkbook()
    : d(new Private)
{
    d->styles = StylesPart::blank();
}

XlsxWorkbook::XlsxWorkbook(const QString &path)
    : XlsxWorkbook()
{
    load(path);
}

XlsxWorkbook::~XlsxWorkbook() = default;

bool XlsxWorkbook::load(const QString &path)
{
    d.reset(new Private);
    d->styles = StylesPart::blank();
    d->path = path;
    const QFileInfo info(path);
    if (!info.exists())
        return true;

    QString why;
    QFile file(path);
    if (info.isDir()) {
        why = QStringLiteral("it is a folder");
    } else if (!info.isFile()) {
        why = QStringLiteral("it is not a regular file");
    } else if (!file.open(QIODevice::ReadOnly)) {
        why = file.errorString();
    } else {
        while (d->file.size() <= MaxFileBytes) {
            const QByteArray chunk = file.read(1 << 20);
            if (chunk.isEmpty())
                break;
            d->file += chunk;
        }
        if (file.error() != QFileDevice::NoError)
            why = file.errorString();
        else if (d->file.isEmpty())
            why = QStringLiteral("the file is empty");
        else if (d->file.size() > MaxFileBytes)
            why = QStringLiteral("the file is too large");
        else {
            d->fresh = false;
            d->styles = StylesPart();
            if (d->loadArchive(&why)) {
                d->loaded = true;
                return true;
            }
        }
    }
    d.reset(new Private);
    d->styles = StylesPart::blank();
    d->path = path;
    d->failed = true;
    d->error = QStringLiteral("%1 is not a readable workbook: %2").arg(path, why);
    return false;
}

bool XlsxWorkbook::isLoadedFromFile() const
{
    return d->loaded;
}

bool XlsxWorkbook::loadFailed() const
{
    return d->failed;
}

QString XlsxWorkbook::errorString() const
{
    return d->error;
}

QString XlsxWorkbook::path() const
{
    return d->path;
}

QStringList XlsxWorkbook::sheetNames() const
{
    QStringList names;
    for (const SheetEntry &s : d->sheets)
        names << s.name;
    return names;
}

bool XlsxWorkbook::selectSheet(const QString &name)
{
    for (size_t i = 0; i < d->sheets.size(); ++i) {
        if (d->sheets[i].name == name) {
            d->current = int(i);
            return true;
        }
    }
    return false;
}

bool XlsxWorkbook::selectSheet(int index)
{
    if (index < 0 || index >= int(d->sheets.size()))
        return false;
    d->current = index;
    return true;
}

int XlsxWorkbook::currentSheetIndex() const
{
    return d->current;
}

QString XlsxWorkbook::currentSheetName() const
{
    return d->current >= 0 ? d->sheets[size_t(d->current)].name : QString();
}

int XlsxWorkbook::lastUsedRow() const
{
    return d->current >= 0 ? d->sheets[size_t(d->current)].data.lastRow() : 0;
}

bool XlsxWorkbook::writeText(int row, int column, const QString &text)
{
    if (text.size() > MaxCellTextLength)
        return false;
    const QString space = needsSpacePreserve(text) ? QStringLiteral(" xml:space=\"preserve\"") : QString();
    return d->putCell(row, column, nullptr, QStringLiteral("inlineStr"),
                      [&](const QString &p) { return element(p, "is", element(p, "t", escapeText(text), space)); });
}

bool XlsxWorkbook::writeNumber(int row, int column, double value)
{
    if (!std::isfinite(value))
        return false;
    return d->putCell(row, column, nullptr, QString(), [&](const QString &p) {
        return element(p, "v", QString::number(value, 'g', QLocale::FloatingPointShortest));
    });
}

bool XlsxWorkbook::writeDate(int row, int column, const QDate &date)
{
    if (!date.isValid() || date > QDate(9999, 12, 31))
        return false;
    // Serial day numbers. In the 1900 system day 60 is the 29 February 1900
    // that never was, so the days before March 1900 count from one day later.
    qint64 serial;
    if (d->date1904) {
        serial = QDate(1904, 1, 1).daysTo(date);
    } else {
        serial = QDate(1899, 12, 30).daysTo(date);
        if (date < QDate(1900, 1, 1))
            serial = -1;
        else if (date < QDate(1900, 3, 1))
            serial -= 1;
    }
    if (serial < 0 || !validCell(row, column))
        return false;
    const int style = d->dateStyle();
    if (style < 0)
        return false;
    const QString styleText = QString::number(style);
    return d->putCell(row, column, &styleText, QString(),
                      [&](const QString &p) { return element(p, "v", QString::number(serial)); });
}

QVariant XlsxWorkbook::read(int row, int column) const
{
    if (d->current < 0 || !validCell(row, column))
        return QVariant();
    const QString xml = d->sheets[size_t(d->current)].data.cellXml(row, column);
    CellContent c;
    if (xml.isEmpty() || !parseCell(xml, &c))
        return QVariant();
    if (c.type == QLatin1String("s")) {
        bool ok = false;
        const int index = c.value.trimmed().toInt(&ok);
        const QStringList &strings = d->strings();
        return ok && index >= 0 && index < strings.size() ? QVariant(strings[index]) : QVariant();
    }
    if (c.type == QLatin1String("inlineStr"))
        return c.hasInline ? QVariant(unescapeText(c.inlineText)) : QVariant();
    if (c.type == QLatin1String("str"))
        return unescapeText(c.value);
    if (c.type == QLatin1String("e"))
        return c.value;
    if (c.type == QLatin1String("b"))
        return c.value.trimmed() == QLatin1String("1") || c.value.trimmed() == QLatin1String("true");
    if (c.type == QLatin1String("d")) {
        const QDateTime when = QDateTime::fromString(c.value.trimmed(), Qt::ISODate);
        return when.isValid() ? QVariant(when) : QVariant();
    }
    bool ok = false;
    const double value = c.value.trimmed().toDouble(&ok);
    return ok ? QVariant(value) : QVariant();
}

bool XlsxWorkbook::save(QString *error)
{
    if (d->failed) {
        if (error)
            *error = QStringLiteral("%1 is not a workbook this program can write; it is left as it is").arg(d->path);
        return false;
    }
    return saveAs(d->path, error);
}

bool XlsxWorkbook::saveAs(const QString &path, QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = QStringLiteral("cannot save %1: %2").arg(path, why);
        return false;
    };
    if (path.isEmpty())
        return fail(QStringLiteral("no file name"));
    if (d->fresh)
        d->sheetForWrite();
    QByteArray bytes;
    QString why;
    if (!(d->fresh ? d->buildNew(&bytes, &why) : d->buildEdited(&bytes, &why)))
        return fail(why);
    if (!writeFileSafely(path, bytes, &why)) {
        if (error)
            *error = QStringLiteral("cannot save ") + why;
        return false;
    }
    return true;
}
