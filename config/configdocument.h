#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

#include "config/jsontext.h"

class QWidget;

// The reader's configuration document ("config.json"): one JSON object with
// "hardware_version", "rfid", "communication" and "sleep", kept as the text
// it came as. A dialog reads the keys it owns by their path, and OK hands
// back that same text with only the values the user changed (and the keys
// that were missing) written in: everything else, up to the last byte,
// goes back to the reader as it came.
class ConfigDocument
{
public:
    // Text that is not a JSON object reads as an empty document.
    explicit ConfigDocument(const QByteArray &text = QByteArray());

    bool isObject(const QStringList &path = QStringList()) const;
    bool contains(const QStringList &path) const { return m_json.find(path) >= 0; }
    // The stored text of a value; empty when it is missing.
    QByteArray raw(const QStringList &path) const;

    // 12 is the R5 generation, every other value R4; 0 when missing or not a number.
    int hardwareVersion() const;
    static constexpr int R5HardwareVersion = 12;
    bool isR5() const { return hardwareVersion() == R5HardwareVersion; }

    // Values as the dialogs store them: flags and choices are integers (a
    // JSON boolean is not a number and reads as the default), texts are
    // strings. Numbers outside the int range are clamped, fractions cut.
    int readInt(const QStringList &path, int defaultValue = 0) const;
    bool readFlag(const QStringList &path) const;
    QString readString(const QStringList &path, const QString &defaultValue = QString()) const;

    // One value a dialog's OK writes: where, what, and the widget it comes
    // from. Hex texts compare without their blanks and case. `modified` marks
    // a field the user typed into, even if it ends as it began.
    struct Field
    {
        QStringList path;
        QJsonValue value;
        QWidget *widget = nullptr;
        bool hex = false;
        bool modified = false;
    };
    using Fields = QVector<Field>;

    // The fields, as the dialog shows them right after loading, whose stored
    // value is not what they show (too long, out of range, not a number,
    // not valid text...). Missing keys are not among them.
    Fields notShown(const Fields &shown) const;
    // The document after OK: `now` is what the form holds, `loaded` what it
    // held after loading. A field is written when its key is missing or the
    // user changed it; every other stored value stays as it was.
    QByteArray edited(const Fields &loaded, const Fields &now) const;

    // The edits that turned base into edited, made on current instead: every
    // member whose text edited changed or added is written into current,
    // which keeps everything else as it stands. Empty when edited or
    // current is not a JSON object.
    static QByteArray applyEdits(const QByteArray &base, const QByteArray &edited, const QByteArray &current);

private:
    bool sameAsStored(const Field &field) const;

    JsonText m_json;
};
