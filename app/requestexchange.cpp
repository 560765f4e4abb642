#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>

// The window's names for the link's request exchange (link/readerlink.h);
// the repeats, restarts and giving up are the session's.

void MainWindow::binaryProtocolWrite(uint8_t *buff, size_t len)
{
    link.writeFrame(buff, len);
}

void MainWindow::binaryProtocolSendSignal(uint8_t *buff, int len)
{
    if (len < 0)
        return;
    protocol.sendFrame(buff, size_t(len));
}

void MainWindow::failWorkflow(const QString &reason)
{
    failWorkflow(runningWorkflow(), reason);
}

void MainWindow::showGivenUp()
{
    // Closing empties the status bar, so the reason is put there afterwards
    // and stays visible in the disconnected window.
    statusLabel->setText(QStringLiteral("Timeout"));
    statusDetailLabel->setText(QStringLiteral("No response from device"));
    applyDeviceGating();
}
