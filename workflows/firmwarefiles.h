#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// The two kinds of firmware file the client sends to a reader.
//
// A reader image goes out as it is, in OTA frames of at most 256 bytes
// (F1 data), followed by OTA End (F2 and the image size, 32 bits, least
// significant byte first).
//
// A chip firmware file (.nwfwu) is a sequence of records, back to back:
// a 16-bit length, most significant byte first, then that many body bytes.
// Each body is the data of one PN OTA Frame (F7 body). The file's bytes 4
// and 5 hold the firmware version.
namespace FirmwareFiles {

constexpr int OtaFrameData = 256;
constexpr int ChipMinimumSize = 6;
// Larger than any reader's flash or chip firmware; a larger file is not
// read.
constexpr qint64 MaxFileBytes = 32 * 1024 * 1024;

// F1 and the image bytes from offset on, at most 256 of them.
QByteArray otaFramePayload(const QByteArray &image, int offset);
// F2 and the size, least significant byte first.
QByteArray otaEndPayload(uint32_t size);

// Byte 5 and byte 4 of the file as hexadecimal pairs joined by a full stop
// (04 = 0x0A, 05 = 0x03 gives "03.0A"). Empty for a file shorter than 6 bytes.
QString chipVersionText(const QByteArray &file);

struct ChipCheck
{
    bool ok = false;
    int records = 0;
    QString problem; // what is wrong, for the user, when not ok
};

// Walks the records of a chip firmware file. A file shorter than 6 bytes, a
// record whose length field or body runs past the end of the file, and a
// record body longer than maxBody (what one PN OTA Frame can carry after its
// command byte) are refused.
ChipCheck checkChipFile(const QByteArray &file, int maxBody);

// The body length of the record that starts at offset (its length field).
int chipRecordLength(const QByteArray &file, int offset);

} // namespace FirmwareFiles
