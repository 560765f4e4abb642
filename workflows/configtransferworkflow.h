#pragma once

#include <QByteArray>
#include <QString>

#include "workflows/readerworkflow.h"

// Moving "config.json" between the reader and the PC: FOPEN, then FREAD or
// FWRITE chunk by chunk, then FCLOSE, each request sent when the previous one
// is answered. An upload ends with a reboot of the reader.
//
// FREAD and FWRITE carry no offset: the reader keeps the file position. A
// chunk whose answer does not come is therefore not asked for or written
// again; the transfer starts over from FOPEN, which opens the file afresh.
// Every request gets at most one answer taken, in order, so an answer of a
// file command that turns up when none is awaited means the answers shifted:
// one taken was not the answer to its request, and the file is read again.
//
// Nothing is taken on trust: a download counts only when two readings agree,
// and an upload is read back and compared byte for byte before the reader
// restarts onto it. A difference starts the transfer over.
class ConfigTransferWorkflow : public ReaderWorkflow
{
    Q_OBJECT

public:
    using ReaderWorkflow::ReaderWorkflow;

    // A configuration document is a few kilobytes; a file of more than this
    // is not one (and would take thousands of frames), whichever way it
    // goes. A reader that never says its file has ended is stopped there too.
    static constexpr int MaxDocumentBytes = 1024 * 1024;

    // Reads the reader's config.json for target (a ReaderStates::DownloadTarget).
    void startDownload(int target);
    // Writes document as config.json, reads it back and restarts the reader.
    void startUpload(const QByteArray &document);
    // Download or Upload while a transfer runs (also between two of its
    // steps), else None. An upload that has ended stays in
    // FileClosingAfterWrite until the reader restarts.
    ReaderStates::Workflow running() const;

    // The answers to the request outstanding.
    void openAnswered();
    void readAnswered(const QByteArray &data);
    void writeAnswered();
    void closeAnswered();
    // An answer to a file command came that answered nothing outstanding.
    void answerOutOfTurn();
    // The answers cannot be trusted: the transfer starts over from FOPEN.
    void restart(const QString &why, bool silence, const QString &ending = QString());
    // Ends the transfer, which was in request state state, without leaving
    // a file open on the reader; the last line says what the reader holds.
    void fail(ReaderStates::Workflow workflow, int state, const QString &ending);

    int target = ReaderStates::SaveToFile; // of the download
    QByteArray buffer; // the download's bytes so far; the upload's still to send
    QByteArray source; // the whole document of an upload
    bool readBack = false; // the upload's file is being read back
    int written = 0; // bytes of the upload the reader has confirmed

signals:
    // Two readings agreed: document is the reader's config.json.
    void downloaded(int target, const QByteArray &document);
    // A download for a backup failed (the failure line is said).
    void backupFailed();

private:
    void startDownloadTransfer(int timeoutMs);
    void startUploadTransfer(int timeoutMs);
    void sendWriteChunk();
    void readBackDone();
    QString abandon(ReaderStates::Workflow workflow, int state, bool wasReadBack);

    int attempt = 1;
    // A download whose answers shifted (an extra FREAD answer turned up, so
    // one taken was another request's) is read again. One with the same
    // piece twice in a row (an answer that came twice, or the file's own
    // content) is kept only when a second reading agrees.
    bool downloadOpened = false;
    bool shifted = false;
    QByteArray candidate; // the reading the next one must agree with
    bool haveCandidate = false;
};
