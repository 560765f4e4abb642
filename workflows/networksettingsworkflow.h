#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

#include "workflows/networkconfig.h"
#include "workflows/readerworkflow.h"

// The reader's Wi-Fi and IP settings, read and written one "Network config"
// sub-command at a time; the sub-command echoed in each answer picks the
// next request. A read reports each setting as it comes, a write takes each
// setting's value as it sends it. Made on a session, it takes that
// session's "Network config" answers.
class NetworkSettingsWorkflow : public ReaderWorkflow
{
    Q_OBJECT

public:
    using ReaderWorkflow::ReaderWorkflow;

    // Where the settings are being edited. When set, a step takes the
    // settings from it as it goes, so edits made while a read or a write
    // runs count; otherwise a write sends what it was given.
    std::function<NetworkConfig::Settings()> latestEdits;

    void read();
    void write(const NetworkConfig::Settings &settings);
    // An answer to the running read or write: the sub-command, the value.
    void answered(const QByteArray &data);
    // The running read or write has failed; the last line says why (ending,
    // when known) and, for a write, which settings the reader holds anew.
    void fail(const QString &ending);

    // Why settings' SSID or password (sub) cannot be written in one frame;
    // empty when it can, or when it is not written at all.
    QString textTooLong(int sub, const NetworkConfig::Settings &settings) const;
    // Whether writing settings would turn the reader's Wi-Fi, as read, from
    // a secured network into an open access point.
    bool opensSecuredNetwork(const NetworkConfig::Settings &settings) const;
    // What quitting during the running write would leave on the reader;
    // empty while nothing is written.
    QString quitRisk() const;

    bool readDone = false; // the settings shown are what this link's reader holds
    int readMode = -1; // the Wi-Fi mode and authentication it had
    int readAuth = -1;

signals:
    // Setting sub was read; settings holds it (and the others read so far).
    // A value the view's choices do not have is logged instead.
    void settingRead(int sub, const NetworkConfig::Settings &settings);

private:
    void readAnswered(int sub, const QByteArray &value);
    void writeAnswered(int sub);
    void takeLatestEdits();
    bool writing() const;
    QString writeSummary() const;
    void log(const QString &line) { emit logLine(line); }

    NetworkConfig::Settings settings; // being written, or as read
    QList<int> written; // the settings this write has changed, in order
    SessionSlot<NetworkSettingsWorkflow> registered {session.networkSettings, this}; // the session calls it
};
