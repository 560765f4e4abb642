#pragma once

// Small text helpers shared by the workbook parts: decoding part bytes for
// QXmlStreamReader, escaping written text, cell references, and the raw
// start tags that are kept or rebuilt when a part is edited in place.
//
// Offsets: every parser of this layer reads a part from a QString, so
// QXmlStreamReader::characterOffset() indexes into that same string. After a
// StartElement or EndElement token the offset is exactly behind its '>'; the
// start of a start tag is the last '<' before that (a '<' cannot occur inside
// a tag). Character tokens may run one character ahead, so no offset is ever
// taken from them.

#include <QPair>
#include <QString>
#include <QVector>

class QXmlStreamReader;

namespace xlsx {

constexpr int MaxRows = 1048576;
constexpr int MaxColumns = 16384;
constexpr int MaxCellTextLength = 32767;

// The text of one XML part, decoded from UTF-8 (with or without BOM) or
// UTF-16 (BOM or a leading "<?" in either byte order). Invalid byte
// sequences are an error rather than silently replaced.
struct XmlText
{
    QString text;
    bool fromUtf8 = true;
};
bool decodeXml(const QByteArray &bytes, XmlText *out, QString *error);
// Reads the next token, xml.tokenType() then tells which. A document type
// declaration (which could define entities that expand without bound) is
// refused: false, with the reason in error.
bool readNextToken(QXmlStreamReader &xml, QString *error);
// UTF-8 bytes as text the way decodeXml() reads them, except that a byte
// order mark at their start stays a character (QString::fromUtf8() would
// drop it).
QString utf8Text(const char *bytes, int size);
// Back to UTF-8. A part that was not UTF-8 gets a UTF-8 XML declaration in
// place of its own.
QByteArray encodeXml(const QString &text, bool fromUtf8);

extern const char XmlDeclaration[];

// SpreadsheetML main namespace, transitional or strict.
bool isMainNamespace(QStringView uri);
// Office document relationships namespace (for r:id), transitional or strict.
bool isRelationshipNamespace(QStringView uri);

// Element content: markup escaped, characters XML cannot carry (controls,
// lone surrogates, U+FFFE/U+FFFF) as _xHHHH_, a literal "_xHHHH_" protected
// as "_x005F_xHHHH_", CR kept as a character reference.
QString escapeText(const QString &text);
// Attribute values in double quotes.
QString escapeAttribute(const QString &text);
// Undoes the _xHHHH_ escapes of cell text.
QString unescapeText(const QString &text);
// Whether a <t> holding text needs xml:space="preserve".
bool needsSpacePreserve(const QString &text);

QString columnLetters(int column); // 1 -> "A", 28 -> "AB"
QString cellReference(int row, int column); // (2, 3) -> "C2"
// "C2" or "c2" -> column 3, row 2; a reference without digits gives row 0.
// False for anything else or out of range.
bool parseCellReference(QStringView ref, int *row, int *column);
// A decimal row number 1..MaxRows.
bool parseRowNumber(QStringView text, int *row);

// For a StartElement just read by xml: where its tag starts in text (-1 when
// the offsets do not add up, which callers treat as a parse error).
int startTagBegin(const QString &text, const QXmlStreamReader &xml);
// Whether the start tag ending at end is an empty-element tag ("/>").
bool isEmptyElementTag(const QString &text, int end);

using AttributeList = QVector<QPair<QString, QString>>;
// The attributes of one raw start tag in document order, namespace
// declarations included, values unescaped; false when the tag does not parse
// on its own.
bool startTagAttributes(const QString &tag, AttributeList *attributes);

// What a raw <c> element holds, read without namespace processing so that it
// can be parsed out of its document.
struct CellContent
{
    QString type; // the t attribute, empty for a number
    QString style; // the s attribute, empty for the default format
    QString value; // text of <v>
    QString inlineText; // text of <is> (runs concatenated, phonetic runs left out)
    bool hasInline = false;
    bool hasFormula = false;
};
bool parseCell(const QString &cellXml, CellContent *content);

// Text of a rich-text element (<is>, <si>): plain <t>, or the <t> of each
// run; phonetic runs and properties are left out. xml stands on the start
// element and is left on its end element.
QString readRichText(QXmlStreamReader &xml);

} // namespace xlsx
