// The background workers: the host's shutdown routine, the start-up job's reports, the loop
// checks, the heartbeat's rounds and its sleep while signed out, and the restart after exit.
#include "BookRows.h"
#include "Folders.h"
#include "Rows.h"
#include "StartedProfile.h"
#include "TestService.h"

#include "app/App.h"
#include "core/WakeBell.h"
#include "app/Constants.h"
#include "app/WorkerHost.h"
#include "cloud/ClientInfo.h"
#include "cloud/CommonThreadWorker.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <stdexcept>

namespace {

QStringList reportsOf(const QSignalSpy &spy)
{
    QStringList list;
    for (const auto &args : spy)
        list << args.at(1).toString() + (args.at(2).toBool() ? QString() : QStringLiteral("!"));
    return list;
}

} // namespace

class TestWorkers : public QObject
{
    Q_OBJECT
    TestProfile m_profile;

private slots:
    void initTestCase() { QVERIFY(startApp().ok); }
    void cleanupTestCase() { stopApp(); }

    void shutdownStopsWorkers()
    {
        // A worker in a long call hears nothing until `hear` lets it, and then needs a few slices more.
        QSemaphore started, hear;
        auto worker = [&](bool longCall) {
            return std::unique_ptr<QThread>(QThread::create([&started, &hear, longCall] {
                started.release();
                if (longCall) {
                    hear.acquire();
                    QThread::msleep(200);
                }
                while (!QThread::currentThread()->isInterruptionRequested())
                    QThread::msleep(5);
            }));
        };
        WorkerHost host;
        const auto quick = worker(false), slow = worker(true), late = worker(false);
        {
            // A thread deleted by its owner drops off the list.
            const auto gone = worker(false);
            host.registerThread(gone.get());
        }
        host.registerThread(slow.get());
        host.registerThread(quick.get());
        QCOMPARE(host.threads().size(), 2);
        quick->start();
        slow->start();
        started.acquire(2);
        // Past the time limit a worker is reported and left running (never deleted while running).
        QVERIFY(!host.stopAll(100) && quick->wait(30000) && slow->isRunning());
        // The routine runs once: a second call (the window's destructor after a close) neither
        // asks nor waits again.
        host.registerThread(late.get());
        late->start();
        QVERIFY(!host.stopAll() && !late->isInterruptionRequested());
        // Within the limit the wait goes on in slices until the worker ends.
        hear.release();
        QVERIFY(WorkerHost::stopThreads({slow.get(), late.get()}, 5000) && slow->isFinished() && late->isFinished());
    }

    void appInitReports_data()
    {
        // Down: the sign-in fails, the lists keep one default link, news and appInited still come.
        COLUMNS(bool, serviceUp, bool, autoUpgrade, QString, reports)
        QTest::newRow("service down") << false << true << "links logined! news appInited";
        QTest::newRow("newer versions") << true << true << "links appUpgrade materialUpgrade logined! news appInited";
        QTest::newRow("autoUpgrade off") << true << false << "links logined! news appInited";
    }
    void appInitReports()
    {
        FETCH(bool, serviceUp, bool, autoUpgrade, QString, reports)
        TestService service;
        if (serviceUp) {
            QVERIFY(service.start());
            QVERIFY(service.putAppFile("updateV4.txt", "version=9.5\nsetupfile=inkboat.deb\nnews=\"新\"\n"));
            QVERIFY(service.putAppFile("updateMV4.txt", "version=99\nsetupfile=m.zip\nnews=m\n"));
            QVERIFY(service.admin({"link-add", "<b>书店</b>", "https://shop.example/?a='1'"}));
        } else {
            qputenv("INKBOAT_SERVICE_URL", QStringLiteral("http://127.0.0.1:%1/").arg(freeLoopbackPort()).toUtf8());
        }
        clientinfo::setLinks({});
        g_SysParams.autoUpgrade = autoUpgrade;
        g_SysParams.loginParams.autoLogin = true;
        g_SysParams.loginParams.userID = "nobody";
        g_SysParams.loginParams.password = "secret1";
        publishSysParams();
        CommonThreadWorker worker;
        worker.timing.startPauseMs = 0;
        QSignalSpy spy(&worker, &CommonThreadWorker::threadWorkerSignal);
        worker.appInitWorker();
        QCOMPARE(reportsOf(spy).join(' ') + " from " + spy.first().at(0).toString(), reports + " from appInitWorker");
        const QList<ApiLink> got = clientinfo::links();
        QCOMPARE(got.size(), 1);
        // Service text stays text, and only web addresses become links.
        QCOMPARE(serviceUp ? clientinfo::linkLabelText(got.at(0)) : got.first().link_name,
                 QString(serviceUp ? "<a href='https://shop.example/?a=%271%27'>&lt;b&gt;书店&lt;/b&gt;</a>" : "官方淘宝店"));
        ApiLink local;
        local.link_url = "file:///etc/passwd";
        QCOMPARE(clientinfo::linkLabelText(local), QString());
    }

    void loopChecks()
    {
        CommonThreadWorker worker;
        qint64 clock = 0;
        worker.clock = [&clock] { return clock; };
        QSignalSpy spy(&worker, &CommonThreadWorker::threadWorkerSignal);
        // A backup that throws is logged, and the next one waits a whole interval.
        int backups = 0;
        worker.backup = [&backups]() -> bool {
            ++backups;
            throw std::runtime_error("disk gone");
        };
        g_SysParams.autoBackupDb = true;
        g_SysParams.cloudSyncParams.active = true;
        g_SysParams.cloudSyncParams.syncAtThread = true;
        publishSysParams();
        QString seen;
        for (const qint64 step : {qint64(0), worker.timing.backupIntervalMs, qint64(1), qint64(0)}) {
            clock += step;
            worker.backupCheck();
            seen += QString::number(backups);
        }
        QCOMPARE(seen, "0011");

        // The upload: only when the window allows it and rows wait, after its interval.
        int pushes = 0;
        worker.push = [&pushes](QString *code, QString *) {
            ++pushes;
            *code = "0";
            return true;
        };
        const qint64 interval = worker.timing.syncIntervalMs + 1;
        GuiSnapshot &snap = g_App.guiSnapshot();
        snap.cloudSyncOn = snap.signedIn = true;
        snap.documentModified = false;
        // One round: the author typing just now or not, the check, then the clock on by `halves` half intervals.
        const auto round = [&](bool typing, int halves) {
            snap.lastInputMsecs = QDateTime::currentMSecsSinceEpoch() - (typing ? 0 : 60000);
            worker.syncCheck();
            clock += halves * interval / 2;
            return QString::number(pushes);
        };
        execSql("UPDATE BookTree SET Synced=1");
        QStringList got{round(false, 2), round(false, 0), " "}; // nothing waits (a braced list runs in order)
        insertBookRow("W1", "", 1, 0, 1, "w");
        execSql("UPDATE BookTree SET Synced=0 WHERE ID='W1'");
        // The author keeps typing: every round moves the interval on.
        got += {round(true, 1), round(true, 1), round(true, 1), round(false, 2), round(false, 0)};
        QCOMPARE(got.join("") + " " + reportsOf(spy).join(' ') + " " + spy.value(spy.count() - 1).value(3).toString(),
                 QString("00 00001 syncStart sync 自动云同步成功！"));
        execSql("DELETE FROM BookTree WHERE ID='W1'");
        // The loop sleeps until a check is due; one overdue after its round found nothing to do
        // waits an interval (no busy loop); with nothing switched on, until the settings change.
        clock += 10 * interval;
        QCOMPARE(worker.nextCheckIn(), worker.timing.syncIntervalMs);
        g_SysParams.autoBackupDb = g_SysParams.cloudSyncParams.active = false;
        publishSysParams();
        QCOMPARE(worker.nextCheckIn(), qint64(-1));
    }

    // While the service is away the attempts come in the short interval until it is back; each
    // way a heartbeat fails and its message: TestAccount::reloginAfterFailedHeartbeat.
    void heartbeatRounds_data()
    {
        // faults: "down" for no service; message: the notice after the first failed round
        COLUMNS(QString, faults, QString, message)
        QTest::newRow("answers: nothing to report") << "" << "";
        QTest::newRow("service away: retried until it is back") << "down" << "注意：检测登录已断开，请手工重新登录或15秒自动重连！";
    }
    void heartbeatRounds()
    {
        FETCH(QString, faults, QString, message)
        const bool retrying = faults == "down";
        TestService service;
        QVERIFY(service.start());
        g_SysParams.cloudSyncParams.active = false;
        publishSysParams();
        QVERIFY(TestService::signInNewUser("hb1"));
        const auto signOut = qScopeGuard([] { g_App.account().clearSession(); });
        CommonThreadWorker worker;
        QStringList reports;
        // Queued: the worker below runs on a thread of its own. Reports still queued when the
        // test ends go with the receiver, never to a list that is gone.
        QObject receiver;
        connect(&worker, &CommonThreadWorker::threadWorkerSignal, &receiver,
                [&reports](const QString &, const QString &value) { reports << value + (value == "message" ? "=" + g_App.account().heartbeatMessage() : ""); },
                Qt::QueuedConnection);
        if (retrying)
            service.stop();
        worker.heartbeatRound();
        QCoreApplication::sendPostedEvents(&receiver);
        QCOMPARE(reports, message.isEmpty() ? QStringList() : (QStringList{"logout", "message=" + message}));

        // The job itself, the long wait far beyond this test, the short one none at all.
        worker.timing.heartbeatOkSlices = 1000000;
        worker.timing.heartbeatRetrySlices = 0;
        std::unique_ptr<QThread> thread(QThread::create([&worker] { worker.heartbeatWorker(); }));
        const auto stop = qScopeGuard([&thread] { wakebell::requestStop(thread.get()), thread->wait(); });
        thread->start();
        if (retrying) {
            // Two more rounds: the outage kept the session and its short interval (the session
            // itself is read between rounds only by the worker: mid-round it is signed out).
            QTRY_VERIFY_WITH_TIMEOUT(reports.size() >= 6, 20000);
            QVERIFY(service.start());
            QTRY_COMPARE_WITH_TIMEOUT(reports.last(), QStringLiteral("message=注意：检测到登录断开过，已重新登录成功！"), 20000);
            QVERIFY(g_App.account().session().heartbeatOk);
        }
        // Settled: signed in, the long wait ahead.
        QVERIFY(g_App.account().session().sessionActive && g_App.account().session().heartbeatOk);
    }

    // Signed out the heartbeat sleeps; a sign-in wakes it and its beats begin.
    void heartbeatWaitsForASession()
    {
        TestService service;
        QVERIFY(service.start());
        service.setFaults("heartbeat:1000000=delay_ms=0"); // counts the beats
        g_App.account().clearSession();
        CommonThreadWorker worker;
        worker.timing.sliceMs = 1;
        worker.timing.heartbeatOkSlices = 5;
        std::unique_ptr<QThread> thread(QThread::create([&worker] { worker.heartbeatWorker(); }));
        const auto stop = qScopeGuard([&thread] { wakebell::requestStop(thread.get()), thread->wait(); });
        thread->start();
        QVERIFY(TestService::signInNewUser("hb2"));
        const auto signOut = qScopeGuard([] { g_App.account().clearSession(); });
        QTRY_VERIFY_WITH_TIMEOUT(service.faultCalls("heartbeat") >= 2, 60000);
    }

    // Install and restart begin only when this process holds no file any more (last: it closes
    // the connection).
    void afterExitWaitsForTheFiles()
    {
        bool ran = false, lockFree = false, closed = false;
        g_App.setAfterExit([&] {
            ran = true;
            QLockFile lock(g_App.appDataPath() + "Inkboat.lock");
            lockFree = lock.tryLock(0);
            closed = !g_App.db().isOpen();
        });
        QVERIFY(!ran);
        g_App.deinit();
        QVERIFY(ran && lockFree && closed);
        ran = false;
        g_App.deinit(); // once only
        QVERIFY(!ran);
    }

    // This binary, started as the probe, restarts itself once: the old process ends with 0 and
    // the new one, with the same arguments and folder, finds the instance lock free.
    void restartStartsTheSameProgramAfterExit()
    {
        StartedProfile profile;
        stopApp();
        QTemporaryDir work;
        const QString notes = work.filePath("notes.txt");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("INKBOAT_RESTART_PROBE", notes);
        env.insert("INKBOAT_SERVICE_URL", "http://127.0.0.1:1/");
        QProcess old;
        old.setProcessEnvironment(env);
        old.setWorkingDirectory(work.path());
        old.start(QCoreApplication::applicationFilePath(), {"--probe", "a b", "最后"});
        QVERIFY(old.waitForFinished(30000) && old.exitStatus() == QProcess::NormalExit && old.exitCode() == 0);
        const QString expected = QStringList{"--probe", "a b", "最后", QDir(work.path()).canonicalPath()}.join('|');
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readBytes(notes)), "started|" + expected + "\nrestarted|" + expected + "\n", 30000);
        QTRY_VERIFY_WITH_TIMEOUT(QLockFile(profile.file("Inkboat.lock")).tryLock(0), 30000);
    }
};

// The probe: the first run notes what it got and restarts; the second notes whether the old one
// had let go of the instance lock before it opens the files itself, and ends.
static int restartProbe(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    QFile notes(qEnvironmentVariable("INKBOAT_RESTART_PROBE"));
    const bool first = !notes.exists();
    QString state = first ? "started" : "restarted";
    if (!first) {
        QLockFile lock(qEnvironmentVariable("XDG_DATA_HOME") + "/inkboathq/Inkboat/Inkboat.lock");
        if (!lock.tryLock(0))
            state = "lock held";
    }
    if (!notes.open(QIODevice::Append))
        return 2;
    notes.write((QStringList{state} + app.arguments().mid(1) + QStringList{QDir::currentPath()}).join('|').toUtf8() +
                '\n');
    notes.close();
    if (!g_App.init())
        return 3;
    if (first)
        QTimer::singleShot(0, [] { g_App.restart(); });
    else
        QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    const int code = app.exec();
    // A slow close: a new process started before the files are let go would find the lock held.
    if (first)
        QThread::msleep(500);
    g_App.deinit();
    return code;
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("INKBOAT_RESTART_PROBE"))
        return restartProbe(argc, argv);
    QCoreApplication app(argc, argv);
    TestWorkers test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_workers.moc"
