#include "xlsx/packageparts.h"

namespace xlsx {

const char StylesContentType[] = "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml";
const char StylesRelationshipType[] = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";

namespace {

const char BlankStyles[]
    = "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
      "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/><family val=\"2\"/></font></fonts>"
      "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
      "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
      "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
      "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
      "<cellXfs count=\"2\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
      "<xf numFmtId=\"14\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/></cellXfs>"
      "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
      "</styleSheet>";

struct Child
{
    int start = -1;
    int end = -1;
    QString name;
    QXmlStreamAttributes attributes;
};

struct RootScan
{
    QString name;
    QString localName;
    QString prefix;
    int tagEnd = -1;
    bool empty = false;
    int endTag = -1;
    QVector<Child> children;
};

bool scanRoot(const QString &text, RootScan *scan, QString *error)
{
    QXmlStreamReader xml(text);
    int depth = 0;
    Child child;
    while (!xml.atEnd()) {
        if (!readNextToken(xml, error))
            return false;
        const auto token = xml.tokenType();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const int begin = startTagBegin(text, xml);
            if (begin < 0)
                break;
            if (depth == 1) {
                scan->name = xml.qualifiedName().toString();
                scan->localName = xml.name().toString();
                scan->prefix = xml.prefix().isEmpty() ? QString() : xml.prefix().toString() + QLatin1Char(':');
                scan->tagEnd = int(xml.characterOffset());
                scan->empty = isEmptyElementTag(text, scan->tagEnd);
            } else if (depth == 2) {
                child = Child();
                child.start = begin;
                child.name = xml.name().toString();
                child.attributes = xml.attributes();
            }
        } else if (token == QXmlStreamReader::EndElement) {
            const int end = int(xml.characterOffset());
            if (depth == 2) {
                child.end = end;
                scan->children.append(child);
            } else if (depth == 1) {
                scan->endTag = scan->empty ? end : text.lastIndexOf(QLatin1Char('<'), end - 1);
            }
            --depth;
        }
    }
    if (xml.hasError() || scan->tagEnd < 0 || scan->endTag < 0) {
        *error = xml.hasError() ? xml.errorString() : QStringLiteral("unreadable markup");
        return false;
    }
    return true;
}

bool checkRoot(const QString &text, const QString &rootName, RootScan *scan, QString *error)
{
    if (!scanRoot(text, scan, error))
        return false;
    if (scan->localName != rootName) {
        *error = QStringLiteral("<%1> where <%2> belongs").arg(scan->localName, rootName);
        return false;
    }
    return true;
}

// Whether an <xf> of the cell formats shows a plain date: number format 14
// and the default font, fill, border and cell style, nothing else.
bool isPlainDateFormat(const QXmlStreamAttributes &attributes)
{
    bool date = false;
    for (const QXmlStreamAttribute &a : attributes) {
        const auto name = a.qualifiedName();
        const auto value = a.value();
        if (name == QLatin1String("numFmtId")) {
            date = value == QLatin1String("14");
        } else if (name == QLatin1String("fontId") || name == QLatin1String("fillId")
                   || name == QLatin1String("borderId") || name == QLatin1String("xfId")) {
            if (value != QLatin1String("0"))
                return false;
        } else if (name == QLatin1String("applyNumberFormat")) {
            if (value == QLatin1String("0") || value == QLatin1String("false"))
                return false;
        } else if (!name.startsWith(QLatin1String("apply"))) {
            return false;
        }
    }
    return date;
}

} // namespace

bool parseRelationships(const QString &text, QVector<Relationship> *relationships, QString *error)
{
    relationships->clear();
    RootScan scan;
    if (!checkRoot(text, QStringLiteral("Relationships"), &scan, error))
        return false;
    for (const Child &c : qAsConst(scan.children)) {
        if (c.name != QLatin1String("Relationship"))
            continue;
        Relationship r;
        r.id = c.attributes.value(QLatin1String("Id")).toString();
        r.type = c.attributes.value(QLatin1String("Type")).toString();
        r.target = c.attributes.value(QLatin1String("Target")).toString();
        r.external = c.attributes.value(QLatin1String("TargetMode")) == QLatin1String("External");
        relationships->append(r);
    }
    return true;
}

bool checkPackagePart(const QString &text, const QString &rootName, QString *error)
{
    RootScan scan;
    return checkRoot(text, rootName, &scan, error);
}

QString relationshipsPartOf(const QString &part)
{
    const int slash = part.lastIndexOf(QLatin1Char('/'));
    return part.left(slash + 1) + QLatin1String("_rels/") + part.mid(slash + 1) + QLatin1String(".rels");
}

QString resolveTarget(const QString &sourcePart, const QString &target)
{
    QString path = target;
    if (path.isEmpty() || path.contains(QLatin1String("://")) || path.startsWith(QLatin1String("//")))
        return QString();
    const int cut = path.indexOf(QLatin1Char('#'));
    if (cut >= 0)
        path.truncate(cut);
    if (!path.startsWith(QLatin1Char('/')))
        path.prepend(sourcePart.left(sourcePart.lastIndexOf(QLatin1Char('/')) + 1));
    QStringList parts;
    for (const QString &segment : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment == QLatin1String("."))
            continue;
        if (segment == QLatin1String("..")) {
            if (parts.isEmpty())
                return QString();
            parts.removeLast();
            continue;
        }
        parts.append(segment);
    }
    return parts.join(QLatin1Char('/'));
}

bool appendChild(QString *text, const QString &localName, const AttributeList &attributes)
{
    RootScan scan;
    QString error;
    if (!scanRoot(*text, &scan, &error))
        return false;
    QString element = QLatin1Char('<') + scan.prefix + localName;
    for (const auto &a : attributes)
        element += QLatin1Char(' ') + a.first + QLatin1String("=\"") + escapeAttribute(a.second) + QLatin1Char('"');
    element += QLatin1String("/>");
    if (scan.empty)
        text->replace(scan.tagEnd - 2, 2,
                      QLatin1Char('>') + element + QLatin1String("</") + scan.name + QLatin1Char('>'));
    else
        text->insert(scan.endTag, element);
    return true;
}

bool removeChildren(QString *text, const ChildFilter &drop)
{
    RootScan scan;
    QString error;
    if (!scanRoot(*text, &scan, &error))
        return false;
    for (int i = scan.children.size() - 1; i >= 0; --i) {
        const Child &c = scan.children[i];
        if (drop(c.name, c.attributes))
            text->remove(c.start, c.end - c.start);
    }
    return true;
}

bool StylesPart::parse(const QString &text, bool fromUtf8, QString *error)
{
    *this = StylesPart();
    QXmlStreamReader xml(text);
    int depth = 0;
    bool inCellXfs = false, inFormat = false, plainDate = false;
    int rootEndTag = -1;
    while (!xml.atEnd()) {
        if (!readNextToken(xml, error))
            return false;
        const auto token = xml.tokenType();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const int begin = startTagBegin(text, xml);
            const int end = int(xml.characterOffset());
            if (begin < 0) {
                *error = QStringLiteral("unreadable markup");
                return false;
            }
            const bool main = isMainNamespace(xml.namespaceUri());
            const auto name = xml.name();
            if (depth == 1) {
                if (!main || name != QLatin1String("styleSheet")) {
                    *error = QStringLiteral("the part is not a style sheet");
                    return false;
                }
                m_rootName = xml.qualifiedName().toString();
                m_prefix = xml.prefix().isEmpty() ? QString() : xml.prefix().toString() + QLatin1Char(':');
                m_rootEmpty = isEmptyElementTag(text, end);
                if (m_rootEmpty)
                    m_insertAt = end - 2;
            } else if (depth == 2 && main && name == QLatin1String("cellXfs") && m_cellXfsStart < 0) {
                m_cellXfsStart = begin;
                m_cellXfsTagEnd = end;
                m_cellXfsName = xml.qualifiedName().toString();
                inCellXfs = true;
            } else if (depth == 2 && main && m_insertAt < 0
                       && (name == QLatin1String("cellStyles") || name == QLatin1String("dxfs")
                           || name == QLatin1String("tableStyles") || name == QLatin1String("colors")
                           || name == QLatin1String("extLst"))) {
                m_insertAt = begin;
            } else if (depth == 3 && inCellXfs && main && name == QLatin1String("xf")) {
                inFormat = true;
                plainDate = isPlainDateFormat(xml.attributes());
            } else if (depth == 4 && inFormat) {
                plainDate = false; // alignment or protection of its own
            }
        } else if (token == QXmlStreamReader::EndElement) {
            const int end = int(xml.characterOffset());
            if (depth == 3 && inFormat) {
                if (plainDate && m_dateStyle < 0)
                    m_dateStyle = m_formatCount;
                ++m_formatCount;
                inFormat = false;
            } else if (depth == 2 && inCellXfs) {
                m_cellXfsEnd = end;
                m_cellXfsEndTag = isEmptyElementTag(text, end) && end == m_cellXfsTagEnd
                    ? end
                    : text.lastIndexOf(QLatin1Char('<'), end - 1);
                inCellXfs = false;
            } else if (depth == 1 && !m_rootEmpty) {
                rootEndTag = text.lastIndexOf(QLatin1Char('<'), end - 1);
            }
            --depth;
        }
    }
    if (xml.hasError() || m_rootName.isEmpty()) {
        *error = xml.hasError()
            ? QStringLiteral("XML error at line %1: %2").arg(xml.lineNumber()).arg(xml.errorString())
            : QStringLiteral("empty style sheet");
        *this = StylesPart();
        return false;
    }
    if (m_insertAt < 0)
        m_insertAt = rootEndTag;
    m_text = text;
    m_fromUtf8 = fromUtf8;
    return true;
}

StylesPart StylesPart::blank()
{
    // Parsed once; every workbook gets a copy (whose text is shared until
    // it is edited).
    static const StylesPart parsed = [] {
        StylesPart styles;
        QString error;
        styles.parse(QLatin1String(XmlDeclaration) + QLatin1String(BlankStyles), true, &error);
        styles.m_modified = true;
        return styles;
    }();
    return parsed;
}

int StylesPart::dateStyle()
{
    if (m_dateStyle >= 0)
        return m_dateStyle;
    if (m_rootName.isEmpty())
        return -1;
    const QString p = m_prefix;
    const QString format
        = QLatin1Char('<') + p
        + QLatin1String(
              "xf numFmtId=\"14\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>");
    QString text = m_text;
    int expected;
    if (m_cellXfsStart >= 0) {
        const bool empty = m_cellXfsEndTag == m_cellXfsEnd;
        const QString inner = empty ? QString() : m_text.mid(m_cellXfsTagEnd, m_cellXfsEndTag - m_cellXfsTagEnd);
        expected = m_formatCount;
        QString element = QLatin1Char('<') + m_cellXfsName;
        AttributeList attributes;
        startTagAttributes(m_text.mid(m_cellXfsStart, m_cellXfsTagEnd - m_cellXfsStart), &attributes);
        for (const auto &a : qAsConst(attributes))
            if (a.first != QLatin1String("count"))
                element
                    += QLatin1Char(' ') + a.first + QLatin1String("=\"") + escapeAttribute(a.second) + QLatin1Char('"');
        element += QLatin1String(" count=\"") + QString::number(m_formatCount + 1) + QLatin1String("\">") + inner
            + format + QLatin1String("</") + m_cellXfsName + QLatin1Char('>');
        text.replace(m_cellXfsStart, m_cellXfsEnd - m_cellXfsStart, element);
    } else {
        expected = 1;
        QString element = QLatin1Char('<') + p + QLatin1String("cellXfs count=\"2\"><") + p
            + QLatin1String("xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>") + format
            + QLatin1String("</") + p + QLatin1String("cellXfs>");
        if (m_rootEmpty)
            text.replace(m_insertAt, 2,
                         QLatin1Char('>') + element + QLatin1String("</") + m_rootName + QLatin1Char('>'));
        else
            text.insert(m_insertAt, element);
    }
    StylesPart edited;
    QString error;
    if (!edited.parse(text, m_fromUtf8, &error) || edited.m_dateStyle != expected)
        return -1;
    *this = edited;
    m_modified = true;
    return m_dateStyle;
}

bool parseSharedStrings(const QString &text, QStringList *strings, QString *error)
{
    strings->clear();
    QXmlStreamReader xml(text);
    int depth = 0;
    while (!xml.atEnd()) {
        if (!readNextToken(xml, error))
            return false;
        const auto token = xml.tokenType();
        if (token == QXmlStreamReader::StartElement) {
            if (depth == 1 && xml.name() == QLatin1String("si")) {
                strings->append(unescapeText(readRichText(xml)));
                continue;
            }
            ++depth;
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    if (xml.hasError()) {
        *error = xml.errorString();
        strings->clear();
        return false;
    }
    return true;
}

bool parseWorkbook(const QString &text, WorkbookInfo *info, QString *error)
{
    QXmlStreamReader xml(text);
    int depth = 0;
    bool inSheets = false, inViews = false, haveView = false;
    while (!xml.atEnd()) {
        if (!readNextToken(xml, error))
            return false;
        const auto token = xml.tokenType();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const bool main = isMainNamespace(xml.namespaceUri());
            const auto name = xml.name();
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
                    const auto v = attributes.value(QLatin1String("date1904"));
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

} // namespace xlsx
