#include "config/sleepconfigwindow.h"
#include "ui_sleepconfigwindow.h"

#include "app/formaccess.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QStringList>

#include "config/formfields.h"

namespace {

// R5 wakes on one of its GPIOs; "Disabled" is the last item and is stored as
// 255. On R4 the list position is the stored code and "Disabled" comes first.
const QStringList &r5Triggers()
{
    static const QStringList list {QStringLiteral("GPIO0"),   QStringLiteral("GPIO1"), QStringLiteral("GPIO2"),
                                   QStringLiteral("GPIO3"),   QStringLiteral("GPIO4"), QStringLiteral("GPIO5"),
                                   QStringLiteral("Disabled")};
    return list;
}

const QStringList &r4Triggers()
{
    static const QStringList list {QStringLiteral("Disabled"), QStringLiteral("UART2 RX byte"),
                                   QStringLiteral("Built-in button press"), QStringLiteral("GPIO2/GPIO4 set to LOW"),
                                   QStringLiteral("GPIO2/GPIO4 set to HIGH")};
    return list;
}

QStringList sleepKey(const char *key)
{
    return {QStringLiteral("sleep"), QString::fromLatin1(key)};
}

constexpr int R5DisabledCode = 255;
constexpr int TriggerMissing = R5DisabledCode;

} // namespace

SleepConfigWindow::SleepConfigWindow(QWidget *parent, const QString &config)
    : SleepConfigWindow(parent, config.toUtf8())
{ }

SleepConfigWindow::SleepConfigWindow(QWidget *parent, const QByteArray &config)
    : QDialog(parent)
    , ui(new Ui::SleepConfigWindow)
    , m_document(config)
{
    ui->setupUi(this);

    if (!m_document.isObject({QStringLiteral("sleep")})) {
        m_failed = true;
        QMessageBox::warning(
            parent, QStringLiteral("Warning"),
            QStringLiteral("Missing sleep section in the config file. Please update the device firmware."));
        return;
    }

    m_hardwareVersion = m_document.hardwareVersion();
    m_r5 = m_hardwareVersion == ConfigDocument::R5HardwareVersion;

    const QStringList &triggers = m_r5 ? r5Triggers() : r4Triggers();
    ui->cbWakeUpTrigger1->clear();
    ui->cbWakeUpTrigger1->addItems(triggers);
    ui->cbWakeUpTrigger2->clear();
    ui->cbWakeUpTrigger2->addItems(triggers);

    ui->sbSleepTagTimeout->setValue(m_document.readInt(sleepKey("sleep_tag_timeout")));
    ui->cbSleepTagPresent->setChecked(m_document.readFlag(sleepKey("sleep_tag_present")));
    ui->sbWakeUpTimer->setValue(m_document.readInt(sleepKey("wake_up_timer")));
    ui->cbWakeUpTrigger1->setCurrentIndex(
        triggerPosition(m_document.readInt(sleepKey("wake_up_trigger1"), TriggerMissing)));
    ui->cbWakeUpTrigger2->setCurrentIndex(
        triggerPosition(m_document.readInt(sleepKey("wake_up_trigger2"), TriggerMissing)));
    ui->cbGetTagCountOnWakeup->setChecked(m_document.readFlag(sleepKey("get_tag_count_on_wakeup")));
    ui->sbLpcdTimeout->setValue(m_document.readInt(sleepKey("lpcd_timeout")));

    // Light sleep and the LPCD switch exist on R4 only; on R5 a timeout of 0
    // is what turns LPCD off, so the timeout stays available there.
    ui->cbUseLightSleep->setVisible(!m_r5);
    ui->cbUseRfidLpcd->setVisible(!m_r5);
    if (!m_r5) {
        ui->cbUseLightSleep->setChecked(m_document.readFlag(sleepKey("use_light_sleep")));
        ui->cbUseRfidLpcd->setChecked(m_document.readFlag(sleepKey("use_rfid_lpcd")));
        applyLpcdRule(ui->cbUseRfidLpcd->isChecked());
    }
    applyWarningRule();

    m_form = new FormFields(this, m_document, [this] { return fields(); });
    FormAccess::prepareDialog(this);
    adjustSize();
}

SleepConfigWindow::~SleepConfigWindow()
{
    delete ui;
}

// A dialog whose document could not be read never appears: it is shown off
// the screen, so that an exec() starts and ends as with any dialog, and its
// queued reject() closes it straight away.
void SleepConfigWindow::setVisible(bool visible)
{
    if (visible && m_failed) {
        setAttribute(Qt::WA_DontShowOnScreen);
        QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
    }
    QDialog::setVisible(visible);
}

// Codes the hardware does not offer, negative ones included, read as
// "Disabled".
int SleepConfigWindow::triggerPosition(int code) const
{
    const unsigned value = unsigned(code);
    if (m_r5)
        return value >= unsigned(disabledPosition()) ? disabledPosition() : code;
    return value >= unsigned(r4Triggers().size()) ? disabledPosition() : code;
}

int SleepConfigWindow::triggerCode(int position) const
{
    if (position < 0)
        position = disabledPosition();
    if (m_r5 && position == disabledPosition())
        return R5DisabledCode;
    return position;
}

int SleepConfigWindow::disabledPosition() const
{
    return m_r5 ? r5Triggers().size() - 1 : 0;
}

void SleepConfigWindow::applyWarningRule()
{
    const int first = ui->cbWakeUpTrigger1->currentIndex();
    const int second = ui->cbWakeUpTrigger2->currentIndex();
    ui->labTriggerWarning->setVisible(first != disabledPosition() && first == second);
}

void SleepConfigWindow::applyLpcdRule(bool checked)
{
    ui->sbLpcdTimeout->setEnabled(checked);
    ui->labLpcdTimeout->setEnabled(checked);
}

void SleepConfigWindow::on_cbWakeUpTrigger1_currentIndexChanged(int)
{
    applyWarningRule();
}

void SleepConfigWindow::on_cbWakeUpTrigger2_currentIndexChanged(int)
{
    applyWarningRule();
}

void SleepConfigWindow::on_cbUseRfidLpcd_toggled(bool checked)
{
    if (!m_r5)
        applyLpcdRule(checked);
}

// What OK writes, in the order it writes it; the R4-only keys only on R4.
ConfigDocument::Fields SleepConfigWindow::fields() const
{
    ConfigDocument::Fields fields {
        {sleepKey("sleep_tag_timeout"), ui->sbSleepTagTimeout->value(), ui->sbSleepTagTimeout},
        {sleepKey("sleep_tag_present"), ui->cbSleepTagPresent->isChecked() ? 1 : 0, ui->cbSleepTagPresent},
        {sleepKey("wake_up_timer"), ui->sbWakeUpTimer->value(), ui->sbWakeUpTimer},
        {sleepKey("wake_up_trigger1"), triggerCode(ui->cbWakeUpTrigger1->currentIndex()), ui->cbWakeUpTrigger1},
        {sleepKey("wake_up_trigger2"), triggerCode(ui->cbWakeUpTrigger2->currentIndex()), ui->cbWakeUpTrigger2},
        {sleepKey("get_tag_count_on_wakeup"), ui->cbGetTagCountOnWakeup->isChecked() ? 1 : 0,
         ui->cbGetTagCountOnWakeup},
        {sleepKey("lpcd_timeout"), ui->sbLpcdTimeout->value(), ui->sbLpcdTimeout},
    };
    if (!m_r5) {
        fields.append({sleepKey("use_light_sleep"), ui->cbUseLightSleep->isChecked() ? 1 : 0, ui->cbUseLightSleep});
        fields.append({sleepKey("use_rfid_lpcd"), ui->cbUseRfidLpcd->isChecked() ? 1 : 0, ui->cbUseRfidLpcd});
    }
    return fields;
}

void SleepConfigWindow::on_btOk_clicked()
{
    if (!m_form)
        return;
    emit updateConfiguration(m_form->edited());
    accept();
}

void SleepConfigWindow::on_btCancel_clicked()
{
    reject();
}
