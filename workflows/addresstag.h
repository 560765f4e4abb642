#pragma once

// The address tag: an 8-byte record in pages 4 and 5 of a MIFARE Ultralight
// tag that tells a reader its own bus address and whether it terminates the
// bus.
//
//   offset 0  "Gx01"                     header
//   offset 4  device address
//   offset 5  terminated flag            written as 0x01 / 0x00; any non-zero reads as set
//   offset 6  CRC-16/CCITT-FALSE over bytes 0 to 5, low byte first

#include <QByteArray>
#include <cstdint>

namespace AddressTag {

constexpr int RecordSize = 8;
constexpr uint8_t FirstPage = 4;
constexpr uint8_t PageCount = 2;
extern const char Header[4]; // "Gx01", not terminated

// The record for address and terminated.
QByteArray makeRecord(uint8_t address, bool terminated);

enum class Check {
    Valid,
    TooShort, // fewer than 8 bytes
    WrongHeader, // looked at before the CRC
    WrongCrc,
};

struct Content
{
    Check check = Check::TooShort;
    uint8_t address = 0;
    bool terminated = false;
};

// Reads a record from the first 8 bytes of pages (the data of a page read
// from page 4 on). Address and flag are only filled in for a valid record.
Content parseRecord(const QByteArray &pages);

} // namespace AddressTag
