#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

// Packs a catalogue command and the texts of its parameter fields into a
// request payload: the command code, then each argument by its type
// ("uint8".."uint32" least significant byte first, "hex" one byte per group,
// "text" as UTF-8 without terminator). An empty optional field adds nothing.
struct RequestBuildResult
{
    QByteArray payload;
    int failedArgument = -1; // index of the first field that is not valid, or -1
    bool ok() const { return failedArgument < 0; }
};

namespace RequestBuilder {
constexpr int MaxPayload = 255;
RequestBuildResult build(const QJsonObject &command, const QStringList &fieldTexts);
// The bytes a numeric type ("uint8".."uint32", lower case) packs, and the
// largest value its field takes; 0 for any other type.
int numberWidth(const QString &type);
qlonglong numberTop(const QString &type);
// What the field of a catalogue argument takes, for the user who typed
// something else: "Timeout: a number from 0 to 65000".
QString fieldRule(const QJsonObject &arg);
} // namespace RequestBuilder
