// rx-reader-sim: a virtual reader on a pty and/or a local TCP port, controlled
// by commands on standard input.

#include "sim/simchannel.h"
#include "sim/simfaults.h"
#include "sim/simfiles.h"
#include "sim/simflood.h"
#include "sim/simknowntags.h"
#include "sim/simnetwork.h"
#include "sim/simota.h"
#include "sim/simreader.h"
#include "sim/simtags.h"
#include "sim/simudp.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QStringList>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char *const kHelp = "commands:\n"
                          "  silent on|off      receive but do not answer\n"
                          "  corrupt            damage the CRC of the next frame sent\n"
                          "  unplug             close the serial side and all TCP connections\n"
                          "  replug             come back with a new pty (the link follows)\n"
                          "  log TEXT           send a device log line\n"
                          "  event N [HEX..]    send event N (decimal or 0x..) with optional data bytes\n"
                          "  version TEXT       firmware version to report\n"
                          "  address HEX        RS485 address, 0 = frames without address byte\n"
                          "  delay MS           answer delay in milliseconds\n"
                          "  baud N             pace the pty and the TCP connections as a serial line of\n"
                          "                     N baud, 10 bits a byte, both ways (0: unpaced)\n"
                          "  ack-unknown on|off answer commands without a handler (on at start)\n"
                          "  fail CODE ERR [N]  answer the next N (default 1, -1: all) requests with code\n"
                          "                     CODE (hex) with the error number ERR (hex)\n"
                          "  fail clear         withdraw all failures\n"
                          "  drop-tcp           close every TCP connection, keep listening\n"
                          "answer faults (the reader has done what was asked; only its answer goes wrong),\n"
                          "and lost requests:\n"
                          "  answers lose WHEN [code HEX]      the answer is not sent\n"
                          "  answers late MS WHEN [code HEX]   the answer goes out MS ms later; the answers\n"
                          "                     behind it wait for it (past the client's timer: a late answer)\n"
                          "  answers twice WHEN [code HEX]     the answer goes out twice, back to back\n"
                          "  answers twice-gap MS WHEN [code HEX]  the second copy MS ms after the first\n"
                          "                     went out; it holds no later answer up\n"
                          "       WHEN: once [K]        the answer after K matching ones (0: the next)\n"
                          "             every N         every Nth matching answer\n"
                          "             random P SEED   each with a chance of P per cent, seeded sequence\n"
                          "       code HEX: only answers to that command (all answers without it)\n"
                          "  requests lose WHEN [code HEX]     the request never reaches the reader: it is\n"
                          "                     neither acted on nor answered (WHEN as for answers)\n"
                          "  answers drop-link N  drop the link after N more frames: TCP connections\n"
                          "                     closed, the pty replaced by a new one at the same link\n"
                          "  answers clear      withdraw the faults on answers and requests; answers\n"
                          "                     (or requests) alone shows them\n"
                          "  unsolicited HEX..  send this answer (status first, e.g. 00 E3) unasked\n"
                          "  tag add ul UID [PAGES]  place an Ultralight (16 pages unless PAGES, 4-256)\n"
                          "  tag add classic UID     place a MIFARE Classic (no pages)\n"
                          "  tag remove UID     take a tag off the field\n"
                          "  tag clear          take all tags off the field\n"
                          "  tag list           show the tags on the field, index 0 first\n"
                          "  tag-events on|off  send the tag event (FE 01) when a tag is placed\n"
                          "  announce NAME      announce by UDP as NAME (Q_R4:NAME:VERSION, to the\n"
                          "                     --announce-to address only) every --announce-interval\n"
                          "  announce now       send one announcement at once\n"
                          "  announce off       stop announcing\n"
                          "  files              list the reader's files with their sizes\n"
                          "  files eof-error on|off  FREAD after the empty answer at the end of a file\n"
                          "                     gets error 0207 (off at start: another empty answer)\n"
                          "  cat NAME           show a file of the reader\n"
                          "  config r4|r5       factory config.json of an R4 or R5 (replaces config.json)\n"
                          "  chunk N            file bytes per FREAD answer (1-2000, 100 at start)\n"
                          "  reboot             restart now, as after Reboot\n"
                          "  restart-time MS    how long a restart keeps the reader away (1000 at start)\n"
                          "  restart-mode keep|reopen  keep the pty over a restart, or close it and\n"
                          "                     come back with a new one at the link\n"
                          "  known list         show the known-tag list\n"
                          "  known add UID [BB] add an entry (bracket byte BB in hex, 00 unless given)\n"
                          "  known clear        empty the known-tag list\n"
                          "  ota status         the reader firmware update: image received, last image\n"
                          "  ota erase MS       erase time before OTA Begin is answered (300 at start)\n"
                          "  ota reconnect MS|never  how long the reader is away after the erase (2000)\n"
                          "  ota fail N [ERR [TIMES]]  error answer to the Nth OTA frame (ERR hex, F0EE)\n"
                          "  ota drop N [TIMES] the Nth OTA frame is lost (no answer); TIMES -1: always\n"
                          "  ota clear          withdraw the OTA frame fault\n"
                          "  pn status|fail N [ERR [TIMES]]|drop N [TIMES]|clear  the same for chip records\n"
                          "  pn time MS         how long the chip programs one record before PN OTA Frame\n"
                          "                     is answered; answers behind it wait (60 at start)\n"
                          "  net show           the Wi-Fi and IP settings\n"
                          "  net set NAME VALUE store a setting unchecked (net help lists the names)\n"
                          "  net defaults       the settings at start\n"
                          "  net fail SUB [TIMES]  error answer to Network config sub-command SUB\n"
                          "  net clear          withdraw the Network config faults\n"
                          "  flood KIND [SEED]  send frames of one kind as fast as the client takes\n"
                          "                     them, answers going on meanwhile. KIND: answers\n"
                          "                     (positive answers that are only logged); sweep (every\n"
                          "                     code as answer, error and event, every status byte;\n"
                          "                     no answers to Reboot, Factory reset, OTA Begin);\n"
                          "                     random (valid and damaged frames, loose bytes); log\n"
                          "                     (device log lines of the largest size, with markup\n"
                          "                     and colour codes)\n"
                          "  flood off          stop flooding and say how many frames went out\n"
                          "  status             show the current state\n"
                          "  help               this text\n"
                          "  quit               exit\n";

void say(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString hexByte(uint value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

int signalPipe[2] = {-1, -1};

// UDP discovery of the simulated reader (--announce), and the readers that
// share the RS485 line when there are several (--bus-readers).
SimUdp *announcer = nullptr;
QList<SimReader *> busReaders;
SimBus *busLine = nullptr; // the pty the bus readers share

// Both the reader's own links and a shared bus run at the line rate.
void setLineRate(SimReader &reader, int baud)
{
    reader.setBaudRate(baud);
    if (busLine)
        busLine->setBaudRate(baud);
}

QString lineRateText(int baud)
{
    return baud > 0 ? QStringLiteral("line %1 baud").arg(baud) : QStringLiteral("line unpaced");
}

void runAnnounceCommand(const QString &arg)
{
    if (arg == QLatin1String("off")) {
        announcer->stop();
        say(QStringLiteral("not announcing"));
    } else if (arg == QLatin1String("now")) {
        say(announcer->announce() ? QStringLiteral("announced %1").arg(QString::fromLatin1(announcer->datagram()))
                                  : QStringLiteral("announcement not sent"));
    } else if (!arg.contains(QLatin1Char(':')) && !arg.contains(QLatin1Char(' '))) {
        announcer->setName(arg);
        announcer->start();
        say(QStringLiteral("announcing %1 to %2:%3 every %4 ms")
                .arg(QString::fromLatin1(announcer->datagram()), announcer->targetAddress().toString())
                .arg(announcer->targetPort())
                .arg(announcer->interval()));
    } else {
        say(QStringLiteral("usage: announce NAME (no ':' or blanks) | announce now | announce off"));
    }
}

void runFloodCommand(SimReader &reader, const QStringList &words)
{
    SimFlood::Kind kind;
    bool seedOk = true;
    const quint32 seed = words.size() > 1 ? words[1].toUInt(&seedOk) : 1;
    if (words.size() == 1 && words[0] == QLatin1String("off")) {
        const quint64 frames = reader.floodFrames();
        reader.stopFlood();
        say(QStringLiteral("flood stopped after %1 frames").arg(frames));
    } else if (!words.isEmpty() && words.size() <= 2 && seedOk && SimFlood::parseKind(words[0], &kind)) {
        reader.startFlood(kind, seed);
        say(QStringLiteral("flooding with %1").arg(words[0]));
    } else {
        say(QStringLiteral("usage: flood %1 [SEED] | flood off").arg(SimFlood::kindNames().join(QLatin1Char('|'))));
    }
}

// "05,1A=2.40": addresses in hex (01 to FF), each with an optional version.
bool parseBusReaders(const QString &text, const QString &defaultVersion, QList<QPair<quint8, QString>> *readers)
{
    for (const QString &item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int eq = item.indexOf(QLatin1Char('='));
        bool ok = false;
        const uint address = item.left(eq < 0 ? item.size() : eq).trimmed().toUInt(&ok, 16);
        if (!ok || address == 0 || address > 0xFF)
            return false;
        for (const auto &reader : *readers) {
            if (reader.first == address)
                return false;
        }
        const QString version = eq < 0 ? defaultVersion : item.mid(eq + 1).trimmed();
        if (version.isEmpty())
            return false;
        readers->append(qMakePair(quint8(address), version));
    }
    return !readers->isEmpty();
}

void onSignal(int)
{
    const char c = 1;
    const ssize_t ignored = ::write(signalPipe[1], &c, 1);
    (void)ignored;
}

// Quit cleanly on SIGINT/SIGTERM so the link to the pty is removed.
void installSignalHandlers(QCoreApplication *app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

// A UID as hex digits, optionally separated by blanks, colons or dashes.
bool parseUid(const QString &text, QByteArray *uid)
{
    QString digits = text;
    digits.remove(QLatin1Char(' ')).remove(QLatin1Char(':')).remove(QLatin1Char('-'));
    if (digits.isEmpty() || digits.size() % 2 != 0 || digits.size() > 32)
        return false;
    for (const QChar c : digits) {
        if (!std::isxdigit(c.toLatin1()))
            return false;
    }
    *uid = QByteArray::fromHex(digits.toLatin1());
    return true;
}

// kind "ul" or "classic"; pagesText only for "ul", may be empty. On failure
// *problem says why.
bool makeTag(const QString &kind, const QString &uidText, const QString &pagesText, SimTag *tag, QString *problem)
{
    QByteArray uid;
    if (!parseUid(uidText, &uid)) {
        *problem = QStringLiteral("bad UID \"%1\" (hex, 1 to 16 bytes)").arg(uidText);
        return false;
    }
    if (kind == QLatin1String("ul")) {
        int pages = 16;
        if (!pagesText.isEmpty()) {
            bool ok = false;
            pages = pagesText.toInt(&ok);
            if (!ok || pages < 4 || pages > 256) {
                *problem = QStringLiteral("bad page count \"%1\" (4 to 256)").arg(pagesText);
                return false;
            }
        }
        *tag = SimTag::ultralight(uid, pages);
        return true;
    }
    if (kind == QLatin1String("classic")) {
        if (!pagesText.isEmpty()) {
            *problem = QStringLiteral("a MIFARE Classic has no pages");
            return false;
        }
        *tag = SimTag::classic(uid);
        return true;
    }
    *problem = QStringLiteral("bad tag kind \"%1\" (ul or classic)").arg(kind);
    return false;
}

QString tagText(const SimTag &tag)
{
    if (tag.isUltralight())
        return QStringLiteral("ul %1 (%2 pages)")
            .arg(QString::fromLatin1(tag.uid.toHex().toUpper()))
            .arg(tag.pageCount());
    return QStringLiteral("%1 %2").arg(tag.type == SimTag::kTypeOther ? QStringLiteral("classic")
                                                                      : QStringLiteral("type %1").arg(tag.type),
                                       QString::fromLatin1(tag.uid.toHex().toUpper()));
}

void runTagCommand(SimReader &reader, const QStringList &words)
{
    SimTagField &field = reader.tagField();
    const QString sub = words.value(0);
    QByteArray uid;
    if (sub == QLatin1String("add") && (words.size() == 3 || words.size() == 4)) {
        SimTag tag;
        QString problem;
        if (makeTag(words[1], words[2], words.value(3), &tag, &problem)) {
            field.placeTag(tag);
            say(QStringLiteral("placed %1").arg(tagText(tag)));
        } else {
            say(problem);
        }
    } else if (sub == QLatin1String("remove") && words.size() == 2 && parseUid(words[1], &uid)) {
        say(field.removeTag(uid) ? QStringLiteral("removed") : QStringLiteral("no such tag on the field"));
    } else if (sub == QLatin1String("clear") && words.size() == 1) {
        field.clear();
        say(QStringLiteral("field empty"));
    } else if (sub == QLatin1String("list") && words.size() == 1) {
        const QList<SimTag> tags = field.tags();
        if (tags.isEmpty())
            say(QStringLiteral("no tags on the field"));
        for (int i = 0; i < tags.size(); ++i)
            say(QStringLiteral("%1: %2").arg(i).arg(tagText(tags[i])));
    } else {
        say(QStringLiteral(
            "usage: tag add ul UID [PAGES] | tag add classic UID | tag remove UID | tag clear | tag list"));
    }
}

void runFailCommand(SimReader &reader, const QStringList &words)
{
    if (words.size() == 1 && words[0] == QLatin1String("clear")) {
        reader.clearFailures();
        say(QStringLiteral("no failures"));
        return;
    }
    bool codeOk = false, numberOk = false, timesOk = true;
    const uint code = words.value(0).toUInt(&codeOk, 16);
    const uint number = words.value(1).toUInt(&numberOk, 16);
    const int times = words.size() > 2 ? words[2].toInt(&timesOk) : 1;
    if (words.size() < 2 || words.size() > 3 || !codeOk || !numberOk || !timesOk || code > 0xFF || number > 0xFFFF
        || code == SimReader::kCmdError) {
        say(QStringLiteral(
            "usage: fail CODE ERR [N] (hex code 00-FE, hex error 0000-FFFF, N -1 = until fail clear) | fail clear"));
        return;
    }
    reader.failCommand(quint8(code), quint16(number), times);
    if (times == 0)
        say(QStringLiteral("%1 answers normally").arg(hexByte(code)));
    else
        say(QStringLiteral("%1 fails with error %2 %3")
                .arg(hexByte(code), QStringLiteral("%1").arg(number, 4, 16, QLatin1Char('0')).toUpper(),
                     times < 0 ? QStringLiteral("until fail clear") : QStringLiteral("%1 time(s)").arg(times)));
}

void runKnownCommand(SimReader &reader, const QStringList &words)
{
    SimKnownTags &known = reader.knownTags();
    const QString sub = words.value(0);
    QByteArray uid;
    bool ok = true;
    if (sub == QLatin1String("list") && words.size() == 1) {
        const QList<QByteArray> entries = known.entries();
        if (entries.isEmpty())
            say(QStringLiteral("the known-tag list is empty"));
        for (int i = 0; i < entries.size(); ++i) {
            const QByteArray &entry = entries[i];
            say(QStringLiteral("%1: [%2] %3")
                    .arg(i)
                    .arg(hexByte(quint8(entry.at(0))), QString::fromLatin1(entry.mid(1).toHex().toUpper())));
        }
    } else if (sub == QLatin1String("clear") && words.size() == 1) {
        known.clear();
        say(QStringLiteral("the known-tag list is empty"));
    } else if (sub == QLatin1String("add") && (words.size() == 2 || words.size() == 3) && parseUid(words[1], &uid)) {
        const uint bracket = words.size() == 3 ? words[2].toUInt(&ok, 16) : 0;
        if (!ok || bracket > 0xFF) {
            say(QStringLiteral("bad bracket byte \"%1\" (hex 00 to FF)").arg(words[2]));
            return;
        }
        known.addEntry(quint8(bracket), uid);
        say(QStringLiteral("%1 known tag(s)").arg(known.count()));
    } else {
        say(QStringLiteral("usage: known list | known add UID [BRACKET] | known clear"));
    }
}

QString filesText(const SimReader &reader)
{
    const SimFileSystem &fs = reader.files();
    const QMap<QByteArray, QByteArray> files = fs.files();
    QStringList lines;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        QString line = QStringLiteral("%1  %2 bytes").arg(QString::fromLatin1(it.key())).arg(it->size());
        if (fs.openFileName() == it.key())
            line += fs.isOpenForWriting() ? QStringLiteral("  (open for writing)")
                                          : QStringLiteral("  (open for reading)");
        lines << line;
    }
    if (fs.isOpenForWriting() && !files.contains(fs.openFileName()))
        lines << QStringLiteral("%1  (new, open for writing)").arg(QString::fromLatin1(fs.openFileName()));
    if (lines.isEmpty())
        lines << QStringLiteral("no files");
    return lines.join(QLatin1Char('\n'));
}

bool parseConfigKind(const QString &word, SimFileSystem::ConfigKind *kind)
{
    if (word.compare(QLatin1String("r4"), Qt::CaseInsensitive) == 0) {
        *kind = SimFileSystem::ConfigR4;
        return true;
    }
    if (word.compare(QLatin1String("r5"), Qt::CaseInsensitive) == 0) {
        *kind = SimFileSystem::ConfigR5;
        return true;
    }
    return false;
}

bool parseOnOff(const QString &word, bool *on)
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

QString statusText(const SimReader &reader)
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
    if (!busReaders.isEmpty()) {
        QStringList addresses;
        for (const SimReader *busReader : busReaders)
            addresses << QStringLiteral("%1 (%2)").arg(hexByte(busReader->address()), busReader->version());
        parts << QStringLiteral("RS485 bus readers %1").arg(addresses.join(QStringLiteral(", ")));
    }
    if (announcer && announcer->isAnnouncing())
        parts << QStringLiteral("announcing as %1 to %2").arg(announcer->name(), announcer->targetAddress().toString());
    parts << QStringLiteral("version %1").arg(reader.version());
    parts << QStringLiteral("address %1").arg(hexByte(reader.address()));
    if (reader.isSilent())
        parts << QStringLiteral("silent");
    if (reader.answerDelay() > 0)
        parts << QStringLiteral("delay %1 ms").arg(reader.answerDelay());
    if (reader.baudRate() > 0)
        parts << lineRateText(reader.baudRate());
    if (!reader.ackUnknown())
        parts << QStringLiteral("ignores unknown commands");
    parts << QStringLiteral("%1 tag(s)").arg(reader.tagField().count());
    parts << QStringLiteral("%1 file(s)").arg(reader.files().files().size());
    if (reader.files().errorAfterEnd())
        parts << QStringLiteral("error after the end of a file");
    if (reader.files().isFileOpen())
        parts << QStringLiteral("%1 open").arg(QString::fromLatin1(reader.files().openFileName()));
    parts << QStringLiteral("%1 known tag(s)").arg(reader.knownTags().count());
    if (reader.isRestarting())
        parts << QStringLiteral("restarting");
    if (reader.restartCount() > 0)
        parts << QStringLiteral("%1 restart(s)").arg(reader.restartCount());
    if (reader.tagField().tagEvents())
        parts << QStringLiteral("tag events on");
    const auto failures = reader.failures();
    for (auto it = failures.constBegin(); it != failures.constEnd(); ++it) {
        parts << QStringLiteral("%1 fails (%2)")
                     .arg(hexByte(it.key()),
                          it->second < 0 ? QStringLiteral("always") : QStringLiteral("%1 left").arg(it->second));
    }
    parts
        << QStringLiteral("%1 request(s), %2 bad CRC").arg(reader.receivedPayloads().size()).arg(reader.badCrcCount());
    return QStringLiteral("rx-reader-sim: ") + parts.join(QStringLiteral(", "));
}

void runCommand(SimReader &reader, const QString &line)
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
    } else if (cmd == QLatin1String("baud")) {
        const int baud = arg.toInt(&ok);
        if (!ok || baud < 0) {
            say(QStringLiteral("usage: baud N (0: unpaced)"));
        } else {
            setLineRate(reader, baud);
            say(lineRateText(baud));
        }
    } else if (cmd == QLatin1String("ack-unknown") && parseOnOff(arg, &on)) {
        reader.setAckUnknown(on);
    } else if (cmd == QLatin1String("fail")) {
        runFailCommand(reader, arg.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    } else if (cmd == QLatin1String("answers")) {
        say(reader.answerFaults().command(arg.split(QLatin1Char(' '), Qt::SkipEmptyParts)));
    } else if (cmd == QLatin1String("requests")) {
        say(reader.answerFaults().requestCommand(arg.split(QLatin1Char(' '), Qt::SkipEmptyParts)));
    } else if (cmd == QLatin1String("unsolicited")) {
        const QByteArray payload = QByteArray::fromHex(arg.toLatin1());
        if (payload.isEmpty()) {
            say(QStringLiteral("usage: unsolicited HEX.. (status first, e.g. 00 E3)"));
        } else {
            reader.sendFrame(payload);
            say(QStringLiteral("sent %1").arg(hex(payload)));
        }
    } else if (cmd == QLatin1String("drop-tcp")) {
        const int count = reader.tcpClientCount();
        reader.dropTcpClients();
        say(QStringLiteral("%1 TCP connection(s) closed").arg(count));
    } else if (cmd == QLatin1String("tag")) {
        runTagCommand(reader, arg.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    } else if (cmd == QLatin1String("tag-events") && parseOnOff(arg, &on)) {
        reader.tagField().setTagEvents(on);
        say(on ? QStringLiteral("tag events on") : QStringLiteral("tag events off"));
    } else if (cmd == QLatin1String("files") && arg.isEmpty()) {
        say(filesText(reader));
    } else if (cmd == QLatin1String("files") && arg.section(QLatin1Char(' '), 0, 0) == QLatin1String("eof-error")) {
        if (!parseOnOff(arg.section(QLatin1Char(' '), 1).trimmed(), &on)) {
            say(QStringLiteral("usage: files eof-error on|off"));
        } else {
            reader.files().setErrorAfterEnd(on);
            say(on ? QStringLiteral("FREAD after the end of a file: error 0207")
                   : QStringLiteral("FREAD after the end of a file: no data again"));
        }
    } else if (cmd == QLatin1String("cat") && !arg.isEmpty()) {
        const QByteArray name = arg.toLatin1();
        if (!reader.files().hasFile(name)) {
            say(QStringLiteral("no file \"%1\"").arg(arg));
        } else {
            QByteArray content = reader.files().file(name);
            if (!content.endsWith('\n'))
                content.append('\n');
            std::fwrite(content.constData(), 1, size_t(content.size()), stdout);
            std::fflush(stdout);
        }
    } else if (cmd == QLatin1String("config")) {
        SimFileSystem::ConfigKind kind;
        if (!parseConfigKind(arg, &kind)) {
            say(QStringLiteral("usage: config r4|r5"));
        } else {
            reader.files().setConfigDocument(kind);
            say(QStringLiteral("config.json of an %1, %2 bytes")
                    .arg(arg.toUpper())
                    .arg(reader.files().configFile().size()));
        }
    } else if (cmd == QLatin1String("chunk")) {
        const int bytes = arg.toInt(&ok);
        if (!ok || bytes < 1 || bytes > 2000) {
            say(QStringLiteral("usage: chunk N (1 to 2000)"));
        } else {
            reader.files().setReadChunkSize(bytes);
            say(QStringLiteral("%1 bytes per FREAD").arg(bytes));
        }
    } else if (cmd == QLatin1String("reboot") && arg.isEmpty()) {
        reader.restart();
        say(QStringLiteral("restarting for %1 ms").arg(reader.restartTime()));
    } else if (cmd == QLatin1String("restart-time")) {
        const int ms = arg.toInt(&ok);
        if (!ok || ms < 0) {
            say(QStringLiteral("usage: restart-time MS"));
        } else {
            reader.setRestartTime(ms);
            say(QStringLiteral("a restart takes %1 ms").arg(ms));
        }
    } else if (cmd == QLatin1String("restart-mode")
               && (arg == QLatin1String("keep") || arg == QLatin1String("reopen"))) {
        const bool keep = arg == QLatin1String("keep");
        reader.setRestartMode(keep ? SimReader::RestartMode::KeepPty : SimReader::RestartMode::ReopenPty);
        say(keep ? QStringLiteral("the pty stays open over a restart") : QStringLiteral("a restart brings a new pty"));
    } else if (cmd == QLatin1String("known")) {
        runKnownCommand(reader, arg.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    } else if (cmd == QLatin1String("announce") && !arg.isEmpty()) {
        runAnnounceCommand(arg);
    } else if (cmd == QLatin1String("ota") || cmd == QLatin1String("pn")) {
        say(SimOta::of(&reader)->command(cmd, arg.split(QLatin1Char(' '), Qt::SkipEmptyParts)));
    } else if (cmd == QLatin1String("net")) {
        say(SimNetwork::of(&reader)->command(arg.split(QLatin1Char(' '), Qt::SkipEmptyParts)));
    } else if (cmd == QLatin1String("flood")) {
        runFloodCommand(reader, arg.split(QLatin1Char(' '), Qt::SkipEmptyParts));
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

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("rx-reader-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated reader for rx-client: answers the binary protocol on a pty and on a local TCP port.\n"
                       "Type \"help\" on standard input for the control commands."));
    parser.addHelpOption();
    const QCommandLineOption ptyOpt(
        QStringLiteral("pty"),
        QStringLiteral("Offer a serial port (pty). On unless --tcp is given without --pty or --link."));
    const QCommandLineOption linkOpt(QStringLiteral("link"), QStringLiteral("Symbolic link to the pty (empty: none)."),
                                     QStringLiteral("path"), QStringLiteral("/tmp/ttyRX0"));
    const QCommandLineOption tcpOpt(QStringLiteral("tcp"), QStringLiteral("TCP port to listen on (0: any free port)."),
                                    QStringLiteral("port"), QStringLiteral("1234"));
    const QCommandLineOption noTcpOpt(QStringLiteral("no-tcp"), QStringLiteral("Do not listen on TCP."));
    const QCommandLineOption listenOpt(QStringLiteral("listen"), QStringLiteral("Address to listen on."),
                                       QStringLiteral("addr"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption versionOpt(QStringLiteral("version"), QStringLiteral("Firmware version to report."),
                                        QStringLiteral("text"), QStringLiteral("2.38"));
    const QCommandLineOption addressOpt(QStringLiteral("address"),
                                        QStringLiteral("RS485 address in hex (0: no address byte)."),
                                        QStringLiteral("hex"), QStringLiteral("0"));
    const QCommandLineOption noAckUnknownOpt(QStringLiteral("no-ack-unknown"),
                                             QStringLiteral("Leave commands the simulator does not model unanswered\n"
                                                            "(by default they get a bare positive answer)."));
    const QCommandLineOption tagOpt(
        QStringLiteral("tag"),
        QStringLiteral("Place a tag on the field at start: ul:UID[:PAGES] or classic:UID (repeatable)."),
        QStringLiteral("kind:uid"));
    const QCommandLineOption configOpt(QStringLiteral("config"),
                                       QStringLiteral("Factory config.json of an r4 or an r5 (default r4)."),
                                       QStringLiteral("r4|r5"));
    const QCommandLineOption configFileOpt(QStringLiteral("config-file"),
                                           QStringLiteral("Factory config.json from this file instead."),
                                           QStringLiteral("path"));
    const QCommandLineOption restartTimeOpt(QStringLiteral("restart-time"),
                                            QStringLiteral("How long a restart keeps the reader away, in ms."),
                                            QStringLiteral("ms"), QStringLiteral("1000"));
    const QCommandLineOption restartReopenOpt(
        QStringLiteral("restart-reopen"),
        QStringLiteral("A restart closes the pty and comes back with a new one at the link "
                       "(by default the pty stays open and the reader only goes quiet)."));
    const QCommandLineOption chipMsOpt(QStringLiteral("chip-ms"),
                                       QStringLiteral("How long the RFID chip programs one record of its update "
                                                      "before PN OTA Frame is answered, in ms."),
                                       QStringLiteral("ms"), QStringLiteral("60"));
    const QCommandLineOption baudOpt(QStringLiteral("baud"),
                                     QStringLiteral("Pace the pty and each TCP connection as a serial line of N baud, "
                                                    "10 bits a byte, both ways (0: unpaced)."),
                                     QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption verboseOpt({QStringLiteral("v"), QStringLiteral("verbose")},
                                        QStringLiteral("Print every frame received and sent."));
    parser.addOptions({ptyOpt, linkOpt, tcpOpt, noTcpOpt, listenOpt, versionOpt, addressOpt, noAckUnknownOpt, tagOpt,
                       configOpt, configFileOpt, restartTimeOpt, restartReopenOpt, chipMsOpt, baudOpt, verboseOpt});
    const QCommandLineOption announceOpt(
        QStringLiteral("announce"), QStringLiteral("Announce the reader by UDP under this name (Q_R4:NAME:VERSION)."),
        QStringLiteral("name"));
    const QCommandLineOption announceToOpt(QStringLiteral("announce-to"),
                                           QStringLiteral("Where announcements go. Nowhere else is sent to."),
                                           QStringLiteral("addr"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption announcePortOpt(QStringLiteral("announce-port"),
                                             QStringLiteral("Port announcements go to."), QStringLiteral("port"),
                                             QString::number(SimUdp::kDiscoveryPort));
    const QCommandLineOption announceIntervalOpt(QStringLiteral("announce-interval"),
                                                 QStringLiteral("Milliseconds between announcements."),
                                                 QStringLiteral("ms"), QString::number(SimUdp::kDefaultIntervalMs));
    const QCommandLineOption scanPortOpt(
        QStringLiteral("scan-port"),
        QStringLiteral("Answer scan requests (Q_R4:SCAN) arriving on this UDP port of the "
                       "--listen address with an announcement (to --announce-to)."),
        QStringLiteral("port"));
    const QCommandLineOption busReadersOpt(
        QStringLiteral("bus-readers"),
        QStringLiteral("Several readers on one RS485 line (the pty), each answering only its own "
                       "address: hex addresses 01-FF, each optionally =VERSION, e.g. 05,1A=2.40. "
                       "The control commands then act on the TCP reader only."),
        QStringLiteral("list"));
    parser.addOptions({announceOpt, announceToOpt, announcePortOpt, announceIntervalOpt, scanPortOpt, busReadersOpt});
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

    const QHostAddress announceTo(parser.value(announceToOpt));
    const uint announcePort = parser.value(announcePortOpt).toUInt(&ok);
    if (announceTo.isNull() || !ok || announcePort == 0 || announcePort > 65535) {
        std::fprintf(stderr, "rx-reader-sim: bad announcement target \"%s:%s\"\n",
                     qPrintable(parser.value(announceToOpt)), qPrintable(parser.value(announcePortOpt)));
        return 2;
    }
    const int announceInterval = parser.value(announceIntervalOpt).toInt(&ok);
    if (!ok || announceInterval < 10) {
        std::fprintf(stderr, "rx-reader-sim: bad announcement interval \"%s\" (10 ms or more)\n",
                     qPrintable(parser.value(announceIntervalOpt)));
        return 2;
    }
    uint scanPort = 0;
    if (parser.isSet(scanPortOpt)) {
        scanPort = parser.value(scanPortOpt).toUInt(&ok);
        if (!ok || scanPort == 0 || scanPort > 65535) {
            std::fprintf(stderr, "rx-reader-sim: bad scan port \"%s\"\n", qPrintable(parser.value(scanPortOpt)));
            return 2;
        }
    }
    if (parser.isSet(announceOpt)
        && (parser.value(announceOpt).isEmpty() || parser.value(announceOpt).contains(QLatin1Char(':')))) {
        std::fprintf(stderr, "rx-reader-sim: bad announcement name \"%s\" (not empty, no ':')\n",
                     qPrintable(parser.value(announceOpt)));
        return 2;
    }
    QList<QPair<quint8, QString>> busList;
    if (parser.isSet(busReadersOpt)
        && !parseBusReaders(parser.value(busReadersOpt), parser.value(versionOpt), &busList)) {
        std::fprintf(stderr, "rx-reader-sim: bad --bus-readers \"%s\" (e.g. 05,1A=2.40; addresses 01-FF, each once)\n",
                     qPrintable(parser.value(busReadersOpt)));
        return 2;
    }

    SimReader reader;
    reader.setVersion(parser.value(versionOpt));
    reader.setAddress(quint8(address));
    reader.setAckUnknown(!parser.isSet(noAckUnknownOpt));
    for (const QString &value : parser.values(tagOpt)) {
        const QStringList parts = value.split(QLatin1Char(':'));
        SimTag tag;
        QString problem = QStringLiteral("expected ul:UID[:PAGES] or classic:UID");
        if (parts.size() < 2 || parts.size() > 3 || !makeTag(parts[0], parts[1], parts.value(2), &tag, &problem)) {
            std::fprintf(stderr, "rx-reader-sim: bad --tag \"%s\": %s\n", qPrintable(value), qPrintable(problem));
            return 2;
        }
        reader.tagField().placeTag(tag);
    }
    if (parser.isSet(configOpt)) {
        SimFileSystem::ConfigKind kind;
        if (!parseConfigKind(parser.value(configOpt), &kind)) {
            std::fprintf(stderr, "rx-reader-sim: bad --config \"%s\" (r4 or r5)\n",
                         qPrintable(parser.value(configOpt)));
            return 2;
        }
        reader.files().setConfigDocument(kind);
    }
    if (parser.isSet(configFileOpt)) {
        QFile file(parser.value(configFileOpt));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "rx-reader-sim: cannot read %s: %s\n", qPrintable(file.fileName()),
                         qPrintable(file.errorString()));
            return 2;
        }
        reader.files().setDefaultConfig(file.readAll());
    }
    const int restartTime = parser.value(restartTimeOpt).toInt(&ok);
    if (!ok || restartTime < 0) {
        std::fprintf(stderr, "rx-reader-sim: bad --restart-time \"%s\"\n", qPrintable(parser.value(restartTimeOpt)));
        return 2;
    }
    reader.setRestartTime(restartTime);
    const int chipMs = parser.value(chipMsOpt).toInt(&ok);
    if (!ok || chipMs < 0) {
        std::fprintf(stderr, "rx-reader-sim: bad --chip-ms \"%s\"\n", qPrintable(parser.value(chipMsOpt)));
        return 2;
    }
    SimOta::of(&reader)->setChipTime(chipMs);
    const int baud = parser.value(baudOpt).toInt(&ok);
    if (!ok || baud < 0) {
        std::fprintf(stderr, "rx-reader-sim: bad --baud \"%s\"\n", qPrintable(parser.value(baudOpt)));
        return 2;
    }
    if (parser.isSet(restartReopenOpt))
        reader.setRestartMode(SimReader::RestartMode::ReopenPty);

    if (parser.isSet(verboseOpt)) {
        QObject::connect(&reader, &SimReader::rawReceived,
                         [](const QByteArray &bytes) { say(QStringLiteral("<- %1").arg(hex(bytes))); });
        QObject::connect(&reader, &SimReader::frameSent,
                         [](const QByteArray &frame) { say(QStringLiteral("-> %1").arg(hex(frame))); });
    }

    QObject::connect(&reader, &SimReader::restarted, [&reader] {
        say(QStringLiteral("restart %1 done, ").arg(reader.restartCount()) + statusText(reader));
    });
    QObject::connect(&reader.files(), &SimFileSystem::fileWritten,
                     [](const QByteArray &name, const QByteArray &content) {
                         say(QStringLiteral("%1 written, %2 bytes").arg(QString::fromLatin1(name)).arg(content.size()));
                     });

    QStringList where;
    SimBus bus;
    if (wantPty && !busList.isEmpty()) {
        // The pty is the shared line; the readers on it answer only their
        // own addresses.
        if (!bus.open(parser.value(linkOpt))) {
            std::fprintf(stderr, "rx-reader-sim: cannot open a pty\n");
            return 1;
        }
        busLine = &bus;
        QStringList addresses;
        for (const auto &item : busList) {
            auto *busReader = new SimReader(&app);
            busReader->setAddress(item.first);
            busReader->setVersion(item.second);
            busReader->setAckUnknown(!parser.isSet(noAckUnknownOpt));
            busReader->attachToBus(&bus);
            busReaders.append(busReader);
            addresses << hexByte(item.first);
        }
        QString serial = QStringLiteral("RS485 bus on %1").arg(bus.ptyPath());
        if (!bus.linkPath().isEmpty())
            serial += QStringLiteral(" (link %1)").arg(bus.linkPath());
        where << serial + QStringLiteral(" with readers ") + addresses.join(QStringLiteral(", "));
    } else if (wantPty) {
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
    setLineRate(reader, baud);
    if (baud > 0)
        where << lineRateText(baud);
    SimUdp udp(&reader);
    announcer = &udp;
    udp.setTarget(announceTo, quint16(announcePort));
    udp.setInterval(announceInterval);
    // A reader's announcement comes from its own address: readers listening
    // on 127.0.0.2 and 127.0.0.3 are two readers to a client.
    if (listenAddress != QHostAddress(QHostAddress::AnyIPv4) && listenAddress != QHostAddress(QHostAddress::Any))
        udp.setSourceAddress(listenAddress);
    if (scanPort != 0) {
        if (!udp.listenForScans(quint16(scanPort), listenAddress)) {
            std::fprintf(stderr, "rx-reader-sim: cannot listen for scan requests on %s:%u\n",
                         qPrintable(listenAddress.toString()), scanPort);
            return 1;
        }
        where << QStringLiteral("scan requests on UDP %1:%2").arg(listenAddress.toString()).arg(scanPort);
    }
    if (parser.isSet(announceOpt)) {
        udp.setName(parser.value(announceOpt));
        udp.start();
        where << QStringLiteral("announcing %1 to %2:%3")
                     .arg(QString::fromLatin1(udp.datagram()), announceTo.toString())
                     .arg(announcePort);
    }
    say(QStringLiteral("rx-reader-sim: ") + where.join(QStringLiteral(", ")));

    installSignalHandlers(&app);

    // Control commands on standard input. At end of input (or with no input
    // at all, e.g. </dev/null) the simulator simply keeps running.
    QByteArray pendingInput;
    if (::fcntl(STDIN_FILENO, F_GETFD) != -1) {
        auto *stdinNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
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
