#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>

// Runs the event loop until done() holds, false after timeoutMs. It does not
// sleep between rounds, so a long stop-and-wait exchange with the in-process
// reader goes at the speed of the link, and what arrives is seen as it comes.
inline bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake; // the loop never sleeps for long
    wake.start(5);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}
