#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QMessageBox>
#include <QSettings>

#include "common/settings.h"

// Software polling runs in its workflow (workflows/pollingworkflow.h); the
// polling tab is its view. The interval is read from the field at every
// cycle, so a change applies to the next one.

void MainWindow::setUpPolling()
{
    polling.intervalMs = [this] { return ui->sbPollingTimeout->value(); };
    connect(&polling, &ReaderWorkflow::logLine, this, &MainWindow::logd);
    connect(&polling, &PollingWorkflow::runningChanged, this, [this](bool running) {
        ui->btStartPolling->setEnabled(!running);
        ui->btStopPolling->setEnabled(running);
        applyDeviceGating();
    });
    connect(&polling, &PollingWorkflow::outputUnopenable, this, [this] {
        QMessageBox::information(this, QStringLiteral("Error"), QStringLiteral("Unable to open output file"),
                                 QMessageBox::Ok);
    });
}

void MainWindow::on_btStartPolling_clicked()
{
    if (refuseWhileBusy())
        return;
    polling.start();
}

void MainWindow::on_btStopPolling_clicked()
{
    polling.stop();
}

void MainWindow::on_cbSaveToFile_stateChanged(int state)
{
    const bool ticked = state == Qt::Checked;
    polling.saveToFile = ticked;
    ui->leOutputXlsFile->setEnabled(ticked);
    ui->btSelectOutputXlsFile->setEnabled(ticked);
    openSettings().setValue(QStringLiteral("OutputXlsEnabled"), ticked);
}

void MainWindow::on_leOutputXlsFile_textChanged(const QString &text)
{
    polling.outputFile = text;
}

void MainWindow::on_btSelectOutputXlsFile_clicked()
{
    const QString path = chooseFile(QStringLiteral("Save xlsx"), QStringLiteral("Export file (*.xlsx)"), true);
    if (path.isEmpty())
        return;
    ui->leOutputXlsFile->setText(path);
    openSettings().setValue(QStringLiteral("OutputXlsFile"), ui->leOutputXlsFile->text());
}
