#pragma once

#include <QString>
#include <QStringList>

// Fixed tables of the "rfid" configuration section: the key types of the key
// storage, the LED colours, and the pin and LED choices each hardware variant
// offers for the tag events. Pure functions, no widgets.
namespace RfidTables {

// Key storage types, by their position in the key type lists.
QStringList keyTypeNames();
// Key length in bytes of the type at `position`; 0 for no or an unknown type.
int keyTypeBytes(int position);
// Hex digits a key of that type needs (two per byte).
inline int keyHexDigits(int position)
{
    return 2 * keyTypeBytes(position);
}
// Characters a key field may hold: a digit pair and one blank per byte.
inline int keyFieldLength(int position)
{
    return 3 * keyTypeBytes(position);
}

// The built-in LED colours by their stored code 0 to 4.
QStringList ledColours();
// Text of a stored colour code; empty for a code outside the table.
QString ledText(int code);
// Stored code of a colour text: 1 "Red" to 4 "White", 0 for anything else.
int ledCode(const QString &text);

// Pin value meaning "no output pin".
constexpr int NoGpio = 255;
// Item sought for a stored pin value: "NONE" for 255, otherwise "GPIO <n>".
QString gpioText(int pin);
// Pin value of an item: 255 for "NONE", otherwise the decimal number after
// the first five characters ("GPIO 16" gives 16, "None" gives 0).
int gpioPin(const QString &text);

// What a hardware variant ("hardware_version") offers in the dialog.
struct HardwareLists
{
    QStringList gpioItems; // the same list for both tag events
    QStringList ledItems; // the same list for both tag events
    bool antennasEnabled = false; // antenna boxes and "known tags on all antennas"
    bool r5 = false; // R5: no DESFire memory read, no RF power choice
    QString gpioKey; // key of the pin in the event objects
};
HardwareLists hardwareLists(int hardwareVersion);

} // namespace RfidTables
