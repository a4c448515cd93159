#pragma once

#include <QRecursiveMutex>
#include <QString>

#include <atomic>

// Named process-wide locks of the cloud work ("CloudSync", "CloudSyncActionLog",
// "CloudSyncBookLog"); re-entrant for their holder.
QRecursiveMutex &cloudLock(const QString &name);

// Holds a named lock for its scope. On the GUI thread it never blocks: it polls tryLock every
// 50 ms in a local event loop, so a worker holding the lock can still finish.
class CloudLockGuard final
{
public:
    explicit CloudLockGuard(const QString &name);
    ~CloudLockGuard();
    Q_DISABLE_COPY(CloudLockGuard)

private:
    QRecursiveMutex &m_mutex;
};

// Set while a cloud operation started from the window runs (its local event loop takes user
// input): the cloud actions are disabled, its dialog cannot close, and a close of the window waits.
namespace cloudop {
bool running();
// False when one is running already: a second one is refused, never nested.
bool begin();
void end();
} // namespace cloudop

class CloudOperationScope final
{
public:
    CloudOperationScope() : m_started(cloudop::begin()) {}
    ~CloudOperationScope()
    {
        if (m_started)
            cloudop::end();
    }
    bool started() const { return m_started; }
    Q_DISABLE_COPY(CloudOperationScope)

private:
    bool m_started;
};
