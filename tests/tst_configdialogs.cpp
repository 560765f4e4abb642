// The configuration document and its dialogs: the JSON text edited in place,
// each dialog handing a reader's document back byte for byte but for what
// the user changed (alone and through the window and the simulated reader),
// the dialogs' rules, and the RFID dialog's known-tag list through the
// window.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>

#include "config/jsontext.h"
#include "config/pollingwindow.h"
#include "config/rfidtables.h"
#include "config/sleepconfigwindow.h"
#include "config/uartconfigwindow.h"
#include "sim/simfiles.h"
#include "sim/simknowntags.h"
#include "sim/simtags.h"
#include "support/messageboxes.h"
#include "support/requestlog.h"
#include "support/windowfixture.h"

namespace {

// Documents as readers hold them, in their own layout, with what a form
// cannot show as it is: hidden fields with text that is not hex, numbers out
// of range, a text longer than its field, a flag stored as true, a pin the
// hardware lacks, keys with blanks and in lower case, and members this
// client does not know holding bytes that are not UTF-8 and integers beyond
// 2^53. <xHH> stands for the byte HH, <long> for a 153-character text.
const char *const R4Doc = R"({
  "hardware_version": 4,
  "vendor": "Tor S<xFC>d <xFF><xFE>",
  "serial_no": 9007199254740993,
  "gain": 1.0E+2, "offset": -0,
  "communication": {"tcp_port": 1234, "uart": {
      "uart0_proto": 0, "uart0_baud": 4,
      "uart2_proto": 1, "uart2_baud": 7,
      "rs485_address": 0,
      "passthru_wifi_ok_msg": "WiFi up\r\n",
      "passthru_wifi_fail_msg": "0x41 0x42",
      "hid_enter": 0, "uart2_parity": "n<xE9>"
  }},
  "sleep": {"sleep_tag_timeout": 70000, "sleep_tag_present": 0, "wake_up_timer": 2000,
            "wake_up_trigger1": 7, "wake_up_trigger2": 2, "get_tag_count_on_wakeup": 1,
            "lpcd_timeout": 300, "use_light_sleep": true, "use_rfid_lpcd": 1,
            "sleep_led_blink": 18446744073709551615},
  "rfid": {
    "tech_support": 17, "rfid_power": 9, "polling_enabled": 1,
    "polling_timeout": 2.5e2, "ignore_timeout": 3000, "selected_antennas": 5, "check_all_ant": true,
    "read_memory_en": 2, "read_memory_no": 4, "read_memory_count": 0, "read_memory_keyab": -1,
    "read_memory_keyno": 3, "read_df_app_id": 16777216, "read_df_reader_key": 1, "read_df_card_key": 2,
    "read_df_auth_type": 7, "read_df_comm_mode": 1, "read_df_file_id": 7, "read_df_file_offset": 16,
    "read_df_file_len": 32, "label": "<xC3><x28>", "counter": 18446744073709551615,
    "known_tag": {"gpio": 21, "gpio_level": 1, "message": 4, "message_format": "<long>",
                  "led_color": 2, "timeout": 500},
    "unknown_tag": {"gpio": 14, "gpio_level": 5, "message": 8, "message_format": "",
                    "led_color": 1, "timeout": 1200},
    "keyType0": 6, "key0": "FF FF FF FF FF FF FF FF FF FF FF FF",
    "keyType1": 0, "key1": "000102030405060708090a0b0c0d0e0f",
    "keyType2": 3, "key2": "0123456789ABCDEF0123456789ABCDEF",
    "keyType3": 3, "key3": "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
    "keyType4": 4, "key4": "00000000000000000000000000000000"
  }
}
)";

// An R5 reader's; its "sleep" lacks two keys and still holds an R4-only one, its
// "rfid" a DESFire read that an R5 does not offer.
const char *const R5Doc = R"({"hardware_version": 12, "serial": "R5-000731",
 "communication": {"uart": {"uart0_proto": 6, "uart0_baud": 4, "uart2_proto": 3, "uart2_baud": 2,
     "rs485_address": 300, "hid_enter": 2, "hid_layout": "de",
     "passthru_wifi_ok_msg": "f5 03", "passthru_wifi_fail_msg": ""},
   "ble": {"enabled": 0, "id": -9223372036854775809}},
 "sleep": {"sleep_tag_timeout": 0, "sleep_tag_present": 1, "wake_up_timer": 0, "wake_up_trigger1": 255,
   "lpcd_timeout": 150, "use_light_sleep": 1},
 "rfid": {"tech_support": 1, "rfid_power": 0, "polling_enabled": 0, "polling_timeout": 100, "ignore_timeout": 0,
   "selected_antennas": 1, "check_all_ant": 1, "read_memory_en": 2, "read_memory_no": 0, "read_memory_count": 1,
   "read_memory_keyab": 0, "read_memory_keyno": 0, "read_df_app_id": 4294967295, "read_df_reader_key": 0,
   "read_df_card_key": 0, "read_df_auth_type": 0, "read_df_comm_mode": 0, "read_df_file_id": 0,
   "read_df_file_offset": 0, "read_df_file_len": 1,
   "known_tag": {"gpio_number": 3, "gpio_level": 0, "message": 4,
                 "message_format": "Záznam č. %u – 東京", "led_color": 4, "timeout": 100},
   "unknown_tag": {"gpio_number": 255, "gpio_level": 1, "message": 0, "message_format": "",
                   "led_color": 0, "timeout": 1, "note": "spare"},
   "keyType0": 0, "key0": "2B7E151628AED2A6ABF7158809CF4F3C", "keyType1": 0, "key1": "00000000000000000000000000000000",
   "keyType2": 0, "key2": "00000000000000000000000000000000", "keyType3": 0, "key3": "00000000000000000000000000000000",
   "keyType4": 6, "key4": "ff ff ff ff ff ff ff ff ff ff ff ff"}}
)";

QByteArray bytes(const char *text)
{
    QByteArray out(text);
    out.replace("<long>", QByteArray("%u;%a;%t ").repeated(17));
    for (int at = out.indexOf("<x"); at >= 0; at = out.indexOf("<x"))
        out.replace(at, 5, QByteArray::fromHex(out.mid(at + 2, 2)));
    return out;
}

// `document` with its one occurrence of `before` replaced by `after`.
QByteArray edited(const QByteArray &document, const QByteArray &before, const QByteArray &after)
{
    if (document.count(before) != 1)
        return "\"" + before + "\" does not occur once";
    return QByteArray(document).replace(before, after);
}

QDialog *openDialog(const QString &kind, const QByteArray &document, QWidget *parent = nullptr)
{
    if (kind == "rfid")
        return new pollingwindow(parent, document);
    if (kind == "uart")
        return new UartConfigWindow(parent, document);
    return new SleepConfigWindow(parent, document);
}

const char *okButton(QDialog *dialog)
{
    return qobject_cast<pollingwindow *>(dialog) ? "btOK" : "btOk";
}

template<typename T = QWidget>
T *child(QWidget *dialog, const QString &name)
{
    T *w = dialog->findChild<T *>(name);
    if (!w)
        qFatal("no widget %s", qPrintable(name));
    return w;
}

// The user changes one widget: picks the item with that text, types the
// text over the field, or clicks the box.
void change(QWidget *dialog, const QString &name, const QString &input)
{
    QWidget *w = child(dialog, name);
    if (auto *box = qobject_cast<QComboBox *>(w)) {
        const int i = box->findText(input);
        QVERIFY2(i >= 0, qPrintable(input));
        box->setCurrentIndex(i);
        emit box->activated(i);
    } else if (auto *check = qobject_cast<QCheckBox *>(w)) {
        QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(6, check->height() / 2));
    } else {
        QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(w, Qt::Key_Delete);
        QTest::keyClicks(w, input);
    }
}

// Presses OK; the one document handed back, or what went wrong instead.
QByteArray pressOk(QDialog *dialog)
{
    QSignalSpy spy(dialog, SIGNAL(updateConfiguration(QByteArray)));
    QPushButton *ok = child<QPushButton>(dialog, okButton(dialog));
    if (!ok->isEnabled())
        return "OK disabled";
    QTest::mouseClick(ok, Qt::LeftButton);
    if (spy.count() != 1 || dialog->isVisible())
        return QString("emitted %1 times, dialog %2")
            .arg(spy.count())
            .arg(dialog->isVisible() ? "open" : "closed")
            .toUtf8();
    return spy.first().first().toByteArray();
}

// The widgets that say they keep their stored value, by name, a list box
// with the item it shows ("cbX=None"); the note lists as many.
QStringList keptWidgets(QDialog *dialog)
{
    QStringList names;
    for (QWidget *w : dialog->findChildren<QWidget *>()) {
        auto *box = qobject_cast<QComboBox *>(w);
        if (w->toolTip().startsWith("Kept as stored"))
            names << w->objectName() + (box ? "=" + box->currentText() : QString());
    }
    names.sort();
    auto *note = dialog->findChild<QLabel *>("labKeptValues");
    if ((note ? note->text().count('\n') : 0) != names.size())
        names << "(note does not match)";
    return names;
}

QJsonObject object(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

QByteArray text(const QJsonObject &root)
{
    return QJsonDocument(root).toJson();
}

// A member of a section ("rfid", "sleep" or "uart") of a document handed back.
QJsonValue member(const QByteArray &document, const QString &section, const QString &key)
{
    const QJsonObject root = object(document);
    if (section == "uart")
        return root["communication"].toObject()["uart"].toObject().value(key);
    return root[section].toObject().value(key);
}

// The plain R4 document (valid UTF-8, nothing out of range) with members of
// one section ("rfid", "sleep" or "uart") replaced by those of patch, a null
// one left out, for the hardware.
QJsonObject documentWith(const QString &section, const QJsonObject &patch, int hardware = 4)
{
    QJsonObject root = object(SimFileSystem::configDocument(SimFileSystem::ConfigR4));
    QJsonObject communication = root["communication"].toObject();
    QJsonObject part = section == "uart" ? communication["uart"].toObject() : root[section].toObject();
    for (auto it = patch.begin(); it != patch.end(); ++it) {
        if (it->isNull())
            part.remove(it.key());
        else
            part[it.key()] = *it;
    }
    if (section == "uart") {
        communication["uart"] = part;
        root["communication"] = communication;
    } else {
        root[section] = part;
    }
    root["hardware_version"] = hardware;
    return root;
}

} // namespace

namespace QTest {
template<>
char *toString(const QJsonValue &value)
{
    const QJsonDocument doc(QJsonArray {value});
    return qstrdup(doc.toJson(QJsonDocument::Compact).constData());
}
} // namespace QTest

class TestConfigDialogs : public QObject
{
    Q_OBJECT

    MessageBoxes *boxes = nullptr;

private slots:
    void init() { boxes = new MessageBoxes; }
    void cleanup()
    {
        QVERIFY2(boxes->seen.isEmpty(), qPrintable(boxes->seen.join('\n')));
        delete boxes;
    }

    // ---- the JSON text --------------------------------------------------------

    void textEditedInPlace_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("path");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QByteArray>("expected"); // empty: not JSON, left alone
        const QStringList sb {"s", "b"};
        QTest::newRow("only the value") << QByteArray("{\"a\": 1.0E+2, \"b\": [1, 2], \"c\": \"x\"}")
                                        << QStringList {"c"} << QJsonValue("y\n\"\\\x01é")
                                        << QByteArray(
                                               "{\"a\": 1.0E+2, \"b\": [1, 2], \"c\": \"y\\n\\\"\\\\\\u0001é\"}");
        QTest::newRow("odd layout, other bytes")
            << QByteArray("{\r\n\t\"s\" :{ \"k\":-0 ,\"b\"\t: 1e9 }, \"x\": \"\xff\xfe\", \"n\": 9007199254740993}")
            << sb << QJsonValue(2)
            << QByteArray("{\r\n\t\"s\" :{ \"k\":-0 ,\"b\"\t: 2 }, \"x\": \"\xff\xfe\", \"n\": 9007199254740993}");
        QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF{\"b\": 1}") << QStringList {"b"} << QJsonValue(2)
                                         << QByteArray("\xEF\xBB\xBF{\"b\": 2}");
        QTest::newRow("added like the last member")
            << QByteArray("{\n    \"s\": {\n        \"a\": 1\n    }\n}") << sb << QJsonValue(2)
            << QByteArray("{\n    \"s\": {\n        \"a\": 1,\n"
                          "        \"b\": 2\n    }\n}");
        QTest::newRow("added to an empty object") << QByteArray("{\n    \"s\": {}\n}") << sb << QJsonValue(2)
                                                  << QByteArray("{\n    \"s\": {\n        \"b\": 2\n    }\n}");
        QTest::newRow("objects on the way made")
            << QByteArray("{\n  \"a\": 1\n}") << QStringList {"s", "t", "b"} << QJsonValue("z")
            << QByteArray("{\n  \"a\": 1,\n  \"s\": {\n      \"t\": {\n          \"b\": \"z\"\n      }\n  }\n}");
        // Every copy of a key that stands twice takes the value, so whichever
        // copy the reader reads has it.
        QTest::newRow("key twice") << QByteArray("{\"b\": 10, \"a\": [0], \"b\": {\"c\": 3}}") << QStringList {"b"}
                                   << QJsonValue(2) << QByteArray("{\"b\": 2, \"a\": [0], \"b\": 2}");
        QTest::newRow("key as a surrogate pair")
            << QByteArray("{\"\\uD83D\\uDE00\": {\"b\": 1}, \"x\": \"\\ud83d\"}")
            << QStringList {QString::fromUtf8("\xF0\x9F\x98\x80"), "b"} << QJsonValue("\xF0\x9F\x98\x80")
            << QByteArray("{\"\\uD83D\\uDE00\": {\"b\": \"\xF0\x9F\x98\x80\"}, \"x\": \"\\ud83d\"}");
        QTest::newRow("UTF-8 cut at the end of a text")
            << QByteArray("{\"x\": \"\xE2\x82\", \"y\": \"\xF0\x9F\x98\", \"b\": 1}") << QStringList {"b"}
            << QJsonValue(2) << QByteArray("{\"x\": \"\xE2\x82\", \"y\": \"\xF0\x9F\x98\", \"b\": 2}");
        QTest::newRow("nested on one line")
            << QByteArray("{\"a\": 1, \"s\": {\"x\": 0, \"k\": {}}}") << QStringList {"s", "t", "b"} << QJsonValue(2)
            << QByteArray("{\"a\": 1, \"s\": {\"x\": 0, \"k\": {}, \"t\": { \"b\": 2 }}}");
        for (const char *bad : {"{\"a\": 01}", "{\"a\": NaN}", "{\"a\": 1} x", "{\"a\": \"\t\"}", "{\"a\":}",
                                "{\"a\": \"\\x\"}", "{\"a\": 1,}", "[1]", "", "{\"a\": tru}"})
            QTest::newRow(bad) << QByteArray(bad) << QStringList {"a"} << QJsonValue(2) << QByteArray();
        QTest::newRow("too deep") << "{\"a\": " + QByteArray(300, '[') + QByteArray(300, ']') + "}" << QStringList {"a"}
                                  << QJsonValue(2) << QByteArray();
    }
    void textEditedInPlace()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, path);
        QFETCH(QJsonValue, value);
        QFETCH(QByteArray, expected);
        JsonText json(text);
        QCOMPARE(json.isValid() && json.type(0) == JsonText::Object, !expected.isEmpty());
        json.set(path, value);
        QCOMPARE(json.text(), expected.isEmpty() ? text : expected);
        if (!expected.isEmpty())
            QCOMPARE(json.value(json.find(path)), value);
    }

    // ---- each dialog on the readers' documents --------------------------------

    void documentsComeBackAsTheyWent_data()
    {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("widget"); // empty: OK without a change
        QTest::addColumn<QString>("input");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("kept"); // without a change: the widgets that keep their value
        const QByteArray r4 = bytes(R4Doc), r5 = bytes(R5Doc);
        QTest::newRow("uart R4") << "uart" << r4 << ""
                                 << "" << QByteArray() << QByteArray() << "leWifiConnMsg leWifiDisconnMsg spAddress";
        QTest::newRow("uart R4 frames kept under Passthru")
            << "uart" << r4 << "cbUart2Proto"
            << "Passthru" << QByteArray("\"uart2_proto\": 1") << QByteArray("\"uart2_proto\": 4") << "";
        QTest::newRow("uart R5") << "uart" << r5 << ""
                                 << "" << QByteArray() << QByteArray() << "cbEnter spAddress";
        QTest::newRow("uart R5 ENTER") << "uart" << r5 << "cbEnter"
                                       << "" << QByteArray("\"hid_enter\": 2") << QByteArray("\"hid_enter\": 0") << "";
        QTest::newRow("uart R5 address") << "uart" << r5 << "spAddress"
                                         << "42" << QByteArray("\"rs485_address\": 300")
                                         << QByteArray("\"rs485_address\": 42") << "";
        QTest::newRow("sleep R4") << "sleep" << r4 << ""
                                  << "" << QByteArray() << QByteArray()
                                  << "cbUseLightSleep cbWakeUpTrigger1=Disabled sbSleepTagTimeout";
        QTest::newRow("sleep R4 trigger")
            << "sleep" << r4 << "cbWakeUpTrigger2"
            << "UART2 RX byte" << QByteArray("\"wake_up_trigger2\": 2") << QByteArray("\"wake_up_trigger2\": 1") << "";
        QTest::newRow("sleep R4 kept trigger picked")
            << "sleep" << r4 << "cbWakeUpTrigger1"
            << "Disabled" << QByteArray("\"wake_up_trigger1\": 7") << QByteArray("\"wake_up_trigger1\": 0") << "";
        QTest::newRow("sleep R5 missing key added")
            << "sleep" << r5 << ""
            << "" << QByteArray("\"use_light_sleep\": 1}")
            << QByteArray("\"use_light_sleep\": 1, \"wake_up_trigger2\": 255, \"get_tag_count_on_wakeup\": 0}") << "";
        QTest::newRow("rfid R4") << "rfid" << r4 << ""
                                 << "" << QByteArray() << QByteArray()
                                 << "cbKnownTagsOnAll cbUndefinedGpio=None sbReadBlockCount teDefinedCustomText";
        QTest::newRow("rfid R4 application ID")
            << "rfid" << r4 << "DsAppId"
            << "abc" << QByteArray("\"read_df_app_id\": 16777216") << QByteArray("\"read_df_app_id\": 2748") << "";
        QTest::newRow("rfid R4 long text") << "rfid" << r4 << "teDefinedCustomText"
                                           << "%u<CR>" << bytes("\"message_format\": \"<long>\"")
                                           << QByteArray("\"message_format\": \"%u<CR>\"") << "";
        QTest::newRow("rfid R4 pin") << "rfid" << r4 << "cbUndefinedGpio"
                                     << "GPIO 33" << QByteArray("\"gpio\": 14") << QByteArray("\"gpio\": 33") << "";
        QTest::newRow("rfid R5") << "rfid" << r5 << ""
                                 << "" << QByteArray() << QByteArray() << "DsAppId";
        QTest::newRow("rfid R5 pin") << "rfid" << r5 << "cbDefinedGpio"
                                     << "GPIO 5" << QByteArray("\"gpio_number\": 3") << QByteArray("\"gpio_number\": 5")
                                     << "";
        QTest::newRow("uart R5 USB") << "uart" << r5 << "cbUsbProto"
                                     << "Console logs" << QByteArray("\"uart0_proto\": 6")
                                     << QByteArray("\"uart0_proto\": 1") << "";
        QTest::newRow("uart R5 HID picked") << "uart" << r5 << "cbUsbProto"
                                            << "HID keyboard" << QByteArray() << QByteArray() << "";
        // Cancel: the dialog closes and hands nothing back.
        QTest::newRow("uart cancelled") << "uart" << r4 << "pushButton_2"
                                        << "" << QByteArray() << QByteArray() << "";
        QTest::newRow("sleep cancelled") << "sleep" << r4 << "btCancel"
                                         << "" << QByteArray() << QByteArray() << "";
        QTest::newRow("rfid cancelled") << "rfid" << r4 << "btCancel"
                                        << "" << QByteArray() << QByteArray() << "";
    }
    void documentsComeBackAsTheyWent()
    {
        QFETCH(QString, dialog);
        QFETCH(QByteArray, document);
        QFETCH(QString, widget);
        QFETCH(QString, input);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QString, kept);
        std::unique_ptr<QDialog> d(openDialog(dialog, document));
        d->show();
        QSignalSpy spy(d.get(), SIGNAL(updateConfiguration(QByteArray)));
        if (auto *cancel = d->findChild<QPushButton *>(widget)) {
            QTest::mouseClick(cancel, Qt::LeftButton);
            QVERIFY(!d->isVisible());
            QCOMPARE(spy.count(), 0);
            return;
        }
        if (widget.isEmpty())
            QCOMPARE(keptWidgets(d.get()), kept.split(' ', Qt::SkipEmptyParts));
        else
            change(d.get(), widget, input);
        QCOMPARE(pressOk(d.get()), before.isEmpty() ? document : edited(document, before, after));
    }

    // The same through the window: downloaded from the simulated reader,
    // edited, uploaded, and the reader's file compared. The edits are made
    // on what the reader holds when OK is pressed (here changed while the
    // dialog was open), an OK that changed nothing uploads nothing, and a
    // second dialog does not open beside the first.
    void throughTheWindow_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QString>("input"); // empty: OK without a change
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QByteArray>("meanwhile"); // on the reader while the dialog is open
        QTest::newRow("rfid") << "btPollingConfiguration"
                              << "sbPollingTimeout"
                              << "300" << QByteArray("\"polling_timeout\": 2.5e2")
                              << QByteArray("\"polling_timeout\": 300") << QByteArray();
        QTest::newRow("uart, the reader's document changed meanwhile")
            << "btUartConfiguration"
            << "cbUart2Speed"
            << "115200" << QByteArray("\"uart2_baud\": 7") << QByteArray("\"uart2_baud\": 4")
            << QByteArray("\"sleep_tag_timeout\": 70000");
        QTest::newRow("sleep, nothing changed")
            << "btSleepConfiguration" << QString() << QString() << QByteArray() << QByteArray() << QByteArray();
    }
    void throughTheWindow()
    {
        QFETCH(QString, button);
        QFETCH(QString, widget);
        QFETCH(QString, input);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QByteArray, meanwhile);
        WindowFixture f;
        QVERIFY(f.connectSerial());
        const QByteArray document = bytes(R4Doc);
        f.reader()->files().setFile("config.json", document);
        QByteArray expected = input.isEmpty() ? document : edited(document, before, after);
        const QByteArray elsewhere = "\"sleep_tag_timeout\": 5000";
        if (!meanwhile.isEmpty())
            expected = edited(expected, meanwhile, elsewhere);
        QByteArray written;
        QObject::connect(&f.reader()->files(), &SimFileSystem::fileWritten,
                         [&](const QByteArray &, const QByteArray &content) { written = content; });
        // The dialog is worked from the event loop: the RFID one runs its own.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QDialog *d = f.window()->findChild<QDialog *>();
            if (!d || !d->isVisible() || qobject_cast<QMessageBox *>(d))
                return;
            poll.stop();
            if (!meanwhile.isEmpty())
                f.reader()->files().setFile("config.json", edited(document, meanwhile, elsewhere));
            if (!d->isModal()) { // (a modal one keeps the window's buttons from the user)
                f.click("btUartConfiguration");
                QCOMPARE(f.logCount("Please close the open configuration dialog first."), 1);
            }
            if (!input.isEmpty())
                change(d, widget, input);
            QTest::mouseClick(child(d, okButton(d)), Qt::LeftButton);
            if (d->isVisible()) // refused: a modal one would hold the test
                d->reject();
        });
        poll.start(50);
        RequestLog requests(f.reader());
        f.click(button);
        if (input.isEmpty()) {
            QVERIFY(f.waitForLog("Nothing was changed: the configuration was not uploaded.", 15000));
            QTest::qWait(200);
            QCOMPARE(requests.count(hex("E0 01") + "config.json"), 0);
            QCOMPARE(f.reader()->files().configFile(), document);
            return;
        }
        QVERIFY2(QTest::qWaitFor([&] { return !written.isEmpty(); }, 15000), qPrintable(f.logText().right(600)));
        QCOMPARE(written, expected);
    }

    // ---- the dialogs' rules --------------------------------------------------

    // The rules on what the user picks: a protocol on one port only, one
    // technology at least (clearing the last one checks the other),
    // antennas only where the hardware has them; what is missing is written
    // as its default.
    void dialogRules_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QJsonObject>("document");
        QTest::addColumn<QStringList>("changes"); // "widget" clicks a box, "widget=text" picks or types
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("written"); // undefined: OK refused
        const QJsonValue refused(QJsonValue::Undefined);
        const QJsonObject twoHosts = documentWith("uart", {{"uart0_proto", 0}, {"uart2_proto", 3}});
        QTest::newRow("one protocol on two ports") << "uart" << twoHosts << QStringList() << "" << refused;
        QTest::newRow("protocol moved") << "uart" << twoHosts << QStringList {"cbUart2Proto=Console logs"}
                                        << "uart2_proto" << QJsonValue(1);
        QTest::newRow("moved onto the other")
            << "uart" << twoHosts << QStringList {"cbUart2Proto=Console logs", "cbUsbProto=Console logs"} << ""
            << refused;
        QTest::newRow("last technology") << "rfid" << documentWith("rfid", {{"tech_support", 17}})
                                         << QStringList {"cbIcodeEn", "cbMifareEn", "cbIcodeEn"} << "tech_support"
                                         << QJsonValue(1);
        // Antennas 1 and 3 stored.
        QTest::newRow("antennas") << "rfid" << documentWith("rfid", {{"selected_antennas", 5}}, 2)
                                  << QStringList {"cbAnt3", "cbAnt8"} << "selected_antennas" << QJsonValue(1 + 128);
        QTest::newRow("no antennas") << "rfid" << documentWith("rfid", {{"selected_antennas", 5}}, 3)
                                     << QStringList {"cbAnt3", "cbAnt8"} << "selected_antennas" << QJsonValue(1 + 4);
        const QJsonObject missing = documentWith(
            "rfid", {{"polling_timeout", QJsonValue::Null}, {"ignore_timeout", QJsonValue::Null}, {"known_tag", 0}});
        QTest::newRow("polling time-out missing, 0 raised to 1")
            << "rfid" << missing << QStringList() << "polling_timeout" << QJsonValue(1);
        QTest::newRow("ignore time-out missing")
            << "rfid" << missing << QStringList() << "ignore_timeout" << QJsonValue(0);
        QTest::newRow("event not an object")
            << "rfid" << missing << QStringList() << "known_tag"
            << QJsonValue(object(R"({"gpio": 0, "gpio_level": 0, "message": 0, "message_format": "", "led_color": 0,
                                     "timeout": 1})"));
    }
    void dialogRules()
    {
        QFETCH(QString, section);
        QFETCH(QJsonObject, document);
        QFETCH(QStringList, changes);
        QFETCH(QString, key);
        QFETCH(QJsonValue, written);
        std::unique_ptr<QDialog> d(openDialog(section, text(document)));
        d->show();
        for (const QString &c : changes)
            change(d.get(), c.section('=', 0, 0), c.section('=', 1));
        const QByteArray handedBack = pressOk(d.get());
        if (written.isUndefined())
            QCOMPARE(handedBack, QByteArray("OK disabled"));
        else
            QCOMPARE(member(handedBack, section, key), written);
    }

    // A key of the wrong length, or a stored one the field cannot show (cut to
    // its limit, a 64-digit key under AES128 would leave a plausible 16-byte
    // key), keeps the dialog open on the key until the user types one; a
    // stored key is checked without its blanks and kept as it is.
    void wrongKeyKeepsTheDialogOpen_data()
    {
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("stored"); // slot 1, AES128; null: as the plain document
        QTest::addColumn<QString>("typed"); // null: nothing typed
        QTest::addColumn<bool>("refused");
        QTest::newRow("six bytes in slot 0") << 0 << QString() << "00 11 22 33 44 55" << true;
        QTest::newRow("empty slot 3") << 3 << QString() << "" << true;
        QTest::newRow("one digit short in slot 4") << 4 << QString() << QString(31, 'F') << true;
        QTest::newRow("stored too long for AES128") << 1 << QString(64, 'A') << QString() << true;
        QTest::newRow("stored not hex") << 1 << "0123456789ABCDEF0123456789ABCDEG" << QString() << true;
        QTest::newRow("stored lower case") << 1 << "0123456789abcdef0123456789abcdef" << QString() << false;
        QTest::newRow("stored with blanks")
            << 1 << "01 23 45 67 89 AB CD EF 01 23 45 67 89 AB CD EF" << QString() << false;
    }
    void wrongKeyKeepsTheDialogOpen()
    {
        QFETCH(int, slot);
        QFETCH(QString, stored);
        QFETCH(QString, typed);
        QFETCH(bool, refused);
        QJsonObject patch {{"keyType3", 5}, {"key3", QString(48, '0')}, {"keyType4", 3}, {"key4", QString(32, 'F')}};
        if (!stored.isNull())
            patch = {{"keyType1", 0}, {"key1", stored}};
        const QJsonObject root = documentWith("rfid", patch);
        std::unique_ptr<QDialog> owner(openDialog("rfid", text(root)));
        QDialog *d = owner.get();
        d->show();
        const QString name = QStringLiteral("edKey%1").arg(slot);
        if (!typed.isNull())
            change(d, name, typed);
        if (!refused) {
            QCOMPARE(pressOk(d), text(root));
            return;
        }
        QCOMPARE(pressOk(d), QByteArray("emitted 0 times, dialog open"));
        QCOMPARE(boxes->seen, QStringList {QStringLiteral("Waring: Please provide the correct key %1").arg(slot)});
        boxes->seen.clear();
        auto *tabs = child<QTabWidget>(d, "tabs");
        QCOMPARE(tabs->tabText(tabs->currentIndex()), QStringLiteral("Key storage"));
        QCOMPARE(d->focusWidget(), child(d, name));

        // Put right, the same OK goes through with the key typed.
        const int digits
            = RfidTables::keyHexDigits(child<QComboBox>(d, QStringLiteral("cbKeyType%1").arg(slot))->currentIndex());
        change(d, name, QString(digits, 'c'));
        QCOMPARE(member(pressOk(d), "rfid", QStringLiteral("key%1").arg(slot)), QJsonValue(QString(digits, 'C')));
    }

    // ---- the RFID dialog's known tag list ----------------------------------------

    // The list through the window and the simulated reader: read, the tag on
    // the antenna added, an entry deleted, the list written and read back;
    // answers meant for others change nothing.
    void knownTagList()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        SimKnownTags &known = f.reader()->knownTags();
        known.setEntries({SimKnownTags::entry(0x08, hex("CA FE 00 01"))});
        f.reader()->tagField().placeTag(SimTag::ultralight(hex("04 A1 B2 C3 D4 E5 F6")));
        RequestLog requests(f.reader());
        QStringList steps; // the list and its label after each step
        pollingwindow *d = nullptr;
        const auto step = [&](const char *button, int count) {
            const int before = requests.list.size();
            QTest::mouseClick(child(d, button), Qt::LeftButton);
            auto *label = child<QLabel>(d, "labKnownTags");
            (void)QTest::qWaitFor(
                [&] {
                    return label->text().endsWith(QStringLiteral(" %1").arg(count)) && requests.list.size() > before;
                },
                3000);
            QTest::qWait(100); // no more answers on their way
            steps << label->text() + ": " + itemTexts(child<QListWidget>(d, "lvTags")).join(", ");
        };
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (!(d = qobject_cast<pollingwindow *>(QApplication::activeModalWidget())))
                return;
            poll.stop();
            step("btGetList", 1);
            step("btAdd", 2);
            auto *list = child<QListWidget>(d, "lvTags");
            list->setCurrentRow(0);
            QTest::mouseClick(child(d, "btDelete"), Qt::LeftButton);
            // Acknowledgements nobody asked for, before the write and after
            // its last (doubled, late), write nothing and show no box.
            f.injectAnswer(hex("00 18 02"));
            QTest::mouseClick(child(d, "btWrite2Device"), Qt::LeftButton);
            (void)QTest::qWaitFor([&] { return !boxes->seen.isEmpty(); }, 3000);
            f.injectAnswer(hex("00 18 03"));
            f.injectAnswer(hex("00 18 02"));
            list->clear();
            step("btGetList", 1);
            for (const char *other : {"FF 18 00 01", "00 18 09", "00 05", "00 03 01 08 11 22 33 44", "00", "18"})
                f.injectAnswer(hex(other));
            QTest::qWait(200);
            step("btGetList", 1);
            QTest::mouseClick(child(d, "btCancel"), Qt::LeftButton);
        });
        poll.start(50);
        f.click("btPollingConfiguration");
        QVERIFY(QTest::qWaitFor([&] { return d && !f.window()->findChild<pollingwindow *>(); }, 20000));
        const QString tag = QStringLiteral("[00] 04A1B2C3D4E5F6");
        QCOMPARE(steps,
                 (QStringList {"Known tag list - 1: [08] CAFE0001", "Known tag list - 2: [08] CAFE0001, " + tag,
                               "Known tag list - 1: " + tag, "Known tag list - 1: " + tag}));
        QCOMPARE(boxes->seen, QStringList {"Info: Tag list updated on the device"});
        boxes->seen.clear();
        QCOMPARE(known.entries(), QList<QByteArray> {SimKnownTags::entry(0x00, hex("04 A1 B2 C3 D4 E5 F6"))});
        QCOMPARE(requests.withCode(0x18),
                 (QList<QByteArray> {hex("18 00"), hex("18 01"), hex("18 02"), hex("18 03 00 04 A1 B2 C3 D4 E5 F6"),
                                     hex("18 00"), hex("18 01"), hex("18 00"), hex("18 01")}));
    }

    // ---- all three -----------------------------------------------------------

    // A document the dialog cannot edit: the warning, then the dialog closes
    // unseen, whether it was shown or run modally; nothing is emitted.
    void unusableDocument_data()
    {
        QTest::addColumn<QString>("dialog");
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<bool>("modal");
        const QByteArray notJson = "{\"communication\": {\"uart\": {}}, \"sleep\": {";
        for (const QString dialog : {"rfid", "uart", "sleep"}) {
            const QString key = dialog == "uart" ? "communication" : dialog;
            const auto with = [&](const char *what, const QJsonValue &section) {
                QJsonObject root = object(SimFileSystem::configDocument(SimFileSystem::ConfigR4));
                root.insert(key, section); // undefined: removed
                QTest::addRow("%s %s", qPrintable(dialog), what)
                    << dialog << text(root) << (section.isUndefined() || section.isArray());
            };
            QTest::addRow("%s not JSON", qPrintable(dialog)) << dialog << notJson << false;
            with("missing", QJsonValue::Undefined);
            with("null", QJsonValue::Null);
            with("array", QJsonArray {1});
        }
        QTest::newRow("rfid empty text") << "rfid" << QByteArray() << true;
    }
    void unusableDocument()
    {
        QFETCH(QString, dialog);
        QFETCH(QByteArray, document);
        QFETCH(bool, modal);
        std::unique_ptr<QDialog> d(openDialog(dialog, document));
        QCOMPARE(
            boxes->seen,
            QStringList {dialog == "sleep"
                             ? "Warning: Missing sleep section in the config file. Please update the device firmware."
                             : dialog == "uart"
                             ? "Waring: Missing communication section oin the config file"
                             : "Waring: Something went wrong. Please check if you have latest firmware in the "
                               "device"});
        boxes->seen.clear();
        QSignalSpy spy(d.get(), SIGNAL(updateConfiguration(QByteArray)));
        QSignalSpy finished(d.get(), &QDialog::finished);
        if (modal) {
            QDialog *running = d.get();
            QTimer::singleShot(2000, running, [running] { running->done(42); }); // a hung exec() fails, not blocks
            QCOMPARE(d->exec(), int(QDialog::Rejected));
        } else {
            d->show();
            // Never on the screen; closed from the event loop.
            QVERIFY(!d->isVisible() || d->testAttribute(Qt::WA_DontShowOnScreen));
            QTRY_COMPARE(finished.count(), 1);
        }
        QVERIFY(!d->isVisible());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(spy.count(), 0);
    }
};

QTEST_MAIN(TestConfigDialogs)
#include "tst_configdialogs.moc"
