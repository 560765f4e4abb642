// The main window as a user first meets it: layout, initial state,
// validators, tab switching and what it keeps in the settings store.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextEdit>

#include "support/windowfixture.h"

class TestWindow : public QObject
{
    Q_OBJECT
private slots:
    void firstRun()
    {
        WindowFixture f(false);
        MainWindow *w = f.window();
        QCOMPARE(w->windowTitle(), QStringLiteral("Rx-Client - v1.32"));
        QCOMPARE(w->size(), QSize(1100, 815));
        QCOMPARE(w->minimumSize(), QSize(1100, 700));

        // Device controls are off until a link is up.
        for (const char *name :
             {"gbCommands", "tabs", "btFlashFirmware", "btUploadConfig", "btDownloadConfig", "btRestartDevice",
              "btPollingConfiguration", "btUartConfiguration", "btSleepConfiguration", "btPNUpdate"})
            QVERIFY2(!f.widget<QWidget>(name)->isEnabled(), name);
        for (const char *name : {"btShowLegend", "btClearLogs", "btSerialConnect", "cbSerialPort",
                                 "tabSerialConnection", "tabNetworkConnection"})
            QVERIFY2(f.widget<QWidget>(name)->isEnabled(), name);
        QCOMPARE(f.widget<QPushButton>("btSerialConnect")->text(), QStringLiteral("Connect"));
        QCOMPARE(f.widget<QPushButton>("btNetworkConnect")->text(), QStringLiteral("Connect"));

        QCOMPARE(f.widget<QCheckBox>("cbSaveToFile")->isChecked(), false);
        QVERIFY(f.widget<QTextEdit>("teLogs")->isHidden());
        QVERIFY(f.widget<QLabel>("labLogLabel")->isHidden());
        QVERIFY(f.widget<QListWidget>("lvDetectedDevices")->isHidden());
        QVERIFY(f.widget<QLabel>("labDetected")->isHidden());
        QVERIFY(!f.widget<QGroupBox>("gbAddressTag")->isHidden());
        QVERIFY(!f.widget<QGroupBox>("gbTests")->isHidden());
        QCOMPARE(f.widget<QTabWidget>("tabs")->currentIndex(), 0);
        QCOMPARE(f.widget<QTabWidget>("tabWidget")->currentIndex(), 0);
        QCOMPARE(f.widget<QComboBox>("cbConnectionSpeed")->currentText(), QStringLiteral("115200"));
        QCOMPARE(f.widget<QLineEdit>("leTargetAddress")->text(), QStringLiteral("01"));
        QCOMPARE(f.widget<QGroupBox>("gbRS485")->isChecked(), false);
        QCOMPARE(f.widget<QSpinBox>("sbPort")->value(), 1234);
        QCOMPARE(f.widget<QSpinBox>("sbPort")->maximum(), 65535);
        auto *ports = f.widget<QComboBox>("cbSerialPort");
        QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);

        // Status bar: three permanent widgets in order, progress empty.
        QCOMPARE(w->statusLabel->parentWidget(), w->statusBar());
        QVERIFY(w->statusLabel->x() < w->statusDetailLabel->x());
        QVERIFY(w->statusDetailLabel->x() < w->progressBar->x());
        QCOMPARE(w->progressBar->value(), 0);
        QVERIFY(!w->progressBar->isTextVisible());

        QVERIFY(f.logText().contains(
            "Network search engine is running in the background, new devices will be automatically detected."));
        QCOMPARE(w->oneShotState, int(MainWindow::Idle));
        QVERIFY(!w->oneShotTimer->isActive());
        QVERIFY(w->updateTimer->isActive());
        QCOMPARE(w->updateTimer->interval(), 1000);
    }

    void ipAddressFields_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("private") << "192.168.0.1" << true;
        QTest::newRow("broadcast") << "255.255.255.255" << true;
        QTest::newRow("zeros") << "0.0.0.0" << true;
        QTest::newRow("octet too big") << "256.1.1.1" << false;
        QTest::newRow("three parts") << "1.2.3" << false;
        QTest::newRow("trailing dot") << "1.2.3." << false;
        QTest::newRow("letters") << "a.b.c.d" << false;
    }
    void ipAddressFields()
    {
        QFETCH(QString, text);
        QFETCH(bool, acceptable);
        WindowFixture f(false);
        for (const char *name : {"leIp", "leNetmask", "leGateway", "leDns"}) {
            auto *edit = f.widget<QLineEdit>(name);
            QVERIFY(edit->validator());
            QString t = text;
            int pos = 0;
            QCOMPARE(edit->validator()->validate(t, pos) == QValidator::Acceptable, acceptable);
            QVERIFY2(!edit->isEnabled(), name);
        }
    }

    void tabsShowTheirCompanions()
    {
        WindowFixture f(false);
        auto *tabs = f.widget<QTabWidget>("tabs");
        auto *params = f.widget<QGroupBox>("gbCommands");
        QVERIFY(params->isVisible());
        tabs->setCurrentIndex(2);
        QVERIFY(!params->isVisible());
        tabs->setCurrentIndex(0);
        QVERIFY(params->isVisible());

        auto *connections = f.widget<QTabWidget>("tabWidget");
        connections->setCurrentIndex(1);
        QVERIFY(f.widget<QListWidget>("lvDetectedDevices")->isVisible());
        QVERIFY(f.widget<QLabel>("labDetected")->isVisible());
        connections->setCurrentIndex(0);
        QVERIFY(f.widget<QListWidget>("lvDetectedDevices")->isHidden());
        QVERIFY(f.widget<QLabel>("labDetected")->isHidden());
    }

    void settingsSurviveARestart()
    {
        WindowFixture f(false);
        f.window()->resize(1200, 900);
        f.reopenWindow();
        QCOMPARE(f.window()->size(), QSize(1200, 900));

        // Stored choices come back into their widgets.
        {
            QSettings s(f.settingsFile(), QSettings::IniFormat);
            s.setValue("OutputXlsEnabled", true);
            s.setValue("OutputXlsFile", "/tmp/tags.xlsx");
            s.setValue("lastComPort", "/dev/not-a-port");
        }
        f.reopenWindow();
        QCOMPARE(f.widget<QCheckBox>("cbSaveToFile")->isChecked(), true);
        QCOMPARE(f.widget<QLineEdit>("leOutputXlsFile")->text(), QStringLiteral("/tmp/tags.xlsx"));
        // An absent stored port falls back to the first one listed.
        auto *ports = f.widget<QComboBox>("cbSerialPort");
        QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);
    }

    // A damaged store (a favourites array that claims two thousand million
    // entries, records without bytes or too long, layouts that do not
    // parse) still opens the window: what can be read is used, the rest is
    // left out and the log says what.
    void damagedStoreStillOpens()
    {
        WindowFixture f(false);
        f.closeWindow();
        QFile file(f.settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[General]\n"
                   "windowGeometry=@ByteArray(not a geometry)\n"
                   "windowState=@ByteArray(\\0\\0\\0\\xff)\n"
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
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->text(), QStringLiteral("Version"));
        QCOMPARE(list->item(1)->text(), QStringLiteral("Uid"));
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

        // The next change writes what was read, and nothing is said again.
        f.window()->addNewFavCommand(-1, QStringLiteral("Halt"), QStringLiteral("05"));
        f.reopenWindow();
        QCOMPARE(f.widget<QListWidget>("lvFavCommands")->count(), 3);
        QVERIFY(!f.logText().contains(QStringLiteral("damaged")));
        QVERIFY(!f.logText().contains(QStringLiteral("favourites")));

        // A size that is not a number bounds nothing: the records there are read.
        {
            QSettings s(f.settingsFile(), QSettings::IniFormat);
            s.setValue("commands/size", "three");
        }
        f.reopenWindow();
        QCOMPARE(f.widget<QListWidget>("lvFavCommands")->count(), 3);
        QCOMPARE(f.logCount("The number of favourites in the settings cannot be read."), 1);
    }

    void rightSizesUntouchedWithoutDeviceLog()
    {
        WindowFixture f(false);
        {
            QSettings s(f.settingsFile(), QSettings::IniFormat);
            s.setValue("right_sizes", QVariantList {123, 456});
        }
        f.reopenWindow();
        f.closeWindow();
        QSettings s(f.settingsFile(), QSettings::IniFormat);
        QCOMPARE(s.value("right_sizes").toList(), (QVariantList {123, 456}));
        QVERIFY(s.contains("windowGeometry"));
        QVERIFY(s.contains("windowState"));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
