#pragma once

#include <QObject>
#include <QSet>
#include <functional>

#include "config/configdocument.h"

class QDialog;
class QLineEdit;

// A configuration dialog's form held against the document it was filled
// from. Made once the widgets show the stored values, it
// - tells the user about stored values the form cannot show as they are: a
//   text field is emptied and shows the stored value as its placeholder (its
//   shown form would be another value), each widget says so in its tool tip,
//   and a note above the dialog's buttons (labKeptValues) lists them;
// - remembers what the form showed, and follows which widgets the user
//   changes (picks an item, clicks, types, steps);
// - gives the document OK hands back: a field is written when the user
//   changed it or its key was missing, every other stored value stays.
class FormFields : public QObject
{
public:
    // `read` gives the fields as OK writes them, from the widgets.
    FormFields(QDialog *dialog, const ConfigDocument &document, std::function<ConfigDocument::Fields()> read);

    // The document with the changed fields written in.
    QByteArray edited() const;
    // Whether OK writes the field of `widget` (rather than keep the stored
    // value).
    bool writes(const QWidget *widget) const;

    // The field of a line edit: its text, without blanks for a hex field.
    static ConfigDocument::Field lineField(const QStringList &path, QLineEdit *edit, bool hex = false);

private:
    ConfigDocument::Fields current() const;
    void showKept(QDialog *dialog, const ConfigDocument::Fields &kept);
    void watch(QWidget *widget);

    const ConfigDocument m_document;
    std::function<ConfigDocument::Fields()> m_read;
    ConfigDocument::Fields m_loaded;
    QSet<const QWidget *> m_touched;
};
