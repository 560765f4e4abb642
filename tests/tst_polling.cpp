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
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include "sim/simtags.h"
#include "support/requestlog.h"
#include "support/windowfixture.h"

namespace {

QByteArray hex(const char *t)
{
    return WindowFixture::hex(t);
}

// The workbook layer's independent reader and fixture maker (openpyxl).
QString checkerScript()
{
    return qEnvironmentVariable("RX_TEST_SOURCE_DIR") + QStringLiteral("/tests/xlsx_check.py");
}

// Workbooks of a given layout, made by openpyxl: {"sheets": [{"name",
// "rows"}], "active": index}.
const char *const MakeLayout = R"PY(
import json, sys
import openpyxl
layout = json.loads(sys.argv[2])
wb = openpyxl.Workbook()
wb.remove(wb.active)
for s in layout["sheets"]:
    ws = wb.create_sheet(s["name"])
    for r in s.get("rows", []):
        ws.append(r)
wb.active = layout.get("active", 0)
wb.save(sys.argv[1])
)PY";

QByteArray runPython(const QStringList &args)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), args);
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        qWarning("openpyxl failed: %s", python.readAllStandardError().constData());
        return QByteArray();
    }
    return python.readAllStandardOutput();
}

// One cell as openpyxl reads it.
struct Cell
{
    int row = 0;
    int column = 0;
    QString kind; // date, text, number, formula
    QVariant value;
    bool bold = false;
    QString comment;
};

struct Workbook
{
    bool valid = false;
    QString active;
    QStringList order;
    QMap<QString, QList<Cell>> sheets;

    QList<Cell> row(const QString &sheet, int r) const
    {
        QList<Cell> cells;
        for (const Cell &c : sheets.value(sheet))
            if (c.row == r)
                cells << c;
        return cells;
    }
    int lastRow(const QString &sheet) const
    {
        int last = 0;
        for (const Cell &c : sheets.value(sheet))
            last = qMax(last, c.row);
        return last;
    }
    Cell cell(const QString &sheet, int r, int column) const
    {
        for (const Cell &c : sheets.value(sheet))
            if (c.row == r && c.column == column)
                return c;
        return Cell();
    }
    QVariant value(const QString &sheet, int r, int column) const { return cell(sheet, r, column).value; }
};

Workbook readWorkbook(const QString &path)
{
    Workbook book;
    const QJsonObject root
        = QJsonDocument::fromJson(runPython({checkerScript(), QStringLiteral("dump"), path})).object();
    if (root.isEmpty())
        return book;
    book.valid = true;
    book.active = root.value("active").toString();
    for (const QJsonValue &name : root.value("sheets").toArray())
        book.order << name.toString();
    const QJsonObject sheets = root.value("cells").toObject();
    const QRegularExpression reference("^([A-Z]+)(\\d+)$");
    for (auto it = sheets.begin(); it != sheets.end(); ++it) {
        const QJsonObject cells = it.value().toObject();
        for (auto c = cells.begin(); c != cells.end(); ++c) {
            const QRegularExpressionMatch m = reference.match(c.key());
            if (!m.hasMatch())
                continue;
            Cell cell;
            cell.row = m.captured(2).toInt();
            for (QChar letter : m.captured(1))
                cell.column = cell.column * 26 + (letter.unicode() - 'A' + 1);
            const QJsonObject o = c.value().toObject();
            const QString type = o.value("type").toString();
            cell.kind = o.value("is_date").toBool() ? QStringLiteral("date")
                : type == "s"                       ? QStringLiteral("text")
                : type == "n"                       ? QStringLiteral("number")
                : type == "f"                       ? QStringLiteral("formula")
                                                    : type;
            cell.value = o.value("value").toVariant();
            cell.bold = o.value("bold").toBool();
            cell.comment = o.value("comment").toString();
            book.sheets[it.key()] << cell;
        }
    }
    return book;
}

bool makeWorkbook(const QString &path, const QJsonObject &layout)
{
    runPython({QStringLiteral("-c"), QString::fromUtf8(MakeLayout), path,
               QString::fromUtf8(QJsonDocument(layout).toJson(QJsonDocument::Compact))});
    return QFile::exists(path);
}

QJsonObject sheet(const QString &name, const QJsonArray &rows = QJsonArray())
{
    return QJsonObject {{"name", name}, {"rows", rows}};
}

// A data row as the log writes it: today's date, a time of day as text, the
// UID. With notBefore valid the time must lie between it and now.
void checkDataRow(const Workbook &book, const QString &sheetName, int r, const QString &uid, const QTime &notBefore)
{
    const QList<Cell> cells = book.row(sheetName, r);
    QCOMPARE(cells.size(), 3);
    QCOMPARE(cells[0].kind, QStringLiteral("date"));
    QVERIFY2(cells[0].value.toString().startsWith(QDate::currentDate().toString(Qt::ISODate)),
             qPrintable(cells[0].value.toString()));
    QCOMPARE(cells[1].kind, QStringLiteral("text"));
    const QString time = cells[1].value.toString();
    QVERIFY2(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$").match(time).hasMatch(), qPrintable(time));
    const QTime written = QTime::fromString(time, "hh:mm:ss.zzz");
    QVERIFY(written.isValid());
    const QTime now = QTime::currentTime();
    if (notBefore.isValid() && notBefore <= now) // not across midnight
        QVERIFY2(written >= notBefore && written <= now, qPrintable(time));
    QCOMPARE(cells[2].kind, QStringLiteral("text"));
    QCOMPARE(cells[2].value.toString(), uid);
}

void checkHeader(const Workbook &book, const QString &sheetName)
{
    QCOMPARE(book.value(sheetName, 1, 1).toString(), QStringLiteral("Date"));
    QCOMPARE(book.value(sheetName, 1, 2).toString(), QStringLiteral("Time"));
    QCOMPARE(book.value(sheetName, 1, 3).toString(), QStringLiteral("UID"));
    QCOMPARE(book.row(sheetName, 1).size(), 3);
}

const QByteArray UlUid = hex("04 A1 2F 33 44 55 66");
const QString UlUidText = QStringLiteral("04A12F33445566");

void enableSaving(WindowFixture &f, const QString &path)
{
    f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
    f.widget<QLineEdit>("leOutputXlsFile")->setText(path);
}

// One Get UID from the console, the way a user sends it.
void consoleGetUid(WindowFixture &f)
{
    f.widget<QTabWidget>("tabs")->setCurrentIndex(0);
    auto *list = f.widget<QListWidget>("lvCommands");
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().startsWith("[03] ")) {
            list->setCurrentRow(i);
            break;
        }
    }
    QVERIFY(f.window()->paramEdits[0]);
    f.window()->paramEdits[0]->setText("0");
    f.click("btCommnadExecute");
}

// A widget's own enabled setting; the tabs are disabled while no reader is
// connected.
bool ownEnabled(const QWidget *w)
{
    return !w->testAttribute(Qt::WA_ForceDisabled);
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
        QVERIFY(f.widget<QPushButton>("btStopPolling")->isEnabled());
        QVERIFY(QTest::qWaitFor([&] { return requests.count(hex("02")) >= 4; }, 3000));
        QVERIFY(f.logCount("No tag detected") >= 3);
        QVERIFY(!requests.list.contains(hex("03 00")));
        QVERIFY(!QFile::exists(path));
        QCOMPARE(w->oneShotState, int(MainWindow::GetVersion)); // polling leaves the state alone

        // A tag: every cycle reads its UID and adds a row.
        f.reader()->tagField().placeTag(SimTag::ultralight(UlUid));
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("TAG is found: " + UlUidText) >= 3; }, 5000));
        press(f, "btStopPolling");
        QVERIFY(f.widget<QPushButton>("btStartPolling")->isEnabled());
        QVERIFY(!f.widget<QPushButton>("btStopPolling")->isEnabled());
        QTest::qWait(300); // the request in flight, if any, is answered
        const int found = f.logCount("TAG is found: " + UlUidText);
        const int asked = requests.count(hex("02"));
        QTest::qWait(200);
        QCOMPARE(requests.count(hex("02")), asked); // stopped for good

        Workbook book = readWorkbook(path);
        QVERIFY(book.valid);
        QCOMPARE(book.order, QStringList {"Sheet1"});
        checkHeader(book, "Sheet1");
        QCOMPARE(book.lastRow("Sheet1"), found + 1);
        for (int r = 2; r <= found + 1; ++r)
            checkDataRow(book, "Sheet1", r, UlUidText, started);

        // Only tag 0 is read, however many there are.
        requests.list.clear();
        f.reader()->tagField().placeTag(SimTag::classic(hex("CA FE 00 01")));
        press(f, "btStartPolling");
        QVERIFY(QTest::qWaitFor([&] { return requests.count(hex("03 00")) >= 2; }, 3000));
        press(f, "btStopPolling");
        QTest::qWait(200);
        QVERIFY(!f.logText().contains("TAG is found: CAFE0001"));
        for (const QByteArray &r : requests.list)
            QVERIFY2(r == hex("02") || r == hex("03 00"), r.toHex(' ').constData());

        // Polling ends with its link.
        press(f, "btStartPolling");
        requests.list.clear();
        w->closeSerialPort();
        QCOMPARE(f.logCount("Software polling stopped."), 1);
        QVERIFY(!w->pollingRunning());
        QVERIFY(!w->pollingTimer->isActive());
        w->pollingTimeout();
        QTest::qWait(100);
        QVERIFY(requests.list.isEmpty());
    }

    void tagEventStartsTheChain()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("events.xlsx");
        WindowFixture f;
        QVERIFY(f.connectTcp());
        enableSaving(f, path);
        f.reader()->tagField().setTagEvents(true);
        f.reader()->tagField().placeTag(SimTag::ultralight(UlUid));
        QVERIFY(f.waitForLog("TAG is found: " + UlUidText));
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(path); }, 2000));
        QVERIFY(!f.window()->pollingTimer->isActive()); // polling is not running
        const Workbook book = readWorkbook(path);
        QCOMPARE(book.lastRow("Sheet1"), 2);
    }

    void stopWhileUidIsOutstanding()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("stop.xlsx");
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        enableSaving(f, path);
        f.widget<QSpinBox>("sbPollingTimeout")->setValue(10);
        f.reader()->tagField().placeTag(SimTag::ultralight(UlUid));
        f.reader()->setAnswerDelay(150);
        RequestLog requests(f.reader());
        // Stop is pressed the moment the reader has the Get UID.
        QMetaObject::Connection stopper
            = QObject::connect(f.reader(), &SimReader::requestReceived, [&](quint8 code, const QByteArray &) {
                  if (code == 0x03 && f.widget<QPushButton>("btStopPolling")->isEnabled())
                      press(f, "btStopPolling");
              });
        press(f, "btStartPolling");
        QVERIFY(QTest::qWaitFor([&] { return requests.count(hex("03 00")) == 1; }, 3000));
        QVERIFY(!f.widget<QPushButton>("btStopPolling")->isEnabled());
        QVERIFY(f.waitForLog("TAG is found: " + UlUidText)); // still answered and logged
        QObject::disconnect(stopper);
        QTest::qWait(300);
        QVERIFY(!w->pollingTimer->isActive());
        QCOMPARE(requests.count(hex("02")), 1);
        QCOMPARE(requests.count(hex("03 00")), 1);
        const Workbook book = readWorkbook(path); // and written
        QCOMPARE(book.lastRow("Sheet1"), 2);
        checkDataRow(book, "Sheet1", 2, UlUidText, QTime());
    }

    void consoleGetUidAppendsRows()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("console.xlsx");
        WindowFixture f;
        QVERIFY(f.connectSerial());
        f.reader()->tagField().placeTag(SimTag::classic(hex("CA FE 00 01")));

        // Saving off: logged, no file.
        f.widget<QLineEdit>("leOutputXlsFile")->setText(path);
        consoleGetUid(f);
        QVERIFY(f.waitForLog("TAG is found: CAFE0001"));
        QTest::qWait(100);
        QVERIFY(!QFile::exists(path));

        // Saving on, polling stopped: a new file with header and row, then the next row.
        f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
        consoleGetUid(f);
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("TAG is found: CAFE0001") == 2; }, 2000));
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(path); }, 2000));
        consoleGetUid(f);
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("TAG is found: CAFE0001") == 3; }, 2000));
        QTest::qWait(100);
        const Workbook book = readWorkbook(path);
        checkHeader(book, "Sheet1");
        QCOMPARE(book.lastRow("Sheet1"), 3);
        checkDataRow(book, "Sheet1", 2, "CAFE0001", QTime());
        checkDataRow(book, "Sheet1", 3, "CAFE0001", QTime());
    }

    // Workbooks made by another program: rows are appended below what is
    // there, on the sheet the log writes to, and nothing else changes.
    void appendsToOtherWorkbooks()
    {
        QTemporaryDir dir;
        WindowFixture f;
        QVERIFY(f.connectSerial());
        MainWindow *w = f.window();
        f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
        auto *file = f.widget<QLineEdit>("leOutputXlsFile");
        const QJsonArray notes {QJsonArray {"keep", 42}, QJsonArray {"me", 3.5}};

        // A log of ours with a sheet of notes behind it: appended on Sheet1.
        const QString ours = dir.filePath("ours.xlsx");
        QVERIFY(makeWorkbook(ours,
                             QJsonObject {{"sheets",
                                           QJsonArray {sheet("Sheet1",
                                                             QJsonArray {QJsonArray {"Date", "Time", "UID"},
                                                                         QJsonArray {"old", "row", "A1"}}),
                                                       sheet("Notes", notes)}},
                                          {"active", 1}}));
        file->setText(ours);
        w->pollingRecordUid("0102");
        Workbook book = readWorkbook(ours);
        QCOMPARE(book.order, (QStringList {"Sheet1", "Notes"}));
        QCOMPARE(book.lastRow("Sheet1"), 3);
        QCOMPARE(book.value("Sheet1", 2, 3).toString(), QStringLiteral("A1"));
        checkDataRow(book, "Sheet1", 3, "0102", QTime());
        QCOMPARE(book.sheets.value("Notes").size(), 4);
        QCOMPARE(book.value("Notes", 1, 2).toInt(), 42);
        QCOMPARE(book.value("Notes", 2, 2).toDouble(), 3.5);

        // No "Sheet1": the user's rows on the active sheet stay; the tags go
        // below them, without a header, one row per tag.
        const QString theirs = dir.filePath("theirs.xlsx");
        QVERIFY(makeWorkbook(theirs,
                             QJsonObject {{"sheets",
                                           QJsonArray {sheet("Other", notes),
                                                       sheet("Data",
                                                             QJsonArray {QJsonArray {"Name", "Count"},
                                                                         QJsonArray {"x", 1}, QJsonArray {"y", 2}})}},
                                          {"active", 1}}));
        file->setText(theirs);
        w->pollingRecordUid("AABB");
        w->pollingRecordUid("CCDD");
        book = readWorkbook(theirs);
        QCOMPARE(book.order, (QStringList {"Other", "Data"}));
        QCOMPARE(book.value("Data", 1, 1).toString(), QStringLiteral("Name"));
        QCOMPARE(book.value("Data", 2, 1).toString(), QStringLiteral("x"));
        QCOMPARE(book.value("Data", 3, 2).toInt(), 2);
        QCOMPARE(book.lastRow("Data"), 5);
        checkDataRow(book, "Data", 4, "AABB", QTime());
        checkDataRow(book, "Data", 5, "CCDD", QTime());
        QCOMPARE(book.sheets.value("Other").size(), 4);
        QCOMPARE(book.value("Other", 1, 1).toString(), QStringLiteral("keep"));

        // No "Sheet1" and an empty active sheet: the header comes first there.
        const QString empty = dir.filePath("empty.xlsx");
        QVERIFY(makeWorkbook(empty,
                             QJsonObject {{"sheets", QJsonArray {sheet("Keep", notes), sheet("Log")}}, {"active", 1}}));
        file->setText(empty);
        w->pollingRecordUid("01");
        w->pollingRecordUid("02");
        book = readWorkbook(empty);
        checkHeader(book, "Log");
        checkDataRow(book, "Log", 2, "01", QTime());
        checkDataRow(book, "Log", 3, "02", QTime());
        QCOMPARE(book.sheets.value("Keep").size(), 4);

        // "Sheet1" second and the first sheet empty: the log goes onto the
        // first sheet, header first.
        const QString firstEmpty = dir.filePath("firstempty.xlsx");
        QVERIFY(
            makeWorkbook(firstEmpty, QJsonObject {{"sheets", QJsonArray {sheet("Blank"), sheet("Sheet1", notes)}}}));
        file->setText(firstEmpty);
        w->pollingRecordUid("03");
        book = readWorkbook(firstEmpty);
        checkHeader(book, "Blank");
        checkDataRow(book, "Blank", 2, "03", QTime());
        QCOMPARE(book.sheets.value("Sheet1").size(), 4);
    }

    // The layer's fixtures: a workbook made by openpyxl (no "Sheet1"; bold
    // and filled header, dates, a formula, a comment) and one in LibreOffice
    // Calc's style ("Sheet1" second and active, shared rich text).
    void appendsToFixtureWorkbooks()
    {
        QTemporaryDir dir;
        WindowFixture f(false);
        MainWindow *w = f.window();
        f.widget<QCheckBox>("cbSaveToFile")->setChecked(true);
        auto *file = f.widget<QLineEdit>("leOutputXlsFile");

        const QString made = dir.filePath("openpyxl.xlsx");
        runPython({checkerScript(), "make", "openpyxl", made});
        QVERIFY(QFile::exists(made));
        file->setText(made);
        w->pollingRecordUid("04A12F");
        w->pollingRecordUid("0411223344");
        Workbook book = readWorkbook(made);
        QCOMPARE(book.order, (QStringList {"Readings", "Notes"}));
        QCOMPARE(book.lastRow("Readings"), 5);
        QCOMPARE(book.value("Readings", 1, 4).toString(), QStringLiteral("Count"));
        QVERIFY(book.cell("Readings", 1, 1).bold);
        QCOMPARE(book.cell("Readings", 2, 1).kind, QStringLiteral("date"));
        QVERIFY(book.value("Readings", 2, 1).toString().startsWith("2024-05-17"));
        QCOMPARE(book.value("Readings", 3, 3).toString(), QStringLiteral("0411223344"));
        checkDataRow(book, "Readings", 4, "04A12F", QTime());
        checkDataRow(book, "Readings", 5, "0411223344", QTime());
        QCOMPARE(book.cell("Notes", 1, 1).comment, QStringLiteral("checked on site"));
        QCOMPARE(book.value("Notes", 3, 2).toString(), QStringLiteral("=SUM(1,2)"));
        QCOMPARE(book.value("Notes", 5, 3).toDouble(), 42.5);

        const QString calc = dir.filePath("libreoffice.xlsx");
        runPython({checkerScript(), "make", "libreoffice", calc});
        QVERIFY(QFile::exists(calc));
        file->setText(calc);
        w->pollingRecordUid("CAFE");
        book = readWorkbook(calc);
        QCOMPARE(book.order, (QStringList {"Overview", "Sheet1"}));
        QCOMPARE(book.lastRow("Overview"), 4);
        QCOMPARE(book.value("Overview", 3, 1).toString(), QStringLiteral("Hall two"));
        QCOMPARE(book.cell("Overview", 3, 4).kind, QStringLiteral("formula"));
        checkDataRow(book, "Overview", 4, "CAFE", QTime());
        QVERIFY(book.sheets.value("Sheet1").isEmpty());
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
        {
            QFile out(text);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write("these are my notes, not a workbook\n");
        }
        file->setText(text);
        QCOMPARE(f.answerMessageBox([&] { w->pollingRecordUid("0102"); }),
                 QStringLiteral("Error: Unable to open output file"));
        QFile in(text);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll(), QByteArray("these are my notes, not a workbook\n"));

        // A full sheet: every tag found is reported, and the file is left
        // as it was.
        const QString full = dir.filePath("full.xlsx");
        runPython({checkerScript(), "make", "full", full});
        QFile fullFile(full);
        QVERIFY(fullFile.open(QIODevice::ReadOnly));
        const QByteArray fullBytes = fullFile.readAll();
        file->setText(full);
        for (const QString uid : {"0102", "0102", "AABBCC"})
            w->pollingRecordUid(uid);
        const QString isFull = " - output file " + full + " is full (a sheet holds 1048576 rows)";
        QCOMPARE(f.logCount("Unable to save UID 0102" + isFull), 2);
        QCOMPARE(f.logCount("Unable to save UID AABBCC" + isFull), 1);
        QVERIFY(fullFile.seek(0));
        QCOMPARE(fullFile.readAll(), fullBytes);

        // A save that cannot succeed is reported and leaves no file.
        const QString nowhere = dir.filePath("missing/folder/log.xlsx");
        file->setText(nowhere);
        w->pollingRecordUid("0102");
        QVERIFY(f.logText().contains("Unable to save output file " + nowhere));
        QVERIFY(!QFile::exists(nowhere));

        file->clear();
        w->pollingRecordUid("0102");
        QVERIFY(f.logText().contains("Unable to save output file - no file selected"));
    }

    void settingsAndFileChoice()
    {
        QTemporaryDir dir;
        WindowFixture f;
        QVERIFY(f.connectSerial());
        auto *save = f.widget<QCheckBox>("cbSaveToFile");
        auto *file = f.widget<QLineEdit>("leOutputXlsFile");
        auto *select = f.widget<QPushButton>("btSelectOutputXlsFile");
        QVERIFY(!save->isChecked());
        QVERIFY(!ownEnabled(file));
        QVERIFY(!ownEnabled(select));

        save->setChecked(true);
        QVERIFY(ownEnabled(file));
        QVERIFY(ownEnabled(select));
        QCOMPARE(QSettings(f.settingsFile(), QSettings::IniFormat).value("OutputXlsEnabled").toBool(), true);

        QString caption, filter;
        bool forSaving = false;
        QString answer;
        f.window()->fileChooser = [&](const QString &c, const QString &fl, bool s) {
            caption = c;
            filter = fl;
            forSaving = s;
            return answer;
        };
        const QString path = dir.filePath("chosen.xlsx");
        answer = path;
        press(f, "btSelectOutputXlsFile");
        QCOMPARE(caption, QStringLiteral("Save xlsx"));
        QCOMPARE(filter, QStringLiteral("Export file (*.xlsx)"));
        QVERIFY(forSaving);
        QCOMPARE(file->text(), path);
        answer.clear(); // cancelled: nothing changes
        press(f, "btSelectOutputXlsFile");
        QCOMPARE(file->text(), path);
        QCOMPARE(QSettings(f.settingsFile(), QSettings::IniFormat).value("OutputXlsFile").toString(), path);

        f.reopenWindow();
        QVERIFY(f.widget<QCheckBox>("cbSaveToFile")->isChecked());
        QVERIFY(ownEnabled(f.widget<QLineEdit>("leOutputXlsFile")));
        QCOMPARE(f.widget<QLineEdit>("leOutputXlsFile")->text(), path);

        f.widget<QCheckBox>("cbSaveToFile")->setChecked(false);
        QVERIFY(!ownEnabled(f.widget<QLineEdit>("leOutputXlsFile")));
        QVERIFY(!ownEnabled(f.widget<QPushButton>("btSelectOutputXlsFile")));
        QCOMPARE(QSettings(f.settingsFile(), QSettings::IniFormat).value("OutputXlsEnabled").toBool(), false);
        f.reopenWindow();
        QVERIFY(!f.widget<QCheckBox>("cbSaveToFile")->isChecked());
    }
};

QTEST_MAIN(TestPolling)
#include "tst_polling.moc"
