// The workbook layer against its own files, files made by openpyxl, saved
// by LibreOffice and written by hand in other writers' ways, each read back by
// openpyxl as an independent reader (tests/xlsx_check.py) and some by
// LibreOffice; untouched archive entries are compared byte for byte and
// appends are killed midway. Damaged files are the fuzz target's (fuzz_xlsx),
// which starts from these fixtures.
#include <QDir>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "support/bytes.h"
#include "support/xlsxcheck.h"
#include "xlsx/workbook.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QJsonObject entriesOf(const QString &path)
{
    return jsonFrom({QStringLiteral("entries"), path}).value(QStringLiteral("entries")).toObject();
}

QString partOf(const QString &path, const QString &name)
{
    QByteArray out;
    return python({QStringLiteral("part"), path, name}, &out) ? QString::fromUtf8(out) : QString();
}

// One polling log row below the last used row of the sheet the file opens
// on, loaded and saved as the polling log does (where the window writes
// which row is the polling suite's story).
int appendLogRow(const QString &path, const QDate &date, const QString &time, const QString &uid)
{
    XlsxWorkbook book(path);
    const int row = book.lastUsedRow() + 1;
    if (book.loadFailed() || !book.writeDate(row, 1, date) || !book.writeText(row, 2, time)
        || !book.writeText(row, 3, uid))
        return -1;
    return book.save() ? row : -1;
}

QString logUid(int row)
{
    return QStringLiteral("04A1B2C3D4E5F6%1").arg(row % 1000000, 6, 10, QLatin1Char('0'));
}

// Rows first to last of a polling log, written in one load and save as a
// long session would have saved them.
bool writeLogRows(const QString &path, int first, int last)
{
    XlsxWorkbook book(path);
    for (int row = first; row <= last; ++row) {
        const QString time = QTime(0, 0).addMSecs(row * 347 % 86400000).toString(QStringLiteral("hh:mm:ss.zzz"));
        if (!book.writeDate(row, 1, QDate(2024, 1, 1).addDays(row / 50000)) || !book.writeText(row, 2, time)
            || !book.writeText(row, 3, logUid(row)))
            return false;
    }
    return book.save();
}

// Files converted by LibreOffice into format in folder, in one run; how
// many came out. A profile of its own keeps it apart from any other
// LibreOffice running.
int libreOffice(const QStringList &files, const QString &format, const QString &folder)
{
    QProcess p;
    p.start(QStringLiteral("soffice"),
            QStringList {QStringLiteral("--headless"),
                         QStringLiteral("-env:UserInstallation=file://") + folder + QStringLiteral("/profile"),
                         QStringLiteral("--convert-to"), format, QStringLiteral("--outdir"), folder}
                + files);
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        qWarning().noquote() << "soffice failed:" << p.readAllStandardError();
    int made = 0;
    for (const QString &file : files)
        made += QFile::exists(folder + QLatin1Char('/') + QFileInfo(file).completeBaseName() + QLatin1Char('.')
                              + format);
    return made;
}

// A fixture workbook of kind at file; "calc" is the openpyxl one as
// LibreOffice Calc saves it, "own KIND" a log of three rows the layer wrote,
// forged as xlsx_check.py does.
bool makeWorkbook(const QString &kind, const QString &file)
{
    if (kind.startsWith(QLatin1String("own ")))
        return writeLogRows(file, 1, 3) && python({QStringLiteral("forge"), kind.mid(4), file});
    if (kind != QLatin1String("calc"))
        return makeFixture(kind, file);
    const QString folder = QFileInfo(file).absolutePath();
    const QString source = folder + QStringLiteral("/by-openpyxl/") + QFileInfo(file).fileName();
    return QDir().mkpath(QFileInfo(source).absolutePath()) && makeFixture(QStringLiteral("openpyxl"), source)
        && libreOffice({source}, QStringLiteral("xlsx"), folder) == 1;
}

// Entries of two archives that must be alike: same compressed bytes, CRC
// and size, and the same content.
QStringList differingEntries(const QJsonObject &a, const QJsonObject &b)
{
    QStringList names = a.keys() + b.keys();
    names.removeDuplicates();
    names.erase(std::remove_if(names.begin(), names.end(), [&](const QString &n) { return a.value(n) == b.value(n); }),
                names.end());
    names.sort();
    return names;
}

// The cells of before that after does not hold as they were; a cell in
// written (on sheet) takes its new value, type and date flag, its style stays.
QStringList cellsNotKept(const QJsonObject &before, const QJsonObject &after, const QString &sheet = QString(),
                         const QSet<QString> &written = QSet<QString>())
{
    QStringList lost;
    const QJsonObject sheets = before.value("cells").toObject();
    for (auto s = sheets.begin(); s != sheets.end(); ++s) {
        const QJsonObject cells = s.value().toObject();
        for (auto c = cells.begin(); c != cells.end(); ++c) {
            QJsonObject expected = c.value().toObject();
            const QJsonObject now = cell(after, s.key(), c.key());
            if (s.key() == sheet && written.contains(c.key()))
                for (const char *key : {"value", "type", "is_date"})
                    expected.insert(key, now.value(key));
            if (now != expected)
                lost << s.key() + "!" + c.key();
        }
    }
    return lost;
}

} // namespace

class TestXlsx : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void workbooksOfOtherMakersKeepWhatIsNotWritten_data();
    void workbooksOfOtherMakersKeepWhatIsNotWritten();
    void newWorkbookReadsBack();
    void loadFailures_data();
    void loadFailures();
    void ownLogOfMoreThan400000RowsTakesTheNextRow();
    void appendedWorkbooksReadBackEverywhere();
    void killedWhileAppendingLeavesAWholeWorkbook();
    void replacedFileKeepsOwnerGroupAndMode();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestXlsx::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(QFile::exists(checkerScript()), "RX_TEST_SOURCE_DIR must name the source tree");
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty(),
             "the checks need LibreOffice (soffice)");
}

// Each kind of workbook the log may be asked to append to: the layer reads
// what is there, writes rows below and cells into it, and saves a file in
// which openpyxl finds every other cell, with its style, as it was, and
// every archive entry but those named byte for byte as it was. A second
// row then touches the worksheet alone (the date format is found again).
// parts: "entry|text" must be in the entry, "entry|!text" must not.
void TestXlsx::workbooksOfOtherMakersKeepWhatIsNotWritten_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("sheet");
    QTest::addColumn<int>("lastRow");
    QTest::addColumn<QStringList>("reads"); // ref|what the layer reads
    QTest::addColumn<QStringList>("writes"); // ref|date, text or number|value
    QTest::addColumn<QStringList>("changed");
    QTest::addColumn<QStringList>("parts");
    const QString sheet1 = QStringLiteral("xl/worksheets/sheet1.xml");
    const QString styles = QStringLiteral("xl/styles.xml");
    const QString types = QStringLiteral("[Content_Types].xml");
    const QString rels = QStringLiteral("xl/_rels/workbook.xml.rels");
    // Shared strings, a styled header replaced, comments and a second sheet.
    QTest::newRow("openpyxl") << "openpyxl"
                              << "Readings" << 3 << QStringList {"A1|Date", "D2|3"}
                              << QStringList {"A4|date|2024-05-19", "B4|text|10:00:00.000", "C4|text|04FFEE",
                                              "C1|text|Tag UID"}
                              << QStringList {styles, sheet1} << QStringList();
    // The openpyxl workbook as LibreOffice Calc saves it: a formula, a
    // formatted row without cells.
    QTest::newRow("LibreOffice Calc")
        << "calc"
        << "Readings" << 3 << QStringList {"C1|UID", "B2|08:15:00.125", "A2|45429", "D3|1", "E3|6", "A6|"}
        << QStringList {"A4|date|2024-05-20", "B4|text|11:11:11.111", "C4|text|04BEEF",
                        "E2|text|extra",      "C1|text|Tag UID",      "A5|number|7"}
        << QStringList {styles, sheet1}
        << QStringList {sheet1 + "|<sheetPr filterMode=\"false\"><pageSetUpPr fitToPage=\"false\"/></sheetPr>",
                        sheet1 + "|<dimension ref=\"A1:E5\"/>",
                        sheet1 + "|<row r=\"6\" customFormat=\"false\" ht=\"20.25\""};
    // x:-prefixed, rows and cells without r, no style sheet, 1904 dates, a
    // calculation chain that goes with the formula it lists.
    const QString tags = QStringLiteral("xl/worksheets/tags.xml");
    QTest::newRow("prefixed") << "prefixed"
                              << "Tags" << 2 << QStringList {"B1|Twice", "B2|10"}
                              << QStringList {"A3|date|2024-05-17", "B3|text|04A12F", "B2|number|11"}
                              << QStringList {types, rels, "xl/calcChain.xml", styles, tags}
                              << QStringList {types + "|PartName=\"/xl/styles.xml\"", types + "|!calcChain",
                                              rels + "|/styles\"", rels + "|!calcChain",
                                              tags + "|<x:row r=\"3\"><x:c r=\"A3\" s=\"1\"><x:v>43967</x:v></x:c>"};
    // Pretty-printed in UTF-16 with comments, CDATA, character references,
    // rich-text runs and a cell without r.
    QTest::newRow("pretty") << "pretty"
                            << "Report" << 3
                            << QStringList {"A1|<Date & time>", "B1|café & té", "C1|no reference", "A3|1.5"}
                            << QStringList {"A2|text|new row", "B3|text|beside 1.5", "B5|text|in the tall row",
                                            "A6|date|2024-05-17"}
                            << QStringList {types, rels, styles, sheet1}
                            << QStringList {sheet1
                                                + "|<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                                                  "<!-- written by a report tool -->\r\n<worksheet",
                                            sheet1
                                                + "|<c r=\"A1\" t=\"inlineStr\"><is><t><![CDATA[<Date & "
                                                  "time>]]></t></is></c>\r\n",
                                            sheet1 + "|<dimension ref=\"A1:C6\"/>",
                                            sheet1 + "|<row r=\"5\" ht=\"30\" customHeight=\"1\"><c r=\"B5\"",
                                            sheet1 + "|!spans"};
    // The layer's own log forged: its rows are appended behind the kept
    // ones, the archive written entry by entry where its layout allows.
    // The sheet's sizes in a data descriptor behind its data: the sheet
    // written anew has its sizes in its headers, and no descriptor.
    const QStringList appended {"A4|date|2024-05-17", "C4|text|04A12F"};
    QTest::newRow("own, data descriptor")
        << "own descriptor"
        << "Sheet1" << 3 << QStringList() << appended << QStringList {sheet1} << QStringList();
    // A part of another program whose data runs through the sheet's local
    // header, which zip readers refuse as overlapping: written anew, it is
    // whole and apart from the sheet.
    const QString blob = QStringLiteral("xl/media/blob.bin");
    QTest::newRow("own, overlapping part")
        << "own overlap"
        << "Sheet1" << 3 << QStringList() << appended << QStringList {"damaged: " + blob, blob, sheet1}
        << QStringList {blob + "|kept by another programPK\x03\x04"};
    // Namespace prefixes declared on the elements that are written into.
    QTest::newRow("late prefixes") << "late-prefixes"
                                   << "Sheet1" << 0 << QStringList()
                                   << QStringList {"A1|text|UID", "A2|date|2024-05-17"} << QStringList {styles, sheet1}
                                   << QStringList();
}

void TestXlsx::workbooksOfOtherMakersKeepWhatIsNotWritten()
{
    QFETCH(QString, kind);
    QFETCH(QString, sheet);
    QFETCH(int, lastRow);
    const int rowsBefore = lastRow;
    QFETCH(QStringList, reads);
    QFETCH(QStringList, writes);
    QFETCH(QStringList, changed);
    QFETCH(QStringList, parts);
    const QString file = path(kind + QStringLiteral(".xlsx"));
    QVERIFY(makeWorkbook(kind, file));
    const QJsonObject before = dumpOf(file);
    const QJsonObject entriesBefore = entriesOf(file);

    XlsxWorkbook book(file);
    QVERIFY2(book.isLoadedFromFile(), qPrintable(book.errorString()));
    QCOMPARE(book.currentSheetName(), before.value("active").toString());
    QVERIFY(book.selectSheet(sheet));
    QCOMPARE(book.lastUsedRow(), rowsBefore);
    const auto at = [](const QString &ref, int *row) {
        *row = ref.mid(1).toInt();
        return ref.at(0).unicode() - 'A' + 1;
    };
    int row = 0;
    for (const QString &r : reads) {
        const int column = at(r.section('|', 0, 0), &row);
        QCOMPARE(book.read(row, column).toString(), r.section('|', 1));
    }
    QSet<QString> written;
    int last = rowsBefore;
    for (const QString &w : writes) {
        const QString ref = w.section('|', 0, 0), type = w.section('|', 1, 1), value = w.section('|', 2);
        const int column = at(ref, &row);
        QVERIFY(type == "date"       ? book.writeDate(row, column, QDate::fromString(value, Qt::ISODate))
                    : type == "text" ? book.writeText(row, column, value)
                                     : book.writeNumber(row, column, value.toDouble()));
        written << ref;
        last = qMax(last, row);
    }
    QString error;
    QVERIFY2(book.save(&error), qPrintable(error));

    const QJsonObject after = dumpOf(file);
    QCOMPARE(after.value("sheets"), before.value("sheets"));
    QCOMPARE(after.value("active"), before.value("active"));
    QCOMPARE(::lastRow(after, sheet), last);
    QCOMPARE(cellsNotKept(before, after, sheet, written), QStringList());
    for (const QString &w : writes) {
        const QString ref = w.section('|', 0, 0), type = w.section('|', 1, 1), value = w.section('|', 2);
        QCOMPARE(isDate(after, sheet, ref), type == "date");
        QCOMPARE(cellValue(after, sheet, ref), type == "date" ? value + "T00:00:00" : value);
    }
    const QJsonObject entriesAfter = entriesOf(file);
    QCOMPARE(differingEntries(entriesBefore, entriesAfter), changed);
    for (const QString &p : parts) {
        const QString text = p.section('|', 1);
        QVERIFY2(partOf(file, p.section('|', 0, 0)).contains(text.mid(text.startsWith('!'))) != text.startsWith('!'),
                 qPrintable(p));
    }

    XlsxWorkbook next(file);
    QVERIFY2(next.isLoadedFromFile(), qPrintable(next.errorString()));
    QVERIFY(next.selectSheet(sheet));
    QCOMPARE(next.lastUsedRow(), last);
    QVERIFY(next.writeDate(last + 1, 1, QDate(2024, 6, 1)));
    QVERIFY(next.save());
    QCOMPARE(differingEntries(entriesAfter, entriesOf(file)), QStringList {changed.last()});
}

// A new workbook read back by the layer and by openpyxl: texts (escaped,
// and as _xHHHH_ where XML cannot hold the character), dates around the
// 1900 system's 29 February that never was, and cells written out of order
// or replaced, laid out in order, up to the sheet's last cell and not past it.
void TestXlsx::newWorkbookReadsBack()
{
    const QList<QPair<QString, QString>> texts = {
        // the text, and what a reader that does not undo _xHHHH_ sees
        {QStringLiteral("a<b & c>\"d' </t>]]>"), QString()},
        {QStringLiteral("  padded  "), QString()},
        {QStringLiteral("line 1\nline 2\tend"), QString()},
        {QStringLiteral("crlf\r\nend"), QString()},
        {QString::fromUtf8("Grüße, Привет, 読み取り 😀"), QString()},
        {QStringLiteral("bell\x07!"), QStringLiteral("bell_x0007_!")},
        {QStringLiteral("_x0041_"), QStringLiteral("_x005F_x0041_")},
        {QString(32767, QLatin1Char('x')), QString()},
    };
    const QList<QPair<QDate, double>> dates = {{QDate(1900, 1, 1), 1},
                                               {QDate(1900, 2, 28), 59},
                                               {QDate(1900, 3, 1), 61},
                                               {QDate(2024, 2, 29), 45351},
                                               {QDate(9999, 12, 31), 2958465}};
    const QString file = path(QStringLiteral("new.xlsx"));
    XlsxWorkbook book;
    // Writes outside the sheet are refused and create nothing.
    QVERIFY(!book.writeText(0, 1, QStringLiteral("x")));
    QVERIFY(!book.writeText(1, 0, QStringLiteral("x")));
    QVERIFY(!book.writeText(1048577, 1, QStringLiteral("x")));
    QVERIFY(!book.writeNumber(1, 16385, 1));
    QVERIFY(!book.writeNumber(1, 1, std::nan("")));
    QVERIFY(!book.writeNumber(1, 1, HUGE_VAL));
    QVERIFY(!book.writeText(1, 1, QString(32768, QLatin1Char('x'))));
    QVERIFY(book.sheetNames().isEmpty());
    for (int i = 0; i < texts.size(); ++i)
        QVERIFY(book.writeText(i + 1, 1, texts[i].first));
    for (int i = 0; i < dates.size(); ++i)
        QVERIFY(book.writeDate(i + 1, 2, dates[i].first));
    QVERIFY(!book.writeDate(6, 2, QDate(1899, 12, 31)));
    QVERIFY(!book.writeDate(6, 2, QDate()));
    QVERIFY(book.writeText(12, 5, QStringLiteral("E12")));
    QVERIFY(book.writeText(12, 3, QStringLiteral("C12")));
    QVERIFY(book.writeText(10, 4, QStringLiteral("first")));
    QVERIFY(book.writeText(12, 4, QStringLiteral("D12")));
    QVERIFY(book.writeNumber(10, 4, 42)); // replaces the text
    QVERIFY(book.writeText(1, 16384, QStringLiteral("XFD1")));
    QVERIFY(book.writeText(1048576, 16384, QStringLiteral("last cell")));
    QString error;
    QVERIFY(!book.save(&error)); // a new workbook without a file name
    QVERIFY(!error.isEmpty());
    QVERIFY(book.saveAs(file));

    XlsxWorkbook again(file);
    QVERIFY(again.isLoadedFromFile());
    const QJsonObject dump = dumpOf(file);
    for (int i = 0; i < texts.size(); ++i) {
        QCOMPARE(again.read(i + 1, 1).toString(), texts[i].first);
        const QString onDisk = texts[i].second.isNull() ? texts[i].first : texts[i].second;
        QCOMPARE(cellValue(dump, "Sheet1", QStringLiteral("A%1").arg(i + 1)), onDisk);
    }
    for (int i = 0; i < dates.size(); ++i) {
        QCOMPARE(again.read(i + 1, 2).toDouble(), dates[i].second);
        const QString ref = QStringLiteral("B%1").arg(i + 1);
        QVERIFY(isDate(dump, "Sheet1", ref));
        QCOMPARE(cellValue(dump, "Sheet1", ref), dates[i].first.toString(Qt::ISODate) + "T00:00:00");
    }
    QCOMPARE(cellValue(dump, "Sheet1", "D10"), QStringLiteral("42"));
    QCOMPARE(cellValue(dump, "Sheet1", "XFD1"), QStringLiteral("XFD1"));
    QCOMPARE(cellValue(dump, "Sheet1", "XFD1048576"), QStringLiteral("last cell"));

    const QString sheet = partOf(file, QStringLiteral("xl/worksheets/sheet1.xml"));
    QVERIFY(sheet.contains(QLatin1String("<dimension ref=\"A1:XFD1048576\"/>")));
    QList<int> at; // rows in order, cells in order in their row
    for (const char *mark : {"<row r=\"1\"", "<row r=\"10\"", "<row r=\"12\"", "r=\"C12\"", "r=\"D12\"", "r=\"E12\""})
        at << sheet.indexOf(QLatin1String(mark));
    QVERIFY(at.first() >= 0 && std::is_sorted(at.begin(), at.end()));
    QCOMPARE(sheet.count(QLatin1String("r=\"D10\"")), 1);
}

// Files refused whole, and what the user is told; the file stays as it is.
void TestXlsx::loadFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why"); // none for a file that loads
    QTest::newRow("control: valid minimal workbook") << "valid" << QString();
    QTest::newRow("control: a cell in the last column") << "last-column" << QString();
    const char *const failures[][2] = {
        {"truncated", "not a zip archive (Not a zip archive)"},
        {"no-workbook", "the archive has no xl/workbook.xml"},
        {"workbook-not-xml", "xl/workbook.xml: XML error at line 1: Start tag expected."},
        {"missing-sheet-part", "the part of sheet \"Sheet1\" is missing"},
        {"rows-out-of-order", "sheet \"Sheet1\": row numbers out of order or out of range"},
        {"entity-bomb", "sheet \"Sheet1\": document type declarations are not allowed"},
        {"no-worksheet", "the workbook has no worksheet"},
        {"wrong-root", "sheet \"Sheet1\": the part is not a worksheet"},
        {"row-out-of-range", "sheet \"Sheet1\": row numbers out of order or out of range"},
        {"bad-cell-ref", "sheet \"Sheet1\": cells out of order or out of range in row 1"},
        {"past-last-column", "sheet \"Sheet1\": cells out of order or out of range in row 1"},
        {"row-twice", "sheet \"Sheet1\": row numbers out of order or out of range"},
        {"noncharacter", "sheet \"Sheet1\": XML error at line 2: Invalid character reference."},
        {"truncated-entry", "xl/worksheets/sheet1.xml: CRC error"},
        {"zip-bomb", "xl/worksheets/sheet1.xml: the part expands too far"},
        {"sheet-read-18-times", "xl/worksheets/sheet1.xml: the parts are too large"},
        {"claims-60000-entries", "too many parts"},
        // The sheet's first block marked final: the rows behind it are
        // no part of the sheet to any reader.
        {"own head-final", "xl/worksheets/sheet1.xml: CRC error"},
    };
    for (const auto &f : failures)
        QTest::newRow(f[0]) << f[0] << f[1];
}

void TestXlsx::loadFailures()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);
    const QString file = path(QStringLiteral("broken-%1.xlsx").arg(kind));
    QVERIFY(makeWorkbook(kind, file));
    const QByteArray original = fileBytes(file);

    XlsxWorkbook book;
    QCOMPARE(book.load(file), why.isNull());
    QCOMPARE(book.isLoadedFromFile(), why.isNull());
    QCOMPARE(book.loadFailed(), !why.isNull());
    if (why.isNull())
        return;
    QCOMPARE(book.errorString(), file + QStringLiteral(" is not a readable workbook: ") + why);
    QVERIFY(book.sheetNames().isEmpty());
    QCOMPARE(book.lastUsedRow(), 0);
    QVERIFY(!book.save()); // a file that failed to load is never overwritten
    QCOMPARE(fileBytes(file), original);
}

void TestXlsx::ownLogOfMoreThan400000RowsTakesTheNextRow()
{
    // Past the 64 MiB a part was once allowed.
    const QString file = path(QStringLiteral("huge.xlsx"));
    constexpr int Rows = 400001;
    for (int first = 1; first <= Rows; first += 100000)
        QVERIFY(writeLogRows(file, first, qMin(first + 99999, Rows)));
    // The next row, without the rows before being read...
    QCOMPARE(appendLogRow(file, QDate(2025, 1, 1), QStringLiteral("23:59:59.999"), QStringLiteral("04FFFFFFFF")),
             Rows + 1);
    // ...and with them read.
    XlsxWorkbook book(file);
    QCOMPARE(book.lastUsedRow(), Rows + 1);
    QCOMPARE(book.read(1, 3).toString(), logUid(1));
    QVERIFY(book.writeText(Rows + 2, 3, QStringLiteral("04EEEEEEEE")));
    QVERIFY(book.save());

    const QJsonObject sheet = jsonFrom({QStringLiteral("rows"), file, QStringLiteral("xl/worksheets/sheet1.xml")});
    QVERIFY(sheet.value("size").toDouble() > 64 * 1024 * 1024);
    QCOMPARE(sheet.value("rows").toInt(), Rows + 2);
    XlsxWorkbook saved(file);
    QCOMPARE(saved.lastUsedRow(), Rows + 2);
    const QStringList uids {logUid(Rows), QStringLiteral("04FFFFFFFF"), QStringLiteral("04EEEEEEEE")};
    for (int i = 0; i < 3; ++i)
        QCOMPARE(saved.read(Rows + i, 3).toString(), uids[i]);
    QVERIFY(!saved.read(Rows + 2, 1).isValid());
}

// Rows appended one at a time (the first may read the rows and lay the sheet
// out anew, those after it do not) to the layer's own log, a workbook made
// by openpyxl and one made by LibreOffice keep everything the file held, and
// the files read back in openpyxl and in LibreOffice.
void TestXlsx::appendedWorkbooksReadBackEverywhere()
{
    const QString folder = path(QStringLiteral("everywhere"));
    QVERIFY(QDir().mkpath(folder));
    const QStringList files {folder + QStringLiteral("/own.xlsx"), folder + QStringLiteral("/openpyxl.xlsx"),
                             folder + QStringLiteral("/calc.xlsx")};
    QVERIFY(writeLogRows(files[0], 1, 400)); // enough rows for the largest index kept with a sheet
    QVERIFY(makeWorkbook(QStringLiteral("openpyxl"), files[1]));
    QVERIFY(makeWorkbook(QStringLiteral("calc"), files[2]));

    QList<int> lastRows;
    for (const QString &file : files) {
        const QJsonObject before = dumpOf(file);
        const QString sheet = before.value("active").toString();
        const int last = lastRow(before, sheet);
        QVERIFY(last > 0);
        for (int i = 1; i <= 3; ++i)
            QCOMPARE(appendLogRow(file, QDate(2024, 6, i), QStringLiteral("12:00:0%1.000").arg(i),
                                  QStringLiteral("04C0FFEE%1").arg(i)),
                     last + i);
        // What the rows look like in openpyxl is the table's story above.
        const QJsonObject after = dumpOf(file);
        QCOMPARE(lastRow(after, sheet), last + 3);
        QCOMPARE(cellsNotKept(before, after), QStringList());
        lastRows << last;
    }

    // LibreOffice writes the sheet each file opens on as text.
    QCOMPARE(libreOffice(files, QStringLiteral("csv"), folder), files.size());
    for (int k = 0; k < files.size(); ++k) {
        QFile text(folder + QLatin1Char('/') + QFileInfo(files[k]).completeBaseName() + QStringLiteral(".csv"));
        QVERIFY(text.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(text.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), lastRows[k] + 3);
        for (int i = 1; i <= 3; ++i)
            QCOMPARE(lines[lastRows[k] + i - 1].section(QLatin1Char(','), 1, 2),
                     QStringLiteral("12:00:0%1.000,04C0FFEE%1").arg(i));
    }
}

void TestXlsx::killedWhileAppendingLeavesAWholeWorkbook()
{
    const QString file = path(QStringLiteral("killed.xlsx"));
    QVERIFY(writeLogRows(file, 1, 5000));
    int rows = 5000;
    QRandomGenerator random(14);
    for (int round = 0; round < 20; ++round) {
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            for (;;)
                appendLogRow(file, QDate(2024, 5, 17), QStringLiteral("08:00:00.000"), QStringLiteral("04A12F"));
        }
        // Killed at some moment of an append: loading, writing the new file,
        // replacing the old one. At least one append has replaced the file
        // first, however slowly the child runs.
        struct stat before = {};
        QCOMPARE(stat(QFile::encodeName(file).constData(), &before), 0);
        QVERIFY(QTest::qWaitFor(
            [&] {
                struct stat now = {};
                return stat(QFile::encodeName(file).constData(), &now) == 0
                    && (now.st_ino != before.st_ino || now.st_mtim.tv_sec != before.st_mtim.tv_sec
                        || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec);
            },
            20000));
        usleep(random.bounded(2000, 30000));
        QCOMPARE(kill(child, SIGKILL), 0);
        QCOMPARE(waitpid(child, nullptr, 0), child);
        XlsxWorkbook book(file);
        QVERIFY2(book.isLoadedFromFile(), qPrintable(book.errorString()));
        QVERIFY(book.lastUsedRow() >= rows);
        rows = book.lastUsedRow();
        const QString expected = rows > 5000 ? QStringLiteral("04A12F") : logUid(5000);
        QCOMPARE(book.read(rows, 3).toString(), expected); // every row read, its CRC checked
    }
    QVERIFY(rows >= 5000 + 20);
    const QJsonObject dump = dumpOf(file);
    QCOMPARE(lastRow(dump, "Sheet1"), rows);
    for (int row = 5001; row <= rows; ++row)
        QCOMPARE(cellValue(dump, "Sheet1", QStringLiteral("C%1").arg(row)), QStringLiteral("04A12F"));
}

void TestXlsx::replacedFileKeepsOwnerGroupAndMode()
{
    const QString file = path(QStringLiteral("owned.xlsx"));
    QVERIFY(writeLogRows(file, 1, 3));
    // Another owner where the process may give one (a privileged process),
    // else another of its groups.
    uid_t owner = geteuid();
    gid_t group = getegid();
    if (owner == 0) {
        owner = group = 65534;
    } else {
        gid_t groups[64];
        const int n = getgroups(64, groups);
        for (int i = 0; i < n; ++i)
            if (groups[i] != getegid())
                group = groups[i];
    }
    QString notGiven;
    if (group == getegid())
        notGiven = QStringLiteral("the process belongs to no group but its own");
    else if (chown(QFile::encodeName(file).constData(), owner, group) != 0)
        notGiven = QStringLiteral("%1:%2 cannot be given here (%3), as in a user namespace that maps one id")
                       .arg(owner)
                       .arg(group)
                       .arg(QString::fromLocal8Bit(strerror(errno)));
    QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    // Rows appended both ways: the sheet laid out anew, and rows behind it.
    XlsxWorkbook book(file);
    QVERIFY(book.read(1, 1).isValid());
    QVERIFY(book.writeText(4, 3, QStringLiteral("04A12F")));
    QVERIFY(book.save());
    QCOMPARE(appendLogRow(file, QDate(2024, 5, 17), QStringLiteral("08:00:00.000"), QStringLiteral("04A12F")), 5);
    struct stat st
    { };
    QCOMPARE(stat(QFile::encodeName(file).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
    if (!notGiven.isEmpty())
        QSKIP(qPrintable(QStringLiteral("owner and group not checked: ") + notGiven));
    QCOMPARE(st.st_uid, owner);
    QCOMPARE(st.st_gid, group);
}

QTEST_GUILESS_MAIN(TestXlsx)
#include "tst_xlsx.moc"
