#include "app/mainwindow.h"

#include <QDebug>
#include <QMessageBox>

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
    for (int i = 0; i < discovery.count(); ++i) {
        const DeviceDiscovery::Device &device = discovery.device(i);
        book.writeText(i + 2, 1, device.name);
        book.writeText(i + 2, 2, device.address);
        book.writeText(i + 2, 3, device.version);
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
