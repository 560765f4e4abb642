#include "xlsx/sheetdata.h"

#include "xlsx/sheetscan.h"
#include "xlsx/xmltext.h"

#include <QXmlStreamReader>
#include <algorithm>
#include <cstring>

namespace xlsx {

namespace {

const char BlankSheet[]
    = "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
      "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
      "<dimension ref=\"A1\"/>"
      "<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"/></sheetViews>"
      "<sheetFormatPr defaultRowHeight=\"15\"/>"
      "<sheetData/>"
      "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" footer=\"0.3\"/>"
      "</worksheet>";

} // namespace

bool SheetData::parse(const QString &text, bool fromUtf8, QString *error)
{
    *this = SheetData();
    return parseDocument(text, fromUtf8, nullptr, error);
}

// Reads doc with QXmlStreamReader: the whole part, or (with scan) the part
// without the content of <sheetData>, which the scan has read already and
// whose prefixes have to be declared where <sheetData> stands.
bool SheetData::parseDocument(const QString &doc, bool fromUtf8, Scan *scan, QString *error)
{
    m_text = doc;
    m_fromUtf8 = fromUtf8;

    auto fail = [&](const QString &why) {
        *error = why;
        *this = SheetData();
        return false;
    };

    QXmlStreamReader xml(m_text);
    int depth = 0;
    int sheetDataStart = -1, sheetDataTagEnd = -1, sheetDataEndTag = -1;
    bool sheetDataEmpty = false, inSheetData = false, dimensionOpen = false;
    QString sheetDataName;
    QXmlStreamNamespaceDeclarations rootNamespaces;
    Row row;
    bool inRow = false;
    int cellStart = -1, cellColumn = 0, otherStart = -1;
    int previousRow = 0, previousColumn = 0;

    while (!xml.atEnd()) {
        if (!readNextToken(xml, error))
            return fail(*error);
        const auto token = xml.tokenType();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const int end = int(xml.characterOffset());
            const int begin = startTagBegin(m_text, xml);
            if (begin < 0)
                return fail(QStringLiteral("unreadable markup"));
            const bool main = isMainNamespace(xml.namespaceUri());
            const auto name = xml.name();
            if (depth == 1) {
                if (!main || name != QLatin1String("worksheet"))
                    return fail(QStringLiteral("the part is not a worksheet"));
                if (scan)
                    rootNamespaces = xml.namespaceDeclarations();
            } else if (depth == 2 && main && name == QLatin1String("dimension") && sheetDataStart < 0
                       && m_dimensionStart < 0) {
                m_dimensionStart = begin;
                m_dimensionName = xml.qualifiedName().toString();
                dimensionOpen = true;
            } else if (depth == 2 && main && name == QLatin1String("sheetData")) {
                if (sheetDataStart >= 0)
                    return fail(QStringLiteral("more than one sheetData"));
                sheetDataStart = begin;
                sheetDataTagEnd = end;
                sheetDataEmpty = isEmptyElementTag(m_text, end);
                sheetDataName = xml.qualifiedName().toString();
                m_prefix = xml.prefix().isEmpty() ? QString() : xml.prefix().toString() + QLatin1Char(':');
                inSheetData = true;
                if (scan && !scan->declared(rootNamespaces, xml.namespaceDeclarations()))
                    return fail(QStringLiteral("undeclared prefix"));
            } else if (depth == 3 && inSheetData) {
                if (!main || name != QLatin1String("row"))
                    return fail(QStringLiteral("unexpected element in sheetData"));
                row = Row();
                row.start = begin;
                row.tagEnd = end;
                const auto r = xml.attributes().value(QLatin1String("r"));
                if (r.isNull()) {
                    if (previousRow >= MaxRows)
                        return fail(QStringLiteral("too many rows"));
                    row.number = previousRow + 1;
                } else if (!parseRowNumber(r, &row.number) || row.number <= previousRow) {
                    return fail(QStringLiteral("row numbers out of order or out of range"));
                }
                previousRow = row.number;
                previousColumn = 0;
                inRow = true;
            } else if (depth == 4 && inRow) {
                if (main && name == QLatin1String("c")) {
                    const auto r = xml.attributes().value(QLatin1String("r"));
                    int refRow = 0, column = 0;
                    if (r.isNull()) {
                        column = previousColumn + 1;
                        if (column > MaxColumns)
                            return fail(QStringLiteral("too many cells in a row"));
                    } else if (!parseCellReference(r, &refRow, &column) || column <= previousColumn) {
                        return fail(QStringLiteral("cells out of order or out of range in row %1").arg(row.number));
                    }
                    previousColumn = column;
                    cellStart = begin;
                    cellColumn = column;
                } else {
                    otherStart = begin;
                }
            }
        } else if (token == QXmlStreamReader::EndElement) {
            const int end = int(xml.characterOffset());
            if (end < 1 || end > m_text.size() || m_text[end - 1] != QLatin1Char('>'))
                return fail(QStringLiteral("unreadable markup"));
            if (depth == 2 && dimensionOpen) {
                m_dimensionEnd = end;
                dimensionOpen = false;
            } else if (depth == 2 && inSheetData) {
                inSheetData = false;
                sheetDataEndTag = sheetDataEmpty ? end : m_text.lastIndexOf(QLatin1Char('<'), end - 1);
            } else if (depth == 3 && inRow) {
                row.end = end;
                m_rows.push_back(std::move(row));
                inRow = false;
            } else if (depth == 4 && inRow) {
                if (cellStart >= 0)
                    row.cells.push_back({cellColumn, cellStart, end, QString()});
                else if (otherStart >= 0)
                    row.others.emplace_back(otherStart, end);
                cellStart = otherStart = -1;
            }
            --depth;
        }
    }
    if (xml.hasError())
        return fail(QStringLiteral("XML error at line %1: %2").arg(xml.lineNumber()).arg(xml.errorString()));
    if (sheetDataStart < 0 || sheetDataEndTag < 0)
        return fail(QStringLiteral("the worksheet has no sheetData"));
    if (m_dimensionStart >= 0 && m_dimensionEnd < 0)
        m_dimensionStart = -1;
    if (scan) {
        scan->tagEnd = sheetDataTagEnd;
        scan->endTag = sheetDataEmpty ? -1 : sheetDataEndTag;
    }

    if (sheetDataEmpty) {
        // <sheetData/> opens up; its attributes (namespace declarations
        // included) stay on the start tag.
        m_head = m_text.left(sheetDataTagEnd - 2) + QLatin1Char('>');
        m_tail = QLatin1String("</") + sheetDataName + QLatin1Char('>') + m_text.mid(sheetDataTagEnd);
    } else {
        m_head = m_text.left(sheetDataTagEnd);
        m_tail = m_text.mid(sheetDataEndTag);
    }
    return true;
}

SheetData SheetData::blank()
{
    SheetData sheet;
    QString error;
    sheet.parse(QLatin1String(XmlDeclaration) + QLatin1String(BlankSheet), true, &error);
    sheet.m_modified = true;
    return sheet;
}

bool SheetData::parseAround(const QByteArray &head, const QByteArray &tail, const RowFacts &rows, QString *error)
{
    *this = SheetData();
    const QString headText = utf8Text(head.constData(), head.size());
    const QString tailText = utf8Text(tail.constData(), tail.size());
    if (!parseDocument(headText + tailText, true, nullptr, error))
        return false;
    if (!m_rows.empty() || m_head.size() != headText.size() || m_tail.size() != tailText.size()) {
        *this = SheetData();
        *error = QStringLiteral("the rows are not where the index says");
        return false;
    }
    m_unread = rows;
    m_rowsUnread = true;
    return true;
}

bool SheetData::canWriteRow(int row) const
{
    return !m_rowsUnread || row > m_unread.lastRow;
}

void SheetData::adoptWrittenRows(const SheetData &from)
{
    for (const Row &r : from.m_rows)
        for (const Cell &c : r.cells)
            setCell(r.number, c.column, c.start >= 0 ? from.piece(c.start, c.end) : c.xml);
}

int SheetData::lastRow() const
{
    for (auto it = m_rows.rbegin(); it != m_rows.rend(); ++it)
        if (!it->cells.empty())
            return it->number;
    return m_rowsUnread ? m_unread.lastUsedRow : 0;
}

RowFacts SheetData::facts() const
{
    RowFacts f = m_rowsUnread ? m_unread : RowFacts();
    for (const Row &r : m_rows) {
        f.lastRow = std::max(f.lastRow, r.number);
        if (r.cells.empty())
            continue;
        if (!f.firstUsedRow)
            f.firstUsedRow = r.number;
        f.lastUsedRow = r.number;
        f.firstColumn = f.firstColumn ? std::min(f.firstColumn, r.cells.front().column) : r.cells.front().column;
        f.lastColumn = std::max(f.lastColumn, r.cells.back().column);
    }
    return f;
}

QString SheetData::cellXml(int row, int column) const
{
    const auto r
        = std::lower_bound(m_rows.begin(), m_rows.end(), row, [](const Row &a, int n) { return a.number < n; });
    if (r == m_rows.end() || r->number != row)
        return QString();
    const auto c
        = std::lower_bound(r->cells.begin(), r->cells.end(), column, [](const Cell &a, int n) { return a.column < n; });
    if (c == r->cells.end() || c->column != column)
        return QString();
    return c->start >= 0 ? piece(c->start, c->end) : c->xml;
}

void SheetData::setCell(int row, int column, const QString &cellXml)
{
    auto r = std::lower_bound(m_rows.begin(), m_rows.end(), row, [](const Row &a, int n) { return a.number < n; });
    if (r == m_rows.end() || r->number != row) {
        Row fresh;
        fresh.number = row;
        r = m_rows.insert(r, std::move(fresh));
    }
    r->modified = true;
    auto c
        = std::lower_bound(r->cells.begin(), r->cells.end(), column, [](const Cell &a, int n) { return a.column < n; });
    if (c == r->cells.end() || c->column != column)
        c = r->cells.insert(c, Cell());
    c->column = column;
    c->start = c->end = -1;
    c->xml = cellXml;
    m_modified = true;
}

// Kept text from start to end.
QString SheetData::piece(int start, int end) const
{
    return m_inBytes ? utf8Text(m_bytes.constData() + start, end - start) : m_text.mid(start, end - start);
}

// A written row, rebuilt from its kept and new cells.
void SheetData::appendRow(QString &out, const Row &row) const
{
    out += QLatin1Char('<') + m_prefix + QLatin1String("row r=\"") + QString::number(row.number) + QLatin1Char('"');
    AttributeList attributes;
    if (row.start >= 0 && startTagAttributes(piece(row.start, row.tagEnd), &attributes)) {
        // The spans hint would go stale with new cells; it is optional.
        for (const auto &a : qAsConst(attributes))
            if (a.first != QLatin1String("r") && a.first != QLatin1String("spans"))
                out += QLatin1Char(' ') + a.first + QLatin1String("=\"") + escapeAttribute(a.second) + QLatin1Char('"');
    }
    if (row.cells.empty() && row.others.empty()) {
        out += QLatin1String("/>");
        return;
    }
    out += QLatin1Char('>');
    for (const Cell &c : row.cells) {
        if (c.start >= 0)
            out += piece(c.start, c.end);
        else
            out += c.xml;
    }
    for (const auto &o : row.others)
        out += piece(o.first, o.second);
    out += QLatin1String("</") + m_prefix + QLatin1String("row>");
}

QString SheetData::dimensionRef() const
{
    const RowFacts f = facts();
    if (!f.firstUsedRow)
        return QStringLiteral("A1");
    const QString first = cellReference(f.firstUsedRow, f.firstColumn);
    const QString last = cellReference(f.lastUsedRow, f.lastColumn);
    return first == last ? first : first + QLatin1Char(':') + last;
}

QByteArray SheetData::headXml() const
{
    const QString dimension = m_dimensionStart < 0
        ? QString()
        : QLatin1Char('<') + m_dimensionName + QLatin1String(" ref=\"") + dimensionRef() + QLatin1String("\"/>");
    if (m_inBytes) {
        const char *const p = m_bytes.constData();
        if (m_dimensionStart < 0)
            return QByteArray(p + m_base, m_headEnd - m_base);
        return QByteArray(p + m_base, m_dimensionStart - m_base) + dimension.toUtf8()
            + QByteArray(p + m_dimensionEnd, m_headEnd - m_dimensionEnd);
    }
    if (m_dimensionStart < 0)
        return encodeXml(m_head, m_fromUtf8);
    return encodeXml(m_head.left(m_dimensionStart) + dimension + m_head.mid(m_dimensionEnd), m_fromUtf8);
}

QByteArray SheetData::tailXml() const
{
    return m_inBytes ? m_bytes.mid(m_tailStart) : m_tail.toUtf8();
}

bool SheetData::writeRows(const std::function<bool(const char *, int)> &sink) const
{
    constexpr int Batch = 1 << 20;
    QByteArray buffer;
    QString row;
    auto flush = [&] {
        const bool ok = buffer.isEmpty() || sink(buffer.constData(), buffer.size());
        buffer.clear();
        return ok;
    };
    for (size_t k = 0; k < m_rows.size(); ++k) {
        const Row &r = m_rows[k];
        if (r.modified || r.start < 0) {
            row.clear();
            appendRow(row, r);
            buffer += row.toUtf8();
        } else {
            // Kept rows that follow each other without a gap go out in one piece.
            int end = r.end;
            while (k + 1 < m_rows.size() && !m_rows[k + 1].modified && m_rows[k + 1].start == end)
                end = m_rows[++k].end;
            if (!m_inBytes) {
                buffer += QStringView(m_text).mid(r.start, end - r.start).toUtf8();
            } else if (!flush() || !sink(m_bytes.constData() + r.start, end - r.start)) {
                return false;
            }
        }
        if (buffer.size() >= Batch && !flush())
            return false;
    }
    return flush();
}

} // namespace xlsx
