#include "cloud/CommonThreadWorker.h"

#include "app/App.h"
#include "app/Exception.h"
#include "core/WakeBell.h"
#include "cloud/ClientInfo.h"
#include "cloud/CloudSync.h"
#include "cloud/Upgrade.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"

#include <QSqlRecord>
#include <QThread>

namespace {

const QString kAppInit = QStringLiteral("appInitWorker");
const QString kHeartbeat = QStringLiteral("heartbeatWorker");
const QString kLoop = QStringLiteral("loopProcWorker");

} // namespace

CommonThreadWorker::CommonThreadWorker(QObject *parent) : QObject(parent)
{
    m_clock.start();
    backup = [] { return backupDatabase(false); };
    push = [](QString *code, QString *text) {
        CloudSync sync(true, false);
        const bool ok = sync.push();
        *code = sync.errorCode();
        *text = sync.errorText();
        return ok;
    };
    uploadLogs = [] {
        CloudSync sync(true, false);
        return sync.uploadLogs();
    };
}

bool CommonThreadWorker::interrupted() { return QThread::currentThread()->isInterruptionRequested(); }

bool CommonThreadWorker::pause(qint64 ms)
{
    // One sleep on the wake bell, not slices: a stop rings it, so nothing wakes to ask.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (interrupted())
            return false;
        const qint64 left = ms - waited.elapsed();
        if (left <= 0)
            return true;
        wakebell::sleep(wakebell::rings(), left);
    }
}

bool CommonThreadWorker::step(const QString &name, const std::function<void()> &work)
{
    if (interrupted())
        return false;
    try {
        work();
    } catch (const Exception &e) {
        if (!e.isAbort())
            writeLog(QStringLiteral("err"), QStringLiteral("%1失败：%2").arg(name, e.message()));
    } catch (const std::exception &e) {
        writeLog(QStringLiteral("err"), QStringLiteral("%1失败：%2").arg(name, QString::fromUtf8(e.what())));
    } catch (...) {
        writeLog(QStringLiteral("err"), QStringLiteral("%1失败：未知异常").arg(name));
    }
    return !interrupted();
}

void CommonThreadWorker::appInitWorker()
{
    if (!pause(timing.startPauseMs))
        return;
    if (!step(QStringLiteral("读取链接"), [] { clientinfo::fetchLinks(); }))
        return;
    if (!step(QStringLiteral("上传客户端信息"), [] { clientinfo::postClientInfo(true); }))
        return;
    emit threadWorkerSignal(kAppInit, QStringLiteral("links"));
    if (sysParamsSnapshot().autoUpgrade) {
        for (const upgrade::Kind kind : {upgrade::App, upgrade::Material}) {
            bool newer = false;
            if (!step(QStringLiteral("检查版本升级"), [&] { newer = upgrade::check(kind).available(); }))
                return;
            if (newer)
                emit threadWorkerSignal(kAppInit, kind == upgrade::App ? QStringLiteral("appUpgrade")
                                                                       : QStringLiteral("materialUpgrade"));
        }
    }
    if (sysParamsSnapshot().loginParams.autoLogin) {
        bool ok = false;
        if (!step(QStringLiteral("自动登录"), [&] { ok = g_App.account().startupLogin(); }))
            return;
        emit threadWorkerSignal(kAppInit, QStringLiteral("logined"), ok);
    }
    if (!step(QStringLiteral("读取资讯"), [] { clientinfo::fetchNews(); }))
        return;
    emit threadWorkerSignal(kAppInit, QStringLiteral("news"));
    emit threadWorkerSignal(kAppInit, QStringLiteral("appInited"));
}

void CommonThreadWorker::heartbeatRound()
{
    step(QStringLiteral("心跳"), [this] {
        const Session s = g_App.account().session();
        if (!s.sessionActive)
            return;
        if (s.heartbeatOk)
            g_App.account().heartbeat();
        if (!s.heartbeatOk || !g_App.account().session().heartbeatOk)
            g_App.account().reloginAfterFailedHeartbeat(
                [this](const QString &value) { emit threadWorkerSignal(kHeartbeat, value); });
    });
}

void CommonThreadWorker::heartbeatWorker()
{
    while (!interrupted()) {
        // Signed out there is nothing to beat: asleep until a sign-in rings the bell, or a stop.
        const quint64 seen = wakebell::rings();
        const Session s = g_App.account().session();
        if (!s.sessionActive) {
            wakebell::sleep(seen, -1);
            continue;
        }
        const int slices = (!s.heartbeatOk && s.sessionActive) ? timing.heartbeatRetrySlices : timing.heartbeatOkSlices;
        if (!pause(qint64(slices) * timing.sliceMs))
            return;
        heartbeatRound();
    }
}

void CommonThreadWorker::backupCheck()
{
    step(QStringLiteral("自动备份"), [this] {
        if (!sysParamsSnapshot().autoBackupDb)
            return;
        if (lastBackupTime == kNever)
            lastBackupTime = now();
        if (now() - lastBackupTime <= timing.backupIntervalMs)
            return;
        // A failed backup waits for the next interval too, not for the next round.
        lastBackupTime = now();
        if (backup())
            emit threadWorkerSignal(kLoop, QStringLiteral("backupDatabase"));
    });
}

void CommonThreadWorker::syncCheck()
{
    step(QStringLiteral("自动云同步"), [this] {
        const SysParams params = sysParamsSnapshot();
        if (!params.cloudSyncParams.active || !params.cloudSyncParams.syncAtThread)
            return;
        if (!g_App.syncOut(QStringLiteral("getCanThreadSync")).toBool()) {
            lastSyncTime = now();
            return;
        }
        const auto rows = execQuery(QStringLiteral(
            "SELECT SUM(cnt) cnt FROM (SELECT COUNT(*) cnt FROM BookTree WHERE Synced=0 UNION ALL "
            "SELECT COUNT(*) FROM MemoTree WHERE Synced=0) a "));
        if (rows.isEmpty() || rows.first().value(QStringLiteral("cnt")).toLongLong() <= 0)
            return;
        if (lastSyncTime == kNever)
            lastSyncTime = now();
        if (now() - lastSyncTime <= timing.syncIntervalMs)
            return;
        emit threadWorkerSignal(kLoop, QStringLiteral("syncStart"), true, QStringLiteral("自动云同步中，建议暂停写作！"));
        bool ok = false;
        QString detail;
        try {
            QString code, text;
            ok = push(&code, &text);
            if (ok && code == QLatin1String("ABORT_SYNC")) {
                ok = false;
                detail = QStringLiteral("写作过程自动云同步中断！");
            } else if (ok) {
                detail = QStringLiteral("自动云同步成功！");
            } else {
                detail = QStringLiteral("自动云同步失败！错误信息：%0").replace(QStringLiteral("%0"), text);
            }
        } catch (const Exception &e) {
            detail = QStringLiteral("自动云同步失败！错误信息：%0").replace(QStringLiteral("%0"), e.message());
        } catch (...) {
            detail = QStringLiteral("自动云同步失败！错误信息未知！");
        }
        lastSyncTime = now();
        if (!interrupted())
            emit threadWorkerSignal(kLoop, QStringLiteral("sync"), ok, detail);
    });
}

void CommonThreadWorker::logUploadCheck()
{
    step(QStringLiteral("上传日志"), [this] {
        if (!g_App.account().session().isLogined) {
            // The first upload after a sign-in comes about a second later.
            lastLogUploadTime = kNever;
            return;
        }
        if (lastLogUploadTime == kNever)
            lastLogUploadTime = now() - timing.logUploadIntervalMs;
        if (now() - lastLogUploadTime <= timing.logUploadIntervalMs)
            return;
        lastLogUploadTime = now();
        uploadLogs();
        emit threadWorkerSignal(kLoop, QStringLiteral("SyncLog"));
    });
}

qint64 CommonThreadWorker::nextCheckIn() const
{
    const SysParams params = sysParamsSnapshot();
    const qint64 t = now();
    qint64 next = -1;
    // A check that is already due but did nothing (no rows to upload) is asked again an
    // interval later, not at once.
    const auto due = [&](qint64 last, qint64 interval) {
        qint64 at = (last == kNever ? t : last) + interval + 1;
        if (at <= t)
            at = t + interval;
        next = next < 0 ? at - t : qMin(next, at - t);
    };
    if (params.autoBackupDb)
        due(lastBackupTime, timing.backupIntervalMs);
    if (params.cloudSyncParams.active && params.cloudSyncParams.syncAtThread)
        due(lastSyncTime, timing.syncIntervalMs);
    if (g_App.account().session().isLogined)
        due(lastLogUploadTime, timing.logUploadIntervalMs);
    return next;
}

void CommonThreadWorker::loopProcWorker()
{
    if (!pause(timing.loopPauseMs))
        return;
    for (;;) {
        // Read before the round: a change of the settings or a sign-in during it rings after
        // this and is not slept through.
        const quint64 seen = wakebell::rings();
        backupCheck();
        if (interrupted())
            return;
        syncCheck();
        if (interrupted())
            return;
        logUploadCheck();
        if (interrupted())
            return;
        // Asleep until a check is due, the settings or the session change, or a stop.
        wakebell::sleep(seen, nextCheckIn());
        if (interrupted())
            return;
    }
}
