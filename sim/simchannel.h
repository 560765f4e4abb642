#pragma once

// Byte streams between the simulated reader and a client.
//
// A SimChannel is one stream with its own frame parser: the pty of a serial
// line (SimBus) or one accepted TCP connection (SimTcpChannel). Readers listen
// to a channel's frames and answer on the same channel. A SimBus may carry
// several readers, like an RS485 line: every reader attached to it sees every
// frame and decides by the address byte whether the frame is its own.

#include "sim/simcodec.h"

#include <QObject>
#include <QString>

class QSocketNotifier;
class QTcpSocket;

class SimChannel : public QObject
{
    Q_OBJECT
public:
    explicit SimChannel(QObject *parent = nullptr);

    virtual bool isOpen() const = 0;
    virtual QString description() const = 0;
    // Writes bytes as they are. Does nothing while the channel is closed.
    virtual void write(const QByteArray &bytes) = 0;
    // Bytes written that the other side has not taken yet.
    virtual qint64 backlog() const = 0;

signals:
    void bytesReceived(const QByteArray &bytes); // raw, as they arrived
    void frameReceived(const SimCodec::Frame &frame); // after bytesReceived
    void closed();

protected:
    void deliver(const QByteArray &bytes);
    void resetParser() { m_parser.reset(); }

private:
    SimCodec::Parser m_parser;
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
    void write(const QByteArray &bytes) override;
    qint64 backlog() const override { return m_pending.size(); }

    QString ptyPath() const { return m_slavePath; }
    QString linkPath() const { return m_linkPath; }

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
    void write(const QByteArray &bytes) override;
    qint64 backlog() const override;
    // Closes the connection from the reader's side.
    void close();

private:
    QTcpSocket *m_socket;
};
