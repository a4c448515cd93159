#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QThread;

// Owns the way out for the worker threads: the workers register their threads here, and one
// routine (close, signal-driven quit, install, restart) stops them all. The host does not own
// the threads; a thread deleted by its owner simply drops off the list.
class WorkerHost final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(WorkerHost)
public:
    static constexpr int kDefaultTimeoutMs = 5000;

    explicit WorkerHost(QObject *parent = nullptr);
    ~WorkerHost() override;

    void registerThread(QThread *thread);
    // The registered threads that still exist.
    QList<QThread *> threads() const;

    // Stops the registered threads with stopThreads, once: later calls return the first result
    // at once, so the destructor after a close does not wait a second time.
    bool stopAll(int timeoutMs = kDefaultTimeoutMs);
    bool isStopped() const { return m_stopped; }

    // All are asked to stop at once (their sleepers woken), then waited for in 50 ms slices up to timeoutMs each; the
    // thread pool is waited for too. A thread that does not stop is logged and left running
    // (never deleted while it runs). True when every thread has finished.
    static bool stopThreads(const QList<QThread *> &threads, int timeoutMs = kDefaultTimeoutMs);

private:
    QList<QPointer<QThread>> m_threads;
    bool m_stopped = false;
    bool m_allStopped = true;
};
