#pragma once
// Runs the Qt event loop until a condition holds or a time limit passes.
// Tests use it instead of fixed sleeps so they stay fast on a quiet machine
// and still pass on a loaded one.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

inline bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs)
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// Runs the event loop for a fixed time (for checks that something does NOT happen).
inline void Pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}
