// Software polling against the simulated reader, and the spreadsheet log it
// keeps: the rows are checked with openpyxl, which also makes the workbooks
// of other programs that the log must append to without harm.
#include <QCheckBox>
#include <QDate>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTime>

#include "sim/simtags.h"
#include "support/requestlog.h"
#include "support/xlsxcheck.h"
#include "support/windowfixture.h"

namespace {

QJsonObject sheet(const QString &name, const QJsonArray &rows = QJsonArray())
{
    return QJsonObject {{"name", name}, {"rows", rows}};
}

// A data row as the log writes it: today's date, a time of day as text, the
// UID as text. With notBefore valid the time must lie between it and now.
void checkDataRow(const QJsonObject &book, const QString &sheetName, int r, const QString &uid, const QTime &notBefore)
{
    const QString row = QString::number(r);
    QCOMPARE(cellCount(book, sheetName, r), 3);
    QVERIFY(isDate(book, sheetName, "A" + row));
    QCOMPARE(cellValue(book, sheetName, "A" + row), QDate::currentDate().toString(Qt::ISODate) + "T00:00:00");
    QCOMPARE(cell(book, sheetName, "B" + row).value("type").toString(), QStringLiteral("s"));
    const QTime written = QTime::fromString(cellValue(book, sheetName, "B" + row), "hh:mm:ss.zzz");
    QVERIFY2(written.isValid(), qPrintable(cellValue(book, sheetName, "B" + row)));
    const QTime now = QTime::currentTime();
    if (notBefore.isValid() && notBefore <= now) // not across midnight
        QVERIFY(written >= notBefore && written <= now);
    QCOMPARE(cell(book, sheetName, "C" + row).value("type").toString(), QStringLiteral("s"));
    QCOMPARE(cellValue(book, sheetName, "C" + row), uid);
}

void checkHeader(const QJsonObject &book, const QString &sheetName)
{
    QCOMPARE(cellValue(book, sheetName, "A1"), QStringLiteral("Date"));
    QCOMPARE(cellValue(book, sheetName, "B1"), QStringLiteral("Time"));
    QCOMPARE(cellValue(book, sheetName, "C1"), QStringLiteral("UID"));
    QCOMPARE(cellCount(book, sheetName, 1), 3);
}

const QByteArray UlUid = hex("04 A1 2F 33 44 55 66");
const QString UlUidText = QStringLiteral("04A12F33445566");

void enableSaving(WindowFixture &f, const QString &path)
{
    f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
    f.widget<QLineEdit>("leOutputXlsFile")->setText(path);
}

// The polling tab's buttons take clicks only while the tab is shown.
void press(WindowFixture &f, const char *button)
{
    f.widget<QTabWidget>("tabs")->setCurrentWidget(f.widget<QWidget>("tab_4"));
    f.click(button);
}

} // namespace

class TestPolling : public QObject
{
    Q_OBJECT
private slots:
    void pollsWithAndWithoutTag()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("log.xlsx");
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        RequestLog requests(f.reader());
        enableSaving(f, path);
        f.widget<QSpinBox>("sbPollingTimeout")->setValue(20);
        const QTime started = QTime::currentTime();

        // No tag: one Get tag count per cycle, and nothing else.
        press(f, "btStartPolling");
        QVERIFY(!f.widget<QPushButton>("btStartPolling")->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return requests.count(hex("02")) >= 4; }, 3000));
        QVERIFY(!requests.list.contains(hex("03 00")));
        QVERIFY(!QFile::exists(path));

        // Tags: every cycle reads the UID of tag 0 alone, however many there
        // are, and adds a row.
        f.reader()->tagField().placeTag(SimTag::ultralight(UlUid));
        f.reader()->tagField().placeTag(SimTag::classic(hex("CA FE 00 01")));
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("TAG is found: " + UlUidText) >= 3; }, 5000));
        press(f, "btStopPolling");
        QVERIFY(f.widget<QPushButton>("btStartPolling")->isEnabled());
        QTest::qWait(300); // the request in flight, if any, is answered
        const int found = f.logCount("TAG is found: " + UlUidText);
        const int asked = requests.count(hex("02"));
        QTest::qWait(200);
        QCOMPARE(requests.count(hex("02")), asked); // stopped for good
        for (const QByteArray &r : requests.list)
            QVERIFY2(r == hex("02") || r == hex("03 00"), r.toHex(' ').constData());

        const QJsonObject book = dumpOf(path);
        checkHeader(book, "Sheet1");
        QCOMPARE(lastRow(book, "Sheet1"), found + 1);
        for (int r = 2; r <= found + 1; ++r)
            checkDataRow(book, "Sheet1", r, UlUidText, started);

        // Polling ends with its link.
        press(f, "btStartPolling");
        w->closeSerialPort();
        QCOMPARE(f.logCount("Software polling stopped."), 1);
        QVERIFY(!w->pollingTimer->isActive());
    }

    // A tag found outside polling (here by its arrival event; Get UID from
    // the console takes the same way) adds its row as well: into a new file
    // with the header first, and only once saving is on. Stop pressed the
    // moment the reader has polling's Get UID: that UID is still answered,
    // logged and written, and nothing more is asked.
    void rowsOutsideAndAtTheStopOfPolling()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("events.xlsx");
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        f.widget<QLineEdit>("leOutputXlsFile")->setText(path);
        f.reader()->tagField().setTagEvents(true);
        f.reader()->tagField().placeTag(SimTag::ultralight(UlUid));
        QVERIFY(f.waitForLog("TAG is found: " + UlUidText));
        QTest::qWait(100);
        QVERIFY(!QFile::exists(path));

        f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
        f.reader()->tagField().clear();
        f.reader()->tagField().placeTag(SimTag::ultralight(UlUid)); // arrives again
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("TAG is found: " + UlUidText) == 2; }, 2000));
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(path); }, 2000));
        QVERIFY(!w->pollingTimer->isActive()); // polling is not running

        f.reader()->tagField().setTagEvents(false);
        f.widget<QSpinBox>("sbPollingTimeout")->setValue(10);
        f.reader()->setAnswerDelay(150);
        RequestLog requests(f.reader());
        QMetaObject::Connection stopper
            = QObject::connect(f.reader(), &SimReader::requestReceived, [&](quint8 code, const QByteArray &) {
                  if (code == 0x03 && f.widget<QPushButton>("btStopPolling")->isEnabled())
                      press(f, "btStopPolling");
              });
        press(f, "btStartPolling");
        QVERIFY(QTest::qWaitFor([&] { return requests.count(hex("03 00")) == 1; }, 3000));
        QVERIFY(!f.widget<QPushButton>("btStopPolling")->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("TAG is found: " + UlUidText) == 3; }, 3000));
        QObject::disconnect(stopper);
        QTest::qWait(300);
        QVERIFY(!w->pollingTimer->isActive());
        QCOMPARE(requests.count(hex("02")), 1);
        QCOMPARE(requests.count(hex("03 00")), 1);
        const QJsonObject book = dumpOf(path);
        checkHeader(book, "Sheet1");
        QCOMPARE(lastRow(book, "Sheet1"), 3);
        checkDataRow(book, "Sheet1", 2, UlUidText, QTime());
        checkDataRow(book, "Sheet1", 3, UlUidText, QTime());
    }

    // Workbooks made by another program: the rows go below what is there on
    // "Sheet1", else on the active sheet, else on the first; an empty sheet
    // gets the header first; every cell that was there stays as it was.
    void appendsToOtherWorkbooks_data()
    {
        QTest::addColumn<QJsonArray>("sheets");
        QTest::addColumn<int>("active");
        QTest::addColumn<QString>("target");
        const QJsonArray notes {QJsonArray {"keep", 42}, QJsonArray {"me", 3.5}};
        const QJsonArray ourLog {QJsonArray {"Date", "Time", "UID"}, QJsonArray {"old", "row", "A1"}};
        const QJsonArray theirRows {QJsonArray {"Name", "Count"}, QJsonArray {"x", 1}, QJsonArray {"y", 2}};
        QTest::newRow("our log, notes active")
            << QJsonArray {sheet("Sheet1", ourLog), sheet("Notes", notes)} << 1 << "Sheet1";
        QTest::newRow("no Sheet1") << QJsonArray {sheet("Other", notes), sheet("Data", theirRows)} << 1 << "Data";
        QTest::newRow("empty active sheet") << QJsonArray {sheet("Keep", notes), sheet("Log")} << 1 << "Log";
        QTest::newRow("Sheet1 second, first empty")
            << QJsonArray {sheet("Blank"), sheet("Sheet1", notes)} << 0 << "Blank";
    }
    void appendsToOtherWorkbooks()
    {
        QFETCH(QJsonArray, sheets);
        QFETCH(int, active);
        QFETCH(QString, target);
        QTemporaryDir dir;
        const QString path = dir.filePath("book.xlsx");
        QVERIFY(python(
            {"layout", path,
             QString::fromUtf8(
                 QJsonDocument(QJsonObject {{"sheets", sheets}, {"active", active}}).toJson(QJsonDocument::Compact))}));
        WindowFixture f(false);
        enableSaving(f, path);
        f.window()->pollingRecordUid("AABB");
        f.window()->pollingRecordUid("CCDD");
        const QJsonObject book = dumpOf(path);
        QStringList names;
        for (const QJsonValue &v : sheets) {
            const QString name = v["name"].toString();
            const QJsonArray rows = v["rows"].toArray();
            names << name;
            int cells = 0;
            for (int r = 0; r < rows.size(); ++r) {
                for (int c = 0; c < rows[r].toArray().size(); ++c, ++cells)
                    QCOMPARE(cellValue(book, name, QChar('A' + c) + QString::number(r + 1)),
                             rows[r][c].toVariant().toString());
            }
            if (name == target) {
                const int header = rows.isEmpty() ? 1 : 0;
                if (header)
                    checkHeader(book, name);
                const int row = rows.size() + header + 1;
                checkDataRow(book, name, row, "AABB", QTime());
                checkDataRow(book, name, row + 1, "CCDD", QTime());
                QCOMPARE(lastRow(book, name), row + 1);
                cells += 3 * header + 6;
            }
            QCOMPARE(cellCount(book, name), cells);
        }
        QCOMPARE(sheetsOf(book), names);
    }

    void unusableFiles()
    {
        QTemporaryDir dir;
        WindowFixture f;
        MainWindow *w = f.window();
        f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
        auto *file = f.widget<QLineEdit>("leOutputXlsFile");

        // Not a workbook: the message box, and the file is left as it was.
        const QString text = dir.filePath("notes.xlsx");
        QVERIFY(writeFile(text, "these are my notes, not a workbook\n"));
        file->setText(text);
        QCOMPARE(f.answerMessageBox([&] { w->pollingRecordUid("0102"); }),
                 QStringLiteral("Error: Unable to open output file"));
        QCOMPARE(fileBytes(text), QByteArray("these are my notes, not a workbook\n"));

        // A full sheet: every tag found is reported, and the file is left
        // as it was.
        const QString full = dir.filePath("full.xlsx");
        QVERIFY(makeFixture("full", full));
        const QByteArray fullBytes = fileBytes(full);
        file->setText(full);
        for (const QString uid : {"0102", "0102", "AABBCC"})
            w->pollingRecordUid(uid);
        const QString isFull = " - output file " + full + " is full (a sheet holds 1048576 rows)";
        QCOMPARE(f.logCount("Unable to save UID 0102" + isFull), 2);
        QCOMPARE(f.logCount("Unable to save UID AABBCC" + isFull), 1);
        QCOMPARE(fileBytes(full), fullBytes);

        file->clear();
        w->pollingRecordUid("0102");
        QCOMPARE(f.logCount("Unable to save output file - no file selected"), 1);
    }

    // The choice of file and whether to save survive a restart; a cancelled
    // file choice changes nothing.
    void settingsAndFileChoice()
    {
        QTemporaryDir dir;
        WindowFixture f;
        QVERIFY(f.connectSerial());
        auto *file = f.widget<QLineEdit>("leOutputXlsFile");
        f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
        const QString path = dir.filePath("chosen.xlsx");
        QString answer = path;
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return answer; };
        press(f, "btSelectOutputXlsFile");
        QCOMPARE(file->text(), path);
        answer.clear();
        press(f, "btSelectOutputXlsFile");
        QCOMPARE(file->text(), path);

        f.reopenWindow();
        QVERIFY(f.widget<QCheckBox>("cbSaveToFile")->isChecked());
        QCOMPARE(f.widget<QLineEdit>("leOutputXlsFile")->text(), path);
        f.widget<QCheckBox>("cbSaveToFile")->setChecked(false);
        f.reopenWindow();
        QVERIFY(!f.widget<QCheckBox>("cbSaveToFile")->isChecked());
    }
};

QTEST_MAIN(TestPolling)
#include "tst_polling.moc"
