#pragma once

#include <QChar>
#include <QString>

// UTF-8 as this program has always read it, in both Qt versions:
// - every invalid sequence (a stray continuation byte, a byte that cannot
//   start a sequence, a sequence broken off by a byte that does not
//   continue it, an overlong form, a surrogate, a code point past U+10FFFF)
//   becomes one invalidAs character and counts as invalid; decoding goes on
//   after its first byte;
// - a sequence cut off by the end of the bytes is left out of the text and
//   counted as incomplete;
// - a byte order mark at the start is a U+FEFF character of the text
//   unless skipBom.
namespace Utf8 {

struct Decoded
{
    QString text;
    int invalid = 0; // invalid sequences, each one invalidAs in the text
    int incomplete = 0; // bytes of a sequence cut off at the end
    bool clean() const { return invalid == 0 && incomplete == 0; }
};

Decoded decode(const char *bytes, int size, bool skipBom = false, QChar invalidAs = QChar::ReplacementCharacter);

// Whether the bytes are UTF-8 through and through (a sequence cut off at
// the end is not).
bool isValid(const char *bytes, int size);

} // namespace Utf8
