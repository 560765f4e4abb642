#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QDateTime>
#include <QMessageBox>
#include <QSettings>

#include "common/framedump.h"
#include "app/logview.h"
#include "common/settings.h"

namespace {

const char *const kLooks[] = {"light", "dark", "desktop"};

// The reader's log line, escaped, with its colour codes (ESC [ n ; ... m,
// as terminals read them: 0 or nothing resets, 1 is bold, 22 normal
// weight, 30-37 and 90-97 colours, 39 the default colour) turned into
// HTML. Other escape sequences are left out. The colours are those of a
// terminal, made light enough to read on the log's black.
QString deviceLogHtml(const QString &line)
{
    static const char *const colours[8]
        = {"#a0a0a0", "#ff5555", "#00cd00", "#e5e500", "#7b7bff", "#ff55ff", "#00cdcd", "#e5e5e5"};
    static const char *const bright[8]
        = {"#c0c0c0", "#ff7070", "#55ff55", "#ffff55", "#9a9aff", "#ff80ff", "#55ffff", "#ffffff"};
    QString out;
    out.reserve(line.size() + 64);
    const char *colour = nullptr;
    bool bold = false;
    bool open = false;
    const auto style = [&] {
        if (open)
            out += QStringLiteral("</span>");
        open = colour || bold;
        if (open)
            out += QStringLiteral("<span style=\"%1%2\">")
                       .arg(colour ? QStringLiteral("color:%1;").arg(QLatin1String(colour)) : QString(),
                            bold ? QStringLiteral("font-weight:bold;") : QString());
    };
    const QString text = line.toHtmlEscaped();
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != QChar(0x1b)) {
            out += text.at(i);
            continue;
        }
        if (i + 1 >= text.size() || text.at(i + 1) != QLatin1Char('['))
            continue; // a lone escape
        // A control sequence: parameters and intermediates, then one final
        // byte from @ to ~.
        int end = i + 2;
        while (end < text.size() && (text.at(end) < QLatin1Char('@') || text.at(end) > QLatin1Char('~')))
            ++end;
        if (end < text.size() && text.at(end) == QLatin1Char('m')) {
            const QStringList codes = text.mid(i + 2, end - i - 2).split(QLatin1Char(';'));
            for (const QString &code : codes) {
                bool number = false;
                const int n = code.isEmpty() ? 0 : code.toInt(&number);
                if (!number && !code.isEmpty())
                    continue;
                if (n == 0) {
                    colour = nullptr;
                    bold = false;
                } else if (n == 1) {
                    bold = true;
                } else if (n == 22) {
                    bold = false;
                } else if (n >= 30 && n <= 37) {
                    colour = colours[n - 30];
                } else if (n >= 90 && n <= 97) {
                    colour = bright[n - 90];
                } else if (n == 39) {
                    colour = nullptr;
                }
            }
            style();
        }
        i = end;
    }
    if (open)
        out += QStringLiteral("</span>");
    return out;
}

} // namespace

void MainWindow::setUpLogViews()
{
    protocolLog
        = new LogView(ui->teProtocol, QStringLiteral("Protocol"), ui->protocolPaneLayout, 2, Qt::white, Qt::black);
    deviceLog = new LogView(ui->teLogs, QStringLiteral("Logs"), ui->deviceLogPaneLayout, 2, Qt::black, Qt::green);
    // A reader that talks for hours (or floods the link) must not take all
    // the memory there is.
    protocolLog->setMaximumBlocks(ProtocolLogBlocks, ProtocolLogCharacters);
    deviceLog->setMaximumBlocks(DeviceLogBlocks, DeviceLogCharacters);
    // The protocol log's dark look, on request ("log_colours").
    QHash<QRgb, QRgb> dark;
    for (int field = 0; field < FrameDump::FieldCount; ++field) {
        const FrameDump::Style &style = FrameDump::style(FrameDump::Field(field));
        dark.insert(QColor(QLatin1String(style.light)).rgb(), QColor(QLatin1String(style.dark)).rgb());
    }
    protocolLog->setDarkLook(QColor(QLatin1String(FrameDump::DarkBase)), QColor(QLatin1String(FrameDump::DarkText)),
                             dark);
    const QString look = openSettings().value(QStringLiteral("log_colours")).toString();
    for (int i = 0; i < 3; ++i)
        if (look == QLatin1String(kLooks[i]))
            protocolLog->setLook(LogView::Look(i));
    connect(protocolLog, &LogView::lookChosen, this, [](LogView::Look chosen) {
        openSettings().setValue(QStringLiteral("log_colours"), QLatin1String(kLooks[int(chosen)]));
    });
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
        FrameDump::Field field;
        const char *label;
        const char *explanation;
    };
    static const Line lines[] = {
        {FrameDump::Start, "STX&nbsp;&nbsp;&nbsp;", " - Frame start"},
        {FrameDump::Length, "Length", " - Frame length + XOR length (Addr + Cmd + Params)"},
        {FrameDump::Address, "Addr&nbsp;&nbsp;", " - Address, optional for RS485"},
        {FrameDump::Command, "Cmd&nbsp;&nbsp;&nbsp;", " - Command number"},
        {FrameDump::Params, "Params", " - Optional parameters"},
        {FrameDump::Crc, "CRC&nbsp;&nbsp;&nbsp;", " - Addr + Command + Data checksum"},
    };
    QString html = QStringLiteral("<br>");
    for (const Line &line : lines)
        html += FrameDump::open(line.field) + QLatin1String(line.label) + FrameDump::close(line.field)
            + QLatin1String(line.explanation) + QStringLiteral("<br>");
    protocolLog->appendHtml(html);
}

void MainWindow::on_btClearLogs_clicked()
{
    protocolLog->clear();
    deviceLog->clear();
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
    // Always at the end, wherever the user has put the cursor meanwhile.
    deviceLog->appendHtml(QStringLiteral("<font color=\"White\">") + deviceLogHtml(QString::fromLocal8Bit(raw))
                          + QStringLiteral("</font>") + QStringLiteral("<br>"));
}
