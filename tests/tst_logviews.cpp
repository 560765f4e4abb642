// The protocol log and the device log as the user reads them: colours of
// the frame dump, descriptions, suppression during bulk work, the reader's
// own coloured log lines.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSplitter>
#include <QTextBlock>
#include <QTextEdit>

#include "support/windowfixture.h"

namespace {

using Hex = WindowFixture;

struct Coloured
{
    QString text;
    QVector<QColor> colours; // one per character; invalid = default colour
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
        }
        out.text += QLatin1Char('\n');
        out.colours += QColor();
    }
    return out;
}

// The colour of each byte of the last dump line whose data begins with `start`.
QList<QPair<QString, QColor>> dumpColours(QTextEdit *edit, const QString &start)
{
    const Coloured c = colouredText(edit);
    const int at = c.text.lastIndexOf(QStringLiteral("Data: ") + start);
    QList<QPair<QString, QColor>> bytes;
    if (at < 0)
        return bytes;
    int i = at + 5;
    while (i + 2 < c.text.size() && c.text.at(i) == QLatin1Char(' ')) {
        bytes << qMakePair(c.text.mid(i + 1, 2), c.colours.at(i + 1));
        i += 3;
    }
    return bytes;
}

QString colourName(const QColor &c)
{
    if (!c.isValid())
        return QStringLiteral("default");
    for (const char *name : {"Black", "Navy", "DarkGreen", "Red", "DimGray", "Lime", "Blue", "White", "Green", "Yellow",
                             "Magenta", "Cyan"})
        if (QColor(QLatin1String(name)) == c)
            return QLatin1String(name);
    return c.name();
}

QString describe(const QList<QPair<QString, QColor>> &bytes)
{
    QStringList parts;
    for (const auto &b : bytes)
        parts << b.first + QLatin1Char('=') + colourName(b.second);
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestLogViews : public QObject
{
    Q_OBJECT
private slots:
    void frameDumpColours()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        auto *log = f.widget<QTextEdit>("teProtocol");
        QVERIFY(f.logText().contains(
            QRegularExpression("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d: \\[TX\\] - Get firmware version \n")));
        QCOMPARE(
            describe(dumpColours(log, "F5 03 00 FC FF 0B")),
            QStringLiteral("F5=default 03=DarkGreen 00=DarkGreen FC=DarkGreen FF=DarkGreen 0B=Red 9B=Lime 50=Lime"));
        // The answer: status and code red/grey, data grey, CRC lime.
        QVERIFY(f.logText().contains("[RX] - Get firmware version - ACK"));
        const auto rx = dumpColours(log, "F5 09 00");
        QVERIFY(rx.size() > 8);
        QCOMPARE(colourName(rx.at(5).second), QStringLiteral("Red"));
        QCOMPARE(colourName(rx.at(6).second), QStringLiteral("DimGray"));
        QCOMPARE(colourName(rx.at(rx.size() - 1).second), QStringLiteral("Lime"));

        // With RS485 on, byte 5 is taken as the address even when absent.
        f.widget<QGroupBox>("gbRS485")->setChecked(true);
        f.window()->protoLog(Hex::hex("F5 03 00 FC FF 0B 9B 50"), "[TX]");
        QCOMPARE(
            describe(dumpColours(log, "F5 03 00 FC FF 0B 9B 50")),
            QStringLiteral("F5=default 03=DarkGreen 00=DarkGreen FC=DarkGreen FF=DarkGreen 0B=Blue 9B=Red 50=DimGray"));
    }

    void descriptionsFromWhatTheFrameHolds()
    {
        WindowFixture f(false);
        MainWindow *w = f.window();
        w->protoLog(Hex::hex("F5 06 00 F9 FF FF 03 01 02 AA BB"), "[RX]");
        QVERIFY(f.logText().contains("[RX] - Get UID - Error no. 0x102 \n"));
        w->protoLog(Hex::hex("F5 05 00 FA FF FE 30 AA BB"), "[RX]");
        QVERIFY(f.logText().contains("[RX] - Unknown - ASYNC"));
        // Short frames: a three-byte favourite, and anything short with RS485 on.
        w->protoLog(Hex::hex("F5 03 00"), "[TX]");
        QVERIFY(f.logText().contains("Data: F5 03 00"));
        f.widget<QGroupBox>("gbRS485")->setChecked(true);
        for (int n = 0; n <= 9; ++n)
            w->protoLog(Hex::hex("F5 06 00 F9 FF 05 FF 28 00 01").left(n), "[RX]");
        w->protoLog(Hex::hex("F5 06 00 F9 FF 05 FF 28 00 01 AA BB"), "[RX]");
        QVERIFY(f.logText().contains("[RX] - MIFARE Classic - Set UID - Error no. 0x1"));
    }

    void bulkWorkStaysOutOfTheLog()
    {
        WindowFixture f(false);
        MainWindow *w = f.window();
        const QByteArray frame = Hex::hex("F5 03 00 FC FF 0B 9B 50");
        for (int state : {1, 3, 5, 6, 11, 12, 13, 14, 15}) {
            w->oneShotState = state;
            w->protoLog(frame, "[TX]");
        }
        QVERIFY(!f.logText().contains("[TX]"));
        w->logd("still logged");
        QVERIFY(f.logText().contains("still logged"));
        w->oneShotState = MainWindow::FileClosingAfterWrite;
        w->protoLog(frame, "[TX]");
        QCOMPARE(f.logCount("[TX]"), 1);
        w->oneShotState = MainWindow::Idle;
        f.widget<QPushButton>("btStopPolling")->setEnabled(true);
        w->protoLog(frame, "[TX]");
        QCOMPARE(f.logCount("[TX]"), 1);
    }

    void messagesArePlainText()
    {
        WindowFixture f(false);
        f.window()->logd("<b>bold</b> & <i>x</i>");
        QVERIFY(
            f.logText().contains(QRegularExpression("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d - <b>bold</b> & <i>x</i>\n$")));
        // A message after a coloured dump does not take the dump's colour.
        f.window()->protoLog(Hex::hex("F5 03 00 FC FF 0B 9B 50"), "[TX]");
        f.window()->logd("after");
        const Coloured c = colouredText(f.widget<QTextEdit>("teProtocol"));
        const int at = c.text.lastIndexOf("after");
        QCOMPARE(colourName(c.colours.at(at)), QStringLiteral("default"));
    }

    void dumpsAndMessagesReadAsOneText()
    {
        WindowFixture f(false);
        MainWindow *w = f.window();
        f.click("btClearLogs");
        w->logd("A");
        w->protoLog(Hex::hex("F5 03 00 FC FF 0B 9B 50"), "[TX]");
        w->protoLog(Hex::hex("F5 03 00 FC FF 0B 9B 50"), "[RX]");
        w->logd("B");
        const QRegularExpression layout(
            "^\\S+ - A\n\\S+: \\[TX\\] - Get firmware version \n    Data: F5 03 00 FC FF 0B 9B 50\n"
            "\\S+: \\[RX\\] - Get firmware version \n    Data: F5 03 00 FC FF 0B 9B 50\n\n\\S+ - B\n$");
        QVERIFY2(layout.match(f.logText()).hasMatch(), qPrintable(f.logText()));
        // Each dump is a paragraph of its own, so appending stays cheap.
        QVERIFY(f.widget<QTextEdit>("teProtocol")->document()->blockCount() >= 5);
    }

    void legend()
    {
        WindowFixture f(false);
        f.click("btShowLegend");
        const Coloured c = colouredText(f.widget<QTextEdit>("teProtocol"));
        const QString nb(QChar(0xA0));
        const QList<QStringList> expected {
            {"STX" + nb + nb + nb, " - Frame start", "Navy"},
            {"Length", " - Frame length + XOR length (Addr + Cmd + Params)", "DarkGreen"},
            {"Addr" + nb + nb, " - Address, optional for RS485", "Blue"},
            {"Cmd" + nb + nb + nb, " - Command number", "Red"},
            {"Params", " - Optional parameters", "DimGray"},
            {"CRC" + nb + nb + nb, " - Addr + Command + Data checksum", "Lime"}};
        int previous = -1;
        for (const QStringList &line : expected) {
            const int at = c.text.indexOf(line.at(0) + line.at(1));
            QVERIFY2(at > previous, qPrintable(line.at(0)));
            previous = at;
            QCOMPARE(colourName(c.colours.at(at)), line.at(2));
            QCOMPARE(colourName(c.colours.at(at + line.at(0).size() + 1)), QStringLiteral("default"));
        }
    }

    void deviceLog()
    {
        WindowFixture f;
        {
            QSettings s(f.settingsFile(), QSettings::IniFormat);
            s.setValue("right_sizes", QVariantList {300, 200});
        }
        f.reopenWindow();
        QVERIFY(f.connectSerial());
        auto *logs = f.widget<QTextEdit>("teLogs");
        QVERIFY(logs->isHidden());
        f.reader()->sendLogLine("\x1b[0;31mERR \x1b[0mok <tag>");
        QVERIFY(QTest::qWaitFor([&] { return logs->toPlainText().contains("ok"); }, 2000));
        QVERIFY(logs->isVisible());
        QVERIFY(f.widget<QLabel>("labLogLabel")->isVisible());
        const Coloured c = colouredText(logs);
        QCOMPARE(colourName(c.colours.at(c.text.indexOf("ERR"))), QStringLiteral("Red"));
        QVERIFY(c.text.contains("ok <tag>"));
        QVERIFY(!f.logText().contains("[RX] - CMD_LOG \n"));
        QCOMPARE(f.widget<QSplitter>("splitter")->sizes().size(), 2);

        // A line arrives at the end even with the cursor put elsewhere.
        QTextCursor start(logs->document());
        logs->setTextCursor(start);
        f.reader()->sendLogLine("\x1b[0;36mcyan \x1b[1;31mbold");
        QVERIFY(QTest::qWaitFor([&] { return logs->toPlainText().contains("bold"); }, 2000));
        QVERIFY(logs->toPlainText().contains("\x1b[1;31mbold"));
        QVERIFY(logs->toPlainText().endsWith("\x1b[1;31mbold"));

        f.click("btClearLogs");
        QVERIFY(logs->toPlainText().isEmpty());
        QVERIFY(f.logText().isEmpty());
        QVERIFY(logs->isVisible());

        const QList<int> sizes = f.widget<QSplitter>("splitter")->sizes();
        f.closeWindow();
        QSettings s(f.settingsFile(), QSettings::IniFormat);
        QVariantList stored = s.value("right_sizes").toList();
        QCOMPARE(stored.size(), sizes.size());
        QCOMPARE(stored.at(0).toInt(), sizes.at(0));
    }

    void lostTailIsReported()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        f.reader()->sendRaw(Hex::hex("F5 06 00 F9 FF 00"));
        QVERIFY(f.waitForLog("[RX-timeout]", 2000));
    }
};

QTEST_MAIN(TestLogViews)
#include "tst_logviews.moc"
