#include "common/readertext.h"

#include "common/utf8.h"

namespace {

bool breaksTheLine(QChar c)
{
    switch (c.category()) {
    case QChar::Other_Control:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        break;
    }
    const ushort u = c.unicode();
    return (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

} // namespace

QString oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        if (breaksTheLine(c))
            c = QLatin1Char(' ');
    }
    return line;
}

QString utf8OrLatin1(const QByteArray &bytes)
{
    const Utf8::Decoded utf8 = Utf8::decode(bytes.constData(), bytes.size(), true);
    if (utf8.clean())
        return utf8.text;
    return QString::fromLatin1(bytes);
}
