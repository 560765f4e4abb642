// The workbook loader on any file, then one row written and saved, as the
// polling log does.
//
// Input: the file. A file that does not load leaves a new, empty workbook
// and says why. A file that loads offers its sheets, each selectable; a row
// written after its last used row and saved under another name must load
// again, with the same sheets and the new cells in place, unless reading the
// input's rows (deferred for a sheet read through its index) finds them
// damaged. Then two more rows go below it, each with the file opened again
// and saved in place, as the polling log writes them; all three stay.

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "fuzzsupport.h"
#include "support/bytes.h"
#include "xlsx/workbook.h"

namespace {

// Removed at exit.
QTemporaryDir *g_dir = nullptr;

QString writeInput(const uint8_t *data, size_t size)
{
    const QString path = g_dir->filePath(QStringLiteral("input.xlsx"));
    if (!writeFile(path, QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size))))
        Fuzz::fail("the input is written to a file", path);
    return path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::initCore();
    static QTemporaryDir dir;
    g_dir = &dir;
    FUZZ_CHECK(g_dir->isValid(), QStringLiteral("no temporary folder"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = writeInput(data, size);
    XlsxWorkbook book;
    const bool loaded = book.load(path);
    FUZZ_CHECK(loaded == !book.loadFailed(), book.errorString());
    if (!loaded) {
        FUZZ_CHECK(!book.errorString().isEmpty(), QStringLiteral("refused without a reason"));
        FUZZ_CHECK(book.sheetNames().isEmpty() && book.currentSheetIndex() == -1,
                   QStringLiteral("a refused file left sheets"));
        return 0;
    }
    FUZZ_CHECK(book.isLoadedFromFile(), QString());

    const QStringList names = book.sheetNames();
    for (int i = 0; i < names.size(); ++i) {
        FUZZ_CHECK(book.selectSheet(i), QStringLiteral("sheet %1").arg(i));
        FUZZ_CHECK(book.currentSheetIndex() == i && book.currentSheetName() == names.at(i), names.at(i));
        const int last = book.lastUsedRow();
        FUZZ_CHECK(last >= 0 && last <= 1048576, QStringLiteral("last row %1").arg(last));
    }
    FUZZ_CHECK(!book.selectSheet(names.size()), QStringLiteral("a sheet beyond the last"));

    const int sheet = names.isEmpty() ? 0 : int(size % size_t(names.size()));
    if (!names.isEmpty())
        book.selectSheet(sheet);
    const int row = book.lastUsedRow() + 1;
    if (row > 1048576)
        return 0;
    const QString text = QStringLiteral("polled <&> \"04A1B2\"");
    FUZZ_CHECK(book.writeText(row, 1, text), QStringLiteral("row %1").arg(row));
    FUZZ_CHECK(book.writeNumber(row, 2, 42.5), QStringLiteral("row %1").arg(row));
    FUZZ_CHECK(book.writeDate(row, 3, QDate(2024, 2, 29)), QStringLiteral("row %1").arg(row));
    FUZZ_CHECK(book.read(row, 1).toString() == text, book.read(row, 1).toString());

    const QString savedPath = g_dir->filePath(QStringLiteral("saved.xlsx"));
    QFile::remove(savedPath);
    QString error;
    FUZZ_CHECK(book.saveAs(savedPath, &error), QStringLiteral("save: ") + error);

    // Only now are the rows of the input read: a sheet read through the
    // index kept with it was loaded without them, and was appended to
    // without them. Damaged rows make the workbook one that failed to load;
    // the saved file then carries the damage on, behind its index.
    bool rowsRead = true;
    for (int i = 0; i < names.size() && rowsRead; ++i) {
        FUZZ_CHECK(book.selectSheet(i), QStringLiteral("sheet %1").arg(i));
        const int last = book.lastUsedRow();
        for (int r = 1; r <= 3; ++r)
            for (int column = 1; column <= 3; ++column)
                book.read(r, column);
        if (last > 0)
            book.read(last, 1);
        rowsRead = !book.loadFailed();
    }
    if (!rowsRead)
        FUZZ_CHECK(!book.errorString().isEmpty() && book.sheetNames().isEmpty() && !book.save(),
                   QStringLiteral("damaged rows left a workbook that saves"));

    XlsxWorkbook again;
    FUZZ_CHECK(again.load(savedPath), QStringLiteral("the saved file does not load: ") + again.errorString());
    const QStringList savedNames = again.sheetNames();
    if (names.isEmpty())
        FUZZ_CHECK(savedNames.size() == 1, savedNames.join(QLatin1Char(',')));
    else
        FUZZ_CHECK(savedNames == names,
                   savedNames.join(QLatin1Char(',')) + QStringLiteral(" for ") + names.join(QLatin1Char(',')));
    FUZZ_CHECK(again.selectSheet(names.isEmpty() ? 0 : sheet), QString());
    FUZZ_CHECK(again.lastUsedRow() == row, QStringLiteral("last row %1, written %2").arg(again.lastUsedRow()).arg(row));
    if (!rowsRead)
        return 0;
    FUZZ_CHECK(again.read(row, 1).toString() == text, again.read(row, 1).toString() + again.errorString());
    FUZZ_CHECK(again.read(row, 2).toDouble() == 42.5, again.read(row, 2).toString());

    // Then row after row as the polling log goes on: the file opened again
    // (its rows left unread, as the index kept with them allows), one row
    // appended, saved in place.
    const int savedSheet = names.isEmpty() ? 0 : sheet;
    for (int next = row + 1; next <= row + 2; ++next) {
        XlsxWorkbook log(savedPath);
        FUZZ_CHECK(!log.loadFailed(), QStringLiteral("row %1: ").arg(next) + log.errorString());
        FUZZ_CHECK(log.selectSheet(savedSheet), QString());
        FUZZ_CHECK(log.lastUsedRow() == next - 1,
                   QStringLiteral("last row %1, before %2").arg(log.lastUsedRow()).arg(next));
        const QString uid = QStringLiteral("04%1").arg(next);
        FUZZ_CHECK(log.writeText(next, 1, uid) && log.writeNumber(next, 2, next), QStringLiteral("row %1").arg(next));
        QString saveError;
        FUZZ_CHECK(log.save(&saveError), QStringLiteral("row %1: ").arg(next) + saveError);
    }
    XlsxWorkbook last(savedPath);
    FUZZ_CHECK(!last.loadFailed() && last.sheetNames() == savedNames, last.errorString());
    FUZZ_CHECK(last.selectSheet(savedSheet) && last.lastUsedRow() == row + 2,
               QStringLiteral("last row %1, written %2").arg(last.lastUsedRow()).arg(row + 2));
    FUZZ_CHECK(last.read(row, 1).toString() == text, last.read(row, 1).toString() + last.errorString());
    for (int next = row + 1; next <= row + 2; ++next) {
        FUZZ_CHECK(last.read(next, 1).toString() == QStringLiteral("04%1").arg(next),
                   QStringLiteral("row %1: ").arg(next) + last.read(next, 1).toString());
        FUZZ_CHECK(last.read(next, 2).toDouble() == next, last.read(next, 2).toString());
    }
    return 0;
}
