#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QtTest>
#include <functional>

#include "sim/simreader.h"

// The requests a simulated reader receives from the moment this is made,
// each as its payload (command code first), with the time it came. The
// request for log lines that follows every connect ("CMD_LOG" E4) is left
// out unless asked for. onRequest, when set, sees each one as it comes.
struct RequestLog
{
    QList<QByteArray> list;
    QList<qint64> times;
    QElapsedTimer clock;
    std::function<void(const QByteArray &)> onRequest;

    explicit RequestLog(SimReader *reader, bool withLogRequests = false)
    {
        clock.start();
        QObject::connect(reader, &SimReader::requestReceived,
                         [this, withLogRequests](quint8 code, const QByteArray &params) {
                             if (!withLogRequests && code == 0xE4)
                                 return;
                             list << (QByteArray(1, char(code)) + params);
                             times << clock.elapsed();
                             if (onRequest)
                                 onRequest(list.last());
                         });
    }
    int count(const QByteArray &payload) const { return list.count(payload); }
    int count(uint8_t code) const { return withCode(code).size(); }
    QList<QByteArray> withCode(uint8_t code) const
    {
        QList<QByteArray> out;
        for (const QByteArray &r : list)
            if (uint8_t(r.at(0)) == code)
                out << r;
        return out;
    }
    // Milliseconds from this log's start to each request with code.
    QList<qint64> timesOf(uint8_t code) const
    {
        QList<qint64> out;
        for (int i = 0; i < list.size(); ++i)
            if (uint8_t(list[i].at(0)) == code)
                out << times[i];
        return out;
    }
    qint64 timeOfFirst(uint8_t code) const { return timesOf(code).value(0, -1); }
    bool waitFor(const QByteArray &payload, int timeoutMs = 2000)
    {
        return QTest::qWaitFor([&] { return list.contains(payload); }, timeoutMs);
    }
};
