#pragma once

#include <QSettings>

// The one settings store of the program.
inline QSettings openSettings()
{
    return QSettings(QStringLiteral("Norwel_Ltd"), QStringLiteral("R4-client"));
}
