#include "xlsx/workbook.h"

#include "xlsx/archive.h"
#include "xlsx/packageparts.h"
#include "xlsx/sheetdata.h"
#include "xlsx/sheetstream.h"
#include "xlsx/xmltext.h"
#include "xlsx/zipdirectory.h"

#include "common/safefile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QXmlStreamReader>
#include <cmath>
#include <functional>
#include <memory>
#include <vector>

using namespace xlsx;

namespace {

const char WorksheetContentType[] = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
const char WorkbookContentType[] = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml";
const char RelationshipTypes[] = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";

struct SheetEntry
{
    QString name;
    QString part;
    qint64 zipIndex = -1;
    SheetData data;
    // Set while the rows are not read: the sheet was read through the index
    // kept with its entry (sheetstream.h).
    std::unique_ptr<SheetIndex> index;
};

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

    // The archive's own reading of its central directory, when it is plain
    // enough to be written again entry by entry.
    ZipDirectory directory;
    bool plainArchive = false;

    void refuse(const QString &why);
    bool loadArchive(QString *why);
    bool loadSheet(ArchiveReader &zip, SheetEntry &entry, bool throughIndex, QString *why);
    bool readRows(SheetEntry &sheet);
    SheetEntry *sheetForWrite();
    bool putCell(int row, int column, const QString *style, const QString &type,
                 const std::function<QString(const QString &prefix)> &content);
    int dateStyle();
    const QStringList &strings() const;
    bool encode(const SheetEntry &sheet, EncodedPart *out, QString *why);
    bool buildNew(QByteArray *out, QString *why);
    bool buildEdited(QByteArray *out, QString *why);
    bool onlyRowsAppended() const;
    bool writeAppended(const QString &path, QString *why);
};

bool XlsxWorkbook::Private::loadArchive(QString *why)
{
    ArchiveReader zip;
    if (!zip.open(file, why))
        return false;
    plainArchive = directory.read(file);

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
        if (!loadSheet(zip, entry, true, why))
            return false;
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

// What a file that cannot be read leaves: a new, empty workbook that is not
// saved over it.
void XlsxWorkbook::Private::refuse(const QString &why)
{
    const QString name = path;
    *this = Private();
    styles = StylesPart::blank();
    path = name;
    failed = true;
    error = QStringLiteral("%1 is not a readable workbook: %2").arg(name, why);
}

// A sheet with an index that fits its entry is read through it, without its
// rows; any other is read whole.
bool XlsxWorkbook::Private::loadSheet(ArchiveReader &zip, SheetEntry &entry, bool throughIndex, QString *why)
{
    const auto n = size_t(entry.zipIndex);
    if (throughIndex && plainArchive && n < directory.entries().size() && !directory.entries()[n].index.isEmpty()) {
        const ZipDirectory::Entry &e = directory.entries()[n];
        auto index = std::make_unique<SheetIndex>();
        QString ignored;
        if (e.name == entry.part.toUtf8()
            && index->read(e.index, directory.deflatedData(int(n)), e.crc, e.size, PartBytesFloor, &ignored)
            && zip.spend(index->head.size() + index->tail.size(), &ignored)
            && entry.data.parseAround(index->head, index->tail, index->rows, &ignored)) {
            entry.index = std::move(index);
            return true;
        }
    }
    QByteArray bytes;
    if (!zip.read(entry.zipIndex, &bytes, why))
        return false;
    if (entry.data.parseQuickly(bytes))
        return true;
    XmlText text;
    QString decodeError;
    if (!decodeXml(bytes, &text, &decodeError)) {
        *why = QStringLiteral("%1: %2").arg(entry.part, decodeError);
        return false;
    }
    if (!entry.data.parse(text.text, text.fromUtf8, why)) {
        *why = QStringLiteral("sheet \"%1\": %2").arg(entry.name, *why);
        return false;
    }
    return true;
}

// Reads the rows a sheet was loaded without, keeping the cells written
// since. Rows that turn out to be damaged make the workbook one that failed
// to load: it is not saved over the file.
bool XlsxWorkbook::Private::readRows(SheetEntry &sheet)
{
    if (!sheet.index)
        return true;
    ArchiveReader zip;
    SheetEntry whole;
    whole.name = sheet.name;
    whole.part = sheet.part;
    whole.zipIndex = sheet.zipIndex;
    QString why;
    if (!zip.open(file, &why) || !loadSheet(zip, whole, false, &why)) {
        refuse(why);
        return false;
    }
    whole.data.adoptWrittenRows(sheet.data);
    sheet = std::move(whole);
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
    if (!sheet || (!sheet->data.canWriteRow(row) && !readRows(*sheet)))
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

// A written sheet's part: its rows behind the kept ones when it was read
// through its index, else all of it.
bool XlsxWorkbook::Private::encode(const SheetEntry &sheet, EncodedPart *out, QString *why)
{
    if (!sheet.index)
        return encodeSheet(sheet.data, out, why);
    return encodeAppended(sheet.data, *sheet.index, directory.deflatedData(int(sheet.zipIndex)), out, why);
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
    for (const SheetEntry &s : sheets) {
        EncodedPart part;
        if (!encode(s, &part, why) || !zip.add(s.part, part, why))
            return false;
    }
    return zip.finish(out, why);
}

bool XlsxWorkbook::Private::buildEdited(QByteArray *out, QString *why)
{
    ArchiveWriter zip;
    if (!zip.open(file, why))
        return false;
    for (const SheetEntry &s : sheets) {
        EncodedPart part;
        if (s.data.isModified() && (!encode(s, &part, why) || !zip.replace(s.zipIndex, part, why)))
            return false;
    }

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

// Whether nothing but rows behind the kept ones of indexed sheets changed.
bool XlsxWorkbook::Private::onlyRowsAppended() const
{
    if (fresh || !plainArchive || styles.isModified() || stylesAdded || dropCalcChain)
        return false;
    for (const SheetEntry &s : sheets)
        if (s.data.isModified() && !s.index)
            return false;
    return true;
}

// The archive written straight into the file entry by entry: the appended
// sheets get their new head, rows and index, everything else is copied as
// it is.
bool XlsxWorkbook::Private::writeAppended(const QString &path, QString *why)
{
    std::vector<EncodedPart> parts(sheets.size());
    QHash<int, const EncodedPart *> changed;
    for (size_t i = 0; i < sheets.size(); ++i) {
        if (!sheets[i].data.isModified())
            continue;
        if (!encode(sheets[i], &parts[i], why)) {
            *why = QDir::toNativeSeparators(path) + QStringLiteral(": ") + *why;
            return false;
        }
        changed.insert(int(sheets[i].zipIndex), &parts[i]);
    }
    SafeFileWriter out(path);
    QString error;
    if (!out.open() || !directory.write(out, changed, &error) || !out.commit()) {
        *why = error.isEmpty() ? out.errorString() : QDir::toNativeSeparators(path) + QStringLiteral(": ") + error;
        return false;
    }
    return true;
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
    } else if (file.size() > MaxFileBytes) {
        why = QStringLiteral("the file is too large");
    } else {
        // Read in one piece: the bytes of a large log are copied into the
        // saved file as they are.
        // Sized exactly: a growing buffer (Qt 6's resize) of a large log
        // is above the size the allocator recycles, and each load would
        // map and fault in fresh pages.
        d->file = QByteArray(int(file.size()), Qt::Uninitialized);
        const qint64 n = file.read(d->file.data(), d->file.size());
        if (n < 0 || file.error() != QFileDevice::NoError)
            why = file.errorString();
        else if (n != d->file.size() || !file.atEnd())
            why = QStringLiteral("the file changed while it was read");
        else if (d->file.isEmpty())
            why = QStringLiteral("the file is empty");
        else {
            d->fresh = false;
            d->styles = StylesPart();
            if (d->loadArchive(&why)) {
                d->loaded = true;
                return true;
            }
        }
    }
    d->refuse(why);
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
    SheetEntry &sheet = d->sheets[size_t(d->current)];
    if (!sheet.data.canWriteRow(row) && !d->readRows(sheet))
        return QVariant();
    const QString xml = sheet.data.cellXml(row, column);
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
    QString why;
    if (d->onlyRowsAppended()) {
        if (d->writeAppended(path, &why))
            return true;
        if (error)
            *error = QStringLiteral("cannot save ") + why;
        return false;
    }
    QByteArray bytes;
    if (!(d->fresh ? d->buildNew(&bytes, &why) : d->buildEdited(&bytes, &why)))
        return fail(why);
    if (!writeFileSafely(path, bytes, &why)) {
        if (error)
            *error = QStringLiteral("cannot save ") + why;
        return false;
    }
    return true;
}
