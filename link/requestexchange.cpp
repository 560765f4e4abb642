#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>

#include "link/commandcodes.h"

// Requests are stop-and-wait: one guarded request at a time, sent with
// beginRequest and answered through takeAnswer. The protocol carries no
// sequence numbers, so an answer is recognised by its command code (and the
// sub-command a "Network config" answer echoes); one that came twice or too
// late carries the same code as the next request's answer. Idempotent
// requests are simply repeated when their answer does not come. The steps of
// a transfer are not: a repeated FWRITE, FREAD, OTA frame or chip record
// would write or skip data, so there the whole transfer starts over.

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

void MainWindow::failWorkflow(Workflow workflow, const QString &reason, const QString &ending)
{
    if (workflow == Workflow::None || workflow == Workflow::Restart)
        return;
    if (!reason.isEmpty())
        logd(reason);
    const int state = oneShotState;
    forgetRequest();
    switch (workflow) {
    case Workflow::FirmwareUpdate:
        firmware.abort();
        break;
    case Workflow::ChipUpdate:
        chip.abort();
        break;
    case Workflow::Download:
    case Workflow::Upload:
        configTransfer.fail(workflow, state, ending);
        break;
    case Workflow::NetworkSettings:
        networkSettings.fail(ending);
        break;
    case Workflow::AddressTag:
        addressTag.fail(ending);
        break;
    case Workflow::LoopTest:
        loopTest.fail();
        break;
    case Workflow::Rs485Scan:
        endRs485Scan(QStringLiteral("Searching aborted."));
        break;
    case Workflow::Polling:
        on_btStopPolling_clicked();
        logd(QStringLiteral("Software polling stopped."));
        break;
    case Workflow::None:
    case Workflow::Restart:
        break;
    }
    applyDeviceGating();
}

void MainWindow::showGivenUp()
{
    // Closing empties the status bar, so the reason is put there afterwards
    // and stays visible in the disconnected window.
    statusLabel->setText(QStringLiteral("Timeout"));
    statusDetailLabel->setText(QStringLiteral("No response from device"));
    applyDeviceGating();
}
