// The UART and sleep configuration dialogs, driven through their widgets on
// R4 and R5 documents: what they show, what OK hands back (the whole document,
// only their own keys rewritten), and how they refuse a document they cannot
// edit.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>

#include "config/configdocument.h"
#include "config/sleepconfigwindow.h"
#include "config/uartconfigwindow.h"

namespace {

// An R4 reader's document, with members and keys no dialog knows about.
const char *const R4Doc = R"({
    "hardware_version": 10,
    "device_name": "Tor 3 – Süd",
    "config_rev": 7,
    "rfid": { "polling": 1, "poll_period": 250, "known_tag_msg": "Zutritt gewährt", "led_color": 2 },
    "communication": {
        "tcp_port": 1234,
        "wifi": { "ssid": "workshop-ap", "mode": 1 },
        "uart": {
            "uart0_proto": 1, "uart0_baud": 4, "uart2_proto": 4, "uart2_baud": 7,
            "rs485_address": 12, "passthru_wifi_ok_msg": "F50300FCFF0B",
            "passthru_wifi_fail_msg": "F5 03 00 FC", "hid_enter": 0,
            "uart2_parity": "none", "uart2_stop_bits": 1
        }
    },
    "sleep": {
        "sleep_tag_timeout": 5000, "sleep_tag_present": 0, "wake_up_timer": 2000,
        "wake_up_trigger1": 2, "wake_up_trigger2": 2, "get_tag_count_on_wakeup": 1,
        "lpcd_timeout": 300, "use_light_sleep": 1, "use_rfid_lpcd": 0, "sleep_led_blink": 1
    }
})";

// An R5 reader's document; its "sleep" still holds a stale R4-only key.
const char *const R5Doc = R"({
    "hardware_version": 12,
    "serial": "R5-00231",
    "rfid": { "polling": 1, "pin_out": 3 },
    "communication": {
        "uart": { "uart0_proto": 6, "uart0_baud": 4, "uart2_proto": 3, "uart2_baud": 2,
                  "rs485_address": 5, "hid_enter": 0, "hid_layout": "de" },
        "ble": { "enabled": 0 }
    },
    "sleep": {
        "sleep_tag_timeout": 0, "sleep_tag_present": 1, "wake_up_timer": 0,
        "wake_up_trigger1": 255, "wake_up_trigger2": 3, "get_tag_count_on_wakeup": 0,
        "lpcd_timeout": 150, "use_light_sleep": 1, "deep_sleep_gpio_hold": 1
    }
})";

QJsonObject object(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

// `base` with `patch` laid over it, nested objects merged member by member.
QJsonObject merged(QJsonObject base, const QJsonObject &patch)
{
    for (auto it = patch.begin(); it != patch.end(); ++it) {
        if (it->isObject() && base.value(it.key()).isObject())
            base[it.key()] = merged(base.value(it.key()).toObject(), it->toObject());
        else
            base[it.key()] = *it;
    }
    return base;
}

QString text(const QJsonObject &root)
{
    return ConfigDocument::serialise(root);
}

QJsonObject uartPatch(const QJsonObject &uart)
{
    return QJsonObject {{"communication", QJsonObject {{"uart", uart}}}};
}

// Answers every message box that comes up and remembers what it said.
struct BoxCatcher : QObject
{
    QStringList seen;
    QTimer timer;
    BoxCatcher()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                seen << box->windowTitle() + " | " + box->text();
                box->done(QMessageBox::Ok);
            }
        });
        timer.start(10);
    }
};

template<typename T = QWidget>
T *child(QWidget *dialog, const char *name)
{
    T *w = dialog->findChild<T *>(QString::fromLatin1(name));
    if (!w)
        qFatal("no widget %s", name);
    return w;
}

QString current(QWidget *dialog, const char *combo)
{
    return child<QComboBox>(dialog, combo)->currentText();
}

QStringList items(QWidget *dialog, const char *combo)
{
    QComboBox *box = child<QComboBox>(dialog, combo);
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

void choose(QWidget *dialog, const char *combo, const QString &item)
{
    QComboBox *box = child<QComboBox>(dialog, combo);
    const int i = box->findText(item);
    QVERIFY2(i >= 0, qPrintable(item));
    box->setCurrentIndex(i);
}

void retype(QWidget *field, const QString &input)
{
    field->setFocus();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, input);
}

// A click on the box itself: the rest of a wide check box does not react.
void tick(QWidget *dialog, const char *name)
{
    QCheckBox *box = child<QCheckBox>(dialog, name);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

bool shown(QWidget *dialog, const char *name)
{
    return child(dialog, name)->isVisibleTo(dialog);
}

// Presses OK; the one document handed back, or what went wrong instead.
QString pressOk(QDialog *dialog)
{
    QSignalSpy spy(dialog, SIGNAL(updateConfiguration(QString)));
    QPushButton *ok = child<QPushButton>(dialog, "btOk");
    if (!ok->isEnabled())
        return "OK disabled";
    QTest::mouseClick(ok, Qt::LeftButton);
    if (spy.count() != 1 || dialog->isVisible())
        return QString("emitted %1 times, dialog %2").arg(spy.count()).arg(dialog->isVisible() ? "open" : "closed");
    return spy.first().first().toString();
}

const QJsonObject okDocument(QDialog *dialog)
{
    return object(pressOk(dialog).toUtf8());
}

const QStringList R5Triggers {"GPIO0", "GPIO1", "GPIO2", "GPIO3", "GPIO4", "GPIO5", "Disabled"};
const QStringList R4Triggers {"Disabled", "UART2 RX byte", "Built-in button press", "GPIO2/GPIO4 set to LOW",
                              "GPIO2/GPIO4 set to HIGH"};

} // namespace

class TestConfigDialogs : public QObject
{
    Q_OBJECT

    BoxCatcher *boxes = nullptr;

    template<typename Dialog>
    Dialog *open(const QJsonObject &root)
    {
        auto *d = new Dialog(nullptr, text(root));
        d->setAttribute(Qt::WA_DeleteOnClose);
        d->show();
        return d;
    }

private slots:
    void init() { boxes = new BoxCatcher; }
    void cleanup()
    {
        QVERIFY2(boxes->seen.isEmpty(), qPrintable(boxes->seen.join('\n')));
        delete boxes;
    }

    void uartOkRewritesOnlyItsKeys()
    {
        auto *d = open<UartConfigWindow>(object(R4Doc));
        QCOMPARE(current(d, "cbUart2Proto"), QString("Passthru"));
        choose(d, "cbUsbSpeed", "230400");
        retype(child(d, "spAddress"), "42");
        retype(child(d, "leWifiConnMsg"), "aa bb 0d");
        QCOMPARE(child<QLineEdit>(d, "leWifiConnMsg")->text(), QString("AA BB 0D"));
        retype(child(d, "leWifiDisconnMsg"), "F5 0");
        QCOMPARE(pressOk(d),
                 text(merged(object(R4Doc),
                             uartPatch({{"uart0_baud", 5},
                                        {"rs485_address", 42},
                                        {"passthru_wifi_ok_msg", "AABB0D"},
                                        {"passthru_wifi_fail_msg", "F50"}}))));
    }

    void uartProtocolLists_data()
    {
        QTest::addColumn<QJsonValue>("hardware");
        QTest::addColumn<QStringList>("usb");
        QTest::addColumn<QStringList>("uart2");
        const QStringList r4Usb {"Binary", "Console logs"};
        const QStringList r4Uart2 {"Binary",         "Console logs", "RS485 - Modbus",
                                   "RS485 - binary", "Passthru",     "Disabled (UART pins can be used as GPIO)"};
        QTest::newRow("R5") << QJsonValue(12) << QStringList {"Binary", "Console logs", "HID keyboard"}
                            << QStringList {"Binary", "Console logs", "RS485 - binary"};
        QTest::newRow("R4") << QJsonValue(10) << r4Usb << r4Uart2;
        QTest::newRow("absent") << QJsonValue() << r4Usb << r4Uart2;
    }
    void uartProtocolLists()
    {
        QFETCH(QJsonValue, hardware);
        QJsonObject root = merged(object(R4Doc), uartPatch({{"uart0_proto", 1}, {"uart2_proto", 0}}));
        root.remove("hardware_version"); // null stands for absent
        if (!hardware.isNull())
            root["hardware_version"] = hardware;
        auto *d = open<UartConfigWindow>(root);
        QFETCH(QStringList, usb);
        QFETCH(QStringList, uart2);
        QCOMPARE(items(d, "cbUsbProto"), usb);
        QCOMPARE(items(d, "cbUart2Proto"), uart2);
        d->close();
    }

    // Every UART2 protocol is shown with its own fields and written back as stored.
    void uartStoredProtocolKept_data()
    {
        QTest::addColumn<int>("hardware");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("item");
        QTest::addColumn<bool>("address");
        QTest::addColumn<bool>("frames");
        QTest::newRow("R5 RS485 binary") << 12 << 3 << "RS485 - binary" << true << false;
        QTest::newRow("R4 Modbus") << 10 << 2 << "RS485 - Modbus" << true << false;
        QTest::newRow("R4 RS485 binary") << 10 << 3 << "RS485 - binary" << true << false;
        QTest::newRow("R4 Passthru") << 10 << 4 << "Passthru" << false << true;
        QTest::newRow("R4 Disabled") << 10 << 5 << "Disabled (UART pins can be used as GPIO)" << false << false;
    }
    void uartStoredProtocolKept()
    {
        QFETCH(int, hardware);
        QFETCH(int, code);
        QFETCH(QString, item);
        QFETCH(bool, address);
        QFETCH(bool, frames);
        const QJsonObject root = merged(object(R4Doc), QJsonObject {{"hardware_version", hardware}});
        const QJsonObject input = merged(root, uartPatch({{"uart0_proto", 1}, {"uart2_proto", code}}));
        auto *d = open<UartConfigWindow>(input);
        QCOMPARE(current(d, "cbUart2Proto"), item);
        QCOMPARE(shown(d, "widgetRs485Address"), address);
        QCOMPARE(shown(d, "widgetWifi1"), frames);
        QCOMPARE(shown(d, "widgetWifi2"), frames);
        const QJsonObject uart = okDocument(d)["communication"]["uart"].toObject();
        QCOMPARE(uart["uart2_proto"], QJsonValue(code));
        QCOMPARE(uart["uart0_proto"], QJsonValue(1));
    }

    void uartHidKeyboardHidesSpeed()
    {
        auto *d = open<UartConfigWindow>(object(R5Doc));
        QCOMPARE(current(d, "cbUsbProto"), QString("HID keyboard"));
        QVERIFY(!shown(d, "widgetUsbSpeed"));
        QVERIFY(shown(d, "hidEnterWidget"));
        tick(d, "cbEnter");
        choose(d, "cbUsbProto", "Console logs");
        QVERIFY(shown(d, "widgetUsbSpeed"));
        QVERIFY(!shown(d, "hidEnterWidget"));
        choose(d, "cbUsbProto", "HID keyboard");
        const QJsonObject uart = okDocument(d)["communication"]["uart"].toObject();
        QCOMPARE(uart["uart0_proto"], QJsonValue(6));
        QCOMPARE(uart["hid_enter"], QJsonValue(1));
        QCOMPARE(uart["uart0_baud"], QJsonValue(4));
        QCOMPARE(uart["hid_layout"], QJsonValue("de"));
    }

    void uartOkRefusedForSameHostProtocol()
    {
        auto *d = open<UartConfigWindow>(merged(object(R4Doc), uartPatch({{"uart0_proto", 0}, {"uart2_proto", 3}})));
        QPushButton *ok = child<QPushButton>(d, "btOk");
        QVERIFY(!ok->isEnabled());
        choose(d, "cbUart2Proto", "Console logs");
        QVERIFY(ok->isEnabled());
        choose(d, "cbUsbProto", "Console logs");
        QVERIFY(!ok->isEnabled());
        choose(d, "cbUart2Proto", "Binary");
        QVERIFY(ok->isEnabled());
        choose(d, "cbUsbProto", "Binary");
        QVERIFY(!ok->isEnabled());
        d->close();
    }

    // A code this hardware does not offer is shown as "Unknown (N)" and survives
    // OK until the user picks a real item.
    void uartUnknownCodeKept_data()
    {
        QTest::addColumn<int>("hardware");
        QTest::addColumn<bool>("repick");
        QTest::newRow("R4 kept") << 10 << false;
        QTest::newRow("R4 replaced") << 10 << true;
        QTest::newRow("R5 kept") << 12 << false;
    }
    void uartUnknownCodeKept()
    {
        QFETCH(int, hardware);
        QFETCH(bool, repick);
        const QJsonObject input = merged(
            object(R4Doc),
            QJsonObject {
                {"hardware_version", hardware},
                {"communication",
                 QJsonObject {
                     {"uart",
                      QJsonObject {{"uart0_proto", 9}, {"uart2_proto", 4}, {"uart0_baud", 8}, {"uart2_baud", -1}}}}}});
        auto *d = open<UartConfigWindow>(input);
        QCOMPARE(current(d, "cbUsbProto"), QString("Unknown (9)"));
        QCOMPARE(current(d, "cbUsbSpeed"), QString("Unknown (8)"));
        QCOMPARE(current(d, "cbUart2Speed"), QString("Unknown (-1)"));
        QVERIFY(shown(d, "widgetUsbSpeed"));
        QVERIFY(!shown(d, "hidEnterWidget"));
        const bool r5 = ConfigDocument::isR5(input);
        QCOMPARE(current(d, "cbUart2Proto"), QString(r5 ? "Unknown (4)" : "Passthru"));
        QCOMPARE(shown(d, "widgetWifi1"), !r5);
        if (repick) {
            choose(d, "cbUsbProto", "Console logs");
            choose(d, "cbUsbSpeed", "921600");
            choose(d, "cbUart2Speed", "9600");
        }
        const QJsonObject uart = okDocument(d)["communication"]["uart"].toObject();
        QCOMPARE(uart["uart0_proto"], QJsonValue(repick ? 1 : 9));
        QCOMPARE(uart["uart0_baud"], QJsonValue(repick ? 7 : 8));
        QCOMPARE(uart["uart2_baud"], QJsonValue(repick ? 0 : -1));
        QCOMPARE(uart["uart2_proto"], QJsonValue(4));
    }

    // Missing and wrongly typed keys read as their defaults and OK writes those.
    void uartDefaults()
    {
        QJsonObject root = object(R4Doc);
        root["communication"] = QJsonObject {{"tcp_port", 1234},
                                             {"uart",
                                              QJsonObject {{"uart0_proto", "1"},
                                                           {"uart0_baud", true},
                                                           {"hid_enter", true},
                                                           {"rs485_address", "7"},
                                                           {"passthru_wifi_ok_msg", 5},
                                                           {"flow", 2}}}};
        auto *d = open<UartConfigWindow>(root);
        QCOMPARE(current(d, "cbUsbProto"), QString("Binary"));
        QCOMPARE(current(d, "cbUsbSpeed"), QString("9600"));
        QCOMPARE(child<QSpinBox>(d, "spAddress")->value(), 1);
        QVERIFY(!child<QCheckBox>(d, "cbEnter")->isChecked());
        choose(d, "cbUart2Proto", "Console logs"); // Binary on both is refused
        const QJsonObject expected {{"tcp_port", 1234},
                                    {"uart",
                                     QJsonObject {{"uart0_proto", 0},
                                                  {"uart2_proto", 1},
                                                  {"uart0_baud", 0},
                                                  {"uart2_baud", 0},
                                                  {"rs485_address", 1},
                                                  {"passthru_wifi_ok_msg", ""},
                                                  {"passthru_wifi_fail_msg", ""},
                                                  {"hid_enter", 0},
                                                  {"flow", 2}}}};
        QCOMPARE(okDocument(d)["communication"].toObject(), expected);
    }

    void sleepR4OkRewritesOnlyItsKeys()
    {
        auto *d = open<SleepConfigWindow>(object(R4Doc));
        QVERIFY(shown(d, "cbUseLightSleep") && shown(d, "cbUseRfidLpcd"));
        QVERIFY(!child<QSpinBox>(d, "sbLpcdTimeout")->isEnabled());
        QVERIFY(!child(d, "labLpcdTimeout")->isEnabled());
        tick(d, "cbUseRfidLpcd");
        QVERIFY(child<QSpinBox>(d, "sbLpcdTimeout")->isEnabled());
        QVERIFY(child(d, "labLpcdTimeout")->isEnabled());
        retype(child<QSpinBox>(d, "sbSleepTagTimeout"), "12000");
        tick(d, "cbSleepTagPresent");
        tick(d, "cbUseLightSleep");
        choose(d, "cbWakeUpTrigger2", "UART2 RX byte");
        QCOMPARE(pressOk(d),
                 text(merged(object(R4Doc),
                             QJsonObject {{"sleep",
                                           QJsonObject {{"sleep_tag_timeout", 12000},
                                                        {"sleep_tag_present", 1},
                                                        {"use_light_sleep", 0},
                                                        {"use_rfid_lpcd", 1},
                                                        {"wake_up_trigger2", 1}}}})));
    }

    void sleepR5LeavesR4KeysAlone()
    {
        auto *d = open<SleepConfigWindow>(object(R5Doc));
        QCOMPARE(current(d, "cbWakeUpTrigger1"), QString("Disabled"));
        QCOMPARE(current(d, "cbWakeUpTrigger2"), QString("GPIO3"));
        QVERIFY(!shown(d, "cbUseLightSleep") && !shown(d, "cbUseRfidLpcd"));
        QVERIFY(child<QSpinBox>(d, "sbLpcdTimeout")->isEnabled());
        QVERIFY(child(d, "labLpcdTimeout")->isEnabled());
        QCOMPARE(okDocument(d), object(R5Doc));
    }

    void sleepTriggerCodes_data()
    {
        QTest::addColumn<int>("hardware");
        QTest::addColumn<QJsonValue>("stored");
        QTest::addColumn<QString>("item");
        QTest::addColumn<int>("written");
        QTest::newRow("R4 7") << 10 << QJsonValue(7) << "Disabled" << 0;
        QTest::newRow("R4 5") << 10 << QJsonValue(5) << "Disabled" << 0;
        QTest::newRow("R4 -1") << 10 << QJsonValue(-1) << "Disabled" << 0;
        QTest::newRow("R4 4") << 10 << QJsonValue(4) << "GPIO2/GPIO4 set to HIGH" << 4;
        QTest::newRow("R4 missing") << 10 << QJsonValue() << "Disabled" << 0;
        QTest::newRow("R5 6") << 12 << QJsonValue(6) << "Disabled" << 255;
        QTest::newRow("R5 -3") << 12 << QJsonValue(-3) << "Disabled" << 255;
        QTest::newRow("R5 0") << 12 << QJsonValue(0) << "GPIO0" << 0;
        QTest::newRow("R5 missing") << 12 << QJsonValue() << "Disabled" << 255;
    }
    void sleepTriggerCodes()
    {
        QFETCH(int, hardware);
        QFETCH(QJsonValue, stored);
        QFETCH(QString, item);
        QFETCH(int, written);
        QJsonObject root = object(hardware == 12 ? R5Doc : R4Doc);
        QJsonObject sleep = root["sleep"].toObject();
        sleep.remove("wake_up_trigger1"); // null stands for missing
        if (!stored.isNull())
            sleep["wake_up_trigger1"] = stored;
        root["sleep"] = sleep;
        auto *d = open<SleepConfigWindow>(root);
        QCOMPARE(items(d, "cbWakeUpTrigger1"), hardware == 12 ? R5Triggers : R4Triggers);
        QCOMPARE(items(d, "cbWakeUpTrigger2"), hardware == 12 ? R5Triggers : R4Triggers);
        QCOMPARE(current(d, "cbWakeUpTrigger1"), item);
        QCOMPARE(okDocument(d)["sleep"]["wake_up_trigger1"], QJsonValue(written));
    }

    void sleepSameTriggerWarning_data()
    {
        QTest::addColumn<int>("hardware");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("second");
        QTest::addColumn<bool>("warned");
        QTest::newRow("R4 both button") << 10 << 2 << 2 << true;
        QTest::newRow("R4 both disabled") << 10 << 0 << 0 << false;
        QTest::newRow("R4 different") << 10 << 2 << 1 << false;
        QTest::newRow("R5 both GPIO1") << 12 << 1 << 1 << true;
        QTest::newRow("R5 both disabled") << 12 << 255 << 255 << false;
        QTest::newRow("R5 GPIO0 and disabled") << 12 << 0 << 255 << false;
    }
    void sleepSameTriggerWarning()
    {
        QFETCH(int, first);
        QFETCH(int, second);
        QFETCH(int, hardware);
        QFETCH(bool, warned);
        const QJsonObject root = object(hardware == 12 ? R5Doc : R4Doc);
        auto *d = open<SleepConfigWindow>(merged(
            root, QJsonObject {{"sleep", QJsonObject {{"wake_up_trigger1", first}, {"wake_up_trigger2", second}}}}));
        QCOMPARE(shown(d, "labTriggerWarning"), warned);
        if (warned) {
            choose(d, "cbWakeUpTrigger2", "Disabled");
            QVERIFY(!shown(d, "labTriggerWarning"));
            child<QComboBox>(d, "cbWakeUpTrigger2")->setCurrentIndex(second);
            QVERIFY(shown(d, "labTriggerWarning"));
        }
        const QJsonObject sleep = okDocument(d)["sleep"].toObject(); // only a warning
        QCOMPARE(sleep["wake_up_trigger1"], QJsonValue(first));
        QCOMPARE(sleep["wake_up_trigger2"], QJsonValue(second));
    }

    void sleepEmptySectionDefaults_data()
    {
        QTest::addColumn<int>("hardware");
        QTest::addColumn<QJsonObject>("written");
        const QJsonObject common {{"sleep_tag_timeout", 0},
                                  {"sleep_tag_present", 0},
                                  {"wake_up_timer", 0},
                                  {"get_tag_count_on_wakeup", 0},
                                  {"lpcd_timeout", 0}};
        QTest::newRow("R4")
            << 10
            << merged(common,
                      {{"wake_up_trigger1", 0}, {"wake_up_trigger2", 0}, {"use_light_sleep", 0}, {"use_rfid_lpcd", 0}});
        QTest::newRow("R5") << 12 << merged(common, {{"wake_up_trigger1", 255}, {"wake_up_trigger2", 255}});
    }
    void sleepEmptySectionDefaults()
    {
        QFETCH(int, hardware);
        QFETCH(QJsonObject, written);
        QJsonObject root = object(R4Doc);
        root["hardware_version"] = hardware;
        root["sleep"] = QJsonObject {{"sleep_tag_present", true}, {"use_rfid_lpcd", true}, {"lpcd_timeout", "300"}};
        auto *d = open<SleepConfigWindow>(root);
        QVERIFY(!child<QCheckBox>(d, "cbSleepTagPresent")->isChecked());
        QCOMPARE(current(d, "cbWakeUpTrigger1"), QString("Disabled"));
        QCOMPARE(current(d, "cbWakeUpTrigger2"), QString("Disabled"));
        if (hardware == 12) // R4-only keys are neither read nor written
            written["use_rfid_lpcd"] = true;
        QCOMPARE(okDocument(d)["sleep"].toObject(), written);
    }

    void cancelEmitsNothing()
    {
        QDialog *dialogs[] = {open<UartConfigWindow>(object(R4Doc)), open<SleepConfigWindow>(object(R4Doc))};
        for (QDialog *d : dialogs) {
            QSignalSpy spy(d, SIGNAL(updateConfiguration(QString)));
            QSignalSpy rejected(d, &QDialog::rejected);
            QTest::mouseClick(child(d, d->inherits("UartConfigWindow") ? "pushButton_2" : "btCancel"), Qt::LeftButton);
            QCOMPARE(rejected.count(), 1);
            QCOMPARE(spy.count(), 0);
        }
    }

    // A document the dialog cannot edit: the warning, then the dialog closes
    // unseen, whether it was shown or run modally; nothing is emitted.
    void unusableDocument_data()
    {
        QTest::addColumn<bool>("sleepDialog");
        QTest::addColumn<QString>("document");
        QTest::addColumn<bool>("modal");
        QJsonObject root = object(R4Doc);
        const QString notJson = "{\"communication\": {\"uart\": {}}, \"sleep\": {";
        for (const bool sleep : {false, true}) {
            const QString key = sleep ? "sleep" : "communication";
            const QByteArray tag = sleep ? "sleep " : "uart ";
            QJsonObject missing = root;
            missing.remove(key);
            QTest::newRow((tag + "not JSON").constData()) << sleep << notJson << false;
            QTest::newRow((tag + "missing").constData()) << sleep << text(missing) << true;
            QTest::newRow((tag + "null").constData())
                << sleep << text(merged(root, {{key, QJsonValue::Null}})) << false;
            QTest::newRow((tag + "array").constData()) << sleep << text(merged(root, {{key, QJsonArray {1}}})) << true;
            QTest::newRow((tag + "text").constData()) << sleep << text(merged(root, {{key, "off"}})) << false;
        }
    }
    void unusableDocument()
    {
        QFETCH(bool, sleepDialog);
        QFETCH(QString, document);
        QFETCH(bool, modal);
        QScopedPointer<QDialog> d;
        if (sleepDialog)
            d.reset(new SleepConfigWindow(nullptr, document));
        else
            d.reset(new UartConfigWindow(nullptr, document));
        QVERIFY(sleepDialog ? static_cast<SleepConfigWindow *>(d.data())->failed()
                            : static_cast<UartConfigWindow *>(d.data())->failed());
        QCOMPARE(
            boxes->seen,
            QStringList {sleepDialog
                             ? "Warning | Missing sleep section in the config file. Please update the device firmware."
                             : "Waring | Missing communication section oin the config file"});
        boxes->seen.clear();
        QSignalSpy spy(d.data(), SIGNAL(updateConfiguration(QString)));
        QSignalSpy finished(d.data(), &QDialog::finished);
        if (modal) {
            QDialog *dialog = d.data();
            QTimer::singleShot(2000, dialog, [dialog] { dialog->done(42); }); // a hung exec() fails, not blocks
            QCOMPARE(d->exec(), int(QDialog::Rejected));
        } else {
            d->show();
            QVERIFY(!d->isVisible());
            QTRY_COMPARE(finished.count(), 1);
        }
        QVERIFY(!d->isVisible());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(spy.count(), 0);
    }
};

QTEST_MAIN(TestConfigDialogs)
#include "tst_configdialogs.moc"
