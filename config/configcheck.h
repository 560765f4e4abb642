#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// What is checked before a configuration document goes to a reader, and
// what it would change there.
namespace ConfigCheck {

// Why text cannot be a reader's config.json (not one JSON object, with the
// line and column where reading it stopped); empty when it can be.
QString documentProblem(const QByteArray &text);

// The objects (sections, nested ones too) that current holds and text
// lacks, as paths ("communication/uart").
QStringList missingSections(const QByteArray &text, const QByteArray &current);

// One value that differs: its path, the text it has in the reader's
// document and in the new one ("(none)" where it is missing).
struct Change
{
    QString path;
    QString before;
    QString after;
};
QVector<Change> changes(const QByteArray &current, const QByteArray &text);
// The changes one a line ("path: before -> after"), at most maxLines of
// them and a line that says how many more; "no change" when there are none.
QString changesText(const QVector<Change> &changes, int maxLines = 30);

} // namespace ConfigCheck
