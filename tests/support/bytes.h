#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// Bytes written as hex pairs, blanks allowed: "00 18 02".
inline QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// Bytes that differ from one to the next and from seed to seed, so a
// lost, doubled or reordered piece of a transfer shows.
inline QByteArray pattern(int size, quint32 seed = 1)
{
    QByteArray out(size, '\0');
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = char(x >> 16);
    }
    return out;
}

// A JSON object of exactly size bytes (at least 8), {"p":"..."}, whose
// string holds the bytes of pattern() that a JSON string may hold as they
// are, those above 0x7F among them.
inline QByteArray jsonPattern(int size, quint32 seed = 1)
{
    QByteArray text = pattern(qMax(0, size - 8), seed);
    for (char &c : text) {
        if (uchar(c) < 0x20)
            c = char(uchar(c) + 0x60);
        else if (c == '"' || c == '\\')
            c = char(uchar(c) + 0x40);
    }
    return "{\"p\":\"" + text + "\"}";
}

// The whole of a file; empty when it cannot be read.
inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces the content of a file with bytes, all of them or fails.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
