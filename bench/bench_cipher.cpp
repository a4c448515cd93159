// Enciphered against plain files through the SQLITECIPHER driver: bulk insert, a LIKE scan,
// and the cost of opening an enciphered file (key derivation and first read).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>

namespace {

const int kRows = 100000;
const QString kKey = QStringLiteral("Bench01");

QString chineseText(QRandomGenerator &rng, int n)
{
    QString s;
    s.reserve(n);
    for (int i = 0; i < n; ++i)
        s += QChar(0x4E00 + int(rng.bounded(3000)));
    return s;
}

struct Times {
    double insertMs = 0;
    double scanMs = 0;
    int hits = 0;
};

bool openDb(QSqlDatabase &db, const QString &name, const QString &path, const QString &key)
{
    db = QSqlDatabase::addDatabase(QStringLiteral("SQLITECIPHER"), name);
    db.setDatabaseName(path);
    db.setPassword(key);
    if (!key.isEmpty())
        db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
    if (!db.open()) {
        fprintf(stderr, "open failed: %s\n", qPrintable(db.lastError().text()));
        return false;
    }
    return true;
}

Times run(const QString &path, const QString &key, const QString &needle)
{
    Times t;
    {
        QSqlDatabase db;
        if (!openDb(db, "w", path, key))
            return t;
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE TABLE t(id INTEGER PRIMARY KEY, PlainText TEXT)"));
        QRandomGenerator rng(7); // same rows for both files
        QStringList texts;
        texts.reserve(kRows);
        for (int i = 0; i < kRows; ++i)
            texts << chineseText(rng, 200);
        QElapsedTimer timer;
        timer.start();
        db.transaction();
        q.prepare(QStringLiteral("INSERT INTO t(PlainText) VALUES(?)"));
        for (const QString &s : qAsConst(texts)) {
            q.addBindValue(s);
            q.exec();
        }
        db.commit();
        t.insertMs = timer.nsecsElapsed() / 1e6;
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("w");
    {
        QSqlDatabase db;
        if (!openDb(db, "r", path, key))
            return t;
        QSqlQuery q(db);
        QElapsedTimer timer;
        timer.start();
        q.exec(QStringLiteral("SELECT COUNT(*) FROM t WHERE PlainText LIKE '%%1%'").arg(needle));
        q.next();
        t.hits = q.value(0).toInt();
        t.scanMs = timer.nsecsElapsed() / 1e6;
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("r");
    return t;
}

int report(const char *name, double value, const char *unit, const char *target, bool pass)
{
    printf("%s: %.2f %s (target: %s) %s\n", name, value, unit, target, pass ? "PASS" : "FAIL");
    fflush(stdout);
    return pass ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args.at(1) == QLatin1String("--open")) {
        // Child process: a first open in a fresh process, so no derived key is cached.
        // Loading the plug-in itself is start-up cost, not the file's: done before timing.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("SQLITECIPHER"), "o");
        QElapsedTimer timer;
        timer.start();
        db.setDatabaseName(args.at(2));
        db.setPassword(args.at(3));
        db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
        if (!db.open())
            return 1;
        QSqlQuery q(db);
        q.exec(QStringLiteral("SELECT PlainText FROM t WHERE id = 5000"));
        if (!q.next())
            return 1;
        printf("%.3f\n", timer.nsecsElapsed() / 1e6);
        return 0;
    }

    QTemporaryDir dir;
    const QString needle = QString(QChar(0x4E00 + 17)) + QChar(0x4E00 + 230);
    const Times plain = run(dir.filePath("plain.sdb"), QString(), needle);
    const Times ciph = run(dir.filePath("cipher.sdb"), kKey, needle);
    if (plain.hits != ciph.hits)
        fprintf(stderr, "different results: %d vs %d\n", plain.hits, ciph.hits);

    int failed = 0;
    printf("cipher.insert_100k.plain: %.1f ms\n", plain.insertMs);
    printf("cipher.insert_100k.enciphered: %.1f ms\n", ciph.insertMs);
    failed += report("cipher.insert_100k.ratio", ciph.insertMs / plain.insertMs, "x", "<= 1.6",
                     ciph.insertMs <= 1.6 * plain.insertMs);
    printf("cipher.like_scan_100k.plain: %.1f ms\n", plain.scanMs);
    printf("cipher.like_scan_100k.enciphered: %.1f ms\n", ciph.scanMs);
    failed += report("cipher.like_scan_100k.ratio", ciph.scanMs / plain.scanMs, "x", "<= 1.6",
                     ciph.scanMs <= 1.6 * plain.scanMs && plain.hits == ciph.hits);

    QProcess child;
    child.start(app.applicationFilePath(), {"--open", dir.filePath("cipher.sdb"), kKey});
    child.waitForFinished(30000);
    const double openMs = child.readAllStandardOutput().trimmed().toDouble();
    failed += report("cipher.open_enciphered", openMs, "ms", "< 50 ms", openMs > 0 && openMs < 50);
    return failed ? 1 : 0;
}
