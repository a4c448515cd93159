// The user account against the real service: registration, sign-in, heartbeat, the silent
// re-sign-in, the change-of-user rule, the saved sign-in and the account dialogs (offscreen).
#include "BookRows.h"
#include "Columns.h"
#include "OtherClient.h"
#include "ScriptedPrompter.h"
#include "TestProfile.h"
#include "TestService.h"

#include "app/App.h"
#include "cloud/Account.h"
#include "cloud/AccountDialogs.h"
#include "cloud/CloudLocks.h"
#include "cloud/CloudSync.h"
#include "cloud/WebClient.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QUrlQuery>
#include <QtTest>

#include <atomic>
#include <thread>

class TstAccount : public QObject
{
    Q_OBJECT
    TestProfile m_profile;
    TestService m_service;
    int m_serial = 0;

    QString newName(const QString &prefix) { return prefix + QString::number(++m_serial); }
    bool registerUser(const QString &name, const QString &password = "secret1")
    {
        return g_App.account().registerUser(name, password, "u" + QString::number(m_serial) + "@example.com", true);
    }

private slots:
    void initTestCase() { QVERIFY(m_service.start() && startApp().ok); }
    void cleanupTestCase() { stopApp(); }
    void init()
    {
        m_service.setFaults(QString());
        g_App.account().clearSession();
        execSql("DELETE FROM BookTree");
        execSql("DELETE FROM MemoTree");
        setSysParam("Sys.CurrUserCode", QString());
    }

    void registerAndSignIn_data()
    {
        COLUMNS(QString, registered, QString, signInAs, QString, password, QStringList, messages)
        const QString ok = "用户登录成功！";
        QTest::newRow("right password") << "alice" << "alice" << "secret1" << QStringList{ok};
        QTest::newRow("wrong password") << "bob" << "bob" << "secret2"
                                        << QStringList{"用户登录失败，错误信息：用户名或密码错误！"};
        QTest::newRow("cjk name") << "李雷" << "李雷" << "密码口令123" << QStringList{ok};
        QTest::newRow("name in other case") << "Carol" << "carol" << "secret1" << QStringList{ok};
        // The client's "same user" is the service's "same account", for every way a name can be typed.
        QTest::newRow("U+3000, U+00A0") << "Writer" << "\u00a0wRITER\u3000" << "secret1" << QStringList{ok};
        QTest::newRow("full width") << "ＡＢＣ" << "abc" << "secret1" << QStringList{ok};
        QTest::newRow("ligature, capital sharp s") << "FILEẞ" << "ﬁleß" << "secret1" << QStringList{ok};
        QTest::newRow("inner space counts") << "ab" << "a b" << "secret1"
                                            << QStringList{"用户登录失败，错误信息：用户名或密码错误！"};
    }
    void registerAndSignIn()
    {
        FETCH(QString, registered, QString, signInAs, QString, password, QStringList, messages)
        ScriptedPrompter prompts;
        const QString correct = password == "secret2" ? "secret1" : password;
        QVERIFY(g_App.account().registerUser(registered, correct, "x+y@example.com", false));
        QCOMPARE(prompts.infos(), QStringList{"用户注册成功！"});
        prompts.clear();
        const bool signedIn = g_App.account().login(signInAs, password, false);
        QCOMPARE(prompts.errors() + prompts.infos(), messages);
        const bool ok = messages.first() == "用户登录成功！";
        QCOMPARE(QVector<bool>({signedIn, g_App.account().session().isLogined, g_App.guiSnapshot().signedIn.load()}),
                 QVector<bool>(3, ok));
        QCOMPARE(account::sameUser(registered, signInAs), ok || password == "secret2");
    }

    // The heartbeat's code for each way a session ends, and the re-sign-in after it (a service
    // away and back again: the heartbeat worker's test).
    void reloginAfterFailedHeartbeat_data()
    {
        COLUMNS(QString, cause, QString, code, QString, message, bool, active) // active: sessionActive, autoRelogin
        QTest::newRow("-3: signed in elsewhere")
            << "-3" << "-3" << "注意：检测到帐号多地登录，如非本人登录，为了安全起见，建议到官网修改密码！" << false;
        QTest::newRow("-2: session gone") << "-2" << "-2" << "注意：检测到登录断开过，已重新登录成功！" << true;
        QTest::newRow("sign-in refused") << "refused" << "-2"
                                         << "注意：检测登录已断开，请手工重新登录或15秒自动重连！" << false;
    }
    void reloginAfterFailedHeartbeat()
    {
        FETCH(QString, cause, QString, code, QString, message, bool, active)
        const QString name = newName("hb");
        QVERIFY(TestService::signInNewUser(name));
        g_App.account().heartbeat();
        QVERIFY(g_App.account().session().heartbeatErrCode == "0" && g_App.account().session().heartbeatOk);
        QVERIFY(web::isSafeToken(g_App.account().session().tid));
        const Session first = g_App.account().session();
        OtherClient other;
        if (cause == "-3")
            other = OtherClient::signIn(name);
        else
            g_App.account().startSession(first.uid, QString(32, 'c'), name, "0");
        if (cause == "refused")
            m_service.setFaults("login=fail");
        g_App.account().heartbeat();
        QCOMPARE(g_App.account().session().heartbeatErrCode + (g_App.account().session().heartbeatOk ? " ok" : ""), code);
        QStringList reports;
        g_App.account().reloginAfterFailedHeartbeat([&](const QString &value) { reports << value; });
        QCOMPARE(reports, (QStringList{"logout", "message"}));
        const Session after = g_App.account().session();
        QCOMPARE(after.heartbeatMessage, message);
        QCOMPARE(QString("%1%2").arg(after.sessionActive).arg(after.autoRelogin), QString(active ? "11" : "00"));
        if (cause == "-3") // no sign-in was sent: the other machine keeps its session
            QCOMPARE(other.heartbeat(), QString("0"));
        if (cause == "-2")
            QVERIFY(after.isLogined && after.sid != first.sid);
    }

    void userLogined_data()
    {
        // uid: of the account signed in to (the stored one is UID1); synced: of the one book row;
        // after: accepted|rows left|LastUsn|stored user code
        COLUMNS(QString, stored, QString, typed, QString, uid, QVariant, synced, bool, syncOn, QString, after)
        const QVariant waiting(0), synced(1), never(QVariant::Int);
        QTest::newRow("same user, case and spaces") << "li lei" << " Li Lei " << "UID1" << waiting << false
                                                    << "1|1|42| Li Lei ";
        QTest::newRow("same user, full width and U+3000") << "u1" << "Ｕ１\u3000" << "UID1" << waiting << false
                                                          << "1|1|42|Ｕ１\u3000";
        // A service that keeps the two names apart signs in to another account.
        QTest::newRow("name folds alike, other account, row waiting") << "u1" << "u1\u3000" << "UID2" << waiting
                                                                       << false << "0|1|42|u1";
        QTest::newRow("first sign-in") << "" << "han mei" << "UID1" << waiting << false << "1|1|0|han mei";
        // The waiting row goes up in the first sync: the service numbers it 1.
        QTest::newRow("first sign-in, sync on") << "" << "han mei" << "UID1" << waiting << true << "1|1|1|han mei";
        QTest::newRow("other user, all synced") << "li lei" << "han mei" << "UID2" << synced << false << "1|0|0|han mei";
        QTest::newRow("other user, row waiting") << "li lei" << "han mei" << "UID2" << waiting << false << "0|1|42|li lei";
        QTest::newRow("other user, row never synced") << "li lei" << "han mei" << "UID2" << never << false
                                                      << "0|1|42|li lei";
    }
    void userLogined()
    {
        FETCH(QString, stored, QString, typed, QString, uid, QVariant, synced, bool, syncOn, QString, after)
        g_SysParams.cloudSyncParams.active = syncOn, publishSysParams();
        setSysParam("Sys.CurrUserCode", stored);
        setSysParam("Sys.CurrUserId", "UID1");
        setSysParam("Sync.LastUsn", "42");
        insertBookRow("B1", "", 1, 0, 1, "书一");
        execPrepared("UPDATE BookTree SET Synced=?", {synced});
        if (syncOn) {
            const QString name = newName("sy");
            QVERIFY(registerUser(name));
            const OtherClient ids = OtherClient::signIn(name);
            g_App.account().startSession(ids.uid, ids.sid, name, "0");
            uid = ids.uid;
        }
        CloudSync sync;
        const bool ok = sync.userLogined(uid, typed);
        g_SysParams.cloudSyncParams.active = false, publishSysParams();
        QCOMPARE(QString("%1|%2|%3|%4").arg(ok).arg(execQuery("SELECT ID FROM BookTree").size())
                     .arg(getSysParam("Sync.LastUsn"), getSysParam("Sys.CurrUserCode")), after);
        if (!ok)
            QCOMPARE(sync.errorCode() + sync.errorText(), "CHANGE_USER_REFUSED" + CloudSync::changeUserRefusedText(stored));
    }

    void savedSignIn()
    {
        for (bool save : {false, true}) {
            const QString name = newName("saved");
            QVERIFY(registerUser(name, "secret9"));
            g_SysParams.loginParams.password = "older";
            account::rememberSignIn(name, "secret9", save, true);
            const QString stored = getSysParam("SysParams"), kept = g_SysParams.loginParams.password;
            QVERIFY(!stored.contains("secret9") && !stored.contains("older"));
            loadSysParams(); // kept: in memory (the login form shows it), then as read back
            QCOMPARE(kept + "|" + g_SysParams.loginParams.password, QString(save ? "secret9|secret9" : "|"));
            const bool started = g_App.account().startupLogin();
            QCOMPARE(QVector<bool>({g_SysParams.loginParams.autoLogin, started, g_App.account().session().isLogined}),
                     QVector<bool>(3, save));
            g_App.account().clearSession();
        }
    }

    void formChecks_data()
    {
        COLUMNS(QString, form, QString, failure) // form: user|e-mail|again|password|again
        const QString badMail = "邮箱不正确，请输入正在使用的有效邮箱地址！";
        QTest::newRow("no name") << "||||" << "用户名不能为空！";
        QTest::newRow("no e-mail") << "u||||" << "邮箱不能为空！";
        QTest::newRow("a@b") << "u|a@b|a@b||" << badMail;
        QTest::newRow("space in e-mail") << "u|a b@c.cn|||" << badMail;
        QTest::newRow("e-mails differ") << "u|a@b.cn|b@b.cn||" << "邮箱与确认邮箱不一致！";
        QTest::newRow("no password") << "u|first.last@b.cn|first.last@b.cn||" << "密码不能为空！";
        QTest::newRow("5 characters") << "u|a_b@b.cn|a_b@b.cn|12345|12345" << "密码长度不能低于6位！";
        QTest::newRow("passwords differ") << "u|a+b@b.cn|a+b@b.cn|123456|123457" << "密码与确认密码不一致！";
        QTest::newRow("6 characters") << "u|张三@b.cn|张三@b.cn|123456|123456" << "";
    }
    void formChecks()
    {
        FETCH(QString, form, QString, failure)
        const QStringList fields = form.split('|');
        QCOMPARE(account::registerCheck(fields[0], fields[1], fields[2], fields[3], fields[4]), failure);
        // The dialog shows the same and stays open.
        ScriptedPrompter prompts;
        UserRegisterDialog dialog;
        for (int i = 0; i < 5; ++i)
            dialog.field(i)->setText(fields[i] == "u" && failure.isEmpty() ? newName("form") : fields[i]);
        dialog.accept();
        QCOMPARE(prompts.errors(), failure.isEmpty() ? QStringList() : QStringList{failure});
        QCOMPARE(dialog.doneCode(), failure.isEmpty() ? int(QDialog::Accepted) : -1);
    }

    void loginDialog()
    {
        ScriptedPrompter prompts;
        g_SysParams.loginParams = LoginParams();
        UserLoginDialog dialog;
        dialog.userNameEdit()->setText("\u3000 ");
        dialog.accept();
        dialog.userNameEdit()->setText("ＤＡＶＥ\u3000");
        QCOMPARE(dialog.accountLabel()->text(), QStringLiteral("登录帐号：dave"));
        QVERIFY(!dialog.accountLabel()->isHidden());
        dialog.userNameEdit()->setText("dave");
        QVERIFY(dialog.accountLabel()->isHidden());
        dialog.accept();
        setSysParam("Sys.CurrUserCode", "erin");
        insertBookRow("B1", "", 1, 0, 1, "书一");
        execSql("UPDATE BookTree SET Synced=0");
        dialog.passwordEdit()->setText("secret1");
        dialog.accept();
        QCOMPARE(prompts.errors(), (QStringList{"用户名不能为空！", "密码不能为空！",
                                                CloudSync::changeUserRefusedText("erin")}));
        QCOMPARE(dialog.doneCode(), -1);
    }

    // While a slow sign-in runs, OK is off and Esc does not close the form.
    void loginDialogWhileSigningIn()
    {
        ScriptedPrompter prompts;
        const QString name = newName("slow");
        QVERIFY(registerUser(name));
        m_service.setFaults("login=delay_ms=1500");
        UserLoginDialog dialog;
        dialog.userNameEdit()->setText(name);
        dialog.passwordEdit()->setText("secret1");
        dialog.show();
        bool okDisabled = false, stayedOpen = false, secondRefused = false;
        QTimer poll; // looks once the sign-in has begun
        connect(&poll, &QTimer::timeout, &dialog, [&] {
            if (!cloudop::running())
                return;
            poll.stop();
            okDisabled = !dialog.buttons()->button(QDialogButtonBox::Ok)->isEnabled();
            QTest::keyClick(&dialog, Qt::Key_Escape);
            stayedOpen = dialog.isVisible() && dialog.doneCode() == -1;
            secondRefused = !cloudop::begin();
        });
        poll.start(5);
        dialog.accept();
        QVERIFY(okDisabled && stayedOpen && secondRefused);
        QCOMPARE(dialog.doneCode(), int(QDialog::Accepted));
        QCOMPARE(prompts.infos(), QStringList{"用户登录成功！"});
        QVERIFY(!cloudop::running());
    }

    // Sign-ins and sign-outs on one thread, URLs built from snapshots on another: every uid in a
    // URL goes with the sid issued with it.
    void sessionSnapshotsNeverMix()
    {
        std::atomic<bool> done{false};
        int mixed = 0;
        std::thread writer([&] {
            for (int i = 0; i < 10000; ++i) {
                g_App.account().startSession(QString("u%1").arg(i), QString("s%1").arg(i), "n", "0");
                g_App.account().clearSession();
            }
            done = true;
        });
        while (!done) { // an empty uid or sid beside the other's number differs too
            const Session s = g_App.account().session();
            const QUrlQuery q(QUrl(web::apiUrl() + QString::fromLatin1(web::kHeartbeat)
                                                       .arg(s.uid, web::urlEncode(s.username), s.sid, "4.31")));
            mixed += q.queryItemValue("uid").mid(1) != q.queryItemValue("sid").mid(1);
        }
        writer.join();
        QCOMPARE(mixed, 0);
    }
};

QTEST_MAIN(TstAccount)
#include "tst_account.moc"
