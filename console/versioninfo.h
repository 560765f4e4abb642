#pragma once

#include <QString>

// The reader's version text, "major.minor..." (for example 2.38 or
// "1.15-R5"), reduced to the number the client acts on: major * 1000 + minor.
// A text that does not start with major.minor has no number (valid false,
// value 0); whether it names an R5 is read all the same.
struct VersionInfo
{
    bool valid = false;
    int value = 0;
    bool r5 = false;

    static VersionInfo parse(const QString &text);
    // The reader can stream its log lines (asked for with "CMD_LOG" 1).
    bool supportsDeviceLog() const { return valid && (value >= 2038 || (r5 && value >= 1015)); }
    bool showsRfidConfiguration() const { return r5 || (valid && value > 2034); }
};
