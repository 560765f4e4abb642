#include "config/configdocument.h"

#include <QJsonValue>
#include <cmath>
#include <limits>

QJsonObject ConfigDocument::parse(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

int ConfigDocument::hardwareVersion(const QJsonObject &root)
{
    return readInt(root, QStringLiteral("hardware_version"), 0);
}

int ConfigDocument::readInt(const QJsonObject &section, const QString &key, int defaultValue)
{
    const QJsonValue v = section.value(key);
    if (!v.isDouble())
        return defaultValue;
    const double d = v.toDouble();
    // Out-of-range or fractional numbers are reduced to an int without
    // undefined behaviour: NaN gives the default, the rest is clamped.
    if (std::isnan(d))
        return defaultValue;
    if (d >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (d <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(d);
}

bool ConfigDocument::readFlag(const QJsonObject &section, const QString &key)
{
    return readInt(section, key, 0) != 0;
}

QString ConfigDocument::readString(const QJsonObject &section, const QString &key, const QString &defaultValue)
{
    const QJsonValue v = section.value(key);
    return v.isString() ? v.toString() : defaultValue;
}

QString ConfigDocument::serialise(const QJsonObject &root)
{
    return QString::fromUtf8(QJsonDocument(root).toJson(QJsonDocument::Indented));
}

QString ConfigDocument::withSection(QJsonObject root, const QString &key, const QJsonObject &section)
{
    root.remove(key);
    root.insert(key, section);
    return serialise(root);
}
