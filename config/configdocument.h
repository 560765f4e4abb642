#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// The reader's configuration document ("config.json"): one JSON object with
// "hardware_version", "rfid", "communication" and "sleep". Dialogs read their
// section, overwrite only the keys they own and hand back the whole document;
// everything they do not know is carried over unchanged.
namespace ConfigDocument {

// Text that is not a JSON object gives an empty object.
QJsonObject parse(const QString &text);

// 12 is the R5 generation, every other value R4; 0 when missing or not a number.
int hardwareVersion(const QJsonObject &root);
constexpr int R5HardwareVersion = 12;
inline bool isR5(const QJsonObject &root)
{
    return hardwareVersion(root) == R5HardwareVersion;
}

// Values as the dialogs store them: flags and choices are integers (a JSON
// boolean is not a number and reads as the default), texts are strings.
int readInt(const QJsonObject &section, const QString &key, int defaultValue = 0);
bool readFlag(const QJsonObject &section, const QString &key);
QString readString(const QJsonObject &section, const QString &key, const QString &defaultValue = QString());

// The whole document with `section` stored under `key` of the top level,
// serialised as indented JSON (UTF-8).
QString withSection(QJsonObject root, const QString &key, const QJsonObject &section);
QString serialise(const QJsonObject &root);

} // namespace ConfigDocument
