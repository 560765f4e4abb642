#include "app/mainwindow.h"

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
    switch (target) {
    case PollingDialog: {
        auto *dialog = new pollingwindow(this, text);
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
