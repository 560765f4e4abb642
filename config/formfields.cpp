#include "config/formfields.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

namespace {

// Lines of the note, at most; the rest is counted.
constexpr int kNoteLines = 12;

} // namespace

FormFields::FormFields(QDialog *dialog, const ConfigDocument &document, std::function<ConfigDocument::Fields()> read)
    : QObject(dialog)
    , m_document(document)
    , m_read(std::move(read))
{
    showKept(dialog, m_document.notShown(m_read()));
    m_loaded = m_read();
    for (const ConfigDocument::Field &field : qAsConst(m_loaded))
        if (field.widget)
            watch(field.widget);
}

ConfigDocument::Field FormFields::lineField(const QStringList &path, QLineEdit *edit, bool hex)
{
    QString text = edit->text();
    if (hex)
        text.remove(QLatin1Char(' '));
    return {path, QJsonValue(text), edit, hex};
}

// Signals of the user's own changes; for a spin box its value changing,
// since nothing but the user sets one once the form is filled.
void FormFields::watch(QWidget *widget)
{
    auto touch = [this, widget] { m_touched.insert(widget); };
    if (auto *box = qobject_cast<QComboBox *>(widget))
        connect(box, QOverload<int>::of(&QComboBox::activated), this, touch);
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        connect(button, &QAbstractButton::clicked, this, touch);
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        connect(edit, &QLineEdit::textEdited, this, touch);
    else if (auto *spin = qobject_cast<QSpinBox *>(widget))
        connect(spin, QOverload<int>::of(&QSpinBox::valueChanged), this, touch);
}

ConfigDocument::Fields FormFields::current() const
{
    ConfigDocument::Fields fields = m_read();
    for (ConfigDocument::Field &field : fields)
        field.modified = m_touched.contains(field.widget);
    return fields;
}

QByteArray FormFields::edited() const
{
    return m_document.edited(m_loaded, current());
}

bool FormFields::writes(const QWidget *widget) const
{
    const ConfigDocument::Fields now = current();
    for (int i = 0; i < now.size(); ++i)
        if (now.at(i).widget == widget)
            return now.at(i).modified || now.at(i).value != m_loaded.value(i).value
                || !m_document.contains(now.at(i).path);
    return true;
}

void FormFields::showKept(QDialog *dialog, const ConfigDocument::Fields &kept)
{
    if (kept.isEmpty())
        return;
    QStringList lines;
    for (const ConfigDocument::Field &field : kept) {
        QString stored = QString::fromUtf8(m_document.raw(field.path));
        if (stored.size() > 60)
            stored = stored.left(57) + QStringLiteral("...");
        if (lines.size() < kNoteLines)
            lines << QStringLiteral("\"%1\": %2").arg(field.path.join(QStringLiteral("\" / \"")), stored);
        if (!field.widget)
            continue;
        field.widget->setToolTip(QStringLiteral("Kept as stored until you change it: %1").arg(stored));
        if (auto *edit = qobject_cast<QLineEdit *>(field.widget)) {
            edit->clear();
            edit->setPlaceholderText(QStringLiteral("kept as stored: %1").arg(stored));
        }
    }
    if (kept.size() > kNoteLines)
        lines << QStringLiteral("and %1 more").arg(kept.size() - kNoteLines);
    auto *note = new QLabel(dialog);
    note->setObjectName(QStringLiteral("labKeptValues"));
    note->setStyleSheet(QStringLiteral("color: rgb(170, 0, 0);"));
    note->setWordWrap(true);
    note->setTextFormat(Qt::PlainText);
    note->setText(QStringLiteral("These stored values cannot be shown as they are; they are kept unless you "
                                 "change them:\n")
                  + lines.join(QLatin1Char('\n')));
    if (auto *layout = qobject_cast<QBoxLayout *>(dialog->layout()))
        layout->insertWidget(layout->count() - 1, note);
}
