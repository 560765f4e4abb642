// Fault soak: ten thousand console requests to the simulated reader while the
// line crackles, answers arrive with a broken CRC, commands fail, the reader
// falls silent now and then and is unplugged once half-way (the second half
// runs over TCP). The client must come through without crashing, with its
// window in the right state after every round, and with every fault in the
// protocol log at the very request it hit. The figures go to the test output.
//
// RX_SOAK_REQUESTS and RX_SOAK_SEED change the number of requests and the
// random sequence (both are printed). Builds MainWindows: run it inside a
// private network namespace, e.g.
//   /work/shared/tools/isolated bench/bench_consolesoak
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTimer>

#include <random>
#include <set>

#include "console/requestbuilder.h"
#include "support/windowfixture.h"

namespace {

// What the log must show for one request.
enum class Outcome {
    Answered,
    Failed,
    Damaged,
    Unanswered,
    Lost
};

struct Expected
{
    QString name;
    Outcome outcome = Outcome::Answered;
    quint16 errorNumber = 0;
    uint8_t code = 0;
};

// Commands whose answers make the client do more than log them (decoders,
// workflows, restarts), and the frames that are not requests at all. The
// soak keeps to commands that the console only sends and logs.
const std::set<int> kNotForSoak = {0x00, 0x02, 0x03, 0x04, 0x05, 0x09, 0x0A, 0x0B, 0x11, 0x18, 0x40, 0x41,
                                   0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xF0, 0xF1, 0xF2, 0xF6, 0xF7, 0xF8, 0xFF};

class Soak
{
public:
    Soak(WindowFixture &f, quint32 seed)
        : f(f)
        , w(f.window())
        , rng(seed)
    {
        QObject::connect(&w->protocol, &BinaryProtocol::frameComplete,
                         [this](uint8_t *, size_t, uint8_t *, size_t) { ++clientFrames; });
        QObject::connect(&w->protocol, &BinaryProtocol::frameTimeout, [this] { ++codecTimeouts; });
        QObject::connect(f.reader(), &SimReader::requestReceived, [this](quint8 code, const QByteArray &) {
            if (code == SimReader::kCmdError)
                ++errorReplies;
            else
                ++readerRequests;
        });

        for (const QJsonValue &v : w->commands) {
            const QJsonObject c = v.toObject();
            const int code = c.value(QStringLiteral("value")).toInt();
            if (!c.value(QStringLiteral("visible")).toBool(true) || kNotForSoak.count(code)
                || f.reader()->hasCommand(quint8(code)))
                continue;
            catalogue.append(c);
        }
        auto *list = f.widget<QListWidget>(QStringLiteral("lvCommands"));
        for (int i = 0; i < list->count(); ++i) {
            const int code = list->item(i)->data(Qt::UserRole).toJsonObject().value(QStringLiteral("value")).toInt();
            rowOf.insert(code, i);
        }
    }

    bool chance(int perTenThousand) { return int(rng() % 10000) < perTenThousand; }
    int between(int lo, int hi) { return lo + int(rng() % uint32_t(hi - lo + 1)); }

    // Random bytes in which no frame header can start, not even with the
    // first bytes of the answer behind them: the codec hunts through them.
    QByteArray noise()
    {
        for (;;) {
            QByteArray bytes;
            const int n = between(1, 24);
            for (int i = 0; i < n; ++i)
                bytes.append(char(rng() & 0xFF));
            bool header = false;
            for (int i = 0; i < n && !header; ++i) {
                if (uint8_t(bytes[i]) != BinaryProtocol::Stx)
                    continue;
                if (i + 4 >= n) {
                    header = true; // would end in the next frame's bytes
                    break;
                }
                const uint8_t *b = reinterpret_cast<const uint8_t *>(bytes.constData()) + i;
                header = b[1] == uint8_t(~b[3]) && b[2] == uint8_t(~b[4]);
            }
            if (!header)
                return bytes;
        }
    }

    QString fieldText(const QJsonObject &arg)
    {
        const QString type = arg.value(QStringLiteral("type")).toString().toLower();
        const int maxlen = arg.value(QStringLiteral("maxlen")).toInt(255);
        static const QHash<QString, quint32> largest
            = {{"uint8", 255}, {"uint16", 65000}, {"uint24", 16777215}, {"uint32", 2147483647}};
        if (largest.contains(type))
            return QString::number(rng() % (quint64(largest.value(type)) + 1));
        if (type == QLatin1String("hex")) {
            if (maxlen < 3)
                return QString::number(rng() % (maxlen == 1 ? 16 : 256), 16).toUpper();
            QStringList bytes;
            const int n = between(1, qMin(24, (maxlen + 1) / 3));
            for (int i = 0; i < n; ++i)
                bytes << MainWindow::hexByte(uint8_t(rng()));
            return bytes.join(QLatin1Char(' '));
        }
        QString text;
        for (int i = between(1, qMax(1, qMin(maxlen, 16))); i > 0; --i)
            text += QChar(between('a', 'z'));
        return text;
    }

    QJsonObject pickCommand() { return catalogue.at(int(rng() % uint32_t(catalogue.size()))); }
    static uint8_t codeOf(const QJsonObject &command)
    {
        return uint8_t(command.value(QStringLiteral("value")).toInt());
    }

    // One console request: mostly packed here and handed to the codec, every
    // eighth one through the command list, the parameter form and
    // "Execute selected command >>" as a user does it.
    void sendRequest(const QJsonObject &command, bool formAllowed = true)
    {
        const QJsonArray args = command.value(QStringLiteral("args")).toArray();
        QStringList texts;
        for (const QJsonValue &a : args)
            texts << fieldText(a.toObject());
        const uint8_t code = codeOf(command);
        ++requests;
        if (rng() % 8 == 0 && formAllowed && rowOf.contains(code)) {
            f.widget<QListWidget>(QStringLiteral("lvCommands"))->setCurrentRow(rowOf.value(code));
            for (int i = 0; i < args.size() && i < MainWindow::MaxParams; ++i)
                w->paramEdits[i]->setText(texts.at(i));
            f.click(QStringLiteral("btCommnadExecute"));
        } else {
            const RequestBuildResult r = RequestBuilder::build(command, texts);
            if (!r.ok())
                qFatal("soak: no valid request for %s", qPrintable(command.value("name").toString()));
            w->protocol.sendFrame(reinterpret_cast<const uint8_t *>(r.payload.constData()), size_t(r.payload.size()));
        }
    }

    // One request with whatever fault the dice give it; false when the
    // exchange did not end. What the client made of it is the log's to say.
    bool request(bool silent)
    {
        const QJsonObject command = pickCommand();
        Expected e;
        e.code = codeOf(command);
        e.name = w->commandName(e.code);
        const bool noiseFirst = !silent && chance(200);
        const bool corrupt = !silent && !noiseFirst && chance(100);
        const bool fail = !silent && !corrupt && chance(100);
        if (noiseFirst)
            f.reader()->sendRaw(noise());
        if (corrupt)
            f.reader()->corruptNextCrc();
        if (fail) {
            e.errorNumber = quint16(between(1, 0xFFFF));
            f.reader()->failCommand(e.code, e.errorNumber, 1);
        }
        e.outcome = silent ? Outcome::Unanswered
            : corrupt      ? Outcome::Damaged
            : fail         ? Outcome::Failed
                           : Outcome::Answered;
        const int requestsBefore = readerRequests;
        const int framesBefore = clientFrames;
        const int repliesBefore = errorReplies;
        sendRequest(command);
        const bool done = runUntil(
            [&] {
                return readerRequests == requestsBefore + 1
                    && (silent || clientFrames > framesBefore || errorReplies > repliesBefore);
            },
            5000);
        if (!done) {
            qWarning("soak: request %d (%s) did not get through", requests, qPrintable(e.name));
            return false;
        }
        expected.append(e); // with noise first, its answer came through the noise whole
        return true;
    }

    // The reader goes quiet: a crackle on the line, then a few requests
    // that get no answer. The codec gives up on the crackle half a second
    // later, and the log says so.
    bool silence()
    {
        f.reader()->setSilent(true);
        f.reader()->sendRaw(noise());
        const int timeoutsBefore = f.logCount(QStringLiteral("[RX-timeout]"));
        for (int i = between(3, 15); i > 0; --i) {
            if (!request(true))
                return false;
        }
        const bool seen = runUntil([&] { return f.logCount(QStringLiteral("[RX-timeout]")) > timeoutsBefore; }, 3000);
        f.reader()->setSilent(false);
        return seen;
    }

    // The events of the protocol log: frame dump headings and messages,
    // without the times and the data lines.
    QStringList logEvents(int *rxTimeouts)
    {
        static const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d(: | - )(.*)$"));
        QString text = f.logText();
        text.replace(QChar::LineSeparator, QLatin1Char('\n'));
        QStringList events;
        *rxTimeouts = 0;
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch m = stamp.match(line);
            if (!m.hasMatch())
                continue;
            const QString event = m.captured(2).simplified();
            if (event == QLatin1String("[RX-timeout]"))
                ++*rxTimeouts;
            // The console's note on a command left unanswered comes when its
            // wait is over, among the requests that followed.
            else if (!event.startsWith(QLatin1String("No answer to ")))
                events << event;
        }
        return events;
    }

    // What the log must hold for the requests of this round, in order.
    QStringList expectedEvents()
    {
        QStringList events;
        for (const Expected &e : expected) {
            events << QStringLiteral("[TX] - ") + e.name;
            switch (e.outcome) {
            case Outcome::Answered:
                events << QStringLiteral("[RX] - ") + e.name + QStringLiteral(" - ACK");
                break;
            case Outcome::Failed:
                events << QStringLiteral("[RX] - %1 - Error no. 0x%2").arg(e.name).arg(e.errorNumber, 0, 16);
                events << QStringLiteral("Error 0x%1 received for command - %2")
                              .arg(QStringLiteral("%1").arg(e.errorNumber, 4, 16, QLatin1Char('0')).toUpper(), e.name);
                if (e.code == 0x28)
                    events << QStringLiteral("This command may only be executed on special tags with changeable UID");
                break;
            case Outcome::Damaged:
                events << QStringLiteral("[RX] - ") + e.name + QStringLiteral(" - ACK - CRC wrong, ignored");
                events << QStringLiteral("[TX] - Error - Error no.");
                break;
            case Outcome::Unanswered:
                break;
            case Outcome::Lost:
                events << QStringLiteral("Device removed.");
                break;
            }
        }
        return events;
    }

    // Compares the log with what happened in this round, takes the figures
    // and clears the log for the next round.
    bool closeRound()
    {
        // What is already queued (a late time-out) belongs to this round.
        runUntil([] { return false; }, 0);
        int rxTimeouts = 0;
        const QStringList actual = logEvents(&rxTimeouts);
        QStringList wanted;
        for (const QString &event : expectedEvents())
            wanted << event.simplified(); // the rich text keeps no runs of blanks
        if (actual != wanted) {
            int i = 0;
            while (i < actual.size() && i < wanted.size() && actual.at(i) == wanted.at(i))
                ++i;
            qWarning("soak: round %d: the log differs at event %d of %d/%d:\n  log:  %s\n  want: %s", rounds, i,
                     int(actual.size()), int(wanted.size()), qPrintable(actual.value(i, "(end)")),
                     qPrintable(wanted.value(i, "(end)")));
            return false;
        }
        rxTimeoutLines += rxTimeouts;
        // Every frame the codec gave up on is in the log, and nothing else
        // claims to be one.
        if (rxTimeouts != codecTimeouts - timeoutsAtRoundStart) {
            qWarning("soak: round %d: %d [RX-timeout] lines for %d codec time-outs", rounds, rxTimeouts,
                     codecTimeouts - timeoutsAtRoundStart);
            return false;
        }
        ++rounds;
        startRound();
        return true;
    }

    void startRound()
    {
        f.click(QStringLiteral("btClearLogs"));
        expected.clear();
        timeoutsAtRoundStart = codecTimeouts;
    }

    WindowFixture &f;
    MainWindow *w;
    std::mt19937 rng;
    QList<QJsonObject> catalogue;
    QHash<int, int> rowOf;
    QList<Expected> expected;
    // How far the soak went; every fault it injected was seen in the log at
    // its request, or the round failed.
    int requests = 0;
    int rxTimeoutLines = 0;
    int rounds = 0;
    int clientFrames = 0;
    int codecTimeouts = 0;
    int readerRequests = 0;
    int errorReplies = 0;
    int timeoutsAtRoundStart = 0;
};

enum class Link {
    Serial,
    Tcp,
    None
};

// The window as it must be with the given link up (or none).
QString wrongState(WindowFixture &f, Link link)
{
    MainWindow *w = f.window();
    QStringList wrong;
    const auto expect = [&](bool ok, const char *what) {
        if (!ok)
            wrong << QLatin1String(what);
    };
    const bool up = link != Link::None;
    const QString caption = up ? QStringLiteral("Disconnect") : QStringLiteral("Connect");
    expect(f.widget<QAbstractButton>("btSerialConnect")->text() == caption, "btSerialConnect caption");
    expect(f.widget<QAbstractButton>("btNetworkConnect")->text() == caption, "btNetworkConnect caption");
    expect(f.widget<QWidget>("gbCommands")->isEnabled() == up, "gbCommands enabled");
    expect(f.widget<QWidget>("tabs")->isEnabled() == up, "tabs enabled");
    for (const char *name : {"btFlashFirmware", "btUploadConfig", "btDownloadConfig", "btRestartDevice",
                             "btUartConfiguration", "btSleepConfiguration", "btPNUpdate"})
        expect(f.widget<QWidget>(name)->isEnabled() == up, name);
    expect(f.widget<QWidget>("cbSerialPort")->isEnabled() == !up, "cbSerialPort enabled");
    expect(f.widget<QWidget>("tabSerialConnection")->isEnabled() == (link != Link::Tcp), "serial tab");
    expect(f.widget<QWidget>("tabNetworkConnection")->isEnabled() == (link != Link::Serial), "network tab");
    expect(w->serial.isOpen() == (link == Link::Serial), "serial port open");
    expect(w->tcpConnected == (link == Link::Tcp), "tcpConnected");
    expect(f.widget<QAbstractButton>("btFlashFirmware")->text() == QLatin1String("Flash firmware"),
           "btFlashFirmware caption");
    expect(w->progressBar->value() == 0, "progress bar");
    expect(!w->oneShotTimer->isActive(), "answer timer stopped");
    expect(w->oneShotState == MainWindow::Idle || w->oneShotState == MainWindow::GetVersion, "oneShotState");
    expect(QApplication::activeModalWidget() == nullptr, "no dialog open");
    if (up) {
        expect(w->statusLabel->text() == QLatin1String("Connected"), "statusLabel");
        expect(w->statusDetailLabel->text() == QLatin1String("Version:2.38"), "statusDetailLabel");
        expect(w->retryCount == 0, "retryCount");
    } else {
        expect(w->statusLabel->text().isEmpty() && w->statusDetailLabel->text().isEmpty(), "status bar empty");
    }
    return wrong.join(QStringLiteral(", "));
}

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT
private slots:
    void consoleUnderFaults();
};

void TestSoak::consoleUnderFaults()
{
    const int total = envInt("RX_SOAK_REQUESTS", 10000);
    const quint32 seed = quint32(envInt("RX_SOAK_SEED", 2));
    constexpr int kRound = 250;
    QElapsedTimer clock;
    clock.start();

    WindowFixture f;
    Soak soak(f, seed);
    QVERIFY2(soak.catalogue.size() > 50, "too few console commands to draw from");
    QVERIFY(f.connectSerial());
    QVERIFY(f.waitForLog(QStringLiteral("CMD_LOG - ACK")));
    soak.startRound();

    Link link = Link::Serial;
    bool unplugged = false;
    while (soak.requests < total) {
        if (!unplugged && soak.requests >= total / 2) {
            // Unplugged with a request on the line: its answer never comes,
            // the port goes, the window falls back to the disconnected look.
            unplugged = true;
            const QJsonObject command = soak.pickCommand();
            const uint8_t code = Soak::codeOf(command);
            soak.sendRequest(command, false); // no event is handled before the unplug
            f.reader()->unplug();
            soak.expected.append({f.window()->commandName(code), Outcome::Lost, 0, code});
            QVERIFY(runUntil(
                [&] { return f.logText().contains(QStringLiteral("Device removed.")) && !f.window()->serial.isOpen(); },
                5000));
            runUntil([] { return false; }, 50);
            link = Link::None;
            const QString wrong = wrongState(f, link);
            QVERIFY2(wrong.isEmpty(), qPrintable("after the unplug: " + wrong));
            QVERIFY(soak.closeRound());

            f.reader()->replug();
            QVERIFY(f.connectTcp());
            QVERIFY(f.waitForLog(QStringLiteral("CMD_LOG - ACK")));
            soak.startRound();
            link = Link::Tcp;
        }

        const int roundEnd = qMin(total, soak.requests + kRound);
        while (soak.requests < roundEnd) {
            const bool ok = soak.chance(15) ? soak.silence() : soak.request(false);
            QVERIFY2(ok, qPrintable(QStringLiteral("request %1").arg(soak.requests)));
            if (!unplugged && soak.requests >= total / 2)
                break;
        }
        QVERIFY(soak.closeRound());
        const QString wrong = wrongState(f, link);
        QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("after round %1: ").arg(soak.rounds) + wrong));
    }

    qInfo("soak: seed %u, %d commands to draw from, %d requests in %d rounds (the first half over the pty, then over "
          "TCP), %d [RX-timeout] lines, one for each frame the codec gave up on, %.1f s",
          seed, int(soak.catalogue.size()), soak.requests, soak.rounds, soak.rxTimeoutLines, clock.elapsed() / 1000.0);
}

QTEST_MAIN(TestSoak)
#include "bench_consolesoak.moc"
