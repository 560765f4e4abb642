#pragma once

// One worksheet part held as its original text plus an index of its rows and
// cells. Rows and cells that are not written keep their original bytes; a
// written row is rebuilt from its kept cells and the new ones, in column
// order, and the rows are put out in row order. Everything around
// <sheetData> (sheet properties, views, merged cells, page set-up, unknown
// extensions) is kept as it is, except that <dimension> follows the cells.
//
// A UTF-8 part is read in two steps: the rows inside <sheetData> by a quick
// scanner over its bytes that knows the plain markup spreadsheet programs
// write, and the rest of the part by QXmlStreamReader. The part then stays
// in its bytes, and saving splices the written rows in between the kept
// ones. Whatever the scanner does not know for certain to be well-formed
// (comments, CDATA, processing instructions, namespace declarations,
// unusual names or references) sends the whole part through
// QXmlStreamReader instead, so both ways accept and refuse the same parts
// and index them alike.

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

namespace xlsx {

// What is known of the rows of a sheet: the last <row> element, and the
// rows and columns that hold cells (0 where there are none).
struct RowFacts
{
    int lastRow = 0;
    int firstUsedRow = 0;
    int lastUsedRow = 0;
    int firstColumn = 0;
    int lastColumn = 0;
};

class SheetData
{
public:
    // Parses a worksheet part. Rows and cells must come in ascending order
    // (as every spreadsheet program writes them); a missing r attribute
    // means the one after the previous row or cell.
    bool parse(const QString &text, bool fromUtf8, QString *error);
    // The quick way on the part's bytes. False (with nothing kept) when the
    // part is not UTF-8 text the scanner is sure about; it then has to go
    // through decodeXml() and parse(), which tell why if it is damaged.
    bool parseQuickly(const QByteArray &bytes);
    // An empty worksheet as a new workbook gets it.
    static SheetData blank();
    // A worksheet whose rows are not read: the text of the part before them
    // (up to the <sheetData> start tag) and after them (from its end tag
    // on), and what is known of them. Rows behind them can be written; their
    // cells cannot be read.
    bool parseAround(const QByteArray &head, const QByteArray &tail, const RowFacts &rows, QString *error);
    bool rowsUnread() const { return m_rowsUnread; }
    // Whether that row can be written: always, unless it is one of the rows
    // not read.
    bool canWriteRow(int row) const;
    // The cells written into another SheetData of the same part.
    void adoptWrittenRows(const SheetData &from);

    // Highest row number holding at least one cell, 0 for none.
    int lastRow() const;
    RowFacts facts() const;
    // The raw <c> element at (row, column), empty when there is none.
    QString cellXml(int row, int column) const;
    // Puts a complete <c> element (with its r attribute) at (row, column),
    // replacing what was there.
    void setCell(int row, int column, const QString &cellXml);

    // Prefix ("" or "x:") under which this part writes SpreadsheetML elements.
    const QString &prefix() const { return m_prefix; }
    bool isModified() const { return m_modified; }

    // The part as it is saved, UTF-8 in three pieces: up to the <sheetData>
    // start tag (with <dimension> brought up to date), the rows (only those
    // written where they were not read) handed to sink in batches, and the
    // rest from the </sheetData> end tag on.
    QByteArray headXml() const;
    bool writeRows(const std::function<bool(const char *data, int size)> &sink) const;
    QByteArray tailXml() const;

private:
    struct Scan;
    struct Cell
    {
        int column = 0;
        int start = -1; // span of a kept cell in the text (or the bytes)
        int end = -1;
        QString xml; // a written cell
    };
    struct Row
    {
        int number = 0;
        int start = -1; // span of a kept row, -1 for a new one
        int end = -1;
        int tagEnd = -1; // end of its start tag
        bool modified = false;
        std::vector<Cell> cells;
        std::vector<std::pair<int, int>> others; // non-cell children, kept
    };

    bool parseDocument(const QString &doc, bool fromUtf8, Scan *scan, QString *error);
    static bool scanRows(const QByteArray &bytes, int from, const QString &prefix, Scan *scan);
    QString piece(int start, int end) const;
    void appendRow(QString &out, const Row &row) const;
    QString dimensionRef() const;

    QString m_text;
    bool m_fromUtf8 = true;
    QString m_head; // up to and including the <sheetData> start tag
    QString m_tail; // from the </sheetData> end tag on
    // Read quickly: the part's bytes, where its text starts (behind a byte
    // order mark), where the head ends and the tail starts. Every offset,
    // those of <dimension> and of the rows and cells too, then counts bytes.
    QByteArray m_bytes;
    bool m_inBytes = false;
    int m_base = 0;
    int m_headEnd = -1;
    int m_tailStart = -1;
    int m_dimensionStart = -1; // span of <dimension> in m_head (or the bytes)
    int m_dimensionEnd = -1;
    QString m_dimensionName;
    QString m_prefix;
    std::vector<Row> m_rows;
    bool m_modified = false;
    bool m_rowsUnread = false;
    RowFacts m_unread;
};

} // namespace xlsx
