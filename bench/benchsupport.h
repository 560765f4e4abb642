#pragma once

// Shared by the benchmarks, most of it by those that build a real MainWindow.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkInterface>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "discovery/announcement.h"

namespace Bench {

// Runs the event loop until done() holds (looked at every millisecond) or
// timeoutMs have passed; whether it holds.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(1);
    if (!done())
        loop.exec();
    return done();
}

// Debug and information output of the window would drown the figures.
inline void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Before the application object: the offscreen platform unless another one
// is asked for.
inline void preferOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// After the application object: a settings store of the window's own, which
// goes with this, and quiet output.
class WindowEnvironment
{
public:
    WindowEnvironment()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
        qInstallMessageHandler(quietHandler);
    }

private:
    QTemporaryDir m_settings;
};

// The longest time the GUI event loop went without turning while it ran.
class GapMeter
{
public:
    GapMeter()
    {
        m_beat.setTimerType(Qt::PreciseTimer);
        m_beat.setInterval(1);
        QObject::connect(&m_beat, &QTimer::timeout, [this] { m_longest = std::max(m_longest, m_gap.restart()); });
    }
    void start()
    {
        m_longest = 0;
        m_gap.start();
        m_beat.start();
    }
    qint64 stop()
    {
        m_beat.stop();
        return std::max(m_longest, m_gap.elapsed());
    }

private:
    QTimer m_beat;
    QElapsedTimer m_gap;
    qint64 m_longest = 0;
};

// A line of /proc/self/status in kilobytes (VmRSS, VmHWM), 0 when unknown.
inline qint64 procStatusKb(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key)) + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

} // namespace Bench
