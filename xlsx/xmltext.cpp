#include "xlsx/xmltext.h"

#include "common/utf8.h"

#include <QXmlStreamReader>

namespace xlsx {

const char XmlDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

namespace {

bool isHex(QChar c)
{
    const ushort u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

// "_xHHHH_" at position i.
bool isEscapeAt(const QString &text, int i)
{
    if (i + 7 > text.size() || text[i] != QLatin1Char('_') || text[i + 1] != QLatin1Char('x')
        || text[i + 6] != QLatin1Char('_'))
        return false;
    for (int k = 2; k < 6; ++k)
        if (!isHex(text[i + k]))
            return false;
    return true;
}

QString hexEscape(ushort u)
{
    return QLatin1String("_x") + QString::number(u, 16).toUpper().rightJustified(4, QLatin1Char('0'))
        + QLatin1Char('_');
}

QString decodeUtf16(const QByteArray &bytes, int from, bool littleEndian)
{
    const int n = (bytes.size() - from) / 2;
    QString s(n, Qt::Uninitialized);
    const uchar *p = reinterpret_cast<const uchar *>(bytes.constData()) + from;
    for (int i = 0; i < n; ++i, p += 2)
        s[i] = QChar(littleEndian ? ushort(p[0] | p[1] << 8) : ushort(p[0] << 8 | p[1]));
    return s;
}

bool isSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

} // namespace

// Text of a CT_Rst element (<is>, <si>): plain <t>, or the <t> of each run;
// phonetic runs and properties are left out. xml stands on the start element
// and is left on its end element.
QString readRichText(QXmlStreamReader &xml)
{
    QString out;
    int depth = 1;
    bool inRun = false;
    while (depth > 0 && !xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const auto name = xml.name();
            if (name == QLatin1String("t") && (depth == 1 || (depth == 2 && inRun))) {
                out += xml.readElementText(QXmlStreamReader::IncludeChildElements);
                continue; // left on the </t>
            }
            if (depth == 1 && name == QLatin1String("r"))
                inRun = true;
            ++depth;
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
            if (depth == 1)
                inRun = false;
        }
    }
    return out;
}

bool decodeXml(const QByteArray &bytes, XmlText *out, QString *error)
{
    const auto *b = reinterpret_cast<const uchar *>(bytes.constData());
    const int n = bytes.size();
    bool utf16 = false, littleEndian = false;
    int from = 0;
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        from = 3;
    } else if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        utf16 = true, littleEndian = true, from = 2;
    } else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        utf16 = true, from = 2;
    } else if (n >= 4 && b[0] == '<' && b[1] == 0 && b[2] == '?' && b[3] == 0) {
        utf16 = true, littleEndian = true;
    } else if (n >= 4 && b[0] == 0 && b[1] == '<' && b[2] == 0 && b[3] == '?') {
        utf16 = true;
    }
    if (utf16) {
        if ((n - from) % 2) {
            *error = QStringLiteral("truncated UTF-16 text");
            return false;
        }
        out->text = decodeUtf16(bytes, from, littleEndian);
        out->fromUtf8 = false;
        return true;
    }
    const Utf8::Decoded utf8 = Utf8::decode(bytes.constData() + from, n - from);
    out->text = utf8.text;
    out->fromUtf8 = true;
    if (!utf8.clean()) {
        *error = QStringLiteral("invalid UTF-8 text");
        return false;
    }
    return true;
}

bool readNextToken(QXmlStreamReader &xml, QString *error)
{
    if (xml.readNext() != QXmlStreamReader::DTD)
        return true;
    *error = QStringLiteral("document type declarations are not allowed");
    return false;
}

QString utf8Text(const char *bytes, int size)
{
    return Utf8::decode(bytes, size).text;
}

QByteArray encodeXml(const QString &text, bool fromUtf8)
{
    if (fromUtf8 || !text.startsWith(QLatin1String("<?xml")))
        return text.toUtf8();
    const int end = text.indexOf(QLatin1String("?>"));
    if (end < 0)
        return text.toUtf8();
    QByteArray out(XmlDeclaration);
    out.chop(1);
    return out + QStringView(text).mid(end + 2).toUtf8();
}

bool isMainNamespace(QStringView uri)
{
    return uri == QStringView(u"http://schemas.openxmlformats.org/spreadsheetml/2006/main")
        || uri == QStringView(u"http://purl.oclc.org/ooxml/spreadsheetml/main");
}

bool isRelationshipNamespace(QStringView uri)
{
    return uri == QStringView(u"http://schemas.openxmlformats.org/officeDocument/2006/relationships")
        || uri == QStringView(u"http://purl.oclc.org/ooxml/officeDocument/relationships");
}

QString escapeText(const QString &text)
{
    QString out;
    out.reserve(text.size() + 16);
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = text[i];
        const ushort u = c.unicode();
        if (u == '&')
            out += QLatin1String("&amp;");
        else if (u == '<')
            out += QLatin1String("&lt;");
        else if (u == '>')
            out += QLatin1String("&gt;");
        else if (u == '\r')
            out += QLatin1String("&#13;");
        else if (u == '\t' || u == '\n')
            out += c;
        else if (u < 0x20 || u == 0xFFFE || u == 0xFFFF)
            out += hexEscape(u);
        else if (c.isHighSurrogate() && i + 1 < n && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
        } else if (c.isSurrogate())
            out += hexEscape(u);
        else if (u == '_' && isEscapeAt(text, i))
            out += QLatin1String("_x005F_");
        else
            out += c;
    }
    return out;
}

QString escapeAttribute(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\t':
            out += QLatin1String("&#9;");
            break;
        case '\n':
            out += QLatin1String("&#10;");
            break;
        case '\r':
            out += QLatin1String("&#13;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString unescapeText(const QString &text)
{
    if (!text.contains(QLatin1String("_x")))
        return text;
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (isEscapeAt(text, i)) {
            out += QChar(ushort(text.mid(i + 2, 4).toUInt(nullptr, 16)));
            i += 6;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool needsSpacePreserve(const QString &text)
{
    if (text.isEmpty())
        return false;
    if (isSpace(text.front()) || isSpace(text.back()))
        return true;
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\t')) || text.contains(QLatin1Char('\r'))
        || text.contains(QLatin1String("  "));
}

QString columnLetters(int column)
{
    QString letters;
    while (column > 0) {
        const int rem = (column - 1) % 26;
        letters.prepend(QChar('A' + rem));
        column = (column - 1) / 26;
    }
    return letters;
}

QString cellReference(int row, int column)
{
    return columnLetters(column) + QString::number(row);
}

bool parseRowNumber(QStringView text, int *row)
{
    if (text.isEmpty() || text.size() > 7)
        return false;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value < 1 || value > MaxRows)
        return false;
    *row = value;
    return true;
}

bool parseCellReference(QStringView ref, int *row, int *column)
{
    int i = 0, col = 0;
    while (i < ref.size() && i < 4) {
        const ushort u = ref.at(i).toUpper().unicode();
        if (u < 'A' || u > 'Z')
            break;
        col = col * 26 + (u - 'A' + 1);
        ++i;
    }
    if (i == 0 || col > MaxColumns)
        return false;
    int r = 0;
    if (i < ref.size() && !parseRowNumber(ref.mid(i), &r))
        return false;
    *row = r;
    *column = col;
    return true;
}

int startTagBegin(const QString &text, const QXmlStreamReader &xml)
{
    const qint64 end = xml.characterOffset();
    if (end < 2 || end > text.size() || text[int(end) - 1] != QLatin1Char('>'))
        return -1;
    return text.lastIndexOf(QLatin1Char('<'), int(end) - 1);
}

bool isEmptyElementTag(const QString &text, int end)
{
    return end >= 2 && end <= text.size() && text[end - 2] == QLatin1Char('/');
}

bool startTagAttributes(const QString &tag, AttributeList *attributes)
{
    attributes->clear();
    if (tag.size() < 3 || tag.front() != QLatin1Char('<') || tag.back() != QLatin1Char('>'))
        return false;
    int nameEnd = 1;
    while (nameEnd < tag.size() && !isSpace(tag[nameEnd]) && tag[nameEnd] != QLatin1Char('/')
           && tag[nameEnd] != QLatin1Char('>'))
        ++nameEnd;
    QString doc = tag;
    if (!isEmptyElementTag(tag, tag.size()))
        doc += QLatin1String("</") + tag.mid(1, nameEnd - 1) + QLatin1Char('>');
    QXmlStreamReader xml(doc);
    xml.setNamespaceProcessing(false);
    while (!xml.atEnd() && xml.readNext() != QXmlStreamReader::StartElement) { }
    if (xml.tokenType() != QXmlStreamReader::StartElement)
        return false;
    for (const QXmlStreamAttribute &a : xml.attributes())
        attributes->append({a.qualifiedName().toString(), a.value().toString()});
    while (!xml.atEnd())
        xml.readNext();
    return !xml.hasError();
}

bool parseCell(const QString &cellXml, CellContent *content)
{
    *content = CellContent();
    QXmlStreamReader xml(cellXml);
    xml.setNamespaceProcessing(false);
    int depth = 0;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            const auto name = xml.name();
            if (depth == 1) {
                if (name != QLatin1String("c"))
                    return false;
                const QXmlStreamAttributes attrs = xml.attributes();
                content->type = attrs.value(QLatin1String("t")).toString();
                content->style = attrs.value(QLatin1String("s")).toString();
            } else if (depth == 2 && name == QLatin1String("v")) {
                content->value = xml.readElementText(QXmlStreamReader::IncludeChildElements);
                --depth;
            } else if (depth == 2 && name == QLatin1String("is")) {
                content->inlineText = readRichText(xml);
                content->hasInline = true;
                --depth;
            } else if (depth == 2 && name == QLatin1String("f")) {
                content->hasFormula = true;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        } else if (token == QXmlStreamReader::DTD) {
            return false;
        }
    }
    return !xml.hasError();
}

} // namespace xlsx
