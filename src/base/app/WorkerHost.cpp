#include "app/WorkerHost.h"

#include "core/WakeBell.h"
#include "log/Log.h"

#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>

WorkerHost::WorkerHost(QObject *parent) : QObject(parent) {}

WorkerHost::~WorkerHost() = default;

void WorkerHost::registerThread(QThread *thread)
{
    if (thread)
        m_threads.append(thread);
}

QList<QThread *> WorkerHost::threads() const
{
    QList<QThread *> list;
    for (const QPointer<QThread> &t : m_threads)
        if (t)
            list.append(t);
    return list;
}

bool WorkerHost::stopAll(int timeoutMs)
{
    if (m_stopped)
        return m_allStopped;
    m_stopped = true;
    m_allStopped = stopThreads(threads(), timeoutMs);
    return m_allStopped;
}

bool WorkerHost::stopThreads(const QList<QThread *> &threads, int timeoutMs)
{
    // Everyone is told at once, so long calls in several workers end in parallel.
    for (QThread *t : threads) {
        if (!t)
            continue;
        wakebell::requestStop(t);
        t->quit();
    }
    bool allStopped = true;
    for (QThread *t : threads) {
        if (!t)
            continue;
        QElapsedTimer waited;
        waited.start();
        while (!t->wait(50)) {
            if (waited.elapsed() >= timeoutMs) {
                writeLog(QStringLiteral("err"), QStringLiteral("线程未能在%1毫秒内结束").arg(timeoutMs));
                allStopped = false;
                break;
            }
        }
    }
    allStopped = QThreadPool::globalInstance()->waitForDone(timeoutMs) && allStopped;
    return allStopped;
}
