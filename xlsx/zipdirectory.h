#pragma once

// The central directory of a zip archive held in memory, read on its own so
// that the archive can be written again entry by entry: the entries that
// change get new data, all others are copied byte for byte, and nothing is
// decompressed or held twice. Only plain archives are taken (one disk, no
// zip64, entries laid out one after the other from the start of the file);
// any other goes through libzip (archive.h).

#include <QByteArray>
#include <QHash>
#include <QString>
#include <vector>

class SafeFileWriter;

namespace xlsx {

struct EncodedPart;

class ZipDirectory
{
public:
    struct Entry
    {
        QByteArray name;
        quint16 method = 0;
        quint16 flags = 0;
        quint32 crc = 0;
        qint64 compressedSize = 0;
        qint64 size = 0;
        qint64 localOffset = 0; // local header
        qint64 dataOffset = 0; // its data
        qint64 end = 0; // where the next entry or the central directory starts
        int record = 0; // its central directory record in the file
        int recordLength = 0;
        int extraStart = 0; // extra fields in the record
        int extraLength = 0;
        QByteArray index; // content of the sheet index field, if any
    };

    // Reads the directory of file, which must outlive this. False for
    // anything but a plain, consistent archive.
    bool read(const QByteArray &file);
    // Entries in central directory order, which is libzip's index order.
    const std::vector<Entry> &entries() const { return m_entries; }
    // The deflated data of an entry, stored (not deflated) or encrypted ones
    // excepted.
    QByteArray deflatedData(int entry) const;

    // Writes the archive to out with the entries in parts (by index)
    // replaced; their index fields are replaced too. A failed write leaves
    // *error as it is: out says why.
    bool write(SafeFileWriter &out, const QHash<int, const EncodedPart *> &parts, QString *error) const;

private:
    const QByteArray *m_file = nullptr;
    std::vector<Entry> m_entries;
    std::vector<int> m_byOffset; // entries in file order
    qint64 m_directory = 0; // offset of the central directory
    qint64 m_end = 0; // of the end-of-central-directory record
};

} // namespace xlsx
