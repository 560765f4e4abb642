#include "console/versioninfo.h"

VersionInfo VersionInfo::parse(const QString &text)
{
    VersionInfo info;
    info.r5 = text.contains(QLatin1String("R5"));
    int i = 0;
    const auto number = [&](int &out) {
        const int start = i;
        qint64 v = 0;
        while (i < text.size() && text.at(i).isDigit() && text.at(i).unicode() < 128) {
            v = qMin<qint64>(v * 10 + (text.at(i).unicode() - '0'), 1000000);
            ++i;
        }
        out = int(v);
        return i > start;
    };
    int major = 0;
    int minor = 0;
    if (number(major) && i < text.size() && text.at(i) == QLatin1Char('.') && (++i, number(minor))) {
        info.valid = true;
        info.value = major * 1000 + minor;
    }
    return info;
}
