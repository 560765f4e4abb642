#include "provision/provisionjob.h"

#include <QSerialPort>

#include "common/readertext.h"

ProvisionJob::ProvisionJob(const ProvisionTarget &target, const QString &command, QObject *parent)
    : QObject(parent)
    , target(target)
    , command(command)
{
    const auto logged = [this](const QString &line) {
        lastLine = line;
        emit progress(line, true);
    };
    connect(&session, &ReaderSession::logLine, this, logged);
    connect(&session.link, &ReaderLink::logLine, this, logged);
    connect(&session, &ReaderSession::versionRead, this, &ProvisionJob::versionRead);
    connect(&session, &ReaderSession::gaveUp, this,
            [this] { finish(false, QStringLiteral("the reader does not answer")); });
    connect(&session.link, &ReaderLink::tcpFailed, this, [this] {
        finish(false, QStringLiteral("no TCP connection to %1:%2").arg(this->target.port).arg(this->target.tcpPort));
    });
}

void ProvisionJob::start()
{
    clock.start();
    emit progress(QStringLiteral("connecting"), false);
    if (target.kind == ProvisionTarget::Tcp) {
        session.link.connectTcp(target.port, target.tcpPort); // the version follows by itself
        return;
    }
    session.link.protocol.setAddress(target.address);
    if (!session.link.openSerial(target.port, target.baudRate, QSerialPort::NoParity)) {
        finish(false, lastLine);
        return;
    }
    session.checkVersion(500);
}

void ProvisionJob::versionRead(const QString &text)
{
    if (done)
        return;
    QJsonObject result;
    result.insert(QStringLiteral("version"), oneLine(text));
    finish(true, QString(), result);
}

void ProvisionJob::finish(bool ok, const QString &detail, QJsonObject result)
{
    if (done)
        return;
    done = true;
    session.link.forgetRequest();
    session.link.oneShotState = ReaderStates::Idle;
    session.link.closeSerial();
    session.link.disconnectTcp();
    result.insert(QStringLiteral("target"), target.text);
    result.insert(QStringLiteral("command"), command);
    result.insert(QStringLiteral("ok"), ok);
    result.insert(QStringLiteral("detail"), detail);
    result.insert(QStringLiteral("elapsed_ms"), double(clock.elapsed()));
    emit progress(ok ? QStringLiteral("done") : QStringLiteral("failed: ") + detail, false);
    emit finished(result);
}
