#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QtDebug>

// The workbook tests' independent reader and fixture maker: tests/xlsx_check.py
// run by /usr/bin/python3 with openpyxl (its usage lists the commands).

inline QString checkerScript()
{
    return qEnvironmentVariable("RX_TEST_SOURCE_DIR") + QStringLiteral("/tests/xlsx_check.py");
}

// Runs the checker; false (with its complaint logged) when it fails.
inline bool python(const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), QStringList {checkerScript()} + args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning().noquote() << "xlsx_check.py" << args.join(' ') << "failed:" << p.readAllStandardError();
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return true;
}

inline QJsonObject jsonFrom(const QStringList &args)
{
    QByteArray out;
    return python(args, &out) ? QJsonDocument::fromJson(out).object() : QJsonObject();
}

// What openpyxl sees: sheets, active sheet, last row per sheet, cells per sheet.
inline QJsonObject dumpOf(const QString &path)
{
    return jsonFrom({QStringLiteral("dump"), path});
}

// A fixture workbook of the kind at path.
inline bool makeFixture(const QString &kind, const QString &path)
{
    return python({QStringLiteral("make"), kind, path});
}

inline QJsonObject cell(const QJsonObject &dump, const QString &sheet, const QString &ref)
{
    return dump.value(QStringLiteral("cells")).toObject().value(sheet).toObject().value(ref).toObject();
}

inline QString cellValue(const QJsonObject &dump, const QString &sheet, const QString &ref)
{
    return cell(dump, sheet, ref).value(QStringLiteral("value")).toVariant().toString();
}

inline bool isDate(const QJsonObject &dump, const QString &sheet, const QString &ref)
{
    return cell(dump, sheet, ref).value(QStringLiteral("is_date")).toBool();
}

inline int lastRow(const QJsonObject &dump, const QString &sheet)
{
    return dump.value(QStringLiteral("last_row")).toObject().value(sheet).toInt();
}

// How many cells a sheet holds (in a row, with row > 0).
inline int cellCount(const QJsonObject &dump, const QString &sheet, int row = 0)
{
    const QJsonObject cells = dump.value(QStringLiteral("cells")).toObject().value(sheet).toObject();
    int n = 0;
    for (auto it = cells.begin(); it != cells.end(); ++it)
        n += row == 0 || it.key().mid(it.key().indexOf(QRegularExpression(QStringLiteral("\\d")))).toInt() == row;
    return n;
}

inline QStringList sheetsOf(const QJsonObject &dump)
{
    QStringList names;
    for (const QJsonValue &name : dump.value(QStringLiteral("sheets")).toArray())
        names << name.toString();
    return names;
}
