#include "config/pollingwindow.h"
#include "ui_pollingwindow.h"

#include "app/formaccess.h"

#include "config/formfields.h"
#include "config/rfidtables.h"
#include "console/hexvalidator.h"

#include <QCoreApplication>
#include <QListWidgetItem>
#include <QMessageBox>
#include <QRegularExpressionValidator>
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

QStringList rfidKey(const QString &key)
{
    return {kSection, key};
}
QStringList rfidKey(const char *key)
{
    return rfidKey(QString::fromLatin1(key));
}
QStringList keyName(int slot)
{
    return rfidKey(QStringLiteral("key%1").arg(slot));
}
QStringList keyTypeName(int slot)
{
    return rfidKey(QStringLiteral("keyType%1").arg(slot));
}

bool isHex(const QString &text)
{
    for (const QChar c : text) {
        const QChar l = c.toLower();
        if (!((l >= QLatin1Char('0') && l <= QLatin1Char('9')) || (l >= QLatin1Char('a') && l <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

} // namespace

pollingwindow::pollingwindow(QWidget *parent, const QString &config)
    : pollingwindow(parent, config.toUtf8())
{ }

pollingwindow::pollingwindow(QWidget *parent, const QByteArray &config)
    : QDialog(parent)
    , ui(new Ui::pollingwindow)
    , m_document(config)
{
    ui->setupUi(this);
    // Captions that say little read out on their own.
    for (QAbstractButton *help : {ui->pushButton, ui->pushButton_2}) {
        help->setAccessibleName(QStringLiteral("Custom text format"));
        help->setToolTip(help->accessibleName());
    }
    for (int antenna = 1; antenna <= 8; ++antenna) {
        if (auto *box = findChild<QCheckBox *>(QStringLiteral("cbAnt%1").arg(antenna)))
            box->setAccessibleName(QStringLiteral("Antenna %1").arg(antenna));
    }
    ui->teDefinedCustomText->setEnabled(false);
    ui->teUndefinedCustomText->setEnabled(false);
    for (int slot = 0; slot < KeySlots; ++slot)
        keyEdit(slot)->setValidator(new HexValidator(this));
    // The application ID shows as plain hex digits, as many as it takes.
    ui->DsAppId->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9A-Fa-f]*")), this));

    m_hardwareVersion = m_document.hardwareVersion();

    applyHardwareLists();

    if (!m_document.isObject({kSection})) {
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

    loadSection();
    for (int slot = 0; slot < KeySlots; ++slot)
        applyKeyLengthRule(slot);
    m_form = new FormFields(this, m_document, [this] { return fields(); });
    FormAccess::prepareDialog(this);
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
    for (int n = 0; n < 8; ++n)
        antenna(n)->setEnabled(lists.antennasEnabled);
    ui->cbKnownTagsOnAll->setEnabled(lists.antennasEnabled);
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

void pollingwindow::loadSection()
{
    const ConfigDocument &doc = m_document;
    const int tech = doc.readInt(rfidKey("tech_support"));
    ui->cbMifareEn->setChecked(tech & 0x01);
    ui->cbIcodeEn->setChecked(tech & 0x10);
    setChoice(ui->cbRfidPower, doc.readInt(rfidKey("rfid_power")));
    ui->cbPollingEn->setChecked(doc.readInt(rfidKey("polling_enabled")) == 1);
    ui->sbPollingTimeout->setValue(doc.readInt(rfidKey("polling_timeout")));
    ui->sbIgnoreLast->setValue(doc.readInt(rfidKey("ignore_timeout")));
    const int antennaBits = doc.readInt(rfidKey("selected_antennas"));
    for (int n = 0; n < 8; ++n)
        antenna(n)->setChecked(antennaBits & (1 << n));
    ui->cbKnownTagsOnAll->setChecked(doc.readInt(rfidKey("check_all_ant")) == 1);

    const int memory = doc.readInt(rfidKey("read_memory_en"));
    setChoice(ui->cbReadTagMemory, memory);
    applyMemoryReadRule(memory);
    ui->sbReadBlockNo->setValue(doc.readInt(rfidKey("read_memory_no")));
    ui->sbReadBlockCount->setValue(doc.readInt(rfidKey("read_memory_count")));
    setChoice(ui->cbMifareKey, doc.readInt(rfidKey("read_memory_keyab")));
    ui->sbKeyNo->setValue(doc.readInt(rfidKey("read_memory_keyno")));
    ui->DsAppId->setText(QString::number(qMax(0, doc.readInt(rfidKey("read_df_app_id"))), 16));
    ui->DsReaderAuthKey->setValue(doc.readInt(rfidKey("read_df_reader_key")));
    ui->DsCardAuthKey->setValue(doc.readInt(rfidKey("read_df_card_key")));
    setChoice(ui->DsAuthType, doc.readInt(rfidKey("read_df_auth_type")));
    setChoice(ui->DsCommType, doc.readInt(rfidKey("read_df_comm_mode")));
    ui->DsFileId->setValue(doc.readInt(rfidKey("read_df_file_id")));
    ui->DsFileOffset->setValue(doc.readInt(rfidKey("read_df_file_offset")));
    ui->DsNumberOfBytes->setValue(doc.readInt(rfidKey("read_df_file_len")));

    loadEvent(kKnownTag, eventWidgets(true));
    loadEvent(kUnknownTag, eventWidgets(false));

    for (int slot = 0; slot < KeySlots; ++slot) {
        setChoice(keyTypeBox(slot), doc.readInt(keyTypeName(slot)));
        applyKeyLengthRule(slot);
        keyEdit(slot)->setText(doc.readString(keyName(slot)));
        keyEdit(slot)->setCursorPosition(0);
    }
}

void pollingwindow::loadEvent(const QString &name, const EventWidgets &w)
{
    auto key = [&name](const QString &k) { return QStringList {kSection, name, k}; };
    // Pin and colour are sought by their item text; without a matching item
    // the first item stays current. With no list at all the stored value is
    // kept for OK.
    const int pin = m_document.readInt(key(m_gpioKey), RfidTables::NoGpio);
    if (w.gpio->count() == 0)
        m_storedCodes.insert(w.gpio, pin);
    w.gpio->setCurrentIndex(qMax(0, w.gpio->findText(RfidTables::gpioText(pin))));

    const int led = m_document.readInt(key(QStringLiteral("led_color")));
    const QString ledText = RfidTables::ledText(led);
    if (w.led->count() == 0)
        m_storedCodes.insert(w.led, led);
    w.led->setCurrentIndex(ledText.isEmpty() ? 0 : qMax(0, w.led->findText(ledText)));

    setChoice(w.gpioAction, m_document.readInt(key(QStringLiteral("gpio_level"))));
    setChoice(w.asyncPacket, m_document.readInt(key(QStringLiteral("message"))));
    w.customText->setText(m_document.readString(key(QStringLiteral("message_format"))));
    w.customText->setEnabled(w.asyncPacket->currentIndex() == 4);
    w.duration->setValue(m_document.readInt(key(QStringLiteral("timeout"))));
}

void pollingwindow::appendEventFields(ConfigDocument::Fields &fields, const QString &name, const EventWidgets &w) const
{
    auto key = [&name](const QString &k) { return QStringList {kSection, name, k}; };
    const int pin = w.gpio->count() == 0 ? m_storedCodes.value(w.gpio, RfidTables::NoGpio)
                                         : RfidTables::gpioPin(w.gpio->currentText());
    const int led = w.led->count() == 0 ? m_storedCodes.value(w.led, 0) : RfidTables::ledCode(w.led->currentText());
    fields.append({key(m_gpioKey), pin, w.gpio});
    fields.append({key(QStringLiteral("gpio_level")), choice(w.gpioAction), w.gpioAction});
    fields.append({key(QStringLiteral("message")), choice(w.asyncPacket), w.asyncPacket});
    fields.append(FormFields::lineField(key(QStringLiteral("message_format")), w.customText));
    fields.append({key(QStringLiteral("led_color")), led, w.led});
    fields.append({key(QStringLiteral("timeout")), w.duration->value(), w.duration});
}

QCheckBox *pollingwindow::antenna(int n) const
{
    QCheckBox *const antennas[]
        = {ui->cbAnt1, ui->cbAnt2, ui->cbAnt3, ui->cbAnt4, ui->cbAnt5, ui->cbAnt6, ui->cbAnt7, ui->cbAnt8};
    return antennas[n];
}

// What OK writes, in the order it writes it. The antennas are one value of
// eight boxes; the first box stands for them.
ConfigDocument::Fields pollingwindow::fields() const
{
    int antennaBits = 0;
    for (int n = 0; n < 8; ++n)
        if (antenna(n)->isChecked())
            antennaBits |= 1 << n;
    bool hex = false;
    qint64 appId = ui->DsAppId->text().toLongLong(&hex, 16);
    if (!hex || appId < 0)
        appId = 0;
    ConfigDocument::Fields fields {
        {rfidKey("tech_support"), (ui->cbMifareEn->isChecked() ? 0x01 : 0) + (ui->cbIcodeEn->isChecked() ? 0x10 : 0),
         ui->cbMifareEn},
        {rfidKey("rfid_power"), choice(ui->cbRfidPower), ui->cbRfidPower},
        {rfidKey("polling_enabled"), ui->cbPollingEn->isChecked() ? 1 : 0, ui->cbPollingEn},
        {rfidKey("polling_timeout"), ui->sbPollingTimeout->value(), ui->sbPollingTimeout},
        {rfidKey("ignore_timeout"), ui->sbIgnoreLast->value(), ui->sbIgnoreLast},
        {rfidKey("selected_antennas"), antennaBits, ui->cbAnt1},
        {rfidKey("check_all_ant"), ui->cbKnownTagsOnAll->isChecked() ? 1 : 0, ui->cbKnownTagsOnAll},
        {rfidKey("read_memory_en"), choice(ui->cbReadTagMemory), ui->cbReadTagMemory},
        {rfidKey("read_memory_no"), ui->sbReadBlockNo->value(), ui->sbReadBlockNo},
        {rfidKey("read_memory_count"), ui->sbReadBlockCount->value(), ui->sbReadBlockCount},
        {rfidKey("read_memory_keyab"), choice(ui->cbMifareKey), ui->cbMifareKey},
        {rfidKey("read_memory_keyno"), ui->sbKeyNo->value(), ui->sbKeyNo},
        {rfidKey("read_df_app_id"), appId, ui->DsAppId},
        {rfidKey("read_df_reader_key"), ui->DsReaderAuthKey->value(), ui->DsReaderAuthKey},
        {rfidKey("read_df_card_key"), ui->DsCardAuthKey->value(), ui->DsCardAuthKey},
        {rfidKey("read_df_auth_type"), choice(ui->DsAuthType), ui->DsAuthType},
        {rfidKey("read_df_comm_mode"), choice(ui->DsCommType), ui->DsCommType},
        {rfidKey("read_df_file_id"), ui->DsFileId->value(), ui->DsFileId},
        {rfidKey("read_df_file_offset"), ui->DsFileOffset->value(), ui->DsFileOffset},
        {rfidKey("read_df_file_len"), ui->DsNumberOfBytes->value(), ui->DsNumberOfBytes},
    };
    appendEventFields(fields, kKnownTag, eventWidgets(true));
    appendEventFields(fields, kUnknownTag, eventWidgets(false));
    for (int slot = 0; slot < KeySlots; ++slot) {
        fields.append(FormFields::lineField(keyName(slot), keyEdit(slot), true));
        fields.append({keyTypeName(slot), choice(keyTypeBox(slot)), keyTypeBox(slot)});
    }
    return fields;
}

void pollingwindow::on_btOK_clicked()
{
    if (!m_form)
        return;
    // Every slot of a known type needs a key of its length: the one typed,
    // or the stored one when the field was left alone. Blanks do not count.
    for (int slot = 0; slot < KeySlots; ++slot) {
        const QComboBox *type = keyTypeBox(slot);
        if (type->currentIndex() < 0)
            continue; // a type this dialog does not know: kept as stored
        QLineEdit *edit = keyEdit(slot);
        QString key = m_form->writes(edit) ? edit->text() : m_document.readString(keyName(slot));
        key.remove(QLatin1Char(' '));
        if (key.size() != RfidTables::keyHexDigits(type->currentIndex()) || !isHex(key)) {
            ui->tabs->setCurrentWidget(ui->tabKeys);
            edit->setFocus();
            QMessageBox::warning(this, QStringLiteral("Waring"),
                                 QStringLiteral("Please provide the correct key %1").arg(slot));
            return;
        }
    }
    emit updateConfiguration(m_form->edited());
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
    m_writing = true;
    sendPayload(QByteArray::fromRawData("\x18\x02", 2));
}

// An acknowledgement that comes while no writing runs (twice, late, or
// never asked for) does nothing: it neither sends the list nor reports it
// written once more.
void pollingwindow::writeNextKnownTag()
{
    if (!m_writing)
        return;
    if (m_writePosition >= ui->lvTags->count()) {
        m_writing = false;
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
    if (!buff || len < 4)
        return;
    if (buff[0] != kStatusOk) {
        if (buff[1] == kCmdKnownList)
            m_writing = false; // refused: the write stops where it is
        return;
    }
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
