// The enciphering SQLite driver against real files in a temporary folder.
#include "support/Folders.h"
#include "support/Rows.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kKey = QStringLiteral("k3y!Ink");
const QByteArray kMarker = QByteArrayLiteral("砚舟标记MARKER-7f3a");

// One connection, removed again with the object.
struct Conn {
    QString name = QStringLiteral("c%1").arg(quintptr(this));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("SQLITECIPHER"), name);
    Conn(const QString &path, const QString &key)
    {
        db.setDatabaseName(path);
        db.setPassword(key);
        db.setConnectOptions(key.isEmpty() ? QString() : QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
    }
    ~Conn()
    {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    bool exec(const QString &sql) { return QSqlQuery(db).exec(sql); }
    QVariant value(const QString &sql)
    {
        QSqlQuery q(db);
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    }
};

void makeEncipheredFile(const QString &path, int rows)
{
    Conn c(path, kKey);
    QVERIFY(c.db.open() && c.exec("CREATE TABLE t(id INTEGER PRIMARY KEY, txt TEXT)") && c.db.transaction());
    QSqlQuery q(c.db);
    QVERIFY(q.prepare("INSERT INTO t(txt) VALUES(?)"));
    for (int i = 0; i < rows; ++i) {
        q.addBindValue(QString::fromUtf8(kMarker) + QString::number(i) + QString(200, QChar(0x6587)));
        QVERIFY(q.exec());
    }
    QVERIFY(c.db.commit());
}

} // namespace

class TestSqlCipher : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase() { QVERIFY2(QSqlDatabase::isDriverAvailable("SQLITECIPHER"), "driver plug-in not found"); }

    void valuesComeBackWithTheirTypes_data()
    {
        COLUMNS(QVariant, in, QVariant, expected)
        QTest::newRow("null") << QVariant(QVariant::String) << QVariant();
        QTest::newRow("int") << QVariant(42) << QVariant(qlonglong(42));
        QTest::newRow("int64") << QVariant(qlonglong(1) << 50) << QVariant(qlonglong(1) << 50);
        QTest::newRow("double") << QVariant(3.25) << QVariant(3.25);
        QTest::newRow("bool") << QVariant(true) << QVariant(qlonglong(1));
        QTest::newRow("chinese and quotes") << QVariant(QStringLiteral("他说：“'%2' \\ 😀”"))
                                            << QVariant(QStringLiteral("他说：“'%2' \\ 😀”"));
        QTest::newRow("empty text") << QVariant(QString("")) << QVariant(QString(""));
        QTest::newRow("blob") << QVariant(QByteArray("a\0b\xff", 4)) << QVariant(QByteArray("a\0b\xff", 4));
        QTest::newRow("datetime") << QVariant(QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 89)))
                                  << QVariant(QStringLiteral("2026-03-04 05:06:07.089"));
        QTest::newRow("date") << QVariant(QDate(2026, 12, 6)) << QVariant(QStringLiteral("2026-12-06"));
    }

    void valuesComeBackWithTheirTypes()
    {
        FETCH(QVariant, in, QVariant, expected)
        Conn c(path("values.sdb"), kKey);
        QVERIFY(c.db.open() && c.exec("CREATE TABLE IF NOT EXISTS v(x)") && c.exec("DELETE FROM v"));
        QSqlQuery q(c.db);
        QVERIFY(q.prepare("INSERT INTO v(x) VALUES(?)"));
        q.addBindValue(in);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        QVERIFY(q.exec("SELECT x FROM v") && q.next());
        QCOMPARE(q.value(0).isNull(), expected.isNull());
        if (!expected.isNull())
            QCOMPARE((QVariantList{q.value(0), q.value(0).typeName()}), (QVariantList{expected, expected.typeName()}));
    }

    void boundStatementsStepAndCountRows()
    {
        Conn c(path("bind.sdb"), kKey);
        QVERIFY(c.db.open() && c.exec("CREATE TABLE r(id INTEGER PRIMARY KEY, v TEXT, s TEXT)"));
        QSqlQuery q(c.db);
        QVERIFY(q.prepare("INSERT INTO r(v, s) VALUES(:v, 'x:y')")); // a colon in quoted text is no placeholder
        for (const char *v : {"a", "b", "名", "d"}) {
            q.bindValue(":v", QString::fromUtf8(v));
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        }
        QCOMPARE(q.lastInsertId().toLongLong(), 4LL);
        QVERIFY(q.prepare("SELECT s FROM r WHERE id = ? AND v = ?"));
        q.addBindValue(3);
        q.addBindValue(QStringLiteral("名"));
        QVERIFY(q.exec() && q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("x:y"));
        // Too few values is an error, not a silent NULL; two statements are refused.
        QVERIFY(q.prepare("SELECT ? + ?"));
        q.addBindValue(1);
        QVERIFY(!q.exec());
        QVERIFY(!q.prepare("SELECT 1; SELECT 2"));
        QVERIFY(q.exec("UPDATE r SET v='z' WHERE id>2"));
        const int updated = q.numRowsAffected();
        QVERIFY(q.exec("CREATE TABLE other(x)"));
        const int created = q.numRowsAffected();
        QVERIFY(q.exec("SELECT id, v FROM r ORDER BY id"));
        QString walk = QString("%1 %2 %3").arg(updated).arg(created).arg(q.size());
        walk += q.seek(2) ? " seek " + q.value(0).toString() : " no seek";
        walk += q.previous() ? " previous " + q.value(1).toString() : " no previous";
        walk += q.last() ? QString(" last %1").arg(q.at()) : " no last";
        walk += q.next() ? " past" : " end";
        QSqlQuery f(c.db);
        f.setForwardOnly(true);
        for (walk += f.exec("SELECT id FROM r ORDER BY id") ? " forward" : " refused"; f.next();)
            walk += f.value(0).toString();
        QCOMPARE(walk, QString("2 0 -1 seek 3 previous b last 3 end forward1234"));
        // A statement in a transaction that is rolled back leaves nothing.
        QVERIFY(c.db.transaction() && q.exec("DELETE FROM r") && c.db.rollback());
        QCOMPARE(c.value("SELECT COUNT(*) FROM r").toInt(), 4);
        QVERIFY(!q.exec("SELECT x FROM nowhere"));
        QVERIFY2(q.lastError().text().contains("no such table"), qPrintable(q.lastError().text()));
    }

    void refusesWrongKeyDamageAndMismatch_data()
    {
        COLUMNS(QString, damage, QString, key)
        QTest::newRow("wrong key") << "none" << "wrong!!";
        QTest::newRow("enciphered opened without key") << "none" << "";
        QTest::newRow("plain opened with key") << "plain" << kKey;
        QTest::newRow("damaged header") << "header" << kKey;
        QTest::newRow("truncated to 50 bytes") << "truncate50" << kKey;
        QTest::newRow("not a database at all") << "garbage" << kKey;
        QTest::newRow("truncated mid-table") << "truncateHalf" << kKey;
    }

    void refusesWrongKeyDamageAndMismatch()
    {
        FETCH(QString, damage, QString, key)
        const QString p = path(QStringLiteral("refuse-%1-%2.sdb").arg(damage).arg(key.size()));
        if (damage == "plain") {
            Conn c(p, QString());
            QVERIFY(c.db.open() && c.exec("CREATE TABLE t(id INTEGER PRIMARY KEY, txt TEXT)"));
            QVERIFY(c.exec("INSERT INTO t(txt) VALUES('x')"));
        } else {
            makeEncipheredFile(p, 200);
        }
        QByteArray before = readBytes(p);
        if (damage == "header")
            before.replace(20, 5, "\x11\x22\x33\x44\x55");
        else if (damage.startsWith("truncate"))
            before.truncate(damage == "truncate50" ? 50 : before.size() / 2);
        else if (damage == "garbage")
            before = QByteArray(8192, 'x');
        QVERIFY(writeBytes(p, before));
        bool readAll = false;
        QString error;
        {
            Conn c(p, key);
            QSqlQuery q(c.db);
            if (!c.db.open())
                error = c.db.lastError().text();
            else if (q.exec("SELECT COUNT(*), SUM(LENGTH(txt)) FROM t") && q.next())
                readAll = q.value(0).toInt() == (damage == "plain" ? 1 : 200);
            else
                error = q.lastError().text();
        }
        QVERIFY2(!readAll, "damaged or mismatched file was read as if it were fine");
        QVERIFY2(!error.trimmed().isEmpty(), "no error text");
        QCOMPARE(readBytes(p), before); // never written to
    }

    void noClearTextInFileOrJournal()
    {
        const QString p = path("clear.sdb");
        makeEncipheredFile(p, 50);
        const QByteArray bytes = readBytes(p);
        QVERIFY(!bytes.startsWith("SQLite format 3") && !bytes.contains(kMarker) && !bytes.contains("CREATE TABLE"));
        // While a transaction is open, the journal holds old pages: they must be enciphered too.
        Conn c(p, kKey);
        QVERIFY(c.db.open() && c.exec("PRAGMA cache_size=5") && c.db.transaction());
        QVERIFY(c.exec("UPDATE t SET txt = 'changed'"));
        const QByteArray journal = readBytes(p + "-journal");
        QVERIFY(journal.size() > 4096 && !journal.contains(kMarker));
        QVERIFY(!readBytes(p).contains("changed"));
        QVERIFY(c.db.rollback());
        QVERIFY(c.value("SELECT txt FROM t WHERE id=1").toString().startsWith(QString::fromUtf8(kMarker)));
    }

    void crashInsideTransactionKeepsOldContent()
    {
        const QString p = path("crash.sdb");
        makeEncipheredFile(p, 300);
        const pid_t child = fork();
        if (child == 0) {
            // The child writes enough to spill pages into the file itself, then dies before COMMIT.
            Conn c(p, kKey);
            if (!c.db.open())
                _exit(2);
            c.exec("PRAGMA cache_size=5");
            c.db.transaction();
            c.exec("UPDATE t SET txt = 'half-written'");
            c.exec("INSERT INTO t(txt) SELECT txt FROM t");
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 0);
        QVERIFY(QFile::exists(p + "-journal"));
        Conn c(p, kKey);
        QVERIFY(c.db.open());
        QCOMPARE(c.value("PRAGMA integrity_check").toString() + c.value("SELECT COUNT(*) FROM t").toString() +
                     c.value("SELECT COUNT(*) FROM t WHERE txt='half-written'").toString(),
                 QString("ok3000"));
    }
};

QTEST_GUILESS_MAIN(TestSqlCipher)
#include "tst_sqlcipher.moc"
