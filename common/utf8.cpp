#include "common/utf8.h"

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

} // namespace

Decoded decode(const char *bytes, int size, bool skipBom, QChar invalidAs)
{
    const uchar *const s = reinterpret_cast<const uchar *>(bytes);
    Decoded out;
    out.text.reserve(size);
    int at = 0;
    if (skipBom && size >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF)
        at = 3;
    while (at < size) {
        char32_t codePoint = 0;
        const int length = next(s + at, size - at, &codePoint);
        if (length == CutOff) {
            out.incomplete = size - at;
            break;
        }
        if (length == Invalid) {
            ++out.invalid;
            out.text += invalidAs;
            ++at;
            continue;
        }
        if (codePoint >= 0x10000) {
            out.text += QChar(QChar::highSurrogate(codePoint));
            out.text += QChar(QChar::lowSurrogate(codePoint));
        } else {
            out.text += QChar(char16_t(codePoint));
        }
        at += length;
    }
    return out;
}

bool isValid(const char *bytes, int size)
{
    const uchar *const s = reinterpret_cast<const uchar *>(bytes);
    for (int at = 0; at < size;) {
        char32_t codePoint = 0;
        const int length = next(s + at, size - at, &codePoint);
        if (length < 0)
            return false;
        at += length;
    }
    return true;
}

} // namespace Utf8
