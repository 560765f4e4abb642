#pragma once

#include <QJsonObject>

// Which catalogue entries the command list shows: the code must lie in the
// range of a checked family box (codes above 223 are always listed) and the
// entry must not be marked invisible.
struct CommandFilter
{
    bool generic = true; // 0x01-0x1F
    bool mifareClassic = true; // 0x20-0x3F
    bool mifareUltralight = true; // 0x40-0x5F
    bool mifareDesfire = true; // 0x60-0x8F
    bool icode = true; // 0x90-0xE0

    bool selects(int code) const
    {
        return (generic && code >= 1 && code <= 31) || (mifareClassic && code >= 32 && code <= 63)
            || (mifareUltralight && code >= 64 && code <= 95) || (mifareDesfire && code >= 96 && code <= 143)
            || (icode && code >= 144 && code <= 224) || code > 223;
    }

    static bool visible(const QJsonObject &command)
    {
        const QJsonValue v = command.value(QStringLiteral("visible"));
        return v.isUndefined() || v.isNull() || (v.isBool() && v.toBool());
    }

    bool lists(const QJsonObject &command) const
    {
        return selects(command.value(QStringLiteral("value")).toInt()) && visible(command);
    }
};
