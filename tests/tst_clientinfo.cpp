// Client information, the machine id, news, and the window's side of the workers: reactions,
// prompts in line, the news dialog and the download dialog (offscreen).
#include "BookRows.h"
#include "CannedServer.h"
#include "Columns.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"
#include "TestService.h"

#include "app/App.h"
#include "book/BookStore.h"
#include "cloud/ClientInfo.h"
#include "cloud/CloudLocks.h"
#include "cloud/CloudSync.h"
#include "cloud/CommonThreadWorker.h"
#include "cloud/MyHttpDownload.h"
#include "cloud/NewsViewDialog.h"
#include "cloud/WorkerController.h"
#include "cloud/WebClient.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtConcurrent>
#include <QtTest>
#include <QtWidgets>

#include <atomic>
#include <memory>

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

namespace {

// Runs what is queued on the event loop now, the way an open dialog would, and returns.
void runQueued() { QEventLoop loop; QTimer::singleShot(0, &loop, &QEventLoop::quit); loop.exec(); }

} // namespace

class TstClientInfo : public QObject
{
    Q_OBJECT
    TestProfile m_profile;
    TestService m_service;

private slots:
    void initTestCase() { QVERIFY(startApp().ok && m_service.start()); }
    void cleanupTestCase() { stopApp(); }
    void init() { g_App.account().clearSession(), g_App.guiSnapshot().closing = false; }

    void clientInfoQuery()
    {
        CannedServer recorder;
        const QByteArray old = qgetenv("INKBOAT_SERVICE_URL");
        qputenv("INKBOAT_SERVICE_URL", recorder.url("/").toUtf8());
        auto future = QtConcurrent::run([] { clientinfo::postClientInfo(true); });
        QTRY_VERIFY(future.isFinished());
        qputenv("INKBOAT_SERVICE_URL", old);
        QVERIFY(!recorder.requests.isEmpty());
        const QUrlQuery query(QUrl::fromEncoded(recorder.requests.first().line.split(' ').value(1)));
        QStringList keys;
        for (const auto &item : query.queryItems())
            keys << item.first;
        QCOMPARE(keys.join(',') + "|" + query.queryItemValue("attr0") + "|" + query.queryItemValue("attr3"),
                 "a,app_name,app_ver,attr0,attr1,attr2,attr3,g,m,os,sid|StartUp|" + getSysParam("Sys.MachineUniqueId"));
        const QString hw = query.queryItemValue("attr2", QUrl::FullyDecoded); // JSON, also with odd host names
        QVERIFY(QJsonDocument::fromJson(hw.toUtf8()).isObject());
        // The service takes it as it is sent.
        clientinfo::postClientInfo(false);
        QVERIFY(!m_service.log().contains("BAD_PARAM"));
    }

    void machineId_data()
    {
        COLUMNS(QString, stored, QString, computed, QString, expected)
        QTest::newRow("unreadable keeps") << "GOOD" << "" << "GOOD";
        QTest::newRow("changed replaces") << "OLD" << "NEW" << "NEW";
        QTest::newRow("first start without id") << "" << "" << "*";
    }
    void machineId()
    {
        FETCH(QString, stored, QString, computed, QString, expected)
        const QString id = App::resolveMachineId(stored, computed);
        QCOMPARE(expected == "*" && QRegularExpression("^[0-9A-F]{32}$").match(id).hasMatch() ? "*" : id, expected);
    }

    void oddUserNamesReachTheService_data()
    {
        COLUMNS(QString, name)
        for (const char *name : {"a&b", "c#d", "e+f", "g%h", "作者 甲"})
            QTest::newRow(name) << QString::fromUtf8(name);
    }
    void oddUserNamesReachTheService()
    {
        FETCH(QString, name)
        QVERIFY(m_service.admin({"news-add", "标题", "摘要"}));
        g_App.account().startSession(QString(), QString(), name, "0");
        clientinfo::setNews({});
        clientinfo::fetchNews(); // a cut query or a wrong checksum leaves the list empty
        QVERIFY(!clientinfo::news().isEmpty());
        QCOMPARE(QUrlQuery(QUrl(clientinfo::lastNewsUrl())).queryItemValue("username", QUrl::FullyDecoded), name);
    }

    void newsDialog_data()
    {
        COLUMNS(bool, atService) // signed in at the service, not only in the window
        QTest::newRow("ignore refused: error shown, dialog stays") << false;
        QTest::newRow("ignore accepted: dialog closes") << true;
    }
    void newsDialog()
    {
        FETCH(bool, atService)
        if (atService) {
            for (const char *title : {"一", "二", "三"}) // newer than any item the dialog shows
                QVERIFY(m_service.admin({"news-add", title, "摘要"}));
            QVERIFY(TestService::signInNewUser(QStringLiteral("n#e&w+s%1").arg(QDateTime::currentMSecsSinceEpoch())));
        }
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("http", &catcher, "open");
        ScriptedPrompter prompts;
        ApiNews item, older;
        item.tid = "7&x", item.post_title = "<b>标题</b>", older.tid = "2";
        NewsViewDialog d({item, older}, true);
        d.show();
        // Service text is escaped in the tips (they are rich text).
        QCOMPARE(d.table()->item(0, 1)->toolTip(), QStringLiteral("<p>&lt;b&gt;标题&lt;/b&gt;</p>"));
        // Nothing read yet: nothing to ignore.
        QVERIFY(!d.ignoreButton()->isEnabled());
        emit d.table()->cellDoubleClicked(0, 1);
        QDesktopServices::unsetUrlHandler("http");
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(QUrlQuery(catcher.urls.first()).queryItemValue("id", QUrl::FullyDecoded), item.tid);
        QVERIFY(d.ignoreButton()->isEnabled());
        d.ignoreButton()->click();
        QCOMPARE(prompts.errors().size(), int(!atService));
        QVERIFY(atService || prompts.errors().first().startsWith("忽略失败，错误信息：\n"));
        QCOMPARE(QString("%1|%2").arg(d.isVisible()).arg(d.result()), QString(atService ? "0|1" : "1|0")); // visible|result
        if (atService) // read up to the newest item shown, not the newest there is
            QCOMPARE(m_service.query("SELECT last_news_id FROM news_marks WHERE uid=?", {g_App.account().session().uid}),
                     QVector<QVariantList>{{2}});
    }

    // The GUI thread keeps saving and querying, also from inside a modal dialog, while a worker
    // backs the file up or uploads: the worker is held at a point inside its work until the GUI
    // thread has written, so a lock held across the whole job shows as a write that never lands.
    void guiThreadBesideAWorker_data()
    {
        COLUMNS(QString, job, bool, modal)
        QTest::newRow("autosave during a backup") << "backup" << false;
        QTest::newRow("autosave in a modal dialog during a backup") << "backup" << true;
        QTest::newRow("statements during an upload") << "upload" << false;
        QTest::newRow("statements in a modal dialog during an upload") << "upload" << true;
    }
    void guiThreadBesideAWorker()
    {
        FETCH(QString, job, bool, modal)
        CommonThreadWorker worker;
        QStringList reports;
        connect(&worker, &CommonThreadWorker::threadWorkerSignal, this,
                [&reports](const QString &, const QString &value, bool ok, const QString &) {
                    reports << value + (ok ? QString() : QStringLiteral("!"));
                    return true;
                }, Qt::QueuedConnection);
        // The worker waits here until the GUI thread has written (or 10 s, the sign of a lock
        // that keeps the GUI thread out).
        QSemaphore written;
        std::atomic<bool> held{false}, writtenInTime{false};
        const auto hold = [&] {
            if (!held.exchange(true))
                writtenInTime = written.tryAcquire(1, 10000);
        };
        const auto restore = qScopeGuard([] {
            setBackupStepHook(nullptr);
            CloudSync::setTestHook(nullptr);
            g_SysParams.autoBackupDb = g_SysParams.cloudSyncParams.active = false;
            publishSysParams();
            g_App.guiSnapshot().cloudSyncOn = g_App.guiSnapshot().signedIn = false;
        });
        clearBookTables();
        if (job == "backup") {
            g_SysParams.autoBackupDb = true;
            g_SysParams.autoBackupDbPath = QDir(m_profile.root()).filePath("backups");
            setBackupStepHook([&] { hold(); });
            worker.timing.backupIntervalMs = 0;
            worker.lastBackupTime = worker.now() - 10;
        } else {
            // A new user: the sign-in clears the earlier user's rows (and refuses while any wait),
            // so the book comes after it.
            QVERIFY(TestService::signInNewUser(QStringLiteral("up%1%2").arg(modal).arg(QDateTime::currentMSecsSinceEpoch())));
            g_SysParams.cloudSyncParams.active = g_SysParams.cloudSyncParams.syncAtThread = true;
            GuiSnapshot &snap = g_App.guiSnapshot();
            snap.cloudSyncOn = snap.signedIn = true;
            snap.documentModified = false;
            snap.lastInputMsecs = QDateTime::currentMSecsSinceEpoch() - 60000;
            // Between the service's commit and the local one: the chapter written then must
            // stay waiting for the next upload.
            CloudSync::setTestHook([&](const char *point) {
                if (qstrcmp(point, "afterCommitPush") == 0)
                    hold();
            });
            worker.timing.syncIntervalMs = 0;
            worker.lastSyncTime = worker.now() - 10;
        }
        publishSysParams();
        smallLibrary();
        if (job == "upload")
            execSql("UPDATE BookTree SET Synced=0");
        std::unique_ptr<QThread> thread(QThread::create([&worker, job] {
            if (job == "backup")
                worker.backupCheck();
            else
                worker.syncCheck();
        }));

        int saves = 0;
        QString savedMidJob;
        QEventLoop loop;
        QDialog dialog;
        const auto done = [&] { modal ? dialog.accept() : loop.quit(); };
        QTimer tick;
        connect(&tick, &QTimer::timeout, this, [&] {
            if (thread->isFinished())
                return done();
            // Saves until one has landed while the worker was held; queries only after that, so
            // that the last save is the one made in the middle of the job.
            if (savedMidJob.isEmpty()) {
                const QString text = QStringLiteral("第%1稿").arg(++saves);
                BookStore::saveChapter("C2", "<p>" + text + "</p>", text);
                if (held) {
                    savedMidJob = text;
                    written.release();
                }
            }
            QCOMPARE(plain("C2"), QStringLiteral("第%1稿").arg(saves));
        });
        QTimer::singleShot(60000, &tick, done); // a hang ends here and fails below
        tick.start(5);
        thread->start();
        modal ? void(dialog.exec()) : void(loop.exec()); // the dialog's own loop, as a message box during a save
        tick.stop();
        QVERIFY2(thread->wait(30000), "the worker did not end");
        QCoreApplication::sendPostedEvents();
        QVERIFY2(held.load(), qPrintable(reports.join(" | ")));
        QVERIFY2(writtenInTime.load(), "the GUI thread could not write while the worker was at work");
        // The save made in the middle of the job is what the chapter holds.
        QCOMPARE(BookStore::readChapter("C2").plainText, savedMidJob);
        if (job == "backup") {
            QCOMPARE(reports, QStringList{"backupDatabase"});
            const QStringList copies = existingBackups();
            QString why;
            QVERIFY2(!copies.isEmpty() && isUsableBackup(copies.first(), &why), qPrintable(why));
        } else {
            QCOMPARE(reports, (QStringList{"syncStart", "sync"}));
            // Uploaded rows are marked; the chapter written after the service's commit waits.
            QCOMPARE(scalar("SELECT group_concat(ID) FROM BookTree WHERE Synced=0").toString(), QString("C2"));
            g_App.account().clearSession();
        }
    }

    void reactions()
    {
        QMainWindow window;
        QStatusBar *bar = window.statusBar();
        QStringList order; // of the prompts run
        WorkerController::Hooks hooks;
        hooks.reminders = [&order] { order << "reminder"; };
        WorkerController c(nullptr, bar, hooks);
        c.reminderDelayMs = 0;
        ScriptedPrompter prompts;
        ApiLink bold, local;
        bold.link_name = "<b>x</b>", bold.link_url = "http://shop.example/";
        local.link_name = "local", local.link_url = "file:///etc/passwd";
        clientinfo::setLinks({bold, local});
        c.commomThreadWorkerSignal("appInitWorker", "links", true, QString());
        const auto labels = bar->findChildren<QLabel *>("labelLink");
        QCOMPARE(labels.size(), 1);
        QVERIFY(labels.first()->text().contains("&lt;b&gt;x&lt;/b&gt;"));
        c.commomThreadWorkerSignal("appInitWorker", "logined", false, QString());
        QCOMPARE(bar->currentMessage(), QStringLiteral("自动登录失败！"));
        c.commomThreadWorkerSignal("loopProcWorker", "sync", false, "自动云同步失败！错误信息：x");
        QCOMPARE(bar->currentMessage(), QStringLiteral("自动云同步失败！错误信息：x"));

        // The start-up sync waits for nobody: while another cloud operation runs it does nothing.
        g_SysParams.cloudSyncParams.active = g_SysParams.cloudSyncParams.syncAtStartUp = true;
        publishSysParams();
        g_App.account().startSession("u1", "s1", "someone", "0");
        QVERIFY(cloudop::begin());
        c.commomThreadWorkerSignal("appInitWorker", "appInited", true, QString());
        QCOMPARE(bar->currentMessage(), QStringLiteral("自动云同步失败！错误信息：x"));
        cloudop::end();
        c.commomThreadWorkerSignal("appInitWorker", "appInited", true, QString());
        QVERIFY(bar->currentMessage().startsWith("启动时，自动云同步失败！错误信息："));
        QTRY_COMPARE(prompts.errors().size(), 1);
        QTRY_COMPARE(order, (QStringList{"reminder", "reminder"}));
        g_App.account().clearSession(), g_SysParams.cloudSyncParams.active = false, publishSysParams();

        // Prompts open one after the other, also one queued while another is open; the reminders
        // wait behind an open prompt (their toasts would cover its buttons).
        c.enqueuePrompt([&] {
            c.enqueuePrompt([&] { order << "2"; });
            c.commomThreadWorkerSignal("appInitWorker", "appInited", true, QString());
            runQueued();
            order << "1 closed";
        });
        QTRY_COMPARE(order, (QStringList{"reminder", "reminder", "1 closed", "2", "reminder"}));
        // Closing: statuses only.
        g_App.guiSnapshot().closing = true;
        c.enqueuePrompt([&] { order << "late"; });
        c.commomThreadWorkerSignal("loopProcWorker", "syncStart", true, "自动云同步中，建议暂停写作！");
        QCOMPARE(bar->currentMessage(), QStringLiteral("自动云同步中，建议暂停写作！"));
        runQueued();
        QCOMPARE(order.size(), 5);
        g_App.guiSnapshot().closing = false;
    }

    // The upgrade's download dialog: the service's news shown as text; a finished download
    // reported with its file; a failed one stays, and 暂时不升级 takes its partial file away.
    void downloadDialog_data()
    {
        COLUMNS(QString, file, bool, cut, QString, status) // cut: the service goes away during the transfer
        QTest::newRow("complete") << "pkg.deb" << false << "下载完成";
        QTest::newRow("missing") << "gone.deb" << false << "下载异常";
        QTest::newRow("cut off") << "pkg.deb" << true << "下载异常";
    }
    void downloadDialog()
    {
        FETCH(QString, file, bool, cut, QString, status)
        QVERIFY(m_service.putAppFile("pkg.deb", QByteArray(cut ? 4 << 20 : 70000, 'p')));
        m_service.setFaults(cut ? "download=delay_ms=50" : ""); // a slow line: 64 KiB every 50 ms
        const auto restart = qScopeGuard([this] {
            m_service.setFaults(QString());
            QVERIFY(m_service.start());
        });
        QTemporaryDir dir;
        const QString part = QDir(dir.path()).filePath(file + "_tmp");
        MyHttpDownload d(web::appUpdateDir() + file, file, dir.path(), "APP", "<i>news</i>", "4.31", "4.5",
                         "检测到新的版本，建议您马上升级！", 1);
        QCOMPARE(d.findChild<QLabel *>("labelNews")->textFormat(), Qt::PlainText);
        QSignalSpy finished(&d, &MyHttpDownload::signalFinished);
        d.show();
        d.findChild<QPushButton *>("pushButtonStart")->click();
        if (cut) {
            QTRY_VERIFY(QFileInfo(part).size() > 0);
            m_service.stop();
        }
        QTRY_COMPARE(d.status(), status);
        const bool ok = status == "下载完成";
        QCOMPARE(finished.size(), int(ok));
        QCOMPARE(finished.value(0).value(0).toString(), ok ? QDir(dir.path()).filePath(file) : QString());
        QCOMPARE(d.isVisible(), !ok);
        if (!ok) {
            d.close();
            QCOMPARE(d.status(), QStringLiteral("关闭下载"));
            QVERIFY(!QFileInfo::exists(part));
        }
    }
};

QTEST_MAIN(TstClientInfo)
#include "tst_clientinfo.moc"
