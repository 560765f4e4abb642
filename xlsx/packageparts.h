#pragma once

// The package-level parts of a workbook that this layer reads or edits:
// relationships, content types, the style sheet (for the date format) and
// the shared string table.

#include "xlsx/xmltext.h"

#include <QString>
#include <QStringList>
#include <QVector>
#include <QXmlStreamReader>
#include <functional>

namespace xlsx {

extern const char StylesContentType[];
extern const char StylesRelationshipType[];

struct Relationship
{
    QString id;
    QString type;
    QString target;
    bool external = false;
};
bool parseRelationships(const QString &text, QVector<Relationship> *relationships, QString *error);

// The relationships part of a part: "xl/workbook.xml" -> "xl/_rels/workbook.xml.rels",
// the package itself ("") -> "_rels/.rels".
QString relationshipsPartOf(const QString &part);
// The archive entry a relationship target names, resolved against the part
// the relationship belongs to; targets may be relative or absolute. Empty
// when the target leaves the package.
QString resolveTarget(const QString &sourcePart, const QString &target);

// Whether text is a well-formed package part with that root element.
bool checkPackagePart(const QString &text, const QString &rootName, QString *error);

// Edits of a package XML part (relationships, content types) whose root
// holds a flat list of empty elements.
// Adds <localName attributes.../> as the last child of the root, under the
// root's prefix.
bool appendChild(QString *text, const QString &localName, const AttributeList &attributes);
// Removes the root's children for which drop(localName, attributes) holds.
using ChildFilter = std::function<bool(const QString &localName, const QXmlStreamAttributes &attributes)>;
bool removeChildren(QString *text, const ChildFilter &drop);

// The style sheet, kept as text; only its cell formats are looked at.
class StylesPart
{
public:
    bool parse(const QString &text, bool fromUtf8, QString *error);
    static StylesPart blank();

    // Index of a cell format that shows a date (built-in number format 14 and
    // otherwise the defaults), added to the cell formats when there is none.
    // -1 when the part cannot take one.
    int dateStyle();
    bool isModified() const { return m_modified; }
    QByteArray toXml() const { return encodeXml(m_text, m_fromUtf8); }

private:
    QString m_text;
    bool m_fromUtf8 = true;
    bool m_modified = false;
    QString m_prefix;
    int m_dateStyle = -1;
    int m_formatCount = 0;
    int m_cellXfsStart = -1, m_cellXfsTagEnd = -1, m_cellXfsEndTag = -1, m_cellXfsEnd = -1;
    QString m_cellXfsName;
    int m_insertAt = -1; // where a missing <cellXfs> belongs
    bool m_rootEmpty = false; // <styleSheet/>
    QString m_rootName;
};

// What the workbook part says: its sheets in order, the active tab, the
// date system.
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
bool parseWorkbook(const QString &text, WorkbookInfo *info, QString *error);

// The shared string table, in order; text with its _xHHHH_ escapes undone.
bool parseSharedStrings(const QString &text, QStringList *strings, QString *error);

} // namespace xlsx
