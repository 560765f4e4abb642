#pragma once

#include <QByteArray>
#include <QString>
#include <QTime>
#include <functional>

// The annotated frame dump of the protocol log, as HTML: a black first line
// with the time, the prefix and what the frame is; a second line with every
// byte, set apart by field (start, length, address, command, parameters,
// CRC). With rs485 set, byte 5 is taken as the address byte.
namespace FrameDump {

// How a field is shown. Neighbouring fields differ in weight or slant as
// well as in colour, so that a dump reads the same without colour; every
// colour is at least 4.5 times as bright or dark as its background (the
// log's light base, or its dark one).
enum Field {
    Heading, // the first line
    Start,
    Length,
    Address,
    Command,
    Params,
    Crc,
    FieldCount
};
struct Style
{
    const char *light; // on the light base, white
    const char *dark; // on the dark base
    bool bold;
    bool italic;
};
const Style &style(Field field);
// The colours of the log's two looks.
constexpr const char *LightBase = "#ffffff";
constexpr const char *DarkBase = "#1e1e1e";
constexpr const char *DarkText = "#e0e0e0";
// The HTML that opens and closes a field's look (in the light colours).
QString open(Field field);
QString close(Field field);

using NameLookup = std::function<QString(uint32_t code)>;

// What the frame is, from the bytes it holds in front of its CRC only:
// "<name> - ACK", "<name> - ASYNC", "<name> - Error no. 0x<n>" or the name
// of the request.
QString describe(const QByteArray &frame, bool rs485, const NameLookup &name);

QString html(const QByteArray &frame, bool rs485, const QString &prefix, const QString &description, const QTime &time);

// The uncoloured dump: time, prefix and the bytes.
QString rawHtml(const QByteArray &bytes, const QString &prefix, const QTime &time);

} // namespace FrameDump
