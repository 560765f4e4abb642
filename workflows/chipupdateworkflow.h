#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include "workflows/readerworkflow.h"

// Updating the firmware of the reader's RFID front-end chip: PN OTA Begin,
// then one PN OTA Frame per record of the .nwfwu file, each sent on the
// answer to the request before, then PN OTA Finish and, on its answer,
// Reboot. The chip takes records by order of arrival, so a record whose
// answer does not come is not sent again: the update starts over from PN
// OTA Begin.
//
// The chip cannot be read back, and its answers carry nothing but their
// command code, so an answer that comes twice could stand in for the next
// record's. After each answer the update therefore waits a tenth of the
// mean round trip (2 ms at the least) before it sends on, so the update
// takes at most a tenth longer: a copy that lands meanwhile answers nothing
// outstanding and is passed over. An answer of the update that answers
// nothing while a request is outstanding means one taken may have been
// another's: the update starts over once the link has been quiet for a
// while.
class ChipUpdateWorkflow : public ImageUpdateWorkflow
{
    Q_OBJECT

public:
    explicit ChipUpdateWorkflow(ReaderSession &session, QObject *parent = nullptr)
        : ImageUpdateWorkflow(session, ReaderStates::Workflow::ChipUpdate, parent)
    { }

    // The file was chosen, checked and backed up: PN OTA Begin goes out.
    void start(const QByteArray &file);
    bool running() const;
    // What the reader's chip holds after an update that did not end.
    QString leftState() const override;
    // The answer to the request outstanding.
    void answered(uint8_t code);
    // An answer of the update that answered nothing.
    void answerOutOfTurn();

    // A tenth of the mean round trip of a record (of Begin's until one is
    // known), within 2 and 100 ms.
    qint64 watchNs() const;
    int recordsSent() const { return records; }
    int offset() const { return sent; }

private:
    void startTransfer(int timeoutMs) override;
    void sendNext();
    void finished();

    QByteArray data;
    int sent = 0; // bytes of the file sent in records
    int records = 0;
    int attempt = 1;
    int run = 0; // bumped when the update starts, starts over or ends
    bool watching = false; // after an answer, before the next request
    bool quietPending = false; // starting over once the link is quiet
    QElapsedTimer clock; // since the request outstanding was sent
    qint64 beginNs = 0;
    qint64 roundTripNs = 0; // of the records answered
    int roundTrips = 0;
};
