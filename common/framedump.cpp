#include "common/framedump.h"

#include "console/hexbyte.h"

namespace {

QString fontTag(const char *colour)
{
    return QStringLiteral("<font color=\"%1\">").arg(QLatin1String(colour));
}

QString firstLine(const QString &prefix, const QTime &time)
{
    return QStringLiteral("<font color=\"Black\">") + time.toString(QStringLiteral("hh:mm:ss.zzz: ")) + prefix;
}

} // namespace

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
    const QString close = QStringLiteral("</font>");
    QString out = firstLine(prefix, time) + QStringLiteral(" - ") + description + QStringLiteral(" ") + close
        + QStringLiteral("<br>") + QStringLiteral("&nbsp;&nbsp;&nbsp;&nbsp;Data:");
    out.reserve(out.size() + n * 3 + 160);
    for (int i = 0; i < n; ++i) {
        out += QLatin1Char(' ');
        out += hexByteText(uint8_t(frame.at(i)));
        if (i == 4 && a == 1)
            out += close + fontTag("Blue");
        else if (i == 0)
            out += close + fontTag("DarkGreen");
        else if (i == a + 4)
            out += close + fontTag("Red");
        else if (i == n - 3)
            out += close + fontTag("Lime");
        else if (i == a + 5)
            out += close + fontTag("DimGray");
    }
    return out + close + QStringLiteral("<br>");
}

QString FrameDump::rawHtml(const QByteArray &bytes, const QString &prefix, const QTime &time)
{
    QString out = firstLine(prefix, time) + QStringLiteral("</font>") + QStringLiteral("<br>")
        + QStringLiteral("&nbsp;&nbsp;&nbsp;&nbsp;Data:");
    for (char byte : bytes)
        out += QLatin1Char(' ') + hexByteText(uint8_t(byte));
    return out + QStringLiteral("</font>") + QStringLiteral("<br>");
}
