#include "app/mainwindow.h"
#include "ui_mainwindow.h"

// Software polling is not offered yet: its timer is never started and no
// spreadsheet row is written.
void MainWindow::pollingTimeout() {}
void MainWindow::pollingRecordUid(const QString &) {}

// Polling runs while its stop button is enabled. The button's own setting
// counts: it reads as disabled whenever the tab around it is.
bool MainWindow::pollingRunning() const
{
    return !ui->btStopPolling->testAttribute(Qt::WA_ForceDisabled);
}
