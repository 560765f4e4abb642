// The address tag record, and the two tag tools of the polling tab (address
// tag write/read, loop test) against Ultralight and other tags on the
// simulated reader.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtEndian>

#include "sim/simtags.h"
#include "support/requestlog.h"
#include "support/windowfixture.h"
#include "workflows/addresstag.h"

namespace {

const QByteArray UlUid = hex("04 11 22 33 44 55 66");

// An Ultralight whose pages 4 and 5 hold record.
SimTag ultralightWith(const QByteArray &record)
{
    SimTag tag = SimTag::ultralight(UlUid);
    tag.memory.replace(4 * SimTag::kPageSize, record.size(), record);
    return tag;
}

QString statistics(int notFound, int found, int retry, int errors)
{
    return QString::asprintf("Not found: %d\tFound:%d\nRetry: %d   \tErrors:%d", notFound, found, retry, errors);
}

QString caption(WindowFixture &f)
{
    return f.widget<QPushButton>("btLoopTest")->text();
}

// The polling tab's buttons take clicks only while the tab is shown.
void press(WindowFixture &f, const char *button)
{
    f.widget<QTabWidget>("tabs")->setCurrentWidget(f.widget<QWidget>("tab_4"));
    f.click(button);
}

} // namespace

class TestTagTests : public QObject
{
    Q_OBJECT
private slots:
    void writeAddressTag()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        RequestLog requests(f.reader());

        // No address: nothing is sent.
        f.widget<QLineEdit>("leDeviceAddress")->clear();
        press(f, "btWriteAddressTag");
        QVERIFY(f.logText().contains("Please enter correct tag address defice address!"));
        QTest::qWait(100);
        QVERIFY(requests.list.isEmpty());

        f.reader()->tagField().placeTag(SimTag::ultralight(UlUid));
        f.widget<QLineEdit>("leDeviceAddress")->setText("05");
        f.widget<QCheckBox>("cbTagTerminated")->setChecked(false);
        press(f, "btWriteAddressTag");
        QVERIFY(f.waitForLog("Address tag written successful."));
        QVERIFY(f.waitForLog("HALT done"));
        QCOMPARE(requests.list,
                 (QList<QByteArray> {hex("02"), hex("03 00"), hex("04 00"), hex("41 04 02 47 78 30 31 05 00 63 92"),
                                     hex("05")}));
        QCOMPARE(f.reader()->tagField().tags().at(0).pages(4, 2), hex("47 78 30 31 05 00 63 92"));
        QVERIFY(!w->oneShotTimer->isActive());

        // Not an Ultralight: the chain ends after the UID.
        f.reader()->tagField().clear();
        f.reader()->tagField().placeTag(SimTag::classic(hex("CA FE 00 01")));
        requests.list.clear();
        press(f, "btWriteAddressTag");
        QVERIFY(f.waitForLog("Ultralight TAG needed for address tag."));
        QTest::qWait(150);
        QCOMPARE(requests.list, (QList<QByteArray> {hex("02"), hex("03 00")}));
        QVERIFY(!w->oneShotTimer->isActive());

        // No tag at all.
        f.reader()->tagField().clear();
        requests.list.clear();
        const int none = f.logCount("No tag detected");
        press(f, "btReadAddressTag");
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("No tag detected") == none + 1; }, 2000));
        QTest::qWait(150);
        QCOMPARE(requests.list, QList<QByteArray> {hex("02")});
        QVERIFY(!w->oneShotTimer->isActive());
    }

    void readAddressTag_data()
    {
        QTest::addColumn<QByteArray>("pages");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<bool>("halted");
        QByteArray two = hex("47 78 30 31 5A 02");
        const uint16_t crc = BinaryProtocol::crc16(reinterpret_cast<const uint8_t *>(two.constData()), 6);
        two.append(char(crc & 0xFF)).append(char(crc >> 8));
        QTest::newRow("valid, terminated byte 02") << two << "Valid address tag found." << true;
        QTest::newRow("valid, not terminated")
            << AddressTag::makeRecord(0x05, false) << "Valid address tag found." << true;
        QTest::newRow("wrong CRC") << hex("47 78 30 31 05 00 63 93")
                                   << "Wrong payload CRC - it is not a valid address tag" << false;
        QTest::newRow("wrong header") << hex("47 79 30 31 05 00 63 92") << "Wrong address header" << false;
        QTest::newRow("blank tag") << QByteArray(8, '\0') << "Wrong address header" << false;
        // An answer with less data than a record is not read past its end.
        QTest::newRow("answer too short") << hex("47 78 30 31 05") << "Too little page data" << false;
        QTest::newRow("answer without data") << QByteArray() << "Too little page data" << false;
    }
    void readAddressTag()
    {
        QFETCH(QByteArray, pages);
        QFETCH(QString, verdict);
        QFETCH(bool, halted);
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        f.reader()->tagField().placeTag(ultralightWith(pages));
        if (pages.size() < 8)
            f.reader()->registerCommand(0x40, [pages](SimRequest &req) { req.ack(pages); });
        f.widget<QLineEdit>("leDeviceAddress")->setText("77");
        f.widget<QCheckBox>("cbTagTerminated")->setChecked(pages.size() > 5 && !pages.at(5));
        RequestLog requests(f.reader());

        press(f, "btReadAddressTag");
        QVERIFY(f.waitForLog(verdict));
        QTest::qWait(150);
        QCOMPARE(requests.list.mid(0, 4), (QList<QByteArray> {hex("02"), hex("03 00"), hex("04 00"), hex("40 04 02")}));
        QCOMPARE(requests.list.contains(hex("05")), halted);
        if (halted) {
            QCOMPARE(f.widget<QLineEdit>("leDeviceAddress")->text(), QString::asprintf("%02X", uint8_t(pages.at(4))));
            QCOMPARE(f.widget<QCheckBox>("cbTagTerminated")->isChecked(), pages.at(5) != 0);
        } else {
            QCOMPARE(f.widget<QLineEdit>("leDeviceAddress")->text(), QStringLiteral("77"));
            QVERIFY(!f.logText().contains("Valid address tag found."));
            QVERIFY(!w->oneShotTimer->isActive());
        }
    }

    // The counters: cycles without a tag, with one, and error answers
    // (the cycle still ends with a HALT), shown when the test stops and
    // cleared by a new start; the test writes no spreadsheet rows.
    void loopTestCounts()
    {
        QTemporaryDir dir;
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
        f.widget<QLineEdit>("leOutputXlsFile")->setText(dir.filePath("never.xlsx"));
        RequestLog requests(f.reader());
        press(f, "btLoopTest");
        QCOMPARE(caption(f), QStringLiteral("Stop loop test"));
        QVERIFY(QTest::qWaitFor([&] { return w->loopNotFoundCount >= 3; }, 3000));
        f.reader()->tagField().placeTag(SimTag::classic(hex("CA FE 00 01")));
        QVERIFY(QTest::qWaitFor([&] { return w->loopFoundCount >= 3; }, 3000));
        f.reader()->failCommand(0x03, 0x0101);
        QVERIFY(f.waitForLog("Error 0x0101 received for command - Get UID"));
        const int foundBefore = w->loopFoundCount;
        QVERIFY(QTest::qWaitFor([&] { return w->loopFoundCount >= foundBefore + 2; }, 3000));
        QCOMPARE(w->loopErrorCount, 1);

        // Tag taken off first, so that no Get UID answer outlives the test.
        f.reader()->tagField().clear();
        const int notFound = w->loopNotFoundCount;
        QVERIFY(QTest::qWaitFor([&] { return w->loopNotFoundCount >= notFound + 2; }, 3000));
        press(f, "btLoopTest");
        QCOMPARE(caption(f), QStringLiteral("Start loop test"));
        QTest::qWait(150); // the answer in flight
        // (the Get UID in flight when the tag went may have failed as well)
        QCOMPARE(f.widget<QLabel>("labStatistic")->text(),
                 statistics(w->loopNotFoundCount, w->loopFoundCount, 0, w->loopErrorCount));
        const int asked = requests.list.size();
        QTest::qWait(200);
        QCOMPARE(requests.list.size(), asked);
        QVERIFY(!QFile::exists(dir.filePath("never.xlsx")));
        press(f, "btLoopTest");
        QCOMPARE(f.widget<QLabel>("labStatistic")->text(), statistics(0, 0, 0, 0));
        press(f, "btLoopTest");
    }

    // One cycle of the loop test: with no page test ticked UID and HALT;
    // the read of page 4 alone, or the write of a 15-bit value to the chosen
    // page, read back when both are ticked, then HALT; a value read back that
    // differs is an error. A page test on another tag ends the test.
    void loopTestCycle_data()
    {
        QTest::addColumn<bool>("ultralight");
        QTest::addColumn<bool>("write");
        QTest::addColumn<bool>("read");
        QTest::addColumn<QList<QByteArray>>("cycle"); // a write cut to page and count
        QTest::newRow("no page test") << false << false << false
                                      << QList<QByteArray> {hex("02"), hex("03 00"), hex("05")};
        QTest::newRow("read page") << true << false << true
                                   << QList<QByteArray> {hex("02"), hex("03 00"), hex("40 04 01"), hex("05")};
        QTest::newRow("write and read back")
            << true << true << true
            << QList<QByteArray> {hex("02"), hex("03 00"), hex("41 07 01"), hex("40 07 01"), hex("05")};
        QTest::newRow("write alone") << true << true << false
                                     << QList<QByteArray> {hex("02"), hex("03 00"), hex("41 07 01"), hex("05")};
        QTest::newRow("write test, not an Ultralight")
            << false << true << false << QList<QByteArray> {hex("02"), hex("03 00")};
        QTest::newRow("read test, not an Ultralight")
            << false << false << true << QList<QByteArray> {hex("02"), hex("03 00")};
    }
    void loopTestCycle()
    {
        QFETCH(bool, ultralight);
        QFETCH(bool, write);
        QFETCH(bool, read);
        QFETCH(QList<QByteArray>, cycle);
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        f.reader()->tagField().placeTag(ultralight ? SimTag::ultralight(UlUid) : SimTag::classic(hex("CA FE 00 01")));
        f.widget<QCheckBox>("cbWriteTest")->setChecked(write);
        f.widget<QCheckBox>("cbReadPage")->setChecked(read);
        f.widget<QSpinBox>("spWritePageAddr")->setValue(7);
        RequestLog requests(f.reader());
        press(f, "btLoopTest");
        if (cycle.size() == 2) {
            QVERIFY(f.waitForLog("Ultralight TAG needed for this test. Test aborted."));
            QCOMPARE(caption(f), QStringLiteral("Start loop test"));
            QTest::qWait(150);
            QCOMPARE(requests.list, cycle);
            return;
        }
        QVERIFY(QTest::qWaitFor([&] { return w->loopFoundCount >= 3; }, 3000));
        press(f, "btLoopTest");
        QTest::qWait(150); // the answer in flight
        QCOMPARE(w->loopErrorCount, 0);
        QList<QByteArray> cut;
        QByteArray lastWrite;
        for (const QByteArray &r : requests.list) {
            cut << (r.at(0) == 0x41 ? r.left(3) : r);
            if (r.at(0) == 0x41)
                lastWrite = r;
        }
        QCOMPARE(cut.mid(0, cycle.size()), cycle);
        QCOMPARE(cut.mid(cycle.size(), cycle.size()), cycle);
        if (!write)
            return;
        QCOMPARE(lastWrite.size(), 7);
        const uint32_t value = qFromLittleEndian<quint32>(lastWrite.constData() + 3);
        QVERIFY(value <= 32767);
        QCOMPARE(f.reader()->tagField().tags().at(0).pages(7, 1), lastWrite.mid(3));
        QVERIFY(f.logText().contains(QString::asprintf("Writing %u value to page 7\n", value)));
        if (!read)
            return;
        f.reader()->registerCommand(0x40, [](SimRequest &req) { req.ack(QByteArray(4, '\x5A')); });
        press(f, "btLoopTest");
        QVERIFY(f.waitForLog("Write test ERROR - data is not valid"));
        QVERIFY(QTest::qWaitFor([&] { return w->loopErrorCount > 0; }, 3000));
        press(f, "btLoopTest");
    }
};

QTEST_MAIN(TestTagTests)
#include "tst_tagtests.moc"
