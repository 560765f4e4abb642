#include "sim/simreader.h"

#include "sim/simchannel.h"
#include "sim/simcodec.h"
#include "sim/simfaults.h"
#include "sim/simfiles.h"
#include "sim/simknowntags.h"
#include "sim/simnetwork.h"
#include "sim/simota.h"
#include "sim/simtags.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtDebug>

// ---------------------------------------------------------------- SimRequest

void SimRequest::ack(const QByteArray &data)
{
    QByteArray payload;
    payload.append(char(SimReader::kStatusOk));
    payload.append(char(code));
    payload.append(data);
    reply(payload);
}

void SimRequest::error(quint16 number)
{
    QByteArray payload;
    payload.append(char(SimReader::kStatusError));
    payload.append(char(code));
    payload.append(char(number >> 8));
    payload.append(char(number & 0xFF));
    reply(payload);
}

void SimRequest::silent()
{
    m_answered = true;
}

void SimRequest::reply(const QByteArray &payload)
{
    m_answered = true;
    if (m_reader)
        m_reader->answer(m_channel, payload, m_busyMs);
}

// ---------------------------------------------------------------- SimReader

SimReader::SimReader(QObject *parent)
    : QObject(parent)
{
    registerCommand(kCmdGetVersion, [this](SimRequest &req) {
        QByteArray text = m_version.toLatin1();
        text.append('\0');
        req.ack(text);
    });
    m_clock.start();
    m_answerTimer = new QTimer(this);
    m_answerTimer->setSingleShot(true);
    m_answerTimer->setTimerType(Qt::PreciseTimer);
    connect(m_answerTimer, &QTimer::timeout, this, &SimReader::sendQueuedAnswers);
    m_answerFaults = new SimAnswerFaults(this);
    m_tagField = new SimTagField(this);
    m_files = new SimFileSystem(this);
    m_knownTags = new SimKnownTags(this);
    new SimOta(this); // firmware updates, SimOta::of(reader)
    new SimNetwork(this); // "Network config", SimNetwork::of(reader)
    registerCommand(kCmdReboot, [this](SimRequest &req) {
        req.ack();
        restart();
    });
    registerCommand(kCmdFactoryReset, [this](SimRequest &req) {
        req.ack();
        factoryReset();
        restart();
    });
}

// Channels are children and go with the reader; shared buses stay open.
SimReader::~SimReader() = default;

void SimReader::registerCommand(quint8 code, Handler handler)
{
    m_handlers.insert(code, std::move(handler));
}

void SimReader::unregisterCommand(quint8 code)
{
    m_handlers.remove(code);
}

// ------------------------------------------------ transports

bool SimReader::openPty(const QString &symlinkPath)
{
    if (!m_bus) {
        m_bus = new SimBus(this);
        m_bus->setBaudRate(m_baud);
        attachChannel(m_bus);
    }
    m_wantPty = true;
    m_wantLink = symlinkPath;
    return m_bus->open(symlinkPath);
}

QString SimReader::ptyPath() const
{
    return m_bus ? m_bus->ptyPath() : QString();
}

QString SimReader::linkPath() const
{
    return m_bus ? m_bus->linkPath() : QString();
}

void SimReader::setBaudRate(int baud)
{
    m_baud = qMax(0, baud);
    if (m_bus)
        m_bus->setBaudRate(m_baud);
    for (SimTcpChannel *channel : qAsConst(m_tcpChannels))
        channel->setBaudRate(m_baud);
}

void SimReader::attachToBus(SimBus *bus)
{
    if (!bus || bus == m_bus || m_sharedBuses.contains(bus))
        return;
    m_sharedBuses.append(bus);
    attachChannel(bus);
}

void SimReader::detachFromBus(SimBus *bus)
{
    if (!bus || !m_sharedBuses.contains(bus))
        return;
    m_sharedBuses.removeAll(bus);
    disconnect(bus, nullptr, this, nullptr);
}

void SimReader::attachChannel(SimChannel *channel)
{
    connect(channel, &SimChannel::bytesReceived, this, [this](const QByteArray &bytes) {
        if (m_plugged && !m_restarting)
            emit rawReceived(bytes);
    });
    connect(channel, &SimChannel::frameReceived, this,
            [this, channel](const SimCodec::Frame &frame) { onFrame(channel, frame); });
}

bool SimReader::listenTcp(quint16 port, const QHostAddress &address)
{
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &SimReader::acceptConnections);
    }
    m_server->close();
    m_wantTcp = true;
    m_tcpAddress = address;
    if (!m_server->listen(address, port)) {
        qWarning("SimReader: cannot listen on %s:%u: %s", qPrintable(address.toString()), port,
                 qPrintable(m_server->errorString()));
        m_tcpPort = 0;
        return false;
    }
    m_tcpPort = m_server->serverPort();
    return true;
}

void SimReader::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *channel = new SimTcpChannel(socket, this);
        channel->setBaudRate(m_baud);
        m_tcpChannels.append(channel);
        attachChannel(channel);
        connect(channel, &SimChannel::closed, this, [this, channel] {
            m_tcpChannels.removeAll(channel);
            channel->deleteLater();
        });
    }
}

QList<SimChannel *> SimReader::openChannels() const
{
    QList<SimChannel *> channels;
    if (m_bus && m_bus->isOpen())
        channels.append(m_bus);
    for (const QPointer<SimBus> &bus : m_sharedBuses) {
        if (bus && bus->isOpen())
            channels.append(bus);
    }
    for (SimTcpChannel *channel : m_tcpChannels) {
        if (channel->isOpen())
            channels.append(channel);
    }
    return channels;
}

void SimReader::dropTcpClients()
{
    const QList<SimTcpChannel *> channels = m_tcpChannels;
    m_tcpChannels.clear();
    for (SimTcpChannel *channel : channels) {
        disconnect(channel, nullptr, this, nullptr);
        channel->close();
        channel->deleteLater();
    }
}

// ------------------------------------------------ faults

void SimReader::failCommand(quint8 code, quint16 errorNumber, int times)
{
    if (code == kCmdError)
        return; // a peer's error reply gets no answer, not even an error
    if (times == 0)
        m_failures.remove(code);
    else
        m_failures.insert(code, qMakePair(errorNumber, qMax(times, -1)));
}

void SimReader::unplug()
{
    m_plugged = false;
    if (m_bus)
        m_bus->close();
    dropTcpClients();
    if (m_server)
        m_server->close();
}

void SimReader::replug()
{
    if (m_plugged)
        unplug();
    m_plugged = true;
    if (m_wantPty)
        openPty(m_wantLink);
    if (m_wantTcp)
        listenTcp(m_tcpPort, m_tcpAddress);
}

// ------------------------------------------------ restart

namespace {
// A device answers Reboot and only then goes down: the link drops this long
// after the answer (after any answer delay). The client has read the answer
// by then and is busy with its own part of the restart; a link that broke
// at once could also take the answer with it.
constexpr int kLinkDropDelayMs = 200;
} // namespace

void SimReader::restart()
{
    ++m_restartCount;
    m_restarting = true;
    const int generation = ++m_restartGeneration;
    const int dropAt = m_answerDelayMs + kLinkDropDelayMs;
    QTimer::singleShot(dropAt, this, [this, generation] {
        if (generation == m_restartGeneration && m_restarting)
            dropLinksForRestart();
    });
    QTimer::singleShot(qMax(m_restartTimeMs, dropAt + 1), this, [this, generation] {
        if (generation == m_restartGeneration)
            endRestart();
    });
}

void SimReader::dropLinksForRestart()
{
    dropTcpClients();
    if (m_server)
        m_server->close();
    if (m_restartMode == RestartMode::ReopenPty && m_bus)
        m_bus->close();
}

void SimReader::endRestart()
{
    m_restarting = false;
    // Unplugged meanwhile: the transports come back with replug().
    if (m_plugged) {
        if (m_wantPty && m_bus && !m_bus->isOpen())
            openPty(m_wantLink);
        if (m_wantTcp && m_server && !m_server->isListening())
            listenTcp(m_tcpPort, m_tcpAddress);
    }
    emit restarted();
}

void SimReader::factoryReset()
{
    m_files->restoreDefaults();
    m_knownTags->clear();
}

// ------------------------------------------------ frames in

void SimReader::onFrame(SimChannel *channel, const SimCodec::Frame &frame)
{
    if (!m_plugged || m_restarting)
        return;

    if (!frame.crcOk) {
        // The address byte of a damaged frame is not to be trusted either; a
        // reader with an address takes the frame as its own only when that
        // byte still matches.
        QByteArray ignored;
        if (!frame.payloadFor(m_address, &ignored))
            return;
        ++m_badCrcCount;
        answer(channel, QByteArray("\xFF\xFF\x02", 3));
        return;
    }

    QByteArray payload;
    if (!frame.payloadFor(m_address, &payload))
        return; // for another reader on the line
    if (!payload.isEmpty() && m_answerFaults->requestLost(quint8(payload.at(0))))
        return; // it never reached the reader
    m_received.append(payload);
    if (payload.isEmpty())
        return; // a frame with nothing but its CRC

    SimRequest request;
    request.code = quint8(payload.at(0));
    request.params = payload.mid(1);
    request.m_reader = this;
    request.m_channel = channel;
    emit requestReceived(request.code, request.params);
    const auto failure = m_failures.find(request.code);
    if (failure != m_failures.end()) {
        const quint16 number = failure->first;
        if (failure->second > 0 && --failure->second == 0)
            m_failures.erase(failure);
        request.error(number);
        return;
    }

    const auto handler = m_handlers.constFind(request.code);
    if (handler != m_handlers.constEnd())
        (*handler)(request);
    else if (m_ackUnknown && request.code != kCmdError)
        request.ack();
}

// ------------------------------------------------ frames out

QByteArray SimReader::makeFrame(const QByteArray &payload)
{
    QByteArray frame = SimCodec::buildFrame(m_address, payload);
    if (m_corruptNext) {
        m_corruptNext = false;
        frame[frame.size() - 1] = char(frame.at(frame.size() - 1) ^ 0x5A);
    }
    return frame;
}

void SimReader::writeFrame(SimChannel *channel, const QByteArray &frame)
{
    if (!channel || !channel->isOpen())
        return;
    channel->write(frame);
    emit frameSent(frame);
    m_answerFaults->frameSent();
}

void SimReader::answer(SimChannel *channel, const QByteArray &payload, int busyMs)
{
    if (m_silent || !m_plugged || m_restarting || !channel)
        return;
    const SimAnswerFaults::Decision fault = m_answerFaults->decide(payload.size() > 1 ? quint8(payload.at(1)) : 0);
    if (fault.lose)
        return;
    const QueuedAnswer answer {channel, makeFrame(payload), 0, fault.twice ? fault.twiceGapMs : -1};
    const int delayMs = m_answerDelayMs + busyMs + fault.lateMs;
    if (delayMs == 0 && m_answerQueue.isEmpty()) {
        sendAnswer(answer);
        return;
    }
    queueAnswer(answer, delayMs, busyMs);
}

// An answer goes out after its delay, and never before the answers to
// earlier requests; the time the reader works on a request (busyMs) starts
// when the answer before it has gone.
void SimReader::queueAnswer(QueuedAnswer answer, int delayMs, int busyMs)
{
    answer.due = m_clock.elapsed() + delayMs;
    if (!m_answerQueue.isEmpty())
        answer.due = qMax(answer.due, m_answerQueue.last().due + busyMs);
    m_answerQueue.append(answer);
    if (!m_answerTimer->isActive())
        m_answerTimer->start(int(qMax<qint64>(0, m_answerQueue.first().due - m_clock.elapsed())));
}

void SimReader::sendQueuedAnswers()
{
    while (!m_answerQueue.isEmpty() && m_answerQueue.first().due <= m_clock.elapsed())
        sendAnswer(m_answerQueue.takeFirst());
    if (!m_answerQueue.isEmpty())
        m_answerTimer->start(int(qMax<qint64>(0, m_answerQueue.first().due - m_clock.elapsed())));
}

// The copy of an answer sent twice leaves copyGapMs after the answer itself
// did (0: right behind it), on a timer of its own: it holds no later answer
// up, and a gap of a few milliseconds stays that many on the wire.
void SimReader::sendAnswer(const QueuedAnswer &answer)
{
    if (!m_plugged || !answer.channel)
        return;
    writeFrame(answer.channel, answer.frame);
    if (answer.copyGapMs == 0) {
        writeFrame(answer.channel, answer.frame);
    } else if (answer.copyGapMs > 0) {
        QTimer::singleShot(answer.copyGapMs, Qt::PreciseTimer, this, [this, answer] {
            if (m_plugged && answer.channel)
                writeFrame(answer.channel, answer.frame);
        });
    }
}

void SimReader::sendFrame(const QByteArray &payload)
{
    if (!m_plugged || m_restarting)
        return;
    const QList<SimChannel *> channels = openChannels();
    if (channels.isEmpty())
        return;
    const QByteArray frame = makeFrame(payload);
    for (SimChannel *channel : channels)
        writeFrame(channel, frame);
}

void SimReader::sendLogLine(const QString &text)
{
    QByteArray payload;
    payload.append(char(kStatusLog));
    payload.append(text.toLatin1());
    payload.append('\0');
    sendFrame(payload);
}

void SimReader::sendEvent(quint8 number, const QByteArray &data)
{
    QByteArray payload;
    payload.append(char(kStatusEvent));
    payload.append(char(number));
    payload.append(data);
    sendFrame(payload);
}

void SimReader::startFlood(SimFlood::Kind kind, quint32 seed)
{
    m_flood = std::make_unique<SimFlood::Source>(kind, seed, m_address);
    if (!m_floodTimer) {
        m_floodTimer = new QTimer(this);
        m_floodTimer->setInterval(1);
        // Each channel is kept at a backlog of 32 KiB: as fast as the other
        // side reads, never more than it can take.
        connect(m_floodTimer, &QTimer::timeout, this, [this] {
            if (!m_flood || !m_plugged || m_restarting)
                return;
            for (SimChannel *channel : openChannels()) {
                while (channel->isOpen() && channel->backlog() < 32 * 1024)
                    channel->write(m_flood->next(8 * 1024));
            }
        });
    }
    m_floodTimer->start();
}

void SimReader::stopFlood()
{
    if (m_floodTimer)
        m_floodTimer->stop();
    m_flood.reset();
}

quint64 SimReader::floodFrames() const
{
    return m_flood ? m_flood->frames() : 0;
}

void SimReader::sendRaw(const QByteArray &bytes)
{
    if (!m_plugged || m_restarting)
        return;
    for (SimChannel *channel : openChannels())
        channel->write(bytes);
}
