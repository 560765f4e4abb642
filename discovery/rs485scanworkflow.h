#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

#include "workflows/readerworkflow.h"

// The RS485 bus scan: every address 0 to 255 in turn is asked for its
// firmware version (address 0 without an address byte), ProbeWaitMs each on
// the link's answer timer. The codec only passes on frames from the address
// it is set to, so an answer always belongs to the address being probed.
//
// The scan runs over the serial port as a view has it set (port, speed,
// parity): the view opens and closes it and sends the version request
// through the functions it gives. The session it is made for routes the
// version answers to it for as long as it lives.
class Rs485ScanWorkflow : public ReaderWorkflow
{
    Q_OBJECT

public:
    static constexpr int ProbeWaitMs = 100;
    static constexpr int LastAddress = 255;

    using ReaderWorkflow::ReaderWorkflow;

    bool running() const { return link.oneShotState == ReaderStates::Rs485Scan; }
    // The scan button: a scan when none runs and the serial port is closed.
    // "Cancel" during a scan, or a normal connection that is open: either
    // way the port is closed and no scan runs.
    void startOrCancel();
    // The address probed had its time; the next one is asked, or the scan
    // is done.
    void nextAddress();
    // The address probed answered with its version.
    void deviceFound(const QString &version);
    // The end of a scan, whether it ran through, was cancelled or lost its
    // port. Frames after the scan carry no address until a serial connect
    // sets the one in the address field (a TCP link takes none).
    void end(const QString &message, bool ok = false);

    uint8_t address = 0; // the bus address being probed
    QStringList found; // of the last scan: "AA - version " for each reader

    // The view's serial port, opened when a scan starts and closed when it
    // ends, and its request for the version, sent to each address in turn.
    std::function<void()> openPort = [] {};
    std::function<void()> closePort = [] {};
    std::function<void()> requestVersion = [] {};

signals:
    // The scan has begun: the list of found readers is empty again.
    void started();
    void deviceListed(const QString &entry);

private:
    void probe();
    SessionSlot<Rs485ScanWorkflow> registered {session.rs485Scan, this}; // the session calls it
};
