// The quick way to read a worksheet part: a scanner over the bytes of
// <sheetData> that knows the plain markup spreadsheet programs write.

#include "xlsx/sheetscan.h"

#include "common/utf8.h"
#include "xlsx/xmltext.h"

#include <algorithm>

namespace xlsx {

namespace {

// Classes of the ASCII characters for the scanner.
enum : uchar {
    NameStart = 1,
    NameChar = 2,
    PlainText = 4,
    PlainValue = 8,
    Space = 16
};

struct CharClasses
{
    uchar of[128] = {};
    constexpr CharClasses()
    {
        for (int c = 0x20; c < 0x7F; ++c)
            of[c] = PlainText | PlainValue;
        of[int('<')] = of[int('&')] = 0;
        of[int(']')] = PlainValue;
        for (int c = 'a'; c <= 'z'; ++c)
            of[c] |= NameStart | NameChar;
        for (int c = 'A'; c <= 'Z'; ++c)
            of[c] |= NameStart | NameChar;
        of[int('_')] |= NameStart | NameChar;
        for (int c = '0'; c <= '9'; ++c)
            of[c] |= NameChar;
        of[int('-')] |= NameChar;
        of[int('.')] |= NameChar;
        for (char c : {' ', '\t', '\n', '\r'})
            of[int(c)] |= Space;
    }
};
constexpr CharClasses Classes;

inline bool is(uchar c, uchar mask)
{
    return c < 0x80 && (Classes.of[c] & mask);
}

inline bool isNameStart(uchar c)
{
    return is(c, NameStart);
}

inline bool isNameChar(uchar c)
{
    return is(c, NameChar);
}

inline bool isXmlSpace(uchar c)
{
    return is(c, Space);
}

inline int skipSpace(const uchar *s, int i, int n)
{
    while (i < n && isXmlSpace(s[i]))
        ++i;
    return i;
}

bool isXmlChar(uint v)
{
    return v == 0x9 || v == 0xA || v == 0xD || (v >= 0x20 && v <= 0xD7FF) || (v >= 0xE000 && v <= 0xFFFD)
        || (v >= 0x10000 && v <= 0x10FFFF);
}

// A qualified name of ASCII name characters at i, with at most one colon
// between two non-empty parts; its end, or -1. colon is where the colon
// stands, -1 for none. A name that goes on in other characters is left to
// the full parser.
inline int qualifiedName(const uchar *s, int i, int n, int *colon)
{
    *colon = -1;
    if (i >= n || !isNameStart(s[i]))
        return -1;
    ++i;
    while (i < n && isNameChar(s[i]))
        ++i;
    if (i < n && s[i] == ':') {
        *colon = i++;
        if (i >= n || !isNameStart(s[i]))
            return -1;
        ++i;
        while (i < n && isNameChar(s[i]))
            ++i;
    }
    if (i >= n || s[i] == ':' || s[i] >= 0x80)
        return -1;
    return i;
}

// Whether the name at [start, end) begins with "xml" in any case: the
// reserved names and prefixes are left to the full parser.
inline bool startsWithXml(const uchar *s, int start, int end)
{
    return end - start >= 3 && (s[start] | 0x20) == 'x' && (s[start + 1] | 0x20) == 'm' && (s[start + 2] | 0x20) == 'l';
}

inline bool equalSpans(const uchar *s, int a, int b, int length)
{
    return std::equal(s + a, s + a + length, s + b);
}

bool isLiteral(const uchar *s, int start, int end, const char *literal)
{
    const int length = int(std::strlen(literal));
    if (end - start != length)
        return false;
    for (int k = 0; k < length; ++k)
        if (s[start + k] != uchar(literal[k]))
            return false;
    return true;
}

// The reference starting with the '&' at i: the position behind its ';',
// or -1 for anything but the predefined entities and character references
// to characters XML allows.
int referenceEnd(const uchar *s, int i, int n)
{
    int j = i + 1;
    if (j < n && s[j] == '#') {
        ++j;
        const bool hex = j < n && s[j] == 'x';
        if (hex)
            ++j;
        uint value = 0;
        int digits = 0;
        for (; j < n && digits <= 7; ++j, ++digits) {
            const uchar c = s[j];
            uint d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                break;
            value = value * (hex ? 16 : 10) + d;
        }
        if (digits == 0 || digits > 7 || j >= n || s[j] != ';' || !isXmlChar(value))
            return -1;
        return j + 1;
    }
    int k = j;
    while (k < n && k - j < 5 && s[k] >= 'a' && s[k] <= 'z')
        ++k;
    if (k >= n || s[k] != ';')
        return -1;
    for (const char *name : {"amp", "lt", "gt", "quot", "apos"})
        if (isLiteral(s, j, k, name))
            return k + 1;
    return -1;
}

// Steps over one byte of text at i that is not markup: the position behind
// it, or -1 for a character XML does not allow. The bytes are valid UTF-8
// already, so only the controls, U+FFFE and U+FFFF are left to refuse.
inline int charEnd(const uchar *s, int i, int n)
{
    const uchar c = s[i];
    if (c < 0x20)
        return c == '\t' || c == '\n' || c == '\r' ? i + 1 : -1;
    if (c == 0xEF && i + 2 < n && s[i + 1] == 0xBF && (s[i + 2] == 0xBE || s[i + 2] == 0xBF))
        return -1;
    return i + 1;
}

// parseRowNumber() on [start, end).
inline bool rowNumber(const uchar *s, int start, int end, int *row)
{
    if (end <= start || end - start > 7)
        return false;
    int value = 0;
    for (int k = start; k < end; ++k) {
        if (s[k] < '0' || s[k] > '9')
            return false;
        value = value * 10 + (s[k] - '0');
    }
    if (value < 1 || value > MaxRows)
        return false;
    *row = value;
    return true;
}

// parseCellReference() on [start, end), for a reference whose letters are
// ASCII; anything else (where case folding may find letters) goes to it.
inline bool cellReference(const uchar *s, int start, int end, int *row, int *column)
{
    int i = start, col = 0;
    for (; i < end && i - start < 4; ++i) {
        uchar u = s[i];
        if (u >= 0x80) {
            const QString ref = utf8Text(reinterpret_cast<const char *>(s) + start, end - start);
            return parseCellReference(ref, row, column);
        }
        if (u >= 'a' && u <= 'z')
            u -= 'a' - 'A';
        if (u < 'A' || u > 'Z')
            break;
        col = col * 26 + (u - 'A' + 1);
    }
    if (i == start || col > MaxColumns)
        return false;
    int r = 0;
    if (i < end && !rowNumber(s, i, end, &r))
        return false;
    *row = r;
    *column = col;
    return true;
}

} // namespace

// Reads the content of <sheetData> from just behind its start tag up to its
// end tag, indexing rows and cells as parseDocument does. False for
// anything it is not sure about, and for everything parseDocument would
// refuse: the part then goes through the full parser, which says why.
bool SheetData::scanRows(const QByteArray &bytes, int from, const QString &prefix, Scan *scan)
{
    const uchar *const s = reinterpret_cast<const uchar *>(bytes.constData());
    const int n = bytes.size();
    const QByteArray prefixBytes = prefix.toLatin1(); // ASCII, with its colon
    const int prefixLength = prefixBytes.isEmpty() ? 0 : prefixBytes.size() - 1;

    // Whether the element name at [start, colon or end) has the prefix of
    // <sheetData> and, so, its namespace (no declarations come inside).
    auto samePrefix = [&](int start, int colon) {
        if (colon < 0)
            return prefixLength == 0;
        return colon - start == prefixLength
            && std::memcmp(s + start, prefixBytes.constData(), size_t(prefixLength)) == 0;
    };

    std::vector<std::pair<int, int>> open; // names of the open elements
    std::vector<std::pair<int, int>> locals; // attribute names of one tag
    std::vector<Row> &rows = scan->rows;
    Row row;
    size_t cellsPerRow = 0;
    int childStart = -1, childColumn = 0;
    bool childIsCell = false;
    int previousRow = 0, previousColumn = 0;
    int i = from;
    for (;;) {
        while (i < n) {
            const uchar c = s[i];
            if (is(c, PlainText) || (c >= 0x80 && c != 0xEF)) {
                ++i;
            } else if (c == '<') {
                break;
            } else if (c == '&') {
                if ((i = referenceEnd(s, i, n)) < 0)
                    return false;
            } else if (c == ']') {
                if (i + 2 < n && s[i + 1] == ']' && s[i + 2] == '>')
                    return false;
                ++i;
            } else if ((i = charEnd(s, i, n)) < 0) {
                return false;
            }
        }
        if (i + 1 >= n)
            return false;

        if (s[i + 1] == '/') {
            if (open.empty()) {
                scan->end = i; // </sheetData>, checked by the full parser
                return true;
            }
            const int nameStart = open.back().first, length = open.back().second;
            const int nameEnd = i + 2 + length;
            if (nameEnd >= n || !equalSpans(s, nameStart, i + 2, length))
                return false;
            const int k = skipSpace(s, nameEnd, n);
            if (k >= n || s[k] != '>')
                return false;
            const int end = k + 1;
            open.pop_back();
            if (open.empty()) {
                row.end = end;
                cellsPerRow = row.cells.size();
                rows.push_back(std::move(row));
                row = Row();
            } else if (open.size() == 1) {
                if (childIsCell)
                    row.cells.push_back({childColumn, childStart, end, QString()});
                else
                    row.others.emplace_back(childStart, end);
            }
            i = end;
            continue;
        }
        if (s[i + 1] == '!' || s[i + 1] == '?')
            return false; // comments, CDATA, processing instructions

        int colon;
        const int nameStart = i + 1;
        const int nameEnd = qualifiedName(s, nameStart, n, &colon);
        if (nameEnd < 0)
            return false;
        if (colon >= 0) {
            if (startsWithXml(s, nameStart, colon))
                return false;
            scan->usePrefix(nameStart, colon - nameStart);
        }
        locals.clear();
        int rStart = -1, rEnd = -1;
        bool empty = false;
        int k = nameEnd;
        for (;;) {
            const int a = skipSpace(s, k, n);
            if (a >= n)
                return false;
            if (s[a] == '>') {
                k = a + 1;
                break;
            }
            if (s[a] == '/') {
                if (a + 1 >= n || s[a + 1] != '>')
                    return false;
                k = a + 2;
                empty = true;
                break;
            }
            if (a == k)
                return false; // attributes are set apart by white space
            int attributeColon;
            const int attributeEnd = qualifiedName(s, a, n, &attributeColon);
            if (attributeEnd < 0)
                return false;
            int localStart = a;
            if (attributeColon >= 0) {
                localStart = attributeColon + 1;
                if (!isLiteral(s, a, attributeColon, "xml")) {
                    if (startsWithXml(s, a, attributeColon))
                        return false; // namespace declarations
                    scan->usePrefix(a, attributeColon - a);
                }
            } else if (startsWithXml(s, a, attributeEnd)) {
                return false;
            }
            const int localLength = attributeEnd - localStart;
            for (const auto &l : locals)
                if (l.second == localLength && equalSpans(s, l.first, localStart, localLength))
                    return false; // a repeated attribute, or one that may be
            locals.emplace_back(localStart, localLength);
            int v = attributeEnd;
            if (s[v] != '=') {
                v = skipSpace(s, v, n);
                if (v >= n || s[v] != '=')
                    return false;
            }
            v = skipSpace(s, v + 1, n);
            if (v >= n || (s[v] != '"' && s[v] != '\''))
                return false;
            const uchar quote = s[v];
            const int valueStart = ++v;
            bool plain = true;
            for (;;) {
                if (v >= n)
                    return false;
                const uchar c = s[v];
                if (c == quote)
                    break;
                if (is(c, PlainValue) || (c >= 0x80 && c != 0xEF)) {
                    ++v;
                } else if (c == '<') {
                    return false;
                } else if (c == '&') {
                    plain = false;
                    if ((v = referenceEnd(s, v, n)) < 0)
                        return false;
                } else if ((v = charEnd(s, v, n)) < 0) {
                    return false;
                }
            }
            if (attributeColon < 0 && attributeEnd - a == 1 && s[a] == 'r') {
                if (!plain)
                    return false; // references in r: left to the full parser
                rStart = valueStart;
                rEnd = v;
            }
            k = v + 1;
        }
        const int tagEnd = k;
        const int localStart = colon >= 0 ? colon + 1 : nameStart;

        if (open.empty()) {
            if (!samePrefix(nameStart, colon) || !isLiteral(s, localStart, nameEnd, "row"))
                return false;
            row.start = i;
            row.tagEnd = tagEnd;
            if (rStart < 0) {
                if (previousRow >= MaxRows)
                    return false;
                row.number = previousRow + 1;
            } else if (!rowNumber(s, rStart, rEnd, &row.number) || row.number <= previousRow) {
                return false;
            }
            previousRow = row.number;
            previousColumn = 0;
            if (empty) {
                row.end = tagEnd;
                rows.push_back(std::move(row));
                row = Row();
            } else {
                row.cells.reserve(cellsPerRow);
            }
        } else if (open.size() == 1) {
            if (!samePrefix(nameStart, colon))
                return false;
            childStart = i;
            childIsCell = isLiteral(s, localStart, nameEnd, "c");
            if (childIsCell) {
                int refRow = 0, column = 0;
                if (rStart < 0) {
                    column = previousColumn + 1;
                    if (column > MaxColumns)
                        return false;
                } else if (!cellReference(s, rStart, rEnd, &refRow, &column) || column <= previousColumn) {
                    return false;
                }
                previousColumn = column;
                childColumn = column;
            }
            if (empty) {
                if (childIsCell)
                    row.cells.push_back({childColumn, childStart, tagEnd, QString()});
                else
                    row.others.emplace_back(childStart, tagEnd);
            }
        }
        if (!empty)
            open.emplace_back(nameStart, nameEnd - nameStart);
        i = tagEnd;
    }
}

// The quick way for a UTF-8 part with rows: the content of <sheetData> goes
// through scanRows, the rest (with <sheetData> left empty) through
// parseDocument. False when either is not sure; nothing is kept then.
bool SheetData::parseQuickly(const QByteArray &bytes)
{
    const uchar *const s = reinterpret_cast<const uchar *>(bytes.constData());
    const int n = bytes.size();
    // UTF-16, or what may be UTF-16 (a NUL in the first two bytes), is left
    // to the full parser.
    if (n < 2 || (s[0] == 0xFF && s[1] == 0xFE) || (s[0] == 0xFE && s[1] == 0xFF) || s[0] == 0 || s[1] == 0)
        return false;
    const int base = n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF ? 3 : 0;

    // The bytes have to be UTF-8 as decodeXml() takes it.
    if (!Utf8::isValid(bytes.constData() + base, n - base))
        return false;

    // The first "sheetData" that stands as an element name, and the end of
    // its start tag (passing over quoted attribute values).
    int nameStart = -1, localStart = -1, at = -1;
    for (int from = base; at < 0;) {
        const int i = bytes.indexOf("sheetData", from);
        if (i < base + 1)
            return false;
        from = i + 9;
        if (from >= n || !(isXmlSpace(s[from]) || s[from] == '>' || s[from] == '/'))
            continue;
        int lt = i - 1;
        if (s[lt] == ':') {
            while (lt > base && isNameChar(s[lt - 1]))
                --lt;
            --lt;
            if (lt < base || lt + 1 == i - 1 || !isNameStart(s[lt + 1]))
                continue;
        }
        if (s[lt] != '<')
            continue;
        nameStart = lt + 1;
        localStart = i;
        uchar quote = 0;
        for (int k = from; k < n; ++k) {
            const uchar c = s[k];
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                if (s[k - 1] == '/')
                    return false; // <sheetData/>: no rows, nothing to gain
                at = k + 1;
                break;
            }
        }
        if (at < 0)
            return false;
    }
    const QString prefix = QString::fromLatin1(bytes.constData() + nameStart, localStart - nameStart); // "" or "x:"

    Scan scan;
    scan.bytes = bytes.constData();
    if (!scanRows(bytes, at, prefix, &scan))
        return false;
    const QString head = utf8Text(bytes.constData() + base, at - base);
    const QString doc = head + utf8Text(bytes.constData() + scan.end, n - scan.end);
    SheetData parsed;
    QString ignored;
    if (!parsed.parseDocument(doc, true, &scan, &ignored) || scan.tagEnd != head.size() || scan.endTag != head.size()
        || !parsed.m_rows.empty() || parsed.m_prefix != prefix)
        return false;
    auto byteOffset = [&](int offset) { return base + QStringView(head).left(offset).toUtf8().size(); };
    if (parsed.m_dimensionStart >= 0) {
        parsed.m_dimensionStart = byteOffset(parsed.m_dimensionStart);
        parsed.m_dimensionEnd = byteOffset(parsed.m_dimensionEnd);
    }
    parsed.m_text.clear();
    parsed.m_head.clear();
    parsed.m_tail.clear();
    parsed.m_bytes = bytes;
    parsed.m_inBytes = true;
    parsed.m_base = base;
    parsed.m_headEnd = at;
    parsed.m_tailStart = scan.end;
    parsed.m_rows = std::move(scan.rows);
    *this = std::move(parsed);
    return true;
}

} // namespace xlsx
