#pragma once

// The reader's side of network discovery. A reader on a network makes itself
// known to clients with UDP announcements
//   Q_R4:<name>:<version>
// (version as the reader reports it to Get firmware version), sent to a
// client's discovery port 63311 at a steady interval and once more whenever
// a client's scan request "Q_R4:SCAN" reaches it.
//
// The simulator sends only where it is told: 127.0.0.1 unless another target
// is set, whoever sent the scan request. It listens for scan requests only
// when asked to, on a port of its own choosing (63311 is the client's).

#include <QHostAddress>
#include <QObject>
#include <QString>

class QTimer;
class QUdpSocket;
class SimReader;

class SimUdp : public QObject
{
    Q_OBJECT
public:
    static constexpr quint16 kDiscoveryPort = 63311;
    static constexpr int kDefaultIntervalMs = 2000;

    // Announces reader's version; the reader is not owned and must outlive
    // this object (make it the parent).
    explicit SimUdp(SimReader *reader, QObject *parent = nullptr);
    ~SimUdp() override;

    void setName(const QString &name) { m_name = name; }
    QString name() const { return m_name; }

    void setTarget(const QHostAddress &address, quint16 port = kDiscoveryPort);
    QHostAddress targetAddress() const { return m_target; }
    quint16 targetPort() const { return m_targetPort; }

    // The address announcements are sent from (any local address unless
    // set), so that several simulated readers on 127.0.0.x look like
    // different hosts. False when it cannot be bound.
    bool setSourceAddress(const QHostAddress &address);
    QHostAddress sourceAddress() const { return m_source; }

    // Regular announcements every intervalMs (at least 10 ms) while started.
    void setInterval(int intervalMs);
    int interval() const { return m_intervalMs; }
    void start(); // announces at once, then on the interval
    void stop();
    bool isAnnouncing() const;

    // Answers scan requests arriving at address:port (0: any free port) with
    // one announcement each, to the target. False when the port is taken.
    bool listenForScans(quint16 port = 0, const QHostAddress &address = QHostAddress::LocalHost);
    quint16 scanPort() const;
    void stopListening();

    // The announcement as it goes on the wire.
    QByteArray datagram() const;
    // One announcement now, to the target.
    bool announce();

    int announcementsSent() const { return m_sent; }
    int scanRequestsReceived() const { return m_scans; }

signals:
    void announced(const QByteArray &datagram);
    void scanRequestReceived(const QHostAddress &sender);

private:
    void readScanRequests();

    SimReader *m_reader;
    QString m_name = QStringLiteral("RX-Sim");
    QHostAddress m_target = QHostAddress(QHostAddress::LocalHost);
    quint16 m_targetPort = kDiscoveryPort;
    QHostAddress m_source;
    int m_intervalMs = kDefaultIntervalMs;
    QTimer *m_timer = nullptr;
    QUdpSocket *m_sender = nullptr;
    QUdpSocket *m_scanSocket = nullptr;
    int m_sent = 0;
    int m_scans = 0;
};
