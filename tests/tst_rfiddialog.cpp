// The RFID configuration dialog driven as the user and the reader would:
// documents go in as text, widgets are changed, OK is pressed and the
// emitted document is compared; the known-tag tab talks to a scripted reader
// that answers every payload with a crafted answer body.
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "config/pollingwindow.h"
#include "config/rfidtables.h"

namespace {

// An R4 reader (hardware 1) as it comes from the field, with keys of every
// kind and a few members this client does not know.
const char *const kR4Document = R"({
    "hardware_version": 1,
    "device_name": "Gate 3 reader",
    "communication": { "uart": { "uart0_protocol": 0, "uart0_speed": 115200, "uart2_flow": 1 } },
    "sleep": { "sleep_enabled": 0, "wakeup_source": 2 },
    "rfid": {
        "tech_support": 17,
        "rfid_power": 5,
        "polling_enabled": 1,
        "polling_timeout": 250,
        "ignore_timeout": 3000,
        "selected_antennas": 5,
        "check_all_ant": 0,
        "read_memory_en": 1,
        "read_memory_no": 4,
        "read_memory_count": 2,
        "read_memory_keyab": 1,
        "read_memory_keyno": 3,
        "read_df_app_id": 1193046,
        "read_df_reader_key": 1,
        "read_df_card_key": 2,
        "read_df_auth_type": 2,
        "read_df_comm_mode": 1,
        "read_df_file_id": 7,
        "read_df_file_offset": 16,
        "read_df_file_len": 32,
        "antenna_dwell_ms": 40,
        "known_tag": { "gpio": 16, "gpio_level": 1, "message": 4, "message_format": "%u;%a<CR><LF>",
                       "led_color": 2, "timeout": 500, "buzzer": 1 },
        "unknown_tag": { "gpio": 4, "gpio_level": 0, "message": 2, "message_format": "",
                         "led_color": 1, "timeout": 1200 },
        "keyType0": 6, "key0": "A0A1A2A3A4A5B0B1B2B3B4B5",
        "keyType1": 0, "key1": "000102030405060708090A0B0C0D0E0F",
        "keyType2": 2, "key2": "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF",
        "keyType3": 5, "key3": "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF",
        "keyType4": 3, "key4": "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
    }
})";

// An R5 reader (hardware 12): pins under "gpio_number", non-ASCII text.
const char *const kR5Document = R"({
    "hardware_version": 12,
    "serial": "R5-000731",
    "communication": { "uart": { "uart0_protocol": 2 } },
    "sleep": { "sleep_enabled": 1 },
    "rfid": {
        "tech_support": 1,
        "rfid_power": 0,
        "polling_enabled": 0,
        "polling_timeout": 100,
        "ignore_timeout": 0,
        "selected_antennas": 1,
        "check_all_ant": 1,
        "read_memory_en": 0,
        "read_memory_no": 0,
        "read_memory_count": 1,
        "read_memory_keyab": 0,
        "read_memory_keyno": 0,
        "read_df_app_id": 0,
        "read_df_reader_key": 0,
        "read_df_card_key": 0,
        "read_df_auth_type": 0,
        "read_df_comm_mode": 0,
        "read_df_file_id": 0,
        "read_df_file_offset": 0,
        "read_df_file_len": 1,
        "lpcd_threshold": 3,
        "known_tag": { "gpio_number": 3, "gpio_level": 0, "message": 4,
                       "message_format": "Záznam č. %u – 東京", "led_color": 4, "timeout": 100 },
        "unknown_tag": { "gpio_number": 255, "gpio_level": 1, "message": 0, "message_format": "",
                         "led_color": 0, "timeout": 1, "note": "spare" },
        "keyType0": 0, "key0": "2B7E151628AED2A6ABF7158809CF4F3C",
        "keyType1": 0, "key1": "00000000000000000000000000000000",
        "keyType2": 0, "key2": "00000000000000000000000000000000",
        "keyType3": 0, "key3": "00000000000000000000000000000000",
        "keyType4": 6, "key4": "FFFFFFFFFFFFFFFFFFFFFFFF"
    }
})";

QJsonObject parsed(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QString text(const QJsonObject &o)
{
    return QString::fromUtf8(QJsonDocument(o).toJson());
}

// R4 document with the "rfid" section changed by `edit`.
QString editedDocument(const char *base, const std::function<void(QJsonObject &)> &edit)
{
    QJsonObject root = parsed(base);
    QJsonObject rfid = root.value(QStringLiteral("rfid")).toObject();
    edit(rfid);
    root.insert(QStringLiteral("rfid"), rfid);
    return text(root);
}

QString withHardware(int hw, const std::function<void(QJsonObject &)> &edit)
{
    QJsonObject root = parsed(kR4Document);
    root.insert(QStringLiteral("hardware_version"), hw);
    QJsonObject rfid = root.value(QStringLiteral("rfid")).toObject();
    edit(rfid);
    root.insert(QStringLiteral("rfid"), rfid);
    return text(root);
}

QByteArray hex(const char *digits)
{
    return QByteArray::fromHex(QByteArray(digits).replace(' ', ""));
}

// Answers every message box that comes up: records its title and text and
// presses its default button.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            titles << box->windowTitle();
            texts << box->text();
            if (QAbstractButton *b = box->defaultButton())
                b->click();
            else
                box->close();
        });
        m_timer.start(10);
    }
    QStringList titles;
    QStringList texts;

private:
    QTimer m_timer;
};

struct Dialog
{
    explicit Dialog(const QString &doc)
        : dlg(new pollingwindow(nullptr, doc))
        , spy(dlg.get(), &pollingwindow::updateConfiguration)
    {
        dlg->show();
    }
    template<class T>
    T *w(const QString &name) const
    {
        T *child = dlg->findChild<T *>(name);
        if (!child)
            qWarning("no widget %s", qPrintable(name));
        return child;
    }
    // Clicked near the left edge: a check box reacts only on its box and text.
    void click(const char *name)
    {
        QAbstractButton *b = w<QAbstractButton>(name);
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(qMin(8, b->width() / 2), b->height() / 2));
    }
    QByteArray emitted() const { return spy.isEmpty() ? QByteArray() : spy.first().first().toByteArray(); }
    QJsonObject emittedRoot() const { return QJsonDocument::fromJson(emitted()).object(); }
    QJsonObject emittedRfid() const { return emittedRoot().value(QStringLiteral("rfid")).toObject(); }
    QJsonObject emittedEvent(const char *name) const
    {
        return emittedRfid().value(QString::fromLatin1(name)).toObject();
    }
    QStringList items(const char *combo) const
    {
        QStringList list;
        QComboBox *box = w<QComboBox>(combo);
        for (int i = 0; i < box->count(); ++i)
            list << box->itemText(i);
        return list;
    }

    std::unique_ptr<pollingwindow> dlg;
    QSignalSpy spy;
};

// The reader at the other end of the known-tag tab: records every payload
// and answers it with the body `script` gives (status, command, data), to
// which the two CRC bytes are added, the first already zeroed as the main
// window hands frames on. Answers come from the event loop, or from within
// the send when `immediate` is set.
class ScriptedReader
{
public:
    using Script = std::function<QByteArray(const QByteArray &payload)>;
    ScriptedReader(pollingwindow *dlg, Script script, bool immediate = false)
        : m_dlg(dlg)
        , m_script(std::move(script))
        , m_immediate(immediate)
    {
        QObject::connect(dlg, &pollingwindow::binaryFrameSend, dlg, [this](uint8_t *buff, int len) {
            const QByteArray payload(reinterpret_cast<const char *>(buff), len);
            sent << payload;
            const QByteArray answer = m_script(payload);
            if (answer.isEmpty())
                return;
            if (m_immediate)
                deliver(answer);
            else
                QTimer::singleShot(0, m_dlg, [this, answer] { deliver(answer); });
        });
    }
    void deliver(const QByteArray &body)
    {
        QByteArray frameBody = body + QByteArray("\x00\x5A", 2);
        uint8_t header[5] = {0xF5, uint8_t(frameBody.size()), 0, uint8_t(~frameBody.size()), 0xFF};
        m_dlg->binaryProtocolFrameComplete(header, sizeof header, reinterpret_cast<uint8_t *>(frameBody.data()),
                                           size_t(frameBody.size()));
    }
    QList<QByteArray> sent;

private:
    pollingwindow *m_dlg;
    Script m_script;
    bool m_immediate;
};

} // namespace

namespace QTest {
template<>
char *toString(const QJsonValue &value)
{
    const QJsonDocument doc(QJsonArray {value});
    return qstrdup(doc.toJson(QJsonDocument::Compact).constData());
}
} // namespace QTest

class TestRfidDialog : public QObject
{
    Q_OBJECT
private slots:
    // ---- reading and writing the section ---------------------------------

    void widgetsShowTheStoredValues()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        QVERIFY(d.w<QCheckBox>("cbMifareEn")->isChecked());
        QVERIFY(d.w<QCheckBox>("cbIcodeEn")->isChecked());
        QCOMPARE(d.w<QComboBox>("cbRfidPower")->currentText(), QStringLiteral("5"));
        QVERIFY(d.w<QCheckBox>("cbPollingEn")->isChecked());
        QCOMPARE(d.w<QSpinBox>("sbPollingTimeout")->value(), 250);
        // "selected_antennas": 5 is antennas 1 and 3.
        const char *ants[] = {"cbAnt1", "cbAnt2", "cbAnt3", "cbAnt4", "cbAnt5", "cbAnt6", "cbAnt7", "cbAnt8"};
        QList<bool> checked;
        for (const char *a : ants)
            checked << d.w<QCheckBox>(a)->isChecked();
        QCOMPARE(checked, (QList<bool> {true, false, true, false, false, false, false, false}));
        QCOMPARE(d.w<QComboBox>("cbReadTagMemory")->currentIndex(), 1);
        QCOMPARE(d.w<QLineEdit>("DsAppId")->text(), QStringLiteral("123456"));
        QCOMPARE(d.w<QComboBox>("cbDefinedGpio")->currentText(), QStringLiteral("GPIO 16"));
        QCOMPARE(d.w<QComboBox>("cbDefinedLed")->currentText(), QStringLiteral("Green"));
        QCOMPARE(d.w<QLineEdit>("teDefinedCustomText")->text(), QStringLiteral("%u;%a<CR><LF>"));
        QVERIFY(d.w<QLineEdit>("teDefinedCustomText")->isEnabled());
        QVERIFY(!d.w<QLineEdit>("teUndefinedCustomText")->isEnabled());
        QCOMPARE(d.w<QComboBox>("cbUndefinedGpio")->currentText(), QStringLiteral("GPIO 4"));
        QCOMPARE(d.w<QComboBox>("cbUndefinedLed")->currentText(), QStringLiteral("Red"));
        QCOMPARE(d.w<QComboBox>("cbKeyType0")->currentText(), QStringLiteral("MIFARE"));
        QCOMPARE(d.w<QLineEdit>("edKey0")->text(), QStringLiteral("A0 A1 A2 A3 A4 A5 B0 B1 B2 B3 B4 B5"));
        QCOMPARE(d.w<QLineEdit>("edKey0")->maxLength(), 36);
        QCOMPARE(d.w<QLineEdit>("edKey2")->maxLength(), 96);
        QCOMPARE(d.items("cbKeyType3"), RfidTables::keyTypeNames());
    }

    void oneTechnologyStaysSelected()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        auto *mifare = d.w<QCheckBox>("cbMifareEn");
        auto *icode = d.w<QCheckBox>("cbIcodeEn");
        d.click("cbIcodeEn");
        QVERIFY(mifare->isChecked() && !icode->isChecked());
        d.click("cbMifareEn"); // clearing the last one checks the other
        QVERIFY(!mifare->isChecked() && icode->isChecked());
        d.click("cbIcodeEn");
        QVERIFY(mifare->isChecked() && !icode->isChecked());
        d.click("btOK");
        QCOMPARE(d.emittedRfid().value("tech_support"), QJsonValue(1));
    }

    // Missing keys and a null event show and write the defaults.
    void missingKeysWrittenAsDefaults()
    {
        const QString doc = editedDocument(kR4Document, [](QJsonObject &rfid) {
            rfid.remove("polling_timeout"); // default 0, raised to 1
            rfid.remove("ignore_timeout");
            rfid.insert("known_tag", QJsonValue()); // null event: all defaults
        });
        Dialog d(doc);
        QCOMPARE(d.w<QSpinBox>("sbPollingTimeout")->value(), 1);
        d.click("btOK");
        const QJsonObject rfid = d.emittedRfid();
        QCOMPARE(rfid.value("polling_timeout"), QJsonValue(1));
        QCOMPARE(rfid.value("ignore_timeout"), QJsonValue(0));
        QCOMPARE(d.emittedEvent("known_tag"),
                 (QJsonObject {{"gpio", 0},
                               {"gpio_level", 0},
                               {"message", 0},
                               {"message_format", ""},
                               {"led_color", 0},
                               {"timeout", 1}}));
    }

    void storedCodesWithoutAnItemAreKept()
    {
        const QString doc = editedDocument(kR4Document, [](QJsonObject &rfid) {
            rfid.insert("rfid_power", 9);
            rfid.insert("read_memory_keyab", -1);
            rfid.insert("read_df_auth_type", 7);
            rfid.insert("keyType2", 9);
            rfid.insert("key2", "0011");
            QJsonObject known = rfid.value("known_tag").toObject();
            known.insert("gpio_level", 5);
            known.insert("message", 8);
            rfid.insert("known_tag", known);
        });
        Dialog d(doc);
        for (const char *name :
             {"cbRfidPower", "cbMifareKey", "DsAuthType", "cbKeyType2", "cbDefinedGpioAction", "cbDefinedAsyncPacket"})
            QVERIFY2(d.w<QComboBox>(name)->currentIndex() == -1, name);
        QVERIFY(!d.w<QLineEdit>("teDefinedCustomText")->isEnabled());
        d.click("btOK");
        QCOMPARE(d.emitted(), doc.toUtf8());

        // Picking an item replaces the stored code.
        Dialog e(doc);
        e.w<QComboBox>("cbRfidPower")->setCurrentIndex(2);
        e.w<QComboBox>("cbKeyType2")->setCurrentIndex(6);
        QTest::keyClicks(e.w<QLineEdit>("edKey2"), "0102030405060708090a0b0c");
        e.click("btOK");
        QCOMPARE(e.emittedRfid().value("rfid_power"), QJsonValue(2));
        QCOMPARE(e.emittedRfid().value("keyType2"), QJsonValue(6));
        QCOMPARE(e.emittedRfid().value("key2"), QJsonValue("0102030405060708090A0B0C"));
        QCOMPARE(e.emittedRfid().value("read_df_auth_type"), QJsonValue(7));
    }

    // ---- hardware variants -------------------------------------------------

    void hardwareLists_data()
    {
        QTest::addColumn<int>("hw");
        QTest::addColumn<QStringList>("gpio");
        QTest::addColumn<QStringList>("led");
        QTest::addColumn<bool>("antennas");
        QTest::addColumn<bool>("r5");
        const QStringList all {"None", "Red", "Green", "Blue", "White"};
        QTest::newRow("0") << 0 << QStringList() << QStringList() << false << false;
        QTest::newRow("1") << 1 << QStringList {"None", "GPIO 4", "GPIO 5", "GPIO 16", "GPIO 17"} << all << false
                           << false;
        QTest::newRow("2") << 2 << QStringList() << all << true << false;
        QTest::newRow("3") << 3 << QStringList {"None", "GPIO 14", "GPIO 15", "GPIO 26"}
                           << QStringList {"None", "Green"} << false << false;
        QTest::newRow("4") << 4 << QStringList {"None", "GPIO 2", "GPIO 21", "GPIO 32", "GPIO 33"} << all << false
                           << false;
        QTest::newRow("5") << 5 << QStringList() << QStringList() << false << false;
        QTest::newRow("6") << 6 << QStringList {"None", "GPIO 2", "GPIO 21", "GPIO 32", "GPIO 33"} << all << false
                           << false;
        QTest::newRow("7") << 7 << QStringList {"None", "GPIO 14", "GPIO 15", "GPIO 26"} << all << false << false;
        QTest::newRow("8") << 8 << QStringList() << all << true << false;
        QTest::newRow("12") << 12 << QStringList {"GPIO 0", "GPIO 1", "GPIO 2", "GPIO 3", "GPIO 4", "GPIO 5", "NONE"}
                            << all << false << true;
        QTest::newRow("13") << 13 << QStringList() << QStringList() << false << false;
    }
    void hardwareLists()
    {
        QFETCH(int, hw);
        QFETCH(QStringList, gpio);
        QFETCH(QStringList, led);
        QFETCH(bool, antennas);
        QFETCH(bool, r5);
        Dialog d(withHardware(hw, [](QJsonObject &) {}));
        QCOMPARE(d.items("cbDefinedGpio"), gpio);
        QCOMPARE(d.items("cbUndefinedGpio"), gpio);
        QCOMPARE(d.items("cbDefinedLed"), led);
        QCOMPARE(d.items("cbUndefinedLed"), led);
        for (const char *name : {"cbAnt1", "cbAnt5", "cbAnt8", "cbKnownTagsOnAll"})
            QCOMPARE(d.w<QCheckBox>(name)->isEnabled(), antennas);
        QCOMPARE(d.w<QWidget>("WidgetRfidPower")->isVisible(), !r5);
        QStringList memory {"Off", "Mifare Classic, Ultralight, NTAG, ICODE"};
        if (!r5)
            memory << "Mifare Desfire";
        QCOMPARE(d.items("cbReadTagMemory"), memory);

        // Antennas 1 and 3 stored; only enabled boxes take the user's click.
        d.click("cbAnt3");
        d.click("cbAnt8");
        d.click("btOK");
        QCOMPARE(d.emittedRfid().value("selected_antennas"), QJsonValue(antennas ? 1 + 128 : 1 + 4));
    }

    void pinAndLedByHardware_data()
    {
        QTest::addColumn<int>("hw");
        QTest::addColumn<QJsonValue>("pin"); // undefined: key absent
        QTest::addColumn<int>("led");
        QTest::addColumn<QString>("pinShown");
        QTest::addColumn<QString>("ledShown");
        const QJsonValue absent(QJsonValue::Undefined);
        QTest::newRow("R5 pin absent") << 12 << absent << 1 << "NONE"
                                       << "Red";
        QTest::newRow("R5 pin 3") << 12 << QJsonValue(3) << 4 << "GPIO 3"
                                  << "White";
        QTest::newRow("R5 pin 9 unknown") << 12 << QJsonValue(9) << 0 << "GPIO 0"
                                          << "None";
        QTest::newRow("R4 pin 255") << 1 << QJsonValue(255) << 2 << "None"
                                    << "Green";
        QTest::newRow("R4 pin 16") << 1 << QJsonValue(16) << 3 << "GPIO 16"
                                   << "Blue";
        QTest::newRow("R4 pin 14 unknown") << 1 << QJsonValue(14) << 1 << "None"
                                           << "Red";
        QTest::newRow("R4 pin as text") << 1 << QJsonValue("16") << 1 << "None"
                                        << "Red";
        QTest::newRow("hw 3 led 3") << 3 << QJsonValue(26) << 3 << "GPIO 26"
                                    << "None";
        QTest::newRow("hw 3 led 2") << 3 << QJsonValue(15) << 2 << "GPIO 15"
                                    << "Green";
        QTest::newRow("led beyond table") << 1 << QJsonValue(4) << 9 << "GPIO 4"
                                          << "None";
        QTest::newRow("led negative") << 4 << QJsonValue(33) << -1 << "GPIO 33"
                                      << "None";
        QTest::newRow("no lists keeps both") << 0 << QJsonValue(16) << 3 << ""
                                             << "";
        QTest::newRow("no pin list keeps pin") << 2 << QJsonValue(4) << 4 << ""
                                               << "White";
    }
    void pinAndLedByHardware()
    {
        QFETCH(int, hw);
        QFETCH(QJsonValue, pin);
        QFETCH(int, led);
        QFETCH(QString, pinShown);
        QFETCH(QString, ledShown);
        const QString pinKey = hw == 12 ? QStringLiteral("gpio_number") : QStringLiteral("gpio");
        const QString doc = withHardware(hw, [&](QJsonObject &rfid) {
            QJsonObject ev {{"gpio_level", 0}, {"message", 1}, {"led_color", led}, {"timeout", 50}};
            if (!pin.isUndefined())
                ev.insert(pinKey, pin);
            rfid.insert("unknown_tag", ev);
        });
        Dialog d(doc);
        QCOMPARE(d.w<QComboBox>("cbUndefinedGpio")->currentText(), pinShown);
        QCOMPARE(d.w<QComboBox>("cbUndefinedLed")->currentText(), ledShown);
    }

    void pinKeyFollowsEachDocument()
    {
        // An R5 document that still carries an R4 "gpio" key, then an R4 one:
        // each dialog reads and writes the key of its own document.
        const QString r4 = QString::fromUtf8(kR4Document);
        QJsonObject root = parsed(kR5Document);
        QJsonObject rfid = root.value("rfid").toObject();
        QJsonObject known {{"gpio", 5}, {"led_color", 0}, {"timeout", 10}};
        rfid.insert("known_tag", known);
        root.insert("rfid", rfid);
        {
            Dialog d(text(root));
            QCOMPARE(d.w<QComboBox>("cbDefinedGpio")->currentText(), QStringLiteral("NONE"));
            d.click("btOK");
            QCOMPARE(d.emittedEvent("known_tag").value("gpio_number"), QJsonValue(255));
            QCOMPARE(d.emittedEvent("known_tag").value("gpio"), QJsonValue(5));
        }
        {
            Dialog d(r4);
            d.click("btOK");
            QCOMPARE(d.emittedEvent("known_tag").value("gpio"), QJsonValue(16));
            QVERIFY(!d.emittedEvent("known_tag").contains("gpio_number"));
        }
    }

    void widgetsFollowTheChoices()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        auto shown = [&d](const char *prefix, int count) {
            int visible = 0;
            for (int i = 1; i <= count; ++i)
                visible += d.w<QWidget>(QStringLiteral("%1%2").arg(prefix).arg(i))->isVisible();
            return visible;
        };
        auto *box = d.w<QComboBox>("cbReadTagMemory");
        QCOMPARE(shown("WidgetRead_", 4), 4);
        QCOMPARE(shown("WidgetDesfire_", 8), 0);
        box->setCurrentIndex(2);
        QCOMPARE(shown("WidgetRead_", 4), 0);
        QCOMPARE(shown("WidgetDesfire_", 8), 8);
        box->setCurrentIndex(0);
        QCOMPARE(shown("WidgetRead_", 4), 0);
        QCOMPARE(shown("WidgetDesfire_", 8), 0);

        // The custom text only with the packet "Custom text".
        auto *packet = d.w<QComboBox>("cbUndefinedAsyncPacket");
        auto *text = d.w<QLineEdit>("teUndefinedCustomText");
        QVERIFY(!text->isEnabled());
        packet->setCurrentIndex(4);
        QVERIFY(text->isEnabled());
        packet->setCurrentIndex(3);
        QVERIFY(!text->isEnabled());
    }

    void desfireReadOnR5IsKept()
    {
        QJsonObject root = parsed(kR5Document);
        QJsonObject rfid = root.value("rfid").toObject();
        rfid.insert("read_memory_en", 2);
        root.insert("rfid", rfid);
        Dialog d(text(root));
        QCOMPARE(d.w<QComboBox>("cbReadTagMemory")->currentIndex(), -1);
        QVERIFY(d.w<QWidget>("WidgetDesfire_1")->isVisible());
        d.click("btOK");
        QCOMPARE(d.emitted(), text(root).toUtf8());
    }

    // ---- key storage ---------------------------------------------------------

    void keyLengthFollowsTheType()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        auto *type = d.w<QComboBox>("cbKeyType1");
        auto *edit = d.w<QLineEdit>("edKey1");
        const int expected[] = {48, 72, 96, 48, 48, 72, 36};
        for (int i = 0; i < 7; ++i) {
            type->setCurrentIndex(i);
            QCOMPARE(edit->maxLength(), expected[i]);
        }
    }

    void wrongKeyKeepsTheDialogOpen_data()
    {
        QTest::addColumn<int>("slot");
        QTest::addColumn<QString>("typed");
        QTest::newRow("six bytes in slot 0") << 0 << QStringLiteral("00 11 22 33 44 55");
        QTest::newRow("empty slot 3") << 3 << QString();
        QTest::newRow("one digit short in slot 4") << 4 << QString(31, QLatin1Char('F'));
    }
    void wrongKeyKeepsTheDialogOpen()
    {
        QFETCH(int, slot);
        QFETCH(QString, typed);
        Dialog d(QString::fromUtf8(kR4Document));
        auto *edit = d.w<QLineEdit>(QStringLiteral("edKey%1").arg(slot));
        if (slot == 0)
            d.w<QComboBox>("cbKeyType0")->setCurrentIndex(6);
        edit->clear();
        QTest::keyClicks(edit, typed);
        BoxAnswerer boxes;
        d.click("btOK");
        QCOMPARE(boxes.titles, QStringList {"Waring"});
        QCOMPARE(boxes.texts, QStringList {QStringLiteral("Please provide the correct key %1").arg(slot)});
        QCOMPARE(d.spy.count(), 0);
        QVERIFY(d.dlg->isVisible());
        QCOMPARE(d.w<QTabWidget>("tabs")->tabText(d.w<QTabWidget>("tabs")->currentIndex()),
                 QStringLiteral("Key storage"));
        QCOMPARE(d.dlg->focusWidget(), edit);

        // Put right, the same OK goes through.
        edit->clear();
        QTest::keyClicks(
            edit,
            QString(RfidTables::keyHexDigits(d.w<QComboBox>(QStringLiteral("cbKeyType%1").arg(slot))->currentIndex()),
                    QLatin1Char('C')));
        d.click("btOK");
        QCOMPARE(d.spy.count(), 1);
        QCOMPARE(boxes.texts.size(), 1);
    }

    void storedKeyTheFieldCannotHoldIsRefused_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("refused");
        QTest::newRow("too long for AES128") << QString(64, QLatin1Char('A')) << true;
        QTest::newRow("not hex") << QStringLiteral("0123456789ABCDEF0123456789ABCDEG") << true;
        QTest::newRow("lower case") << QStringLiteral("0123456789abcdef0123456789abcdef") << false;
        QTest::newRow("with blanks") << QStringLiteral("01 23 45 67 89 AB CD EF 01 23 45 67 89 AB CD EF") << false;
    }
    // A stored key is checked without its blanks and kept as it is; one the
    // field cannot show (cut to its limit, a 64-digit key under AES128 would
    // leave a plausible 16-byte key) is refused until the user types one.
    void storedKeyTheFieldCannotHoldIsRefused()
    {
        QFETCH(QString, stored);
        QFETCH(bool, refused);
        const QString doc = editedDocument(kR4Document, [&](QJsonObject &rfid) {
            rfid.insert("keyType1", 0);
            rfid.insert("key1", stored);
        });
        Dialog d(doc);
        BoxAnswerer boxes;
        d.click("btOK");
        if (!refused) {
            QCOMPARE(d.emitted(), doc.toUtf8());
            return;
        }
        QCOMPARE(boxes.texts, QStringList {"Please provide the correct key 1"});
        QCOMPARE(d.spy.count(), 0);
        // Once the user has typed the key, it is taken.
        auto *edit = d.w<QLineEdit>("edKey1");
        edit->clear();
        QTest::keyClicks(edit, QString(32, QLatin1Char('b')));
        d.click("btOK");
        QCOMPARE(d.spy.count(), 1);
        QCOMPARE(d.emittedRfid().value("key1"), QJsonValue(QString(32, QLatin1Char('B'))));
    }

    // ---- opening, cancelling, help -----------------------------------------

    void unusableSectionClosesTheDialog_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<bool>("runModal");
        const QString missing = QStringLiteral("{\"hardware_version\": 1, \"sleep\": {}}");
        const QString null = QStringLiteral("{\"hardware_version\": 12, \"rfid\": null}");
        const QString array = QStringLiteral("{\"hardware_version\": 1, \"rfid\": [1, 2]}");
        const QString notJson = QStringLiteral("{\"hardware_version\": 1, \"rfid\": {");
        QTest::newRow("missing, exec") << missing << true;
        QTest::newRow("missing, show") << missing << false;
        QTest::newRow("null, exec") << null << true;
        QTest::newRow("array, show") << array << false;
        QTest::newRow("not JSON, exec") << notJson << true;
        QTest::newRow("not JSON, show") << notJson << false;
        QTest::newRow("empty text, exec") << QString() << true;
    }
    void unusableSectionClosesTheDialog()
    {
        QFETCH(QString, document);
        QFETCH(bool, runModal);
        BoxAnswerer boxes;
        pollingwindow dlg(nullptr, document);
        QSignalSpy spy(&dlg, &pollingwindow::updateConfiguration);
        QCOMPARE(boxes.titles, QStringList {"Waring"});
        QCOMPARE(boxes.texts,
                 QStringList {"Something went wrong. Please check if you have latest firmware in the device"});
        QVERIFY(dlg.failed());
        if (runModal) {
            // Should exec() not return by itself, end it with a marker result.
            QTimer::singleShot(5000, &dlg, [&dlg] { dlg.done(42); });
            QCOMPARE(dlg.exec(), int(QDialog::Rejected));
        } else {
            dlg.show();
            QTRY_VERIFY(!dlg.isVisible());
            QCOMPARE(dlg.result(), int(QDialog::Rejected));
        }
        QCOMPARE(spy.count(), 0);
        QCOMPARE(boxes.texts.size(), 1);
    }

    void cancelEmitsNothing()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        d.w<QComboBox>("cbRfidPower")->setCurrentIndex(1);
        d.click("btCancel");
        QVERIFY(!d.dlg->isVisible());
        QCOMPARE(d.dlg->result(), int(QDialog::Rejected));
        QCOMPARE(d.spy.count(), 0);
    }

    void formatHelp()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        BoxAnswerer boxes;
        d.click("pushButton");
        d.click("pushButton_2");
        const QString help = QStringLiteral(
            "%u -\ttag UID\n%a - \tantenna index\n%m - \tmemory content (only if reading memory is setup correctly)\n"
            "%i - \tidx msg/tag counter since restart\n%t - \ttimestamp in milliseconds\n<CR> - \tCarriage return\n"
            "<LF> - \tLine feed");
        QCOMPARE(boxes.titles, (QStringList {"Info", "Info"}));
        QCOMPARE(boxes.texts, (QStringList {help, help}));
        QCOMPARE(d.spy.count(), 0);
    }

    // ---- known tag list ------------------------------------------------------

    void readingTheList()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        auto *list = d.w<QListWidget>("lvTags");
        auto *label = d.w<QLabel>("labKnownTags");
        QCOMPARE(label->text(), QStringLiteral("Known tag list"));
        // The reader's list, one entry answer per request, then the end.
        QList<QByteArray> entries {hex("07 04 A1 B2 C3 D4 E5 F6"), hex("2C 11 22 33 44")};
        QByteArray end = hex("00 18 01");
        int next = 0;
        QString labelWhileReading;
        ScriptedReader reader(d.dlg.get(), [&](const QByteArray &p) -> QByteArray {
            if (p == hex("18 00")) {
                labelWhileReading = label->text();
                next = 0;
            } else if (p != hex("18 01")) {
                return {};
            }
            return next < entries.size() ? hex("00 18") + entries.at(next++) : end;
        });
        d.click("btGetList");
        QTRY_COMPARE(label->text(), QStringLiteral("Known tag list - 2"));
        QCOMPARE(labelWhileReading, QStringLiteral("Known tag list - updating please wait..."));
        QCOMPARE(reader.sent, (QList<QByteArray> {hex("18 00"), hex("18 01"), hex("18 01")}));
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->text(), QStringLiteral("[07] 04A1B2C3D4E5F6"));
        QCOMPARE(list->item(1)->text(), QStringLiteral("[2C] 11223344"));

        // Reading again starts from an empty list; a bare acknowledgement
        // ends the list as well.
        entries.removeFirst();
        end = hex("00 18");
        reader.sent.clear();
        d.click("btGetList");
        QTRY_COMPARE(label->text(), QStringLiteral("Known tag list - 1"));
        QCOMPARE(list->item(0)->text(), QStringLiteral("[2C] 11223344"));
        QCOMPARE(reader.sent, (QList<QByteArray> {hex("18 00"), hex("18 01")}));
        QCOMPARE(d.spy.count(), 0);
    }

    void writingTheList_data()
    {
        QTest::addColumn<bool>("immediate");
        QTest::newRow("answers from the event loop") << false;
        QTest::newRow("answers within the send") << true;
    }
    void writingTheList()
    {
        QFETCH(bool, immediate);
        Dialog d(QString::fromUtf8(kR4Document));
        auto *list = d.w<QListWidget>("lvTags");
        const uint8_t uidA[] = {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
        const uint8_t uidB[] = {0xDE, 0xAD, 0xBE, 0xEF};
        const uint8_t uidC[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
        list->addItem(pollingwindow::knownTagEntry(0x07, uidA, sizeof uidA));
        list->addItem(pollingwindow::knownTagEntry(0x00, uidB, sizeof uidB));
        list->addItem(pollingwindow::knownTagEntry(0xFF, uidC, sizeof uidC));
        QCOMPARE(list->item(0)->text(), QStringLiteral("[07] 04A1B2C3D4E5F6"));

        // The middle entry goes; the rest is written in list order.
        list->item(1)->setSelected(true);
        d.click("btDelete");
        QCOMPARE(list->count(), 2);

        ScriptedReader reader(
            d.dlg.get(),
            [](const QByteArray &p) -> QByteArray {
                if (p == hex("18 02"))
                    return hex("00 18 02");
                if (p.startsWith(hex("18 03")))
                    return hex("00 18 03");
                return {};
            },
            immediate);
        BoxAnswerer boxes;
        // An acknowledgement nobody asked for writes nothing.
        reader.deliver(hex("00 18 02"));
        QCOMPARE(reader.sent, QList<QByteArray> {});
        d.click("btWrite2Device");
        QTRY_COMPARE(boxes.texts, QStringList {"Tag list updated on the device"});
        QCOMPARE(boxes.titles, QStringList {"Info"});
        QCOMPARE(reader.sent,
                 (QList<QByteArray> {hex("18 02"), hex("18 03 07 04 A1 B2 C3 D4 E5 F6"),
                                     hex("18 03 FF 01 02 03 04 05 06 07 08 09 0A")}));
        QCOMPARE(list->count(), 2);
        // Nor do those after the last (doubled, late): no box for each.
        reader.deliver(hex("00 18 03"));
        reader.deliver(hex("00 18 02"));
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        QCOMPARE(boxes.texts.size(), 1);
        QCOMPARE(reader.sent.size(), 3);
    }

    void writingAnEmptyList()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        ScriptedReader reader(d.dlg.get(), [](const QByteArray &p) -> QByteArray {
            return p == hex("18 02") ? hex("00 18 02") : QByteArray();
        });
        BoxAnswerer boxes;
        d.click("btWrite2Device");
        QTRY_COMPARE(boxes.texts, QStringList {"Tag list updated on the device"});
        QCOMPARE(reader.sent, QList<QByteArray> {hex("18 02")});
    }

    void addingFromTheAntenna()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        auto *list = d.w<QListWidget>("lvTags");
        auto *label = d.w<QLabel>("labKnownTags");
        // The main window follows a non-zero count with "Get UID"; here the
        // count answer and the UID answer are handed in directly.
        ScriptedReader reader(d.dlg.get(), [](const QByteArray &) { return QByteArray(); });
        d.click("btAdd");
        QCOMPARE(reader.sent, QList<QByteArray> {hex("02")});

        reader.deliver(hex("00 02 00")); // no tag in the field
        QCOMPARE(list->count(), 0);
        QCOMPARE(label->text(), QStringLiteral("Known tag list"));

        reader.deliver(hex("00 03 01 07 04 A1 B2 C3")); // type, bracket, UID
        QCOMPARE(list->count(), 1);
        QCOMPARE(list->item(0)->text(), QStringLiteral("[07] 04A1B2C3"));
        QCOMPARE(label->text(), QStringLiteral("Known tag list - 1"));
        reader.deliver(hex("00 03 01 07 04 A1 B2 C3")); // the same tag again
        QCOMPARE(list->count(), 2);

        list->clear();
        reader.deliver(hex("00 03 01 07")); // no UID: label only
        QCOMPARE(list->count(), 0);
        QCOMPARE(label->text(), QStringLiteral("Known tag list - 0"));
        QCOMPARE(reader.sent.size(), 1);
    }

    void otherAnswersAreIgnored()
    {
        Dialog d(QString::fromUtf8(kR4Document));
        auto *list = d.w<QListWidget>("lvTags");
        auto *label = d.w<QLabel>("labKnownTags");
        ScriptedReader reader(d.dlg.get(), [](const QByteArray &) { return QByteArray(); });
        reader.deliver(hex("FF 18 00 01 22 33 44")); // error answer
        reader.deliver(hex("FE 18 07 04 A1 B2 C3")); // event
        reader.deliver(hex("FF 03 01 07 04 A1 B2 C3"));
        reader.deliver(hex("00 05 07 04 A1 B2 C3")); // another command
        reader.deliver(hex("00 18 09")); // unknown sub-command
        QCOMPARE(reader.sent, QList<QByteArray> {});
        QCOMPARE(list->count(), 0);
        QCOMPARE(label->text(), QStringLiteral("Known tag list"));
        uint8_t tiny[3] = {0x00, 0x18, 0x00};
        uint8_t header[5] = {0xF5, 3, 0, 0xFC, 0xFF};
        d.dlg->binaryProtocolFrameComplete(header, 5, tiny, 3);
        d.dlg->binaryProtocolFrameComplete(header, 5, tiny, 0);
        QCOMPARE(label->text(), QStringLiteral("Known tag list"));
        QCOMPARE(d.spy.count(), 0);
    }
};

QTEST_MAIN(TestRfidDialog)
#include "tst_rfiddialog.moc"
