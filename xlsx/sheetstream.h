#pragma once

// A worksheet part laid out in its archive entry so that rows can be
// appended without compressing, or even reading, the rows before them:
//
//   stored blocks    the head: the part up to the <sheetData> start tag
//   deflate stream   the rows: the bulk, then the pending rows, each ending
//                    on a flush point
//   deflate stream   the tail: from </sheetData> on, in the final block
//
// Each piece can be replaced on its own: the head holds <dimension>, so it
// is written anew with every append; the bulk is copied as it is; the
// pending rows (the last few kilobytes of rows) are compressed again with
// the new rows behind them, with the last 32 KiB of the bulk as their
// dictionary, so that rows appended one by one deflate as well as rows
// written together; once they are many enough they join the bulk. The tail
// is copied as it is.
//
// The index kept with the entry (an extra field of its central directory
// record) says where each piece ends and carries the CRCs and lengths from
// which the entry's CRC follows, the dictionary, the pending rows, and what
// is known of the rows. An index is used only when it agrees with the
// entry's data, size and CRC; otherwise the part is read whole, and comes
// out laid out this way when saved.

#include "xlsx/sheetdata.h"

#include <QByteArray>
#include <QString>

namespace xlsx {

struct EncodedPart;

struct SheetIndex
{
    qint64 headDeflated = 0;
    qint64 bulkDeflated = 0;
    qint64 pendingDeflated = 0;
    qint64 tailDeflated = 0;
    qint64 tailLength = 0;
    quint32 tailCrc = 0;
    // The bulk rows before the dictionary.
    qint64 beforeLength = 0;
    quint32 beforeCrc = 0;
    QByteArray dictionary; // the last bytes of the bulk
    QByteArray pending;
    RowFacts rows;

    // Read from the entry by read().
    QByteArray head;
    QByteArray tail;

    QByteArray toBytes() const;
    // Reads an entry's index and checks it against the entry's deflated
    // data, CRC and size; the tail may decode to no more than limit bytes.
    bool read(const QByteArray &field, const QByteArray &deflated, quint32 crc, qint64 size, qint64 limit,
              QString *why);
};

// The whole of a sheet, laid out for appending.
bool encodeSheet(const SheetData &sheet, EncodedPart *out, QString *why);
// A sheet read through its index, with rows written behind the rows not
// read: deflated is the entry's old data, whose bulk and tail are kept.
bool encodeAppended(const SheetData &sheet, const SheetIndex &index, const QByteArray &deflated, EncodedPart *out,
                    QString *why);

} // namespace xlsx
