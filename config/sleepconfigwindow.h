#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QString>

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
// - OK emits updateConfiguration once with the whole document (only the known
//   keys of "sleep" rewritten, everything else carried over, indented JSON)
//   and then closes the dialog (accept()). Cancel closes it (reject()) and
//   emits nothing.
// - When the document has no usable "sleep" object (text that is not JSON,
//   the member missing, null or not an object) the constructor itself shows
//   the warning box, modal to `parent`, and returns with failed() true. The
//   caller should check failed() and delete such a dialog instead of showing
//   it. It never becomes visible anyway: show() leaves it hidden and closes it
//   with a queued reject() (finished()/rejected() follow as for a Cancel),
//   exec() returns QDialog::Rejected at once. Nothing is emitted.
// - A trigger code the hardware does not offer (too large or negative) is
//   shown as "Disabled" and written as "Disabled" on OK.
class SleepConfigWindow : public QDialog
{
    Q_OBJECT

public:
    SleepConfigWindow(QWidget *parent, const QString &config);
    ~SleepConfigWindow() override;

    // True when the document could not be edited; see the contract above.
    bool failed() const { return m_failed; }

    void setVisible(bool visible) override;

signals:
    void updateConfiguration(QString newconfig);

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

    Ui::SleepConfigWindow *ui;
    QString m_text;
    QJsonObject m_document;
    int m_hardwareVersion = 0;
    bool m_r5 = false;
    bool m_failed = false;
};
