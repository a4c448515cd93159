#include "core/WakeBell.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

namespace wakebell {

namespace {

QMutex s_mutex;
QWaitCondition s_rang;
quint64 s_rings = 0;

} // namespace

quint64 rings()
{
    QMutexLocker lock(&s_mutex);
    return s_rings;
}

void ring()
{
    QMutexLocker lock(&s_mutex);
    ++s_rings;
    s_rang.wakeAll();
}

void requestStop(QThread *thread)
{
    if (thread)
        thread->requestInterruption();
    ring();
}

bool sleep(quint64 seen, qint64 ms)
{
    const QDeadlineTimer deadline(ms < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(ms));
    QThread *self = QThread::currentThread();
    QMutexLocker lock(&s_mutex);
    for (;;) {
        if (s_rings != seen || self->isInterruptionRequested())
            return true;
        if (deadline.hasExpired() || !s_rang.wait(&s_mutex, deadline))
            return s_rings != seen || self->isInterruptionRequested();
    }
}

} // namespace wakebell
