#include "cloud/CloudLocks.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHash>
#include <QMutex>
#include <QThread>
#include <QTimer>

#include <memory>

QRecursiveMutex &cloudLock(const QString &name)
{
    static QMutex guard;
    static QHash<QString, std::shared_ptr<QRecursiveMutex>> locks;
    QMutexLocker lock(&guard);
    auto &slot = locks[name];
    if (!slot)
        slot = std::make_shared<QRecursiveMutex>();
    return *slot;
}

CloudLockGuard::CloudLockGuard(const QString &name) : m_mutex(cloudLock(name))
{
    const QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        m_mutex.lock();
        return;
    }
    while (!m_mutex.tryLock()) {
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

CloudLockGuard::~CloudLockGuard() { m_mutex.unlock(); }

namespace cloudop {
namespace {
std::atomic<bool> g_running{false};
}
bool running() { return g_running.load(); }
bool begin()
{
    bool expected = false;
    return g_running.compare_exchange_strong(expected, true);
}
void end() { g_running = false; }
} // namespace cloudop
