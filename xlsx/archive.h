#pragma once

// The zip archive of a workbook, read and written through libzip: reading
// checks the archive's consistency and guards against hostile archives;
// writing copies untouched entries as they are and takes new ones already
// deflated.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <memory>
#include <vector>

struct zip;
struct zip_source;

namespace xlsx {

struct XmlText;
struct DeflatedSource;

// Guards against hostile archives, well above what a full sheet needs
// (1,048,576 rows of a polling log are about 190 MB of XML, 25 MB deflated):
// a file and all parts read from it together stay within MaxLoadBytes, a
// part grows beyond PartBytesFloor only up to MaxExpansion times its
// deflated size (real sheets deflate 5 to 20 times), and an archive has at
// most MaxEntries entries.
constexpr qint64 MaxFileBytes = qint64(1) << 30;
constexpr qint64 MaxLoadBytes = qint64(1) << 30;
constexpr qint64 PartBytesFloor = 64 * 1024 * 1024;
constexpr qint64 MaxExpansion = 100;
constexpr qint64 MaxEntries = 10000;

// The extra field of the central directory under which a worksheet entry
// keeps what appending to it needs (see sheetstream.h).
constexpr quint16 SheetIndexFieldId = 0x7872;
// The extra fields of a record stay below 32 KiB, where LibreOffice stops
// reading them; an index that would not fit is left out.
constexpr int MaxIndexFieldBytes = 0x8000;

// A part ready for the archive: its deflated data in pieces (slices of a
// loaded archive may stand among them, which must then outlive this), the
// size and CRC-32 of what it holds, and an index kept with the entry.
struct EncodedPart
{
    QVector<QByteArray> pieces;
    qint64 size = 0;
    quint32 crc = 0;
    QByteArray index;

    qint64 compressedSize() const;
};
// data deflated whole.
bool encodePart(const QByteArray &data, EncodedPart *out);

// Read access to an archive held in memory; the bytes must outlive it.
class ArchiveReader
{
public:
    ArchiveReader() = default;
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader &) = delete;
    ArchiveReader &operator=(const ArchiveReader &) = delete;

    bool open(const QByteArray &bytes, QString *error);
    // Index of the entry of that name, case-insensitive as package part
    // names are, percent-encoded or not; -1 if none.
    qint64 locate(const QString &name) const;
    QString nameAt(qint64 index) const;
    bool read(qint64 index, QByteArray *out, QString *error);
    bool readXml(qint64 index, XmlText *out, QString *error);
    // Counts bytes read some other way against the limit of the load.
    bool spend(qint64 bytes, QString *error);

private:
    zip *m_zip = nullptr;
    qint64 m_budget = MaxLoadBytes;
};

// Builds an archive in memory: from scratch, or as an edit of an existing
// one whose untouched entries libzip copies without recompressing them.
class ArchiveWriter
{
public:
    ArchiveWriter();
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter &) = delete;
    ArchiveWriter &operator=(const ArchiveWriter &) = delete;

    bool open(const QByteArray &original, QString *error);
    bool add(const QString &name, const QByteArray &data, QString *error);
    bool add(const QString &name, const EncodedPart &part, QString *error);
    bool replace(qint64 index, const QByteArray &data, QString *error);
    bool replace(qint64 index, const EncodedPart &part, QString *error);
    bool remove(qint64 index, QString *error);
    bool finish(QByteArray *out, QString *error);

private:
    zip_source *sourceFor(const EncodedPart &part, QString *error);
    bool setIndex(qint64 index, const EncodedPart &part, QString *error);
    bool fail(QString *error);

    zip_source *m_source = nullptr;
    zip *m_zip = nullptr;
    std::vector<std::unique_ptr<DeflatedSource>> m_data; // read by libzip when the archive is closed
};

} // namespace xlsx
