// The response dispatcher on any frame body, in every workflow state.
//
// Input: the state (oneShotState, by position among the states, modulo
// their number), a flags byte, then the body as the codec hands it on
// (status, answered command, data, CRC; the dispatcher does not check it).
// Flags: bit 0 the header carries an RS485 address byte, bit 1 the "RS485
// binary protocol" box is ticked, bits 2-3 what a configuration download is
// for, bit 4 a chip firmware file is loaded for the update, bit 5 the frames
// come through the codec instead of directly, bit 6 the rest is a sequence
// of bodies, each after a length byte (a workflow's chain of answers: a
// download's reads and close then open its dialog on what was read).
//
// Header and body each lie in a buffer of exactly their size, so a read or
// write past the frame is seen. One window serves the whole run; every
// input starts with the answer timers stopped, the state set and no
// transfer or firmware data. Message boxes are answered and dialogs closed
// as they come up.
//
// Not fed: the positive answers to Reboot, Factory reset and OTA Begin.
// Their handlers read nothing of the answer but wait seconds for the reader
// to come back, which would leave no time for anything else.

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QList>
#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <iterator>
#include <vector>

#include "app/mainwindow.h"
#include "fuzzsupport.h"

namespace {

const int kStates[] = {
    MainWindow::Idle,
    MainWindow::LoopTest,
    MainWindow::GetVersion,
    MainWindow::Rs485Scan,
    MainWindow::FlashFirmware,
    MainWindow::FlashRfidChip,
    MainWindow::NetworkRead,
    MainWindow::NetworkWrite,
    MainWindow::AddressTagWrite,
    MainWindow::AddressTagRead,
    MainWindow::FileOpenForRead,
    MainWindow::FileOpenForWrite,
    MainWindow::FileWriting,
    MainWindow::FileReading,
    MainWindow::FileClosingAfterRead,
    MainWindow::FileClosingAfterWrite,
};
constexpr size_t kStateCount = sizeof kStates / sizeof kStates[0];

// Three records (2, 3 and 1 bytes), the version in bytes 4 and 5.
const QByteArray kChipFile = QByteArray::fromHex("0002 0a03 0003 aabbcc 0001 dd");

bool slowAnswer(const QByteArray &body)
{
    if (body.size() < 4 || uint8_t(body.at(0)) != 0x00)
        return false;
    const uint8_t code = uint8_t(body.at(1));
    return code == 0x0A || code == 0x11 || code == 0xF0;
}

void feedFrame(MainWindow *w, bool withAddress, const QByteArray &body)
{
    const uint8_t address = 0x21;
    const size_t length = size_t(body.size()) + (withAddress ? 1 : 0);
    std::vector<uint8_t> header {0xF5, uint8_t(length & 0xFF), uint8_t(length >> 8)};
    header.push_back(uint8_t(~header[1]));
    header.push_back(uint8_t(~header[2]));
    if (withAddress)
        header.push_back(address);
    std::vector<uint8_t> buff(body.begin(), body.end());
    // An empty vector has no storage; give the call a pointer anyway.
    uint8_t none = 0;
    w->binaryProtocolFrameComplete(header.data(), header.size(), buff.empty() ? &none : buff.data(), buff.size());
}

// Through the codec: the body gets its CRC and, with an address, the codec
// takes the address byte off as the reader's frames would arrive.
void feedThroughCodec(MainWindow *w, bool withAddress, QByteArray body)
{
    const uint8_t address = withAddress ? 0x21 : 0x00;
    if (body.size() > 2000)
        body.truncate(2000);
    QByteArray full;
    if (address)
        full.append(char(address));
    full.append(body);
    const uint16_t crc
        = BinaryProtocol::crc16(reinterpret_cast<const uint8_t *>(full.constData()), size_t(full.size()));
    full.append(char(crc & 0xFF));
    full.append(char(crc >> 8));
    const uint16_t length = uint16_t(full.size());
    QByteArray frame;
    frame.append(char(0xF5));
    frame.append(char(length & 0xFF));
    frame.append(char(length >> 8));
    frame.append(char(~length & 0xFF));
    frame.append(char((~length >> 8) & 0xFF));
    frame.append(full);
    w->protocol.setAddress(address);
    w->protocol.frameTimerTimeout(); // no half frame from an input before
    w->protocol.receiveBytes(reinterpret_cast<const uint8_t *>(frame.constData()), size_t(frame.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fuzz::window();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static unsigned runs = 0;
    MainWindow *w = Fuzz::window();
    Fuzz::Input in(data, size);
    const int state = kStates[in.byte() % kStateCount];
    const uint8_t flags = in.byte();
    QList<QByteArray> bodies;
    if (flags & 0x40) {
        while (!in.empty()) {
            const uint8_t length = in.byte();
            bodies << in.take(length);
        }
    } else {
        bodies << in.rest();
    }
    for (const QByteArray &body : bodies)
        if (slowAnswer(body))
            return -1; // not added to the corpus

    // What piles up over a run is cleared now and then.
    if (++runs % 16 == 0) {
        QMetaObject::invokeMethod(w, "on_btClearLogs_clicked");
        w->findChild<QComboBox *>(QStringLiteral("cbDetectedDevices"))->clear();
    }

    w->oneShotTimer->stop();
    w->pollingTimer->stop();
    w->retryCount = 0;
    w->oneShotState = state;
    w->downloadTarget = (flags >> 2) & 3;
    w->findChild<QGroupBox *>(QStringLiteral("gbRS485"))->setChecked(flags & 2);
    w->transferBuffer.clear();
    w->firmwareData = (flags & 0x10) ? kChipFile : QByteArray();
    w->firmwareOffset = 0;
    w->protocol.setAddress(0);

    for (const QByteArray &body : bodies) {
        if (flags & 0x20)
            feedThroughCodec(w, flags & 1, body);
        else
            feedFrame(w, flags & 1, body);
        Fuzz::settle();
    }

    // Whatever the answer, the window is left in one of its states.
    FUZZ_CHECK(std::find(std::begin(kStates), std::end(kStates), w->oneShotState) != std::end(kStates),
               QStringLiteral("oneShotState %1").arg(w->oneShotState));
    return 0;
}
