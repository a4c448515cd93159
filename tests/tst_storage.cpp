// Database files, schema, start-up checks, data access and the shared connection.
#include "TestProfile.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"
#include "storage/SqlTableModel.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QtTest>

#include <atomic>

#define START_OK()                                                                                                     \
    do {                                                                                                               \
        const StartResult r_ = startApp();                                                                             \
        QVERIFY2(r_.ok, qPrintable(r_.messages.join('|') + r_.exception));                                             \
    } while (0)

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

QStringList columns(const QString &table)
{
    QStringList out;
    const int dot = table.indexOf('.');
    QueryPtr q = openQuery(dot < 0 ? QStringLiteral("PRAGMA table_info(%1)").arg(table)
                                   : QStringLiteral("PRAGMA %1.table_info(%2)").arg(table.left(dot), table.mid(dot + 1)));
    while (q->next())
        out << q->value(1).toString();
    return out;
}

void insertNode(const QString &id, const QVariant &pid, int level, double sort,
                const QString &table = QStringLiteral("BookTree"))
{
    execPrepared(QStringLiteral("INSERT INTO %1(ID,pID,NodeType,Level,Sort,Title,Category,Flag,Usn,Synced) "
                                "VALUES(?,?,3,?,?,?,'Book','A',5,1)").arg(table),
                 {id, pid, level, sort, id});
}

// Runs statements on a file through a connection of its own (library key).
void onSideConnection(const QString &file, const QStringList &statements)
{
    const QString name = openSideConnection(file, Ink::libraryKey());
    {
        QSqlQuery q(QSqlDatabase::database(name));
        for (const QString &sql : statements)
            QVERIFY2(q.exec(sql), qPrintable(sql + ": " + q.lastError().text()));
    }
    closeSideConnection(name);
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
        TestProfile profile;
        START_OK();
        QCOMPARE(int(QFile::permissions(profile.dataPath()) & 0x7077),
                 int(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        for (const char *sub : {"log", "temp", "backup"})
            QVERIFY2(QFileInfo(profile.file(QLatin1String(sub))).isDir(), sub);
        // The start-up backup before the repair.
        QVERIFY(QFileInfo::exists(profile.file(
            QStringLiteral("backup/Inkboat_%1.1.sdb.bak").arg(QDate::currentDate().toString("yyyyMMdd")))));
        QCOMPARE(count("PRAGMA user_version"), 1);
        for (const char *table : {"BookTree", "MemoTree"}) {
            const QStringList cols = columns(QLatin1String(table));
            for (const char *c : {"OrigID", "Flag", "Usn", "Synced", "HTML", "PlainText"})
                QVERIFY2(cols.contains(QLatin1String(c)), c);
        }
        QVERIFY(columns("MaterialTree").contains("FeeGroup"));
        QVERIFY(!columns("MaterialTree").contains("Flag"));
        for (const char *table : {"SysParam", "SysLog", "DelLog", "M.MaterialTree", "S.SentenceTree", "A.ArticleTree",
                                  "L.SysLog", "L.BookLog", "L.ActionLog", "DbVersion", "M.DbVersion", "S.DbVersion",
                                  "A.DbVersion", "L.DbVersion"})
            QVERIFY2(!columns(QLatin1String(table)).isEmpty(), table);
        QCOMPARE(count("SELECT COUNT(*) FROM L.DbVersion"), 1);
        QCOMPARE(text("SELECT Version FROM L.DbVersion"), QStringLiteral("4.31"));
        QVERIFY(!getSysParam("Sys.MachineUniqueId").isEmpty());

        // A second instance is refused and touches nothing.
        const QByteArray before = fileDigest(profile.file("Inkboat.sdb"));
        App other;
        QStringList messages;
        other.setMessageHook([&](int, const QString &t) {
            messages << t;
            return 0;
        });
        QVERIFY(!other.init());
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.first().contains("已经在运行"));
        QVERIFY(g_App.db.isOpen());
        QCOMPARE(fileDigest(profile.file("Inkboat.sdb")), before);

        // Leave a row and free pages behind, and ask for shrinking at the next start.
        execSql("INSERT INTO BookTree(ID,pID,Level,Sort,Title) VALUES('B1','',0,1,'书')");
        beginTransaction();
        for (int i = 0; i < 300; ++i)
            execSql(QString("INSERT INTO SysLog(ID,Content) VALUES('%1','%2')").arg(i).arg(QString(2000, 'x')));
        commitTransaction();
        execSql("DELETE FROM SysLog");
        QVERIFY(count("PRAGMA freelist_count") > 0);
        setSysParam("SysParams", R"({"autoShrinkDb": true})");
        stopApp();

        auto header = [&](const char *name) {
            QFile f(profile.file(QLatin1String(name)));
            f.open(QIODevice::ReadOnly);
            return f.read(16);
        };
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
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("version"); // written into the file's DbVersion; "<junk>": the file is overwritten
        QTest::addColumn<QString>("message"); // start of the one message shown; empty: none
        QTest::addColumn<bool>("ok");
        const QString m = "Inkboat_Material.sdb", bad = "版本异常，请到官方网站下载最新的完整版安装！";
        QTest::newRow("material without version") << m << "" << QString() << true;
        QTest::newRow("material 0") << m << "0" << QString() << true;
        QTest::newRow("material 2.9") << m << "2.9" << "您的素材库" + bad << false;
        QTest::newRow("material 3.0") << m << "3.0" << QString() << true;
        QTest::newRow("material 10.0 is a number") << m << "10.0" << QString() << true;
        QTest::newRow("sentence 2.9") << "Inkboat_Sentence.sdb" << "2.9" << "您的句词库" + bad << false;
        QTest::newRow("article 1") << "Inkboat_Article.sdb" << "1" << "您的文章库" + bad << false;
        QTest::newRow("damaged material library")
            << m << "<junk>" << "打开素材库失败，有可能素材损坏或版本问题，请下载完整版素材安装，错误原因：\r\n" << false;
        QTest::newRow("damaged main file") << "Inkboat.sdb" << "<junk>" << QString() << false;
    }

    void startUpChecks()
    {
        QFETCH(QString, file);
        QFETCH(QString, version);
        QFETCH(QString, message);
        QFETCH(bool, ok);
        TestProfile profile;
        START_OK();
        stopApp();
        if (version == "<junk>") {
            QFile f(profile.file(file));
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(QByteArray(8192, 'z'));
        } else {
            QStringList sql{"CREATE TABLE IF NOT EXISTS DbVersion(Version VARCHAR(64))", "DELETE FROM DbVersion"};
            if (!version.isEmpty())
                sql << QStringLiteral("INSERT INTO DbVersion VALUES('%1')").arg(version);
            onSideConnection(profile.file(file), sql);
        }
        const QByteArray before = fileDigest(profile.file("Inkboat.sdb"));
        if (!ok && message.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Can not open connection: .+"));
        const StartResult r = startApp();
        QCOMPARE(r.ok, ok);
        QVERIFY(r.exception.isEmpty());
        if (!ok) {
            QVERIFY(g_App.isQuitting());
            QVERIFY(!g_App.db.isOpen());
            QCOMPARE(r.messages.size(), message.isEmpty() ? 0 : 1);
            if (!message.isEmpty())
                QVERIFY2(r.messages.first().startsWith(message), qPrintable(r.messages.first()));
            QCOMPARE(fileDigest(profile.file("Inkboat.sdb")), before);
        }
    }

    void shippedLibrariesAreCopied()
    {
        QTemporaryDir shipped;
        const QString material = shipped.path() + "/Inkboat_Material.sdb";
        onSideConnection(material, {"CREATE TABLE MaterialTree(ID VARCHAR(64), pID VARCHAR(64), Title VARCHAR(200))",
                                    "INSERT INTO MaterialTree(ID,pID,Title) VALUES('M1','','风')",
                                    "CREATE TABLE DbVersion(Version VARCHAR(64))", "INSERT INTO DbVersion VALUES('4.0')"});
        TestProfile profile;
        g_App.setLibrarySourcePath(shipped.path() + "/");
        const StartResult r = startApp();
        g_App.setLibrarySourcePath(QString());
        QVERIFY2(r.ok, qPrintable(r.messages.join('|') + r.exception));
        QCOMPARE(text("SELECT Title FROM M.MaterialTree WHERE ID='M1'"), QString("风"));
        QCOMPARE(count("SELECT COUNT(*) FROM S.SentenceTree"), 0);
        stopApp();
        QVERIFY(QFileInfo::exists(material)); // the shipped copy stays where it was
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

    void statementErrorsAndSysParams()
    {
        TestProfile profile;
        START_OK();
        expectError([] { execSql("SELEKT 1"); }, "ERR_QUERY", QString());
        QVERIFY_EXCEPTION_THROWN(openQuery("SELECT * FROM NoSuchTable"), Exception);
        expectError([] { commitTransaction(); }, "ERR_COMMIT", "提交事务失败！错误信息：\n");
        expectError([] { rollbackTransaction(); }, "ERR_ROLLBACK", "回滚事务失败！错误信息：\n");
        QCOMPARE(openTransactionCount(), 0);
        beginTransaction();
        expectError([] { beginTransaction(); }, "ERR_START_TRANSACTION", "启动事务失败！错误信息：\n");
        QCOMPARE(openTransactionCount(), 1);
        rollbackTransaction();
        QCOMPARE(openTransactionCount(), 0);

        execQuery("SELECT 5 AS v");
        QVERIFY(g_App.query.next());
        QCOMPARE(g_App.query.value("v").toInt(), 5);
        QCOMPARE(execSql("UPDATE SysParam SET value=value"), count("SELECT COUNT(*) FROM SysParam"));

        QCOMPARE(getSysParam("missing", "dflt"), QString("dflt"));
        setSysParam("k", "one");
        setSysParam("k", "two");
        QCOMPARE(count("SELECT COUNT(*) FROM SysParam WHERE key='k'"), 1);
        QCOMPARE(getSysParam("k"), QString("two"));
        // Inside the caller's transaction it joins it and is rolled back with it.
        beginTransaction();
        setSysParam("k", "three", false);
        rollbackTransaction();
        QCOMPARE(getSysParam("k"), QString("two"));

        const QString guid = newGuid();
        QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(guid).hasMatch());
        QVERIFY(guid != newGuid());
        QCOMPARE(randomString(12).size(), 12);
        QCOMPARE(urlWithoutPassword("http://h/p?a=1&password=secret&b=2"), QString("http://h/p?a=1&b=2"));
    }

    void prepareRecordBookkeeping_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("flag");
        QTest::addColumn<QString>("expectedFlag");
        QTest::newRow("book new") << "BookTree" << "A" << "A";
        QTest::newRow("book changed") << "BookTree" << "U" << "A";
        QTest::newRow("book deleted") << "BookTree" << "D" << "D";
        QTest::newRow("book unknown flag") << "BookTree" << "X" << "Z";
        QTest::newRow("book log row") << "L.BookLog" << "U" << QString();
        QTest::newRow("system log row") << "L.SysLog" << "A" << QString();
    }

    void prepareRecordBookkeeping()
    {
        QFETCH(QString, table);
        QFETCH(QString, flag);
        QFETCH(QString, expectedFlag);
        TestProfile profile;
        START_OK();
        QSqlRecord rec = g_App.db.record(table);
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

    void lengthChecks_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("empty") << 0;
        QTest::newRow("10240") << 10240;
        QTest::newRow("10241") << 10241;
    }

    void lengthChecks()
    {
        QFETCH(int, length);
        const QString t(length, QChar(0x5b57));
        const bool ok = length <= 10240;
        QCOMPARE(isArticleLengthOk(t), ok);
        QCOMPARE(isUserMaterialLengthOk(t), ok);
        if (ok) {
            checkArticleLength(t);
            checkUserMaterialLength(t);
        } else {
            expectError([&] { checkArticleLength(t); }, "0", "文章可以支持最大字符长度10240，不能继续！");
            expectError([&] { checkUserMaterialLength(t); }, "0", "用户素材可以支持最大字符长度10240，不能继续！");
        }
    }

    void resortChildrenRenumbers()
    {
        TestProfile profile;
        START_OK();
        insertNode("P", "", 0, 1);
        insertNode("C1", "P", 1, 1);
        insertNode("C2", "P", 1, 2);
        insertNode("C25", "P", 1, 2.5);
        insertNode("C3", "P", 1, 3);
        insertNode("G1", "C3", 5, 7); // grandchild with a wrong level and sort
        execSql("UPDATE BookTree SET Updated='2000-01-01 00:00:00.000'");
        resortChildren("BookTree", "P");

        const QStringList order = {"C1", "C2", "C25", "C3"};
        for (int i = 0; i < order.size(); ++i)
            QCOMPARE(count("SELECT Sort FROM BookTree WHERE ID=" + quoteSql(order[i])), i + 1);
        QCOMPARE(count("SELECT Sort FROM BookTree WHERE ID='G1'"), 1);
        QCOMPARE(count("SELECT Level FROM BookTree WHERE ID='G1'"), 2);
        // Rows already in place are not written.
        QCOMPARE(text("SELECT Updated FROM BookTree WHERE ID='C1'"), QString("2000-01-01 00:00:00.000"));
        QCOMPARE(count("SELECT Synced FROM BookTree WHERE ID='C2'"), 1);
        QVERIFY(text("SELECT Updated FROM BookTree WHERE ID='C25'") != "2000-01-01 00:00:00.000");
        QCOMPARE(count("SELECT Synced + Usn FROM BookTree WHERE ID='C25'"), 0);
        QCOMPARE(openTransactionCount(), 0);
    }

    void tableModelCursorAndLazyFetch()
    {
        TestProfile profile;
        START_OK();
        beginTransaction();
        for (int i = 0; i < 600; ++i)
            insertNode(QString("N%1").arg(i, 4, 10, QChar('0')), "", 0, i);
        commitTransaction();

        std::unique_ptr<SqlTableModel> model(openTableModel("BookTree"));
        model->setSort(model->fieldIndex("Sort"), Qt::AscendingOrder);
        QVERIFY(model->select());
        QVERIFY(model->bof());
        // Beyond the first fetch block of the model.
        QVERIFY(model->locate("ID", "N0555"));
        QCOMPARE(model->pos(), 555);
        QCOMPARE(model->value("Title").toString(), QString("N0555"));
        QVERIFY(!model->locate("ID", "none", true));
        QVERIFY(model->eof());
        model->first();
        model->next();
        QCOMPARE(model->pos(), 1);
        model->setPos(10000);
        QCOMPARE(model->pos(), 1);
        model->last();
        QCOMPARE(model->pos(), 600);
        QVERIFY(model->eof());

        QVERIFY(model->locate("ID", "N0003"));
        QSqlRecord rec = model->record();
        rec.setValue("Title", "改名");
        model->saveRecord(rec);
        QCOMPARE(text("SELECT Title FROM BookTree WHERE ID='N0003'"), QString("改名"));

        std::unique_ptr<SqlTableModel> query(openTableModel("SELECT ID FROM BookTree ORDER BY Sort", true, true));
        QCOMPARE(query->rowCount(), 600);
        QCOMPARE(query->pos(), 0);
        QCOMPARE(query->value("ID").toString(), QString("N0000"));
        query.reset();
        model.reset();
    }

    void failedWorkRollsBack()
    {
        TestProfile profile;
        START_OK();
        QVERIFY_EXCEPTION_THROWN(
            {
                Transaction tx;
                execSql("INSERT INTO SysParam(key,value) VALUES('a','1')");
                execSql("INSERT INTO NoSuchTable VALUES(1)");
                tx.commit();
            },
            Exception);
        QCOMPARE(openTransactionCount(), 0);
        QCOMPARE(count("SELECT COUNT(*) FROM SysParam WHERE key='a'"), 0);
        // The connection is usable and not inside a transaction.
        beginTransaction();
        commitTransaction();
    }

    void otherThreadNeverJoinsATransaction_data()
    {
        QTest::addColumn<bool>("raw");
        QTest::newRow("transaction calls") << false;
        QTest::newRow("raw BEGIN IMMEDIATE") << true;
    }

    void otherThreadNeverJoinsATransaction()
    {
        QFETCH(bool, raw);
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
                raw ? void(execSql("BEGIN IMMEDIATE;")) : beginTransaction();
                inside = true;
                for (int i = 0; i < 20; ++i) {
                    execSql(QString("INSERT INTO SysLog(ID,Title) VALUES('R%1-%2','x')").arg(round).arg(i));
                    QThread::msleep(1);
                }
                raw ? void(execSql("ROLLBACK;")) : rollbackTransaction();
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
