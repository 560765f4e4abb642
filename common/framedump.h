#pragma once

#include <QByteArray>
#include <QString>
#include <QTime>
#include <functional>

// The annotated frame dump of the protocol log, as HTML: a black first line
// with the time, the prefix and what the frame is; a second line with every
// byte, coloured by field (length, address, command, parameters, CRC).
// With rs485 set, byte 5 is taken as the address byte.
namespace FrameDump {

using NameLookup = std::function<QString(uint32_t code)>;

// What the frame is, from the bytes it holds in front of its CRC only:
// "<name> - ACK", "<name> - ASYNC", "<name> - Error no. 0x<n>" or the name
// of the request.
QString describe(const QByteArray &frame, bool rs485, const NameLookup &name);

QString html(const QByteArray &frame, bool rs485, const QString &prefix, const QString &description, const QTime &time);

// The uncoloured dump: time, prefix and the bytes.
QString rawHtml(const QByteArray &bytes, const QString &prefix, const QTime &time);

} // namespace FrameDump
