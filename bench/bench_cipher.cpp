// Enciphered against plain files through the SQLITECIPHER driver: bulk insert, a LIKE scan,
// and the cost of opening an enciphered file (key derivation and first read). The ratios come
// from plain and enciphered runs taken in turn.
#include "BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
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
const int kPairs = kMinPairs;
const int kOpens = 5;
const QString kKey = QStringLiteral("Bench01");
const QString kDriver = QStringLiteral("SQLITECIPHER");

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
    QString why; // the work that did not happen
};

bool openDb(QSqlDatabase &db, const QString &name, const QString &path, const QString &key, QString *why)
{
    db = QSqlDatabase::addDatabase(kDriver, name);
    db.setDatabaseName(path);
    db.setPassword(key);
    if (!key.isEmpty())
        db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
    if (!db.open()) {
        *why = QStringLiteral("open failed: ") + db.lastError().text();
        return false;
    }
    return true;
}

// Writes the rows into a new file, reads them back and scans for needle, which occurs in
// `hits` rows. The file must be enciphered exactly when there is a key.
Times run(const QString &path, const QString &key, const QStringList &texts, const QString &needle, int hits)
{
    Times t;
    QFile::remove(path);
    {
        QSqlDatabase db;
        if (openDb(db, "w", path, key, &t.why)) {
            QSqlQuery q(db);
            int failed = 0;
            if (!q.exec(QStringLiteral("CREATE TABLE t(id INTEGER PRIMARY KEY, PlainText TEXT)")))
                t.why = QStringLiteral("CREATE TABLE: ") + q.lastError().text();
            QElapsedTimer timer;
            timer.start();
            const bool begun = db.transaction();
            q.prepare(QStringLiteral("INSERT INTO t(PlainText) VALUES(?)"));
            for (const QString &s : texts) {
                q.addBindValue(s);
                failed += q.exec() ? 0 : 1;
            }
            const bool committed = begun && db.commit();
            t.insertMs = timer.nsecsElapsed() / 1e6;
            if (t.why.isEmpty() && failed)
                t.why = QStringLiteral("%1 inserts failed: %2").arg(failed).arg(q.lastError().text());
            if (t.why.isEmpty() && !committed)
                t.why = QStringLiteral("commit failed: ") + db.lastError().text();
            q.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase("w");
    if (!t.why.isEmpty())
        return t;
    {
        QSqlDatabase db;
        if (openDb(db, "r", path, key, &t.why)) {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM t")) || !q.next() || q.value(0).toInt() != texts.size())
                t.why = QStringLiteral("%1 rows read back, not %2").arg(q.value(0).toInt()).arg(texts.size());
            QElapsedTimer timer;
            timer.start();
            const QString scan = QStringLiteral("SELECT COUNT(*) FROM t WHERE PlainText LIKE '%%1%'").arg(needle);
            const bool scanned = q.exec(scan) && q.next();
            const int found = q.value(0).toInt();
            t.scanMs = timer.nsecsElapsed() / 1e6;
            if (t.why.isEmpty() && (!scanned || found != hits))
                t.why = QStringLiteral("the scan found %1 rows, not %2").arg(found).arg(hits);
            q.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase("r");
    QFile file(path);
    const bool plainHeader = file.open(QIODevice::ReadOnly) && file.read(16) == QByteArray("SQLite format 3\0", 16);
    if (t.why.isEmpty() && plainHeader != key.isEmpty())
        t.why = key.isEmpty() ? QStringLiteral("the plain file is not a plain SQLite file")
                              : QStringLiteral("the file written with a key is not enciphered");
    return t;
}

// Child process: a first open in a fresh process, so no derived key is cached. Prints the time
// of open and first read, or why there is none.
int openChild(const QString &path, const QString &key)
{
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
    // Loading the plug-in itself is start-up cost, not the file's: done before timing.
    QSqlDatabase db = QSqlDatabase::addDatabase(kDriver, "o");
    QElapsedTimer timer;
    timer.start();
    db.setDatabaseName(path);
    db.setPassword(key);
    db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
    if (!db.open()) {
        std::printf("failed open: %s\n", qPrintable(db.lastError().text()));
        return 1;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT PlainText FROM t WHERE id = 5000")) || !q.next() ||
        q.value(0).toString().isEmpty()) {
        std::printf("failed read: row 5000 not read back %s\n", qPrintable(q.lastError().text()));
        return 1;
    }
    std::printf("ok %.3f\n", timer.nsecsElapsed() / 1e6);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args.at(1) == QLatin1String("--open"))
        return openChild(args.at(2), args.at(3));

    const QString missing = missingSqlDriver(kDriver);
    if (!missing.isEmpty())
        return benchFailAll({"cipher.insert_100k.ratio", "cipher.like_scan_100k.ratio", "cipher.open_enciphered"},
                            missing);
    QTemporaryDir dir;
    QRandomGenerator rng(7); // the same rows for every file
    QStringList texts;
    texts.reserve(kRows);
    for (int i = 0; i < kRows; ++i)
        texts << chineseText(rng, 200);
    // A needle that occurs in a known number of rows, so the scan's answer can be checked.
    QString needle;
    int hits = 0;
    for (int i = 0; hits == 0; ++i) {
        needle = texts.at(i).mid(100, 2);
        hits = 0;
        for (const QString &s : qAsConst(texts))
            hits += s.contains(needle) ? 1 : 0;
    }

    Runs plainInsert, cipherInsert, plainScan, cipherScan;
    for (int i = 0; i < kPairs; ++i) {
        const Times plain = run(dir.filePath("plain.sdb"), QString(), texts, needle, hits);
        plainInsert.add(plain.insertMs, plain.why);
        plainScan.add(plain.scanMs, plain.why);
        const Times ciph = run(dir.filePath("cipher.sdb"), kKey, texts, needle, hits);
        cipherInsert.add(ciph.insertMs, ciph.why);
        cipherScan.add(ciph.scanMs, ciph.why);
    }
    benchNote("cipher.insert_100k.plain", plainInsert, "ms");
    benchNote("cipher.insert_100k.enciphered", cipherInsert, "ms");
    benchReport("cipher.insert_100k.ratio", pairRatios(cipherInsert, plainInsert), "x", atMost(1.6));
    benchNote("cipher.like_scan_100k.plain", plainScan, "ms", QStringLiteral("(%1 rows found)").arg(hits));
    benchNote("cipher.like_scan_100k.enciphered", cipherScan, "ms");
    benchReport("cipher.like_scan_100k.ratio", pairRatios(cipherScan, plainScan), "x", atMost(1.6));

    Runs opens;
    for (int i = 0; i < kOpens; ++i) {
        QProcess child;
        child.start(app.applicationFilePath(), {"--open", dir.filePath("cipher.sdb"), kKey});
        if (!child.waitForFinished(30000)) {
            child.kill();
            child.waitForFinished();
            opens.fail(QStringLiteral("the open did not end within 30 s"));
            continue;
        }
        const QByteArray out = child.readAllStandardOutput().trimmed();
        if (child.exitStatus() != QProcess::NormalExit || !out.startsWith("ok "))
            opens.fail(out.isEmpty() ? QStringLiteral("the open process gave no answer") : QString::fromUtf8(out));
        else
            opens.add(out.mid(3).toDouble());
    }
    benchReport("cipher.open_enciphered", opens, "ms", below(50, "ms"));
    return benchExitCode();
}
