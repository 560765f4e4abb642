#include "config/jsontext.h"

#include "common/utf8.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Deeper nesting is refused rather than followed down the stack.
constexpr int kMaxDepth = 256;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void appendUtf8(QByteArray &out, uint code)
{
    out += QString::fromUcs4(&code, 1).toUtf8();
}

} // namespace

JsonText::JsonText(const QByteArray &text)
    : m_text(text)
{
    if (!parse())
        m_nodes.clear();
}

int JsonText::errorOffset() const
{
    return isValid() ? -1 : qBound(0, m_errorAt, int(m_text.size()));
}

bool JsonText::parse()
{
    m_nodes.clear();
    // A byte order mark before the value is taken as it comes.
    int pos = m_text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    skipBlanks(pos);
    const bool parsed = parseValue(pos, -1, -1, QString(), 0);
    if (parsed)
        skipBlanks(pos);
    m_errorAt = pos;
    return parsed && pos == m_text.size();
}

void JsonText::skipBlanks(int &pos) const
{
    while (pos < m_text.size() && isBlank(m_text.at(pos)))
        ++pos;
}

bool JsonText::parseValue(int &pos, int parent, int keyStart, const QString &key, int depth)
{
    if (pos >= m_text.size() || depth > kMaxDepth)
        return false;
    const int self = m_nodes.size();
    m_nodes.append(Node {Null, pos, pos, parent, keyStart, key});
    const char c = m_text.at(pos);
    Type type = Null;
    if (c == '{' || c == '[') {
        const bool object = c == '{';
        const char close = object ? '}' : ']';
        type = object ? Object : Array;
        ++pos;
        skipBlanks(pos);
        if (pos < m_text.size() && m_text.at(pos) == close) {
            ++pos;
        } else {
            for (;;) {
                int memberKeyStart = -1;
                QString memberKey;
                if (object) {
                    memberKeyStart = pos;
                    if (pos >= m_text.size() || m_text.at(pos) != '"' || !parseString(pos, &memberKey, nullptr))
                        return false;
                    skipBlanks(pos);
                    if (pos >= m_text.size() || m_text.at(pos) != ':')
                        return false;
                    ++pos;
                    skipBlanks(pos);
                }
                if (!parseValue(pos, self, memberKeyStart, memberKey, depth + 1))
                    return false;
                skipBlanks(pos);
                if (pos >= m_text.size())
                    return false;
                if (m_text.at(pos) == close) {
                    ++pos;
                    break;
                }
                if (m_text.at(pos) != ',')
                    return false;
                ++pos;
                skipBlanks(pos);
            }
        }
    } else if (c == '"') {
        type = String;
        if (!parseString(pos, nullptr, nullptr))
            return false;
    } else if (c == '-' || isDigit(c)) {
        type = Number;
        if (!parseNumber(pos))
            return false;
    } else {
        static const char *const literals[] = {"null", "true", "false"};
        bool found = false;
        for (const char *literal : literals) {
            const int n = int(qstrlen(literal));
            if (m_text.mid(pos, n) == literal) {
                type = literal[0] == 'n' ? Null : Bool;
                pos += n;
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    m_nodes[self].type = type;
    m_nodes[self].end = pos;
    return true;
}

// From the opening quote to just past the closing one. Decodes the escapes;
// the bytes between them are taken as UTF-8, and whether they were is told
// by lossless.
bool JsonText::parseString(int &pos, QString *decoded, bool *lossless) const
{
    QByteArray bytes;
    bool exact = true;
    ++pos;
    while (pos < m_text.size()) {
        const char c = m_text.at(pos);
        if (c == '"') {
            ++pos;
            if (decoded || lossless) {
                const Utf8::Decoded text = Utf8::decode(bytes.constData(), bytes.size());
                if (decoded)
                    *decoded = text.text;
                if (lossless)
                    *lossless = exact && text.clean();
            }
            return true;
        }
        if (uchar(c) < 0x20)
            return false;
        if (c != '\\') {
            bytes += c;
            ++pos;
            continue;
        }
        if (pos + 1 >= m_text.size())
            return false;
        const char e = m_text.at(pos + 1);
        pos += 2;
        static const char simple[] = "\"\\/bfnrt";
        static const char meaning[] = "\"\\/\b\f\n\r\t";
        if (const char *s = e ? std::strchr(simple, e) : nullptr) {
            bytes += meaning[s - simple];
            continue;
        }
        if (e != 'u' || pos + 4 > m_text.size())
            return false;
        uint code = 0;
        for (int i = 0; i < 4; ++i) {
            const int v = hexValue(m_text.at(pos + i));
            if (v < 0)
                return false;
            code = code * 16 + uint(v);
        }
        pos += 4;
        const bool high = code >= 0xD800 && code < 0xDC00;
        const bool low = code >= 0xDC00 && code < 0xE000;
        if (high && m_text.mid(pos, 2) == "\\u") {
            uint next = 0;
            bool hex = pos + 6 <= m_text.size();
            for (int i = 2; hex && i < 6; ++i) {
                const int v = hexValue(m_text.at(pos + i));
                hex = v >= 0;
                next = next * 16 + uint(v);
            }
            if (hex && next >= 0xDC00 && next < 0xE000) {
                pos += 6;
                appendUtf8(bytes, 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00));
                continue;
            }
        }
        if (high || low) {
            exact = false;
            code = 0xFFFD;
        }
        appendUtf8(bytes, code);
    }
    return false;
}

bool JsonText::parseNumber(int &pos) const
{
    auto digits = [&] {
        const int from = pos;
        while (pos < m_text.size() && isDigit(m_text.at(pos)))
            ++pos;
        return pos > from;
    };
    if (m_text.at(pos) == '-')
        ++pos;
    if (pos < m_text.size() && m_text.at(pos) == '0')
        ++pos;
    else if (!digits())
        return false;
    if (pos < m_text.size() && m_text.at(pos) == '.') {
        ++pos;
        if (!digits())
            return false;
    }
    if (pos < m_text.size() && (m_text.at(pos) == 'e' || m_text.at(pos) == 'E')) {
        ++pos;
        if (pos < m_text.size() && (m_text.at(pos) == '+' || m_text.at(pos) == '-'))
            ++pos;
        if (!digits())
            return false;
    }
    return true;
}

QVector<int> JsonText::members(int object, const QString &key) const
{
    QVector<int> found;
    if (object < 0 || m_nodes.at(object).type != Object)
        return found;
    for (int i = object + 1; i < m_nodes.size() && m_nodes.at(i).start < m_nodes.at(object).end; ++i)
        if (m_nodes.at(i).parent == object && m_nodes.at(i).key == key)
            found.append(i);
    return found;
}

int JsonText::find(const QStringList &path) const
{
    if (!isValid())
        return -1;
    int node = 0;
    for (const QString &key : path) {
        const QVector<int> found = members(node, key);
        if (found.isEmpty())
            return -1;
        node = found.first();
    }
    return node;
}

QByteArray JsonText::raw(int node) const
{
    const Node &n = m_nodes.at(node);
    return m_text.mid(n.start, n.end - n.start);
}

QJsonValue JsonText::value(int node, bool *lossless) const
{
    if (lossless)
        *lossless = true;
    const Node &n = m_nodes.at(node);
    switch (n.type) {
    case Null:
        return QJsonValue(QJsonValue::Null);
    case Bool:
        return QJsonValue(m_text.at(n.start) == 't');
    case Number: {
        bool ok = false;
        const double d = raw(node).toDouble(&ok);
        // Beyond the range of a double: as far out as a double goes.
        if (!ok || !std::isfinite(d))
            return QJsonValue(m_text.at(n.start) == '-' ? std::numeric_limits<double>::lowest()
                                                        : std::numeric_limits<double>::max());
        return QJsonValue(d);
    }
    case String: {
        QString text;
        int pos = n.start;
        parseString(pos, &text, lossless);
        return QJsonValue(text);
    }
    case Array:
        return QJsonValue(QJsonValue::Array);
    case Object:
        return QJsonValue(QJsonValue::Object);
    }
    return QJsonValue();
}

QByteArray JsonText::encode(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool() ? "true" : "false";
    case QJsonValue::Double: {
        const double d = value.toDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9007199254740992.0)
            return QByteArray::number(qint64(d));
        return std::isfinite(d) ? QByteArray::number(d, 'g', 17) : QByteArray("null");
    }
    case QJsonValue::String: {
        QByteArray out("\"");
        for (const char c : value.toString().toUtf8()) {
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (uchar(c) < 0x20)
                    out += QByteArray("\\u00") + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
                else
                    out += c;
            }
        }
        return out + '"';
    }
    default:
        return "null";
    }
}

void JsonText::replace(int start, int end, const QByteArray &with)
{
    m_text.replace(start, end - start, with);
    parse();
}

// Leading blanks of the line `pos` stands on.
QByteArray JsonText::indentOf(int pos) const
{
    int lineStart = pos;
    while (lineStart > 0 && m_text.at(lineStart - 1) != '\n')
        --lineStart;
    int end = lineStart;
    while (end < pos && (m_text.at(end) == ' ' || m_text.at(end) == '\t'))
        ++end;
    return m_text.mid(lineStart, end - lineStart);
}

namespace {

// `"key": value`, with objects for the keys after the first; `sep` is the
// text that stands before this member (a line break and the indentation, or
// a blank on a one-line object).
QByteArray memberText(const QStringList &keys, const QByteArray &value, const QByteArray &sep)
{
    QByteArray text = JsonText::encode(keys.first()) + ": ";
    if (keys.size() == 1)
        return text + value;
    const QByteArray inner = sep.contains('\n') ? sep + "    " : sep;
    return text + '{' + inner + memberText(keys.mid(1), value, inner) + sep + '}';
}

} // namespace

// Adds keys.first() at the end of `object`, laid out like its last member;
// in an empty object it goes on a line of its own, one step in.
void JsonText::insertMember(int object, const QStringList &keys, const QByteArray &value)
{
    const Node &o = m_nodes.at(object);
    int last = -1;
    for (int i = object + 1; i < m_nodes.size() && m_nodes.at(i).start < o.end; ++i)
        if (m_nodes.at(i).parent == object)
            last = i;
    if (last < 0) {
        const QByteArray indent = indentOf(o.start);
        const QByteArray sep = "\n" + indent + "    ";
        replace(o.start + 1, o.end - 1, sep + memberText(keys, value, sep) + "\n" + indent);
        return;
    }
    int sepStart = m_nodes.at(last).keyStart;
    while (sepStart > 0 && isBlank(m_text.at(sepStart - 1)))
        --sepStart;
    const QByteArray sep = m_text.mid(sepStart, m_nodes.at(last).keyStart - sepStart);
    const int at = m_nodes.at(last).end;
    replace(at, at, "," + sep + memberText(keys, value, sep));
}

void JsonText::set(const QStringList &path, const QJsonValue &value)
{
    setText(path, encode(value));
}

void JsonText::setText(const QStringList &path, const QByteArray &value)
{
    if (!isValid() || m_nodes.first().type != Object || path.isEmpty())
        return;
    int object = 0;
    for (int i = 0; i < path.size(); ++i) {
        const QVector<int> found = members(object, path.at(i));
        if (found.isEmpty()) {
            insertMember(object, path.mid(i), value);
            return;
        }
        if (i + 1 == path.size()) {
            // From the last to the first, so that the earlier places stay put.
            for (int k = found.size() - 1; k >= 0; --k) {
                const Node &n = m_nodes.at(found.at(k));
                m_text.replace(n.start, n.end - n.start, value);
            }
            parse();
            return;
        }
        const int next = found.first();
        if (m_nodes.at(next).type != Object) {
            // Not an object where one is needed: an empty one takes its place.
            replace(m_nodes.at(next).start, m_nodes.at(next).end, "{}");
            setText(path, value);
            return;
        }
        object = next;
    }
}

QVector<QStringList> JsonText::memberPaths() const
{
    QVector<QStringList> paths;
    QVector<QStringList> pathOf(m_nodes.size());
    // A node comes after its parent, so its parent's path is known.
    for (int i = 1; i < m_nodes.size(); ++i) {
        const Node &n = m_nodes.at(i);
        if (n.keyStart < 0 || (n.parent > 0 && pathOf.at(n.parent).isEmpty()))
            continue; // an array element, or inside one
        pathOf[i] = pathOf.at(n.parent) + QStringList(n.key);
        paths << pathOf.at(i);
    }
    return paths;
}
