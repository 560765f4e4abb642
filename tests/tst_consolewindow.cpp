// The command console as a user drives it: picking commands from the
// filtered list, the parameter form and what its fields (and the window's
// address fields) take, and executing a request on the reader.
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "support/windowfixture.h"

namespace {

QListWidget *commandList(WindowFixture &f)
{
    return f.widget<QListWidget>("lvCommands");
}

void selectCommand(WindowFixture &f, int code)
{
    const QString prefix = QStringLiteral("[") + MainWindow::hexByte(uint8_t(code)) + QStringLiteral("] ");
    const QList<QListWidgetItem *> items = commandList(f)->findItems(prefix, Qt::MatchStartsWith);
    QVERIFY2(items.size() == 1, qPrintable(QStringLiteral("not listed once: ") + prefix));
    commandList(f)->setCurrentItem(items.first());
}

QLineEdit *field(WindowFixture &f, int i)
{
    return f.window()->paramEdits[i];
}

void type(QLineEdit *edit, const QString &text)
{
    edit->clear();
    QTest::keyClicks(edit, text);
}

} // namespace

class TestConsoleWindow : public QObject
{
    Q_OBJECT
private slots:
    // Unchecking every family leaves the commands that belong to none, but
    // for those only a workflow sends; ACK is never offered.
    void catalogueAndFilters()
    {
        WindowFixture f(false);
        QVERIFY(itemTexts(commandList(f)).contains("[0B] Get firmware version"));
        QVERIFY(!itemTexts(commandList(f)).contains("[00] ACK"));
        for (const char *box :
             {"ckbFilterGeneric", "ckbFilterMifare", "ckbFilterMifareUl", "ckbFilterMifareDesfire", "ckbFilterICode"})
            f.widget<QCheckBox>(box)->setChecked(false);
        QCOMPARE(itemTexts(commandList(f)),
                 (QStringList {"[E0] FOPEN", "[E5] Get serial - (R5 only)", "[F3] PN Eeprom", "[F4] Test mode",
                               "[F5] PN Reg"}));
    }

    // Texts typed for one command are offered again to the next.
    void formFieldsAndCarriedTexts()
    {
        WindowFixture f(false);
        f.window()->setControlsEnabled(true);
        selectCommand(f, 0x21); // "MIFARE Classic - Write Block"
        type(field(f, 0), "7");
        type(field(f, 1), "2");
        type(field(f, 2), "A");
        selectCommand(f, 0x03); // "Get UID": one field
        QCOMPARE(field(f, 0)->text(), QStringLiteral("7"));
        type(field(f, 0), "9");
        selectCommand(f, 0x21);
        QCOMPARE(field(f, 0)->text(), QStringLiteral("9"));
        QCOMPARE(field(f, 1)->text(), QStringLiteral("2"));
        QCOMPARE(field(f, 2)->text(), QStringLiteral("A"));
    }

    // What a field takes: the largest number its field holds and no more,
    // and the window's address fields only four octets of 0..255.
    void fieldValidators_data()
    {
        QTest::addColumn<int>("command"); // -1: a field of the window
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("uint24 largest") << 0x47 << "paramEdit1"
                                        << "16777215" << true;
        QTest::newRow("uint24 one more") << 0x47 << "paramEdit1"
                                         << "16777216" << false;
        QTest::newRow("GPIO timeout 65001") << 0x0E << "paramEdit2"
                                            << "65001" << false;
        QTest::newRow("address") << -1 << "leIp"
                                 << "192.168.0.1" << true;
        QTest::newRow("octet too big") << -1 << "leNetmask"
                                       << "256.1.1.1" << false;
        QTest::newRow("three parts") << -1 << "leGateway"
                                     << "1.2.3" << false;
    }
    void fieldValidators()
    {
        QFETCH(int, command);
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(bool, acceptable);
        WindowFixture f(false);
        f.window()->setControlsEnabled(true);
        if (command >= 0)
            selectCommand(f, command);
        auto *edit = f.widget<QLineEdit>(field);
        QVERIFY(edit->validator());
        int pos = 0;
        QCOMPARE(edit->validator()->validate(text, pos) == QValidator::Acceptable, acceptable);
    }

    void executeStories()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        QList<QByteArray> seen;
        QObject::connect(f.reader(), &SimReader::requestReceived,
                         [&](quint8 code, const QByteArray &params) { seen << (QByteArray(1, char(code)) + params); });

        // Nothing selected.
        commandList(f)->setCurrentRow(-1);
        QCOMPARE(f.answerMessageBox([&] { f.click("btCommnadExecute"); }),
                 QStringLiteral("Waring: Please select command first"));

        // GPIO with an empty optional timeout, then with 1000.
        selectCommand(f, 0x0E);
        type(field(f, 0), "1");
        type(field(f, 1), "4");
        field(f, 2)->clear();
        f.window()->oneShotState = MainWindow::GetVersion;
        // Enter in a field is the button: nothing while it is disabled.
        auto *execute = f.widget<QPushButton>("btCommnadExecute");
        execute->setEnabled(false);
        QTest::keyClick(field(f, 1), Qt::Key_Return);
        QCOMPARE(f.logCount("[TX] - GPIO command"), 0); // a request is logged as it is written
        execute->setEnabled(true);
        QTest::keyClick(field(f, 1), Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return seen.contains(hex("0E 01 04")); }, 2000));
        QCOMPARE(f.window()->oneShotState, int(MainWindow::Idle));
        type(field(f, 2), "1000");
        QTest::keyClick(field(f, 2), Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return seen.contains(hex("0E 01 04 E8 03")); }, 2000));
        QVERIFY(!f.window()->oneShotTimer->isActive());

        // A required field left empty: the message names the field and what
        // it takes, the focus goes there, nothing is sent.
        const struct
        {
            int code;
            int empty;
            const char *rule;
        } missing[] = {{0x0E, 1, "GPIO number: a number from 0 to 255, required"},
                       {0x14, 0, "Color (RR GG BB): hexadecimal bytes, such as 0A 1B, required"}};
        for (const auto &m : missing) {
            selectCommand(f, m.code);
            field(f, m.empty)->clear();
            const int before = seen.size();
            QCOMPARE(f.answerMessageBox([&] { f.click("btCommnadExecute"); }),
                     QStringLiteral("Waring: Please enter correct value\n") + QLatin1String(m.rule));
            QTRY_COMPARE(f.window()->focusWidget(), static_cast<QWidget *>(field(f, m.empty)));
            QTest::qWait(100);
            QCOMPARE(seen.size(), before);
        }

        // A command the reader leaves unanswered is named after the wait, an
        // answer to another command meanwhile notwithstanding; an answered
        // one is not.
        f.window()->consoleAnswers.waitMs = 300;
        f.reader()->registerCommand(0x03, [&f](SimRequest &req) {
            req.silent();
            f.injectAnswer(hex("00 02 00"));
        });
        selectCommand(f, 0x03);
        type(field(f, 0), "2");
        f.click("btCommnadExecute");
        QVERIFY(f.waitForLog("No answer to Get UID within 300 ms"));
        selectCommand(f, 0x0B);
        const int answers = f.logCount("[RX] - Get firmware version - ACK");
        f.click("btCommnadExecute");
        QTRY_COMPARE(f.logCount("[RX] - Get firmware version - ACK"), answers + 1);
        QVERIFY(!f.window()->consoleAnswers.watching());
        QCOMPARE(f.logCount("No answer to"), 1);
    }
};

QTEST_MAIN(TestConsoleWindow)
#include "tst_consolewindow.moc"
