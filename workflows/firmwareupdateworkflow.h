#pragma once

#include <QByteArray>
#include <QString>

#include "workflows/readerworkflow.h"

// Replacing the reader's own firmware: OTA Begin (the reader erases its
// flash and, over USB, leaves and comes back), then the image in frames of
// 256 bytes, each sent on the answer to the one before, then OTA End with
// the image size and, on its answer, Reboot. A frame carries no offset, so
// a frame whose answer does not come is not sent again: the update starts
// over from OTA Begin, TransferAttempts times in all.
class FirmwareUpdateWorkflow : public ReaderWorkflow
{
    Q_OBJECT

public:
    using ReaderWorkflow::ReaderWorkflow;

    // The image was chosen, checked and backed up: OTA Begin goes out.
    void start(const QByteArray &image);
    bool running() const;
    // Ends the update without a word (the caller says why).
    void end();
    // Ends it, saying that it was aborted and what the reader holds.
    void abort();
    // What the reader holds after an update that did not end.
    QString leftState() const;
    // The answer to the request outstanding (OTA Begin, a frame, OTA End).
    void answered(uint8_t code);
    // A step's answer did not come, came twice or too late: the update
    // starts over, or after the last attempt fails (and after silence the
    // link is dropped).
    void restart(const QString &why, bool silence, const QString &ending);

    const QByteArray &image() const { return data; }
    int offset() const { return sent; }
    bool erased() const { return flashErased; }

private:
    void startTransfer(int timeoutMs);
    void reopenThenWrite();
    void reopenAttempt(int attempt);
    void writeFrames();
    void sendNextFrame();
    void flashed();

    QByteArray data;
    int sent = 0; // bytes of the image sent in frames
    int attempt = 1;
    int run = 0; // bumped when the update starts, starts over or ends
    bool flashErased = false; // OTA Begin answered in this update
};
