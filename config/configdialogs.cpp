#include "app/mainwindow.h"

#include "config/configdocument.h"

#include "config/pollingwindow.h"
#include "config/sleepconfigwindow.h"
#include "config/uartconfigwindow.h"

// Opens the dialog a configuration download was made for, on the document's
// bytes as they came (not all of them need be UTF-8). The RFID dialog
// is modal and sees every received frame while it runs (its known-tag list
// talks to the reader); the UART and sleep dialogs are modeless and delete
// themselves when closed. A dialog that could not read its section has
// already told the user so and is not shown.
void MainWindow::openConfigurationDialog(int target, const QByteArray &text)
{
    configDialogBase = text;
    switch (target) {
    case PollingDialog: {
        auto *dialog = new pollingwindow(this, text);
        configDialog = dialog;
        if (!dialog->failed()) {
            connect(dialog, &pollingwindow::updateConfiguration, this, &MainWindow::updateConfigSignal);
            connect(dialog, &pollingwindow::binaryFrameSend, this, &MainWindow::binaryProtocolSendSignal);
            connect(&protocol, &BinaryProtocol::frameComplete, dialog, &pollingwindow::binaryProtocolFrameComplete);
            dialog->exec();
            disconnect(&protocol, &BinaryProtocol::frameComplete, dialog, &pollingwindow::binaryProtocolFrameComplete);
        }
        delete dialog;
        return;
    }
    case UartDialog: {
        auto *dialog = new UartConfigWindow(this, text);
        configDialog = dialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        if (dialog->failed()) {
            delete dialog;
            return;
        }
        connect(dialog, &UartConfigWindow::updateConfiguration, this, &MainWindow::updateConfigSignal);
        dialog->show();
        return;
    }
    case SleepDialog: {
        auto *dialog = new SleepConfigWindow(this, text);
        configDialog = dialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        if (dialog->failed()) {
            delete dialog;
            return;
        }
        connect(dialog, &SleepConfigWindow::updateConfiguration, this, &MainWindow::updateConfigSignal);
        dialog->show();
        return;
    }
    default:
        return;
    }
}

// One configuration dialog at a time: two would each upload the document
// they were opened on, the second undoing the first.
bool MainWindow::refuseSecondDialog()
{
    if (!configDialog)
        return false;
    logd(QStringLiteral("Please close the open configuration dialog first."));
    configDialog->raise();
    configDialog->activateWindow();
    return true;
}

// A dialog's edits are made on the document the reader holds now, read
// again, not on the copy the dialog was opened on: whatever changed on the
// reader meanwhile stays.
void MainWindow::uploadEdits(const QByteArray &current)
{
    if (!keepBackup(current))
        return;
    QByteArray merged = editsWanted;
    if (current != editsBase) {
        merged = ConfigDocument::applyEdits(editsBase, editsWanted, current);
        if (merged.isEmpty()) {
            logd(QStringLiteral("The reader's config.json is not a JSON object: the changes were not uploaded."));
            return;
        }
        logd(QStringLiteral("The reader's config.json has changed since the dialog read it: the changes are made on "
                            "what it holds now."));
    }
    if (merged == current) {
        logd(QStringLiteral("The reader already holds these settings: nothing was uploaded."));
        return;
    }
    startConfigUpload(merged);
}
