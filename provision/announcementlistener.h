#pragma once

#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUdpSocket>
#include <QVector>

// discover: the readers that announce themselves on the discovery port
// while rx-provision listens. Only when a network is given does it ask for
// announcements too: a scan request to every host of that network at once
// and then once a second, as the window's scan does for its /24 networks.
class AnnouncementListener : public QObject
{
    Q_OBJECT

public:
    explicit AnnouncementListener(QObject *parent = nullptr);

    // The hosts of a.b.c.d/N (N 16 to 32): every address of the network but
    // its network and broadcast addresses (/31 and /32: every address).
    // Empty error when text is such a network.
    static QVector<quint32> networkHosts(const QString &text, QString *error);

    // Binds the discovery port on every local IPv4 address; the reason when
    // that fails (another client on this computer may hold it).
    QString listen();
    void scan(const QVector<quint32> &hosts);

signals:
    // A reader heard for the first time: its address, name and version.
    void found(const QString &address, const QString &name, const QString &version);

private:
    void receive();
    void sendScan();

    QUdpSocket m_listener;
    QUdpSocket m_sender;
    QVector<quint32> m_hosts;
    QTimer m_again;
    QSet<QString> m_heard;
};
