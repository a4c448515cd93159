// Database files, schema, start-up checks, data access and the shared connection.
#include "Folders.h"
#include "Rows.h"
#include "TestProfile.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

namespace {

int count(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    return q->next() ? q->value(0).toInt() : -1;
}

QString text(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    return q->next() ? q->value(0).toString() : QString();
}

void insertNode(const QString &id, const QVariant &pid, int level, double sort,
                const QString &table = QStringLiteral("BookTree"))
{
    execPrepared(QStringLiteral("INSERT INTO %1(ID,pID,NodeType,Level,Sort,Title,Category,Flag,Usn,Synced) "
                                "VALUES(?,?,3,?,?,?,'Book','A',5,1)").arg(table),
                 {id, pid, level, sort, id});
}

template <typename F> void expectError(F f, const QString &code, const QString &prefix)
{
    try {
        f();
        QFAIL(qPrintable("no exception, expected " + code));
    } catch (const Exception &e) {
        QCOMPARE(e.code(), code);
        QVERIFY2(e.message().startsWith(prefix) && !e.message().isEmpty(), qPrintable(e.message()));
    }
}

} // namespace

class TestStorage : public QObject
{
    Q_OBJECT
private slots:
    void cleanProfileStartThenSecondStart()
    {
        struct Umask {
            mode_t old = ::umask(0);
            ~Umask() { ::umask(old); }
        } openUmask;
        TestProfile profile;
        START_OK();
        QVERIFY(startBackupDatabase()); // the program's, once its window is painted
        waitForBackups();
        // A book is private whatever the umask: the main and log files, the backup, the log lines.
        writeLog("err", "probe");
        const QString today = QDate::currentDate().toString("yyyyMMdd");
        for (const QString &f : {profile.file("Inkboat.sdb"), profile.file("Inkboat_Log.sdb"),
                                 profile.file("backup/Inkboat_" + today + ".1.sdb.bak"), logFileName("err", QDate::currentDate())})
            QVERIFY2(int(QFile::permissions(f) & 0x7077) == int(QFileDevice::ReadOwner | QFileDevice::WriteOwner),
                     qPrintable(f));
        QCOMPARE(int(QFile::permissions(profile.dataPath()) & 0x7077),
                 int(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        for (const char *sub : {"log", "temp", "backup"})
            QVERIFY2(QFileInfo(profile.file(QLatin1String(sub))).isDir(), sub);
        QCOMPARE(count("PRAGMA user_version"), 1);
        QCOMPARE(count("SELECT COUNT(*) FROM L.DbVersion"), 1);
        QCOMPARE(text("SELECT Version FROM L.DbVersion"), QStringLiteral("4.31"));
        QVERIFY(!getSysParam("Sys.MachineUniqueId").isEmpty());

        // Leave a row and free pages behind, and ask for shrinking at the next start.
        execSql("INSERT INTO BookTree(ID,pID,Level,Sort,Title) VALUES('B1','',0,1,'书')");
        {
            Transaction tx;
            for (int i = 0; i < 300; ++i)
                execSql(QString("INSERT INTO SysLog(ID,Content) VALUES('%1','%2')").arg(i).arg(QString(2000, 'x')));
            tx.commit();
        }
        execSql("DELETE FROM SysLog");
        QVERIFY(count("PRAGMA freelist_count") > 0);
        setSysParam("SysParams", R"({"autoShrinkDb": true})");
        stopApp();

        auto header = [&](const char *name) { return readBytes(profile.file(QLatin1String(name))).left(16); };
        const QByteArray plain("SQLite format 3\0", 16);
        QCOMPARE(header("Inkboat.sdb"), plain);
        QCOMPARE(header("Inkboat_Log.sdb"), plain);
        for (const char *lib : {"Inkboat_Material.sdb", "Inkboat_Sentence.sdb", "Inkboat_Article.sdb"}) {
            QVERIFY2(QFileInfo(profile.file(QLatin1String(lib))).size() > 0, lib);
            QVERIFY2(header(lib) != plain, lib);
        }

        // The second start adds no version row and no migration, keeps the data, and shrinks.
        START_OK();
        QCOMPARE(count("SELECT COUNT(*) FROM L.DbVersion"), 1);
        QCOMPARE(count("PRAGMA user_version"), 1);
        QCOMPARE(text("SELECT Title FROM BookTree WHERE ID='B1'"), QStringLiteral("书"));
        QCOMPARE(count("PRAGMA freelist_count"), 0);
    }

    // Library version 0 and from 3.0 pass; below 3.0 stops. A damaged file stops without touching the main file.
    void startUpChecks_data()
    {
        // version: written into the file's DbVersion; "<junk>": the file is overwritten
        // message: start of the one message shown; empty: none
        COLUMNS(QString, file, QString, version, QString, message, bool, ok)
        const QString m = "Inkboat_Material.sdb", bad = "版本异常，请到官方网站下载最新的完整版安装！";
        QTest::newRow("material without version") << m << "" << QString() << true;
        QTest::newRow("material 0") << m << "0" << QString() << true;
        QTest::newRow("material 2.9") << m << "2.9" << "您的素材库" + bad << false;
        QTest::newRow("material 3.0") << m << "3.0" << QString() << true;
        QTest::newRow("material 10.0 is a number") << m << "10.0" << QString() << true;
        QTest::newRow("sentence 2.9") << "Inkboat_Sentence.sdb" << "2.9" << "您的句词库" + bad << false;
        QTest::newRow("article 1") << "Inkboat_Article.sdb" << "1" << "您的文章库" + bad << false;
        QTest::newRow("damaged material library, nothing shipped")
            << m << "<junk>" << "打开素材库失败，有可能素材损坏或版本问题，请下载完整版素材安装，错误原因：\r\n" << false;
        // Usage counts only: kept under another name, a fresh file takes its place.
        QTest::newRow("damaged usage log") << "Inkboat_Log.sdb" << "<junk>" << "使用记录文件已损坏，已改名保留为" << true;
    }

    void startUpChecks()
    {
        FETCH(QString, file, QString, version, QString, message, bool, ok)
        TestProfile profile;
        START_OK();
        stopApp();
        if (version == "<junk>") {
            QVERIFY(writeBytes(profile.file(file), QByteArray(8192, 'z')));
        } else {
            QStringList sql{"CREATE TABLE IF NOT EXISTS DbVersion(Version VARCHAR(64))", "DELETE FROM DbVersion"};
            if (!version.isEmpty())
                sql << QStringLiteral("INSERT INTO DbVersion VALUES('%1')").arg(version);
            QVERIFY(onSideConnection(profile.file(file), Ink::libraryKey(), sql));
        }
        const QByteArray before = fileDigest(profile.file("Inkboat.sdb"));
        const QByteArray damaged = fileDigest(profile.file(file));
        const StartResult r = startApp();
        QCOMPARE(r.ok, ok);
        QVERIFY(r.exception.isEmpty());
        QCOMPARE(r.messages.size(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty())
            QVERIFY2(r.messages.first().startsWith(message), qPrintable(r.messages.first()));
        if (!ok) {
            QVERIFY(g_App.isQuitting());
            QVERIFY(!g_App.db().isOpen());
            QCOMPARE(fileDigest(profile.file("Inkboat.sdb")), before);
        } else if (version == "<junk>") {
            const QStringList aside = QDir(profile.dataPath()).entryList({file + ".*.damaged"});
            QCOMPARE(aside.size(), 1);
            QCOMPARE(fileDigest(profile.file(aside.first())), damaged);
            QVERIFY2(r.messages.first().contains(aside.first()), qPrintable(r.messages.first()));
            QCOMPARE(count("SELECT COUNT(*) FROM L.DbVersion"), 1);
        }
    }

    // A missing library is copied from the shipped one, which stays; one that is empty or no library
    // at all is replaced from it, the damaged file kept aside and logged; an empty one with nothing
    // shipped is used empty, and logged.
    void damagedLibraryIsReplaced_data()
    {
        COLUMNS(QString, damage, bool, shipped)
        QTest::newRow("missing") << "missing" << true;
        QTest::newRow("empty") << "empty" << true;
        QTest::newRow("not a database") << "junk" << true;
        QTest::newRow("wrong key") << "wrong key" << true;
        QTest::newRow("empty, nothing shipped") << "empty" << false;
    }

    void damagedLibraryIsReplaced()
    {
        FETCH(QString, damage, bool, shipped)
        QTemporaryDir source;
        QVERIFY(onSideConnection(source.path() + "/Inkboat_Material.sdb", Ink::libraryKey(),
                                 {"CREATE TABLE MaterialTree(ID VARCHAR(64), pID VARCHAR(64), Title VARCHAR(200))",
                                  "INSERT INTO MaterialTree(ID,pID,Title) VALUES('M1','','风')"}));
        TestProfile profile;
        START_OK();
        stopApp();
        const QString lib = profile.file("Inkboat_Material.sdb");
        QVERIFY(QFile::remove(lib));
        if (damage == "wrong key") {
            QVERIFY(onSideConnection(lib, "another", {"CREATE TABLE t(x)"}));
        } else if (damage != "missing") {
            QVERIFY(writeBytes(lib, damage == "junk" ? QByteArray(8192, 'z') : QByteArray()));
        }
        const QByteArray before = fileDigest(lib);
        if (shipped)
            g_App.setLibrarySourcePath(source.path() + "/");
        const StartResult r = startApp();
        g_App.setLibrarySourcePath(QString());
        QVERIFY2(r.ok, qPrintable(r.messages.join('|') + r.exception));
        QCOMPARE(count("SELECT COUNT(*) FROM M.MaterialTree WHERE ID='M1'"), shipped ? 1 : 0);
        const QStringList aside = QDir(profile.dataPath()).entryList({"Inkboat_Material.sdb.*.damaged"});
        QCOMPARE(aside.size(), shipped && damage != "missing" ? 1 : 0);
        if (!aside.isEmpty())
            QCOMPARE(fileDigest(profile.file(aside.first())), before);
        QCOMPARE(todaysLog().contains(lib), damage != "missing");
        QVERIFY(QFileInfo::exists(source.path() + "/Inkboat_Material.sdb")); // the shipped copy stays
    }

    // While backups exist a damaged main file is never taken as a new profile: the newest copy
    // that passes the check is offered, the damaged file kept aside; without one, the error.
    void damagedMainFile_data()
    {
        COLUMNS(QString, damage, QString, backups, int, answer, bool, ok)
        QTest::newRow("empty, restored") << "empty" << "good" << int(Ink::maYes) << true;
        QTest::newRow("not a database, older copy restored") << "junk" << "newest damaged" << int(Ink::maYes) << true;
        QTest::newRow("no tables, declined") << "no tables" << "good" << int(Ink::maNo) << false;
        QTest::newRow("not a database, no backup") << "junk" << "none" << int(Ink::maYes) << false;
    }

    void damagedMainFile()
    {
        FETCH(QString, damage, QString, backups, int, answer, bool, ok)
        TestProfile profile;
        START_OK();
        execSql("INSERT INTO BookTree(ID,pID,Level,Sort,Title) VALUES('B1','',0,1,'书')");
        QVERIFY(backupDatabase(false));
        stopApp(); // copies 1 and 2 of today hold the book
        const QString day = QDate::currentDate().toString("yyyyMMdd");
        auto copy = [&](int n) { return profile.file(QStringLiteral("backup/Inkboat_%1.%2.sdb.bak").arg(day).arg(n)); };
        QString offered = copy(1);
        if (backups == "none")
            QVERIFY(QDir(profile.file("backup")).removeRecursively());
        if (backups == "newest damaged") {
            QVERIFY(writeBytes(copy(1), QByteArray(8192, 'z')));
            offered = copy(2);
        }
        const QString main = profile.file("Inkboat.sdb");
        if (damage == "no tables") {
            QVERIFY(QFile::remove(main));
            QVERIFY(onSideConnection(main, QString(), {"CREATE TABLE other(x)"}));
        } else {
            QVERIFY(writeBytes(main, damage == "junk" ? QByteArray(8192, 'z') : QByteArray()));
        }
        const QByteArray before = fileDigest(main);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Can not open connection: .+"));
        const StartResult r = startApp(answer);
        QCOMPARE(r.ok, ok);
        QCOMPARE(r.messages.size(), 1);
        QCOMPARE(r.kinds.first(), int(backups == "none" ? Ink::mkError : Ink::mkQuestion));
        QVERIFY2(r.messages.first().contains(main) && (backups == "none" || r.messages.first().contains(offered)),
                 qPrintable(r.messages.first()));
        const QStringList aside = QDir(profile.dataPath()).entryList({"Inkboat.sdb.*.damaged"});
        if (ok) {
            QCOMPARE(text("SELECT Title FROM BookTree WHERE ID='B1'"), QStringLiteral("书"));
            QCOMPARE(aside.size(), 1);
            QCOMPARE(fileDigest(profile.file(aside.first())), before);
            QCOMPARE(int(QFile::permissions(main) & 0x7077), int(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        } else {
            QVERIFY(aside.isEmpty());
            QCOMPARE(fileDigest(main), before);
            QVERIFY(todaysLog().contains(main));
        }
    }

    // Another process holds the main file although the instance lock is gone.
    void mainFileHeldElsewhere()
    {
        TestProfile profile;
        START_OK();
        stopApp();
        const QString name = openSideConnection(profile.file("Inkboat.sdb"));
        {
            QSqlQuery q(QSqlDatabase::database(name));
            QVERIFY(q.exec("PRAGMA locking_mode=EXCLUSIVE"));
            QVERIFY(q.exec("BEGIN EXCLUSIVE"));
        }
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Can not open connection: .+"));
        const StartResult r = startApp();
        closeSideConnection(name);
        QVERIFY(!r.ok);
        QCOMPARE(r.messages.size(), 1);
        QVERIFY2(r.messages.first().contains(profile.dataPath()), qPrintable(r.messages.first()));
    }

    void treeRepairFixesParentsAndLevels()
    {
        TestProfile profile;
        START_OK();
        insertNode("BOOK", "", 0, 1);
        insertNode("VOL", "BOOK", 3, 1);       // one too deep
        insertNode("CH1", "VOL", 4, 1);        // whole subtree too deep
        insertNode("CH2", "VOL", 2, 2);        // right
        insertNode("LOOSE", QVariant(), 2, 1); // NULL parent: becomes a root
        insertNode("SELF", "SELF", 7, 1);      // its own parent: unreachable, left alone
        insertNode("", "", 0, 9);              // empty ID must not make every root its child
        insertNode("MEMO", QVariant(), 1, 1, "MemoTree");
        stopApp();

        START_OK();
        QCOMPARE(count("SELECT COUNT(*) FROM BookTree WHERE pId IS NULL"), 0);
        QCOMPARE(text("SELECT pID FROM MemoTree WHERE ID='MEMO'"), QString(""));
        QCOMPARE(count("SELECT Level FROM MemoTree WHERE ID='MEMO'"), 0);
        // {ID, level, synced}: corrected rows go to the next sync; untouched ones stay synchronised.
        const QList<std::tuple<QString, int, int>> expected = {{"BOOK", 0, 1}, {"VOL", 1, 0}, {"CH1", 2, 0},
                                                               {"CH2", 2, 1},  {"LOOSE", 0, 0}, {"SELF", 7, 1}, {"", 0, 1}};
        for (const auto &[id, level, synced] : expected) {
            QCOMPARE(count("SELECT Level FROM BookTree WHERE ID=" + quoteSql(id)), level);
            QCOMPARE(count("SELECT Synced FROM BookTree WHERE ID=" + quoteSql(id)), synced);
        }
    }

    // A start that will change the author's rows copies the file first, as it was; one that will
    // not leaves the copy to the painted window.
    void startUpCopyPrecedesChanges_data()
    {
        // change: on the stopped profile's main file, ";" between statements
        // asked: of the copy made by the start; empty: none is made
        COLUMNS(QString, change, QString, asked, int, answer)
        QTest::newRow("nothing to change") << "" << "" << 0;
        QTest::newRow("levels to repair") << "UPDATE BookTree SET Level=Level+1"
                                          << "SELECT Level FROM BookTree WHERE ID='B1'" << 1;
        QTest::newRow("parent to repair") << "UPDATE MemoTree SET pID=NULL"
                                          << "SELECT COUNT(*) FROM MemoTree WHERE pID IS NULL" << 1;
        QTest::newRow("old file to migrate")
            << "DROP TABLE MemoTree;DROP TABLE BookTree;CREATE TABLE BookTree(ID VARCHAR(64) PRIMARY KEY, pID, NodeType, Level, Sort, "
               "Title, Category, Created, Updated);INSERT INTO BookTree(ID,pID,Level) VALUES('B1','',0);"
               "PRAGMA user_version=0"
            << "SELECT COUNT(*) FROM pragma_table_info('BookTree') WHERE name='Flag'" << 0;
    }

    void startUpCopyPrecedesChanges()
    {
        FETCH(QString, change, QString, asked, int, answer)
        TestProfile profile;
        START_OK();
        insertNode("B1", "", 0, 1);
        insertNode("M1", "", 0, 1, "MemoTree");
        stopApp(); // the exit copy
        if (!change.isEmpty())
            QVERIFY(onSideConnection(profile.file("Inkboat.sdb"), QString(), change.split(';')));
        START_OK();
        const QDir backups(profile.file("backup"));
        QCOMPARE(backups.entryList({"*.sdb.bak"}).size(), asked.isEmpty() ? 1 : 2);
        QCOMPARE(g_App.startupCopyTaken(), !asked.isEmpty());
        if (asked.isEmpty())
            return;
        QCOMPARE(sideValue(backups.filePath(backupFileName(QDate::currentDate(), 1)), asked), QVariant(answer));
    }

    void hostileTextsRoundTrip_data()
    {
        QTest::addColumn<QString>("title");
        QTest::newRow("apostrophe") << "It's";
        QTest::newRow("only apostrophes") << "''''";
        QTest::newRow("placeholder") << "第%1章 %2";
        QTest::newRow("backslash") << "a\\b\\'c";
        QTest::newRow("emoji") << "😀写作✍️";
        QTest::newRow("injection") << "x'); DROP TABLE BookTree; --";
        QTest::newRow("empty") << "";
        QTest::newRow("newlines") << "line1\r\nline2\ttab";
    }

    void hostileTextsRoundTrip()
    {
        QFETCH(QString, title);
        TestProfile profile;
        START_OK();
        execSql(QStringLiteral("INSERT INTO BookTree(ID,pID,Title) VALUES(%1,'',%2)").arg(quoteSql("T1"), quoteSql(title)));
        QCOMPARE(text("SELECT Title FROM BookTree WHERE Title=" + quoteSql(title)), title);
        setSysParam(title, title);
        QCOMPARE(getSysParam(title, "default"), title);
        QCOMPARE(count("SELECT COUNT(*) FROM SysParam WHERE key=" + quoteSql(title)), 1);
    }

    void attachWorksWithAwkwardDataPath()
    {
        // The data folder is the profile's; give it a name that SQL literals and URIs must escape.
        QTemporaryDir base;
        const QString root = base.path() + "/it's 100% #1?";
        QVERIFY(QDir().mkpath(root));
        const QByteArray oldData = qgetenv("XDG_DATA_HOME");
        TestProfile profile;
        qputenv("XDG_DATA_HOME", QFile::encodeName(root));
        START_OK();
        QVERIFY(QFileInfo::exists(root + "/inkboathq/Inkboat/Inkboat_Material.sdb"));
        QCOMPARE(count("SELECT COUNT(*) FROM M.MaterialTree"), 0);
        stopApp();
        QCOMPARE(attachCipherStatement("/a'b/c%d?e#f.sdb", "M", "k'ey"),
                 QString("ATTACH DATABASE 'file:/a''b/c%25d%3fe%23f.sdb?cipher=chacha20' AS M key 'k''ey'"));
        qputenv("XDG_DATA_HOME", oldData);
    }

    void failingStatementsReportAndFreeTheConnection()
    {
        TestProfile profile;
        START_OK();
        expectError([] { execSql("SELEKT 1"); }, "ERR_QUERY", QString());
        QVERIFY_EXCEPTION_THROWN(openQuery("SELECT * FROM NoSuchTable"), Exception);
        expectError([] {
            Transaction outer;
            Transaction inner;
        }, "ERR_START_TRANSACTION", "启动事务失败！错误信息：\n");
        QCOMPARE(openTransactionCount(), 0);
        // A statement that ends the transaction itself: commit and rollback report it and still
        // give the connection back.
        execSql("CREATE TEMP TRIGGER undo_all BEFORE INSERT ON SysLog BEGIN SELECT RAISE(ROLLBACK,'撤回'); END");
        for (const bool commit : {true, false}) {
            expectError([commit] {
                Transaction tx;
                QVERIFY_EXCEPTION_THROWN(execSql("INSERT INTO SysLog(ID) VALUES('x')"), Exception);
                commit ? tx.commit() : tx.rollback();
            }, commit ? "ERR_COMMIT" : "ERR_ROLLBACK", commit ? "提交事务失败！错误信息：\n" : "回滚事务失败！错误信息：\n");
            QCOMPARE(openTransactionCount(), 0);
        }
        execSql("DROP TRIGGER temp.undo_all");
        // Transaction statements as text are refused by every statement call.
        expectError([] { openQuery("COMMIT"); }, "ERR_QUERY", "事务语句不能直接执行");
        expectError([] { execPrepared("ROLLBACK", {}); }, "ERR_QUERY", "事务语句不能直接执行");
        expectError([] { execQuery("SAVEPOINT s"); }, "ERR_QUERY", "事务语句不能直接执行");
        { // savepoints inside a transaction are its own business
            Transaction tx;
            for (const char *sql : {"SAVEPOINT s", "ROLLBACK TO s", "RELEASE s"})
                execSql(sql);
        }

        // The rows belong to the caller: another thread's statement does not replace them.
        const QVector<QSqlRecord> rows = execQuery("SELECT 5 AS v UNION ALL SELECT 7");
        std::unique_ptr<QThread> reader(QThread::create([] { execQuery("SELECT 6 AS v"); }));
        reader->start();
        QVERIFY(reader->wait(30000));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].value("v").toInt(), 5);
        QCOMPARE(rows[1].value("v").toInt(), 7);
        QCOMPARE(execSql("UPDATE SysParam SET value=value"), count("SELECT COUNT(*) FROM SysParam"));

        QCOMPARE(getSysParam("missing", "dflt"), QString("dflt"));
        setSysParam("k", "one");
        setSysParam("k", "two");
        QCOMPARE(count("SELECT COUNT(*) FROM SysParam WHERE key='k'"), 1);
        QCOMPARE(getSysParam("k"), QString("two"));
        // Inside the caller's transaction it joins it and is rolled back with it.
        {
            Transaction tx;
            setSysParam("k", "three", false);
        }
        QCOMPARE(getSysParam("k"), QString("two"));

        const QString guid = newGuid();
        QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(guid).hasMatch());
        QVERIFY(guid != newGuid());
        QCOMPARE(urlWithoutPassword("http://h/p?a=1&password=secret&b=2"), QString("http://h/p?a=1&b=2"));
    }

    void changedRowsAreMarkedForTheNextSync_data()
    {
        COLUMNS(QString, table, QString, flag, QString, expectedFlag)
        QTest::newRow("book new") << "BookTree" << "A" << "A";
        QTest::newRow("book changed") << "BookTree" << "U" << "A";
        QTest::newRow("book deleted") << "BookTree" << "D" << "D";
        QTest::newRow("book unknown flag") << "BookTree" << "X" << "Z";
        QTest::newRow("book log row") << "L.BookLog" << "U" << QString();
        QTest::newRow("system log row") << "L.SysLog" << "A" << QString();
    }

    void changedRowsAreMarkedForTheNextSync()
    {
        FETCH(QString, table, QString, flag, QString, expectedFlag)
        TestProfile profile;
        START_OK();
        QSqlRecord rec = g_App.db().record(table);
        QVERIFY(!rec.isEmpty());
        const QString old = "2000-01-01 00:00:00.000";
        for (const auto &[field, value] : {std::pair<const char *, QVariant>{"Created", old}, {"Updated", old},
                                           {"Flag", "Z"}, {"Usn", 42}, {"Synced", 1}})
            if (rec.contains(field))
                rec.setValue(field, value);
        prepareRecord(rec, flag);

        if (rec.contains("Updated")) {
            QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}$")
                        .match(rec.value("Updated").toString()).hasMatch());
            QVERIFY(rec.value("Updated").toString() != old);
        }
        QCOMPARE(rec.value("Created").toString() == old, flag != "A");
        if (rec.contains("Flag")) {
            QCOMPARE(rec.value("Flag").toString(), expectedFlag);
            QCOMPARE(rec.value("Usn").toInt(), 0);
        }
        if (rec.contains("Synced"))
            QCOMPARE(rec.value("Synced").toInt(), 0);
    }

    void resortRenumbersChildrenWritingOnlyMovedRows()
    {
        TestProfile profile;
        START_OK();
        insertNode("P", "", 0, 1);
        insertNode("C1", "P", 1, 1);
        insertNode("C2", "P", 1, 2);
        insertNode("C25", "P", 1, 2.5);
        insertNode("C3", "P", 1, 3);
        insertNode("G1", "C3", 5, 7); // grandchild with a wrong level and sort
        {
            // More children than a table model fetches at once, inserted in reverse, at a wrong level.
            Transaction tx;
            for (int i = 600; i >= 1; --i)
                insertNode(QString("X%1").arg(i, 4, 10, QChar('0')), "P", 5, 3 + i);
            tx.commit();
        }
        execSql("UPDATE BookTree SET Updated='2000-01-01 00:00:00.000'");
        resortChildren("BookTree", "P");

        QStringList order = {"C1", "C2", "C25", "C3"};
        for (int i = 1; i <= 600; ++i)
            order << QString("X%1").arg(i, 4, 10, QChar('0'));
        QStringList stored;
        for (QueryPtr q = openQuery("SELECT ID,Sort,Level FROM BookTree WHERE pID='P' ORDER BY Sort"); q->next();)
            if (q->value(1).toInt() == stored.size() + 1 && q->value(2).toInt() == 1)
                stored << q->value(0).toString();
        QCOMPARE(stored, order);
        QCOMPARE(count("SELECT Sort FROM BookTree WHERE ID='G1'"), 1);
        QCOMPARE(count("SELECT Level FROM BookTree WHERE ID='G1'"), 2);
        // Rows already in place are not written.
        QCOMPARE(text("SELECT Updated FROM BookTree WHERE ID='C1'"), QString("2000-01-01 00:00:00.000"));
        QCOMPARE(count("SELECT Synced FROM BookTree WHERE ID='C2'"), 1);
        QVERIFY(text("SELECT Updated FROM BookTree WHERE ID='C25'") != "2000-01-01 00:00:00.000");
        QCOMPARE(count("SELECT Synced + Usn FROM BookTree WHERE ID='C25'"), 0);
        QCOMPARE(openTransactionCount(), 0);
    }

    // A throw between begin and commit, a raw "BEGIN" included, leaves the connection to others.
    void throwInsideTransactionFreesTheConnection()
    {
        TestProfile profile;
        START_OK();
        for (const bool raw : {false, true}) {
            try {
                std::unique_ptr<Transaction> tx;
                raw ? void(execSql("BEGIN IMMEDIATE;")) : tx.reset(new Transaction);
                execSql("INSERT INTO SysParam(key,value) VALUES('half','1')");
                throw std::runtime_error("between begin and commit");
            } catch (const std::exception &) {
            }
        }
        std::unique_ptr<QThread> other(
            QThread::create([] { execSql("INSERT INTO SysParam(key,value) VALUES('other','1')"); }));
        other->start();
        const bool finished = other->wait(30000);
        if (!finished)
            other.release(); // stuck on the lock: left behind rather than destroyed while running
        QVERIFY(finished);
        QCOMPARE(openTransactionCount(), 0);
        QCOMPARE(count("SELECT COUNT(*) FROM SysParam WHERE key IN ('half','other')"), 1);
    }

    void otherThreadNeverJoinsATransaction()
    {
        TestProfile profile;
        START_OK();
        std::atomic<bool> inside{false};
        std::atomic<bool> failed{false};
        const int saves = 200;
        auto guarded = [&failed](std::function<void()> work) {
            return std::unique_ptr<QThread>(QThread::create([&failed, work] {
                try {
                    work();
                } catch (...) {
                    failed = true;
                }
            }));
        };
        auto rollbacker = guarded([&] {
            for (int round = 0; round < 5; ++round) {
                Transaction tx;
                inside = true;
                for (int i = 0; i < 20; ++i) {
                    execSql(QString("INSERT INTO SysLog(ID,Title) VALUES('R%1-%2','x')").arg(round).arg(i));
                    QThread::msleep(1);
                }
                tx.rollback();
            }
        });
        auto saver = guarded([&] {
            while (!inside)
                QThread::yieldCurrentThread();
            for (int i = 0; i < saves; ++i)
                execSql(QString("INSERT INTO DelLog(ID,Category) VALUES('S%1','book')").arg(i));
        });
        rollbacker->start();
        saver->start();
        QVERIFY(rollbacker->wait(60000));
        QVERIFY(saver->wait(60000));
        QVERIFY(!failed);
        QCOMPARE(count("SELECT COUNT(*) FROM DelLog"), saves);
        QCOMPARE(count("SELECT COUNT(*) FROM SysLog"), 0);
    }
};

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
