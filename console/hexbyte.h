#pragma once

#include <QString>
#include <cstdint>

// One byte as two upper-case hexadecimal digits (0B, FF): the one format of
// command codes and byte values in the console and the logs.
inline QString hexByteText(uint8_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    const QChar text[2] = {QLatin1Char(digits[value >> 4]), QLatin1Char(digits[value & 0x0F])};
    return QString(text, 2);
}
