// Cloud sync and the usage-log upload against the real service: paging, conflict copies, the
// negotiation, commit trouble, hostile pages, cancel, threads, and the sync entries' texts.
#include "BookRows.h"
#include "Columns.h"
#include "OtherClient.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"
#include "TestService.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/ChapterHistory.h"
#include "cloud/AsyncHelper.h"
#include "cloud/CloudLocks.h"
#include "cloud/CloudSync.h"
#include "cloud/SyncController.h"
#include "log/Log.h"
#include "params/SysParams.h"

#include <QApplication>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSemaphore>
#include <QStatusBar>
#include <QtConcurrent>

namespace {

QString now() { return QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz"); }

// A local row waiting for upload.
void waitingBook(const QString &id, const QString &title)
{
    insertBookRow(id, "", 1, 0, 1, title);
    execPrepared("UPDATE BookTree SET Synced=0,Usn=0,Updated=? WHERE ID=?", {now(), id});
}

void waitingMemo(const QString &id, const QString &title, int nodeType = 1, const QString &pid = "",
                 const QString &category = "")
{
    execPrepared("INSERT INTO MemoTree(ID,pID,NodeType,Level,Sort,Title,Category,PlainText,Flag,Usn,Synced,Updated) "
                 "VALUES(?,?,?,?,1,?,?,?,'A',0,0,?)",
                 {id, pid, nodeType, pid.isEmpty() ? 0 : 1, title, category, title, now()});
}

// An edit as the editor saves it: new text, stamped and waiting.
void editBook(const QString &id, const QString &text)
{
    QThread::msleep(2); // a distinct Updated
    execPrepared("UPDATE BookTree SET PlainText=?,HTML=?,Updated=?,Synced=0 WHERE ID=?", {text, text, now(), id});
}

int count(const QString &sql) { return scalar(sql).toInt(); }

// Books R0… of the other client, titled 远0….
QList<BookItem> remoteBooks(int n)
{
    QList<BookItem> items;
    for (int i = 0; i < n; ++i)
        items << bookItem(QString("R%1").arg(i), "", 1, QString("远%1").arg(i));
    return items;
}

// The values of the first row of a query joined with '|'.
QString values(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    QStringList out;
    if (q->next())
        for (int i = 0; i < q->record().count(); ++i)
            out << q->value(i).toString();
    return out.join('|');
}

int progressDialogs()
{
    const QWidgetList all = QApplication::topLevelWidgets();
    return int(std::count_if(all.begin(), all.end(), [](QWidget *w) { return qobject_cast<QProgressDialog *>(w); }));
}

// Clicks 取消 on the progress dialog once the service holds the request (rules "action=hold_ms=1"),
// which waits at its gate until then.
void cancelWhenHeld(const TestService &service, const QString &action)
{
    service.setGate(action, true);
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, &service, action] {
        if (service.faultCalls(action + "@held") == 0)
            return;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *d = qobject_cast<QProgressDialog *>(w)) {
                d->findChild<QPushButton *>()->click();
                service.setGate(action, false);
                poll->deleteLater();
            }
    });
    poll->start(5);
}

} // namespace

class TstCloudSync : public QObject
{
    Q_OBJECT
    TestProfile m_profile;
    TestService m_service;
    OtherClient m_other;
    int m_serial = 0;
    int m_logMark = 0;

    QString requestLog()
    {
        QFile file(logFileName("per", QDate::currentDate()));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // This client's requests of one action since the last mark, from its performance lines.
    QStringList requests(const QString &action)
    {
        QStringList out;
        const QRegularExpression re(QStringLiteral("index\\.php\\?\\S*&a=%1&\\S*").arg(action));
        for (auto it = re.globalMatch(requestLog().mid(m_logMark)); it.hasNext();) {
            const QString line = it.next().captured(0);
            if (!line.contains("&o=1"))
                out << line;
        }
        return out;
    }
    // How many requests of each action since the mark, joined with '|'.
    QString calls(const QStringList &actions)
    {
        QStringList out;
        for (const QString &a : actions)
            out << QString::number(requests(a).size());
        return out.join('|');
    }
    void markLog() { m_logMark = requestLog().size(); }
    QString lastUsn() { return getSysParam("Sync.LastUsn", "0"); }

private slots:
    void initTestCase() { QVERIFY(m_service.start() && startApp().ok); setTraceLogEnabled(true); }
    void cleanupTestCase() { stopApp(); }

    // Every test starts signed in as a new user with empty tables; the other client shares the account.
    void init()
    {
        m_service.setFaults(QString());
        g_App.guiSnapshot().documentModified = false;
        clearBookTables();
        execSql("DELETE FROM MemoTree");
        execSql("DELETE FROM L.ActionLog");
        setSysParam("Sync.LastUsn", "0");
        setSysParam("Sys.CurrUserCode", QString());
        QVERIFY(TestService::signInNewUser(QStringLiteral("cs%1").arg(++m_serial)));
        m_other = OtherClient::ofProgram();
        QVERIFY(!m_other.sid.isEmpty());
        markLog();
    }

    void pagesAndBatches()
    {
        QVERIFY(CloudSync().sync()); // nothing on either side: no pull to finish, no upload begun
        QCOMPARE(calls({"finishPull", "beginPush"}), QString("0|0"));
        QVERIFY(m_other.push(remoteBooks(25)));
        for (int i = 0; i < 15; ++i)
            waitingBook(QString("L%1").arg(i), QString("本%1").arg(i));
        for (int i = 0; i < 6; ++i)
            waitingMemo(QString("M%1").arg(i), QString("素%1").arg(i));
        markLog();
        CloudSync sync;
        QVERIFY(sync.sync());
        // Three pages of 10 in order.
        QCOMPARE(requests("pullDetail").join(' ').replace(QRegularExpression("\\S*&page=(\\d+)&pagesize=(\\d+)\\S*"), "\\1/\\2"),
                 QString("0/10 1/10 2/10"));
        // Uploads of 10, 10, 1 under one commit.
        QCOMPARE(calls({"pullDetail", "pushDetail", "commitPush"}) + "|" + QString::number(sync.pulledRows()),
                 QString("3|3|1|25"));
        // Numbered from the pulled maximum, books first.
        QCOMPARE(values("SELECT (SELECT COUNT(*) FROM BookTree WHERE Synced=1),(SELECT COUNT(*) FROM MemoTree "
                        "WHERE Synced=1),(SELECT MIN(Usn) FROM BookTree WHERE ID LIKE 'L%'),(SELECT MAX(Usn) FROM "
                        "BookTree WHERE ID LIKE 'L%'),(SELECT MIN(Usn) FROM MemoTree)"),
                 QString("40|6|26|40|41"));
        QCOMPARE(lastUsn() + "|" + QString::number(m_other.maxUsn()), QString("46|46"));
    }

    // A row changed on both sides: the local row wins and a copy keeps the other side's version,
    // unless the two differ only in their place in the tree (a move, a renumbered volume). A pull
    // that replaces a chapter keeps the text it replaced in the chapter's history.
    void conflict_data()
    {
        // local/remote: "text" edited, "move" moved, "" untouched; copyTitle within the title
        // limit, or the next push fails
        COLUMNS(QString, local, QString, remote, QString, mine, QString, title, QString, copyTitle, QString, history)
        QTest::newRow("text on both sides") << "text" << "text" << "本地改|B1|1" << "章" << "章(冲突)" << "";
        QTest::newRow("text here, moved there") << "text" << "move" << "本地改|B1|1" << "章" << "章(冲突)" << "";
        QTest::newRow("moved here, text there") << "move" << "text" << "原文|B2|5" << "章" << "章(冲突)" << "";
        QTest::newRow("moved on both sides") << "move" << "move" << "原文|B2|5" << "章" << "" << "";
        QTest::newRow("text there only") << "" << "text" << "远端改|B1|1" << "章" << "" << "同步|原文";
        QTest::newRow("title at the limit") << "text" << "text" << "本地改|B1|1" << QString(400, QChar(0x7AE0))
                                            << QString(396, QChar(0x7AE0)) + "(冲突)" << "";
    }
    void conflict()
    {
        FETCH(QString, local, QString, remote, QString, mine, QString, title, QString, copyTitle, QString, history)
        QVERIFY(m_other.push({bookItem("B1", "", 1, "书"), bookItem("B2", "", 1, "书二"),
                              bookItem("C1", "B1", 3, title, "原文")}));
        CloudSync sync;
        QVERIFY(sync.sync());
        if (local == "text")
            editBook("C1", "本地改");
        else if (local == "move")
            execPrepared("UPDATE BookTree SET pID='B2',Sort=5,Updated=?,Synced=0 WHERE ID='C1'", {now()});
        BookItem remoteRow = m_other.find("C1");
        if (remote == "text")
            remoteRow.plaintext = remoteRow.html = "远端改";
        else
            remoteRow.sort = 9;
        QVERIFY(m_other.push({remoteRow}));
        QVERIFY(sync.sync());
        QCOMPARE(row("C1", "PlainText,pID,Sort"), mine);
        const QString copy = scalar("SELECT group_concat(ID) FROM BookTree WHERE OrigID='C1'").toString();
        QCOMPARE(copy.isEmpty(), copyTitle.isEmpty());
        if (!copy.isEmpty()) {
            QCOMPARE(row(copy, "Title,PlainText,pID"), copyTitle + (remote == "text" ? "|远端改|B1" : "|原文|B1"));
            QCOMPARE(m_other.find(copy).title, copyTitle);
        }
        QStringList versions;
        for (const ChapterHistory::Version &v : ChapterHistory::versions("C1"))
            versions << v.origin + "|" + ChapterHistory::text(v.id).plainText;
        QCOMPARE(versions.join(','), history);
        QCOMPARE(count("SELECT COUNT(*) FROM BookTree WHERE Synced IS NOT 1"), 0);
        const BookItem there = m_other.find("C1");
        QCOMPARE(QString("%1|%2|%3").arg(there.plaintext, there.ptid).arg(there.sort), mine);
        QCOMPARE(lastUsn(), QString::number(m_other.maxUsn()));
    }

    // Trouble in the middle of an upload. The other client commits during the negotiation: each
    // attempt pulls first, the upload is numbered from what the last pull left, and a commit after
    // the third pull refuses it. A row edited after the copy keeps waiting; a commit the window
    // forbids (the author types) is cancelled at the service; when the service has the rows and the
    // client's bookkeeping does not, the next sync makes no copies and sends nothing again.
    void troubleDuringAnUpload_data()
    {
        // first: the push's outcome|begun pulls, pushes, cancels, commits|rows pulled|rows at the
        // service|rows waiting here|temporary tables and progress dialogs left; then, after the next
        // sync: pages sent|copies|LastUsn|C0 at the service
        COLUMNS(QString, trouble, QString, first, QString, then)
        QTest::newRow("two commits during the pulls") << "commits=2" << "0|3|3|2|1|3|6||00" << "0|0|6|章0";
        QTest::newRow("a commit after the third pull")
            << "commits=3" << "云端数据已被其他客户端更新，请先同步下载后再上传！|3|3|3|1|3|4|C0,C1,C2|00" << "1|0|7|章0";
        QTest::newRow("edit after the copy") << "edit" << "0|0|1|0|1|0|3|C0|00" << "1|0|4|途中改";
        QTest::newRow("abort at commit") << "abort" << "ABORT_SYNC|0|1|1|0|0|0|C0,C1,C2|00" << "1|0|3|章0";
        QTest::newRow("commit answer dropped") << "drop" << "throws|0|1|1|1|0|3|C0,C1,C2|00" << "0|0|3|章0";
        QTest::newRow("crash after commit") << "crash" << "throws|0|1|1|1|0|3|C0,C1,C2|00" << "0|0|3|章0";
    }
    void troubleDuringAnUpload()
    {
        FETCH(QString, trouble, QString, first, QString, then)
        const int commits = trouble.startsWith("commits") ? trouble.right(1).toInt() : 0;
        if (commits)
            QVERIFY(m_other.push({bookItem("X0", "", 1, "他0")}));
        for (int i = 0; i < 3; ++i)
            waitingBook(QString("C%1").arg(i), QString("章%1").arg(i));
        if (trouble == "drop")
            m_service.setFaults("commitPush=drop_after");
        markLog();
        g_App.guiSnapshot().signedIn = true;
        g_App.guiSnapshot().cloudSyncOn = true;
        g_App.guiSnapshot().lastInputMsecs = trouble == "abort" ? QDateTime::currentMSecsSinceEpoch() : 1;
        SyncController controller(nullptr, nullptr, nullptr);
        CloudSync sync(trouble == "abort", true);
        QString outcome = "throws";
        {
            int done = 0;
            const auto unhook = qScopeGuard([] { CloudSync::setTestHook(nullptr); });
            CloudSync::setTestHook([&](const char *p) { // at each of the sync's test points
                const QByteArray point(p);
                if (point == "afterNegotiationPull" && done < commits)
                    QVERIFY(m_other.push({bookItem(QString("X%1").arg(++done), "", 1, "他")}));
                if (trouble == "crash" && point == "afterCommitPush")
                    throw Exception("crash", "0");
                if (trouble == "edit" && point == "afterCopy")
                    editBook("C0", "途中改");
            });
            try {
                outcome = sync.push() ? sync.errCode : sync.errInfo;
            } catch (const Exception &) {
            }
        }
        const QString waiting = "SELECT group_concat(ID) FROM (SELECT ID FROM BookTree WHERE Synced IS NOT 1 ORDER BY ID)";
        QCOMPARE(QString("%1|%2|%3|%4|%5|").arg(outcome, calls({"beginPull", "beginPush", "cancelSync", "commitPush"}))
                     .arg(sync.pulledRows()).arg(m_other.pullAll().size()).arg(values(waiting))
                     + values("SELECT COUNT(*) FROM temp.sqlite_master WHERE name='SyncDetail'")
                     + QString::number(progressDialogs()), first);
        m_service.setFaults(QString());
        markLog();
        QVERIFY(CloudSync().sync());
        QCOMPARE(QString("%1|%2|%3|").arg(calls({"pushDetail"})).arg(count("SELECT COUNT(*) FROM BookTree WHERE "
                     "OrigID<>'' OR Synced IS NOT 1")).arg(lastUsn()) + m_other.find("C0").plaintext, then);
    }

    void rawFailureUndoesTheTransfer()
    {
        QVERIFY(m_other.push({bookItem("R1", "", 1, "远"), bookItem("R2", "", 1, "远二")}));
        execSql("CREATE TEMP TRIGGER refuse BEFORE INSERT ON main.BookTree BEGIN SELECT RAISE(ABORT,'boom'); END");
        CloudSync sync;
        QVERIFY_EXCEPTION_THROWN(sync.pull(), Exception);
        execSql("DROP TRIGGER temp.refuse");
        QCOMPARE(calls({"cancelSync"}), QString("1"));
        // No transaction left open: another thread's write is its own.
        QtConcurrent::run([] { waitingBook("L1", "本"); }).waitForFinished();
        QCOMPARE(count("SELECT COUNT(*) FROM BookTree"), 1);
        QVERIFY(sync.sync());
        QCOMPARE(count("SELECT COUNT(*) FROM BookTree WHERE Synced=1"), 3);
    }

    // Rows no device may hold, left in the store by an older service: each is left out with one
    // notice, the rest comes down, the own book goes up, and the next sync does not fetch them
    // again. A waiting row over the limits stays here, told once, without holding up the others.
    void rowsOverTheLimitsAreLeftOut_data()
    {
        // after: outcome|rows pulled|L1's USN there|LastUsn|M1 there|M1 synced|notices
        COLUMNS(QString, change, QString, after)
        const QString leftOut = "ok|11|13|13||0|2";
        QTest::newRow("level 18") << "level=18" << leftOut;
        QTest::newRow("title of 401 characters") << "title=replace(hex(zeroblob(401)),'00','题')" << leftOut;
        QTest::newRow("node type 4") << "nodetype=4" << leftOut;
        QTest::newRow("flag X") << "flag='X'" << leftOut;
        QTest::newRow("text too long") << "plaintext=replace(hex(zeroblob(10241)),'00','文')" << leftOut;
        QTest::newRow("deletion at level 18") << "flag='D',level=18" << "ok|12|13|13||0|1";
        // The USN is the bookkeeping itself: a page with one beyond it is refused whole.
        QTest::newRow("USN beyond the range") << "usn=2147483000" << "API_ERROR_CRC|0|0|0||0|0";
    }
    void rowsOverTheLimitsAreLeftOut()
    {
        FETCH(QString, change, QString, after)
        const bool written = after.startsWith("ok|12");
        QVERIFY(m_other.push(remoteBooks(12)));
        m_service.query(QString("UPDATE sync_rows SET %1 WHERE uid=? AND tid='R11'").arg(change), {m_other.uid});
        QCOMPARE(m_service.query("SELECT changes()").value(0).value(0).toInt(), 1);
        const QString remoteTitle = m_service.query("SELECT title FROM sync_rows WHERE uid=? AND tid='R11'",
                                                    {m_other.uid}).value(0).value(0).toString();
        waitingBook("L1", "本");
        waitingMemo("M1", "深目录");
        execSql("UPDATE MemoTree SET Level=17 WHERE ID='M1'");
        QStringList notices;
        CloudSync::setNoticeHandler([&](const QString &text) { notices << text; });
        const auto unnotice = qScopeGuard([] { CloudSync::setNoticeHandler(nullptr); });
        CloudSync sync;
        const bool ok = sync.sync();
        QCOMPARE(QString("%1|%2|%3|%4|%5|%6|%7").arg(ok ? "ok" : sync.errCode)
                     .arg(count("SELECT COUNT(*) FROM BookTree WHERE ID LIKE 'R%'")).arg(m_other.find("L1").usn)
                     .arg(lastUsn(), m_other.find("M1").tid, values("SELECT Synced FROM MemoTree WHERE ID='M1'"))
                     .arg(notices.size()), after);
        if (!ok)
            return;
        QVERIFY(notices.first().contains(remoteTitle.left(20)) != written);
        QVERIFY(notices.last().contains("深目录"));
        markLog();
        QVERIFY(CloudSync().sync());
        QCOMPARE(requests("pullDetail").size() + notices.size(), written ? 1 : 2);
    }

    // A GUI sync while a worker holds the cloud lock waits for it in its event loop, not blocked.
    void guiSyncWaitsForAWorkersLock()
    {
        waitingBook("C1", "章");
        // The holder lets go only once the GUI thread waits for the lock in its event loop.
        QSemaphore held, release;
        std::unique_ptr<QThread> holder(QThread::create([&] {
            cloudLock("CloudSync").lock();
            held.release();
            release.acquire();
            cloudLock("CloudSync").unlock();
        }));
        holder->start();
        held.acquire();
        QTimer::singleShot(0, [&] { release.release(); });
        QVERIFY(CloudSync().sync());
        holder->wait();
        QCOMPARE(m_other.find("C1").plaintext, QString("章"));
        QCOMPARE(count("SELECT COUNT(*) FROM BookTree WHERE Synced IS NOT 1"), 0);
    }

    // A cancelled first sync of another user still signs in.
    void aCancelledFirstSyncStillSignsIn()
    {
        ScriptedPrompter prompter;
        SyncController controller(nullptr, nullptr, nullptr);
        g_SysParams.cloudSyncParams.active = true, publishSysParams();
        const QString next = QStringLiteral("cs%1").arg(++m_serial);
        QVERIFY(g_App.account().registerUser(next, "secret1", next + "@example.com", true));
        // Its account holds a book already, from another machine: a sync that went on would pull it.
        QVERIFY(OtherClient::signIn(next).push({bookItem("R9", "", 1, "远")}));
        m_service.setFaults("beginPull=hold_ms=1");
        cancelWhenHeld(m_service, "beginPull");
        const bool ok = g_App.account().login(next, "secret1", false);
        g_SysParams.cloudSyncParams.active = false, publishSysParams();
        QVERIFY(ok && g_App.account().session().isLogined);
        QCOMPARE(getSysParam("Sys.CurrUserCode"), next);
        QCOMPARE(count("SELECT COUNT(*) FROM BookTree WHERE ID='R9'") + progressDialogs(), 0);
    }

    // The window's syncs say why they failed. A pull for the window must not replace the
    // chapter being typed; rows a failed sync pulled still reach the trees. Answered "signed in
    // elsewhere" a manual sync ends the session here at once (the sign-in command comes back);
    // any other failure keeps it. The upload at exit asks first, and not with the chapter unsaved.
    void syncFromTheWindow_data()
    {
        // trouble: the service's fault rules, or a chapter too long to send
        COLUMNS(QString, entry, QString, trouble, bool, unsaved, QString, status, QString, error, bool, pulled, bool,
                signedIn)
        const QString manual = "手工云同步失败！错误信息：";
        QTest::newRow("start-up: chapter unsaved") << "startup" << "" << true
                                                   << "启动时，自动云同步失败！错误信息：写作过程自动云同步中断！"
                                                   << "" << false << true;
        QTest::newRow("manual: signed in elsewhere") << "manual" << "beginPull=kick" << false << ""
                                                      << manual + "帐号已在其他地方登录！" << false << false;
        QTest::newRow("manual: upload refused after the pull") << "manual" << "beginPush=fail" << false << ""
                                                                << manual + "服务故障（测试）！" << true << true;
        QTest::newRow("manual: chapter unsaved")
            << "manual" << "" << true << ""
            << manual + "当前章节有未保存的修改，本次云同步未进行。请先保存（Ctrl+S），再手工云同步。" << false << true;
        QTest::newRow("manual: chapter over 10240 characters not sent")
            << "manual" << "too long" << false << "" << manual + "文章本超过可以支持最大字符长度10240，不能继续，请修改内容！"
            << true << true;
        QTest::newRow("manual: cancelled during a slow page, no error box")
            << "manual" << "pullDetail=hold_ms=1" << false << manual + "用户取消" << "" << false << true;
        QTest::newRow("exit: uploaded") << "exit" << "" << false << "修改的内容上传成功！" << "" << true << true;
        QTest::newRow("exit: refused") << "exit" << "beginPush=fail" << false << "修改的内容上传中..."
                                       << "上传失败，错误信息：服务故障（测试）！" << false << true;
        QTest::newRow("exit: chapter unsaved, not asked") << "exit" << "" << true << "" << "" << false << true;
    }
    void syncFromTheWindow()
    {
        FETCH(QString, entry, QString, trouble, bool, unsaved, QString, status, QString, error, bool, pulled, bool,
              signedIn)
        QVERIFY(m_other.push({bookItem("R1", "", 1, "远")}));
        waitingBook("L1", "本");
        g_App.guiSnapshot().documentModified = unsaved && entry != "exit";
        g_SysParams.cloudSyncParams.active = g_SysParams.cloudSyncParams.syncAtExit = true;
        if (trouble == "too long")
            execPrepared("UPDATE BookTree SET PlainText=? WHERE ID='L1'", {QString(10241, 'x')});
        else
            m_service.setFaults(trouble);
        if (trouble.contains("hold"))
            cancelWhenHeld(m_service, "pullDetail");
        QStatusBar bar;
        int reloads = 0;
        SyncController controller(nullptr, &bar, [&] { ++reloads; });
        ScriptedPrompter prompter;
        prompter.answers << Ink::maYes;
        if (entry == "startup")
            QVERIFY(!syncroutine::startup([&](const QString &text) { bar.showMessage(text); }, nullptr));
        else
            entry == "exit" ? controller.uploadAtExit(unsaved) : controller.manualSync();
        g_SysParams.cloudSyncParams = CloudSyncParams();
        const bool asked = entry == "exit" && !unsaved, uploaded = error.isEmpty() && asked;
        QCOMPARE(prompter.questions(), asked ? QStringList{"本地有修改的内容上传到云空间，需要马上上传吗？"} : QStringList());
        QCOMPARE(bar.currentMessage(), status.isEmpty() ? error : status);
        QCOMPARE(prompter.errors(), error.isEmpty() ? QStringList() : QStringList{error});
        // pulled, reloaded, uploaded, signed in (session and snapshot), progress dialogs left
        QCOMPARE(QString("%1|%2|%3|%4|%5|%6|%7").arg(count("SELECT COUNT(*) FROM BookTree WHERE ID='R1'")).arg(reloads)
                     .arg(row("L1", "Synced")).arg(!m_other.find("L1").tid.isEmpty()).arg(g_App.account().session().isLogined)
                     .arg(g_App.guiSnapshot().signedIn.load()).arg(progressDialogs()),
                 QString("%1|%2|%3|%4|%5|%5|0").arg(pulled).arg(pulled && entry == "manual").arg(uploaded)
                     .arg(uploaded).arg(signedIn));
    }

    // ---------------------------------------------------------------- usage logs

    // A click while the batch is on its way is uploaded next time.
    void incrementDuringUploadWaits()
    {
        AsyncHelper::saveActionLogNow("actionSysSave");
        // The click comes once the service holds the first batch.
        m_service.setGate("pushActionLog", true);
        m_service.setFaults("pushActionLog:1=hold_ms=1");
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (m_service.faultCalls("pushActionLog@held") > 0) {
                poll.stop();
                QThread::msleep(2); // a distinct Updated
                AsyncHelper::saveActionLogNow("actionSysSave");
                m_service.setGate("pushActionLog", false);
            }
        });
        poll.start(5);
        QVERIFY(CloudSync(true, false).pushActionLog());
        // The loop sends the newer count in the same upload, and then marks it.
        QCOMPARE(values("SELECT triggerCount, Synced FROM L.ActionLog") + "|" + calls({"pushActionLog"}),
                 QString("2|1|2"));
    }

    void logUploadFailures_data()
    {
        COLUMNS(QString, faults, QString, bookRows, bool, ok, int, actionsMarked, int, booksMarked)
        QTest::newRow("book log fails") << "pushBookLog=fail" << "ok" << false << 46 << 0;
        QTest::newRow("bad checksum") << "pushActionLog=badcrc" << "ok" << false << 0 << 0;
        QTest::newRow("duplicate day") << "" << "duplicate" << true << 46 << 2;
        QTest::newRow("no day") << "" << "null" << false << 46 << 0;
    }
    void logUploadFailures()
    {
        FETCH(QString, faults, QString, bookRows, bool, ok, int, actionsMarked, int, booksMarked)
        // 100 clicks of one action from many threads at once, each counted, and 45 more actions.
        QList<QFuture<void>> clicks;
        for (int i = 0; i < 100; ++i)
            clicks << AsyncHelper::saveActionLog("actionSysSave");
        for (int i = 0; i < 45; ++i)
            AsyncHelper::saveActionLogNow(QString("action%1").arg(i));
        for (auto &f : clicks)
            f.waitForFinished();
        QCOMPARE(values("SELECT SUM(triggerCount), COUNT(*) FROM L.ActionLog"), QString("145|46"));
        const QString day = QDate::currentDate().toString("yyyy-MM-dd");
        execPrepared("INSERT INTO L.BookLog(ID,BookID,ADate,WordCount1,Synced) VALUES('G1','B1',?,5,0),('G2',?,?,6,0)",
                     {day, bookRows == "duplicate" ? "B1" : "B2", bookRows == "null" ? QVariant(QVariant::String) : day});
        m_service.setFaults(faults);
        CloudSync sync(true, false);
        QCOMPARE(sync.uploadLogs(), ok);
        QCOMPARE(values("SELECT (SELECT COUNT(*) FROM L.ActionLog WHERE Synced=1),"
                        "(SELECT COUNT(*) FROM L.BookLog WHERE Synced=1)"),
                 QString("%1|%2").arg(actionsMarked).arg(booksMarked));
        // in batches of 20, or refused at the first
        const bool badCrc = faults.contains("badcrc");
        QCOMPARE(badCrc ? sync.errCode : calls({"pushActionLog"}), QString(badCrc ? "API_ERROR_CRC" : "3"));
    }
};

QTEST_MAIN(TstCloudSync)
#include "tst_cloudsync.moc"
