#include "console/hexvalidator.h"

HexValidator::HexValidator(QObject *parent)
    : QValidator(parent)
{ }

void HexValidator::fixup(QString &input) const
{
    QString out;
    out.reserve(input.size() + input.size() / 2);
    int digits = 0;
    for (const QChar ch : input) {
        const ushort u = ch.unicode();
        const bool hex = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
        if (!hex)
            continue;
        if (digits > 0 && digits % 2 == 0)
            out += QLatin1Char(' ');
        out += ch.toUpper();
        ++digits;
    }
    input = out;
}

QValidator::State HexValidator::validate(QString &input, int &pos) const
{
    if (input.isEmpty())
        return Acceptable;
    const int left = qBound(0, pos, input.size());
    int k = left;
    for (int i = 0; i < left; ++i)
        if (input.at(i) == QLatin1Char(' '))
            --k;
    fixup(input);
    int newPos = 0;
    if (k > 0) {
        int seen = 0;
        newPos = input.size();
        for (int i = 0; i < input.size(); ++i) {
            if (input.at(i) != QLatin1Char(' ') && ++seen == k) {
                newPos = i + 1;
                break;
            }
        }
    }
    if (newPos < input.size() && input.at(newPos) == QLatin1Char(' '))
        ++newPos;
    pos = newPos;
    return Acceptable;
}
