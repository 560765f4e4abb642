// rx-provision as a script runs it: the real executable against simulated
// readers on a pty, an RS485 bus and TCP, its JSON lines, report and exit
// status.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "sim/simchannel.h"
#include "sim/simfiles.h"
#include "sim/simnetwork.h"
#include "sim/simota.h"
#include "sim/simtags.h"
#include "sim/simudp.h"
#include "workflows/addresstag.h"
#include "sim/simreader.h"
#include "support/bytes.h"
#include "support/requestlog.h"

#include <csignal>

namespace {

struct Run
{
    int exitCode = -1;
    QList<QJsonObject> lines; // stdout, one object a line, without elapsed_ms
    QByteArray out;
    QByteArray err;
};

// Runs rx-provision while this process's event loop serves the readers.
Run provision(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral(RX_PROVISION_PATH), args);
    Run run;
    if (!process.waitForStarted() || !QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    for (const QByteArray &line : run.out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonObject object = QJsonDocument::fromJson(line).object();
        if (!object.value("elapsed_ms").isDouble())
            object.insert("no elapsed_ms", true); // compares unequal to every line expected
        object.remove("elapsed_ms");
        run.lines << object;
    }
    return run;
}

QJsonObject versionLine(const QString &target, const QString &version)
{
    return {{"target", target}, {"command", "version"}, {"ok", true}, {"detail", ""}, {"version", version}};
}

} // namespace

class TestProvision : public QObject
{
    Q_OBJECT
private slots:
    // Readers on a pty, on TCP and on an RS485 bus (two on one line, worked
    // on one after another) and one that is not there: every reader has its
    // line, the missing one fails without stopping the others, the exit
    // status is 1 and the report holds the same.
    void versionOfMany()
    {
        QTemporaryDir dir;
        SimReader pty;
        pty.setVersion("2.40");
        QVERIFY(pty.openPty(dir.filePath("tty")));
        SimReader network;
        network.setVersion("2.41");
        QVERIFY(network.listenTcp(0));
        SimBus bus;
        QVERIFY(bus.open(dir.filePath("bus")));
        SimReader onBus[2];
        for (int i = 0; i < 2; ++i) {
            onBus[i].setAddress(quint8(0x11 + i));
            onBus[i].setVersion(QStringLiteral("3.0%1").arg(i));
            onBus[i].attachToBus(&bus);
        }
        const QString tcp = QStringLiteral("127.0.0.1:%1").arg(network.tcpPort());
        QVERIFY(writeFile(
            dir.filePath("targets"),
            QStringLiteral("# the bus\n%1@11\n-p %1@12  # second\n\n-t %2\n").arg(dir.filePath("bus"), tcp).toUtf8()));
        const QString missing = dir.filePath("no-such-port");
        const Run run = provision({"version", "-p", dir.filePath("tty"), "-T", dir.filePath("targets"), "-p", missing,
                                   "-r", dir.filePath("report.json"), "-q"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, QByteArray());
        const QJsonObject failed {
            {"target", missing},
            {"command", "version"},
            {"ok", false},
            {"detail", QStringLiteral("Failed to open port %1: No such file or directory").arg(missing)}};
        QList<QJsonObject> expected {
            versionLine(dir.filePath("tty"), "2.40"), versionLine(dir.filePath("bus") + "@11", "3.00"),
            versionLine(dir.filePath("bus") + "@12", "3.01"), versionLine(tcp, "2.41"), failed};
        const auto byTarget = [](const QJsonObject &a, const QJsonObject &b) {
            return a.value("target").toString() < b.value("target").toString();
        };
        QList<QJsonObject> lines = run.lines;
        std::sort(lines.begin(), lines.end(), byTarget);
        std::sort(expected.begin(), expected.end(), byTarget);
        QCOMPARE(lines, expected);

        // The report: the same objects, elapsed_ms included.
        const QJsonArray report = QJsonDocument::fromJson(fileBytes(dir.filePath("report.json"))).array();
        QCOMPARE(report.size(), 5);
        QList<QJsonObject> reported;
        for (const QJsonValue &value : report) {
            QJsonObject object = value.toObject();
            QVERIFY(object.value("elapsed_ms").toDouble() >= 0);
            object.remove("elapsed_ms");
            reported << object;
        }
        std::sort(reported.begin(), reported.end(), byTarget);
        QCOMPARE(reported, expected);
    }

    // The commands that read and change readers, each checked on the
    // readers themselves: config get saves what each reader holds, config
    // put backs the old document up, uploads and reads back, and waits for
    // the restart; a document for the other hardware generation is refused
    // on that reader only; flash updates two readers at once.
    void changesReaders()
    {
        QTemporaryDir dir;
        qputenv("RX_BACKUP_DIR", dir.filePath("backups").toUtf8());
        SimReader pty;
        QVERIFY(pty.openPty(dir.filePath("tty")));
        pty.setRestartTime(100);
        SimReader network[2];
        QStringList tcp;
        for (SimReader &reader : network) {
            QVERIFY(reader.listenTcp(0));
            reader.setRestartTime(100);
            tcp << QStringLiteral("127.0.0.1:%1").arg(reader.tcpPort());
        }
        const QByteArray old = pty.files().configFile();

        Run run = provision({"config", "get", dir.filePath("got"), "-p", dir.filePath("tty"), "-t", tcp[0], "-q"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines.size(), 2);
        QCOMPARE(fileBytes(dir.filePath("got/") + QString(dir.filePath("tty")).replace('/', '_') + ".json"), old);
        QCOMPARE(fileBytes(dir.filePath("got/127.0.0.1_%1.json").arg(network[0].tcpPort())),
                 network[0].files().configFile());

        const QByteArray changed = QByteArray(old).replace("\"hardware_version\"", " \"hardware_version\"");
        QVERIFY(changed != old && writeFile(dir.filePath("new.json"), changed));
        run = provision({"config", "put", dir.filePath("new.json"), "-p", dir.filePath("tty"), "-q"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(pty.files().configFile(), changed);
        QCOMPARE(pty.restartCount(), 1);
        const QString backup = run.lines.value(0).value("backup").toString();
        QCOMPARE(fileBytes(backup), old);
        QCOMPARE(run.lines.value(0).value("version").toString(), QStringLiteral("2.38"));

        QVERIFY(writeFile(dir.filePath("r5.json"),
                          QByteArray(changed).replace("\"hardware_version\": 4", "\"hardware_version\": 12")));
        run = provision({"config", "put", dir.filePath("r5.json"), "-p", dir.filePath("tty"), "-q"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.lines.value(0).value("detail").toString(),
                 QStringLiteral("the file is not for an R4 reader (--yes uploads it all the same)"));
        QCOMPARE(pty.files().configFile(), changed);
        // A backup that cannot be saved stops the upload, unless --yes.
        qputenv("RX_BACKUP_DIR", dir.filePath("new.json/backups").toUtf8());
        QVERIFY(writeFile(dir.filePath("spaced.json"), QByteArray(changed).replace("{", "{ ")));
        run = provision({"config", "put", dir.filePath("spaced.json"), "-p", dir.filePath("tty"), "-q"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.lines.value(0).value("detail").toString(),
                 "the backup could not be saved: cannot make the folder " + dir.filePath("new.json/backups/")
                     + QString(dir.filePath("tty")).replace('/', '_').mid(1) + " (--yes goes on without)");
        QCOMPARE(pty.files().configFile(), changed);
        run = provision({"config", "put", dir.filePath("spaced.json"), "-p", dir.filePath("tty"), "-q", "--yes"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!run.lines.value(0).contains("backup"));
        QCOMPARE(pty.files().configFile(), fileBytes(dir.filePath("spaced.json")));
        qputenv("RX_BACKUP_DIR", dir.filePath("backups").toUtf8());
        run = provision({"config", "diff", dir.filePath("r5.json"), "-p", dir.filePath("tty"), "-q"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines.value(0).value("changes").toArray(), QJsonArray {"hardware_version: 4 -> 12"});

        // The chip's records over the pty, as they are in the file.
        QByteArray chipFile;
        QList<QByteArray> records;
        for (int i = 0; i < 3; ++i) {
            records << pattern(100 + i, quint32(i + 1));
            chipFile += char(0) + QByteArray(1, char(records.last().size())) + records.last();
        }
        QVERIFY(writeFile(dir.filePath("chip.nwfwu"), chipFile));
        SimOta::of(&pty)->setChipTime(0);
        run = provision({"flash-chip", dir.filePath("chip.nwfwu"), "-p", dir.filePath("tty"), "-q"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(SimOta::of(&pty)->chipRecords(), records);
        QCOMPARE(run.lines.value(0).value("version_after").toString(), QStringLiteral("2.38"));

        // An address tag written on the reader with a tag on its antenna and
        // read back; the reader without one fails.
        pty.tagField().placeTag(SimTag::ultralight(hex("04 11 22 33 44 55 66")));
        run = provision({"address-tag", "write", "5A", "--terminated", "-p", dir.filePath("tty"), "-t", tcp[1], "-q"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(pty.tagField().tags().value(0).pages(AddressTag::FirstPage, AddressTag::PageCount),
                 AddressTag::makeRecord(0x5A, true));
        for (const QJsonObject &line : run.lines) {
            const bool withTag = line.value("target").toString() == dir.filePath("tty");
            QCOMPARE(line.value("ok").toBool(), withTag);
            QCOMPARE(line.value("detail").toString(), withTag ? QString() : QStringLiteral("No tag detected"));
            if (withTag)
                QCOMPARE(line.value("address").toString() + line.value("terminated").toVariant().toString(),
                         QStringLiteral("5Atrue"));
        }

        // Network settings written and read back; turning a secured Wi-Fi
        // into an open access point is refused without --yes.
        run = provision({"network", "set", "ssid=Bench", "address-type=static", "ip=10.0.0.7", "netmask=255.255.255.0",
                         "gateway=10.0.0.1", "dns=10.0.0.1", "-p", dir.filePath("tty"), "-q"});
        QCOMPARE(run.exitCode, 0);
        SimNetwork *settings = SimNetwork::of(&pty);
        QCOMPARE(settings->value(3) + " " + settings->value(5).toHex() + " " + settings->value(6).toHex(),
                 QByteArray("Bench 01 0a000007"));
        run = provision({"network", "set", "wifi-mode=access-point", "auth=open", "-p", dir.filePath("tty"), "-q"});
        QCOMPARE(run.lines.value(0).value("detail").toString(),
                 QStringLiteral("the reader's secured Wi-Fi would become an open access point (--yes writes it all the "
                                "same)"));

        // Any command by its catalogue name, with its fields by theirs; an
        // answer to another command before its own is not taken for it.
        pty.registerCommand(0x02, [&pty](SimRequest &req) {
            pty.sendFrame(hex("00 0B 02 26"));
            req.ack(hex("01"));
        });
        run = provision({"send", "get tag count", "-p", dir.filePath("tty"), "-q"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines.value(0).value("answer").toString() + " / " + run.lines.value(0).value("decoded").toString(),
                 QStringLiteral("01 / Get tag count - ACK"));

        const QByteArray image = pattern(3000, 4);
        QVERIFY(writeFile(dir.filePath("image.bin"), image));
        run = provision({"flash", dir.filePath("image.bin"), "-t", tcp[0], "-t", tcp[1], "-q"});
        QCOMPARE(run.exitCode, 0);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(SimOta::of(&network[i])->flashedImage(), image);
            QCOMPARE(run.lines.value(i).value("version_after").toString(), QStringLiteral("2.38"));
        }
    }

    // The readers on an RS485 bus, found address by address.
    void scan()
    {
        QTemporaryDir dir;
        SimBus bus;
        QVERIFY(bus.open(dir.filePath("bus")));
        SimReader onBus[2];
        for (int i = 0; i < 2; ++i) {
            onBus[i].setAddress(quint8(0x11 + 0x60 * i));
            onBus[i].setVersion(QStringLiteral("3.0%1").arg(i));
            onBus[i].attachToBus(&bus);
        }
        const Run run = provision({"scan", dir.filePath("bus"), "-q"});
        QCOMPARE(run.exitCode, 0);
        const QJsonArray readers {QJsonObject {{"address", "11"}, {"version", "3.00"}},
                                  QJsonObject {{"address", "71"}, {"version", "3.01"}}};
        QCOMPARE(run.lines,
                 (QList<QJsonObject> {{{"target", dir.filePath("bus")},
                                       {"command", "scan"},
                                       {"ok", true},
                                       {"detail", ""},
                                       {"readers", readers}}}));
    }

    // A plan from a targets file on three readers, two on one RS485 bus and
    // one on TCP: flashed, given a configuration and an address tag, step
    // by step. The reader whose update fails is given none of its later
    // steps, the others all of theirs; exit status 1, and the report has a
    // row per reader and step.
    void plan()
    {
        QTemporaryDir dir;
        qputenv("RX_BACKUP_DIR", dir.filePath("backups").toUtf8());
        SimBus bus;
        QVERIFY(bus.open(dir.filePath("bus")));
        SimReader readers[3];
        for (int i = 0; i < 3; ++i) {
            readers[i].setRestartTime(100);
            SimOta::of(&readers[i])->setReconnectTime(100);
            readers[i].tagField().placeTag(SimTag::ultralight(hex("04 11 22 33 44 55 6") + char('0' + i)));
            if (i < 2) {
                readers[i].setAddress(quint8(5 + i));
                readers[i].attachToBus(&bus);
            }
        }
        QVERIFY(readers[2].listenTcp(0));
        SimOta::of(&readers[1])->setFrameFault(2, SimOta::Fault::Error, -1);
        const QByteArray old = readers[0].files().configFile();
        const QByteArray site = QByteArray(old).replace("\"hardware_version\"", " \"hardware_version\"");
        const QByteArray image = pattern(3000, 4);
        QVERIFY(QDir(dir.path()).mkdir("plan"));
        QVERIFY(writeFile(dir.filePath("plan/site.json"), site) && writeFile(dir.filePath("plan/image.bin"), image));
        QVERIFY(writeFile(dir.filePath("plan/plan.json"),
                          R"(["flash image.bin", ["config", "put", "site.json"], "address-tag write 07 --terminated",
                              "address-tag read"])"));
        const QString tcp = QStringLiteral("127.0.0.1:%1").arg(readers[2].tcpPort());
        QVERIFY(writeFile(dir.filePath("readers.txt"),
                          QStringLiteral("%1@05\n%1@06\n%2\n").arg(dir.filePath("bus"), tcp).toUtf8()));

        // A dry run reaches every reader and changes none.
        const QStringList plan {"plan", dir.filePath("plan/plan.json"), "-T", dir.filePath("readers.txt"), "-q"};
        Run run = provision(plan + QStringList {"-n"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines.size(), 12);
        for (const QJsonObject &line : run.lines)
            QCOMPARE(line.value("detail").toString(), QStringLiteral("dry run: nothing was changed"));
        for (SimReader &reader : readers)
            QCOMPARE(SimOta::of(&reader)->beginCount() + reader.files().configFile().size(), old.size());

        run = provision(plan + QStringList {"-r", dir.filePath("report.csv")});
        QCOMPARE(run.exitCode, 1);
        for (int i : {0, 2}) {
            QCOMPARE(SimOta::of(&readers[i])->flashedImage(), image);
            QCOMPARE(readers[i].files().configFile(), site);
            QCOMPARE(readers[i].tagField().tags().value(0).pages(AddressTag::FirstPage, AddressTag::PageCount),
                     AddressTag::makeRecord(0x07, true));
        }
        const auto read = std::find_if(run.lines.begin(), run.lines.end(), [](const QJsonObject &line) {
            return line.value("step").toInt() == 4 && line.value("ok").toBool();
        });
        QVERIFY(read != run.lines.end());
        QCOMPARE(read->value("address").toString() + read->value("terminated").toVariant().toString(),
                 QStringLiteral("07true"));
        QCOMPARE(SimOta::of(&readers[1])->flashCount(), 0);
        QCOMPARE(readers[1].files().configFile(), old);
        QCOMPARE(readers[1].tagField().tags().value(0).pages(AddressTag::FirstPage, AddressTag::PageCount),
                 SimTag::ultralight(hex("04 11 22 33 44 55 61")).pages(AddressTag::FirstPage, AddressTag::PageCount));

        QStringList steps;
        for (const QJsonObject &line : run.lines)
            steps << QStringLiteral("%1 %2 %3 %4 %5")
                         .arg(line.value("target").toString().section('/', -1),
                              line.value("step").toVariant().toString(), line.value("command").toString(),
                              line.value("ok").toVariant().toString(), line.value("detail").toString());
        steps.sort();
        const QString failed = "bus@06 1 flash false Firmware writing error - please restart the board and try again. "
                               "Flash firmware aborted. The reader's flash was erased and holds at most 512 of 3000 "
                               "bytes of the new image: it has no working firmware until an update completes.";
        QCOMPARE(steps,
                 (QStringList {tcp + " 1 flash true ", tcp + " 2 config put true ", tcp + " 3 address-tag write true ",
                               tcp + " 4 address-tag read true ", "bus@05 1 flash true ", "bus@05 2 config put true ",
                               "bus@05 3 address-tag write true ", "bus@05 4 address-tag read true ", failed,
                               "bus@06 2 config put false not begun: step 1 failed",
                               "bus@06 3 address-tag write false not begun: step 1 failed",
                               "bus@06 4 address-tag read false not begun: step 1 failed"}));
        const QList<QByteArray> rows = fileBytes(dir.filePath("report.csv")).split('\n');
        QCOMPARE(rows.size(), 14); // the header, twelve rows, the last line's end
        QCOMPARE(rows.first(),
                 QByteArray("target,command,step,ok,detail,elapsed_ms,address,backup,file,sha256,terminated,"
                            "version,version_after,version_before"));
    }

    // discover: the readers heard on the discovery port, each once; scan
    // requests go out only with --network, and only to that network.
    void discover()
    {
        SimReader hall, gate;
        SimUdp hallUdp(&hall), gateUdp(&gate);
        hallUdp.setName("Hall");
        QVERIFY(hallUdp.setSourceAddress(QHostAddress("127.0.0.3")));
        hallUdp.setTarget(QHostAddress::LocalHost);
        hallUdp.setInterval(200);
        hallUdp.start();
        gateUdp.setName("Gate");
        QVERIFY(gateUdp.setSourceAddress(QHostAddress("127.0.0.2")));
        gateUdp.setTarget(QHostAddress::LocalHost);
        QVERIFY(gateUdp.listenForScans(SimUdp::kDiscoveryPort, QHostAddress("127.0.0.2")));
        const auto heard = [](const QString &address, const QString &name) {
            return QJsonObject {{"target", address}, {"command", "discover"}, {"ok", true},
                                {"detail", ""},      {"name", name},          {"version", "2.38"}};
        };
        Run run = provision({"discover", "--seconds", "1", "-q"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines, QList<QJsonObject> {heard("127.0.0.3", "Hall")});
        run = provision({"discover", "--seconds", "1", "--network", "127.0.0.2/31", "-q"});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.lines.size(), 2);
        QCOMPARE(run.lines.first(), heard("127.0.0.2", "Gate"));
        QCOMPARE(run.lines.last(), heard("127.0.0.3", "Hall"));
    }

    // Ctrl+C in the middle of an upload: the write is dropped on the reader
    // (its file opened for reading and closed), the reader keeps its
    // document, the reader still waiting is not begun, the report is
    // written and the exit status is 130.
    void interrupted()
    {
        QTemporaryDir dir;
        qputenv("RX_BACKUP_DIR", dir.filePath("backups").toUtf8());
        SimReader pty;
        QVERIFY(pty.openPty(dir.filePath("tty")));
        pty.setAnswerDelay(5);
        const QByteArray old = pty.files().configFile();
        QVERIFY(writeFile(dir.filePath("big.json"), jsonPattern(20000)));
        RequestLog requests(&pty);
        QProcess process;
        requests.onRequest = [&](const QByteArray &request) {
            if (uint8_t(request.at(0)) == 0xE2 && requests.count(0xE2) == 1)
                ::kill(pid_t(process.processId()), SIGINT);
        };
        process.start(RX_PROVISION_PATH,
                      {"config", "put", dir.filePath("big.json"), "-y", "-q", "-p", dir.filePath("tty"), "-p",
                       dir.filePath("tty"), "-r", dir.filePath("report.json")});
        QVERIFY(QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 20000));
        QCOMPARE(process.exitCode(), 130);
        const QList<QByteArray> lines = process.readAllStandardOutput().trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        const QJsonObject waited = QJsonDocument::fromJson(lines.at(0)).object();
        QCOMPARE(waited.value("detail").toString(), QStringLiteral("interrupted before it began"));
        const QString detail = QJsonDocument::fromJson(lines.at(1)).object().value("detail").toString();
        QVERIFY2(QRegularExpression("^interrupted: Uploading config\\.json failed: the unfinished write \\(\\d+ of "
                                    "\\d+ bytes\\) was dropped and the reader keeps the config\\.json it had\\.$")
                     .match(detail)
                     .hasMatch(),
                 qPrintable(detail));
        QCOMPARE(requests.list.mid(requests.list.size() - 2),
                 (QList<QByteArray> {hex("E0 00") + "config.json", hex("E3")}));
        QCOMPARE(pty.files().configFile(), old);
        QCOMPARE(QJsonDocument::fromJson(fileBytes(dir.filePath("report.json"))).array().size(), 2);
    }

    // What is refused before any reader is touched: exit status 2, nothing on
    // standard output, the reason on standard error.
    void refused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no command") << QStringList {"-p", "/dev/ttyX"} << "rx-provision: no command given";
        QTest::newRow("unknown command") << QStringList {"reset", "-p", "/dev/ttyX"}
                                         << "rx-provision: unknown command: reset";
        QTest::newRow("no reader") << QStringList {"version"} << "rx-provision: no reader given (-p, -t or -T)";
        QTest::newRow("address 00") << QStringList {"version", "-p", "/dev/ttyX@00"}
                                    << "rx-provision: /dev/ttyX@00 is not PORT[:BAUD][@ADDR] (ADDR 01 to FF in hex)";
        QTest::newRow("port past 65535") << QStringList {"version", "-t", "host:70000"}
                                         << "rx-provision: host:70000 is not HOST[:PORT]";
        QTest::newRow("send, a field the command lacks")
            << QStringList {"send", "LED command", "Colour=FF", "-p", "/dev/ttyX"}
            << "rx-provision: LED command has no field Colour";
        QTest::newRow("no jobs") << QStringList {"version", "-p", "/dev/ttyX", "-j", "0"}
                                 << "rx-provision: -j wants a number of at least 1";
        QVERIFY(writeFile(scratch.filePath("plan.json"), R"(["version", ["flash"]])"));
        QTest::newRow("plan, a step refused")
            << QStringList {"plan", scratch.filePath("plan.json"), "-p", "/dev/ttyX"}
            << "rx-provision: " + scratch.filePath("plan.json") + " step 2: flash takes one FILE";
        QTest::newRow("discover, with a reader")
            << QStringList {"discover", "-p", "/dev/ttyX"} << "rx-provision: discover takes no -p, -t or -T";
        QTest::newRow("targets file missing") << QStringList {"version", "-T", "/nonexistent/targets"}
                                              << "rx-provision: cannot read /nonexistent/targets: No such file or "
                                                 "directory";
    }
    void refused()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, reason);
        const Run run = provision(args);
        QCOMPARE(run.exitCode, 2);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(QString::fromUtf8(run.err), reason + "\nTry 'rx-provision --help'.\n");
    }

private:
    QTemporaryDir scratch; // refused: the inputs that must exist
};

QTEST_MAIN(TestProvision)
#include "tst_provision.moc"
