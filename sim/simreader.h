#pragma once

// A virtual reader that speaks the framed binary protocol over a pty (as a
// serial device) and/or TCP, for the automated tests and for trying the client
// without hardware.
//
// Commands are answered by handlers registered per command code; the reader's
// core only finds the frames, filters them by address, calls the handler and
// puts its answer on the transport the request came in on. Commands without
// a handler get a bare positive answer (see setAckUnknown). The tags on the
// antenna and the tag commands live in SimTagField (tagField()), the file
// system with "config.json" in SimFileSystem (files()), the known-tag list in
// SimKnownTags (knownTags()). Reboot (0A) and Factory reset (11) answer and
// then restart the reader (restart()). What happens to requests and answers
// on their way (lost, late, twice, the link dropping) is set in
// SimAnswerFaults (answerFaults()); answers leave in the order of the
// requests. Answers:
//   00 <code> <data>             positive answer   (SimRequest::ack)
//   FF <code> <hi> <lo>          error, number first byte first (SimRequest::error)
//   FE <event> <data>            event, sent unsolicited (sendEvent)
//   E4 <Latin-1 text> 00         device log line, unsolicited (sendLogLine)

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

#include "sim/simflood.h"

#include "link/commandcodes.h"

class QTcpServer;
class QTimer;
class SimAnswerFaults;
class SimBus;
class SimChannel;
class SimFileSystem;
class SimKnownTags;
class SimReader;
class SimTagField;
class SimTcpChannel;
class QTimer;
namespace SimCodec {
struct Frame;
}

// One request as a handler sees it. Copyable: a handler may keep a copy and
// answer later; the answer still goes to the transport the request came from
// (and is dropped if that transport is gone by then).
class SimRequest
{
public:
    quint8 code = 0;
    QByteArray params;

    void ack(const QByteArray &data = QByteArray()); // 00 code data
    void error(quint16 number); // FF code hi lo
    void silent(); // no answer on purpose
    void reply(const QByteArray &payload); // any payload, status byte first
    // The reader works ms on the request before its answer goes out; the
    // answers to later requests wait behind it, as behind a busy reader.
    void takeTime(int ms) { m_busyMs = qMax(0, ms); }

    bool answered() const { return m_answered; }
    SimReader *reader() const { return m_reader; }

private:
    friend class SimReader;
    QPointer<SimReader> m_reader;
    QPointer<SimChannel> m_channel;
    bool m_answered = false;
    int m_busyMs = 0;
};

class SimReader : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(SimRequest &request)>;

    static constexpr quint8 kCmdGetVersion = Command::GetVersion;
    static constexpr quint8 kCmdReboot = Command::Reboot;
    static constexpr quint8 kCmdFactoryReset = Command::FactoryReset;
    static constexpr quint8 kCmdError = Command::Error; // what a peer sends after a damaged frame
    static constexpr quint8 kStatusOk = AnswerStatus::Positive;
    static constexpr quint8 kStatusError = AnswerStatus::Error;
    static constexpr quint8 kStatusEvent = AnswerStatus::Event;
    static constexpr quint8 kStatusLog = AnswerStatus::LogLine;

    explicit SimReader(QObject *parent = nullptr);
    ~SimReader() override;

    // --- commands
    // Replaces any handler registered for code before (the built-in ones too).
    void registerCommand(quint8 code, Handler handler);
    void unregisterCommand(quint8 code);
    bool hasCommand(quint8 code) const { return m_handlers.contains(code); }
    // Commands without a handler: answered with a bare positive answer when
    // set (the default), else not at all. Error frames (code FF) are never
    // answered so.
    void setAckUnknown(bool on) { m_ackUnknown = on; }
    bool ackUnknown() const { return m_ackUnknown; }

    // The tags in the reader's field; it answers the tag commands.
    SimTagField &tagField() { return *m_tagField; }
    const SimTagField &tagField() const { return *m_tagField; }
    // What happens to its requests and answers on their way.
    SimAnswerFaults &answerFaults() { return *m_answerFaults; }
    // Its file system ("config.json") and the file commands.
    SimFileSystem &files() { return *m_files; }
    const SimFileSystem &files() const { return *m_files; }
    // The list of known tags and the Known list command.
    SimKnownTags &knownTags() { return *m_knownTags; }
    const SimKnownTags &knownTags() const { return *m_knownTags; }

    void setVersion(const QString &version) { m_version = version; }
    QString version() const { return m_version; }

    // 0: frames carry no address byte. Otherwise only frames with this address
    // byte are taken, and every frame the reader sends carries it.
    void setAddress(quint8 address) { m_address = address; }
    quint8 address() const { return m_address; }

    // --- transports
    bool openPty(const QString &symlinkPath = QString());
    // Slave path and link of the pty last opened (kept after unplug()).
    QString ptyPath() const;
    QString linkPath() const;
    SimBus *bus() const { return m_bus; }
    // Joins a pty that other readers share (an RS485 line). The bus is not
    // owned; unplug()/replug() leave it open and only make this reader
    // deaf and mute on it.
    void attachToBus(SimBus *bus);
    void detachFromBus(SimBus *bus);

    // The rate of the serial line its own pty and its TCP connections (those
    // to come too) are paced to, in baud; 0: unpaced. See
    // SimChannel::setBaudRate. A shared bus keeps its own.
    void setBaudRate(int baud);
    int baudRate() const { return m_baud; }

    bool listenTcp(quint16 port = 1234, const QHostAddress &address = QHostAddress::LocalHost);
    quint16 tcpPort() const { return m_tcpPort; }
    int tcpClientCount() const { return m_tcpChannels.size(); }
    // The reader closes every TCP connection; it goes on listening.
    void dropTcpClients();

    // --- faults
    void setSilent(bool on) { m_silent = on; }
    bool isSilent() const { return m_silent; }
    void corruptNextCrc() { m_corruptNext = true; }
    // The next times requests with code (times < 0: all of them until
    // clearFailures) get the error answer FF code hi lo instead of their
    // handler's answer; the handler is not called. times 0 withdraws the
    // failure. Error frames (code FF) stay unanswered.
    void failCommand(quint8 code, quint16 errorNumber, int times = 1);
    void clearFailures() { m_failures.clear(); }
    // Codes set to fail, with their error number and how many failures are left (-1: no end).
    QMap<quint8, QPair<quint16, int>> failures() const { return m_failures; }
    // The device disappears: its pty closes (the link is removed), TCP
    // connections are closed and the TCP port stops listening.
    void unplug();
    // The device comes back: a new pty (and link), TCP listening again on
    // the same port. Unplugs first if still plugged in.
    void replug();
    bool isPlugged() const { return m_plugged; }
    // Frames of one kind (SimFlood) on every open transport, as fast as the
    // other side takes them, until stopFlood. Answers go on meanwhile.
    void startFlood(SimFlood::Kind kind, quint32 seed = 1);
    void stopFlood();
    bool isFlooding() const { return m_flood != nullptr; }
    quint64 floodFrames() const;
    void setAnswerDelay(int ms) { m_answerDelayMs = qMax(0, ms); }
    int answerDelay() const { return m_answerDelayMs; }

    // --- restart (what Reboot and Factory reset do after their answer)
    // KeepPty: the pty stays open (the client reopens the port by its name
    // and finds the same device). ReopenPty: the pty closes with the other
    // links, as a USB device leaves the bus, and a new one comes back at the
    // same link (its slave path may differ; see ptyPath()).
    enum class RestartMode {
        KeepPty,
        ReopenPty
    };
    void setRestartMode(RestartMode mode) { m_restartMode = mode; }
    RestartMode restartMode() const { return m_restartMode; }
    // How long the reader is away (default 1000 ms).
    void setRestartTime(int ms) { m_restartTimeMs = qMax(0, ms); }
    int restartTime() const { return m_restartTimeMs; }
    // From now on the reader hears nothing (input is thrown away) and says
    // nothing, though answers already on their way (answer delay) still go
    // out. 200 ms after them its TCP connections close and the port stops
    // listening. restartTime() ms after the call (at least until the links
    // have dropped) it is back, listening again, and restarted() is emitted.
    // Restarting while restarting starts the time anew. The open file and
    // any known-list reading or writing are dropped.
    void restart();
    bool isRestarting() const { return m_restarting; }
    int restartCount() const { return m_restartCount; }
    // What a factory reset does besides restarting: the default config.json
    // alone in the file system, the known-tag list empty.
    void factoryReset();

    // --- unsolicited output, on every open transport
    void sendLogLine(const QString &text);
    void sendEvent(quint8 number, const QByteArray &data = QByteArray());
    void sendFrame(const QByteArray &payload); // framed with the reader's address
    void sendRaw(const QByteArray &bytes); // exactly these bytes, no framing

    // --- observation
    QList<QByteArray> receivedPayloads() const { return m_received; } // command first, address removed
    void clearReceived()
    {
        m_received.clear();
        m_badCrcCount = 0;
    }
    int badCrcCount() const { return m_badCrcCount; }

signals:
    void requestReceived(quint8 code, const QByteArray &params);
    void rawReceived(const QByteArray &bytes);
    void frameSent(const QByteArray &frame);
    void restarted();

private:
    friend class SimRequest;
    void attachChannel(SimChannel *channel);
    void onFrame(SimChannel *channel, const SimCodec::Frame &frame);
    struct QueuedAnswer
    {
        QPointer<SimChannel> channel;
        QByteArray frame;
        qint64 due = 0;
        int copyGapMs = -1; // sent twice: the copy this long after it
    };
    void answer(SimChannel *channel, const QByteArray &payload, int busyMs = 0);
    void queueAnswer(QueuedAnswer answer, int delayMs, int busyMs);
    void sendQueuedAnswers();
    void sendAnswer(const QueuedAnswer &answer);
    void writeFrame(SimChannel *channel, const QByteArray &frame);
    QByteArray makeFrame(const QByteArray &payload);
    QList<SimChannel *> openChannels() const;
    void acceptConnections();
    void dropLinksForRestart();
    void endRestart();

    QMap<quint8, Handler> m_handlers;
    bool m_ackUnknown = true;
    SimTagField *m_tagField = nullptr;
    SimFileSystem *m_files = nullptr;
    SimKnownTags *m_knownTags = nullptr;
    SimAnswerFaults *m_answerFaults = nullptr;
    QString m_version = QStringLiteral("2.38");
    quint8 m_address = 0;

    SimBus *m_bus = nullptr; // own pty, created by openPty
    bool m_wantPty = false;
    QString m_wantLink;
    QList<QPointer<SimBus>> m_sharedBuses;

    QTcpServer *m_server = nullptr;
    quint16 m_tcpPort = 0;
    QHostAddress m_tcpAddress;
    bool m_wantTcp = false;
    QList<SimTcpChannel *> m_tcpChannels;
    int m_baud = 0;

    bool m_silent = false;
    bool m_corruptNext = false;
    QMap<quint8, QPair<quint16, int>> m_failures; // code -> error number, failures left
    bool m_plugged = true;
    int m_answerDelayMs = 0;
    std::unique_ptr<SimFlood::Source> m_flood;
    QTimer *m_floodTimer = nullptr;
    QList<QueuedAnswer> m_answerQueue; // in the order of the requests
    QTimer *m_answerTimer = nullptr;
    QElapsedTimer m_clock;

    RestartMode m_restartMode = RestartMode::KeepPty;
    int m_restartTimeMs = 1000;
    bool m_restarting = false;
    int m_restartCount = 0;
    int m_restartGeneration = 0; // tells the timers of an earlier restart apart

    QList<QByteArray> m_received;
    int m_badCrcCount = 0;
};
