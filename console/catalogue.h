#pragma once

#include <QJsonArray>
#include <QString>
#include <cstdint>

// The "commands" of a command catalogue; empty when the file cannot be read.
// By default the catalogue the program carries (a resource of the core).
QJsonArray readCommandCatalogue(const QString &path = QStringLiteral(":/json/commands.json"));
// The name of the command with that code in the catalogue; "Unknown" when
// it has none.
QString commandNameIn(const QJsonArray &commands, uint32_t code);
