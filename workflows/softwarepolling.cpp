#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QMessageBox>
#include <QSettings>
#include <QTimer>

#include "common/settings.h"
#include "link/commandcodes.h"
#include "xlsx/workbook.h"

// Software polling: the PC asks the reader for tags at a fixed interval
// instead of the reader polling on its own. A cycle is Get tag count, and
// when a tag is there Get UID of tag 0; the dispatcher decodes both answers
// and restarts pollingTimer at the end of the cycle, so the interval runs
// from the end of one cycle to the start of the next. Every UID found may be
// appended to an .xlsx workbook as date, time and UID.

void MainWindow::on_btStartPolling_clicked()
{
    if (refuseWhileBusy())
        return;
    pollingTimer->start(ui->sbPollingTimeout->value());
    ui->btStartPolling->setEnabled(false);
    ui->btStopPolling->setEnabled(true);
    applyDeviceGating();
    QApplication::processEvents();
}

// A request already sent is still answered and logged (a UID still gets its
// row), but no new cycle starts: the answer handlers find the stop button
// disabled.
void MainWindow::on_btStopPolling_clicked()
{
    pollingTimer->stop();
    ui->btStartPolling->setEnabled(true);
    ui->btStopPolling->setEnabled(false);
    applyDeviceGating();
}

// With the link closed the cycle is skipped and polling stalls until it is
// stopped and started again. No answer timer guards the request. While a
// chain that polling set off (an address tag kept in its state) waits for
// its answer, the cycle waits its turn.
void MainWindow::pollingTimeout()
{
    if (!serial.isOpen() && !tcpConnected)
        return;
    if (workflowWaiting()) {
        pollingTimer->start(ui->sbPollingTimeout->value());
        return;
    }
    protocol.sendFrame({Command::GetTagCount});
}

// Polling runs while its stop button is enabled. The button's own setting
// counts: it reads as disabled whenever the tab around it is.
bool MainWindow::pollingRunning() const
{
    return !ui->btStopPolling->testAttribute(Qt::WA_ForceDisabled);
}

void MainWindow::on_cbSaveToFile_stateChanged(int state)
{
    const bool ticked = state == Qt::Checked;
    ui->leOutputXlsFile->setEnabled(ticked);
    ui->btSelectOutputXlsFile->setEnabled(ticked);
    openSettings().setValue(QStringLiteral("OutputXlsEnabled"), ticked);
}

void MainWindow::on_btSelectOutputXlsFile_clicked()
{
    const QString path = chooseFile(QStringLiteral("Save xlsx"), QStringLiteral("Export file (*.xlsx)"), true);
    if (path.isEmpty())
        return;
    ui->leOutputXlsFile->setText(path);
    openSettings().setValue(QStringLiteral("OutputXlsFile"), ui->leOutputXlsFile->text());
}

// The row writer, for every UID found outside the loop test (whether or not
// polling runs). The workbook is opened, written and saved for each row;
// nothing stays open in between. Rows go below the last used row of the
// sheet written to, with the header first when that sheet is empty, so the
// user's own rows and sheets are never overwritten; a sheet whose last row
// is taken is reported for every tag found. The save replaces the file only
// once the new one is complete.
void MainWindow::pollingRecordUid(const QString &uid)
{
    const QString path = ui->leOutputXlsFile->text();
    // One clock reading, so that date and time agree across midnight.
    const QDateTime now = QDateTime::currentDateTime();
    const QString time = now.time().toString(QStringLiteral("hh:mm:ss.zzz"));
    if (!ui->cbSaveToFile->isChecked())
        return;
    if (path.isEmpty()) {
        logd(QStringLiteral("Unable to save output file - no file selected"));
        return;
    }

    XlsxWorkbook book(path);
    if (book.loadFailed()) {
        qWarning() << "output workbook" << path << "not loaded:" << book.errorString();
        QMessageBox::information(this, QStringLiteral("Error"), QStringLiteral("Unable to open output file"),
                                 QMessageBox::Ok);
        return;
    }
    // A log this program made has its sheet "Sheet1" first; any other
    // workbook is written on the sheet it opens on.
    if (book.sheetNames().contains(QStringLiteral("Sheet1")))
        book.selectSheet(0);

    int row = book.lastUsedRow();
    if (row >= XlsxWorkbook::MaxRows) {
        logd(QStringLiteral("Unable to save UID %1 - output file %2 is full (a sheet holds %3 rows)")
                 .arg(uid, path)
                 .arg(XlsxWorkbook::MaxRows));
        return;
    }
    bool written = true;
    if (row == 0) {
        written = book.writeText(1, 1, QStringLiteral("Date")) && book.writeText(1, 2, QStringLiteral("Time"))
            && book.writeText(1, 3, QStringLiteral("UID"));
        row = 1;
    }
    ++row;
    written
        = written && book.writeDate(row, 1, now.date()) && book.writeText(row, 2, time) && book.writeText(row, 3, uid);
    if (!written) {
        logd(QStringLiteral("Unable to write row %1 to output file ").arg(row) + path);
        return;
    }
    QString error;
    if (!book.save(&error))
        logd(QStringLiteral("Unable to save output file ") + path + QStringLiteral(": ") + error);
}
