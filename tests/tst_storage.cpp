// Database files, schema, start-up checks, data access and the shared connection.
#include "Folders.h"
#include "Rows.h"
#include "StartedProfile.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

namespace {

// Every row of a query: columns joined by ':', rows by ' '.
QString rows(const QString &sql)
{
    QStringList out;
    for (QueryPtr q = openQuery(sql); q->next();) {
        QStringList columns;
        for (int i = 0; i < q->record().count(); ++i)
            columns << q->value(i).toString();
        out << columns.join(':');
    }
    return out.join(' ');
}
int count(const QString &sql) { return rows(sql).toInt(); }

void insertNode(const QString &id, const QVariant &pid, int level, double sort,
                const QString &table = QStringLiteral("BookTree"))
{
    execPrepared(QStringLiteral("INSERT INTO %1(ID,pID,NodeType,Level,Sort,Title,Category,Flag,Usn,Synced) "
                                "VALUES(?,?,3,?,?,?,'Book','A',5,1)").arg(table),
                 {id, pid, level, sort, id});
}

// "code|message" of the Exception f throws, or "none".
QString errorOf(const std::function<void()> &f)
{
    try {
        f();
    } catch (const Exception &e) {
        return e.code() + "|" + e.message();
    }
    return "none";
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
        StartedProfile profile;
        QVERIFY(startBackupDatabase()); // the program's, once its window is painted
        waitForBackups();
        // A book is private whatever the umask: the main and log files, the backup, the log lines.
        writeLog("err", "probe");
        const QString today = QDate::currentDate().toString("yyyyMMdd");
        for (const QString &f : {profile.file("Inkboat.sdb"), profile.file("Inkboat_Log.sdb"), profile.dataPath(),
                                 profile.file("backup/Inkboat_" + today + ".1.sdb.bak"), logFileName("err", QDate::currentDate())})
            QVERIFY2(int(QFile::permissions(f) & 0x7077) == (0x6000 | (f == profile.dataPath() ? 0x1000 : 0)), qPrintable(f));
        for (const char *sub : {"log", "temp", "backup"})
            QVERIFY2(QFileInfo(profile.file(QLatin1String(sub))).isDir(), sub);
        QCOMPARE(rows("SELECT Version, (SELECT user_version FROM pragma_user_version) FROM L.DbVersion"), "4.31:1");
        QVERIFY(!getSysParam("Sys.MachineUniqueId").isEmpty());

        // Leave a row and free pages behind, and ask for shrinking at the next start.
        execSql("INSERT INTO BookTree(ID,pID,Level,Sort,Title) VALUES('B1','',0,1,'书')");
        execSql(QString("INSERT INTO SysLog(ID,Content) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n "
                        "WHERE i < 300) SELECT i, '%1' FROM n").arg(QString(2000, 'x')));
        execSql("DELETE FROM SysLog");
        QVERIFY(count("PRAGMA freelist_count") > 0);
        setSysParam("SysParams", R"({"autoShrinkDb": true})");
        stopApp();

        // The author's files plain SQLite, the libraries enciphered.
        const QStringList plainFiles{"Inkboat.sdb", "Inkboat_Log.sdb"};
        for (const QString &file : plainFiles + QStringList{"Inkboat_Material.sdb", "Inkboat_Sentence.sdb", "Inkboat_Article.sdb"}) {
            const QByteArray header = readBytes(profile.file(file)).left(16);
            QVERIFY2(header.size() == 16 && (header == QByteArray("SQLite format 3\0", 16)) == plainFiles.contains(file), qPrintable(file));
        }

        // The second start adds no version row and no migration, keeps the data, and shrinks.
        START_OK();
        QCOMPARE(rows("SELECT Version, (SELECT user_version FROM pragma_user_version), (SELECT Title FROM BookTree WHERE "
                      "ID='B1'), (SELECT freelist_count FROM pragma_freelist_count) FROM L.DbVersion"),
                 QStringLiteral("4.31:1:书:0"));
    }

    // Library version 0 and from 3.0 pass; below 3.0 stops. A missing library is copied from the
    // shipped one, which stays; one that is empty or no library at all is replaced from it, kept
    // aside and logged; with nothing shipped a damaged one stops start-up without touching the
    // main file, an empty one is used empty. A damaged usage log is kept aside, a fresh one made.
    void startUpChecks_data()
    {
        // damage: a version written into the file's DbVersion ("" none), or what happens to the file
        // message: start of the one message shown; "-": not looked at
        COLUMNS(QString, file, QString, damage, bool, shipped, QString, message, bool, ok, int, aside)
        const QString m = "Inkboat_Material.sdb", bad = "版本异常，请到官方网站下载最新的完整版安装！";
        QTest::newRow("material without version") << m << "" << false << QString() << true << 0;
        QTest::newRow("material 0") << m << "0" << false << QString() << true << 0;
        QTest::newRow("material 2.9") << m << "2.9" << false << "您的素材库" + bad << false << 0;
        QTest::newRow("material 3.0") << m << "3.0" << false << QString() << true << 0;
        QTest::newRow("material 10.0 is a number") << m << "10.0" << false << QString() << true << 0;
        QTest::newRow("sentence 2.9") << "Inkboat_Sentence.sdb" << "2.9" << false << "您的句词库" + bad << false << 0;
        QTest::newRow("article 1") << "Inkboat_Article.sdb" << "1" << false << "您的文章库" + bad << false << 0;
        QTest::newRow("damaged material library, nothing shipped")
            << m << "junk" << false << "打开素材库失败，有可能素材损坏或版本问题，请下载完整版素材安装，错误原因：\r\n" << false << 0;
        QTest::newRow("damaged usage log") << "Inkboat_Log.sdb" << "junk" << false << "使用记录文件已损坏，已改名保留为" << true << 1;
        QTest::newRow("missing, shipped") << m << "missing" << true << "-" << true << 0;
        QTest::newRow("empty, shipped") << m << "empty" << true << "-" << true << 1;
        QTest::newRow("not a database, shipped") << m << "junk" << true << "-" << true << 1;
        QTest::newRow("wrong key, shipped") << m << "wrong key" << true << "-" << true << 1;
        QTest::newRow("empty, nothing shipped") << m << "empty" << false << "-" << true << 0;
    }

    void startUpChecks()
    {
        FETCH(QString, file, QString, damage, bool, shipped, QString, message, bool, ok, int, aside)
        const QString material = "Inkboat_Material.sdb";
        QTemporaryDir source;
        QVERIFY(onSideConnection(source.filePath(material), Ink::libraryKey(),
                                 {"CREATE TABLE MaterialTree(ID VARCHAR(64), pID VARCHAR(64), Title VARCHAR(200))",
                                  "INSERT INTO MaterialTree(ID,pID,Title) VALUES('M1','','风')"}));
        StartedProfile profile;
        stopApp();
        const QString lib = profile.file(file);
        if (damage == "junk" || damage == "empty")
            QVERIFY(writeBytes(lib, damage == "junk" ? QByteArray(8192, 'z') : QByteArray()));
        else if (damage == "missing" || damage == "wrong key")
            QVERIFY(QFile::remove(lib) && (damage == "missing" || onSideConnection(lib, "another", {"CREATE TABLE t(x)"})));
        else
            QVERIFY(onSideConnection(lib, Ink::libraryKey(), {"CREATE TABLE IF NOT EXISTS DbVersion(Version VARCHAR(64))", "DELETE FROM DbVersion",
                                                              damage.isEmpty() ? "SELECT 1" : "INSERT INTO DbVersion VALUES('" + damage + "')"}));
        const QByteArray before = fileDigest(profile.file("Inkboat.sdb")), damaged = fileDigest(lib);
        g_App.setLibrarySourcePath(shipped ? source.path() + "/" : QString());
        const StartResult r = startApp();
        g_App.setLibrarySourcePath(QString());
        const QString shown = r.messages.join('|');
        QCOMPARE(QString("%1").arg(r.ok) + r.exception, QString("%1").arg(ok));
        QVERIFY2(message == "-" || (r.messages.size() == int(!message.isEmpty()) && shown.startsWith(message)), qPrintable(shown));
        if (!ok)
            QVERIFY(g_App.isQuitting() && !g_App.db().isOpen() && fileDigest(profile.file("Inkboat.sdb")) == before);
        const QStringList asideFiles = QDir(profile.dataPath()).entryList({file + ".*.damaged"});
        QCOMPARE(asideFiles.size(), aside);
        QVERIFY(asideFiles.isEmpty() || fileDigest(profile.file(asideFiles.first())) == damaged);
        QVERIFY2(message.isEmpty() || message == "-" || !aside || shown.contains(asideFiles.first()), qPrintable(shown));
        if (ok && file == material)
            QCOMPARE(count("SELECT COUNT(*) FROM M.MaterialTree WHERE ID='M1'"), shipped ? 1 : 0);
        if (message == "-") // replaced or used empty: logged, and the shipped copy stays
            QVERIFY(todaysLog().contains(lib) == (damage != "missing") && QFileInfo::exists(source.filePath(material)));
        if (file == "Inkboat_Log.sdb" && ok)
            QCOMPARE(count("SELECT COUNT(*) FROM L.DbVersion"), 1);
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
        // Another process holds the file although the instance lock is gone: nothing to restore.
        QTest::newRow("held elsewhere") << "held" << "good" << int(Ink::maYes) << false;
    }

    void damagedMainFile()
    {
        FETCH(QString, damage, QString, backups, int, answer, bool, ok)
        StartedProfile profile;
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
        const QString holder = damage == "held" ? openSideConnection(main) : QString();
        for (const char *sql : {"PRAGMA locking_mode=EXCLUSIVE", "BEGIN EXCLUSIVE"})
            QVERIFY(holder.isEmpty() || QSqlQuery(QSqlDatabase::database(holder)).exec(sql));
        if (damage == "no tables")
            QVERIFY(QFile::remove(main) && onSideConnection(main, QString(), {"CREATE TABLE other(x)"}));
        else if (damage != "held")
            QVERIFY(writeBytes(main, damage == "junk" ? QByteArray(8192, 'z') : QByteArray()));
        const QByteArray before = fileDigest(main);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Can not open connection: .+"));
        const StartResult r = startApp(answer);
        if (!holder.isEmpty())
            closeSideConnection(holder);
        const bool offers = backups != "none" && damage != "held";
        QCOMPARE(QString("%1 %2").arg(r.ok).arg(r.kinds.size()), QString("%1 1").arg(ok));
        QCOMPARE(r.kinds.first(), int(offers ? Ink::mkQuestion : Ink::mkError));
        QVERIFY2(r.messages.first().contains(damage == "held" ? profile.dataPath() : main) && (!offers || r.messages.first().contains(offered)),
                 qPrintable(r.messages.first()));
        const QStringList aside = QDir(profile.dataPath()).entryList({"Inkboat.sdb.*.damaged"});
        if (ok) {
            QCOMPARE(rows("SELECT Title FROM BookTree WHERE ID='B1'"), QStringLiteral("书"));
            QVERIFY(aside.size() == 1 && fileDigest(profile.file(aside.first())) == before);
            QCOMPARE(int(QFile::permissions(main) & 0x7077), int(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        } else {
            QVERIFY(aside.isEmpty() && fileDigest(main) == before && (damage == "held" || todaysLog().contains(main)));
        }
    }

    void treeRepairFixesParentsAndLevels()
    {
        StartedProfile profile;
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
        // ID:parent:level:synced; corrected rows go to the next sync, untouched ones stay synchronised.
        QCOMPARE(rows("SELECT ID, IFNULL(pID,'null'), Level, Synced FROM BookTree ORDER BY ID"),
                 QString("::0:1 BOOK::0:1 CH1:VOL:2:0 CH2:VOL:2:1 LOOSE::0:0 SELF:SELF:7:1 VOL:BOOK:1:0"));
        QCOMPARE(rows("SELECT ID, IFNULL(pID,'null'), Level FROM MemoTree"), QString("MEMO::0"));
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
        StartedProfile profile;
        insertNode("B1", "", 0, 1);
        insertNode("M1", "", 0, 1, "MemoTree");
        stopApp(); // the exit copy
        if (!change.isEmpty())
            QVERIFY(onSideConnection(profile.file("Inkboat.sdb"), QString(), change.split(';')));
        START_OK();
        const QDir backups(profile.file("backup"));
        QCOMPARE(QString("%1 %2").arg(backups.entryList({"*.sdb.bak"}).size()).arg(g_App.startupCopyTaken()),
                 QString("%1 %2").arg(asked.isEmpty() ? 1 : 2).arg(!asked.isEmpty()));
        QVERIFY(asked.isEmpty() || sideValue(backups.filePath(backupFileName(QDate::currentDate(), 1)), asked) == QVariant(answer));
    }

    void attachWorksWithAwkwardDataPath()
    {
        // The data folder is the profile's; give it a name that SQL literals and URIs must escape.
        QTemporaryDir base;
        const QString root = base.path() + "/it's 100% #1?";
        QVERIFY(QDir().mkpath(root));
        TestProfile profile; // gives XDG_DATA_HOME back
        qputenv("XDG_DATA_HOME", QFile::encodeName(root));
        START_OK();
        QVERIFY(QFileInfo::exists(root + "/inkboathq/Inkboat/Inkboat_Material.sdb"));
        QCOMPARE(rows("SELECT COUNT(*) FROM M.MaterialTree"), "0");
        QCOMPARE(attachCipherStatement("/a'b/c%d?e#f.sdb", "M", "k'ey"),
                 QString("ATTACH DATABASE 'file:/a''b/c%25d%3fe%23f.sdb?cipher=chacha20' AS M key 'k''ey'"));
    }

    // Texts go in and out unchanged, failures are reported, and the connection is given back.
    void statementsKeepTextsReportFailuresAndFreeTheConnection()
    {
        StartedProfile profile;
        for (const QString title : {"It's", "''''", "第%1章 %2", "a\\b\\'c", "😀写作✍️", "x'); DROP TABLE BookTree; --", "",
                                     "line1\r\nline2\ttab"}) {
            execSql(QStringLiteral("INSERT INTO BookTree(ID,pID,Title) VALUES(%1,'',%2)").arg(quoteSql(newGuid()), quoteSql(title)));
            setSysParam(title, title);
            QCOMPARE(rows("SELECT Title FROM BookTree WHERE Title=" + quoteSql(title)) + "|" + getSysParam(title, "default") + "|" +
                         rows("SELECT COUNT(*) FROM SysParam WHERE key=" + quoteSql(title)),
                     title + "|" + title + "|1");
        }
        // A statement that ends the transaction itself: commit and rollback report it and still
        // give the connection back.
        execSql("CREATE TEMP TRIGGER undo_all BEFORE INSERT ON SysLog BEGIN SELECT RAISE(ROLLBACK,'撤回'); END");
        const auto undone = [](bool commit) {
            Transaction tx;
            QVERIFY_EXCEPTION_THROWN(execSql("INSERT INTO SysLog(ID) VALUES('x')"), Exception);
            commit ? tx.commit() : tx.rollback();
        };
        const QString asText = "ERR_QUERY|事务语句不能直接执行"; // transaction statements as text are refused
        const QList<QPair<std::function<void()>, QString>> cases = {
            {[] { execSql("SELEKT 1"); }, "ERR_QUERY|"},
            {[] { openQuery("SELECT * FROM NoSuchTable"); }, "ERR_QUERY|"},
            {[] { Transaction outer, inner; }, "ERR_START_TRANSACTION|启动事务失败！错误信息：\n"},
            {[&] { undone(true); }, "ERR_COMMIT|提交事务失败！错误信息：\n"},
            {[&] { undone(false); }, "ERR_ROLLBACK|回滚事务失败！错误信息：\n"},
            {[] { openQuery("COMMIT"); }, asText},
            {[] { execPrepared("ROLLBACK", {}); }, asText},
            {[] { execQuery("SAVEPOINT s"); }, asText},
            {[] { // a throw between begin and commit gives the connection back, its rows rolled back
                 Transaction tx;
                 execSql("INSERT INTO SysParam(key,value) VALUES('half','1')");
                 throw Exception("between begin and commit");
             }, "0|between begin and commit"},
            {[] { // savepoints inside a transaction are its own business
                 Transaction tx;
                 for (const char *sql : {"SAVEPOINT s", "ROLLBACK TO s", "RELEASE s"})
                     execSql(sql);
             }, "none"},
        };
        for (const auto &[f, expected] : cases) {
            const QString got = errorOf(f);
            QVERIFY2(got.startsWith(expected) && !got.endsWith('|') && openTransactionCount() == 0, qPrintable(got));
        }
        execSql("DROP TRIGGER temp.undo_all");

        // The rows belong to the caller: another thread's statement (which needs the connection
        // freed above) does not replace them.
        const QVector<QSqlRecord> got = execQuery("SELECT 5 AS v UNION ALL SELECT 7");
        std::unique_ptr<QThread> reader(QThread::create([] { execQuery("SELECT 6 AS v"); }));
        reader->start();
        QVERIFY(reader->wait(30000));
        QCOMPARE(got.size() == 2 ? got[0].value("v").toString() + got[1].value("v").toString() : QString(), "57");
        QCOMPARE(execSql("UPDATE SysParam SET value=value"), count("SELECT COUNT(*) FROM SysParam"));

        setSysParam("k", "one");
        setSysParam("k", "two");
        { // inside the caller's transaction it joins it and is rolled back with it
            Transaction tx;
            setSysParam("k", "three", false);
        }
        QCOMPARE(getSysParam("half", "dflt") + rows("SELECT value FROM SysParam WHERE key='k'"), "dflttwo");
        const QString guid = newGuid();
        QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(guid).hasMatch() && guid != newGuid());
        QCOMPARE(urlWithoutPassword("http://h/p?a=1&password=secret&b=2"), QString("http://h/p?a=1&b=2"));
    }

    void changedRowsAreMarkedForTheNextSync_data()
    {
        // marks: Created kept (old) or set (new) | Updated | Flag | Usn | Synced; "-": no such column
        COLUMNS(QString, table, QString, flag, QString, marks)
        QTest::newRow("book new") << "BookTree" << "A" << "new|now|A|0|0";
        QTest::newRow("book changed") << "BookTree" << "U" << "old|now|A|0|0";
        QTest::newRow("book deleted") << "BookTree" << "D" << "old|now|D|0|0";
        QTest::newRow("book unknown flag") << "BookTree" << "X" << "old|now|Z|0|0";
        QTest::newRow("book log row") << "L.BookLog" << "U" << "old|now|-|-|0";
        QTest::newRow("system log row") << "L.SysLog" << "A" << "new|-|-|-|-";
    }

    void changedRowsAreMarkedForTheNextSync()
    {
        FETCH(QString, table, QString, flag, QString, marks)
        StartedProfile profile;
        QSqlRecord rec = g_App.db().record(table);
        QVERIFY(!rec.isEmpty());
        const QString old = "2000-01-01 00:00:00.000";
        for (const auto &[field, value] : {std::pair<const char *, QVariant>{"Created", old}, {"Updated", old},
                                           {"Flag", "Z"}, {"Usn", 42}, {"Synced", 1}})
            if (rec.contains(field))
                rec.setValue(field, value);
        prepareRecord(rec, flag);
        const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}$");
        QStringList got{rec.value("Created").toString() == old ? "old" : "new"};
        for (const char *field : {"Updated", "Flag", "Usn", "Synced"}) {
            const QString value = rec.value(field).toString();
            got << (!rec.contains(field) ? "-" : value != old && strcmp(field, "Updated") == 0 && stamp.match(value).hasMatch() ? "now" : value);
        }
        QCOMPARE(got.join('|'), marks);
    }

    void resortRenumbersChildrenWritingOnlyMovedRows()
    {
        StartedProfile profile;
        insertNode("P", "", 0, 1);
        insertNode("C1", "P", 1, 1);
        insertNode("C2", "P", 1, 2);
        insertNode("C25", "P", 1, 2.5);
        insertNode("C3", "P", 1, 3);
        insertNode("G1", "C3", 5, 7); // grandchild with a wrong level and sort
        QString expected = "C1:1:1 C2:2:1 C25:3:1 C3:4:1";
        {
            // More children than a table model fetches at once, inserted in reverse, at a wrong level.
            Transaction tx;
            for (int i = 600; i >= 1; --i)
                insertNode(QString("X%1").arg(i, 4, 10, QChar('0')), "P", 5, 3 + i);
            tx.commit();
        }
        for (int i = 1; i <= 600; ++i)
            expected += QString(" X%1:%2:1").arg(i, 4, 10, QChar('0')).arg(4 + i);
        execSql("UPDATE BookTree SET Updated='2000-01-01 00:00:00.000'");
        resortChildren("BookTree", "P");
        QCOMPARE(rows("SELECT ID,Sort,Level FROM BookTree WHERE pID='P' ORDER BY Sort"), expected);
        QCOMPARE(rows("SELECT Sort,Level FROM BookTree WHERE ID='G1'"), "1:2");
        // Rows already in place are not written: "ID:unchanged:Synced:Usn".
        QCOMPARE(rows("SELECT ID, Updated='2000-01-01 00:00:00.000', Synced, Usn FROM BookTree WHERE ID IN ('C1','C2','C25') "
                      "ORDER BY ID"),
                 "C1:1:1:5 C2:1:1:5 C25:0:0:0");
        QCOMPARE(openTransactionCount(), 0);
    }

    void otherThreadNeverJoinsATransaction()
    {
        StartedProfile profile;
        std::atomic<bool> inside{false}, failed{false};
        const int saves = 200;
        const auto guarded = [&failed](std::function<void()> work) {
            return std::unique_ptr<QThread>(QThread::create([&failed, work] {
                try {
                    work();
                } catch (...) {
                    failed = true;
                }
            }));
        };
        const auto rollbacker = guarded([&] {
            for (int round = 0; round < 5; ++round) {
                Transaction tx;
                inside = true;
                for (int i = 0; i < 20; ++i, QThread::msleep(1)) // room for the other thread to try
                    execSql(QString("INSERT INTO SysLog(ID,Title) VALUES('R%1-%2','x')").arg(round).arg(i));
                tx.rollback();
            }
        });
        const auto saver = guarded([&] {
            while (!inside)
                QThread::yieldCurrentThread();
            for (int i = 0; i < saves; ++i)
                execSql(QString("INSERT INTO DelLog(ID,Category) VALUES('S%1','book')").arg(i));
        });
        rollbacker->start();
        saver->start();
        QVERIFY(rollbacker->wait(60000) && saver->wait(60000) && !failed);
        QCOMPARE(rows("SELECT (SELECT COUNT(*) FROM DelLog), COUNT(*) FROM SysLog"), QString("%1:0").arg(saves));
    }
};

QTEST_GUILESS_MAIN(TestStorage)
#include "tst_storage.moc"
