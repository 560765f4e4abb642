#include "console/requestbuilder.h"

#include <QJsonArray>

RequestBuildResult RequestBuilder::build(const QJsonObject &command, const QStringList &fieldTexts)
{
    RequestBuildResult result;
    result.payload.append(char(command.value(QStringLiteral("value")).toInt() & 0xFF));
    const QJsonArray args = command.value(QStringLiteral("args")).toArray();
    for (int i = 0; i < args.size(); ++i) {
        const QJsonObject arg = args.at(i).toObject();
        const QString type = arg.value(QStringLiteral("type")).toString().toLower();
        const bool optional = arg.value(QStringLiteral("optional")).toBool(false);
        const QString text = i < fieldTexts.size() ? fieldTexts.at(i) : QString();
        QByteArray bytes;
        bool failed = false;

        if (type == QLatin1String("text")) {
            failed = text.isEmpty() && !optional;
            bytes = text.toUtf8();
        } else if (const int width = numberWidth(type)) {
            // The field's own range: a value its validator only lets through
            // half-typed (16777216 in a uint24 field) is not cut to its low bytes.
            const qlonglong top = numberTop(type);
            bool parsed = false;
            qlonglong value = text.toLongLong(&parsed, 10);
            if (parsed && (value < 0 || value > top))
                parsed = false;
            failed = !parsed && !optional;
            if (!text.isEmpty() && parsed)
                for (int b = 0; b < width; ++b)
                    bytes.append(char((value >> (8 * b)) & 0xFF));
            else if (!text.isEmpty() && !parsed)
                failed = true;
        } else if (type == QLatin1String("hex")) {
            QStringList pieces = text.split(QLatin1Char(' '));
            if (pieces.size() == 1 && pieces.first().isEmpty())
                pieces.clear();
            failed = pieces.isEmpty() && !optional;
            for (const QString &piece : pieces)
                bytes.append(char(piece.toUInt(nullptr, 16) & 0xFF));
        }

        if (failed || result.payload.size() + bytes.size() > MaxPayload) {
            result.failedArgument = i;
            return result;
        }
        result.payload += bytes;
    }
    return result;
}

int RequestBuilder::numberWidth(const QString &type)
{
    if (type == QLatin1String("uint8"))
        return 1;
    if (type == QLatin1String("uint16"))
        return 2;
    if (type == QLatin1String("uint24"))
        return 3;
    return type == QLatin1String("uint32") ? 4 : 0;
}

qlonglong RequestBuilder::numberTop(const QString &type)
{
    static const qlonglong tops[] = {0, 255, 65000, 16777215, 2147483647};
    return tops[numberWidth(type)];
}

QString RequestBuilder::fieldRule(const QJsonObject &arg)
{
    const QString name = arg.value(QStringLiteral("name")).toString();
    const QString type = arg.value(QStringLiteral("type")).toString().toLower();
    QString rule;
    if (numberWidth(type))
        rule = QStringLiteral("a number from 0 to %1").arg(numberTop(type));
    else if (type == QLatin1String("hex"))
        rule = QStringLiteral("hexadecimal bytes, such as 0A 1B");
    else
        rule = QStringLiteral("text");
    if (!arg.value(QStringLiteral("optional")).toBool(false))
        rule += QStringLiteral(", required");
    return name + QStringLiteral(": ") + rule;
}
