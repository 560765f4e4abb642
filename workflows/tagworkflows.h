#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

#include "workflows/readerworkflow.h"

// Two tools that work on a MIFARE Ultralight tag in the reader's field: the
// address tag (write or read the record of pages 4 and 5) and the loop test
// (tag count, UID, optional page write and read-back, HALT, over and over).
// Both are chains of guarded requests; the session hands each the answers of
// its steps while the request state is one of its own. The tag count and UID
// answers are decoded by the session, which shares them with polling.

// Writes or reads an address tag: tag count, UID, activation, the page write
// or read, HALT. A chain set off without a start (an activation answered out
// of the blue) reads the tag.
class AddressTagWorkflow : public ReaderWorkflow
{
    Q_OBJECT

public:
    using ReaderWorkflow::ReaderWorkflow;

    // Begin the chain; the record written is made here from address and
    // terminated.
    void write(uint8_t address, bool terminated);
    void read();
    // Ends the chain for the window's failure; ending, when given, says why.
    // The last line says what the tag may hold.
    void fail(const QString &ending);

    // The steps, as the session hands in their answers.
    void noTag();
    void tagFound(uint8_t tagType);
    void tagActivated();
    void pageWritten();
    void pageRead(const QByteArray &data);
    void halted();

    QByteArray record; // of the write under way

signals:
    // A valid record was read.
    void tagRead(uint8_t address, bool terminated);

private:
    SessionSlot<AddressTagWorkflow> registered {session.addressTag, this}; // the session calls it
};

// What a loop test does in each cycle besides the tag count and UID.
struct LoopTestOptions
{
    bool writeTest = false; // write a value to writePage
    bool readTest = false; // read it back (page 4 when nothing is written)
    int writePage = 5;
    bool stopAfter3k = false; // after LoopTestWorkflow::StopCount tags found
};

// Runs cycles of tag count, UID, the page tests asked for and HALT until it
// is stopped, counting tags found, cycles without one and errors.
class LoopTestWorkflow : public ReaderWorkflow
{
    Q_OBJECT

public:
    using ReaderWorkflow::ReaderWorkflow;

    static constexpr int StopCount = 3000;

    bool running() const;
    void start(const LoopTestOptions &options);
    void stop(); // by the user
    void fail(); // for the window's failure

    // The options the steps go by: those given to start, or, where a view
    // lets them change while the test runs, what latestOptions returns when
    // a step asks.
    LoopTestOptions options;
    std::function<LoopTestOptions()> latestOptions;

    // The steps, as the session hands in their answers.
    void counted(bool found); // the tag count of a cycle; without a tag HALT follows
    void tagFound(uint8_t tagType);
    void pageWritten();
    void pageRead(const QByteArray &data);
    void halted(); // the HALT that ends a cycle: the next one starts
    void refused(); // an error answer: counted, and HALT ends the cycle

    // Reports the counters, and ends the test after StopCount tags found when
    // the options say so.
    void refreshStatistics();
    int32_t notFoundCount = 0;
    int32_t foundCount = 0;
    int32_t retryCount = 0;
    int32_t errorCount = 0;
    int64_t cycleStart = 0; // ms since the epoch
    int value = 0; // of the write test in this cycle

signals:
    void statistics(int notFound, int found, int retries, int errors);

private:
    LoopTestOptions currentOptions();
    void finish(bool ok);
    SessionSlot<LoopTestWorkflow> registered {session.loopTest, this}; // the session calls it
};
