#pragma once

#include <QDialog>
#include <QString>

#include "config/configdocument.h"

class FormFields;

namespace Ui {
class SleepConfigWindow;
}

// Editor of the "sleep" section of the reader's configuration document: when
// the reader sleeps, what wakes it, and what its NFC chip does meanwhile. The
// trigger lists, light sleep and the LPCD switch depend on the hardware
// generation (R5 is hardware version 12, everything else R4). Not modal.
//
// Contract with the window that opens it:
// - Construct it with the downloaded document text, connect
//   updateConfiguration, then show() it (exec() works as well).
// - OK emits updateConfiguration once with the whole document as it came,
//   byte for byte, except for the keys of "sleep" the user changed and those
//   that were missing; then it closes the dialog (accept()). Cancel closes it
//   (reject()) and emits nothing.
// - When the document has no usable "sleep" object (text that is not JSON,
//   the member missing, null or not an object) the constructor itself shows
//   the warning box, modal to `parent`, and returns with failed() true. The
//   caller should check failed() and delete such a dialog instead of showing
//   it. It never becomes visible anyway: show() leaves it hidden and closes it
//   with a queued reject() (finished()/rejected() follow as for a Cancel),
//   exec() returns QDialog::Rejected at once. Nothing is emitted.
// - A stored value a widget cannot show as it is (a trigger code the hardware
//   does not offer, a number out of range, a flag that is not 0 or 1) is
//   shown as near as it goes and kept unless the user changes that widget;
//   a note says so. A trigger the user sets to "Disabled" is written as such.
class SleepConfigWindow : public QDialog
{
    Q_OBJECT

public:
    SleepConfigWindow(QWidget *parent, const QByteArray &config);
    SleepConfigWindow(QWidget *parent, const QString &config);
    ~SleepConfigWindow() override;

    // True when the document could not be edited; see the contract above.
    bool failed() const { return m_failed; }

    void setVisible(bool visible) override;

signals:
    void updateConfiguration(QByteArray newconfig);

private slots:
    void on_btOk_clicked();
    void on_btCancel_clicked();
    void on_cbWakeUpTrigger1_currentIndexChanged(int index);
    void on_cbWakeUpTrigger2_currentIndexChanged(int index);
    void on_cbUseRfidLpcd_toggled(bool checked);

private:
    int triggerPosition(int code) const;
    int triggerCode(int position) const;
    int disabledPosition() const;
    void applyWarningRule();
    void applyLpcdRule(bool checked);
    ConfigDocument::Fields fields() const;

    Ui::SleepConfigWindow *ui;
    ConfigDocument m_document;
    FormFields *m_form = nullptr;
    int m_hardwareVersion = 0;
    bool m_r5 = false;
    bool m_failed = false;
};
