#pragma once

#include <QByteArray>
#include <QList>
#include <QtTest>

#include "sim/simreader.h"

// The requests a simulated reader receives from the moment this is made,
// each as its payload (command code first). The request for log lines that
// follows every connect ("CMD_LOG" E4) is left out unless asked for.
struct RequestLog
{
    QList<QByteArray> list;

    explicit RequestLog(SimReader *reader, bool withLogRequests = false)
    {
        QObject::connect(reader, &SimReader::requestReceived,
                         [this, withLogRequests](quint8 code, const QByteArray &params) {
                             if (withLogRequests || code != 0xE4)
                                 list << (QByteArray(1, char(code)) + params);
                         });
    }
    int count(const QByteArray &payload) const { return list.count(payload); }
    int count(uint8_t code) const
    {
        int n = 0;
        for (const QByteArray &r : list)
            n += uint8_t(r.at(0)) == code;
        return n;
    }
    QList<QByteArray> withCode(uint8_t code) const
    {
        QList<QByteArray> out;
        for (const QByteArray &r : list)
            if (uint8_t(r.at(0)) == code)
                out << r;
        return out;
    }
    bool waitFor(const QByteArray &payload, int timeoutMs = 2000)
    {
        return QTest::qWaitFor([&] { return list.contains(payload); }, timeoutMs);
    }
};
