// The main window as a user first meets it: its captions, and what it
// keeps in the settings store.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTextDocumentFragment>
#include <QTextEdit>

#include "app/appsetup.h"
#include "support/windowfixture.h"

namespace {

// The captions of the visible widgets under root that do not fit their
// widget, measured with the widget's font against the room the style gives
// the text: "name "text" needs N, has M".
QStringList clippedCaptions(QWidget *root)
{
    QStringList clipped;
    const auto check = [&](QWidget *w, const QString &text, int need, int have) {
        if (!text.isEmpty() && need > have)
            clipped << QStringLiteral("%1 \"%2\" needs %3, has %4").arg(w->objectName(), text).arg(need).arg(have);
    };
    for (QWidget *w : root->findChildren<QWidget *>()) {
        if (!w->isVisible())
            continue;
        const QFontMetrics fm = w->fontMetrics();
        if (auto *label = qobject_cast<QLabel *>(w)) {
            if (label->wordWrap())
                continue;
            const QString text = label->textFormat() == Qt::PlainText || !Qt::mightBeRichText(label->text())
                ? label->text()
                : QTextDocumentFragment::fromHtml(label->text()).toPlainText();
            check(label, text, fm.horizontalAdvance(text), label->contentsRect().width());
        } else if (auto *button = qobject_cast<QAbstractButton *>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(button);
            opt.text = button->text();
            const bool box = qobject_cast<QCheckBox *>(button) != nullptr;
            const QRect room = w->style()->subElementRect(
                box ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &opt, button);
            check(button, button->text(), fm.horizontalAdvance(button->text()), room.width());
        } else if (auto *group = qobject_cast<QGroupBox *>(w)) {
            QStyleOptionGroupBox opt;
            opt.initFrom(group);
            opt.text = group->title();
            opt.subControls = QStyle::SC_GroupBoxLabel;
            if (group->isCheckable())
                opt.subControls |= QStyle::SC_GroupBoxCheckBox;
            const QRect title = w->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, group);
            check(group, group->title(), title.right() + 1, group->width());
        } else if (auto *bar = qobject_cast<QTabBar *>(w)) {
            const int last = bar->count() - 1;
            check(bar, bar->tabText(last), bar->tabRect(last).right() + 1, bar->width());
        }
    }
    return clipped;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT
public:
    static void initMain() { prepareApplication(); } // as the client starts

private slots:
    // Every caption fits at the common desktop DPIs with the font Qt takes on
    // a Debian desktop. A screen's DPI is fixed for the life of a process, so
    // each DPI is measured in a process of its own.
    void captionsFit_data()
    {
        QTest::addColumn<int>("dpi");
        for (int dpi : {96, 120, 144})
            QTest::newRow(qPrintable(QString::number(dpi))) << dpi;
    }
    void captionsFit()
    {
        QFETCH(int, dpi);
        if (qEnvironmentVariableIntValue("QT_FONT_DPI") != dpi) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("QT_FONT_DPI", QString::number(dpi));
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::MergedChannels);
            child.start(QCoreApplication::applicationFilePath(),
                        {QStringLiteral("captionsFit:") + QTest::currentDataTag()});
            QVERIFY(child.waitForFinished(60000));
            const QByteArray out = child.readAll();
            if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
                qWarning("%s", out.mid(out.indexOf("FAIL!")).constData());
            QCOMPARE(child.exitCode(), 0);
            return;
        }
        QCoreApplication::setAttribute(Qt::AA_Use96Dpi, false); // QTest's own choice
        QApplication::setFont(QFont(QStringLiteral("Sans Serif"), 9));
        const QScreen *screen = QGuiApplication::primaryScreen();
        QCOMPARE(qRound(screen->logicalDotsPerInch() * screen->devicePixelRatio()), dpi);

        WindowFixture f(false);
        f.window()->setControlsEnabled(true);
        QStringList clipped;
        auto *tabs = f.widget<QTabWidget>("tabs");
        auto *connections = f.widget<QTabWidget>("tabWidget");
        for (int page = 0; page < tabs->count(); ++page) {
            tabs->setCurrentIndex(page);
            connections->setCurrentIndex(page % connections->count());
            clipped << clippedCaptions(f.window());
        }
        // The parameter form of every command.
        tabs->setCurrentIndex(0);
        auto *list = f.widget<QListWidget>("lvCommands");
        for (int row = 0; row < list->count(); ++row) {
            list->setCurrentRow(row);
            clipped << clippedCaptions(f.widget<QGroupBox>("gbCommands"));
        }
        clipped.removeDuplicates();
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join('\n')));
    }

    // A damaged store (a favourites array that claims two thousand million
    // entries, records without bytes or too long, layouts that do not
    // parse, a port that is gone) still opens the window: what can be read
    // is used, the rest is left out and the log says what. What the window
    // keeps there survives a restart; without the device log the sizes of
    // the logs stored stay as they were.
    void damagedStoreStillOpens()
    {
        WindowFixture f(false);
        f.closeWindow();
        QFile file(f.settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[General]\n"
                   "windowGeometry=@ByteArray(not a geometry)\n"
                   "windowState=@ByteArray(\\0\\0\\0\\xff)\n"
                   "lastComPort=/dev/not-a-port\n"
                   "\n[commands]\n"
                   "size=2000000000\n"
                   "1\\name=Version\n1\\hex=F5 03 00 FC FF 0B 3A 2D\n"
                   "2\\name=no bytes\n"
                   "3\\hex=0B\n"
                   "4\\name=a, list\n4\\hex=01\n"
                   "5\\name=long\n5\\hex="
                   + QByteArray(5000, 'A')
                   + "\n"
                     "007\\name=not an index\n007\\hex=07\n"
                     "x\\name=junk\nx\\hex=00\n"
                     "9\\name=Uid\n9\\hex=F5 04\n");
        file.close();
        f.reopenWindow();

        auto *list = f.widget<QListWidget>("lvFavCommands");
        QCOMPARE(itemTexts(list), QStringList({"Version", "Uid"}));
        QCOMPARE(list->item(1)->data(Qt::UserRole).toString(), QStringLiteral("F5 04"));
        for (const char *line : {"The saved window geometry is damaged and was not restored.",
                                 "The saved window state is damaged and was not restored.",
                                 "The settings name 2000000000 favourites, 6 of them are there.",
                                 "Favourite 2 of the settings is damaged and left out.",
                                 "Favourite 3 of the settings is damaged and left out.",
                                 "Favourite 4 of the settings is damaged and left out.",
                                 "Favourite 5 of the settings is damaged and left out."})
            QVERIFY2(f.logCount(line) == 1, line);
        QCOMPARE(f.window()->size(), QSize(1100, 815));
        auto *ports = f.widget<QComboBox>("cbSerialPort");
        QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);

        // The next change writes what was read, and nothing is said again.
        f.window()->addNewFavCommand(-1, QStringLiteral("Halt"), QStringLiteral("05"));
        f.window()->resize(1200, 900);
        f.reopenWindow();
        QCOMPARE(f.widget<QListWidget>("lvFavCommands")->count(), 3);
        QCOMPARE(f.window()->size(), QSize(1200, 900));
        QVERIFY(!f.logText().contains(QStringLiteral("damaged")));
        QVERIFY(!f.logText().contains(QStringLiteral("favourites")));

        // A size that is not a number bounds nothing: the records there are read.
        {
            QSettings s(f.settingsFile(), QSettings::IniFormat);
            s.setValue("commands/size", "three");
            s.setValue("right_sizes", QVariantList {123, 456});
        }
        f.reopenWindow();
        QCOMPARE(f.widget<QListWidget>("lvFavCommands")->count(), 3);
        QCOMPARE(f.logCount("The number of favourites in the settings cannot be read."), 1);
        f.closeWindow();
        QCOMPARE(QSettings(f.settingsFile(), QSettings::IniFormat).value("right_sizes").toList(),
                 (QVariantList {123, 456}));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
