#include "workflows/tagworkflows.h"

#include <QDateTime>
#include <QTimer>
#include <cstdlib>

#include "link/commandcodes.h"
#include "workflows/addresstag.h"

namespace {

constexpr int LinkStepTimeoutMs = 1000; // first request of an address tag chain
constexpr int StepTimeoutMs = 3000;

const QString HaltNote = QStringLiteral("Sending HALT command to disable RF field.");

QByteArray request(Command::Code code)
{
    return QByteArray(1, char(code));
}

// A read or write of count pages of an Ultralight tag from page on; a write
// is followed by the data.
QByteArray pageRequest(Command::Code code, int page, int count)
{
    QByteArray payload = request(code);
    payload.append(char(page)).append(char(count));
    return payload;
}

} // namespace

// ---- Address tag -------------------------------------------------------------

void AddressTagWorkflow::write(uint8_t address, bool terminated)
{
    record = AddressTag::makeRecord(address, terminated);
    link.beginRequest(ReaderStates::AddressTagWrite, request(Command::GetTagCount), LinkStepTimeoutMs);
}

void AddressTagWorkflow::read()
{
    link.beginRequest(ReaderStates::AddressTagRead, request(Command::GetTagCount), LinkStepTimeoutMs);
}

void AddressTagWorkflow::fail(const QString &ending)
{
    // Only the page write changes the tag.
    const bool writing
        = !link.requestPayload.isEmpty() && uint8_t(link.requestPayload.at(0)) == Command::UltralightWritePage;
    const QString left = writing ? QStringLiteral("the tag may hold an incomplete record; write it again") : QString();
    link.oneShotState = ReaderStates::Idle;
    emit logLine(failureLine(QStringLiteral("Address tag operation failed"), {ending, left}));
    emit ended(false);
}

void AddressTagWorkflow::noTag()
{
    link.oneShotState = ReaderStates::Idle; // the operation ends without a tag
    emit ended(false);
}

void AddressTagWorkflow::tagFound(uint8_t tagType)
{
    if (tagType == 1) {
        emit logLine(QStringLiteral("Ultralight TAG detected. Activating TAG..."));
        link.beginRequest(link.oneShotState, request(Command::ActivateTag).append(char(0)), StepTimeoutMs);
        return;
    }
    emit logLine(QStringLiteral("Ultralight TAG needed for address tag."));
    link.forgetRequest();
    link.oneShotState = ReaderStates::Idle;
    emit ended(false);
}

// "Tag activated." is logged: a write writes the record, anything else reads
// it.
void AddressTagWorkflow::tagActivated()
{
    if (link.oneShotState == ReaderStates::AddressTagWrite) {
        emit logLine(QStringLiteral("Writing address tag..."));
        link.beginRequest(ReaderStates::AddressTagWrite,
                          pageRequest(Command::UltralightWritePage, AddressTag::FirstPage, AddressTag::PageCount)
                              + record,
                          StepTimeoutMs);
    } else {
        emit logLine(QStringLiteral("Reading tag info"));
        link.beginRequest(ReaderStates::AddressTagRead,
                          pageRequest(Command::UltralightReadPage, AddressTag::FirstPage, AddressTag::PageCount),
                          StepTimeoutMs);
    }
}

void AddressTagWorkflow::pageWritten()
{
    emit logLine(QStringLiteral("Address tag written successful."));
    link.beginRequest(ReaderStates::AddressTagWrite, request(Command::Halt), StepTimeoutMs);
    emit logLine(HaltNote);
}

// A positive read page answer in any state but Idle and the loop test: the
// data is taken as an address tag.
void AddressTagWorkflow::pageRead(const QByteArray &data)
{
    link.oneShotTimer->stop();
    const AddressTag::Content tag = AddressTag::parseRecord(data);
    const char *problem = nullptr;
    switch (tag.check) {
    case AddressTag::Check::TooShort:
        problem = "Too little page data - it is not a valid address tag";
        break;
    case AddressTag::Check::WrongHeader:
        problem = "Wrong address header";
        break;
    case AddressTag::Check::WrongCrc:
        problem = "Wrong payload CRC - it is not a valid address tag";
        break;
    case AddressTag::Check::Valid:
        break;
    }
    if (problem) {
        emit logLine(QString::fromLatin1(problem));
        if (link.oneShotState == ReaderStates::AddressTagRead) {
            link.oneShotState = ReaderStates::Idle; // the read has ended: nothing waits for a tag any more
            emit ended(false);
        }
        return;
    }
    emit logLine(QStringLiteral("Valid address tag found."));
    emit tagRead(tag.address, tag.terminated);
    emit logLine(QString::asprintf("Address: 0x%02X", tag.address));
    emit logLine(tag.terminated ? QStringLiteral("Terminated: true") : QStringLiteral("Terminated: false"));
    link.beginRequest(link.oneShotState, request(Command::Halt), StepTimeoutMs);
    emit logLine(HaltNote);
}

// The HALT after a tag was written or read ends the chain.
void AddressTagWorkflow::halted()
{
    link.oneShotState = ReaderStates::Idle;
    emit ended(true);
}

// ---- Loop test ---------------------------------------------------------------

bool LoopTestWorkflow::running() const
{
    return link.oneShotState == ReaderStates::LoopTest;
}

LoopTestOptions LoopTestWorkflow::currentOptions()
{
    if (latestOptions)
        options = latestOptions();
    return options;
}

void LoopTestWorkflow::start(const LoopTestOptions &startOptions)
{
    options = startOptions;
    link.oneShotTimer->stop();
    emit logLine(QStringLiteral("Loop test started"));
    notFoundCount = 0;
    foundCount = 0;
    retryCount = 0;
    errorCount = 0;
    refreshStatistics();
    cycleStart = QDateTime::currentMSecsSinceEpoch();
    link.beginRequest(ReaderStates::LoopTest, request(Command::GetTagCount), StepTimeoutMs);
}

void LoopTestWorkflow::stop()
{
    link.forgetRequest();
    finish(true);
}

void LoopTestWorkflow::fail()
{
    finish(false);
}

void LoopTestWorkflow::finish(bool ok)
{
    emit logLine(QStringLiteral("Loop test stoped"));
    link.oneShotState = ReaderStates::Idle;
    emit ended(ok);
}

void LoopTestWorkflow::refreshStatistics()
{
    emit statistics(notFoundCount, foundCount, retryCount, errorCount);
    if (currentOptions().stopAfter3k && foundCount >= StopCount) {
        emit logLine(QStringLiteral("Loop test stoped after 3k tests"));
        link.oneShotState = ReaderStates::Idle;
        emit ended(true);
    }
}

// The session sends the next request when a tag was found.
void LoopTestWorkflow::counted(bool found)
{
    if (found) {
        ++foundCount;
    } else {
        link.beginRequest(ReaderStates::LoopTest, request(Command::Halt), StepTimeoutMs);
        ++notFoundCount;
    }
    refreshStatistics();
}

void LoopTestWorkflow::tagFound(uint8_t tagType)
{
    const LoopTestOptions now = currentOptions();
    if ((now.writeTest || now.readTest) && tagType != 1) {
        emit logLine(QStringLiteral("Ultralight TAG needed for this test. Test aborted."));
        link.oneShotState = ReaderStates::Idle;
        emit ended(false);
        return;
    }
    if (now.writeTest) {
        // Never seeded, so the values repeat from run to run; kept to 15 bits
        // whatever the C library's range. It goes out as 32 bits, low byte
        // first.
        value = std::rand() & 0x7FFF;
        QByteArray payload = pageRequest(Command::UltralightWritePage, now.writePage, 1);
        for (int shift = 0; shift < 32; shift += 8)
            payload.append(char(uint32_t(value) >> shift));
        link.beginRequest(ReaderStates::LoopTest, payload, StepTimeoutMs);
        emit logLine(QString::asprintf("Writing %d value to page %d", value, now.writePage));
    } else if (now.readTest) {
        emit logLine(QStringLiteral("Reading page 4"));
        link.beginRequest(ReaderStates::LoopTest, pageRequest(Command::UltralightReadPage, 4, 1), StepTimeoutMs);
    } else {
        link.beginRequest(ReaderStates::LoopTest, request(Command::Halt), StepTimeoutMs);
    }
}

void LoopTestWorkflow::pageWritten()
{
    const LoopTestOptions now = currentOptions();
    if (!now.writeTest)
        return;
    if (now.readTest) {
        emit logLine(QStringLiteral("Reading test page"));
        link.beginRequest(ReaderStates::LoopTest, pageRequest(Command::UltralightReadPage, now.writePage, 1),
                          StepTimeoutMs);
    } else {
        link.beginRequest(ReaderStates::LoopTest, request(Command::Halt), StepTimeoutMs);
    }
}

void LoopTestWorkflow::pageRead(const QByteArray &data)
{
    link.oneShotTimer->stop();
    emit logLine(QStringLiteral("Read page OK"));
    if (currentOptions().writeTest) {
        // The value went out as 32 bits, low byte first.
        bool passed = data.size() >= 4;
        if (passed) {
            const uint32_t read = uint32_t(uint8_t(data.at(0))) | uint32_t(uint8_t(data.at(1))) << 8
                | uint32_t(uint8_t(data.at(2))) << 16 | uint32_t(uint8_t(data.at(3))) << 24;
            passed = int32_t(read) == value;
        }
        if (passed) {
            emit logLine(QStringLiteral("Write test passed"));
        } else {
            emit logLine(QStringLiteral("Write test ERROR - data is not valid"));
            ++errorCount; // shown at the next refresh
        }
    }
    link.beginRequest(ReaderStates::LoopTest, request(Command::Halt), StepTimeoutMs);
}

void LoopTestWorkflow::halted()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    emit logLine(QStringLiteral("Test time: ") + QString::number(now - cycleStart));
    emit logLine(QStringLiteral("Get tag count req..."));
    cycleStart = now;
    link.beginRequest(ReaderStates::LoopTest, request(Command::GetTagCount), StepTimeoutMs);
}

void LoopTestWorkflow::refused()
{
    ++errorCount;
    refreshStatistics();
    link.beginRequest(ReaderStates::LoopTest, request(Command::Halt), StepTimeoutMs);
    emit logLine(QStringLiteral("HALT request"));
}
