#include "config/configcheck.h"

#include <QSet>

#include "config/jsontext.h"

namespace ConfigCheck {

namespace {

QString pathText(const QStringList &path)
{
    return path.join(QLatin1Char('/'));
}

// A value as the user reads it: its JSON text, shortened when long.
QString valueText(const JsonText &json, int node)
{
    if (node < 0)
        return QStringLiteral("(none)");
    QString text = QString::fromUtf8(json.raw(node)).simplified();
    if (text.size() > 60)
        text = text.left(57) + QStringLiteral("...");
    return text;
}

} // namespace

QString documentProblem(const QByteArray &text)
{
    const JsonText json(text);
    if (!json.isValid()) {
        const int at = json.errorOffset();
        const QByteArray before = text.left(at);
        const int line = before.count('\n') + 1;
        const int column = at - (before.lastIndexOf('\n') + 1) + 1;
        return QStringLiteral("it is not valid JSON: reading stops at line %1, column %2").arg(line).arg(column);
    }
    if (json.type(0) != JsonText::Object)
        return QStringLiteral("it is valid JSON but not one JSON object");
    return QString();
}

QStringList missingSections(const QByteArray &text, const QByteArray &current)
{
    const JsonText json(text);
    const JsonText reader(current);
    QStringList missing;
    for (const QStringList &path : reader.memberPaths()) {
        if (reader.type(reader.find(path)) != JsonText::Object)
            continue;
        const int node = json.find(path);
        if (node < 0 || json.type(node) != JsonText::Object)
            missing << pathText(path);
    }
    return missing;
}

QVector<Change> changes(const QByteArray &current, const QByteArray &text)
{
    const JsonText from(current);
    const JsonText to(text);
    QVector<Change> out;
    QSet<QString> seen;
    const auto compare = [&](const QStringList &path) {
        const QString name = pathText(path);
        if (seen.contains(name))
            return;
        seen.insert(name);
        const int a = from.find(path);
        const int b = to.find(path);
        // Objects on both sides are compared member by member.
        if (a >= 0 && b >= 0 && from.type(a) == JsonText::Object && to.type(b) == JsonText::Object)
            return;
        if (a >= 0 && b >= 0 && from.raw(a) == to.raw(b))
            return;
        out.append({name, valueText(from, a), valueText(to, b)});
    };
    for (const QStringList &path : from.memberPaths())
        compare(path);
    for (const QStringList &path : to.memberPaths())
        compare(path);
    return out;
}

QString changesText(const QVector<Change> &changes, int maxLines)
{
    if (changes.isEmpty())
        return QStringLiteral("no change");
    QStringList lines;
    for (int i = 0; i < changes.size() && i < maxLines; ++i)
        lines << changes[i].path + QStringLiteral(": ") + changes[i].before + QStringLiteral(" -> ") + changes[i].after;
    if (changes.size() > maxLines)
        lines << QStringLiteral("... and %1 more").arg(changes.size() - maxLines);
    return lines.join(QLatin1Char('\n'));
}

} // namespace ConfigCheck
