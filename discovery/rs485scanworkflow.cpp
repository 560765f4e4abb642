#include "discovery/rs485scanworkflow.h"

#include <QTimer>

#include "common/readertext.h"
#include "console/hexbyte.h"

void Rs485ScanWorkflow::startOrCancel()
{
    link.oneShotTimer->stop();
    emit progress(1, LastAddress);
    // A scan whose port would not open runs on the timer alone; "Cancel"
    // stops it all the same.
    if (link.serial.isOpen() || running()) {
        end(QStringLiteral("Searching aborted."));
        return;
    }
    address = 0;
    link.protocol.setAddress(0);
    found.clear();
    link.oneShotState = ReaderStates::Rs485Scan;
    emit started();
    emit logLine(QStringLiteral("Searching for devices. Please wait..."));
    openPort();
    probe();
}

void Rs485ScanWorkflow::probe()
{
    requestVersion();
    link.oneShotTimer->start(ProbeWaitMs);
}

void Rs485ScanWorkflow::nextAddress()
{
    if (!running())
        return;
    link.oneShotTimer->stop();
    if (address < LastAddress) {
        ++address;
        link.protocol.setAddress(address);
        emit progress(address, LastAddress);
        probe();
        return;
    }
    end(QStringLiteral("Done."), true);
}

void Rs485ScanWorkflow::deviceFound(const QString &version)
{
    const QString entry = QStringLiteral("%1 - %2 ").arg(hexByteText(address), oneLine(version));
    found << entry;
    emit deviceListed(entry);
    emit logLine(QStringLiteral("Device found: ") + entry);
    nextAddress();
}

void Rs485ScanWorkflow::end(const QString &message, bool ok)
{
    emit logLine(message);
    link.oneShotTimer->stop();
    link.oneShotState = ReaderStates::Idle;
    emit progress(0, LastAddress);
    closePort();
    link.protocol.setAddress(0);
    emit ended(ok);
}
