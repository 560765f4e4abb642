#pragma once

// Byte streams between the simulated reader and a client.
//
// A SimChannel is one stream with its own frame parser: the pty of a serial
// line (SimBus) or one accepted TCP connection (SimTcpChannel). Readers listen
// to a channel's frames and answer on the same channel. A SimBus may carry
// several readers, like an RS485 line: every reader attached to it sees every
// frame and decides by the address byte whether the frame is its own.
//
// A channel may be paced to the rate of a serial line (setBaudRate): the
// bytes it sends leave no faster than the line carries them, and the bytes
// it receives reach its parser no sooner than they would have come over the
// line, ten bits to a byte (start, eight data bits, stop).

#include "sim/simcodec.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QSocketNotifier;
class QTcpSocket;

// Bytes on their way over a serial line. A byte is through one byte time
// after the byte before it, or, on an idle line, one byte time after it was
// put on the line. Times are nanoseconds of one clock.
class SimLineQueue
{
public:
    // byteNs 0: the bytes are through as soon as those before them are.
    void push(const QByteArray &bytes, qint64 nowNs, qint64 byteNs);
    // The bytes through by nowNs, in order; they leave the queue.
    QByteArray takeThrough(qint64 nowNs);
    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    void clear();

private:
    struct Chunk
    {
        QByteArray bytes;
        qint64 startNs; // byte i is through at startNs + (i + 1) * byteNs
        qint64 byteNs;
    };
    QList<Chunk> m_chunks;
    int m_taken = 0; // of the first chunk
    qint64 m_size = 0;
    qint64 m_lineFreeNs = 0; // when the last byte queued is through
};

class SimChannel : public QObject
{
    Q_OBJECT
public:
    explicit SimChannel(QObject *parent = nullptr);

    virtual bool isOpen() const = 0;
    virtual QString description() const = 0;
    // Writes bytes as they are, on a paced line behind those still waiting
    // for it. Does nothing while the channel is closed.
    void write(const QByteArray &bytes);
    // Bytes written that the other side has not taken yet, those waiting
    // for the line included.
    qint64 backlog() const { return m_out.size() + transportBacklog(); }

    // The line's rate in baud; 0 (at start): bytes go as fast as the
    // transport takes them. Bytes already waiting keep their times.
    void setBaudRate(int baud);
    int baudRate() const { return m_baud; }

signals:
    void bytesReceived(const QByteArray &bytes); // raw, as they came through the line
    void frameReceived(const SimCodec::Frame &frame); // after bytesReceived
    void closed();

protected:
    // What the transport does with bytes that are through the line.
    virtual void transmit(const QByteArray &bytes) = 0;
    virtual qint64 transportBacklog() const = 0;
    // Bytes as the transport read them.
    void deliver(const QByteArray &bytes);
    // A new link: no frame begun, nothing on the line either way.
    void resetLine();

private:
    void enterLine(SimLineQueue &queue, const QByteArray &bytes, void (SimChannel::*through)(const QByteArray &));
    void parse(const QByteArray &bytes);
    void releaseThrough();

    SimCodec::Parser m_parser;
    int m_baud = 0;
    qint64 m_byteNs = 0;
    SimLineQueue m_out;
    SimLineQueue m_in;
    QElapsedTimer m_clock;
    // Ticks while bytes wait, each releasing every byte through by then:
    // a wake-up a millisecond, not one a byte.
    QTimer m_tick;
};

// The simulator's end of a pseudo-terminal. The client opens the slave side
// (ptyPath(), or the symbolic link) like any serial port.
class SimBus : public SimChannel
{
    Q_OBJECT
public:
    explicit SimBus(QObject *parent = nullptr);
    ~SimBus() override;

    // Opens a new pty; with linkPath, also a symbolic link to its slave
    // (an existing link there is replaced; any other file is left alone and
    // the open fails). Closes the pty that was open before.
    bool open(const QString &linkPath = QString());
    // Closes the pty (the client's port then fails as if the device was
    // pulled) and removes the link if it still points at this pty.
    void close();

    bool isOpen() const override { return m_master >= 0; }
    QString description() const override;

    QString ptyPath() const { return m_slavePath; }
    QString linkPath() const { return m_linkPath; }

protected:
    void transmit(const QByteArray &bytes) override;
    qint64 transportBacklog() const override { return m_pending.size(); }

private:
    void readMaster();
    void flushPending();
    void removeLink();

    int m_master = -1;
    int m_slave = -1; // held open so the master never sees a hang-up when the client closes
    QString m_slavePath;
    QString m_linkPath;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_pending; // bytes the pty did not take yet
};

// One accepted TCP connection; owns its socket.
class SimTcpChannel : public SimChannel
{
    Q_OBJECT
public:
    explicit SimTcpChannel(QTcpSocket *socket, QObject *parent = nullptr);

    bool isOpen() const override;
    QString description() const override;
    // Closes the connection from the reader's side; bytes still waiting for
    // the line are lost with it.
    void close();

protected:
    void transmit(const QByteArray &bytes) override;
    qint64 transportBacklog() const override;

private:
    QTcpSocket *m_socket;
};
