#pragma once

// What the fuzz targets share: the application object, the one main window
// of a fuzzing process, and a hand that answers every message box and closes
// every dialog the code under test opens, so that no input waits for a user.
//
// The targets that build a main window run inside a private network
// namespace (scripts/fuzz): the window starts the UDP discovery loops.

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

class MainWindow;

namespace Fuzz {

// The application object, made once per process: a QCoreApplication, or a
// QApplication on the offscreen platform. Debug output is dropped (it would
// cost more than the code under test); warnings still go to stderr when
// RX_FUZZ_VERBOSE is set.
void initCore();
void initGui();

// The main window of this process, built on first use with a settings store
// in a temporary folder. File dialogs choose nothing and questions are
// answered No. It is destroyed at exit, which ends its discovery loops.
MainWindow *window();

// Runs what is pending in the event loop, closing message boxes (default
// button, else Escape) and dialogs (reject) that come up meanwhile, and
// deletes what was left for deletion.
void settle();

// For a target whose window keeps what it was given from one input to the
// next (log lines, list entries, a transfer), so that an input seldom frees
// all it allocates: libFuzzer would run nearly every input a second time and
// search the heap for leaks after it. Called from LLVMFuzzerInitialize with
// its arguments, this leaves that search to the end of the run, where
// LeakSanitizer still makes a leak fail it. A -detect_leaks given by hand
// comes later and counts.
void searchLeaksAtEndOnly(int *argc, char ***argv);

// Reports a broken invariant and aborts, which the fuzzer records as a crash.
[[noreturn]] void fail(const char *condition, const QString &detail);

// Hands body to target's frame handler (the window's or a dialog's) as the
// codec hands on a frame: after a header for its length and, when address
// is given, the RS485 address byte. Header and body each lie in a buffer of
// exactly their size, so a read or write past the frame is seen.
template<class Target>
void deliverFrame(Target *target, const QByteArray &body, int address = -1)
{
    const size_t length = size_t(body.size()) + (address >= 0 ? 1 : 0);
    std::vector<uint8_t> header {0xF5, uint8_t(length), uint8_t(length >> 8), uint8_t(~length),
                                 uint8_t(~(length >> 8))};
    if (address >= 0)
        header.push_back(uint8_t(address));
    std::vector<uint8_t> buff(body.begin(), body.end());
    uint8_t none = 0; // an empty vector has no storage
    target->binaryProtocolFrameComplete(header.data(), header.size(), buff.empty() ? &none : buff.data(), buff.size());
}

// Takes bytes off the front of a fuzzer input.
class Input
{
public:
    Input(const uint8_t *data, size_t size)
        : m_data(data)
        , m_size(size)
    { }
    bool empty() const { return m_size == 0; }
    size_t size() const { return m_size; }
    const uint8_t *data() const { return m_data; }
    uint8_t byte(); // 0 once empty
    uint16_t word(); // two bytes, least significant first
    QByteArray take(size_t n); // at most n bytes
    QByteArray line(size_t max); // up to and without the next '\n' (at most max bytes)
    QByteArray rest();

private:
    const uint8_t *m_data;
    size_t m_size;
};

} // namespace Fuzz

#define FUZZ_CHECK(condition, detail)         \
    do {                                      \
        if (!(condition))                     \
            Fuzz::fail(#condition, (detail)); \
    } while (0)
