#pragma once

#include <QDialog>
#include <QString>

#include "config/configdocument.h"

class FormFields;

class QComboBox;

namespace Ui {
class UartConfigWindow;
}

// Editor of "communication" -> "uart" in the reader's configuration document:
// protocol and speed of USB/UART0 and UART2, the RS485 address, the two
// pass-through Wi-Fi frames and the HID keyboard ENTER option. Not modal.
//
// Contract with the window that opens it:
// - Construct it with the downloaded document text, connect
//   updateConfiguration, then show() it (exec() works as well).
// - OK emits updateConfiguration once with the whole document as it came,
//   byte for byte, except for the keys of "uart" the user changed and those
//   that were missing; then it closes the dialog (accept()). Cancel closes it
//   (reject()) and emits nothing.
// - A stored value a field cannot show as it is (a frame that is not hex
//   digits, a number out of range) is kept, and a note says so.
// - When the document has no usable "communication" object (text that is not
//   JSON, the member missing, null or not an object) the constructor itself
//   shows the warning box, modal to `parent`, and returns with failed() true.
//   The caller should check failed() and delete such a dialog instead of
//   showing it. It never becomes visible anyway: show() leaves it hidden and
//   closes it with a queued reject() (finished()/rejected() follow as for a
//   Cancel), exec() returns QDialog::Rejected at once. Nothing is emitted.
// - A stored protocol code without an item for this hardware, or a speed
//   outside the list, is offered as an extra last item "Unknown (N)" and is
//   selected; OK writes N back unchanged unless the user picks another item.
//   Such an item counts as none of the named protocols for the visibility
//   and OK rules.
class UartConfigWindow : public QDialog
{
    Q_OBJECT

public:
    UartConfigWindow(QWidget *parent, const QByteArray &config);
    UartConfigWindow(QWidget *parent, const QString &config);
    ~UartConfigWindow() override;

    // True when the document could not be edited; see the contract above.
    bool failed() const { return m_failed; }

    void setVisible(bool visible) override;

signals:
    void updateConfiguration(QByteArray newconfig);

private slots:
    void on_cbUsbProto_currentIndexChanged(int index);
    void on_cbUart2Proto_currentIndexChanged(int index);
    void on_btOk_clicked();
    void on_pushButton_2_clicked();

private:
    void fillProtocols(bool r5);
    void applyVisibility();
    ConfigDocument::Fields fields() const;

    Ui::UartConfigWindow *ui;
    ConfigDocument m_document;
    FormFields *m_form = nullptr;
    bool m_failed = false;
};
