#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <limits>

// One of the three background jobs (start-up work, heartbeat, periodic work), each a slot run on
// a thread of its own. Workers never touch widgets: they report through threadWorkerSignal.
class CommonThreadWorker final : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kNever = std::numeric_limits<qint64>::min();

    // Times on the worker's monotonic clock (ms), kNever until first set: a change of the wall
    // clock neither fires an interval early nor stalls it.
    qint64 lastBackupTime = kNever;
    qint64 lastSyncTime = kNever;
    qint64 lastLogUploadTime = kNever;

    // Lengths of the waits; tests shorten them.
    struct Timing {
        int startPauseMs = 500;
        int sliceMs = 100;
        int heartbeatOkSlices = 1800;
        int heartbeatRetrySlices = 150;
        int loopPauseMs = 500;
        qint64 backupIntervalMs = 1800 * 1000;
        qint64 syncIntervalMs = 120 * 1000;
        qint64 logUploadIntervalMs = 900 * 1000;
    };
    Timing timing;

    // The work the loop calls; tests replace them. Defaults: the periodic backup, the background
    // upload (true with its error code and text) and the usage-log upload.
    std::function<bool()> backup;
    std::function<bool(QString *errorCode, QString *errorText)> push;
    std::function<bool()> uploadLogs;

    explicit CommonThreadWorker(QObject *parent = nullptr);

    // Replaces the monotonic clock (ms); tests move it instead of waiting out the intervals.
    std::function<qint64()> clock;
    qint64 now() const { return clock ? clock() : m_clock.elapsed(); }

    // One round of each loop check (loopProcWorker runs them in this order).
    void backupCheck();
    void syncCheck();
    void logUploadCheck();
    // Milliseconds until one of the loop checks may act, by the settings, the session and the
    // last times; -1 when none can until the settings or the session change (both ring the bell).
    qint64 nextCheckIn() const;
    // One heartbeat round after its wait.
    void heartbeatRound();

signals:
    bool threadWorkerSignal(QString signalGroup, QString signalValue, bool sucess = true, QString signalDetail = QString());
    // Declared for a blocking report; no job emits it.
    bool threadWorkerWaitSignal(QString signalGroup, QString signalValue, bool sucess = true, QString signalDetail = QString());

public slots:
    void appInitWorker();
    void heartbeatWorker();
    void loopProcWorker();

private:
    static bool interrupted();
    // Sleeps ms without waking in between; false when a stop was asked for (wakebell::requestStop).
    bool pause(qint64 ms);
    // Runs one step, logging whatever it throws; false when a stop was asked for.
    bool step(const QString &name, const std::function<void()> &work);

    QElapsedTimer m_clock;
};
