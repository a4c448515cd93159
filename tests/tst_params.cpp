// The parameter tree: defaults, persistence, clamping, bad stored data, the stored password, and
// the reminders the parameters call for.
#include "Folders.h"
#include "Rows.h"
#include "StartedProfile.h"

#include "app/App.h"
#include "params/Reminders.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QtTest>

class TestParams : public QObject
{
    Q_OBJECT
private slots:
    void defaultsSaveAndLoadThroughARestart()
    {
        StartedProfile profile;
        SysParams defaults;
        defaults.autoBackupDbPath = profile.dataPath() + "backup/";
        QVERIFY(g_SysParams == defaults && sysParamsSnapshot() == g_SysParams);
        SysParams &p = g_SysParams;
        p.visibilityParams.layoutInfo.splitterMainSizes = {120, 640, 300};
        p.visibilityParams.uiFontName = "微软雅黑";
        p.editorParams.defaultBackColor = QColor(200, 210, 220, 128);
        p.editorParams.sensitiveWords = "甲/乙";
        p.loginParams.userID = "writer";
        p.loginParams.password = "密码 p@ss'word";
        p.loginParams.saveLogin = true;
        p.cloudSyncParams.syncAtThread = true;
        p.saveBookInterval = 60;
        p.autoBackupDbPath = profile.root() + "/bak/";
        saveSysParams();
        const SysParams saved = g_SysParams;
        const QString stored = getSysParam("SysParams");
        QVERIFY(!stored.contains("p@ss") && !stored.contains("\"password\"") && stored.contains("\n    ")); // indented
        QVERIFY(stored.contains("\"smartSentenceWordIgnoreChars\"") && stored.contains("\"vPassword\""));
        stopApp();
        QVERIFY(startApp().ok);
        QVERIFY(g_SysParams == saved && g_SysParams.loginParams.password == "密码 p@ss'word");

        // An unchecked "save password" stores no password, not even an older one.
        g_SysParams.loginParams.vPassword = encipherPassword("older");
        g_SysParams.loginParams.saveLogin = false;
        saveSysParams();
        g_SysParams = SysParams();
        loadSysParams();
        QVERIFY(g_SysParams.loginParams.password.isEmpty() && g_SysParams.loginParams.vPassword.isEmpty());
    }

    // Members missing from the document keep their defaults and numbers out of range are clamped;
    // a document that cannot be read gives the defaults, is kept aside and logged, and the author
    // is told once.
    void loadingStoredDocuments_data()
    {
        // numbers: save interval, smart page count, font size, interface font size as loaded
        COLUMNS(QString, stored, QString, numbers, bool, rejected)
        QTest::newRow("partial, unknown keys") << R"({"saveBookInterval": 300, "unknownKey": [1,2],
            "editorParams": {"defaultFontSize": 16, "noSuchField": "x"}})" << "300 10 16 9" << false;
        QTest::newRow("too small") << R"({"saveBookInterval": 0, "editorParams": {"smartSentenceWordPageCount": 0,
            "defaultFontSize": -3}, "visibilityParams": {"uiFontSize": 0}})" << "10 1 1 1" << false;
        QTest::newRow("negative interval") << R"({"saveBookInterval": -50})" << "10 10 12 9" << false;
        QTest::newRow("sane values stay") << R"({"saveBookInterval": 45, "editorParams": {"smartSentenceWordPageCount": 3}})"
                                          << "45 3 12 9" << false;
        QTest::newRow("not JSON") << R"({"saveBookInterval": 300,)" << "180 10 12 9" << true;
        QTest::newRow("wrong type") << R"({"saveBookInterval": 300, "editorParams": "big"})" << "180 10 12 9" << true;
        QTest::newRow("array") << "[1,2,3]" << "180 10 12 9" << true;
        QTest::newRow("bad password") << R"({"saveBookInterval": 300, "loginParams": {"vPassword": "zz"}})" << "180 10 12 9"
                                      << true;
    }

    void loadingStoredDocuments()
    {
        FETCH(QString, stored, QString, numbers, bool, rejected)
        StartedProfile profile;
        setSysParam("SysParams", stored);
        loadSysParams();
        const SysParams &p = g_SysParams;
        QCOMPARE(QString("%1 %2 %3 %4").arg(p.saveBookInterval).arg(p.editorParams.smartSentenceWordPageCount)
                     .arg(p.editorParams.defaultFontSize).arg(p.visibilityParams.uiFontSize), numbers);
        QCOMPARE(p.editorParams.defaultFontName, SysParams().editorParams.defaultFontName);
        QVERIFY(p.cloudSyncParams == SysParams().cloudSyncParams && p.autoBackupDbPath == g_App.defaultBackupPath());
        const QString logged = todaysLog();
        QCOMPARE(logged.contains("参数读取失败"), rejected);
        const QStringList copies = QDir(profile.dataPath()).entryList({"SysParams.rejected.*.txt"}, QDir::Files);
        QCOMPARE(copies.size(), rejected ? 1 : 0);
        const QString notice = takeSysParamsNotice();
        QCOMPARE(notice.isEmpty(), !rejected);
        QVERIFY(takeSysParamsNotice().isEmpty());
        if (!rejected)
            return;
        QVERIFY(notice.contains(copies.first()) && logged.contains(copies.first()));
        QFile copy(profile.file(copies.first()));
        QCOMPARE(copy.permissions() & 0x0077, QFile::Permissions());
        saveSysParams(); // the copy outlives the next save
        QVERIFY(getSysParam("SysParams") != stored);
        QCOMPARE(QString::fromUtf8(readBytes(copy.fileName())), stored);
    }

    // The stored password reads back, never shows the plain text, and a tampered one is refused.
    void storedPasswordReadBackAndTamperingRefused()
    {
        for (const QString plain : {"", "abc", "12345678", "中文密码🔒"}) {
            const QString hex = encipherPassword(plain);
            bool ok = false, tampered = false;
            const QString back = decipherPassword(hex, &ok);
            if (!plain.isEmpty())
                decipherPassword(hex.chopped(1) + (hex.endsWith('0') ? '1' : '0'), &tampered);
            QVERIFY2(back == plain && ok && !tampered && hex.isEmpty() == plain.isEmpty() && hex.size() % 16 == 0 &&
                         (plain.isEmpty() || !hex.contains(plain)),
                     qPrintable(plain + " " + hex));
        }
    }

    // Which reminders are due: a sound default is not nagged about, account reminders come at
    // most weekly, the program's own backup folder is mentioned once, silenced ones never again.
    void remindersDueOnlyWhenUseful_data()
    {
        // backupPath: "<data>" = inside the data folder, "<default>" = the program's choice
        // allOff: automatic backup, cloud sync, logins
        // memory: key=days since shown, or key=off
        COLUMNS(QString, backupPath, bool, allOff, QString, user, QString, memory, QString, keys)
        QTest::newRow("all fine elsewhere") << "/proc/inkboat-backup" << false << "u" << "" << "";
        QTest::newRow("chosen folder on the same disk") << "<data>backup/" << false << "u" << "backupSameDisk=0" << "backupSameDisk";
        QTest::newRow("same disk silenced") << "<data>backup/" << false << "u" << "backupSameDisk=off" << "";
        QTest::newRow("default folder: once") << "<default>" << false << "u" << "" << "backupDisk";
        QTest::newRow("default folder: not twice") << "<default>" << false << "u" << "backupDisk=30" << "";
        QTest::newRow("no path") << "" << false << "u" << "" << "backupPath";
        QTest::newRow("drive letter is not C") << "C:\\backup\\" << false << "u" << "" << "backupSameDisk";
        QTest::newRow("no account: registration only") << "/proc/x" << true << "" << "" << "backupOff,register";
        QTest::newRow("registration within the week") << "/proc/x" << false << "" << "register=6" << "";
        QTest::newRow("registration after a week") << "/proc/x" << false << "" << "register=8" << "register";
        QTest::newRow("registration silenced") << "/proc/x" << false << "" << "register=off" << "";
        QTest::newRow("account without sync or login") << "/proc/x" << true << "u" << "login=2" << "backupOff,cloudSync";
    }

    void remindersDueOnlyWhenUseful()
    {
        FETCH(QString, backupPath, bool, allOff, QString, user, QString, memory, QString, keys)
        QTemporaryDir data;
        const QString defaultPath = data.path() + "/backup-default/";
        SysParams p;
        p.autoBackupDbPath = backupPath.replace("<data>", data.path() + "/").replace("<default>", defaultPath);
        p.autoBackupDb = p.cloudSyncParams.active = !allOff;
        p.loginParams.userID = user;
        p.loginParams.saveLogin = p.loginParams.autoLogin = !allOff;
        const QDateTime now = QDateTime::currentDateTime();
        ReminderMemory m;
        for (const QString &entry : memory.split(',', Qt::SkipEmptyParts)) {
            const QString key = entry.section('=', 0, 0), value = entry.section('=', 1);
            if (value == "off")
                m.silenced.insert(key);
            else
                m.lastShown.insert(key, now.addDays(-value.toInt()));
        }
        const QList<Reminder> due =
            dueReminders(p, data.path() + "/", defaultPath, ReminderMemory::fromJson(m.toJson()), now);
        QStringList dueKeys;
        for (const Reminder &r : due)
            dueKeys << r.key + (r.html.contains("<a href") && !r.html.contains("C盘") ? "" : " (no link, or a drive named)");
        QCOMPARE(dueKeys.join(','), keys);
    }
};

QTEST_GUILESS_MAIN(TestParams)
#include "tst_params.moc"
