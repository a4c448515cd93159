#pragma once

#include <QtGlobal>

#include <functional>

class QThread;

// Where worker threads sleep when they have nothing to do: a sleeper wakes when its time is up
// or when the bell rings (a stop was requested, or new work arrived), so no worker wakes up
// just to ask whether it should stop.
namespace wakebell {

// Rings since the process started; read it before deciding to sleep, so that a ring in between
// is not slept through.
quint64 rings();
// Wakes every sleeper.
void ring();
// Asks threads to stop (QThread::requestInterruption) and rings.
void requestStop(QThread *thread);
// Sleeps until the bell has rung after `seen`, ms have passed (ms < 0: no limit), or the
// current thread is asked to stop. True when it rang or the thread was asked to stop.
bool sleep(quint64 seen, qint64 ms);

} // namespace wakebell
