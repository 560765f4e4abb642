#include "app/mainwindow.h"
#include "ui_mainwindow.h"

// Software polling is not offered yet: its timer is never started and no
// spreadsheet row is written.
void MainWindow::pollingTimeout() {}
void MainWindow::pollingRecordUid(const QString &) {}

bool MainWindow::pollingRunning() const
{
    return ui->btStopPolling->isEnabled();
}
