#include "common/utf8.h"

#include <cstdint>
#include <cstring>

namespace Utf8 {

namespace {

bool continues(uchar byte)
{
    return (byte & 0xC0) == 0x80;
}

enum Step {
    Invalid = -1,
    CutOff = -2,
};

// The code point of the sequence that starts at s[0], and how many bytes it
// takes; Invalid or CutOff instead.
int next(const uchar *s, int available, char32_t *codePoint)
{
    const uchar first = s[0];
    if (first < 0x80) {
        *codePoint = first;
        return 1;
    }
    int length = 0;
    char32_t value = 0;
    char32_t least = 0;
    if (first <= 0xC1) {
        return Invalid; // a continuation byte, or the start of an overlong form
    } else if (first < 0xE0) {
        length = 2;
        least = 0x80;
        value = first & 0x1F;
    } else if (first < 0xF0) {
        length = 3;
        least = 0x800;
        value = first & 0x0F;
    } else if (first < 0xF5) {
        length = 4;
        least = 0x10000;
        value = first & 0x07;
    } else {
        return Invalid; // past U+10FFFF whatever follows
    }
    if (available < length) {
        // What there is must continue the sequence for it to be only cut off.
        for (int i = 1; i < available; ++i) {
            if (!continues(s[i]))
                return Invalid;
        }
        return CutOff;
    }
    for (int i = 1; i < length; ++i) {
        if (!continues(s[i]))
            return Invalid;
        value = (value << 6) | (s[i] & 0x3F);
    }
    if (value < least || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
        return Invalid;
    *codePoint = value;
    return length;
}

// Where the run of ASCII bytes from at ends, eight bytes at a time.
int asciiEnd(const uchar *s, int at, int size)
{
    while (size - at >= 8) {
        quint64 word;
        std::memcpy(&word, s + at, 8);
        if (word & 0x8080808080808080ULL)
            break;
        at += 8;
    }
    while (at < size && s[at] < 0x80)
        ++at;
    return at;
}

} // namespace

Decoded decode(const char *bytes, int size, bool skipBom, QChar invalidAs)
{
    const uchar *const s = reinterpret_cast<const uchar *>(bytes);
    Decoded out;
    // Never more UTF-16 units than bytes; cut to what was written at the end.
    out.text = QString(size, Qt::Uninitialized);
    QChar *const begin = out.text.data();
    QChar *to = begin;
    int at = 0;
    if (skipBom && size >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF)
        at = 3;
    while (at < size) {
        const int ascii = asciiEnd(s, at, size);
        while (at < ascii)
            *to++ = QLatin1Char(char(s[at++]));
        if (at == size)
            break;
        char32_t codePoint = 0;
        const int length = next(s + at, size - at, &codePoint);
        if (length == CutOff) {
            out.incomplete = size - at;
            break;
        }
        if (length == Invalid) {
            ++out.invalid;
            *to++ = invalidAs;
            ++at;
            continue;
        }
        if (codePoint >= 0x10000) {
            *to++ = QChar(QChar::highSurrogate(codePoint));
            *to++ = QChar(QChar::lowSurrogate(codePoint));
        } else {
            *to++ = QChar(char16_t(codePoint));
        }
        at += length;
    }
    out.text.resize(int(to - begin));
    return out;
}

bool isValid(const char *bytes, int size)
{
    const uchar *const s = reinterpret_cast<const uchar *>(bytes);
    for (int at = asciiEnd(s, 0, size); at < size; at = asciiEnd(s, at, size)) {
        char32_t codePoint = 0;
        const int length = next(s + at, size - at, &codePoint);
        if (length < 0)
            return false;
        at += length;
    }
    return true;
}

} // namespace Utf8
