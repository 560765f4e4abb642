// The "Network" tab against the simulated reader: reading the ten settings,
// the write chains for each Wi-Fi mode and address type, the checks that
// stop a write before it starts, and the restart question.
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>

#include "sim/simnetwork.h"
#include "support/requestlog.h"
#include "support/windowfixture.h"

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QList<int> subsOf(const QList<QPair<int, QByteArray>> &writes)
{
    QList<int> subs;
    for (const auto &w : writes)
        subs << w.first;
    return subs;
}

} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT

    template<class T>
    static T *w(WindowFixture &f, const char *name)
    {
        return f.widget<T>(QString::fromLatin1(name));
    }

    // Connected, and the device-log request that follows the version answer
    // is out of the way.
    static bool connect(WindowFixture &f) { return f.connectSerial() && f.settle(); }

    static void fillForm(WindowFixture &f)
    {
        w<QComboBox>(f, "cbAuthMode")->setCurrentIndex(3);
        w<QSpinBox>(f, "sbChannel")->setValue(9);
        w<QLineEdit>(f, "leSsid")->setText(QStringLiteral("Office"));
        w<QLineEdit>(f, "leWifiPassword")->setText(QStringLiteral("p\u00e4ss word"));
        w<QLineEdit>(f, "leIp")->setText("192.168.010.020"); // as the device list shows addresses
        w<QLineEdit>(f, "leNetmask")->setText("255.255.255.0");
        w<QLineEdit>(f, "leGateway")->setText("192.168.10.1");
        w<QLineEdit>(f, "leDns")->setText("10.0.0.53");
    }

private slots:
    // ---- read ---------------------------------------------------------------------

    // The ten settings read into the form drive the enabling of the fields
    // like a choice of the user; read again, values a widget cannot show leave it as it
    // was, and the read goes on.
    void readFillsTheForm()
    {
        WindowFixture f;
        SimNetwork *net = SimNetwork::of(f.reader());
        const QList<QByteArray> values = {bytes({1}),
                                          bytes({4}),
                                          bytes({11}),
                                          QStringLiteral("Lab \u2713").toUtf8(),
                                          "secret pass",
                                          bytes({1}),
                                          bytes({10, 20, 30, 40}),
                                          bytes({255, 255, 0, 0}),
                                          bytes({10, 20, 0, 1}),
                                          bytes({10, 20, 0, 2})};
        for (int sub = 0; sub < values.size(); ++sub)
            net->setValue(sub, values[sub]);
        QVERIFY(connect(f));
        RequestLog requests(f.reader());
        // An answer for another setting, before the SSID's, answers nothing.
        requests.onRequest = [&](const QByteArray &r) {
            if (r == hex("09 03"))
                f.injectAnswer(hex("00 09 07 01 02 03 04"));
        };
        f.click("btReadNetwork");
        QVERIFY(f.waitForLog("Reading network done."));
        requests.onRequest = nullptr;

        QList<QByteArray> expected;
        for (int sub = 0; sub <= 10; ++sub)
            expected << hex("09") + char(sub);
        QCOMPARE(requests.list, expected);
        const auto form = [&] {
            return QStringList {QString::number(w<QComboBox>(f, "cbWifiMode")->currentIndex()),
                                QString::number(w<QComboBox>(f, "cbAuthMode")->currentIndex()),
                                QString::number(w<QSpinBox>(f, "sbChannel")->value()),
                                w<QLineEdit>(f, "leSsid")->text(),
                                w<QLineEdit>(f, "leWifiPassword")->text(),
                                QString::number(w<QComboBox>(f, "cbAddressType")->currentIndex()),
                                w<QLineEdit>(f, "leIp")->text(),
                                w<QLineEdit>(f, "leNetmask")->text(),
                                w<QLineEdit>(f, "leGateway")->text(),
                                w<QLineEdit>(f, "leDns")->text()};
        };
        QStringList read
            = {"1",           "4",         "11",       QStringLiteral("Lab \u2713"), "secret pass", "1", "10.20.30.40",
               "255.255.0.0", "10.20.0.1", "10.20.0.2"};
        QCOMPARE(form(), read);
        QVERIFY(!w<QWidget>(f, "cbAuthMode")->isEnabled());
        QVERIFY(w<QWidget>(f, "leIp")->isEnabled());

        net->setValue(0, bytes({3}));
        net->setValue(1, QByteArray());
        net->setValue(2, bytes({0}));
        net->setValue(3, QByteArray()); // an SSID without text bytes empties the field
        net->setValue(5, bytes({2}));
        net->setValue(6, bytes({1, 2}));
        net->setValue(7, bytes({255, 255, 255, 0}));
        f.click("btReadNetwork");
        QVERIFY(QTest::qWaitFor([&] { return f.logCount("Reading network done.") == 2; }, 3000));
        read[3] = QString();
        read[7] = QStringLiteral("255.255.255.0");
        QCOMPARE(form(), read);
        QCOMPARE(f.logCount("the field is left unchanged."), 5);
        QVERIFY(f.logText().contains("Unexpected Wi-Fi mode in the answer (03)"));
    }

    // ---- write --------------------------------------------------------------------

    void writeSequences_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("addressType");
        QTest::addColumn<QList<int>>("subs");
        QTest::newRow("access point, static") << 0 << 1 << QList<int> {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        QTest::newRow("access point, DHCP") << 0 << 0 << QList<int> {0, 1, 2, 3, 4, 5};
        QTest::newRow("client, static") << 1 << 1 << QList<int> {0, 3, 4, 5, 6, 7, 8, 9};
        QTest::newRow("client, DHCP") << 1 << 0 << QList<int> {0, 3, 4, 5};
        QTest::newRow("off, static") << 2 << 1 << QList<int> {0, 5, 6, 7, 8, 9};
        QTest::newRow("off, DHCP") << 2 << 0 << QList<int> {0, 5};
    }
    void writeSequences()
    {
        QFETCH(int, mode);
        QFETCH(int, addressType);
        QFETCH(QList<int>, subs);
        WindowFixture f;
        SimNetwork *net = SimNetwork::of(f.reader());
        QVERIFY(connect(f));
        fillForm(f);
        w<QComboBox>(f, "cbWifiMode")->setCurrentIndex(mode);
        w<QComboBox>(f, "cbAddressType")->setCurrentIndex(addressType);
        f.click("btWriteNetwork");
        QVERIFY(f.waitForLog("Writing network done."));

        QCOMPARE(subsOf(net->writes()), subs);
        const QMap<int, QByteArray> values = {
            {0, bytes({mode})},
            {1, bytes({3})},
            {2, bytes({9})},
            {3, QByteArray("Office")},
            {4, QStringLiteral("p\u00e4ss word").toUtf8()},
            {5, bytes({addressType})},
            {6, bytes({192, 168, 10, 20})},
            {7, bytes({255, 255, 255, 0})},
            {8, bytes({192, 168, 10, 1})},
            {9, bytes({10, 0, 0, 53})},
        };
        for (const auto &written : net->writes())
            QCOMPARE(written.second, values.value(written.first));
    }

    // A write that cannot be done whole does not start: the message, the
    // field to put right in focus, nothing sent. What makes the field not
    // matter lets the write go through: DHCP for the addresses, a client for
    // WEP, Wi-Fi off for its texts.
    void writeRefused_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("remedy"); // a combo box, and the index that makes the field not matter
        QTest::addColumn<int>("index");
        const QString ip = "Waring: Please enter correct IP address";
        QTest::newRow("IP, three parts") << "leIp"
                                         << "10.1.1" << ip << "cbAddressType" << 0;
        QTest::newRow("netmask, five parts") << "leNetmask"
                                             << "255.255.255.0.0"
                                             << "Waring: Please enter correct netmask address"
                                             << "cbAddressType" << 0;
        QTest::newRow("gateway") << "leGateway"
                                 << "10"
                                 << "Waring: Please enter correct gateway address"
                                 << "cbAddressType" << 0;
        QTest::newRow("DNS") << "leDns"
                             << "8.8.8"
                             << "Waring: Please enter correct DNS address"
                             << "cbAddressType" << 0;
        QTest::newRow("WEP for an access point") << "cbAuthMode"
                                                 << "WEP"
                                                 << "Waring: WEP mode is not allowed for AP modew"
                                                 << "cbWifiMode" << 1;
        // One frame holds 09, the sub-command and at most 2059 text bytes,
        // counted in UTF-8.
        QTest::newRow("SSID too long") << "leSsid" << QString(2060, QLatin1Char('s'))
                                       << "Waring: The SSID is too long: 2060 bytes, at most 2059 can be written."
                                       << "cbWifiMode" << 2;
        QTest::newRow("password too long in UTF-8")
            << "leWifiPassword" << QString(1030, QChar(0x00E4))
            << "Waring: The Wi-Fi password is too long: 2060 bytes, at most 2059 can be written."
            << "cbWifiMode" << 2;
    }
    void writeRefused()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, message);
        QFETCH(QString, remedy);
        QFETCH(int, index);
        WindowFixture f;
        QVERIFY(connect(f));
        fillForm(f);
        w<QComboBox>(f, "cbAddressType")->setCurrentIndex(1);
        QWidget *edit = f.widget<QWidget>(field);
        if (auto *box = qobject_cast<QComboBox *>(edit))
            box->setCurrentIndex(box->findText(text));
        else
            static_cast<QLineEdit *>(edit)->setText(text);
        RequestLog requests(f.reader());
        const int stateBefore = f.window()->oneShotState;
        QCOMPARE(f.answerMessageBox([&] { f.click("btWriteNetwork"); }), message);
        QTest::qWait(200);
        QVERIFY(requests.list.isEmpty());
        if (!qobject_cast<QComboBox *>(edit))
            QCOMPARE(f.window()->focusWidget(), edit);
        QCOMPARE(f.window()->oneShotState, stateBefore);

        f.widget<QComboBox>(remedy)->setCurrentIndex(index);
        f.click("btWriteNetwork");
        QVERIFY(f.waitForLog("Writing network done."));
    }

    // The tab shows the reader's own settings, read when it is first opened
    // on a link (nothing is read at connect): a Write right away sends them
    // back as they were. Settings never read, or an open access point where
    // the reader had a secured network, are written only on a yes.
    void writeSendsTheReadersOwnSettings()
    {
        WindowFixture f;
        SimNetwork *net = SimNetwork::of(f.reader());
        net->setValue(1, QByteArray(1, '\x03')); // WPA2
        net->setValue(2, QByteArray(1, '\x06'));
        net->setValue(3, "Office");
        RequestLog requests(f.reader());
        QVERIFY(connect(f));
        QCOMPARE(requests.count(0x09), 0);
        QMap<int, QByteArray> before;
        for (int sub = 0; sub < 10; ++sub)
            before[sub] = net->value(sub);
        f.widget<QTabWidget>("tabs")->setCurrentWidget(f.widget<QWidget>("tab_3"));
        QVERIFY(f.waitForLog("Reading network done.", 5000));
        f.click("btWriteNetwork");
        QVERIFY(f.waitForLog("Writing network done.", 5000));
        QCOMPARE(f.questions, QStringList());
        for (int sub = 0; sub < 10; ++sub)
            QCOMPARE(net->value(sub), before[sub]);

        w<QComboBox>(f, "cbAuthMode")->setCurrentIndex(0);
        f.window()->askQuestion = [&](const QString &title, const QString &text) {
            f.questions << title + ": " + text;
            return false;
        };
        f.click("btWriteNetwork");
        QCOMPARE(f.questions,
                 QStringList("Question: Write turns the reader's Wi-Fi into an open access point, without "
                             "a password. Write all the same?"));
        // A link anew: what the tab shows is not this reader's any more.
        f.click("btSerialConnect");
        QVERIFY(f.connectSerial() && f.settle());
        f.click("btWriteNetwork");
        QCOMPARE(f.questions.last(),
                 QStringLiteral("Question: The network settings were not read from this reader: "
                                "Write replaces its settings with what the tab shows. Write them?"));
        QTest::qWait(200);
        QCOMPARE(net->value(1), before[1]);
    }

    // At the limit the request goes out; this reader takes at most 64
    // bytes, and its error answer ends the write there.
    void textAtTheLimitMeetsTheReadersLimit()
    {
        WindowFixture f;
        QVERIFY(connect(f));
        fillForm(f);
        w<QLineEdit>(f, "leWifiPassword")->setText(QString(2059, QLatin1Char('p')));
        RequestLog requests(f.reader());
        f.click("btWriteNetwork");
        QVERIFY(f.waitForLog("Error 0x0902 received for command - Network config"));
        QTest::qWait(1200);
        QCOMPARE(requests.list.last(), hex("09 04") + QByteArray(2059, 'p'));
        // The write ends there, saying what the reader holds now.
        QCOMPARE(f.logCount("Writing network settings failed: the reader answered Network config with error "
                            "0x0902; written: Wi-Fi mode, authentication method, channel, SSID; not written: Wi-Fi "
                            "password, address type."),
                 1);
        QCOMPARE(f.window()->oneShotState, int(MainWindow::Idle));
        QVERIFY(!f.logText().contains("Repeating last frame"));
    }

    // Each step takes its value when it is sent ("1.2.3." passes the part
    // count, its empty part goes out as 0), and a lost answer is made up
    // for by the repeat of the same request.
    void writeTakesEachValueAsItGoes()
    {
        WindowFixture f;
        SimNetwork *net = SimNetwork::of(f.reader());
        net->silenceSub(3, 1);
        QVERIFY(connect(f));
        fillForm(f);
        w<QComboBox>(f, "cbWifiMode")->setCurrentIndex(1);
        w<QComboBox>(f, "cbAddressType")->setCurrentIndex(1);
        w<QLineEdit>(f, "leIp")->setText("1.2.3.");
        RequestLog requests(f.reader());
        requests.onRequest = [&](const QByteArray &r) {
            if (r == hex("09 00 01"))
                w<QLineEdit>(f, "leSsid")->setText("Changed");
        };
        f.click("btWriteNetwork");
        QVERIFY(f.waitForLog("Writing network done.", 4000));
        QCOMPARE(f.logCount("Repeating last frame..."), 1);
        QCOMPARE(requests.count(hex("09 03") + "Changed"), 2);
        QCOMPARE(subsOf(net->writes()), (QList<int> {0, 3, 4, 5, 6, 7, 8, 9}));
        QCOMPARE(net->value(3), QByteArray("Changed"));
        QCOMPARE(net->value(6), bytes({1, 2, 3, 0}));
    }

    // ---- restart --------------------------------------------------------------------

    void restartAsksFirst()
    {
        WindowFixture f;
        f.reader()->registerCommand(0x0A, [](SimRequest &req) { req.silent(); });
        QVERIFY(connect(f));
        QString asked;
        bool answer = false;
        f.window()->askQuestion = [&](const QString &title, const QString &text) {
            asked = title + ": " + text;
            return answer;
        };
        RequestLog requests(f.reader());
        f.click("btRestartDevice");
        QCOMPARE(asked, QStringLiteral("Question: Do you really want to restart device?"));
        QTest::qWait(300);
        QVERIFY(requests.list.isEmpty());

        answer = true;
        const int state = f.window()->oneShotState;
        f.click("btRestartDevice");
        QVERIFY(QTest::qWaitFor([&] { return requests.list == QList<QByteArray> {hex("0A")}; }, 1000));
        QCOMPARE(f.window()->oneShotState, state);
        QVERIFY(!f.window()->oneShotTimer->isActive());
    }
};

QTEST_MAIN(TestNetwork)
#include "tst_network.moc"
