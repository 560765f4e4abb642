#include "common/framedump.h"

#include "console/hexbyte.h"

namespace {

const FrameDump::Style kStyles[FrameDump::FieldCount] = {
    {"#000000", FrameDump::DarkText, false, false}, // heading
    {"#000080", "#a9b8ff", true, false}, // start: navy
    {"#006400", "#7fd87f", false, false}, // length: dark green
    {"#0000ff", "#6fc3ff", false, true}, // address: blue
    {"#c00000", "#ff8080", true, false}, // command: red
    {"#696969", "#b4b4b4", false, false}, // parameters: dim grey
    {"#8b008b", "#e58fe5", false, true}, // CRC: dark magenta
};

QString firstLine(const QString &prefix, const QTime &time)
{
    return FrameDump::open(FrameDump::Heading) + time.toString(QStringLiteral("hh:mm:ss.zzz: ")) + prefix;
}

} // namespace

const FrameDump::Style &FrameDump::style(Field field)
{
    return kStyles[field];
}

QString FrameDump::open(Field field)
{
    const Style &s = kStyles[field];
    return QStringLiteral("<font color=\"%1\">").arg(QLatin1String(s.light))
        + (s.bold ? QStringLiteral("<b>") : QString()) + (s.italic ? QStringLiteral("<i>") : QString());
}

QString FrameDump::close(Field field)
{
    const Style &s = kStyles[field];
    return (s.italic ? QStringLiteral("</i>") : QString()) + (s.bold ? QStringLiteral("</b>") : QString())
        + QStringLiteral("</font>");
}

QString FrameDump::describe(const QByteArray &frame, bool rs485, const NameLookup &name)
{
    const int a = rs485 ? 1 : 0;
    const int payloadEnd = frame.size() - 2;
    const auto at = [&frame](int i) { return uint8_t(frame.at(i)); };
    if (a + 5 >= payloadEnd)
        return QString();
    const uint8_t c = at(a + 5);
    const bool hasCode = a + 6 < payloadEnd;
    if (c == 0x00 && hasCode)
        return name(at(a + 6)) + QStringLiteral(" - ACK");
    if (c == 0xFE && hasCode)
        return name(at(a + 6)) + QStringLiteral(" - ASYNC");
    if (c == 0xFF && hasCode) {
        QString d = name(at(a + 6)) + QStringLiteral(" - Error no. ");
        if (a + 8 < payloadEnd)
            d += QStringLiteral("0x") + QString::number(at(a + 7) * 256 + at(a + 8), 16);
        return d;
    }
    return name(c);
}

QString FrameDump::html(const QByteArray &frame, bool rs485, const QString &prefix, const QString &description,
                        const QTime &time)
{
    const int a = rs485 ? 1 : 0;
    const int n = frame.size();
    QString out = firstLine(prefix, time) + QStringLiteral(" - ") + description + QStringLiteral(" ") + close(Heading)
        + QStringLiteral("<br>") + QStringLiteral("&nbsp;&nbsp;&nbsp;&nbsp;Data:") + open(Start);
    out.reserve(out.size() + n * 3 + 200);
    Field field = Start;
    const auto next = [&](Field to) {
        out += close(field) + open(to);
        field = to;
    };
    for (int i = 0; i < n; ++i) {
        out += QLatin1Char(' ');
        out += hexByteText(uint8_t(frame.at(i)));
        if (i == 4 && a == 1)
            next(Address);
        else if (i == 0)
            next(Length);
        else if (i == a + 4)
            next(Command);
        else if (i == n - 3)
            next(Crc);
        else if (i == a + 5)
            next(Params);
    }
    return out + close(field) + QStringLiteral("<br>");
}

QString FrameDump::rawHtml(const QByteArray &bytes, const QString &prefix, const QTime &time)
{
    QString out = firstLine(prefix, time) + close(Heading) + QStringLiteral("<br>")
        + QStringLiteral("&nbsp;&nbsp;&nbsp;&nbsp;Data:");
    for (char byte : bytes)
        out += QLatin1Char(' ') + hexByteText(uint8_t(byte));
    return out + QStringLiteral("</font>") + QStringLiteral("<br>");
}
