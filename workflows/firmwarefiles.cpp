#include "workflows/firmwarefiles.h"

#include "console/hexbyte.h"

namespace FirmwareFiles {

QByteArray otaFramePayload(const QByteArray &image, int offset)
{
    QByteArray payload;
    payload.append(char(0xF1));
    if (offset >= 0 && offset < image.size())
        payload.append(image.constData() + offset, qMin(OtaFrameData, image.size() - offset));
    return payload;
}

QByteArray otaEndPayload(uint32_t size)
{
    QByteArray payload;
    payload.append(char(0xF2));
    for (int shift = 0; shift < 32; shift += 8)
        payload.append(char((size >> shift) & 0xFF));
    return payload;
}

QString chipVersionText(const QByteArray &file)
{
    if (file.size() < ChipMinimumSize)
        return QString();
    return hexByteText(uint8_t(file.at(5))) + QLatin1Char('.') + hexByteText(uint8_t(file.at(4)));
}

int chipRecordLength(const QByteArray &file, int offset)
{
    if (offset < 0 || offset + 2 > file.size())
        return -1;
    return (uint8_t(file.at(offset)) << 8) | uint8_t(file.at(offset + 1));
}

ChipCheck checkChipFile(const QByteArray &file, int maxBody)
{
    ChipCheck check;
    if (file.size() < ChipMinimumSize) {
        check.problem = QStringLiteral("the file holds %1 bytes, a chip firmware file has at least %2")
                            .arg(file.size())
                            .arg(ChipMinimumSize);
        return check;
    }
    int offset = 0;
    while (offset < file.size()) {
        const int left = file.size() - offset;
        if (left < 2) {
            check.problem = QStringLiteral("the file ends inside the length of record %1 (offset %2)")
                                .arg(check.records + 1)
                                .arg(offset);
            return check;
        }
        const int length = chipRecordLength(file, offset);
        if (length > left - 2) {
            check.problem = QStringLiteral("record %1 (offset %2) announces %3 bytes, only %4 follow")
                                .arg(check.records + 1)
                                .arg(offset)
                                .arg(length)
                                .arg(left - 2);
            return check;
        }
        if (length > maxBody) {
            check.problem = QStringLiteral("record %1 (offset %2) holds %3 bytes, one frame carries at most %4")
                                .arg(check.records + 1)
                                .arg(offset)
                                .arg(length)
                                .arg(maxBody);
            return check;
        }
        offset += 2 + length;
        ++check.records;
    }
    check.ok = true;
    return check;
}

} // namespace FirmwareFiles
