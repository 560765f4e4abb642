#include "workflows/addresstag.h"

#include "link/binaryprotocol.h"

#include <cstring>

namespace AddressTag {

const char Header[4] = {'G', 'x', '0', '1'};

namespace {

constexpr int CrcOffset = 6;

uint16_t recordCrc(const char *record)
{
    return BinaryProtocol::crc16(reinterpret_cast<const uint8_t *>(record), CrcOffset);
}

} // namespace

QByteArray makeRecord(uint8_t address, bool terminated)
{
    QByteArray record(Header, sizeof(Header));
    record.append(char(address));
    record.append(char(terminated ? 0x01 : 0x00));
    const uint16_t crc = recordCrc(record.constData());
    record.append(char(crc & 0xFF));
    record.append(char(crc >> 8));
    return record;
}

Content parseRecord(const QByteArray &pages)
{
    Content content;
    if (pages.size() < RecordSize) {
        content.check = Check::TooShort;
        return content;
    }
    const char *record = pages.constData();
    if (std::memcmp(record, Header, sizeof(Header)) != 0) {
        content.check = Check::WrongHeader;
        return content;
    }
    const uint16_t stored = uint16_t(uint8_t(record[CrcOffset]) | (uint8_t(record[CrcOffset + 1]) << 8));
    if (stored != recordCrc(record)) {
        content.check = Check::WrongCrc;
        return content;
    }
    content.check = Check::Valid;
    content.address = uint8_t(record[4]);
    content.terminated = record[5] != 0;
    return content;
}

} // namespace AddressTag
