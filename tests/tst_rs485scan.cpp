// The RS485 bus scan against simulated readers sharing one pty line: who is
// found, what every address is asked, Cancel, and Scan on an open link.
// A full scan takes 256 x 100 ms; only the first story runs one.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "sim/simchannel.h"
#include "sim/simcodec.h"
#include "support/windowfixture.h"

namespace {

// Readers on one line, and every frame the client put on it.
struct Bus
{
    SimBus line;
    QList<SimReader *> readers;
    QByteArray sent;

    Bus()
    {
        if (!line.open())
            qWarning("the bus could not open a pty");
        QObject::connect(&line, &SimChannel::bytesReceived, [this](const QByteArray &bytes) { sent += bytes; });
    }
    ~Bus() { qDeleteAll(readers); }

    SimReader *add(quint8 address, const QString &version)
    {
        auto *reader = new SimReader;
        reader->setAddress(address);
        reader->setVersion(version);
        reader->attachToBus(&line);
        readers << reader;
        return reader;
    }

    QList<QByteArray> frameBodies() const
    {
        SimCodec::Parser parser;
        QList<QByteArray> bodies;
        for (const SimCodec::Frame &frame : parser.feed(sent, 0))
            bodies << frame.body;
        return bodies;
    }
};

// The scan lives in the RS485 group, usable while the group is ticked.
void selectPort(WindowFixture &f, const QString &path)
{
    f.widget<QGroupBox>(QStringLiteral("gbRS485"))->setChecked(true);
    auto *ports = f.widget<QComboBox>(QStringLiteral("cbSerialPort"));
    if (ports->findText(path) < 0)
        ports->addItem(path);
    ports->setCurrentIndex(ports->findText(path));
}

} // namespace

class TestRs485Scan : public QObject
{
    Q_OBJECT
private slots:
    // The one full scan of the suite: every address once, the two readers
    // found, and the port closed again at the end.
    void findsTheReadersOnTheBus()
    {
        Bus bus;
        bus.add(0x05, QStringLiteral("2.38"));
        bus.add(0x1A, QStringLiteral("2.40"));
        WindowFixture f(false);
        MainWindow *w = f.window();
        selectPort(f, bus.line.ptyPath());
        auto *scan = f.widget<QPushButton>("btScanRs485");
        auto *connectButton = f.widget<QPushButton>("btSerialConnect");
        auto *address = f.widget<QLineEdit>("leTargetAddress");

        f.click("btScanRs485");
        QVERIFY(f.logText().contains(QStringLiteral("Searching for devices. Please wait...")));
        QCOMPARE(scan->text(), QStringLiteral("Cancel"));
        QVERIFY(!connectButton->isEnabled());
        QVERIFY(w->serial.isOpen());
        // A scan is no connection: the device controls stay off.
        QVERIFY(!f.widget<QWidget>("tabs")->isEnabled());

        QVERIFY(f.waitForLog(QStringLiteral("Device found: 05 - 2.38 ")));
        QCOMPARE(address->text(), QStringLiteral("05"));
        QVERIFY(f.waitForLog(QStringLiteral("Done."), 40000));

        QCOMPARE(itemTexts(f.widget<QComboBox>("cbDetectedDevices")),
                 (QStringList {QStringLiteral("05 - 2.38 "), QStringLiteral("1A - 2.40 ")}));
        QCOMPARE(f.logCount("Device found: 1A - 2.40 "), 1);
        QCOMPARE(scan->text(), QStringLiteral("Scan"));
        QVERIFY(connectButton->isEnabled());
        QVERIFY(!w->serial.isOpen());
        QCOMPARE(w->progressBar->value(), 0);
        QCOMPARE(w->oneShotState, int(MainWindow::Idle));
        QVERIFY(!w->oneShotTimer->isActive());
        QCOMPARE(w->protocol.address(), uint8_t(0));

        // Get firmware version to every address once, 0 without address byte.
        const QList<QByteArray> bodies = bus.frameBodies();
        QCOMPARE(bodies.size(), 256);
        QCOMPARE(bodies.first(), QByteArray("\x0B", 1));
        for (int a = 1; a <= 255; ++a)
            QCOMPARE(bodies.at(a), QByteArray(1, char(a)) + '\x0B');
        QCOMPARE(bus.readers[0]->receivedPayloads(), QList<QByteArray> {QByteArray("\x0B", 1)});

        // Choosing an entry puts its address into the field; the link then
        // goes to that reader.
        auto *found = f.widget<QComboBox>("cbDetectedDevices");
        found->setCurrentIndex(1);
        QCOMPARE(address->text(), QStringLiteral("1A"));
        address->setText(QStringLiteral("77"));
        found->setFocus();
        QTest::keyClick(found, Qt::Key_Up); // activated, as by the user
        QCOMPARE(found->currentIndex(), 0);
        QCOMPARE(address->text(), QStringLiteral("05"));

        f.click("btSerialConnect");
        QTRY_COMPARE(w->statusDetailLabel->text(), QStringLiteral("Version:2.38"));
        QCOMPARE(w->protocol.address(), uint8_t(0x05));
    }

    // Cancel ends the scan rather than starting another, keeps what was
    // found and nothing is probed after it: on a bus, where readers that
    // answer with an error or a damaged frame are not found; with a lone
    // reader without an address, which only frames without an address byte
    // reach (it is found at 00); on a port that does not open.
    void cancelKeepsWhatWasFound_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("cancelAt");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("bus") << "bus" << 0x40 << QStringList {QStringLiteral("05 - 2.38 ")};
        QTest::newRow("reader without an address") << "lone" << 3 << QStringList {QStringLiteral("00 - 2.38 ")};
        QTest::newRow("port that does not open") << "none" << 3 << QStringList();
    }
    void cancelKeepsWhatWasFound()
    {
        QFETCH(QString, line);
        QFETCH(int, cancelAt);
        QFETCH(QStringList, found);
        Bus bus;
        bus.add(0x03, QStringLiteral("9.9"))->failCommand(0x0B, 0x0101, -1);
        bus.add(0x04, QStringLiteral("9.8"))->corruptNextCrc();
        bus.add(0x05, QStringLiteral("2.38"));
        bus.add(0x50, QStringLiteral("2.41"));
        WindowFixture f(line == QLatin1String("lone"));
        MainWindow *w = f.window();
        selectPort(f,
                   line == QLatin1String("bus")        ? bus.line.ptyPath()
                       : line == QLatin1String("lone") ? f.reader()->ptyPath()
                                                       : QStringLiteral("/nonexistent/ttyRX"));
        f.click("btScanRs485");
        QCOMPARE(w->serial.isOpen(), line != QLatin1String("none"));
        QCOMPARE(w->oneShotState, int(MainWindow::Rs485Scan));
        QTRY_VERIFY_WITH_TIMEOUT(w->rs485ScanAddress >= cancelAt, 15000);
        QCOMPARE(w->rs485ScanAddress, uint8_t(cancelAt));
        f.click("btScanRs485");

        QCOMPARE(f.logCount("Searching aborted."), 1);
        QCOMPARE(f.logCount("Searching for devices. Please wait..."), 1);
        QCOMPARE(w->oneShotState, int(MainWindow::Idle));
        QVERIFY(!w->oneShotTimer->isActive());
        QVERIFY(!w->serial.isOpen());
        QCOMPARE(f.widget<QPushButton>("btScanRs485")->text(), QStringLiteral("Scan"));
        QVERIFY(f.widget<QPushButton>("btSerialConnect")->isEnabled());
        QCOMPARE(w->progressBar->value(), 0);
        QCOMPARE(itemTexts(f.widget<QComboBox>("cbDetectedDevices")), found);
        if (!found.isEmpty())
            QCOMPARE(f.widget<QLineEdit>("leTargetAddress")->text(), found.first().left(2));

        // On the bus 00 to 40 were asked; the damaged answer got the client's
        // repeat request (FF FF 02) and nothing more, then or later.
        QTest::qWait(400);
        const QList<QByteArray> bodies = bus.frameBodies();
        QCOMPARE(bodies.size(), line == QLatin1String("bus") ? cancelAt + 2 : 0);
        if (!bodies.isEmpty()) {
            QCOMPARE(bodies.at(cancelAt + 1), QByteArray("\x40\x0B", 2));
            QCOMPARE(bodies.count(QByteArray("\x04\xFF\xFF\x02", 4)), 1);
        }
        QCOMPARE(f.logCount("Device found:"), found.size());
        QCOMPARE(f.logCount("Done."), 0);

        // Started again, the scan begins at the first address.
        f.click("btScanRs485");
        QCOMPARE(w->rs485ScanAddress, uint8_t(0));
        f.click("btScanRs485");
    }

    // On an open connection the button closes it and no scan starts.
    void scanOnAnOpenConnectionClosesIt()
    {
        WindowFixture f;
        MainWindow *w = f.window();
        auto *found = f.widget<QComboBox>("cbDetectedDevices");
        found->addItem(QStringLiteral("07 - 1.0 "));
        QVERIFY(f.connectSerial());
        // A 2.38 reader is asked for its log lines after the version.
        QTRY_VERIFY(f.reader()->receivedPayloads().contains(QByteArray("\xE4\x01", 2)));
        f.widget<QGroupBox>("gbRS485")->setChecked(true);
        f.reader()->clearReceived();

        f.click("btScanRs485");
        QCOMPARE(f.logCount("Searching aborted."), 1);
        QCOMPARE(f.logCount("Searching for devices. Please wait..."), 0);
        QVERIFY(!w->serial.isOpen());
        QCOMPARE(f.widget<QPushButton>("btSerialConnect")->text(), QStringLiteral("Connect"));
        QCOMPARE(f.widget<QPushButton>("btScanRs485")->text(), QStringLiteral("Scan"));
        QCOMPARE(itemTexts(f.widget<QComboBox>("cbDetectedDevices")), QStringList {QStringLiteral("07 - 1.0 ")});
        QTest::qWait(250);
        QVERIFY(f.reader()->receivedPayloads().isEmpty());
        QVERIFY(!w->oneShotTimer->isActive());
    }
};

QTEST_MAIN(TestRs485Scan)
#include "tst_rs485scan.moc"
