// HexValidator's validate and fixup on any text and any cursor position in it.
//
// Input: a mode byte (bit 0: the rest is UTF-16, else UTF-8), the cursor
// position (16 bits, modulo the text's length + 1), then the text. Whatever
// comes in, the result must be the canonical form: upper-case digit pairs
// separated by one blank, holding every hexadecimal digit of the input in
// order, with the cursor inside the text and never just in front of a
// blank; both functions must agree, and the canonical form must come back
// unchanged, cursor and all.

#include <QString>

#include "console/hexvalidator.h"
#include "fuzzsupport.h"

namespace {

bool isHexDigit(QChar c)
{
    const ushort u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

QString digitsOf(const QString &text)
{
    QString out;
    for (const QChar c : text)
        if (isHexDigit(c))
            out += c.toUpper();
    return out;
}

void checkCanonical(const QString &original, const QString &text)
{
    const QString detail = QStringLiteral("\"%1\" became \"%2\"").arg(original, text);
    QString expected;
    const QString digits = digitsOf(original);
    for (int i = 0; i < digits.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            expected += QLatin1Char(' ');
        expected += digits.at(i);
    }
    FUZZ_CHECK(text == expected, detail + QStringLiteral(", expected \"") + expected + QLatin1Char('"'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initCore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    const uint16_t cursorWord = in.word();
    const QByteArray bytes = in.rest();
    const QString original = (mode & 1) ? QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2)
                                        : QString::fromUtf8(bytes);
    // A line edit's cursor is always inside its text.
    const int pos = int(cursorWord % uint16_t(qMin(original.size() + 1, 65535)));

    HexValidator validator;

    QString fixed = original;
    validator.fixup(fixed);
    checkCanonical(original, fixed);

    QString validated = original;
    int cursor = pos;
    const QValidator::State state = validator.validate(validated, cursor);
    FUZZ_CHECK(state == QValidator::Acceptable, QStringLiteral("state %1").arg(int(state)));
    FUZZ_CHECK(validated == fixed, QStringLiteral("validate gave \"%1\", fixup \"%2\"").arg(validated, fixed));
    const QString where
        = QStringLiteral("cursor %1 -> %2 in \"%3\" (from \"%4\")").arg(pos).arg(cursor).arg(validated, original);
    FUZZ_CHECK(cursor >= 0 && cursor <= validated.size(), where);
    FUZZ_CHECK(cursor == validated.size() || validated.at(cursor) != QLatin1Char(' '), where);

    // The canonical form is left as it is, wherever the cursor stands in it.
    QString again = validated;
    validator.fixup(again);
    FUZZ_CHECK(again == validated, QStringLiteral("\"%1\" became \"%2\"").arg(validated, again));
    int cursorAgain = cursor;
    QString revalidated = validated;
    validator.validate(revalidated, cursorAgain);
    FUZZ_CHECK(revalidated == validated, QStringLiteral("\"%1\" became \"%2\"").arg(validated, revalidated));
    FUZZ_CHECK(cursorAgain == cursor,
               QStringLiteral("cursor %1 moved to %2 in \"%3\"").arg(cursor).arg(cursorAgain).arg(validated));
    return 0;
}
