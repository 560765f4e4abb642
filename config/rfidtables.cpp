#include "config/rfidtables.h"

#include "config/configdocument.h"

namespace {

struct KeyType
{
    const char *name;
    int bytes;
};

constexpr KeyType kKeyTypes[] = {
    {"AES128", 16}, {"AES192", 24}, {"AES256", 32}, {"DES", 16}, {"2K3DES", 16}, {"3K3DES", 24}, {"MIFARE", 12},
};
constexpr int kKeyTypeCount = int(sizeof(kKeyTypes) / sizeof(kKeyTypes[0]));

constexpr const char *kLedColours[] = {"None", "Red", "Green", "Blue", "White"};
constexpr int kLedCount = int(sizeof(kLedColours) / sizeof(kLedColours[0]));

} // namespace

QStringList RfidTables::keyTypeNames()
{
    QStringList names;
    for (const KeyType &t : kKeyTypes)
        names << QString::fromLatin1(t.name);
    return names;
}

int RfidTables::keyTypeBytes(int position)
{
    return position >= 0 && position < kKeyTypeCount ? kKeyTypes[position].bytes : 0;
}

QStringList RfidTables::ledColours()
{
    QStringList names;
    for (const char *c : kLedColours)
        names << QString::fromLatin1(c);
    return names;
}

QString RfidTables::ledText(int code)
{
    return code >= 0 && code < kLedCount ? QString::fromLatin1(kLedColours[code]) : QString();
}

int RfidTables::ledCode(const QString &text)
{
    for (int code = 1; code < kLedCount; ++code)
        if (text == QLatin1String(kLedColours[code]))
            return code;
    return 0;
}

QString RfidTables::gpioText(int pin)
{
    return pin == NoGpio ? QStringLiteral("NONE") : QStringLiteral("GPIO %1").arg(pin);
}

int RfidTables::gpioPin(const QString &text)
{
    if (text == QLatin1String("NONE"))
        return NoGpio;
    return text.mid(5).toInt();
}

RfidTables::HardwareLists RfidTables::hardwareLists(int hardwareVersion)
{
    HardwareLists lists;
    const QStringList allLeds = ledColours();
    lists.gpioKey = QStringLiteral("gpio");
    switch (hardwareVersion) {
    case 1:
        lists.gpioItems = QStringList {"None", "GPIO 4", "GPIO 5", "GPIO 16", "GPIO 17"};
        lists.ledItems = allLeds;
        break;
    case 2:
    case 8:
        lists.ledItems = allLeds;
        lists.antennasEnabled = true;
        break;
    case 3:
        lists.gpioItems = QStringList {"None", "GPIO 14", "GPIO 15", "GPIO 26"};
        lists.ledItems = QStringList {"None", "Green"};
        break;
    case 7:
        lists.gpioItems = QStringList {"None", "GPIO 14", "GPIO 15", "GPIO 26"};
        lists.ledItems = allLeds;
        break;
    case 4:
    case 6:
        lists.gpioItems = QStringList {"None", "GPIO 2", "GPIO 21", "GPIO 32", "GPIO 33"};
        lists.ledItems = allLeds;
        break;
    case ConfigDocument::R5HardwareVersion:
        lists.gpioItems = QStringList {"GPIO 0", "GPIO 1", "GPIO 2", "GPIO 3", "GPIO 4", "GPIO 5", "NONE"};
        lists.ledItems = allLeds;
        lists.r5 = true;
        lists.gpioKey = QStringLiteral("gpio_number");
        break;
    default:
        break;
    }
    return lists;
}
