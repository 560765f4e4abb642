#include "xlsx/sheetstream.h"

#include "xlsx/archive.h"
#include "xlsx/deflate.h"
#include "xlsx/xmltext.h"

#include <climits>

namespace xlsx {

namespace {

const char Magic[] = "RXS1";
constexpr int Fields = 15;
constexpr int HeaderSize = 4 + Fields * 4;
// The rows of a whole sheet are compressed fast (it may hold a million);
// appended rows are few and compressed well.
constexpr int BulkLevel = 1;
constexpr int AppendLevel = 6;
// The index stays well below 32 KiB, where LibreOffice stops reading a
// central directory record's extra fields: 16 KiB of dictionary (about a
// hundred rows of a polling log) and pending rows below 8 KiB, which join
// the bulk from that size on.
constexpr int DictionaryBytes = 16384;
constexpr int PendingLimit = 8192;
static_assert(HeaderSize + DictionaryBytes + PendingLimit + 4 < MaxIndexFieldBytes, "the index must fit");

void putWord(QByteArray &b, quint32 v)
{
    for (int i = 0; i < 4; ++i, v >>= 8)
        b += char(v & 0xFF);
}

quint32 word(const QByteArray &b, int at)
{
    quint32 v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | uchar(b[at + i]);
    return v;
}

QByteArray slice(const QByteArray &bytes, qint64 from, qint64 size)
{
    return QByteArray::fromRawData(bytes.constData() + from, int(size));
}

bool validFacts(const RowFacts &f)
{
    if (f.lastRow < 0 || f.lastRow > MaxRows)
        return false;
    if (!f.firstUsedRow)
        return !f.lastUsedRow && !f.firstColumn && !f.lastColumn;
    return f.firstUsedRow >= 1 && f.firstUsedRow <= f.lastUsedRow && f.lastUsedRow <= f.lastRow && f.firstColumn >= 1
        && f.firstColumn <= f.lastColumn && f.lastColumn <= MaxColumns;
}

// CRC and length of the whole part, from those of its pieces.
quint32 partCrc(const QByteArray &head, const SheetIndex &index)
{
    quint32 crc = crc32Combine(crc32Of(head), index.beforeCrc, index.beforeLength);
    crc = crc32Combine(crc, crc32Of(index.dictionary), index.dictionary.size());
    crc = crc32Combine(crc, crc32Of(index.pending), index.pending.size());
    return crc32Combine(crc, index.tailCrc, index.tailLength);
}

qint64 partSize(const QByteArray &head, const SheetIndex &index)
{
    return head.size() + index.beforeLength + index.dictionary.size() + index.pending.size() + index.tailLength;
}

// The head as stored blocks in front of the deflated rows and tail.
void finishPart(const QByteArray &head, const QVector<QByteArray> &deflated, SheetIndex &index, EncodedPart *out)
{
    const QByteArray storedHead = storedBlocks(head);
    index.headDeflated = storedHead.size();
    out->pieces = QVector<QByteArray> {storedHead} + deflated;
    out->crc = partCrc(head, index);
    out->size = partSize(head, index);
    out->index = index.toBytes();
}

} // namespace

QByteArray SheetIndex::toBytes() const
{
    QByteArray b(Magic, 4);
    b.reserve(HeaderSize + dictionary.size() + pending.size() + 4);
    for (qint64 v : {headDeflated, bulkDeflated, pendingDeflated, tailDeflated, tailLength})
        putWord(b, quint32(v));
    putWord(b, tailCrc);
    putWord(b, quint32(beforeLength));
    putWord(b, beforeCrc);
    for (int v : {rows.lastRow, rows.firstUsedRow, rows.lastUsedRow, rows.firstColumn, rows.lastColumn})
        putWord(b, quint32(v));
    putWord(b, quint32(dictionary.size()));
    putWord(b, quint32(pending.size()));
    b += dictionary;
    b += pending;
    putWord(b, crc32Of(b));
    return b;
}

bool SheetIndex::read(const QByteArray &field, const QByteArray &deflated, quint32 crc, qint64 size, qint64 limit,
                      QString *why)
{
    auto fail = [&](const char *what) {
        *why = QLatin1String(what);
        return false;
    };
    if (field.size() < HeaderSize + 4 || !field.startsWith(Magic))
        return fail("unknown index");
    if (word(field, field.size() - 4) != crc32Of(field.constData(), field.size() - 4))
        return fail("damaged index");
    quint32 v[Fields];
    for (int i = 0; i < Fields; ++i)
        v[i] = word(field, 4 + 4 * i);
    headDeflated = v[0];
    bulkDeflated = v[1];
    pendingDeflated = v[2];
    tailDeflated = v[3];
    tailLength = v[4];
    tailCrc = v[5];
    beforeLength = v[6];
    beforeCrc = v[7];
    rows = {int(qMin<quint32>(v[8], INT_MAX)), int(qMin<quint32>(v[9], INT_MAX)), int(qMin<quint32>(v[10], INT_MAX)),
            int(qMin<quint32>(v[11], INT_MAX)), int(qMin<quint32>(v[12], INT_MAX))};
    const qint64 dictionaryLength = v[13], pendingLength = v[14];
    if (HeaderSize + dictionaryLength + pendingLength + 4 != field.size() || dictionaryLength > DictionaryBytes
        || pendingLength >= PendingLimit || !validFacts(rows))
        return fail("inconsistent index");
    dictionary = field.mid(HeaderSize, int(dictionaryLength));
    pending = field.mid(HeaderSize + int(dictionaryLength), int(pendingLength));
    if (headDeflated + bulkDeflated + pendingDeflated + tailDeflated != deflated.size()
        || (!bulkDeflated && (beforeLength || !dictionary.isEmpty())) || (!pendingDeflated != pending.isEmpty()))
        return fail("the index does not fit the entry");

    if (!readStoredBlocks(deflated.constData(), headDeflated, &head))
        return fail("the head is not where the index says");
    QByteArray decoded;
    if (pendingDeflated
        && (!inflateRaw(deflated.constData() + headDeflated + bulkDeflated, pendingDeflated, false, pending.size(),
                        &decoded, dictionary)
            || decoded != pending))
        return fail("the pending rows are not what the index says");
    if (!inflateRaw(deflated.constData() + deflated.size() - tailDeflated, tailDeflated, true, qMin(tailLength, limit),
                    &tail)
        || tail.size() != tailLength || crc32Of(tail) != tailCrc)
        return fail("the tail is not what the index says");
    if (partSize(head, *this) != size || partCrc(head, *this) != crc)
        return fail("the index does not fit the entry's CRC");
    return true;
}

bool encodeSheet(const SheetData &sheet, EncodedPart *out, QString *why)
{
    *out = EncodedPart();
    SheetIndex index;
    index.rows = sheet.facts();
    QByteArray rows;
    Deflater deflater(BulkLevel);
    // The last bytes of the rows, as the dictionary for rows appended later;
    // everything before them only counts towards the CRC.
    QByteArray window;
    auto fold = [&](const char *data, qint64 size) {
        index.beforeCrc = crc32Of(data, size, index.beforeCrc);
        index.beforeLength += size;
    };
    const bool written = sheet.writeRows([&](const char *data, int size) {
        if (!deflater.add(data, size, &rows))
            return false;
        if (size >= DictionaryBytes) {
            fold(window.constData(), window.size());
            fold(data, size - DictionaryBytes);
            window = QByteArray(data + size - DictionaryBytes, DictionaryBytes);
        } else {
            window.append(data, size);
            if (window.size() > 4 * DictionaryBytes) {
                fold(window.constData(), window.size() - DictionaryBytes);
                window.remove(0, window.size() - DictionaryBytes);
            }
        }
        return true;
    });
    if (!written || (!window.isEmpty() && !deflater.finish(false, &rows))) {
        *why = QStringLiteral("the rows could not be compressed");
        return false;
    }
    if (window.size() > DictionaryBytes) {
        fold(window.constData(), window.size() - DictionaryBytes);
        window.remove(0, window.size() - DictionaryBytes);
    }
    index.dictionary = window;
    index.bulkDeflated = rows.size();

    const QByteArray tail = sheet.tailXml();
    QByteArray deflatedTail;
    if (!deflateRaw(tail, AppendLevel, &deflatedTail)) {
        *why = QStringLiteral("the sheet could not be compressed");
        return false;
    }
    index.tailDeflated = deflatedTail.size();
    index.tailLength = tail.size();
    index.tailCrc = crc32Of(tail);
    finishPart(sheet.headXml(), {rows, deflatedTail}, index, out);
    return true;
}

bool encodeAppended(const SheetData &sheet, const SheetIndex &old, const QByteArray &deflated, EncodedPart *out,
                    QString *why)
{
    *out = EncodedPart();
    SheetIndex index = old;
    index.rows = sheet.facts();
    QByteArray rows = old.pending;
    sheet.writeRows([&](const char *data, int size) {
        rows.append(data, size);
        return true;
    });
    QByteArray pending;
    Deflater deflater(AppendLevel, old.dictionary);
    if (!rows.isEmpty() && (!deflater.add(rows, &pending) || !deflater.finish(false, &pending))) {
        *why = QStringLiteral("the rows could not be compressed");
        return false;
    }
    if (rows.size() < PendingLimit) {
        index.pending = rows;
        index.pendingDeflated = pending.size();
    } else {
        // The pending rows join the bulk; the dictionary moves up behind them.
        const QByteArray joined = old.dictionary + rows;
        const int drop = qMax(0, joined.size() - DictionaryBytes);
        index.beforeCrc = crc32Of(joined.constData(), drop, old.beforeCrc);
        index.beforeLength = old.beforeLength + drop;
        index.dictionary = joined.mid(drop);
        index.pending.clear();
        index.bulkDeflated = old.bulkDeflated + pending.size();
        index.pendingDeflated = 0;
    }
    const QByteArray bulk = slice(deflated, old.headDeflated, old.bulkDeflated);
    const QByteArray tail = slice(deflated, deflated.size() - old.tailDeflated, old.tailDeflated);
    finishPart(sheet.headXml(), {bulk, pending, tail}, index, out);
    return true;
}

} // namespace xlsx
