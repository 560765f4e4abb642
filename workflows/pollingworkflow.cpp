#include "workflows/pollingworkflow.h"

#include <QDateTime>
#include <QDebug>
#include <QTimer>

#include "link/commandcodes.h"
#include "xlsx/workbook.h"

PollingWorkflow::PollingWorkflow(ReaderSession &session, QObject *parent)
    : ReaderWorkflow(session, parent)
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &PollingWorkflow::poll);
}

void PollingWorkflow::start()
{
    timer->start(intervalMs());
    setRunning(true);
}

void PollingWorkflow::stop()
{
    timer->stop();
    setRunning(false);
}

void PollingWorkflow::setRunning(bool running)
{
    if (running == isRunning)
        return;
    isRunning = running;
    emit runningChanged(running);
}

void PollingWorkflow::poll()
{
    if (!link.linkOpen())
        return;
    if (link.workflowWaiting()) {
        schedule();
        return;
    }
    link.protocol.sendFrame({Command::GetTagCount});
}

void PollingWorkflow::schedule()
{
    timer->start(intervalMs());
}

void PollingWorkflow::recordUid(const QString &uid)
{
    const QString path = outputFile;
    // One clock reading, so that date and time agree across midnight.
    const QDateTime now = QDateTime::currentDateTime();
    const QString time = now.time().toString(QStringLiteral("hh:mm:ss.zzz"));
    if (!saveToFile)
        return;
    if (path.isEmpty()) {
        emit logLine(QStringLiteral("Unable to save output file - no file selected"));
        return;
    }

    XlsxWorkbook book(path);
    if (book.loadFailed()) {
        qWarning() << "output workbook" << path << "not loaded:" << book.errorString();
        emit outputUnopenable(path);
        return;
    }
    // A log this program made has its sheet "Sheet1" first; any other
    // workbook is written on the sheet it opens on.
    if (book.sheetNames().contains(QStringLiteral("Sheet1")))
        book.selectSheet(0);

    int row = book.lastUsedRow();
    if (row >= XlsxWorkbook::MaxRows) {
        emit logLine(QStringLiteral("Unable to save UID %1 - output file %2 is full (a sheet holds %3 rows)")
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
        emit logLine(QStringLiteral("Unable to write row %1 to output file ").arg(row) + path);
        return;
    }
    QString error;
    if (!book.save(&error))
        emit logLine(QStringLiteral("Unable to save output file ") + path + QStringLiteral(": ") + error);
}
