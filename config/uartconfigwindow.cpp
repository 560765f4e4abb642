#include "config/uartconfigwindow.h"
#include "ui_uartconfigwindow.h"

#include "app/formaccess.h"

#include <QMessageBox>
#include <QMetaObject>

#include "config/formfields.h"
#include "console/hexvalidator.h"

namespace {

// Protocol codes as the reader stores them.
enum Protocol {
    Binary = 0,
    ConsoleLogs = 1,
    Rs485Modbus = 2,
    Rs485Binary = 3,
    Passthru = 4,
    Disabled = 5,
    HidKeyboard = 6,
};

struct ProtocolItem
{
    const char *text;
    int code;
};

const ProtocolItem UsbR5[] = {{"Binary", Binary}, {"Console logs", ConsoleLogs}, {"HID keyboard", HidKeyboard}};
const ProtocolItem UsbR4[] = {{"Binary", Binary}, {"Console logs", ConsoleLogs}};
const ProtocolItem Uart2R5[] = {{"Binary", Binary}, {"Console logs", ConsoleLogs}, {"RS485 - binary", Rs485Binary}};
const ProtocolItem Uart2R4[] = {
    {"Binary", Binary},
    {"Console logs", ConsoleLogs},
    {"RS485 - Modbus", Rs485Modbus},
    {"RS485 - binary", Rs485Binary},
    {"Passthru", Passthru},
    {"Disabled (UART pins can be used as GPIO)", Disabled},
};

// Items added for a stored value the list does not offer carry this flag, so
// the rules never mistake them for a named protocol.
constexpr int UnknownRole = Qt::UserRole + 1;

template<std::size_t N>
void fill(QComboBox *box, const ProtocolItem (&items)[N])
{
    box->clear();
    for (const ProtocolItem &item : items)
        box->addItem(QString::fromLatin1(item.text), item.code);
}

// Selects the item standing for `value`: the item whose data equals it, or,
// for boxes without item data (the speed lists), the item at that position.
// A value with no item gets an extra "Unknown (N)" item that keeps it.
void select(QComboBox *box, int value)
{
    for (int i = 0; i < box->count(); ++i) {
        const QVariant data = box->itemData(i);
        const bool match = data.isValid() ? data.toInt() == value : i == value;
        if (match && !box->itemData(i, UnknownRole).toBool()) {
            box->setCurrentIndex(i);
            return;
        }
    }
    box->addItem(QStringLiteral("Unknown (%1)").arg(value), value);
    const int last = box->count() - 1;
    box->setItemData(last, true, UnknownRole);
    box->setCurrentIndex(last);
}

// The value to store for the current item: its data, else its position.
int selectedValue(const QComboBox *box)
{
    const QVariant data = box->currentData();
    return data.isValid() ? data.toInt() : qMax(0, box->currentIndex());
}

// The protocol code of the current item, -1 for an "Unknown (N)" item.
int selectedProtocol(const QComboBox *box)
{
    if (box->currentIndex() < 0 || box->currentData(UnknownRole).toBool())
        return -1;
    return box->currentData().toInt();
}

QStringList uartKey(const char *key)
{
    return {QStringLiteral("communication"), QStringLiteral("uart"), QString::fromLatin1(key)};
}

} // namespace

UartConfigWindow::UartConfigWindow(QWidget *parent, const QString &config)
    : UartConfigWindow(parent, config.toUtf8())
{ }

UartConfigWindow::UartConfigWindow(QWidget *parent, const QByteArray &config)
    : QDialog(parent)
    , ui(new Ui::UartConfigWindow)
    , m_document(config)
{
    ui->setupUi(this);
    ui->leWifiConnMsg->setValidator(new HexValidator(this));
    ui->leWifiDisconnMsg->setValidator(new HexValidator(this));

    if (!m_document.isObject({QStringLiteral("communication")})) {
        m_failed = true;
        QMessageBox::warning(parent, QStringLiteral("Waring"),
                             QStringLiteral("Missing communication section oin the config file"));
        return;
    }

    ui->widgetRs485Address->hide();
    ui->widgetWifi1->hide();
    ui->widgetWifi2->hide();

    fillProtocols(m_document.isR5());
    select(ui->cbUsbProto, m_document.readInt(uartKey("uart0_proto")));
    select(ui->cbUart2Proto, m_document.readInt(uartKey("uart2_proto")));
    select(ui->cbUsbSpeed, m_document.readInt(uartKey("uart0_baud")));
    select(ui->cbUart2Speed, m_document.readInt(uartKey("uart2_baud")));
    applyVisibility();

    ui->spAddress->setValue(m_document.readInt(uartKey("rs485_address")));
    ui->leWifiConnMsg->setText(m_document.readString(uartKey("passthru_wifi_ok_msg")));
    ui->leWifiDisconnMsg->setText(m_document.readString(uartKey("passthru_wifi_fail_msg")));
    ui->cbEnter->setChecked(m_document.readFlag(uartKey("hid_enter")));

    m_form = new FormFields(this, m_document, [this] { return fields(); });
    FormAccess::prepareDialog(this);
    adjustSize();
}

UartConfigWindow::~UartConfigWindow()
{
    delete ui;
}

// A dialog whose document could not be read never appears: it is shown off
// the screen, so that an exec() starts and ends as with any dialog, and its
// queued reject() closes it straight away.
void UartConfigWindow::setVisible(bool visible)
{
    if (visible && m_failed) {
        setAttribute(Qt::WA_DontShowOnScreen);
        QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
    }
    QDialog::setVisible(visible);
}

void UartConfigWindow::fillProtocols(bool r5)
{
    if (r5) {
        fill(ui->cbUsbProto, UsbR5);
        fill(ui->cbUart2Proto, Uart2R5);
    } else {
        fill(ui->cbUsbProto, UsbR4);
        fill(ui->cbUart2Proto, Uart2R4);
    }
}

void UartConfigWindow::applyVisibility()
{
    const int usb = selectedProtocol(ui->cbUsbProto);
    const int uart2 = selectedProtocol(ui->cbUart2Proto);

    ui->hidEnterWidget->setVisible(usb == HidKeyboard);
    ui->widgetUsbSpeed->setVisible(usb != HidKeyboard);
    ui->widgetRs485Address->setVisible(uart2 == Rs485Modbus || uart2 == Rs485Binary);
    ui->widgetWifi1->setVisible(uart2 == Passthru);
    ui->widgetWifi2->setVisible(uart2 == Passthru);

    // The host protocol may be spoken on one interface only.
    const bool clash
        = (usb == Binary && (uart2 == Binary || uart2 == Rs485Binary)) || (usb == ConsoleLogs && uart2 == ConsoleLogs);
    ui->btOk->setEnabled(!clash);
}

void UartConfigWindow::on_cbUsbProto_currentIndexChanged(int)
{
    applyVisibility();
}

void UartConfigWindow::on_cbUart2Proto_currentIndexChanged(int)
{
    applyVisibility();
}

// What OK writes, in the order it writes it.
ConfigDocument::Fields UartConfigWindow::fields() const
{
    return {
        {uartKey("uart0_proto"), selectedValue(ui->cbUsbProto), ui->cbUsbProto},
        {uartKey("uart2_proto"), selectedValue(ui->cbUart2Proto), ui->cbUart2Proto},
        {uartKey("hid_enter"), ui->cbEnter->isChecked() ? 1 : 0, ui->cbEnter},
        {uartKey("uart0_baud"), selectedValue(ui->cbUsbSpeed), ui->cbUsbSpeed},
        {uartKey("uart2_baud"), selectedValue(ui->cbUart2Speed), ui->cbUart2Speed},
        {uartKey("rs485_address"), ui->spAddress->value(), ui->spAddress},
        FormFields::lineField(uartKey("passthru_wifi_ok_msg"), ui->leWifiConnMsg, true),
        FormFields::lineField(uartKey("passthru_wifi_fail_msg"), ui->leWifiDisconnMsg, true),
    };
}

void UartConfigWindow::on_btOk_clicked()
{
    if (!m_form)
        return;
    emit updateConfiguration(m_form->edited());
    accept();
}

void UartConfigWindow::on_pushButton_2_clicked()
{
    reject();
}
