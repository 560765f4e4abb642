#include "config/pollingwindow.h"
#include "ui_pollingwindow.h"

#include "config/configdocument.h"
#include "config/rfidtables.h"
#include "console/hexvalidator.h"

#include <QCoreApplication>
#include <QJsonValue>
#include <QListWidgetItem>
#include <QMessageBox>
#include <QTimer>

namespace {

const QString kSection = QStringLiteral("rfid");
const QString kKnownTag = QStringLiteral("known_tag");
const QString kUnknownTag = QStringLiteral("unknown_tag");

// "Known list" command and its sub-commands.
constexpr uint8_t kCmdKnownList = 0x18;
constexpr uint8_t kKnownListStartRead = 0x00;
constexpr uint8_t kKnownListReadNext = 0x01;
constexpr uint8_t kKnownListStartWrite = 0x02;
constexpr uint8_t kKnownListWriteEntry = 0x03;
constexpr uint8_t kCmdGetTagCount = 0x02;
constexpr uint8_t kCmdGetUid = 0x03;
constexpr uint8_t kStatusOk = 0x00;

const char *const kFormatHelp = "%u -\ttag UID\n"
                                "%a - \tantenna index\n"
                                "%m - \tmemory content (only if reading memory is setup correctly)\n"
                                "%i - \tidx msg/tag counter since restart\n"
                                "%t - \ttimestamp in milliseconds\n"
                                "<CR> - \tCarriage return\n"
                                "<LF> - \tLine feed";

QString keyName(int slot)
{
    return QStringLiteral("key%1").arg(slot);
}
QString keyTypeName(int slot)
{
    return QStringLiteral("keyType%1").arg(slot);
}

} // namespace

pollingwindow::pollingwindow(QWidget *parent, const QString &config)
    : QDialog(parent)
    , ui(new Ui::pollingwindow)
    , m_config(config)
{
    ui->setupUi(this);
    ui->teDefinedCustomText->setEnabled(false);
    ui->teUndefinedCustomText->setEnabled(false);
    for (int slot = 0; slot < KeySlots; ++slot) {
        keyEdit(slot)->setValidator(new HexValidator(this));
        connect(keyEdit(slot), &QLineEdit::textEdited, this, [this, slot] { m_keyNotShown[slot] = false; });
    }
    ui->DsAppId->setValidator(new HexValidator(this));

    m_document = ConfigDocument::parse(config);
    const QJsonValue section = m_document.value(kSection);
    m_hardwareVersion = ConfigDocument::hardwareVersion(m_document);

    applyHardwareLists();

    if (!section.isObject()) {
        QMessageBox::warning(
            this, QStringLiteral("Waring"),
            QStringLiteral("Something went wrong. Please check if you have latest firmware in the device"));
        // The dialog is never to be seen: whether the caller shows or execs
        // it, the queued reject closes it (and ends exec) straight away.
        m_failed = true;
        setAttribute(Qt::WA_DontShowOnScreen);
        QTimer::singleShot(0, this, &QDialog::reject);
        for (int slot = 0; slot < KeySlots; ++slot)
            applyKeyLengthRule(slot);
        return;
    }

    loadSection(section.toObject());
    for (int slot = 0; slot < KeySlots; ++slot)
        applyKeyLengthRule(slot);
}

pollingwindow::~pollingwindow() = default;

pollingwindow::EventWidgets pollingwindow::eventWidgets(bool defined) const
{
    if (defined)
        return {ui->cbDefinedGpio,       ui->cbDefinedGpioAction, ui->cbDefinedAsyncPacket,
                ui->teDefinedCustomText, ui->cbDefinedLed,        ui->sbDefinedDuration};
    return {ui->cbUndefinedGpio,       ui->cbUndefinedGpioAction, ui->cbUndefinedAsyncPacket,
            ui->teUndefinedCustomText, ui->cbUndefinedLed,        ui->sbUndefinedDuration};
}

QComboBox *pollingwindow::keyTypeBox(int slot) const
{
    QComboBox *const boxes[KeySlots] = {ui->cbKeyType0, ui->cbKeyType1, ui->cbKeyType2, ui->cbKeyType3, ui->cbKeyType4};
    return boxes[slot];
}

QLineEdit *pollingwindow::keyEdit(int slot) const
{
    QLineEdit *const edits[KeySlots] = {ui->edKey0, ui->edKey1, ui->edKey2, ui->edKey3, ui->edKey4};
    return edits[slot];
}

void pollingwindow::applyHardwareLists()
{
    const RfidTables::HardwareLists lists = RfidTables::hardwareLists(m_hardwareVersion);
    for (bool defined : {true, false}) {
        const EventWidgets w = eventWidgets(defined);
        w.gpio->clear();
        w.gpio->addItems(lists.gpioItems);
        w.led->clear();
        w.led->addItems(lists.ledItems);
    }
    QCheckBox *const antennas[] = {ui->cbAnt1, ui->cbAnt2, ui->cbAnt3, ui->cbAnt4,          ui->cbAnt5,
                                   ui->cbAnt6, ui->cbAnt7, ui->cbAnt8, ui->cbKnownTagsOnAll};
    for (QCheckBox *box : antennas)
        box->setEnabled(lists.antennasEnabled);
    m_gpioKey = lists.gpioKey;
    if (lists.r5) {
        const int desfire = ui->cbReadTagMemory->findText(QStringLiteral("Mifare Desfire"));
        if (desfire >= 0)
            ui->cbReadTagMemory->removeItem(desfire);
        ui->WidgetRfidPower->hide();
    }
}

void pollingwindow::setChoice(QComboBox *box, int code)
{
    if (code >= 0 && code < box->count()) {
        box->setCurrentIndex(code);
        m_storedCodes.remove(box);
    } else {
        m_storedCodes.insert(box, code);
        box->setCurrentIndex(-1);
    }
}

int pollingwindow::choice(const QComboBox *box) const
{
    const int index = box->currentIndex();
    return index >= 0 ? index : m_storedCodes.value(box, 0);
}

void pollingwindow::loadSection(const QJsonObject &rfid)
{
    using ConfigDocument::readInt;

    const int tech = readInt(rfid, QStringLiteral("tech_support"));
    ui->cbMifareEn->setChecked(tech & 0x01);
    ui->cbIcodeEn->setChecked(tech & 0x10);
    setChoice(ui->cbRfidPower, readInt(rfid, QStringLiteral("rfid_power")));
    ui->cbPollingEn->setChecked(readInt(rfid, QStringLiteral("polling_enabled")) == 1);
    ui->sbPollingTimeout->setValue(readInt(rfid, QStringLiteral("polling_timeout")));
    ui->sbIgnoreLast->setValue(readInt(rfid, QStringLiteral("ignore_timeout")));
    const int antennaBits = readInt(rfid, QStringLiteral("selected_antennas"));
    QCheckBox *const antennas[]
        = {ui->cbAnt1, ui->cbAnt2, ui->cbAnt3, ui->cbAnt4, ui->cbAnt5, ui->cbAnt6, ui->cbAnt7, ui->cbAnt8};
    for (int n = 0; n < 8; ++n)
        antennas[n]->setChecked(antennaBits & (1 << n));
    ui->cbKnownTagsOnAll->setChecked(readInt(rfid, QStringLiteral("check_all_ant")) == 1);

    const int memory = readInt(rfid, QStringLiteral("read_memory_en"));
    setChoice(ui->cbReadTagMemory, memory);
    applyMemoryReadRule(memory);
    ui->sbReadBlockNo->setValue(readInt(rfid, QStringLiteral("read_memory_no")));
    ui->sbReadBlockCount->setValue(readInt(rfid, QStringLiteral("read_memory_count")));
    setChoice(ui->cbMifareKey, readInt(rfid, QStringLiteral("read_memory_keyab")));
    ui->sbKeyNo->setValue(readInt(rfid, QStringLiteral("read_memory_keyno")));
    ui->DsAppId->setText(QString::number(qMax(0, readInt(rfid, QStringLiteral("read_df_app_id"))), 16));
    ui->DsReaderAuthKey->setValue(readInt(rfid, QStringLiteral("read_df_reader_key")));
    ui->DsCardAuthKey->setValue(readInt(rfid, QStringLiteral("read_df_card_key")));
    setChoice(ui->DsAuthType, readInt(rfid, QStringLiteral("read_df_auth_type")));
    setChoice(ui->DsCommType, readInt(rfid, QStringLiteral("read_df_comm_mode")));
    ui->DsFileId->setValue(readInt(rfid, QStringLiteral("read_df_file_id")));
    ui->DsFileOffset->setValue(readInt(rfid, QStringLiteral("read_df_file_offset")));
    ui->DsNumberOfBytes->setValue(readInt(rfid, QStringLiteral("read_df_file_len")));

    loadEvent(rfid.value(kKnownTag).toObject(), eventWidgets(true));
    loadEvent(rfid.value(kUnknownTag).toObject(), eventWidgets(false));

    for (int slot = 0; slot < KeySlots; ++slot) {
        const int type = readInt(rfid, keyTypeName(slot));
        setChoice(keyTypeBox(slot), type);
        applyKeyLengthRule(slot);
        m_storedKeys[slot] = ConfigDocument::readString(rfid, keyName(slot));
        QLineEdit *edit = keyEdit(slot);
        edit->setText(m_storedKeys[slot]);
        edit->setCursorPosition(0);
        // The validator and the length limit rewrite what they are given: a
        // stored key with other characters or too long for its type would
        // turn into a different key, possibly of the right length.
        m_keyNotShown[slot] = keyTypeBox(slot)->currentIndex() >= 0
            && edit->text().remove(QLatin1Char(' ')).compare(m_storedKeys[slot], Qt::CaseInsensitive) != 0;
    }
}

void pollingwindow::loadEvent(const QJsonObject &event, const EventWidgets &w)
{
    using ConfigDocument::readInt;

    // Pin and colour are sought by their item text; without a matching item
    // the first item stays current. With no list at all the stored value is
    // kept for OK.
    const int pin = readInt(event, m_gpioKey, RfidTables::NoGpio);
    if (w.gpio->count() == 0)
        m_storedCodes.insert(w.gpio, pin);
    w.gpio->setCurrentIndex(qMax(0, w.gpio->findText(RfidTables::gpioText(pin))));

    const int led = readInt(event, QStringLiteral("led_color"));
    const QString ledText = RfidTables::ledText(led);
    if (w.led->count() == 0)
        m_storedCodes.insert(w.led, led);
    w.led->setCurrentIndex(ledText.isEmpty() ? 0 : qMax(0, w.led->findText(ledText)));

    setChoice(w.gpioAction, readInt(event, QStringLiteral("gpio_level")));
    setChoice(w.asyncPacket, readInt(event, QStringLiteral("message")));
    w.customText->setText(ConfigDocument::readString(event, QStringLiteral("message_format")));
    w.customText->setEnabled(w.asyncPacket->currentIndex() == 4);
    w.duration->setValue(readInt(event, QStringLiteral("timeout")));
}

QJsonObject pollingwindow::writtenEvent(QJsonObject event, const EventWidgets &w) const
{
    const int pin = w.gpio->count() == 0 ? m_storedCodes.value(w.gpio, RfidTables::NoGpio)
                                         : RfidTables::gpioPin(w.gpio->currentText());
    const int led = w.led->count() == 0 ? m_storedCodes.value(w.led, 0) : RfidTables::ledCode(w.led->currentText());
    event.insert(m_gpioKey, pin);
    event.insert(QStringLiteral("gpio_level"), choice(w.gpioAction));
    event.insert(QStringLiteral("message"), choice(w.asyncPacket));
    event.insert(QStringLiteral("message_format"), w.customText->text());
    event.insert(QStringLiteral("led_color"), led);
    event.insert(QStringLiteral("timeout"), w.duration->value());
    return event;
}

void pollingwindow::on_btOK_clicked()
{
    QJsonObject rfid = m_document.value(kSection).toObject();

    rfid.insert(QStringLiteral("tech_support"),
                (ui->cbMifareEn->isChecked() ? 0x01 : 0) + (ui->cbIcodeEn->isChecked() ? 0x10 : 0));
    rfid.insert(QStringLiteral("rfid_power"), choice(ui->cbRfidPower));
    rfid.insert(QStringLiteral("polling_enabled"), ui->cbPollingEn->isChecked() ? 1 : 0);
    rfid.insert(QStringLiteral("polling_timeout"), ui->sbPollingTimeout->value());
    rfid.insert(QStringLiteral("ignore_timeout"), ui->sbIgnoreLast->value());
    const QCheckBox *const antennas[]
        = {ui->cbAnt1, ui->cbAnt2, ui->cbAnt3, ui->cbAnt4, ui->cbAnt5, ui->cbAnt6, ui->cbAnt7, ui->cbAnt8};
    int antennaBits = 0;
    for (int n = 0; n < 8; ++n)
        if (antennas[n]->isChecked())
            antennaBits |= 1 << n;
    rfid.insert(QStringLiteral("selected_antennas"), antennaBits);
    rfid.insert(QStringLiteral("check_all_ant"), ui->cbKnownTagsOnAll->isChecked() ? 1 : 0);
    rfid.insert(QStringLiteral("read_memory_en"), choice(ui->cbReadTagMemory));
    rfid.insert(QStringLiteral("read_memory_no"), ui->sbReadBlockNo->value());
    rfid.insert(QStringLiteral("read_memory_count"), ui->sbReadBlockCount->value());
    rfid.insert(QStringLiteral("read_memory_keyab"), choice(ui->cbMifareKey));
    rfid.insert(QStringLiteral("read_memory_keyno"), ui->sbKeyNo->value());
    bool hex = false;
    qint64 appId = ui->DsAppId->text().remove(QLatin1Char(' ')).toLongLong(&hex, 16);
    if (!hex || appId < 0)
        appId = 0;
    rfid.insert(QStringLiteral("read_df_app_id"), appId);
    rfid.insert(QStringLiteral("read_df_reader_key"), ui->DsReaderAuthKey->value());
    rfid.insert(QStringLiteral("read_df_card_key"), ui->DsCardAuthKey->value());
    rfid.insert(QStringLiteral("read_df_auth_type"), choice(ui->DsAuthType));
    rfid.insert(QStringLiteral("read_df_comm_mode"), choice(ui->DsCommType));
    rfid.insert(QStringLiteral("read_df_file_id"), ui->DsFileId->value());
    rfid.insert(QStringLiteral("read_df_file_offset"), ui->DsFileOffset->value());
    rfid.insert(QStringLiteral("read_df_file_len"), ui->DsNumberOfBytes->value());

    rfid.insert(kKnownTag, writtenEvent(rfid.value(kKnownTag).toObject(), eventWidgets(true)));
    rfid.insert(kUnknownTag, writtenEvent(rfid.value(kUnknownTag).toObject(), eventWidgets(false)));

    for (int slot = 0; slot < KeySlots; ++slot) {
        const QComboBox *type = keyTypeBox(slot);
        if (type->currentIndex() < 0) {
            // A key type this dialog does not know: the slot is kept as stored.
            rfid.insert(keyName(slot), m_storedKeys[slot]);
            rfid.insert(keyTypeName(slot), choice(type));
            continue;
        }
        QLineEdit *edit = keyEdit(slot);
        const QString key = edit->text().remove(QLatin1Char(' '));
        if (m_keyNotShown[slot] || key.size() != RfidTables::keyHexDigits(type->currentIndex())) {
            ui->tabs->setCurrentWidget(ui->tabKeys);
            edit->setFocus();
            QMessageBox::warning(this, QStringLiteral("Waring"),
                                 QStringLiteral("Please provide the correct key %1").arg(slot));
            return;
        }
        rfid.insert(keyName(slot), key);
        rfid.insert(keyTypeName(slot), type->currentIndex());
    }

    emit updateConfiguration(ConfigDocument::withSection(m_document, kSection, rfid));
    accept();
}

void pollingwindow::on_btCancel_clicked()
{
    reject();
}

void pollingwindow::on_cbMifareEn_stateChanged(int arg1)
{
    if (arg1 == Qt::Unchecked && !ui->cbIcodeEn->isChecked())
        ui->cbIcodeEn->setChecked(true);
}

void pollingwindow::on_cbIcodeEn_stateChanged(int arg1)
{
    if (arg1 == Qt::Unchecked && !ui->cbMifareEn->isChecked())
        ui->cbMifareEn->setChecked(true);
}

void pollingwindow::applyMemoryReadRule(int value)
{
    QWidget *const blockWidgets[] = {ui->WidgetRead_1, ui->WidgetRead_2, ui->WidgetRead_3, ui->WidgetRead_4};
    QWidget *const desfireWidgets[]
        = {ui->WidgetDesfire_1, ui->WidgetDesfire_2, ui->WidgetDesfire_3, ui->WidgetDesfire_4,
           ui->WidgetDesfire_5, ui->WidgetDesfire_6, ui->WidgetDesfire_7, ui->WidgetDesfire_8};
    for (QWidget *w : blockWidgets)
        w->setVisible(value == 1);
    for (QWidget *w : desfireWidgets)
        w->setVisible(value == 2);
}

void pollingwindow::on_cbReadTagMemory_currentIndexChanged(int index)
{
    applyMemoryReadRule(index);
}

void pollingwindow::on_cbDefinedAsyncPacket_currentIndexChanged(int index)
{
    ui->teDefinedCustomText->setEnabled(index == 4);
}

void pollingwindow::on_cbUndefinedAsyncPacket_currentIndexChanged(int index)
{
    ui->teUndefinedCustomText->setEnabled(index == 4);
}

void pollingwindow::applyKeyLengthRule(int slot)
{
    keyEdit(slot)->setMaxLength(RfidTables::keyFieldLength(keyTypeBox(slot)->currentIndex()));
}

void pollingwindow::on_cbKeyType0_currentIndexChanged(int)
{
    applyKeyLengthRule(0);
}
void pollingwindow::on_cbKeyType1_currentIndexChanged(int)
{
    applyKeyLengthRule(1);
}
void pollingwindow::on_cbKeyType2_currentIndexChanged(int)
{
    applyKeyLengthRule(2);
}
void pollingwindow::on_cbKeyType3_currentIndexChanged(int)
{
    applyKeyLengthRule(3);
}
void pollingwindow::on_cbKeyType4_currentIndexChanged(int)
{
    applyKeyLengthRule(4);
}

void pollingwindow::showFormatHelp()
{
    QMessageBox::information(this, QStringLiteral("Info"), QString::fromLatin1(kFormatHelp));
}

void pollingwindow::on_pushButton_clicked()
{
    showFormatHelp();
}
void pollingwindow::on_pushButton_2_clicked()
{
    showFormatHelp();
}

// ---- Known tag list ------------------------------------------------------

QString pollingwindow::byte2hexstring(uint8_t value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

QString pollingwindow::knownTagEntry(uint8_t bracket, const uint8_t *uid, size_t uidLen)
{
    QString text = QLatin1Char('[') + byte2hexstring(bracket) + QLatin1String("] ");
    for (size_t i = 0; i < uidLen; ++i)
        text += byte2hexstring(uid[i]);
    return text;
}

QByteArray pollingwindow::knownTagEntryBytes(const QString &entry)
{
    QString digits = entry;
    digits.remove(QLatin1Char(' ')).remove(QLatin1Char('[')).remove(QLatin1Char(']'));
    return QByteArray::fromHex(digits.toLatin1());
}

void pollingwindow::sendPayload(QByteArray payload)
{
    // The copy lives until every receiver has taken the bytes, even when an
    // answer arrives (and is handled) within the emission.
    emit binaryFrameSend(reinterpret_cast<uint8_t *>(payload.data()), int(payload.size()));
}

void pollingwindow::updateKnownTagCount()
{
    ui->labKnownTags->setText(QStringLiteral("Known tag list - %1").arg(ui->lvTags->count()));
}

void pollingwindow::on_btGetList_clicked()
{
    ui->labKnownTags->setText(QStringLiteral("Known tag list - updating please wait..."));
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    ui->lvTags->clear();
    sendPayload(QByteArray::fromRawData("\x18\x00", 2));
}

void pollingwindow::on_btAdd_clicked()
{
    sendPayload(QByteArray(1, char(kCmdGetTagCount)));
}

void pollingwindow::on_btDelete_clicked()
{
    qDeleteAll(ui->lvTags->selectedItems());
}

void pollingwindow::on_btWrite2Device_clicked()
{
    m_writePosition = 0;
    sendPayload(QByteArray::fromRawData("\x18\x02", 2));
}

void pollingwindow::writeNextKnownTag()
{
    if (m_writePosition >= ui->lvTags->count()) {
        // Shown from the event loop: this runs inside the codec's frame
        // emission, which must not wait for the user.
        QTimer::singleShot(0, this, [this] {
            QMessageBox::information(this, QStringLiteral("Info"), QStringLiteral("Tag list updated on the device"));
        });
        return;
    }
    QByteArray payload;
    payload.append(char(kCmdKnownList)).append(char(kKnownListWriteEntry));
    payload.append(knownTagEntryBytes(ui->lvTags->item(m_writePosition)->text()));
    // Advanced before sending: the acknowledgement may be handled before
    // sendPayload returns.
    ++m_writePosition;
    sendPayload(payload);
}

void pollingwindow::binaryProtocolFrameComplete(uint8_t *header, size_t hlen, uint8_t *buff, size_t len)
{
    Q_UNUSED(header)
    Q_UNUSED(hlen)
    // Body: status, command, data, two CRC bytes.
    if (!buff || len < 4 || buff[0] != kStatusOk)
        return;
    const size_t payloadLen = len - 2;
    const uint8_t command = buff[1];

    if (command == kCmdGetUid) {
        if (payloadLen > 4) {
            // Data: tag type, bracket byte, UID.
            ui->lvTags->addItem(knownTagEntry(buff[3], buff + 4, payloadLen - 4));
        }
        updateKnownTagCount();
        return;
    }
    if (command != kCmdKnownList)
        return;

    if (payloadLen > 4) {
        // Data: bracket byte, UID.
        ui->lvTags->addItem(knownTagEntry(buff[2], buff + 3, payloadLen - 3));
        sendPayload(QByteArray::fromRawData("\x18\x01", 2));
        return;
    }
    // A bare acknowledgement carries no sub-command; the byte in its place
    // (the first CRC byte) reaches this slot as 0, so it ends a read.
    const uint8_t sub = payloadLen > 2 ? buff[2] : 0;
    switch (sub) {
    case kKnownListStartRead:
    case kKnownListReadNext:
        updateKnownTagCount();
        break;
    case kKnownListStartWrite:
    case kKnownListWriteEntry:
        writeNextKnownTag();
        break;
    default:
        break;
    }
}
