// The check of an RFID chip firmware file (.nwfwu) on any file.
//
// Input: the largest record body (16 bits, least significant byte first;
// the update itself allows what one PN OTA Frame carries), then the file.
// A file the check accepts must be sent whole by the update's record walk,
// every record in one frame; a file it refuses must name the reason; the
// version text is two hexadecimal pairs or nothing.

#include <QRegularExpression>

#include "fuzzsupport.h"
#include "link/binaryprotocol.h"
#include "workflows/firmwarefiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::Input in(data, size);
    const uint16_t control = in.word();
    // Mostly the limits of the real update (without and with an RS485
    // address byte), sometimes any other.
    int maxBody = int(BinaryProtocol::BufferSize - BinaryProtocol::HeaderSize - 2) - 1;
    if (control & 0x8000)
        maxBody = int(control & 0x7FFF);
    else if (control & 1)
        maxBody -= 1;
    const QByteArray file = in.rest();

    const FirmwareFiles::ChipCheck check = FirmwareFiles::checkChipFile(file, maxBody);
    const QString detail = QStringLiteral("%1 bytes, max body %2, ok %3, %4 records, \"%5\"")
                               .arg(file.size())
                               .arg(maxBody)
                               .arg(check.ok)
                               .arg(check.records)
                               .arg(check.problem);
    FUZZ_CHECK(check.ok == check.problem.isEmpty(), detail);
    FUZZ_CHECK(check.records >= 0, detail);

    // The walk of the update (one record per answer) over the same file.
    int offset = 0;
    int records = 0;
    bool sendable = true;
    while (offset < file.size()) {
        const int length = FirmwareFiles::chipRecordLength(file, offset);
        if (length < 0) {
            sendable = false;
            break;
        }
        const QByteArray body = file.mid(offset + 2, length);
        if (body.size() != length || length > maxBody)
            sendable = false;
        offset += length + 2;
        ++records;
    }
    if (check.ok) {
        FUZZ_CHECK(file.size() >= FirmwareFiles::ChipMinimumSize, detail);
        FUZZ_CHECK(sendable && offset == file.size(), detail);
        FUZZ_CHECK(records == check.records, detail + QStringLiteral(", walked %1").arg(records));
    } else if (file.size() >= FirmwareFiles::ChipMinimumSize) {
        FUZZ_CHECK(!sendable || offset != file.size(), detail);
    }

    const QString version = FirmwareFiles::chipVersionText(file);
    static const QRegularExpression versionForm(QStringLiteral("^[0-9A-F]{2}\\.[0-9A-F]{2}$"));
    if (file.size() < FirmwareFiles::ChipMinimumSize)
        FUZZ_CHECK(version.isEmpty(), version);
    else
        FUZZ_CHECK(versionForm.match(version).hasMatch(), version);
    return 0;
}
