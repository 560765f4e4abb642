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
class FirmwareUpdateWorkflow : public ImageUpdateWorkflow
{
    Q_OBJECT

public:
    explicit FirmwareUpdateWorkflow(ReaderSession &session, QObject *parent = nullptr)
        : ImageUpdateWorkflow(session, ReaderStates::Workflow::FirmwareUpdate, parent)
    { }

    // The image was chosen, checked and backed up: OTA Begin goes out.
    void start(const QByteArray &image);
    bool running() const;
    // What the reader holds after an update that did not end.
    QString leftState() const override;
    // The answer to the request outstanding (OTA Begin, a frame, OTA End).
    void answered(uint8_t code);

    const QByteArray &image() const { return data; }
    int offset() const { return sent; }
    bool erased() const { return flashErased; }

private:
    void startTransfer(int timeoutMs) override;
    void ending() override;
    void reopenThenWrite();
    void reopenAttempt(int attempt);
    void writeFrames();
    void sendNextFrame();
    void flashed();

    bool flashErased = false; // OTA Begin answered in this update
};
