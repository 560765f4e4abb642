#pragma once

#include <QJsonArray>
#include <QString>

// The "commands" of a command catalogue; empty when the file cannot be read.
// By default the catalogue the program carries (its resources must have been
// initialised).
QJsonArray readCommandCatalogue(const QString &path = QStringLiteral(":/json/commands.json"));
