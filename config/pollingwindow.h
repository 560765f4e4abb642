#pragma once

#include <QByteArray>
#include <QDialog>
#include <QHash>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "config/configdocument.h"

class FormFields;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace Ui {
class pollingwindow;
}

// The RFID configuration dialog: edits the "rfid" section of the reader's
// configuration document (technologies, RF power, polling, antennas, tag
// memory read, the known/unknown tag events and the five key storage slots)
// and, on its third tab, reads, extends and writes the reader's known-tag
// list with the "Known list" command (0x18) while it is open.
//
// How the main window runs it:
//
//     pollingwindow dlg(this, configText);
//     connect(&dlg, &pollingwindow::updateConfiguration, this, &MainWindow::updateConfigSignal);
//     connect(&dlg, &pollingwindow::binaryFrameSend, this, &MainWindow::binaryProtocolSendSignal);
//     connect(&protocol, &BinaryProtocol::frameComplete, &dlg, &pollingwindow::binaryProtocolFrameComplete);
//     dlg.exec();
//     disconnect(&protocol, &BinaryProtocol::frameComplete, &dlg, &pollingwindow::binaryProtocolFrameComplete);
//
// - OK emits updateConfiguration once with the whole document as it came,
//   byte for byte, except for the "rfid" values the user changed and the
//   keys that were missing, and accepts the dialog; a key of the wrong length
//   (blanks not counted) keeps it open and emits nothing. Cancel rejects
//   without emitting.
// - A document without a usable "rfid" object (not JSON, missing, null, not
//   an object): the constructor itself shows the "Waring" box and returns
//   when the user has closed it; failed() is then true, the dialog never
//   appears on screen and rejects itself from the event loop, so exec()
//   returns QDialog::Rejected at once and show() ends hidden. Nothing is
//   emitted. A caller may also test failed() and skip running the dialog.
// - binaryFrameSend hands out a payload (command byte first) to be framed
//   and sent; the pointer is valid only during the emission.
//   binaryProtocolFrameComplete takes every accepted frame, with the same
//   arguments as BinaryProtocol::frameComplete; the bytes are only read.
//
// Stored choices without an item for this hardware (a list position beyond
// its list, a key type the table lacks, DESFire memory read on R5) leave the
// box unselected and OK writes the stored code back unchanged unless the user
// picks an item; a slot with an unknown key type keeps its stored key as
// well. Any other stored value a widget cannot show as it is (a pin or LED
// colour without an item, a number out of range, a text too long for its
// field, a key that is not hex digits) is kept unless the user changes that
// widget, and a note says so; OK still refuses a kept key of the wrong
// length. `DsAppId` shows the application ID as plain lower-case hex digits.
class pollingwindow : public QDialog
{
    Q_OBJECT
public:
    pollingwindow(QWidget *parent, const QByteArray &config);
    pollingwindow(QWidget *parent, const QString &config);
    ~pollingwindow() override;

    // True when the document had no usable "rfid" section (see above).
    bool failed() const { return m_failed; }

    // Two upper-case hex digits ("0A", "FF").
    static QString byte2hexstring(uint8_t value);
    // Text of a known-tag entry: "[" bracket byte "] " and the UID digits.
    static QString knownTagEntry(uint8_t bracket, const uint8_t *uid, size_t uidLen);
    // The bytes an entry stands for: the bracket byte followed by the UID.
    static QByteArray knownTagEntryBytes(const QString &entry);

signals:
    void updateConfiguration(QByteArray newconfig);
    void binaryFrameSend(uint8_t *buff, int len);

public slots:
    void binaryProtocolFrameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len);

private slots:
    void on_btOK_clicked();
    void on_btCancel_clicked();
    void on_cbMifareEn_stateChanged(int arg1);
    void on_cbIcodeEn_stateChanged(int arg1);
    void on_cbReadTagMemory_currentIndexChanged(int index);
    void on_cbDefinedAsyncPacket_currentIndexChanged(int index);
    void on_cbUndefinedAsyncPacket_currentIndexChanged(int index);
    void on_cbKeyType0_currentIndexChanged(int index);
    void on_cbKeyType1_currentIndexChanged(int index);
    void on_cbKeyType2_currentIndexChanged(int index);
    void on_cbKeyType3_currentIndexChanged(int index);
    void on_cbKeyType4_currentIndexChanged(int index);
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_btGetList_clicked();
    void on_btAdd_clicked();
    void on_btDelete_clicked();
    void on_btWrite2Device_clicked();

private:
    static constexpr int KeySlots = 5;

    struct EventWidgets
    {
        QComboBox *gpio;
        QComboBox *gpioAction;
        QComboBox *asyncPacket;
        QLineEdit *customText;
        QComboBox *led;
        QSpinBox *duration;
    };
    EventWidgets eventWidgets(bool defined) const;
    QComboBox *keyTypeBox(int slot) const;
    QLineEdit *keyEdit(int slot) const;

    void applyHardwareLists();
    QCheckBox *antenna(int n) const;
    void loadSection();
    void loadEvent(const QString &name, const EventWidgets &w);
    void appendEventFields(ConfigDocument::Fields &fields, const QString &name, const EventWidgets &w) const;
    ConfigDocument::Fields fields() const;
    // List positions: an out-of-list code leaves the box unselected and is
    // remembered, so that choice() gives it back until the user picks one.
    void setChoice(QComboBox *box, int code);
    int choice(const QComboBox *box) const;

    void applyMemoryReadRule(int value);
    void applyKeyLengthRule(int slot);
    void showFormatHelp();

    void sendPayload(QByteArray payload);
    void updateKnownTagCount();
    void writeNextKnownTag();

    std::unique_ptr<Ui::pollingwindow> ui;
    ConfigDocument m_document;
    FormFields *m_form = nullptr;
    int m_hardwareVersion = 0;
    QString m_gpioKey;
    bool m_failed = false;
    QHash<const QComboBox *, int> m_storedCodes;
    int m_writePosition = 0;
    // "Write to device" runs: only then do the reader's write
    // acknowledgements send entries, and only its last one says so.
    bool m_writing = false;
};
