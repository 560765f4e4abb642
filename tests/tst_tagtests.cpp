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
    // Both address tag tools walk UID, activation and the pages 4 and 5 of
    // an Ultralight, then HALT; the reading fills the address field and the
    // terminated box from a valid record only, and the chain stops at the
    // first thing that is not as it must be.
    void addressTag_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<QString>("tag"); // "Ultralight" with pages 4 and 5 as given, "Classic" or none
        QTest::addColumn<QByteArray>("pages"); // fewer than 8 bytes: what the reader answers
        QTest::addColumn<QString>("address"); // typed before the click
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<int>("asked"); // how many of the chain's requests go out
        QTest::addColumn<QString>("shown"); // the address field afterwards
        const QByteArray blank(8, '\0');
        QTest::newRow("write, address 05, not terminated") << true << "Ultralight" << blank << "05"
                                                           << "Address tag written successful." << 5 << "05";
        QTest::newRow("write, no address") << true << "Ultralight" << blank << ""
                                           << "Please enter correct tag address defice address!" << 0 << "";
        QTest::newRow("write, not an Ultralight") << true << "Classic" << blank << "05"
                                                  << "Ultralight TAG needed for address tag." << 2 << "05";
        QTest::newRow("read, no tag") << false << "" << blank << "77"
                                      << "No tag detected" << 1 << "77";
        const QString valid = "Valid address tag found.";
        QByteArray two = hex("47 78 30 31 5A 02");
        const uint16_t crc = BinaryProtocol::crc16(reinterpret_cast<const uint8_t *>(two.constData()), 6);
        two.append(char(crc & 0xFF)).append(char(crc >> 8));
        QTest::newRow("read, valid, terminated byte 02") << false << "Ultralight" << two << "77" << valid << 5 << "5A";
        QTest::newRow("read, valid, not terminated")
            << false << "Ultralight" << AddressTag::makeRecord(0x05, false) << "77" << valid << 5 << "05";
        QTest::newRow("read, wrong CRC") << false << "Ultralight" << hex("47 78 30 31 05 00 63 93") << "77"
                                         << "Wrong payload CRC - it is not a valid address tag" << 4 << "77";
        QTest::newRow("read, wrong header") << false << "Ultralight" << hex("47 79 30 31 05 00 63 92") << "77"
                                            << "Wrong address header" << 4 << "77";
        QTest::newRow("read, blank tag") << false << "Ultralight" << blank << "77"
                                         << "Wrong address header" << 4 << "77";
        // An answer with less data than a record is not read past its end.
        QTest::newRow("read, answer too short") << false << "Ultralight" << hex("47 78 30 31 05") << "77"
                                                << "Too little page data" << 4 << "77";
        QTest::newRow("read, answer without data") << false << "Ultralight" << QByteArray() << "77"
                                                   << "Too little page data" << 4 << "77";
    }
    void addressTag()
    {
        QFETCH(bool, write);
        QFETCH(QString, tag);
        QFETCH(QByteArray, pages);
        QFETCH(QString, address);
        QFETCH(QString, verdict);
        QFETCH(int, asked);
        QFETCH(QString, shown);
        WindowFixture f;
        QVERIFY(f.connectSerial());
        if (tag == "Ultralight")
            f.reader()->tagField().placeTag(ultralightWith(pages));
        else if (tag == "Classic")
            f.reader()->tagField().placeTag(SimTag::classic(hex("CA FE 00 01")));
        if (pages.size() < 8)
            f.reader()->registerCommand(0x40, [pages](SimRequest &req) { req.ack(pages); });
        f.widget<QLineEdit>("leDeviceAddress")->setText(address);
        // Read: ticked the other way than the record says.
        const bool terminated = !write && pages.size() > 5 && !pages.at(5);
        f.widget<QCheckBox>("cbTagTerminated")->setChecked(terminated);
        RequestLog requests(f.reader());

        press(f, write ? "btWriteAddressTag" : "btReadAddressTag");
        QVERIFY(f.waitForLog(verdict));
        QTest::qWait(150);
        const QByteArray record = hex("47 78 30 31 05 00 63 92");
        const QList<QByteArray> chain {hex("02"), hex("03 00"), hex("04 00"),
                                       write ? hex("41 04 02") + record : hex("40 04 02"), hex("05")};
        QCOMPARE(requests.list, chain.mid(0, asked));
        if (write && asked == 5)
            QCOMPARE(f.reader()->tagField().tags().at(0).pages(4, 2), record);
        QCOMPARE(f.widget<QLineEdit>("leDeviceAddress")->text(), shown);
        const bool found = verdict == QLatin1String("Valid address tag found.");
        QCOMPARE(f.widget<QCheckBox>("cbTagTerminated")->isChecked(), found ? pages.at(5) != 0 : terminated);
        QVERIFY(!f.window()->oneShotTimer->isActive());

        // The operation has ended: a tag the reader announces later is not
        // written or read again.
        requests.list.clear();
        f.injectAnswer(hex("FE 01"));
        QVERIFY(requests.waitFor(hex("02")));
        QTest::qWait(200);
        QCOMPARE(requests.count(hex("04 00")), 0);
        QCOMPARE(f.window()->runningWorkflow(), MainWindow::Workflow::None);
    }

    // A tool that fails ends with a last line that says so and gives the
    // window back: the loop test when the reader goes away, the address tag
    // write when the reader refuses the page write.
    void failure_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("last"); // the line the log ends with
        QTest::newRow("loop test, reader unplugged") << "btLoopTest"
                                                     << "Loop test stoped";
        QTest::newRow("address tag write, page write refused")
            << "btWriteAddressTag"
            << "Address tag operation failed: the reader answered MIFARE Ultralight - Write page with error 0x0101; "
               "the tag may hold an incomplete record; write it again.";
    }
    void failure()
    {
        QFETCH(QString, button);
        QFETCH(QString, last);
        WindowFixture f;
        QVERIFY(f.connectSerial() && f.settle());
        MainWindow *w = f.window();
        f.reader()->tagField().placeTag(SimTag::ultralight(UlUid));
        f.widget<QLineEdit>("leDeviceAddress")->setText("05");
        f.reader()->failCommand(0x41, 0x0101);
        press(f, qPrintable(button));
        if (button == "btLoopTest") {
            QVERIFY(QTest::qWaitFor([&] { return w->loopFoundCount >= 2; }, 3000));
            f.reader()->unplug();
        }
        QVERIFY(f.waitForLog(last));
        QCOMPARE(f.logText().trimmed().section(QLatin1Char(QChar::LineFeed), -1).section(" - ", 1), last);
        QCOMPARE(caption(f), QStringLiteral("Start loop test"));
        QCOMPARE(w->runningWorkflow(), MainWindow::Workflow::None);
        QCOMPARE(w->oneShotState, int(MainWindow::Idle));
        QCOMPARE(f.widget<QWidget>("gbAddressTag")->isEnabled(), w->serial.isOpen());
        QCOMPARE(f.widget<QWidget>("gbTests")->isEnabled(), w->serial.isOpen());
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
        // Read back with one byte changed, a different byte each cycle.
        int reads = 0;
        f.reader()->registerCommand(0x40, [&](SimRequest &req) {
            QByteArray page = f.reader()->tagField().tags().at(0).pages(7, 1);
            page[reads % 4] = char(page.at(reads % 4) ^ 0x01);
            ++reads;
            req.ack(page);
        });
        const int passed = f.logCount("Write test passed");
        press(f, "btLoopTest");
        QVERIFY(QTest::qWaitFor([&] { return w->loopErrorCount >= 4; }, 3000));
        press(f, "btLoopTest");
        QCOMPARE(f.logCount("Write test passed"), passed);
    }
};

QTEST_MAIN(TestTagTests)
#include "tst_tagtests.moc"
