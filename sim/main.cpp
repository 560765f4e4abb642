// rx-reader-sim: a virtual reader on a pty and/or a local TCP port, controlled
// by commands on standard input.

#include "sim/simchannel.h"
#include "sim/simreader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char* const kHelp =
    "commands:\n"
    "  silent on|off      receive but do not answer\n"
    "  corrupt            damage the CRC of the next frame sent\n"
    "  unplug             close the serial side and all TCP connections\n"
    "  replug             come back with a new pty (the link follows)\n"
    "  log TEXT           send a device log line\n"
    "  event N [HEX..]    send event N (decimal or 0x..) with optional data bytes\n"
    "  version TEXT       firmware version to report\n"
    "  address HEX        RS485 address, 0 = frames without address byte\n"
    "  delay MS           answer delay in milliseconds\n"
    "  ack-unknown on|off answer commands without a handler\n"
    "  status             show the current state\n"
    "  help               this text\n"
    "  quit               exit\n";

void say(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString hexByte(uint value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    const ssize_t ignored = ::write(signalPipe[1], &c, 1);
    (void)ignored;
}

// Quit cleanly on SIGINT/SIGTERM so the link to the pty is removed.
void installSignalHandlers(QCoreApplication* app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

bool parseOnOff(const QString& word, bool* on)
{
    if (word == QLatin1String("on")) {
        *on = true;
        return true;
    }
    if (word == QLatin1String("off")) {
        *on = false;
        return true;
    }
    return false;
}

QString statusText(const SimReader& reader)
{
    QStringList parts;
    if (reader.isPlugged()) {
        if (reader.bus() && reader.bus()->isOpen()) {
            QString serial = QStringLiteral("serial on %1").arg(reader.ptyPath());
            if (!reader.linkPath().isEmpty())
                serial += QStringLiteral(" (link %1)").arg(reader.linkPath());
            parts << serial;
        }
        if (reader.tcpPort() != 0)
            parts << QStringLiteral("TCP port %1, %2 client(s)").arg(reader.tcpPort()).arg(reader.tcpClientCount());
    } else {
        parts << QStringLiteral("unplugged");
    }
    parts << QStringLiteral("version %1").arg(reader.version());
    parts << QStringLiteral("address %1").arg(hexByte(reader.address()));
    if (reader.isSilent())
        parts << QStringLiteral("silent");
    if (reader.answerDelay() > 0)
        parts << QStringLiteral("delay %1 ms").arg(reader.answerDelay());
    if (reader.ackUnknown())
        parts << QStringLiteral("acks unknown commands");
    parts << QStringLiteral("%1 request(s), %2 bad CRC").arg(reader.receivedPayloads().size()).arg(reader.badCrcCount());
    return QStringLiteral("rx-reader-sim: ") + parts.join(QStringLiteral(", "));
}

void runCommand(SimReader& reader, const QString& line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    const int space = trimmed.indexOf(QLatin1Char(' '));
    const QString cmd = space < 0 ? trimmed : trimmed.left(space);
    const QString arg = space < 0 ? QString() : trimmed.mid(space + 1).trimmed();
    bool on = false;
    bool ok = false;

    if (cmd == QLatin1String("silent") && parseOnOff(arg, &on)) {
        reader.setSilent(on);
        say(on ? QStringLiteral("silent") : QStringLiteral("answering"));
    } else if (cmd == QLatin1String("corrupt")) {
        reader.corruptNextCrc();
        say(QStringLiteral("next frame goes out with a bad CRC"));
    } else if (cmd == QLatin1String("unplug")) {
        reader.unplug();
        say(QStringLiteral("unplugged"));
    } else if (cmd == QLatin1String("replug")) {
        reader.replug();
        say(statusText(reader));
    } else if (cmd == QLatin1String("log")) {
        reader.sendLogLine(arg);
    } else if (cmd == QLatin1String("event")) {
        const QStringList words = arg.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const uint number = words.isEmpty() ? 0 : words.first().toUInt(&ok, 0);
        const QByteArray data = QByteArray::fromHex(words.mid(1).join(QString()).toLatin1());
        if (!ok || number > 0xFF)
            say(QStringLiteral("usage: event N [HEX..]"));
        else
            reader.sendEvent(quint8(number), data);
    } else if (cmd == QLatin1String("version") && !arg.isEmpty()) {
        reader.setVersion(arg);
        say(QStringLiteral("version %1").arg(arg));
    } else if (cmd == QLatin1String("address")) {
        const uint address = arg.toUInt(&ok, 16);
        if (!ok || address > 0xFF) {
            say(QStringLiteral("usage: address HEX (00 to FF)"));
        } else {
            reader.setAddress(quint8(address));
            say(QStringLiteral("address %1").arg(hexByte(address)));
        }
    } else if (cmd == QLatin1String("delay")) {
        const int ms = arg.toInt(&ok);
        if (!ok || ms < 0)
            say(QStringLiteral("usage: delay MS"));
        else
            reader.setAnswerDelay(ms);
    } else if (cmd == QLatin1String("ack-unknown") && parseOnOff(arg, &on)) {
        reader.setAckUnknown(on);
    } else if (cmd == QLatin1String("status")) {
        say(statusText(reader));
    } else if (cmd == QLatin1String("help")) {
        std::fputs(kHelp, stdout);
        std::fflush(stdout);
    } else if (cmd == QLatin1String("quit") || cmd == QLatin1String("exit")) {
        QCoreApplication::quit();
    } else {
        say(QStringLiteral("unknown command \"%1\", try help").arg(trimmed));
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rx-reader-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated reader for rx-client: answers the binary protocol on a pty and on a local TCP port.\n"
        "Type \"help\" on standard input for the control commands."));
    parser.addHelpOption();
    const QCommandLineOption ptyOpt(QStringLiteral("pty"), QStringLiteral("Offer a serial port (pty). On unless --tcp is given without --pty or --link."));
    const QCommandLineOption linkOpt(QStringLiteral("link"), QStringLiteral("Symbolic link to the pty (empty: none)."),
                                     QStringLiteral("path"), QStringLiteral("/tmp/ttyRX0"));
    const QCommandLineOption tcpOpt(QStringLiteral("tcp"), QStringLiteral("TCP port to listen on (0: any free port)."),
                                    QStringLiteral("port"), QStringLiteral("1234"));
    const QCommandLineOption noTcpOpt(QStringLiteral("no-tcp"), QStringLiteral("Do not listen on TCP."));
    const QCommandLineOption listenOpt(QStringLiteral("listen"), QStringLiteral("Address to listen on."),
                                       QStringLiteral("addr"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption versionOpt(QStringLiteral("version"), QStringLiteral("Firmware version to report."),
                                        QStringLiteral("text"), QStringLiteral("2.38"));
    const QCommandLineOption addressOpt(QStringLiteral("address"), QStringLiteral("RS485 address in hex (0: no address byte)."),
                                        QStringLiteral("hex"), QStringLiteral("0"));
    const QCommandLineOption ackUnknownOpt(QStringLiteral("ack-unknown"), QStringLiteral("Answer commands without a handler with a bare positive answer."));
    const QCommandLineOption verboseOpt({QStringLiteral("v"), QStringLiteral("verbose")}, QStringLiteral("Print every frame received and sent."));
    parser.addOptions({ptyOpt, linkOpt, tcpOpt, noTcpOpt, listenOpt, versionOpt, addressOpt, ackUnknownOpt, verboseOpt});
    parser.process(app);

    const bool wantTcp = !parser.isSet(noTcpOpt);
    const bool wantPty = parser.isSet(ptyOpt) || parser.isSet(linkOpt) || !parser.isSet(tcpOpt) || !wantTcp;
    bool ok = false;
    const uint port = parser.value(tcpOpt).toUInt(&ok);
    if (!ok || port > 65535) {
        std::fprintf(stderr, "rx-reader-sim: bad TCP port \"%s\"\n", qPrintable(parser.value(tcpOpt)));
        return 2;
    }
    const uint address = parser.value(addressOpt).toUInt(&ok, 16);
    if (!ok || address > 0xFF) {
        std::fprintf(stderr, "rx-reader-sim: bad address \"%s\"\n", qPrintable(parser.value(addressOpt)));
        return 2;
    }
    const QHostAddress listenAddress(parser.value(listenOpt));
    if (listenAddress.isNull()) {
        std::fprintf(stderr, "rx-reader-sim: bad listen address \"%s\"\n", qPrintable(parser.value(listenOpt)));
        return 2;
    }

    SimReader reader;
    reader.setVersion(parser.value(versionOpt));
    reader.setAddress(quint8(address));
    reader.setAckUnknown(parser.isSet(ackUnknownOpt));

    if (parser.isSet(verboseOpt)) {
        QObject::connect(&reader, &SimReader::rawReceived, [](const QByteArray& bytes) {
            say(QStringLiteral("<- %1").arg(hex(bytes)));
        });
        QObject::connect(&reader, &SimReader::frameSent, [](const QByteArray& frame) {
            say(QStringLiteral("-> %1").arg(hex(frame)));
        });
    }

    QStringList where;
    if (wantPty) {
        if (!reader.openPty(parser.value(linkOpt))) {
            std::fprintf(stderr, "rx-reader-sim: cannot open a pty\n");
            return 1;
        }
        QString serial = QStringLiteral("serial on %1").arg(reader.ptyPath());
        if (!reader.linkPath().isEmpty())
            serial += QStringLiteral(" (link %1)").arg(reader.linkPath());
        where << serial;
    }
    if (wantTcp) {
        if (!reader.listenTcp(quint16(port), listenAddress)) {
            std::fprintf(stderr, "rx-reader-sim: cannot listen on %s:%u\n", qPrintable(listenAddress.toString()), port);
            return 1;
        }
        where << QStringLiteral("TCP on %1:%2").arg(listenAddress.toString()).arg(reader.tcpPort());
    }
    say(QStringLiteral("rx-reader-sim: ") + where.join(QStringLiteral(", ")));

    installSignalHandlers(&app);

    // Control commands on standard input. At end of input (or with no input
    // at all, e.g. </dev/null) the simulator simply keeps running.
    QByteArray pendingInput;
    if (::fcntl(STDIN_FILENO, F_GETFD) != -1) {
        auto* stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
        QObject::connect(stdinNotifier, &QSocketNotifier::activated, &app, [&reader, &pendingInput, stdinNotifier] {
            char buf[1024];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) {
                stdinNotifier->setEnabled(false);
                if (!pendingInput.isEmpty())
                    runCommand(reader, QString::fromLocal8Bit(pendingInput));
                pendingInput.clear();
                return;
            }
            pendingInput.append(buf, int(n));
            int eol;
            while ((eol = pendingInput.indexOf('\n')) >= 0) {
                const QByteArray line = pendingInput.left(eol);
                pendingInput.remove(0, eol + 1);
                runCommand(reader, QString::fromLocal8Bit(line));
            }
        });
    }

    return app.exec();
}
