#include "config/configdocument.h"

#include <cmath>
#include <limits>

namespace {

QString hexDigits(QString text)
{
    return text.remove(QLatin1Char(' ')).toUpper();
}

} // namespace

ConfigDocument::ConfigDocument(const QByteArray &text)
    : m_json(text)
{
    if (m_json.isValid() && m_json.type(0) != JsonText::Object)
        m_json = JsonText();
}

bool ConfigDocument::isObject(const QStringList &path) const
{
    const int node = m_json.find(path);
    return node >= 0 && m_json.type(node) == JsonText::Object;
}

QByteArray ConfigDocument::raw(const QStringList &path) const
{
    const int node = m_json.find(path);
    return node >= 0 ? m_json.raw(node) : QByteArray();
}

int ConfigDocument::hardwareVersion() const
{
    return readInt({QStringLiteral("hardware_version")}, 0);
}

int ConfigDocument::readInt(const QStringList &path, int defaultValue) const
{
    const int node = m_json.find(path);
    if (node < 0 || m_json.type(node) != JsonText::Number)
        return defaultValue;
    const double d = m_json.value(node).toDouble();
    if (std::isnan(d))
        return defaultValue;
    if (d >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (d <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(d);
}

bool ConfigDocument::readFlag(const QStringList &path) const
{
    return readInt(path, 0) != 0;
}

QString ConfigDocument::readString(const QStringList &path, const QString &defaultValue) const
{
    const int node = m_json.find(path);
    if (node < 0 || m_json.type(node) != JsonText::String)
        return defaultValue;
    return m_json.value(node).toString();
}

bool ConfigDocument::sameAsStored(const Field &field) const
{
    const int node = m_json.find(field.path);
    if (node < 0)
        return false;
    bool lossless = true;
    const QJsonValue stored = m_json.value(node, &lossless);
    if (!lossless || stored.type() != field.value.type())
        return false;
    if (field.hex && stored.isString())
        return hexDigits(stored.toString()) == hexDigits(field.value.toString());
    return stored == field.value;
}

ConfigDocument::Fields ConfigDocument::notShown(const Fields &shown) const
{
    Fields kept;
    for (const Field &field : shown)
        if (contains(field.path) && !sameAsStored(field))
            kept.append(field);
    return kept;
}

QByteArray ConfigDocument::edited(const Fields &loaded, const Fields &now) const
{
    JsonText out = m_json;
    for (int i = 0; i < now.size(); ++i) {
        const Field &field = now.at(i);
        const bool unchanged = i < loaded.size() && loaded.at(i).path == field.path && loaded.at(i).value == field.value
            && !field.modified;
        if (!unchanged || !contains(field.path))
            out.set(field.path, field.value);
    }
    return out.text();
}

QByteArray ConfigDocument::applyEdits(const QByteArray &base, const QByteArray &edited, const QByteArray &current)
{
    const JsonText from(base);
    const JsonText to(edited);
    JsonText out(current);
    if (!to.isValid() || !out.isValid() || to.type(0) != JsonText::Object || out.type(0) != JsonText::Object)
        return QByteArray();
    for (const QStringList &path : to.memberPaths()) {
        const int node = to.find(path);
        const int old = from.find(path);
        if (to.type(node) == JsonText::Object && old >= 0 && from.type(old) == JsonText::Object)
            continue; // its members are compared one by one
        if (old >= 0 && from.raw(old) == to.raw(node))
            continue;
        out.setText(path, to.raw(node));
    }
    return out.text();
}
