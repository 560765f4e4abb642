#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

// JSON text read and edited in place. Values are found where they stand in
// the text, and an edit replaces the text of the one value it changes and
// nothing else: layout, member order, number spellings, integers beyond what
// a double holds and bytes that are not UTF-8 all stay as they came.
//
// The text must be one JSON value (RFC 8259 grammar); the bytes inside
// strings are taken as they are, UTF-8 or not. Paths name object members
// from the top: {"rfid", "known_tag", "gpio"}. Where an object holds a key
// twice, reading takes the first member and writing rewrites every one.
class JsonText
{
public:
    enum Type {
        Null,
        Bool,
        Number,
        String,
        Array,
        Object
    };

    explicit JsonText(const QByteArray &text = QByteArray());

    bool isValid() const { return !m_nodes.isEmpty(); }
    // Where reading stopped in text that is not one JSON value; -1 when it is.
    int errorOffset() const;
    const QByteArray &text() const { return m_text; }

    // The value at path; -1 when a member on the way is missing or a value
    // on the way is not an object. The empty path is the whole text.
    int find(const QStringList &path) const;
    Type type(int node) const { return m_nodes.at(node).type; }
    // The value's own text, as it stands, and where it starts.
    QByteArray raw(int node) const;
    int offset(int node) const { return m_nodes.at(node).start; }
    // A scalar as a QJsonValue (numbers as doubles); an array or object
    // gives an empty one. `lossless` is false for a string that cannot be
    // read as text unchanged (bytes that are not UTF-8, a lone surrogate).
    QJsonValue value(int node, bool *lossless = nullptr) const;

    // Makes `value` (a scalar) the value at path: every member of that key
    // in the object gets the new text; a missing member is added at the
    // end of its object, missing objects on the way are created, and a
    // value on the way that is not an object is replaced by one. Does
    // nothing when the text is not a JSON object.
    void set(const QStringList &path, const QJsonValue &value);
    // The same with the value's JSON text as it is to stand (any value).
    void setText(const QStringList &path, const QByteArray &value);

    // The path of every object member, nested ones too (not inside arrays),
    // in the order of the text.
    QVector<QStringList> memberPaths() const;

    // JSON text of a scalar: integers without a fraction, strings with the
    // escapes JSON needs and everything else as UTF-8.
    static QByteArray encode(const QJsonValue &value);

private:
    struct Node
    {
        Type type;
        int start; // first byte of the value
        int end; // one past its last byte
        int parent;
        int keyStart; // members: the opening quote of the key; -1 otherwise
        QString key;
    };

    bool parse();
    bool parseValue(int &pos, int parent, int keyStart, const QString &key, int depth);
    bool parseString(int &pos, QString *decoded, bool *lossless) const;
    bool parseNumber(int &pos) const;
    void skipBlanks(int &pos) const;
    QVector<int> members(int object, const QString &key) const;
    void replace(int start, int end, const QByteArray &with);
    void insertMember(int object, const QStringList &keys, const QByteArray &value);
    QByteArray indentOf(int pos) const;

    QByteArray m_text;
    QVector<Node> m_nodes;
    int m_errorAt = 0;
};
