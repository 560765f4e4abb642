// Favourite commands: the list kept in the settings, its editor dialog, and
// sending a stored frame to the reader exactly as written.
#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>

#include "console/favouritelist.h"
#include "console/newfavcmdwindow.h"
#include "support/messageboxes.h"
#include "support/windowfixture.h"

namespace {

const char *const VersionFrame = "F5 03 00 FC FF 0B 9B 50";

QListWidget *favList(WindowFixture &f)
{
    return f.widget<QListWidget>("lvFavCommands");
}

// What the settings store holds, read behind the window's back.
QStringList storedNames(WindowFixture &f)
{
    QSettings s(f.settingsFile(), QSettings::IniFormat);
    QStringList out;
    const int n = s.beginReadArray("commands");
    for (int i = 0; i < n; ++i) {
        s.setArrayIndex(i);
        out << s.value("name").toString();
    }
    s.endArray();
    return out;
}

QList<NewFavCmdWindow *> openDialogs()
{
    QList<NewFavCmdWindow *> out;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *d = qobject_cast<NewFavCmdWindow *>(w); d && d->isVisible())
            out << d;
    return out;
}

NewFavCmdWindow *onlyDialog()
{
    const QList<NewFavCmdWindow *> dialogs = openDialogs();
    return dialogs.size() == 1 ? dialogs.first() : nullptr;
}

QLineEdit *edit(NewFavCmdWindow *d, const char *name)
{
    return d->findChild<QLineEdit *>(name);
}

void pressOk(NewFavCmdWindow *d)
{
    QTest::mouseClick(d->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Ok), Qt::LeftButton);
}

// Connected to the simulated reader (a version without the device log, so
// the version request stays the codec's last frame), favourites tab shown.
bool prepare(WindowFixture &f)
{
    f.reader()->setVersion(QStringLiteral("2.30"));
    if (!f.connectSerial())
        return false;
    f.widget<QTabWidget>("tabs")->setCurrentWidget(f.widget<QWidget>("tab_2"));
    return true;
}

void doubleClick(WindowFixture &f, int row)
{
    QListWidget *list = favList(f);
    const QPoint at = list->visualItemRect(list->item(row)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

} // namespace

class TestFavourites : public QObject
{
    Q_OBJECT
private slots:
    // The editor refuses a name or bytes missing, or more bytes than a
    // command holds: the message, the dialog stays open on the field to
    // mend, nothing stored. Added by the editor or written by hand, a
    // favourite goes to the reader byte for byte, once, logged once, past the
    // request discipline (the codec's last frame stays the version request);
    // 1024 bytes are still a favourite, and all of them are sent. Enter sends
    // the selected one as a double click does.
    void favouritesAreSentAsStored()
    {
        WindowFixture f;
        QVERIFY(prepare(f));
        MainWindow *w = f.window();
        QByteArray received;
        QObject::connect(f.reader(), &SimReader::rawReceived, [&](const QByteArray &b) { received += b; });
        // By a double click, or by Enter on the selected one.
        const auto sent = [&](int row, int size, bool byKey = false) {
            received.clear();
            if (byKey) {
                favList(f)->setCurrentRow(row);
                QTest::keyClick(favList(f), Qt::Key_Return);
            } else {
                doubleClick(f, row);
            }
            (void)QTest::qWaitFor([&] { return received.size() >= size; }, 3000);
            QTest::qWait(100); // nothing more follows
            return received;
        };

        f.click("btAddFavCommand");
        QPointer<NewFavCmdWindow> d = onlyDialog();
        QVERIFY(d);
        MessageBoxes boxes;
        QStringList bytes;
        for (int i = 0; i < FavouriteList::MaxBytes + 1; ++i)
            bytes << MainWindow::hexByte(uint8_t(i));
        for (const QStringList &entry : {QStringList {"", "", "leName"}, QStringList {"Version", "", "leHex"},
                                         QStringList {"Version", bytes.join(' '), "leHex"}}) {
            edit(d, "leName")->setText(entry[0]);
            edit(d, "leHex")->setText(entry[1]);
            pressOk(d);
            QVERIFY(d && d->isVisible());
            QCOMPARE(d->focusWidget(), edit(d, qPrintable(entry[2])));
        }
        QCOMPARE(boxes.seen,
                 (QStringList {"Waring: Please enter command name", "Waring: Please enter bytes to send",
                               "Waring: A command may hold at most 1024 bytes"}));
        QVERIFY(storedNames(f).isEmpty());
        edit(d, "leHex")->clear();
        QTest::keyClicks(edit(d, "leHex"), "f50300fcff0b9b50");
        pressOk(d);
        QTRY_VERIFY(d.isNull());
        QCOMPARE(storedNames(f), QStringList({"Version"}));
        const int state = w->oneShotState;
        const int txLines = f.logCount("[TX] - Get firmware version");
        const int dumps = f.logCount(QStringLiteral("Data: ") + VersionFrame);
        QCOMPARE(sent(0, 8), hex(VersionFrame));
        QVERIFY(!w->oneShotTimer->isActive());
        QCOMPARE(w->oneShotState, state);
        QCOMPARE(f.logCount("[TX] - Get firmware version"), txLines + 1);
        QCOMPARE(f.logCount(QStringLiteral("Data: ") + VersionFrame), dumps + 1);

        w->addNewFavCommand(-1, "Digits", "1 2 3"); // single digits are whole bytes
        QCOMPARE(sent(1, 3, true), hex("01 02 03"));

        received.clear();
        w->protocol.resendLastFrame();
        QVERIFY(QTest::qWaitFor([&] { return received.size() >= 8; }, 2000));
        QCOMPARE(received, hex(VersionFrame));

        f.click("btAddFavCommand");
        d = onlyDialog();
        QVERIFY(d);
        edit(d, "leName")->setText("Long");
        bytes.removeLast();
        edit(d, "leHex")->setText(bytes.join(' '));
        pressOk(d);
        QTRY_VERIFY(d.isNull());
        QCOMPARE(sent(2, FavouriteList::MaxBytes), QByteArray::fromHex(bytes.join("").toLatin1()));
    }

    // Edit keeps the place and the selection, Cancel changes nothing, the
    // arrows stop at the ends, and what is deleted stays deleted after a
    // restart; with nothing selected the buttons do nothing.
    void editReorderAndDelete()
    {
        WindowFixture f;
        QVERIFY(prepare(f));
        for (const char *name : {"A", "B", "C"})
            f.window()->addNewFavCommand(-1, name, QStringLiteral("0") + name);
        favList(f)->setCurrentRow(-1);
        for (const char *button : {"btEditFavCommand", "btDeleteFavCommand", "btFavUp", "btFavDown"})
            f.click(button);
        QVERIFY(openDialogs().isEmpty());
        QCOMPARE(storedNames(f), QStringList({"A", "B", "C"}));

        favList(f)->setCurrentRow(1);
        f.click("btEditFavCommand");
        QPointer<NewFavCmdWindow> d = onlyDialog();
        QVERIFY(d);
        QCOMPARE(edit(d, "leName")->text(), QStringLiteral("B"));
        QCOMPARE(edit(d, "leHex")->text(), QStringLiteral("0B"));
        edit(d, "leName")->setText("B2");
        QTest::keyClicks(edit(d, "leHex"), "1");
        pressOk(d);
        QTRY_VERIFY(d.isNull());
        QCOMPARE(itemTexts(favList(f)), QStringList({"A", "B2", "C"}));
        QCOMPARE(favList(f)->item(1)->data(Qt::UserRole).toString(), QStringLiteral("0B 1"));
        QCOMPARE(favList(f)->currentRow(), 1);
        QCOMPARE(storedNames(f), QStringList({"A", "B2", "C"}));

        f.click("btEditFavCommand");
        d = onlyDialog();
        QVERIFY(d);
        edit(d, "leName")->setText("never");
        QTest::mouseClick(d->findChild<QDialogButtonBox *>("buttonBox")->button(QDialogButtonBox::Cancel),
                          Qt::LeftButton);
        QTRY_VERIFY(d.isNull());
        QCOMPARE(storedNames(f), QStringList({"A", "B2", "C"}));

        // The up-arrow button (btFavDown) moves towards the top, the
        // down-arrow button (btFavUp) towards the bottom.
        const auto move = [&](int row, const char *button) {
            favList(f)->setCurrentRow(row);
            f.click(button);
            return itemTexts(favList(f)).join(' ') + QStringLiteral(" @%1").arg(favList(f)->currentRow());
        };
        QCOMPARE(move(2, "btFavDown"), QStringLiteral("A C B2 @1"));
        QCOMPARE(move(2, "btFavUp"), QStringLiteral("A C B2 @2"));
        QCOMPARE(move(0, "btFavDown"), QStringLiteral("A C B2 @0"));
        QCOMPARE(move(0, "btFavUp"), QStringLiteral("C A B2 @1"));
        QCOMPARE(storedNames(f), QStringList({"C", "A", "B2"}));

        // No record is left behind in the store to come back.
        QCOMPARE(move(2, "btDeleteFavCommand").section(' ', 0, 1), QStringLiteral("C A"));
        QVERIFY(!QSettings(f.settingsFile(), QSettings::IniFormat).contains("commands/3/hex"));
        f.reopenWindow();
        QCOMPARE(itemTexts(favList(f)), QStringList({"C", "A"}));

        // An editor edits the favourite it was opened on wherever the list
        // has moved it meanwhile (another editor open beside it); one whose
        // favourite was deleted meanwhile adds it again.
        QVERIFY(prepare(f));
        f.window()->addNewFavCommand(-1, "B", "0B");
        favList(f)->setCurrentRow(2);
        f.click("btEditFavCommand");
        QPointer<NewFavCmdWindow> edited = onlyDialog();
        QVERIFY(edited);
        f.click("btAddFavCommand");
        QCOMPARE(openDialogs().size(), 2);
        favList(f)->setCurrentRow(0);
        f.click("btDeleteFavCommand");
        edit(edited, "leName")->setText("B-edited");
        pressOk(edited);
        QTRY_VERIFY(edited.isNull());
        QCOMPARE(storedNames(f), QStringList({"A", "B-edited"}));
        favList(f)->setCurrentRow(0);
        f.click("btEditFavCommand");
        for (NewFavCmdWindow *d : openDialogs()) {
            if (edit(d, "leName")->text() == "A")
                edited = d;
        }
        QVERIFY(edited);
        f.click("btDeleteFavCommand");
        edit(edited, "leName")->setText("A2");
        pressOk(edited);
        QTRY_VERIFY(edited.isNull());
        QCOMPARE(storedNames(f), QStringList({"B-edited", "A2"}));
        NewFavCmdWindow *added = onlyDialog();
        QVERIFY(added);
        QTest::keyClicks(edit(added, "leName"), "D");
        QTest::keyClicks(edit(added, "leHex"), "0d");
        pressOk(added);
        QCOMPARE(storedNames(f), QStringList({"B-edited", "A2", "D"}));
    }
};

QTEST_MAIN(TestFavourites)
#include "tst_favourites.moc"
