#include "workflows/configtransferworkflow.h"

#include "link/commandcodes.h"

namespace {

const QByteArray kConfigFileName = QByteArrayLiteral("config.json");
constexpr int kArmMs = 3000;
constexpr int kRepeatMs = 1500;
constexpr int kChunk = 128;

QByteArray fopenPayload(uint8_t mode)
{
    QByteArray payload;
    payload.append(char(Command::FileOpen)).append(char(mode)).append(kConfigFileName);
    return payload;
}

QByteArray request(Command::Code code)
{
    return QByteArray(1, char(code));
}

} // namespace

void ConfigTransferWorkflow::startDownload(int downloadTarget)
{
    target = downloadTarget;
    attempt = 1;
    readBack = false;
    haveCandidate = false;
    startDownloadTransfer(kArmMs);
}

void ConfigTransferWorkflow::startDownloadTransfer(int timeoutMs)
{
    buffer.clear();
    downloadOpened = false;
    shifted = false;
    link.beginRequest(ReaderStates::FileOpenForRead, fopenPayload(0x00), timeoutMs);
}

void ConfigTransferWorkflow::startUpload(const QByteArray &document)
{
    source = document;
    attempt = 1;
    startUploadTransfer(kArmMs);
}

void ConfigTransferWorkflow::startUploadTransfer(int timeoutMs)
{
    readBack = false;
    written = 0;
    buffer = source;
    link.beginRequest(ReaderStates::FileOpenForWrite, fopenPayload(0x01), timeoutMs);
}

ReaderStates::Workflow ConfigTransferWorkflow::running() const
{
    switch (link.oneShotState) {
    case ReaderStates::FileOpenForRead:
    case ReaderStates::FileReading:
    case ReaderStates::FileClosingAfterRead:
        return readBack ? ReaderStates::Workflow::Upload : ReaderStates::Workflow::Download;
    case ReaderStates::FileOpenForWrite:
    case ReaderStates::FileWriting:
        return ReaderStates::Workflow::Upload;
    case ReaderStates::FileClosingAfterWrite:
        if (link.requestOutstanding())
            return ReaderStates::Workflow::Upload;
        break;
    default:
        break;
    }
    return ReaderStates::Workflow::None;
}

void ConfigTransferWorkflow::sendWriteChunk()
{
    const int n = qMin(buffer.size(), kChunk);
    QByteArray payload = request(Command::FileWrite);
    payload.append(buffer.constData(), n);
    link.beginRequest(ReaderStates::FileWriting, payload, kArmMs);
    buffer.remove(0, n);
}

void ConfigTransferWorkflow::openAnswered()
{
    if (link.oneShotState == ReaderStates::FileOpenForRead) {
        buffer.clear();
        downloadOpened = true;
        emit logLine(QStringLiteral("File openned. Downloading..."));
        link.beginRequest(ReaderStates::FileReading, request(Command::FileRead), kArmMs);
    } else if (link.oneShotState == ReaderStates::FileOpenForWrite) {
        emit logLine(QStringLiteral("Config file openned. Uploading..."));
        sendWriteChunk();
    }
}

void ConfigTransferWorkflow::readAnswered(const QByteArray &data)
{
    if (data.isEmpty()) {
        emit logLine(QStringLiteral("End of file. Closing the file..."));
        link.beginRequest(ReaderStates::FileClosingAfterRead, request(Command::FileClose), kArmMs);
        return;
    }
    if (buffer.size() > MaxDocumentBytes - data.size()) {
        buffer.clear();
        session.failWorkflow(ReaderStates::Workflow::Download,
                             QStringLiteral("The file on the device is larger than %1 bytes.").arg(MaxDocumentBytes));
        return;
    }
    buffer.append(data);
    link.beginRequest(ReaderStates::FileReading, request(Command::FileRead), kArmMs);
}

void ConfigTransferWorkflow::answerOutOfTurn()
{
    const int state = link.oneShotState;
    if (downloadOpened && (state == ReaderStates::FileReading || state == ReaderStates::FileClosingAfterRead))
        shifted = true;
}

void ConfigTransferWorkflow::writeAnswered()
{
    if (link.oneShotState != ReaderStates::FileWriting)
        return;
    written = source.size() - buffer.size();
    if (buffer.isEmpty()) {
        emit logLine(QStringLiteral("End of file. Closing the file..."));
        link.beginRequest(ReaderStates::FileClosingAfterWrite, request(Command::FileClose), kArmMs);
        return;
    }
    sendWriteChunk();
}

void ConfigTransferWorkflow::closeAnswered()
{
    const int state = link.oneShotState;
    if (state == ReaderStates::FileClosingAfterWrite) {
        emit logLine(QStringLiteral("File closed. Reading it back to check it..."));
        startDownloadTransfer(kArmMs);
        readBack = true;
        return;
    }
    if (state != ReaderStates::FileClosingAfterRead)
        return;
    if (readBack) {
        readBackDone();
        return;
    }
    if (shifted) {
        restart(QStringLiteral("Answers of the download came twice or out of turn"), false);
        return;
    }
    // A reading is the reader's file only when the next one agrees with it.
    if (!haveCandidate) {
        candidate = buffer;
        haveCandidate = true;
        emit logLine(QStringLiteral("Reading config.json a second time to check it..."));
        startDownloadTransfer(kArmMs);
        return;
    }
    if (candidate != buffer) {
        candidate = buffer;
        restart(QStringLiteral("The two readings of config.json differ"), false);
        return;
    }
    emit logLine(QStringLiteral("File closed. Size ") + QString::number(buffer.size()) + QStringLiteral(" bytes."));
    link.oneShotState = ReaderStates::Idle;
    emit ended(true);
    emit downloaded(target, buffer);
}

// The upload's file has been read back. Only what was sent, to the byte, is
// restarted onto; anything else is written again.
void ConfigTransferWorkflow::readBackDone()
{
    if (buffer != source) {
        restart(QStringLiteral("The reader holds different bytes than were sent"), false,
                QStringLiteral("the reader holds different bytes"));
        return;
    }
    readBack = false;
    link.oneShotState = ReaderStates::FileClosingAfterWrite;
    emit logLine(QStringLiteral("Read back: config.json holds the %1 bytes sent.").arg(source.size()));
    emit logLine(QStringLiteral("File closed. Restarting..."));
    link.protocol.sendFrame(request(Command::Reboot));
    emit ended(true);
}

void ConfigTransferWorkflow::restart(const QString &why, bool silence, const QString &ending)
{
    const ReaderStates::Workflow transfer = running();
    if (transfer == ReaderStates::Workflow::None || !startsAgain(transfer, attempt, why, silence, ending))
        return;
    if (transfer == ReaderStates::Workflow::Download)
        startDownloadTransfer(kRepeatMs);
    else
        startUploadTransfer(kRepeatMs);
}

void ConfigTransferWorkflow::fail(ReaderStates::Workflow workflow, int state, const QString &ending)
{
    // Ended before anything more is sent: a link that fails while the file
    // is abandoned finds nothing left to end.
    const bool wasReadBack = readBack;
    link.oneShotState = ReaderStates::Idle;
    readBack = false;
    const QString left = abandon(workflow, state, wasReadBack);
    const bool download = workflow == ReaderStates::Workflow::Download;
    emit logLine(failureLine(download ? QStringLiteral("Downloading config.json failed")
                                      : QStringLiteral("Uploading config.json failed"),
                             {ending, left}));
    emit ended(false);
    if (download && target == ReaderStates::Backup)
        emit backupFailed();
}

// A transfer that ends before its FCLOSE leaves nothing open on the reader.
// A write not yet closed is dropped by opening the file for reading instead
// (the reader keeps the file it had); a file open for reading is closed.
// Returns what the reader holds now.
QString ConfigTransferWorkflow::abandon(ReaderStates::Workflow workflow, int state, bool wasReadBack)
{
    const bool upload = workflow == ReaderStates::Workflow::Upload;
    const bool writing
        = upload && !wasReadBack && (state == ReaderStates::FileOpenForWrite || state == ReaderStates::FileWriting);
    const bool closingWrite = upload && state == ReaderStates::FileClosingAfterWrite;
    const bool linkUp = link.linkOpen() && !link.linkGoing;
    if (linkUp) {
        if (writing)
            link.protocol.sendFrame(fopenPayload(0x00));
        link.protocol.sendFrame(request(Command::FileClose));
    }
    if (!upload)
        return QStringLiteral("the reader's config.json is unchanged");
    if (wasReadBack)
        return QStringLiteral("config.json was written in full (%1 bytes) but not read back as sent")
            .arg(source.size());
    if (closingWrite)
        return QStringLiteral("config.json was written (%1 bytes) but its closing was not confirmed")
            .arg(source.size());
    if (!linkUp)
        return QStringLiteral("the link went down during the write (%1 of %2 bytes written); the reader drops the "
                              "unfinished file when it restarts or opens the file again")
            .arg(written)
            .arg(source.size());
    return QStringLiteral("the unfinished write (%1 of %2 bytes) was dropped and the reader keeps the config.json "
                          "it had")
        .arg(written)
        .arg(source.size());
}
