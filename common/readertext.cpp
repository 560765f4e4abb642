#include "common/readertext.h"

#include <QTextCodec>

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
    QTextCodec::ConverterState state(QTextCodec::ConvertInvalidToNull);
    const QString text = QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return text;
    return QString::fromLatin1(bytes);
}
