#pragma once

#include <cstdint>

// The command codes the client and the simulated reader act on by name, and
// the status bytes that open every answer. Every other command comes from
// the command catalogue by its code. This header needs nothing but the
// standard library, so the simulated reader shares it.
namespace Command {

enum Code : uint8_t {
    GetTagCount = 0x02,
    GetUid = 0x03,
    ActivateTag = 0x04,
    Halt = 0x05,
    NetworkConfig = 0x09,
    Reboot = 0x0A,
    GetVersion = 0x0B,
    FactoryReset = 0x11,
    KnownList = 0x18,
    SetUid = 0x28, // MIFARE Classic, special tags only
    UltralightReadPage = 0x40,
    UltralightWritePage = 0x41,
    FileOpen = 0xE0,
    FileRead = 0xE1,
    FileWrite = 0xE2,
    FileClose = 0xE3,
    DeviceLog = 0xE4, // "CMD_LOG"; also the status of a device log line
    OtaBegin = 0xF0,
    OtaFrame = 0xF1,
    OtaEnd = 0xF2,
    PnOtaBegin = 0xF6,
    PnOtaFrame = 0xF7,
    PnOtaFinish = 0xF8,
    Error = 0xFF, // what a peer sends back for a damaged frame
};

} // namespace Command

// The first byte of every frame the reader sends.
namespace AnswerStatus {

enum Code : uint8_t {
    Positive = 0x00,
    Error = 0xFF, // followed by the command and a two-byte error number
    Event = 0xFE, // unsolicited; event 0x01 is a tag in the field
    LogLine = 0xE4,
};

} // namespace AnswerStatus
