// Serial link stories against the simulated reader on a real pty: connect,
// RS485 addresses, silence, corrupted answers, unplugging.
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSerialPort>

#include "support/windowfixture.h"

class TestSerial : public QObject
{
    Q_OBJECT
private slots:
    // The window's state on every link is checked by the soak, after each
    // of its rounds; here what goes out first, and what is remembered.
    void connectSendsGetVersionAndRemembersThePort()
    {
        WindowFixture f;
        QByteArray received;
        QObject::connect(f.reader(), &SimReader::rawReceived, [&](const QByteArray &b) { received += b; });
        QVERIFY(f.connectSerial());
        QCOMPARE(received.left(8), hex("F5 03 00 FC FF 0B 9B 50"));
        QVERIFY(f.logText().contains("Data: F5 03 00 FC FF 0B 9B 50\n"));

        // The port is remembered for the next start.
        f.click("btSerialConnect");
        QVERIFY(!f.window()->serial.isOpen());
        QSettings s(f.settingsFile(), QSettings::IniFormat);
        QCOMPARE(s.value("lastComPort").toString(), f.reader()->ptyPath());
    }

    void rs485Addresses()
    {
        WindowFixture f;
        f.widget<QGroupBox>("gbRS485")->setChecked(true);
        auto *address = f.widget<QLineEdit>("leTargetAddress");

        for (const char *bad : {"100", "0", "zz", ""}) {
            address->setText(bad);
            f.selectReaderPort();
            f.click("btSerialConnect");
            QVERIFY2(!f.window()->serial.isOpen(), bad);
        }
        QCOMPARE(f.logCount("Please enter the correct device address!"), 4);

        // 1FF keeps its low eight bits: address FF, and only FF answers.
        f.reader()->setAddress(0xFF);
        QByteArray received;
        QObject::connect(f.reader(), &SimReader::rawReceived, [&](const QByteArray &b) { received += b; });
        address->setText("1FF");
        QVERIFY(f.connectSerial());
        QCOMPARE(received.left(9), hex("F5 04 00 FB FF FF 0B") + received.mid(7, 2));
        QCOMPARE(f.window()->protocol.address(), uint8_t(0xFF));
        // A 2.38 reader is asked for its log lines, at its own address too.
        QVERIFY(QTest::qWaitFor([&] { return received.contains(hex("F5 05 00 FA FF FF E4 01")); }, 2000));

        // Disconnect with an invalid address only complains; the port stays open.
        address->setText("zz");
        f.click("btSerialConnect");
        QVERIFY(f.window()->serial.isOpen());
        QCOMPARE(f.logCount("Please enter the correct device address!"), 5);
        address->setText("FF");
        f.click("btSerialConnect");
        QVERIFY(!f.window()->serial.isOpen());

        // With the group unchecked, frames carry no address whatever the field says.
        f.widget<QGroupBox>("gbRS485")->setChecked(false);
        f.reader()->setAddress(0);
        received.clear();
        QVERIFY(f.connectSerial());
        QCOMPARE(received.left(8), hex("F5 03 00 FC FF 0B 9B 50"));
    }

    void corruptedAnswerIsRepeatedByTheReader()
    {
        WindowFixture f;
        QByteArray received;
        QObject::connect(f.reader(), &SimReader::rawReceived, [&](const QByteArray &b) { received += b; });
        f.reader()->corruptNextCrc();
        // The client shows the bad frame and answers it with its error reply;
        // the version request is repeated on the timer and then answered.
        QVERIFY(f.connectSerial());
        QVERIFY(received.contains(hex("F5 05 00 FA FF FF FF 02 42 20")));
        QCOMPARE(f.logCount("[RX] - Get firmware version - ACK - CRC wrong, ignored"), 1);
        QVERIFY(f.logText().contains("Repeating get version frame..."));
    }

    void refreshWhileConnectedDisconnects()
    {
        WindowFixture f;
        QVERIFY(f.connectSerial());
        QTest::keyClick(f.window(), Qt::Key_F5);
        QTRY_VERIFY(!f.window()->serial.isOpen());
        auto *ports = f.widget<QComboBox>("cbSerialPort");
        QCOMPARE(ports->currentIndex(), ports->count() > 0 ? 0 : -1);
        QVERIFY(ports->findText(f.reader()->ptyPath()) < 0);
    }

    // A port that cannot be opened says why; the answer timer runs as before.
    void unopenablePortLogsWhy_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << false << "No such file or directory";
        QTest::newRow("busy") << true << "Permission error while locking the device";
    }
    void unopenablePortLogsWhy()
    {
        QFETCH(bool, busy);
        QFETCH(QString, reason);
        WindowFixture f;
        const QString path = busy ? f.reader()->ptyPath() : QStringLiteral("/nonexistent/ttyRX9");
        QSerialPort other(path);
        QVERIFY(!busy || other.open(QIODevice::ReadWrite));
        auto *ports = f.widget<QComboBox>("cbSerialPort");
        ports->addItem(path);
        ports->setCurrentIndex(ports->count() - 1);
        f.click("btSerialConnect");
        QVERIFY(f.logText().contains(QStringLiteral("Failed to open port %1: %2\n").arg(path, reason)));
        QVERIFY(f.window()->oneShotTimer->isActive()); // the time-out still ends the attempt
    }
};

QTEST_MAIN(TestSerial)
#include "tst_serial.moc"
