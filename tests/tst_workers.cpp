// The worker threads' host: registration and the one shutdown routine every way out uses.
#include "TestProfile.h"

#include "app/WorkerHost.h"

#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

class TestWorkers : public QObject
{
    Q_OBJECT
private slots:
    void shutdownStopsWorkers()
    {
        TestProfile profile; // a thread left running is logged
        std::atomic<int> started{0};
        auto worker = [&started](int deafMs) { // a long call that looks at the interruption after deafMs
            return std::unique_ptr<QThread>(QThread::create([&started, deafMs] {
                ++started;
                QThread::msleep(deafMs);
                while (!QThread::currentThread()->isInterruptionRequested())
                    QThread::msleep(5);
            }));
        };
        WorkerHost host;
        const auto quick = worker(0), slow = worker(600), late = worker(0);
        {
            // A thread deleted by its owner drops off the list.
            const auto gone = worker(0);
            host.registerThread(gone.get());
        }
        host.registerThread(slow.get());
        host.registerThread(quick.get());
        QCOMPARE(host.threads().size(), 2);
        quick->start();
        slow->start();
        QTRY_COMPARE(started.load(), 2);
        // Past the time limit a worker is reported and left running (never deleted while running).
        QVERIFY(!host.stopAll(100));
        QVERIFY(quick->isFinished());
        QVERIFY(slow->isRunning());
        // The routine runs once: a second call (the window's destructor after a close) neither
        // asks nor waits again.
        host.registerThread(late.get());
        late->start();
        QVERIFY(!host.stopAll());
        QVERIFY(!late->isInterruptionRequested());
        // Within the limit the wait goes on in slices until the worker ends.
        QVERIFY(WorkerHost::stopThreads({slow.get(), late.get()}, 5000));
        QVERIFY(slow->isFinished() && late->isFinished());
    }
};

QTEST_GUILESS_MAIN(TestWorkers)
#include "tst_workers.moc"
