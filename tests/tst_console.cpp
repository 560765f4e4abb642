// The command console's plain rules: hexadecimal input and payload packing,
// over the catalogue the program carries.
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include "console/catalogue.h"
#include "console/hexvalidator.h"
#include "support/bytes.h"
#include "console/requestbuilder.h"

namespace {

QJsonObject command(const QJsonArray &catalogue, int code)
{
    for (const QJsonValue &v : catalogue)
        if (v.toObject().value(QStringLiteral("value")).toInt() == code)
            return v.toObject();
    return {};
}

} // namespace

class TestConsole : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { Q_INIT_RESOURCE(resources); }

    // The program carries the shipped catalogue, command by command and
    // field by field: a stale or mistyped copy would send other bytes than
    // the ones the catalogue names.
    void embeddedCatalogueIsTheShippedOne()
    {
        const QJsonArray shipped
            = readCommandCatalogue(qEnvironmentVariable("RX_TEST_SOURCE_DIR") + "/resources/commands.json");
        const QJsonArray embedded = readCommandCatalogue();
        QVERIFY(!shipped.isEmpty());
        QCOMPARE(embedded.size(), shipped.size());
        for (int i = 0; i < shipped.size(); ++i) {
            const QJsonObject want = shipped[i].toObject();
            const QJsonObject have = embedded[i].toObject();
            QCOMPARE(have.keys(), want.keys());
            for (const QString &key : want.keys())
                QVERIFY2(have.value(key) == want.value(key), qPrintable(want.value("name").toString() + ": " + key));
        }
    }

    // Hexadecimal input as typed (the cursor stays behind what was typed)
    // and as put right when the field is left (pos -1).
    void hexInput_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("pos");
        QTest::addColumn<QString>("output");
        QTest::addColumn<int>("newPos");
        QTest::newRow("third digit") << "123" << 3 << "12 3" << 4;
        QTest::newRow("colon typed") << "12:" << 3 << "12" << 2;
        QTest::newRow("g typed at end") << "12 3g" << 5 << "12 3" << 4;
        QTest::newRow("insert in middle") << "1a2 34" << 2 << "1A 23 4" << 3;
        QTest::newRow("cursor at start") << "ab" << 0 << "AB" << 0;
        QTest::newRow("lands before a blank") << "12 34" << 2 << "12 34" << 3;
        QTest::newRow("empty") << "" << 0 << "" << 0;
        QTest::newRow("fixup separators") << "0a:1b-2" << -1 << "0A 1B 2" << -1;
        QTest::newRow("fixup junk only") << "g:-" << -1 << "" << -1;
        QTest::newRow("fixup extra blanks") << "  a   b c " << -1 << "AB C" << -1;
    }
    void hexInput()
    {
        QFETCH(QString, input);
        QFETCH(int, pos);
        QFETCH(QString, output);
        QFETCH(int, newPos);
        HexValidator v;
        if (pos < 0)
            v.fixup(input);
        else
            QCOMPARE(v.validate(input, pos), QValidator::Acceptable);
        QCOMPARE(input, output);
        QCOMPARE(pos, newPos);
    }

    // The payload built from the fields of a catalogue command, or the field
    // reported first when one is missing or out of range.
    void payloads_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QByteArray>("payload"); // empty: refused
        QTest::addColumn<int>("failed");
        QTest::newRow("get firmware version") << 0x0B << QStringList {} << hex("0B") << -1;
        QTest::newRow("get uid") << 0x03 << QStringList {"2"} << hex("03 02") << -1;
        QTest::newRow("get uid 255") << 0x03 << QStringList {"255"} << hex("03 FF") << -1;
        QTest::newRow("get uid 256") << 0x03 << QStringList {"256"} << QByteArray() << 0;
        QTest::newRow("gpio no timeout") << 0x0E << QStringList {"1", "4", ""} << hex("0E 01 04") << -1;
        QTest::newRow("gpio timeout 65000") << 0x0E << QStringList {"1", "4", "65000"} << hex("0E 01 04 E8 FD") << -1;
        QTest::newRow("gpio timeout 65001") << 0x0E << QStringList {"1", "4", "65001"} << QByteArray() << 2;
        QTest::newRow("gpio without pin") << 0x0E << QStringList {"1", "", ""} << QByteArray() << 1;
        QTest::newRow("led") << 0x14 << QStringList {"FF 00 80", "500"} << hex("14 FF 00 80 F4 01") << -1;
        QTest::newRow("led without colour") << 0x14 << QStringList {"", "500"} << QByteArray() << 0;
        QTest::newRow("ul increment") << 0x47 << QStringList {"2", "70000"} << hex("47 02 70 11 01") << -1;
        QTest::newRow("ul increment 2^24-1") << 0x47 << QStringList {"2", "16777215"} << hex("47 02 FF FF FF") << -1;
        QTest::newRow("ul increment 2^24") << 0x47 << QStringList {"2", "16777216"} << QByteArray() << 1;
        QTest::newRow("fopen") << 0xE0 << QStringList {"00", "config.json"} << (hex("E0 00") + "config.json") << -1;
        QTest::newRow("pn eeprom empty") << 0xF3 << QStringList {"", ""} << hex("F3") << -1;
        QTest::newRow("single hex digit") << 0xF3 << QStringList {"7", ""} << hex("F3 07") << -1;
    }
    void payloads()
    {
        QFETCH(int, code);
        QFETCH(QStringList, fields);
        QFETCH(QByteArray, payload);
        QFETCH(int, failed);
        const QJsonObject cmd = command(readCommandCatalogue(), code);
        QVERIFY(!cmd.isEmpty());
        const RequestBuildResult r = RequestBuilder::build(cmd, fields);
        QCOMPARE(r.failedArgument, failed);
        QCOMPARE(r.ok() ? r.payload : QByteArray(), payload);
    }

    // A payload over 255 bytes is refused, not written past its buffer.
    void longestPayload()
    {
        QJsonObject big {{"value", 0x70}, {"args", QJsonArray {QJsonObject {{"name", "t"}, {"type", "text"}}}}};
        QVERIFY(RequestBuilder::build(big, {QString(254, 'x')}).ok());
        QCOMPARE(RequestBuilder::build(big, {QString(255, 'x')}).failedArgument, 0);
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "tst_console.moc"
