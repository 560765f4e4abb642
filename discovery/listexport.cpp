#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDebug>
#include <QListWidget>
#include <QMessageBox>

#include "discovery/announcement.h"
#include "xlsx/workbook.h"

// "Save list to file": the detected devices, in the order the list shows
// them, into a new workbook. Whatever file had the name before is replaced
// only once the new one is complete; until then it stays as it was.
void MainWindow::on_btSaveList_clicked()
{
    const QString fileName = chooseFile(QStringLiteral("Save xlsx"), QStringLiteral("Export file (*.xlsx)"), true);
    if (fileName.isEmpty()) {
        logd(QStringLiteral("No file selected"));
        return;
    }

    XlsxWorkbook book; // a new workbook, not the file's old content
    book.writeText(1, 1, QStringLiteral("Name"));
    book.writeText(1, 2, QStringLiteral("IP"));
    book.writeText(1, 3, QStringLiteral("Firmware"));
    const QListWidget *list = ui->lvDetectedDevices;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem *entry = list->item(i);
        book.writeText(i + 2, 1, entry->data(Discovery::NameRole).toString());
        book.writeText(i + 2, 2, entry->data(Discovery::AddressRole).toString());
        book.writeText(i + 2, 3, entry->data(Discovery::VersionRole).toString());
    }

    QString error;
    if (!book.saveAs(fileName, &error)) {
        qWarning().noquote() << QStringLiteral("Device list not saved to %1: %2").arg(fileName, error);
        QMessageBox::information(this, QStringLiteral("Error"), QStringLiteral("Unable to open output file"),
                                 QMessageBox::Ok);
        return;
    }
    logd(QStringLiteral("Device list exported to file ") + fileName);
}
