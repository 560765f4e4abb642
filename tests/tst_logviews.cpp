// The protocol log and the device log as the user reads them: colours of
// the frame dump, descriptions, suppression during bulk work, the reader's
// own coloured log lines.
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QTemporaryDir>
#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QTextBlock>
#include <cmath>
#include <QTextEdit>
#include <QVBoxLayout>

#include "app/logview.h"
#include "support/windowfixture.h"

namespace {

struct Coloured
{
    QString text;
    QVector<QColor> colours; // one per character; invalid = default colour
    QVector<QString> looks; // one per character: "/b" bold, "/i" slanted
};

Coloured colouredText(QTextEdit *edit)
{
    Coloured out;
    for (QTextBlock block = edit->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QBrush brush = fragment.charFormat().foreground();
            const QColor colour = brush.style() == Qt::NoBrush ? QColor() : brush.color();
            out.text += fragment.text();
            out.colours += QVector<QColor>(fragment.text().size(), colour);
            const QTextCharFormat format = fragment.charFormat();
            const QString look = QLatin1String(format.fontWeight() > QFont::Normal ? "/b" : "")
                + QLatin1String(format.fontItalic() ? "/i" : "");
            out.looks += QVector<QString>(fragment.text().size(), look);
        }
        out.text += QLatin1Char('\n');
        out.colours += QColor();
        out.looks += QString();
    }
    return out;
}

QString colourName(const QColor &c)
{
    if (!c.isValid())
        return QStringLiteral("default");
    for (const char *name : {"Black", "Navy", "DarkGreen", "DimGray", "DarkMagenta", "Blue", "White"})
        if (QColor(QLatin1String(name)) == c)
            return QLatin1String(name);
    return c.name();
}

// Each byte of the last dump line whose data begins with `start`, as
// "byte=colour", with "/b" when bold and "/i" when slanted.
QString dumpColours(QTextEdit *edit, const QString &start)
{
    const Coloured c = colouredText(edit);
    QStringList bytes;
    for (int i = c.text.lastIndexOf(QStringLiteral("Data: ") + start) + 5;
         i > 4 && i + 2 < c.text.size() && c.text.at(i) == QLatin1Char(' '); i += 3)
        bytes << c.text.mid(i + 1, 2) + QLatin1Char('=') + colourName(c.colours.at(i + 1)) + c.looks.at(i + 1);
    return bytes.join(QLatin1Char(' '));
}

// How far apart two colours are in brightness, as the WCAG contrast ratio.
double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Keys reach a log as they do when the user has clicked into it.
void focus(QWidget *widget)
{
    widget->activateWindow();
    widget->setFocus();
    QTRY_VERIFY(widget->hasFocus());
}

} // namespace

class TestLogViews : public QObject
{
    Q_OBJECT
private slots:
    // A frame as the log shows it: the description from what the frame
    // holds, the bytes, and their colours (with RS485 on, byte 5 is taken as
    // the address even when absent); messages are plain text, in the default
    // colour after a coloured dump. The log's colours are its own: on a dark
    // desktop its black lines stay readable.
    void frameDumps_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("direction");
        QTest::addColumn<bool>("rs485");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("colours");
        const QString version = "F5=Navy/b 03=DarkGreen 00=DarkGreen FC=DarkGreen FF=DarkGreen ";
        QTest::newRow("request") << hex("F5 03 00 FC FF 0B 9B 50") << "[TX]" << false
                                 << "[TX] - Get firmware version \n    Data: F5 03 00 FC FF 0B 9B 50"
                                 << version + "0B=#c00000/b 9B=DarkMagenta/i 50=DarkMagenta/i";
        QTest::newRow("request with RS485")
            << hex("F5 03 00 FC FF 0B 9B 50") << "[TX]" << true << "[TX] - \n    Data: F5 03 00 FC FF 0B 9B 50"
            << version + "0B=Blue/i 9B=#c00000/b 50=DimGray";
        const QString answer = "F5=Navy/b 06=DarkGreen 00=DarkGreen F9=DarkGreen FF=DarkGreen ";
        QTest::newRow("error answer") << hex("F5 06 00 F9 FF FF 03 01 02 AA BB") << "[RX]" << false
                                      << "[RX] - Get UID - Error no. 0x102 \n    Data: F5 06 00 F9 FF FF 03 01 02 AA BB"
                                      << answer
                + "FF=#c00000/b 03=DimGray 01=DimGray 02=DimGray AA=DarkMagenta/i BB=DarkMagenta/i";
        QTest::newRow("unknown event") << hex("F5 05 00 FA FF FE 30 AA BB") << "[RX]" << false
                                       << "[RX] - Unknown - ASYNC \n    Data: F5 05 00 FA FF FE 30 AA BB"
                                       << "F5=Navy/b 05=DarkGreen 00=DarkGreen FA=DarkGreen FF=DarkGreen FE=#c00000/b "
                                          "30=DimGray AA=DarkMagenta/i BB=DarkMagenta/i";
        QTest::newRow("error answer with RS485")
            << hex("F5 06 00 F9 FF 05 FF 28 00 01 AA BB") << "[RX]" << true
            << "[RX] - MIFARE Classic - Set UID - Error no. 0x1 \n    Data: F5 06 00 F9 FF 05 FF 28 00 01 AA BB"
            << answer + "05=Blue/i FF=#c00000/b 28=DimGray 00=DimGray 01=DimGray AA=DarkMagenta/i BB=DarkMagenta/i";
        QTest::newRow("three bytes") << hex("F5 03 00") << "[TX]" << false << "[TX] - \n    Data: F5 03 00"
                                     << "F5=Navy/b 03=DarkGreen 00=DarkGreen";
    }
    void frameDumps()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QString, direction);
        QFETCH(bool, rs485);
        QFETCH(QString, shown);
        QFETCH(QString, colours);
        const QPalette desktop = QApplication::palette();
        const auto restore = qScopeGuard([&] { QApplication::setPalette(desktop); });
        QPalette dark = desktop;
        dark.setColor(QPalette::Base, Qt::black);
        dark.setColor(QPalette::Text, Qt::white);
        QApplication::setPalette(dark);
        WindowFixture f(false);
        MainWindow *w = f.window();
        f.widget<QGroupBox>("gbRS485")->setChecked(rs485);
        f.click("btClearLogs");
        w->logd("<b>A</b> & <i>x</i>");
        w->protoLog(frame, direction);
        for (int n = 0; rs485 && n < frame.size(); ++n) // anything short is safe
            w->protoLog(frame.left(n), direction);
        w->logd("B");
        QString text = f.logText();
        text.replace(QRegularExpression("(^|\n)\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d"), "\\1");
        QCOMPARE(text.section('\n', 0, 2), " - <b>A</b> & <i>x</i>\n: " + shown);
        QCOMPARE(text.section('\n', -3), "\n - B\n");
        QCOMPARE(dumpColours(f.widget<QTextEdit>("teProtocol"), frame.toHex(' ').toUpper()), colours);
        const Coloured c = colouredText(f.widget<QTextEdit>("teProtocol"));
        QCOMPARE(colourName(c.colours.at(c.text.lastIndexOf("B"))), QStringLiteral("default"));
        QCOMPARE(f.widget<QTextEdit>("teProtocol")->palette().color(QPalette::Base), QColor(Qt::white));
        QCOMPARE(f.widget<QTextEdit>("teProtocol")->palette().color(QPalette::Text), QColor(Qt::black));
    }

    // Every colour a log shows is readable on the log's base, in either
    // look: at least 4.5 times as bright or dark. The legend shows each
    // field as the dump does. The dark look, chosen in the log's menu, is
    // kept for the next start; "As the desktop" follows a dark desktop.
    void colours_data()
    {
        QTest::addColumn<QString>("look");
        QTest::addColumn<bool>("darkDesktop");
        QTest::addColumn<QString>("base");
        QTest::newRow("light") << "Light" << true << "#ffffff";
        QTest::newRow("dark") << "Dark" << false << "#1e1e1e";
        QTest::newRow("as a dark desktop") << "As the desktop" << true << "#1e1e1e";
        QTest::newRow("as a light desktop") << "As the desktop" << false << "#ffffff";
    }
    void colours()
    {
        QFETCH(QString, look);
        QFETCH(bool, darkDesktop);
        QFETCH(QString, base);
        const QPalette desktop = QApplication::palette();
        const auto restore = qScopeGuard([&] { QApplication::setPalette(desktop); });
        if (darkDesktop) {
            QPalette dark = desktop;
            dark.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
            dark.setColor(QPalette::Text, Qt::white);
            QApplication::setPalette(dark);
        }
        WindowFixture f;
        const auto choose = [&](const QString &caption) {
            for (QAction *action : f.widget<QTextEdit>("teProtocol")->actions())
                if (action->text() == "Colours: " + caption)
                    return action->trigger(), true;
            return false;
        };
        const auto dump = [&] {
            f.window()->protoLog(hex("F5 06 00 F9 FF 05 FF 28 00 01 AA BB"), "[RX]");
            f.click("btShowLegend");
            f.window()->logd("message");
        };
        f.widget<QGroupBox>("gbRS485")->setChecked(true);
        dump(); // logged before the look is chosen
        QVERIFY(choose(look));
        f.reopenWindow();
        f.widget<QGroupBox>("gbRS485")->setChecked(true);
        dump();
        auto *log = f.widget<QTextEdit>("teProtocol");
        QCOMPARE(log->palette().color(QPalette::Base).name(), base);
        for (int pass = 0; pass < 2; ++pass) {
            const Coloured c = colouredText(log);
            const QColor background = log->palette().color(QPalette::Base);
            for (int i = 0; i < c.text.size(); ++i) {
                const QColor colour
                    = c.colours.at(i).isValid() ? c.colours.at(i) : log->palette().color(QPalette::Text);
                QVERIFY2(contrast(colour, background) >= 4.5,
                         qPrintable(QString("%1 at %2: %3 on %4")
                                        .arg(c.text.mid(i, 8))
                                        .arg(i)
                                        .arg(colour.name(), background.name())));
            }
            // The legend's labels look as the fields of the dump above them.
            const QString bytes = "F5 06 00 F9 FF 05 FF 28 00 01 AA BB";
            const int data = c.text.lastIndexOf("Data: " + bytes) + 6;
            const auto at = [&](int i) { return c.colours.at(i).name() + c.looks.at(i); };
            for (auto [label, byte] :
                 {std::pair {"STX", 0}, {"Length", 1}, {"Addr", 5}, {"Cmd", 6}, {"Params", 7}, {"CRC", 10}}) {
                const int shown = c.text.lastIndexOf(QString(QChar(QChar::LineSeparator)) + QLatin1String(label)) + 1;
                QVERIFY(shown > data);
                QCOMPARE(at(shown), at(data + byte * 3));
            }
            // Back to the light look, and the colours are the light ones again.
            QVERIFY(choose("Light"));
            QCOMPARE(dumpColours(log, bytes),
                     "F5=Navy/b 06=DarkGreen 00=DarkGreen F9=DarkGreen FF=DarkGreen 05=Blue/i "
                     "FF=#c00000/b 28=DimGray 00=DimGray 01=DimGray AA=DarkMagenta/i "
                     "BB=DarkMagenta/i");
        }

        // The reader's log: its colour codes, the way a terminal reads them,
        // readable on its black.
        f.widget<QGroupBox>("gbRS485")->setChecked(false);
        QVERIFY(f.connectSerial());
        const auto line = [&](const QByteArray &text) { f.reader()->sendLogLine(QString::fromLatin1(text)); };
        QByteArray all;
        for (int code : {30, 31, 32, 33, 34, 35, 36, 37, 90, 91, 92, 93, 94, 95, 96, 97})
            all += "\x1b[" + QByteArray::number(code) + "m" + QByteArray::number(code) + " ";
        line(all);
        line("\x1b[0;36mcyan \x1b[1;31mbold\x1b[22m red\x1b[K\x1b[m plain \x1b[2J\x1b[0;32mgreen");
        auto *logs = f.widget<QTextEdit>("teLogs");
        QTRY_VERIFY(logs->toPlainText().contains("green"));
        const Coloured c = colouredText(logs);
        QCOMPARE(c.text, "30 31 32 33 34 35 36 37 90 91 92 93 94 95 96 97 \ncyan bold red plain green\n");
        for (int i = 0; i < c.text.size(); ++i)
            QVERIFY2(contrast(c.colours.at(i).isValid() ? c.colours.at(i) : QColor(Qt::green), Qt::black) >= 4.5,
                     qPrintable(c.text.mid(i, 3)));
        const auto shown = [&](const char *word) {
            const int i = c.text.indexOf(word);
            return c.colours.at(i).name() + c.looks.at(i);
        };
        QCOMPARE(shown("cyan"), "#00cdcd");
        QCOMPARE(shown("bold"), "#ff5555/b");
        QCOMPARE(shown("red"), "#ff5555");
        QCOMPARE(shown("plain"), "#ffffff");
        QCOMPARE(shown("green"), "#00cd00");
        QVERIFY(shown("31") != shown("32") && shown("91") != shown("31"));
    }

    void bulkWorkStaysOutOfTheLog()
    {
        WindowFixture f(false);
        MainWindow *w = f.window();
        const QByteArray frame = hex("F5 03 00 FC FF 0B 9B 50");
        for (int state : {1, 3, 5, 6, 11, 12, 13, 14, 15}) {
            w->oneShotState = state;
            w->protoLog(frame, "[TX]");
        }
        QVERIFY(!f.logText().contains("[TX]"));
        w->oneShotState = MainWindow::FileClosingAfterWrite;
        w->protoLog(frame, "[TX]");
        QCOMPARE(f.logCount("[TX]"), 1);
        w->oneShotState = MainWindow::Idle;
        w->polling.start();
        w->protoLog(frame, "[TX]");
        QCOMPARE(f.logCount("[TX]"), 1);
    }

    // The reader's own log lines: shown on their first arrival, coloured,
    // always at the end, kept out of the protocol log; the sizes the user
    // gave the two logs are kept.
    void deviceLog()
    {
        WindowFixture f;
        QSettings(f.settingsFile(), QSettings::IniFormat).setValue("right_sizes", QVariantList {300, 200});
        f.reopenWindow();
        QVERIFY(f.connectSerial());
        auto *logs = f.widget<QTextEdit>("teLogs");
        QVERIFY(logs->isHidden());
        f.reader()->sendLogLine("\x1b[0;31mERR \x1b[0mok <tag>");
        QVERIFY(QTest::qWaitFor([&] { return logs->toPlainText().contains("ok"); }, 2000));
        QVERIFY(logs->isVisible());
        const Coloured c = colouredText(logs);
        QCOMPARE(c.colours.at(c.text.indexOf("ERR")).name(), QStringLiteral("#ff5555"));
        QVERIFY(!f.logText().contains("[RX] - CMD_LOG \n"));
        logs->setTextCursor(QTextCursor(logs->document())); // the cursor put elsewhere
        f.reader()->sendLogLine("\x1b[0;36mcyan \x1b[1;31mbold");
        QVERIFY(QTest::qWaitFor([&] { return logs->toPlainText().contains("bold"); }, 2000));
        QCOMPARE(logs->toPlainText(), QStringLiteral("ERR ok <tag>\ncyan bold"));

        QTest::keyClick(f.window(), Qt::Key_L, Qt::ControlModifier); // "Clear logs"
        QTRY_VERIFY(logs->toPlainText().isEmpty());
        QVERIFY(f.logText().isEmpty());
        const QList<int> sizes = f.widget<QSplitter>("splitter")->sizes();
        f.closeWindow();
        QCOMPARE(QSettings(f.settingsFile(), QSettings::IniFormat).value("right_sizes").toList(),
                 (QVariantList {sizes.at(0), sizes.at(1)}));
    }

    // A busy log can be read and copied from: scrolled up or with a
    // selection, arriving frames leave the view and the selection alone; at
    // the bottom, and after "Follow new lines", the view follows.
    void readingWhileFramesArrive()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        auto *log = f.widget<QTextEdit>("teProtocol");
        QScrollBar *bar = log->verticalScrollBar();
        int events = 0;
        const auto arrive = [&](int n) {
            for (int i = 0; i < n; ++i)
                f.reader()->sendEvent(1);
            events += n;
            return QTest::qWaitFor([&] { return f.logCount("- ASYNC") == events; }, 5000);
        };
        QVERIFY(arrive(40));
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());

        bar->setValue(bar->maximum() / 2);
        const int place = bar->value();
        QVERIFY(arrive(20));
        QCOMPARE(bar->value(), place);

        // A selection holds the view, the newest line's too: new lines go
        // after it, not into it.
        for (const QString &text : {log->toPlainText(), QString()}) {
            bar->setValue(bar->maximum());
            QTextCursor selection(log->document());
            selection.setPosition(text.isEmpty() ? log->toPlainText().lastIndexOf("Data:") : text.indexOf("Data:"));
            selection.movePosition(text.isEmpty() ? QTextCursor::End : QTextCursor::EndOfLine, QTextCursor::KeepAnchor);
            log->setTextCursor(selection);
            const QString selected = log->textCursor().selectedText();
            const int value = bar->value();
            QVERIFY(arrive(20));
            QCOMPARE(log->textCursor().selectedText(), selected);
            QCOMPARE(bar->value(), value);
        }

        focus(log);
        QTest::keyClick(log, Qt::Key_End, Qt::ControlModifier); // "Follow new lines"
        QVERIFY(!log->textCursor().hasSelection());
        QVERIFY(arrive(20));
        QCOMPARE(bar->value(), bar->maximum());
    }

    // Like a terminal's scrollback, a log keeps its newest lines and no undo
    // record; the oldest going leaves the text the user reads in view.
    void scrollbackKeepsTheNewestAndTheReadersPlace()
    {
        QWidget host;
        auto *layout = new QVBoxLayout(&host);
        auto *edit = new QTextEdit(&host);
        layout->addWidget(edit);
        LogView log(edit, QStringLiteral("Test"), layout, 1, Qt::white, Qt::black);
        log.setMaximumBlocks(100, 0);
        host.resize(400, 300);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        int lines = 0;
        const auto append = [&](int n) {
            for (int i = 0; i < n; ++i)
                log.appendHtml(QStringLiteral("line %1").arg(++lines));
        };
        const auto topLine = [&] { return edit->cursorForPosition(QPoint(2, 2)).block().text(); };

        append(100);
        QTextBlock reading = edit->document()->findBlockByNumber(60);
        QCOMPARE(reading.text(), QStringLiteral("line 61"));
        edit->verticalScrollBar()->setValue(int(edit->document()->documentLayout()->blockBoundingRect(reading).top()));
        QCOMPARE(topLine(), QStringLiteral("line 61"));
        append(11); // over a tenth more than kept: the 11 oldest go
        QCOMPARE(edit->document()->firstBlock().text(), QStringLiteral("line 12"));
        QCOMPARE(topLine(), QStringLiteral("line 61"));

        append(1000);
        const QTextDocument *text = edit->document();
        QVERIFY(text->blockCount() >= 100 && text->blockCount() <= 110);
        QCOMPARE(text->lastBlock().text(), QStringLiteral("line 1111"));
        QCOMPARE(text->firstBlock().text(), QStringLiteral("line %1").arg(1112 - text->blockCount()));
        QVERIFY(!text->isUndoAvailable());

        // Large pieces faster than a log can show them (a reader sending 2 KB
        // answers nobody asked for): the log holds at most its characters,
        // and ends with the newest pieces in order, each whole. Those left
        // out are counted where they would have been.
        log.clear();
        log.setMaximumBlocks(1000, 50000);
        const QString filler(990, QLatin1Char('x'));
        for (int i = 1; i <= 300; ++i)
            log.appendHtml(QStringLiteral("p%1 ").arg(i) + filler);
        QTRY_COMPARE(log.waiting(), 0);
        QVERIFY(text->characterCount() <= 55000);
        const QRegularExpression leftOut(
            "^\\((\\d+) log entries not shown: they came faster than the log can show them\\)$");
        int last = 0;
        int skipped = 0;
        for (QTextBlock block = text->firstBlock(); block.isValid(); block = block.next()) {
            const QRegularExpressionMatch note = leftOut.match(block.text());
            if (note.hasMatch()) {
                skipped += note.captured(1).toInt();
                continue;
            }
            if (block.text().isEmpty())
                continue;
            const int n = block.text().section(' ', 0, 0).mid(1).toInt();
            QString shown = block.text();
            if (shown.endsWith(QChar::LineSeparator)) // a message follows
                shown.chop(1);
            QCOMPARE(shown, QStringLiteral("p%1 ").arg(n) + filler);
            if (last > 0)
                QCOMPARE(n, last + skipped + 1);
            last = n;
            skipped = 0;
        }
        QCOMPARE(last, 300);
    }

    // "Save log as...": HTML as shown, plain text for .txt; a file that
    // cannot be written is reported.
    void saveLog_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("html") << "log.html";
        QTest::newRow("text") << "log.txt";
        QTest::newRow("unwritable") << "missing/log.txt";
    }
    void saveLog()
    {
        QFETCH(QString, name);
        WindowFixture f;
        QVERIFY(f.connectSerial());
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        f.window()->fileChooser = [&](const QString &, const QString &, bool) { return path; };
        auto *log = f.widget<QTextEdit>("teProtocol");
        const QString shown = log->toPlainText();
        focus(log);
        const auto save = [&] { QTest::keyClick(log, Qt::Key_S, Qt::ControlModifier); };
        QFile file(path);
        if (name.startsWith("missing")) {
            const QString box = f.answerMessageBox(save);
            QVERIFY2(box.startsWith("Error: The log was not saved: "), qPrintable(box));
            QVERIFY(!file.exists());
            return;
        }
        save();
        QVERIFY(f.logText().contains("Log saved to " + path + "\n"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString content = QString::fromUtf8(file.readAll());
        if (name.endsWith(".txt")) {
            QCOMPARE(content, shown);
            return;
        }
        QTextEdit reread;
        reread.setHtml(content);
        QCOMPARE(reread.toPlainText(), shown);
        // The page has the log's colours.
        QCOMPARE(dumpColours(&reread, "F5 03 00 FC FF 0B"),
                 QStringLiteral("F5=Navy/b 03=DarkGreen 00=DarkGreen FC=DarkGreen FF=DarkGreen 0B=#c00000/b "
                                "9B=DarkMagenta/i 50=DarkMagenta/i"));
    }

    // Ctrl+F: a find bar; Enter and Shift+Enter go from match to match, all
    // of them highlighted.
    void findInTheLog()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        for (int i = 0; i < 2; ++i)
            f.window()->protoLog(hex("F5 03 00 FC FF 0B 9B 50"), "[TX]");
        auto *log = f.widget<QTextEdit>("teProtocol");
        const int matches = f.logCount("firmware version");
        QVERIFY(matches >= 4);
        focus(log);
        QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
        auto *field = f.widget<QLineEdit>("leProtocolFind");
        QVERIFY(field->isVisible());
        QTest::keyClicks(field, "FIRMWARE VERSION");
        const int first = log->textCursor().selectionStart();
        QCOMPARE(first, log->toPlainText().indexOf("firmware version"));
        QCOMPARE(log->extraSelections().size(), matches);
        QCOMPARE(f.widget<QLabel>("labProtocolFindStatus")->text(), QStringLiteral("1 of %1").arg(matches));
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(log->textCursor().selectionStart(), log->toPlainText().indexOf("firmware version", first + 1));
        QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(log->textCursor().selectionStart(), first);
        QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier); // round the start
        QCOMPARE(log->textCursor().selectionStart(), log->toPlainText().lastIndexOf("firmware version"));
        focus(log);
        QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("firmware version"));
        field->setText("no such text");
        QCOMPARE(f.widget<QLabel>("labProtocolFindStatus")->text(), QStringLiteral("No matches"));
    }
};

QTEST_MAIN(TestLogViews)
#include "tst_logviews.moc"
