#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QMessageBox>
#include <QSettings>

#include "common/framedump.h"
#include "app/logview.h"
#include "common/settings.h"

namespace {

QString fontTag(const char *colour)
{
    return QStringLiteral("<font color=\"%1\">").arg(QLatin1String(colour));
}

} // namespace

void MainWindow::setUpLogViews()
{
    protocolLog
        = new LogView(ui->teProtocol, QStringLiteral("Protocol"), ui->protocolPaneLayout, 2, Qt::white, Qt::black);
    deviceLog = new LogView(ui->teLogs, QStringLiteral("Logs"), ui->deviceLogPaneLayout, 2, Qt::black, Qt::green);
    // A reader that talks for hours (or floods the link) must not take all
    // the memory there is.
    protocolLog->setMaximumBlocks(ProtocolLogBlocks);
    deviceLog->setMaximumBlocks(DeviceLogBlocks);
    for (LogView *log : {protocolLog, deviceLog}) {
        log->chooseFile = [this] {
            return chooseFile(QStringLiteral("Save log as"),
                              QStringLiteral("HTML files (*.html *.htm);;Text files (*.txt)"), true);
        };
        connect(log, &LogView::saved, this,
                [this](const QString &path) { logd(QStringLiteral("Log saved to ") + path); });
        connect(log, &LogView::saveFailed, this, [this](const QString &reason) {
            QMessageBox::warning(this, QStringLiteral("Error"), QStringLiteral("The log was not saved: ") + reason);
        });
    }
    // A frame that arrived damaged is shown as it came, whatever runs.
    connect(&protocol, &BinaryProtocol::frameDamaged, this, [this](const QByteArray &frame) {
        const bool rs485 = ui->gbRS485->isChecked();
        QString description = FrameDump::describe(frame, rs485, [this](uint32_t code) { return commandName(code); });
        description
            += description.isEmpty() ? QStringLiteral("CRC wrong, ignored") : QStringLiteral(" - CRC wrong, ignored");
        protocolLog->appendHtml(
            FrameDump::html(frame, rs485, QStringLiteral("[RX]"), description, QTime::currentTime()), true);
    });
}

void MainWindow::logd(const QString &msg)
{
    protocolLog->appendMessage(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz - ")) + msg);
}

void MainWindow::protoLog(const QByteArray &msg, const QString &prefix)
{
    switch (oneShotState) {
    case LoopTest:
    case Rs485Scan:
    case FlashFirmware:
    case FlashRfidChip:
    case FileOpenForRead:
    case FileOpenForWrite:
    case FileWriting:
    case FileReading:
    case FileClosingAfterRead:
        return;
    default:
        break;
    }
    if (pollingRunning())
        return;

    const bool rs485 = ui->gbRS485->isChecked();
    const QString description = FrameDump::describe(msg, rs485, [this](uint32_t code) { return commandName(code); });
    protocolLog->appendHtml(FrameDump::html(msg, rs485, prefix, description, QTime::currentTime()), true);
}

void MainWindow::protoLogRaw(const QByteArray &msg, const QString &prefix)
{
    protocolLog->appendHtml(FrameDump::rawHtml(msg, prefix, QTime::currentTime()), true);
}

void MainWindow::on_btShowLegend_clicked()
{
    struct Line
    {
        const char *colour;
        const char *label;
        const char *explanation;
    };
    static const Line lines[] = {
        {"Navy", "STX&nbsp;&nbsp;&nbsp;", " - Frame start"},
        {"DarkGreen", "Length", " - Frame length + XOR length (Addr + Cmd + Params)"},
        {"Blue", "Addr&nbsp;&nbsp;", " - Address, optional for RS485"},
        {"Red", "Cmd&nbsp;&nbsp;&nbsp;", " - Command number"},
        {"DimGray", "Params", " - Optional parameters"},
        {"Lime", "CRC&nbsp;&nbsp;&nbsp;", " - Addr + Command + Data checksum"},
    };
    QString html = QStringLiteral("<br>");
    for (const Line &line : lines)
        html += fontTag(line.colour) + QLatin1String(line.label) + QStringLiteral("</font>")
            + QLatin1String(line.explanation) + QStringLiteral("<br>");
    protocolLog->appendHtml(html);
}

void MainWindow::on_btClearLogs_clicked()
{
    ui->teProtocol->clear();
    ui->teLogs->clear();
}

void MainWindow::binaryProtocolFrameTimeout()
{
    logd(QStringLiteral("[RX-timeout]"));
}

void MainWindow::deviceLogWrite(const uint8_t *body, size_t len)
{
    if (!deviceLogShown) {
        deviceLogShown = true;
        const QVariantList stored = openSettings().value(QStringLiteral("right_sizes")).toList();
        QList<int> sizes;
        for (const QVariant &v : stored)
            sizes << v.toInt();
        ui->teLogs->show();
        ui->labLogLabel->show();
        if (!sizes.isEmpty())
            ui->splitter->setSizes(sizes);
    }

    // The text runs from behind the E4 byte to the first zero byte; the
    // dispatcher zeroes the first CRC byte, so it always ends in the frame.
    size_t end = 1;
    while (end < len && body[end] != 0)
        ++end;
    const QByteArray raw(reinterpret_cast<const char *>(body) + (len > 0 ? 1 : 0), int(end > 1 ? end - 1 : 0));
    // The line is shown as text: markup characters in it are escaped, the
    // reader's colour codes become colours.
    QString text = QString::fromLocal8Bit(raw).toHtmlEscaped();
    static const struct
    {
        const char *sequence;
        const char *html;
    } colours[] = {
        {"\x1b[0;32m", "<font color=\"Green\">"},
        {"\x1b[0;31m", "<font color=\"Red\">"},
        {"\x1b[0;33m", "<font color=\"Yellow\">"},
        {"\x1b[0;34m", "<font color=\"Blue\">"},
        {"\x1b[0;35m", "<font color=\"Magenta\">"},
        {"\x1b[0;36m", "<font color=\"Cyan\">"},
        {"\x1b[0m", "<font>"},
    };
    for (const auto &c : colours)
        text.replace(QLatin1String(c.sequence), QLatin1String(c.html));

    // Always at the end, wherever the user has put the cursor meanwhile.
    deviceLog->appendHtml(QStringLiteral("<font color=\"White\">") + text + QStringLiteral("</font>")
                          + QStringLiteral("<br>"));
}
