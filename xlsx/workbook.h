#pragma once

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

// An .xlsx workbook opened from a file name, written cell by cell and saved
// back: the polling log appends rows to a workbook the user chose, the
// detected-device list is written into a new one.
//
//     XlsxWorkbook book(path);          // an existing file is loaded, a missing one is a new workbook
//     if (book.loadFailed()) ...        // the file exists but is not a workbook we can write
//     book.selectSheet(0);
//     const int row = book.lastUsedRow() + 1;
//     book.writeDate(row, 1, QDate::currentDate());
//     book.writeText(row, 2, time);
//     book.save();
//
// Only the parts that change are rewritten: the written worksheet, the style
// sheet when a date format has to be added to it, and (when a cell holding a
// formula is overwritten) the calculation chain is dropped so that
// spreadsheet programs rebuild it. Every other part of a loaded file (other
// sheets, shared strings, drawings, document properties, anything unknown)
// is copied into the saved file byte for byte. Text is written as inline
// strings; the shared string table is never touched.
//
// A written worksheet is saved laid out for appending (xlsx/sheetstream.h):
// when the file is loaded again, its rows are not read, only what the index
// kept with it says about them (the last row, the range in use), and rows
// written below them are saved without compressing the rows before again.
// The cost of appending a row hardly grows with the rows a sheet holds.
// Reading a cell of those rows, or writing into them, reads the rows first;
// rows found damaged then make the workbook one that failed to load (a new,
// empty one that is not saved over the file).
//
// A new workbook has no worksheet until the first cell is written (or it is
// saved); then it gets one named "Sheet1", which becomes the current sheet.
// A loaded workbook starts on the sheet the file marks as active, or its
// first worksheet; selecting another does not change which sheet the file
// opens on. Sheet names and indexes count worksheets only; chart sheets and
// the like are kept but not offered.
//
// Loading refuses (loadFailed()) anything it could not write back whole: a
// file that is not a consistent zip archive, has no workbook part or no
// worksheet, a workbook, relationship, content-type, style or worksheet part
// that does not parse, rows or cells out of order, document type
// declarations, and archives past the limits of xlsx/archive.h (1 GiB of
// file and of parts read, parts that expand more than a hundredfold past
// 64 MiB, 10000 entries), which a full sheet stays well within.
//
// Saving goes through a temporary file in the target's folder that replaces
// the target only once it is complete, so a failed save or a crash leaves
// the old file whole; the file keeps its permissions, and its owner and
// group where the process may set them.
//
// Rows and columns count from 1. Writes outside the sheet (rows 1..1048576,
// columns 1..16384), text longer than a cell holds (32767 characters),
// non-finite numbers and dates before the workbook's epoch are refused.
class XlsxWorkbook
{
public:
    static constexpr int MaxRows = 1048576;

    XlsxWorkbook(); // a new, empty workbook without a file name
    explicit XlsxWorkbook(const QString &path); // load(path)
    ~XlsxWorkbook();
    XlsxWorkbook(const XlsxWorkbook &) = delete;
    XlsxWorkbook &operator=(const XlsxWorkbook &) = delete;

    // Forgets the current content and opens path: an existing file is loaded,
    // a missing one gives a new workbook that will be saved under that name.
    // False when the file exists but is not a readable workbook; the object is
    // then a new, empty workbook and errorString() says why.
    bool load(const QString &path);
    bool isLoadedFromFile() const; // an existing file was loaded successfully
    bool loadFailed() const; // an existing file could not be loaded, or its rows not read
    QString errorString() const; // why the last load failed
    QString path() const;

    QStringList sheetNames() const;
    bool selectSheet(const QString &name);
    bool selectSheet(int index); // 0-based
    int currentSheetIndex() const; // -1 while there is no sheet
    QString currentSheetName() const;
    // Last row of the current sheet that holds a cell, 0 for an empty sheet.
    int lastUsedRow() const;

    // Writes into the current sheet (creating "Sheet1" in a new workbook),
    // replacing what the cell held. Text and numbers keep the cell format a
    // replaced cell had; dates get a date format.
    bool writeText(int row, int column, const QString &text);
    bool writeNumber(int row, int column, double value);
    bool writeDate(int row, int column, const QDate &date);

    // A cell of the current sheet: text (shared, inline or formula result) as
    // QString, numbers (dates included) as double, booleans as bool, errors as
    // their text ("#N/A"); an invalid QVariant for an empty or missing cell.
    QVariant read(int row, int column) const;

    // Saves under path(). Refused for a file that failed to load, so that a
    // damaged workbook is never replaced by an empty one.
    bool save(QString *error = nullptr);
    // Saves under another name; path() stays as it is.
    bool saveAs(const QString &path, QString *error = nullptr);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
