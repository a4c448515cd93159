// Start-up, statement and backup costs of the core with a large main file, and the loop worker idle on it.
//   bench_core [--rows N]      N chapters in the main file (default 50000, about 200 MB)
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
#include "core/WakeBell.h"
#include "cloud/CommonThreadWorker.h"
#include "params/SysParams.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"

#include <QGuiApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTemporaryDir>
#include <QUuid>
#include <QtConcurrent>

#include <algorithm>

#include <sqlite3.h>

#include <atomic>
#include <ctime>

namespace {

QString chapterText(int i)
{
    static const QString base = QStringLiteral("天地玄黄宇宙洪荒日月盈昃辰宿列张寒来暑往秋收冬藏闰余成岁律吕调阳云腾致雨露结为霜");
    QString t;
    t.reserve(700);
    while (t.size() < 690)
        t += base;
    return t + QString::number(i);
}

// The author's file, written straight through SQLite for speed: books of volumes of chapters.
bool buildMainFile(const QString &file, int chapters)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(file.toUtf8().constData(), &db) != SQLITE_OK)
        return false;
    sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
    const char *schema =
        "CREATE TABLE BookTree(ID VARCHAR(64), pID VARCHAR(64), NodeType INTEGER, Level INTEGER, Sort FLOAT, "
        "Title VARCHAR(200), Category VARCHAR(200), rtf TEXT, HTML TEXT, PlainText TEXT, Attribute1 VARCHAR(256), "
        "Attribute2 VARCHAR(256), Attribute3 VARCHAR(256), Created TIMESTAMP, Updated TIMESTAMP, "
        "OrigID VARCHAR(64) DEFAULT(''), Flag CHAR(1) DEFAULT('A'), Usn INTEGER DEFAULT(0), Synced BOOLEAN DEFAULT(0), "
        "PRIMARY KEY (ID)); PRAGMA user_version=1;";
    if (sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    // A file of this version has its memos' table with the same columns.
    if (sqlite3_exec(db, "CREATE TABLE MemoTree AS SELECT * FROM BookTree WHERE 0", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO BookTree(ID,pID,NodeType,Level,Sort,Title,Category,HTML,PlainText,Created,Updated,"
                       "Flag,Usn,Synced) VALUES(?,?,?,?,?,?,'Book',?,?,'2024-01-01 00:00:00.000',"
                       "'2024-01-01 00:00:00.000','A',0,1)",
                       -1, &st, nullptr);
    auto insert = [&](const QString &id, const QString &pid, int type, int level, int sort, const QString &title,
                      const QString &text) {
        const QByteArray a = id.toUtf8(), b = pid.toUtf8(), t = title.toUtf8(), p = text.toUtf8();
        const QByteArray h = "<p>" + p + "</p>";
        sqlite3_bind_text(st, 1, a.constData(), a.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, b.constData(), b.size(), SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, type);
        sqlite3_bind_int(st, 4, level);
        sqlite3_bind_int(st, 5, sort);
        sqlite3_bind_text(st, 6, t.constData(), t.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 7, h.constData(), h.size(), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 8, p.constData(), p.size(), SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    };
    const int perVolume = 100, perBook = 1000;
    QString book, volume;
    for (int i = 0; i < chapters; ++i) {
        if (i % perBook == 0) {
            book = QStringLiteral("B%1").arg(i, 31, 10, QLatin1Char('0'));
            insert(book, QString(), 1, 0, i / perBook + 1, QStringLiteral("书%1").arg(i / perBook), QString());
        }
        if (i % perVolume == 0) {
            volume = QStringLiteral("V%1").arg(i, 31, 10, QLatin1Char('0'));
            insert(volume, book, 2, 1, (i % perBook) / perVolume + 1, QStringLiteral("卷%1").arg(i / perVolume), QString());
        }
        insert(QStringLiteral("C%1").arg(i, 31, 10, QLatin1Char('0')), volume, 3, 2, i % perVolume + 1,
               QStringLiteral("第%1章").arg(i + 1), chapterText(i));
    }
    sqlite3_finalize(st);
    const bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// Rows of `sql` (a single COUNT) in file, read back through SQLite itself; -1 when unreadable.
qint64 countRows(const QString &file, const char *sql)
{
    sqlite3 *db = nullptr;
    qint64 n = -1;
    if (sqlite3_open_v2(file.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return n;
}

// A library file enciphered with the library key, filled through the driver; empty when every
// row was written and read back.
QString buildLibrary(const QString &file, const QString &table, int rows)
{
    const QString name = QStringLiteral("lib-") + QUuid::createUuid().toString(QUuid::Id128);
    QString why;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), name);
        db.setDatabaseName(file);
        db.setPassword(Ink::libraryKey());
        db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
        if (!db.open()) {
            why = db.lastError().text();
        } else {
            QSqlQuery q(db);
            bool ok = q.exec(QStringLiteral("CREATE TABLE %1(ID VARCHAR(64), pID VARCHAR(64), NodeType INTEGER, "
                                            "Level INTEGER, Sort FLOAT, Title VARCHAR(200), Category VARCHAR(200), "
                                            "rtf TEXT, HTML TEXT, PlainText TEXT, FeeGroup VARCHAR(256), Fee Float, "
                                            "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), "
                                            "Attribute3 VARCHAR(256), Created TIMESTAMP, Updated TIMESTAMP, "
                                            "PRIMARY KEY (ID))")
                                 .arg(table));
            ok = ok && q.exec(QStringLiteral("CREATE TABLE DbVersion(Version VARCHAR(64))"));
            ok = ok && q.exec(QStringLiteral("INSERT INTO DbVersion VALUES('4.0')"));
            ok = ok && db.transaction();
            ok = ok && q.prepare(QStringLiteral("INSERT INTO %1(ID,pID,NodeType,Level,Sort,Title,Category,PlainText) "
                                                "VALUES(?,'',3,0,?,?,'Content',?)")
                                     .arg(table));
            for (int i = 0; ok && i < rows; ++i) {
                q.addBindValue(QStringLiteral("L%1").arg(i, 31, 10, QLatin1Char('0')));
                q.addBindValue(i);
                q.addBindValue(QStringLiteral("条目%1").arg(i));
                q.addBindValue(chapterText(i).left(200));
                ok = q.exec();
            }
            ok = ok && db.commit();
            ok = ok && q.exec(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table)) && q.next();
            if (!ok)
                why = q.lastError().text() + db.lastError().text();
            else if (q.value(0).toInt() != rows)
                why = QStringLiteral("%1 rows read back, not %2").arg(q.value(0).toInt()).arg(rows);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return why.isEmpty() ? QString() : QStringLiteral("library %1: %2").arg(file, why);
}

// Child process: a cold process that only runs App::init and reports "ok <ms>" or "failed
// <reason>". The start-up backup, which the program takes after its first paint, follows the
// timing and is checked.
int initChild(int chapters)
{
    const QString defaultBackups =
        profileDataPath(qEnvironmentVariable("INKBOAT_BENCH_ROOT")) + QStringLiteral("backup/");
    clearBackupCopies(defaultBackups);
    QElapsedTimer timer;
    timer.start();
    const bool ok = g_App.init();
    const double ms = timer.nsecsElapsed() / 1e6;
    if (ok)
        startBackupDatabase();
    waitForBackups();
    const QString why = ok ? checkNewBackupCopy(backupFolder(), chapters) : QStringLiteral("App::init failed");
    if (why.isEmpty())
        std::printf("ok %.3f\n", ms);
    else
        std::printf("failed %s\n", qPrintable(why));
    g_SysParams.autoBackupDb = false;
    if (ok)
        g_App.deinit();
    return why.isEmpty() ? 0 : 1;
}

// One start in a child process: its time in ms, or the reason it failed in *why.
double runInitChild(const QString &root, int chapters, QString *why)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INKBOAT_BENCH_ROOT"), root);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel); // its error log lines show why a start failed
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--init-child"), QString::number(chapters)});
    if (!child.waitForFinished(600000)) {
        child.kill();
        child.waitForFinished();
        *why = QStringLiteral("start-up did not end within 10 minutes");
        return 0;
    }
    const QByteArray last = child.readAllStandardOutput().trimmed().split('\n').last();
    if (child.exitStatus() != QProcess::NormalExit)
        *why = QStringLiteral("start-up process crashed");
    else if (!last.startsWith("ok "))
        *why = QStringLiteral("start-up: ") + QString::fromUtf8(last.isEmpty() ? QByteArray("no answer") : last);
    else
        return last.mid(3).toDouble();
    return 0;
}

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The loop worker while the author writes nothing: one round of its checks with upload allowed
// and one chapter waiting (so the count of waiting rows runs and finds it), with and without the
// indexes on Synced; then the CPU the running worker takes.
void idleLoopBench(int chapters)
{
    g_SysParams.cloudSyncParams.active = true;
    g_SysParams.cloudSyncParams.syncAtThread = true;
    publishSysParams();
    GuiSnapshot &snap = g_App.guiSnapshot();
    snap.cloudSyncOn = true;
    snap.signedIn = true;
    snap.documentModified = false;
    snap.lastInputMsecs = QDateTime::currentMSecsSinceEpoch() - 60000;
    execSql(QStringLiteral("UPDATE BookTree SET Synced=0 WHERE ID=(SELECT ID FROM BookTree WHERE NodeType=3 LIMIT 1)"));

    CommonThreadWorker worker;
    worker.push = [](QString *, QString *) { return false; };
    const auto round = [&] {
        worker.backupCheck();
        worker.syncCheck();
        worker.logUploadCheck();
    };
    // The first round of a waiting row starts its interval: the count ran and found it.
    const auto counted = [&] {
        return worker.lastSyncTime != CommonThreadWorker::kNever ? QString()
                                                                  : QStringLiteral("the waiting row was not counted");
    };
    const auto fresh = [&] {
        worker.lastBackupTime = worker.now();
        worker.lastSyncTime = CommonThreadWorker::kNever;
    };
    const Runs indexed = timeRuns(200, round, counted, fresh);
    benchReport(QStringLiteral("workers_idle_loop_round_%1_chapters").arg(chapters), indexed, QStringLiteral("ms"),
                atMost(1.0, QStringLiteral("ms")));
    execSql(QStringLiteral("DROP INDEX IF EXISTS BookTree_Synced"));
    execSql(QStringLiteral("DROP INDEX IF EXISTS MemoTree_Synced"));
    benchNote(QStringLiteral("workers_idle_loop_round_without_synced_index"), timeRuns(20, round, counted, fresh),
              QStringLiteral("ms"));
    createIndexes();

    // The worker on its own thread as the program runs it; its backups every second show its rounds.
    const int windowMs = 60000;
    std::atomic<int> backups{0};
    CommonThreadWorker running;
    running.timing.backupIntervalMs = 900;
    running.backup = [&backups] {
        ++backups;
        return false;
    };
    running.push = worker.push;
    QThread thread;
    thread.setObjectName(QStringLiteral("loopProc"));
    running.moveToThread(&thread);
    QObject::connect(&thread, &QThread::started, &running, &CommonThreadWorker::loopProcWorker);
    thread.start();
    QThread::msleep(1000);
    const int before = backups;
    const double cpu0 = processCpuMs();
    QElapsedTimer wall;
    wall.start();
    QThread::msleep(windowMs);
    const double cpuShare = (processCpuMs() - cpu0) * 100.0 / wall.elapsed();
    const int rounds = backups - before;
    wakebell::requestStop(&thread);
    thread.quit();
    thread.wait();
    benchReport(QStringLiteral("workers_idle_cpu_60s"), cpuShare, QStringLiteral("% of a core"),
                atMost(2.0, QStringLiteral("%")),
                rounds >= windowMs / 1000 - 2 ? QString()
                                              : QStringLiteral("only %1 periodic checks in %2 ms").arg(rounds).arg(windowMs));
    g_SysParams.cloudSyncParams.active = false;
    publishSysParams();
    snap.signedIn = false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    const QStringList args = [&] {
        QStringList l;
        for (int i = 1; i < argc; ++i)
            l << QString::fromLocal8Bit(argv[i]);
        return l;
    }();
    if (args.value(0) == QLatin1String("--init-child")) {
        useProfileRoot(qEnvironmentVariable("INKBOAT_BENCH_ROOT"));
        QGuiApplication app(argc, argv);
        return initChild(args.value(1).toInt());
    }
    QGuiApplication app(argc, argv);
    int chapters = 50000;
    const int at = args.indexOf(QStringLiteral("--rows"));
    if (at >= 0 && at + 1 < args.size())
        chapters = args[at + 1].toInt();

    // The start-up backup is no part of App::init: the program takes it after its first paint.
    const QString initName = QStringLiteral("core_init_200mb");
    const QStringList measurements = {initName, QStringLiteral("core_execsql_update_median"),
                                      QStringLiteral("workers_idle_loop_round_%1_chapters").arg(chapters),
                                      QStringLiteral("workers_idle_cpu_60s"),
                                      QStringLiteral("core_backup_open_200mb_longest_statement_wait")};
    const QString noDriver = missingSqlDriver(sqlDriverName());
    if (!noDriver.isEmpty())
        return benchFailAll(measurements, noDriver);

    // On disk in the build folder, not on a memory file system and not in the sources.
    QTemporaryDir root(QCoreApplication::applicationDirPath() + QStringLiteral("/bench-core-XXXXXX"));
    useProfileRoot(root.path());
    const QString data = profileDataPath(root.path());
    QDir().mkpath(data);
    const QString mainFile = data + QStringLiteral("Inkboat.sdb");
    if (!buildMainFile(mainFile, chapters) ||
        countRows(mainFile, "SELECT COUNT(*) FROM BookTree WHERE NodeType=3") != chapters)
        return benchFailAll(measurements, QStringLiteral("the main file was not built with %1 chapters").arg(chapters));
    // Full libraries: the shipped ones when built, else generated ones of a similar size.
    const QString shipped = QCoreApplication::applicationDirPath() + QStringLiteral("/../libraries/");
    const struct {
        const char *suffix;
        const char *table;
        int rows;
    } libs[] = {{"Material", "MaterialTree", 60000}, {"Sentence", "SentenceTree", 60000}, {"Article", "ArticleTree", 3000}};
    for (const auto &lib : libs) {
        const QString name = QStringLiteral("Inkboat_%1.sdb").arg(QLatin1String(lib.suffix));
        if (QFile::copy(shipped + name, data + name))
            continue;
        const QString why = buildLibrary(data + name, QLatin1String(lib.table), lib.rows);
        if (!why.isEmpty())
            return benchFailAll(measurements, why);
    }
    const double mainMb = QFileInfo(mainFile).size() / 1048576.0;
    benchNote(QStringLiteral("core_main_file_size"), mainMb, QStringLiteral("MB"),
              QStringLiteral("(%1 chapters)").arg(chapters));

    // First start creates the log file and the tables; the measured starts are ordinary ones.
    QString why;
    runInitChild(root.path(), chapters, &why);
    if (!why.isEmpty())
        return benchFailAll(measurements, QStringLiteral("first start: ") + why);
    Runs starts;
    for (int i = 0; i < 3; ++i) {
        why.clear();
        const double ms = runInitChild(root.path(), chapters, &why);
        starts.add(ms / 1000.0, why);
    }
    benchReport(initName, starts, QStringLiteral("s"),
                below(1.0, QStringLiteral("s"), QStringLiteral("without VACUUM")));
    if (dropPageCache()) {
        why.clear();
        Runs cold;
        cold.add(runInitChild(root.path(), chapters, &why) / 1000.0, why);
        benchNote(initName + QStringLiteral("_page_cache_dropped"), cold, QStringLiteral("s"));
    } else {
        benchNote(initName + QStringLiteral("_page_cache_dropped"), 0, QString(),
                  QStringLiteral("(not measured: dropping the page cache is not allowed here)"));
    }

    useProfileRoot(root.path());
    if (!g_App.init())
        return benchFailAll(measurements.mid(1), QStringLiteral("App::init failed"));
    // No copy is under way when the runs below count their own.
    waitForBackups();
    // One single-row UPDATE with the connection lock held (inside a transaction) and in autocommit;
    // every one must change its row, and the last value must be there after the commit.
    auto update = [](int i) {
        const int changed = execSql(QStringLiteral("UPDATE SysParam SET value='%1' WHERE key='bench'").arg(i));
        return changed == 1 ? QString() : QStringLiteral("the UPDATE changed %1 rows, not 1").arg(changed);
    };
    auto stored = [](int expected) {
        QueryPtr q = openQuery(QStringLiteral("SELECT value FROM SysParam WHERE key='bench'"));
        const QString value = q->next() ? q->value(0).toString() : QStringLiteral("no row");
        return value == QString::number(expected) ? QString()
                                                   : QStringLiteral("read back %1, not %2").arg(value).arg(expected);
    };
    Runs inLock, autocommit;
    try {
        setSysParam(QStringLiteral("bench"), QStringLiteral("0"));
        QElapsedTimer t;
        int i = 0;
        {
            Transaction tx;
            for (; i < 5000; ++i) {
                t.start();
                const QString why = update(i);
                inLock.add(t.nsecsElapsed() / 1e6, why);
            }
            tx.commit();
        }
        const QString afterCommit = stored(i - 1);
        if (!afterCommit.isEmpty())
            inLock.fail(QStringLiteral("after the commit: ") + afterCommit);
        autocommit = timeRuns(200, [&] { update(++i); }, [&] { return stored(i); });
    } catch (const std::exception &e) {
        inLock.fail(QString::fromUtf8(e.what()));
    }
    benchReport(QStringLiteral("core_execsql_update_median"), inLock, QStringLiteral("ms"),
                below(0.2, QStringLiteral("ms")));
    benchNote(QStringLiteral("core_execsql_update_autocommit_median"), autocommit, QStringLiteral("ms"),
              QStringLiteral("(each statement its own committed transaction)"));

    idleLoopBench(chapters);

    bool copied = false;
    const auto backupMade = [&] {
        return copied ? checkNewBackupCopy(backupFolder(), chapters)
                      : QStringLiteral("backupDatabase returned false (see the err log)");
    };
    // The copy of the open file goes in steps on a worker; a statement of another thread waits
    // for one step at most. Measured: the longest wait of a statement started among the steps.
    // Statements come as the GUI thread's do, with a pause between them: a thread spinning on
    // statements is preempted in mid-statement on a busy machine, and the flush and check after
    // the copy hold no lock; either would time the scheduler, not the copy.
    std::atomic<int> steps{0};
    setBackupStepHook([&steps] { ++steps; });
    Runs longestWait;
    for (int run = 0; run < 3; ++run) {
        clearBackupCopies(backupFolder());
        steps = 0;
        QFuture<bool> backup = QtConcurrent::run([] { return backupDatabase(false); });
        QVector<QPair<int, double>> waits; // steps begun when the statement started, its time
        while (!backup.isFinished()) {
            const int before = steps;
            QElapsedTimer t;
            t.start();
            openQuery(QStringLiteral("SELECT COUNT(*) FROM SysParam WHERE key='bench'"))->next();
            waits.append({before, t.nsecsElapsed() / 1e6});
            QThread::usleep(1000);
        }
        copied = backup.result();
        const int total = steps;
        double longest = 0;
        int among = 0;
        for (const auto &w : qAsConst(waits)) {
            if (w.first > 0 && w.first < total) {
                longest = std::max(longest, w.second);
                ++among;
            }
        }
        // A loop that never ran among the steps would read 0 ms.
        QString why = backupMade();
        if (why.isEmpty() && (total < 2 || among < total / 2))
            why = QStringLiteral("%1 statements ran among %2 steps of the copy").arg(among).arg(total);
        longestWait.add(longest, why);
    }
    setBackupStepHook(nullptr);
    benchReport(measurements.last(), longestWait, QStringLiteral("ms"), atMost(20, QStringLiteral("ms")));
    clearBackupCopies(backupFolder());
    const Runs checked = timeRuns(
        1, [&] { copied = backupDatabase(false); },
        backupMade, [&] { clearBackupCopies(backupFolder()); });
    benchNote(QStringLiteral("core_backup_open_200mb_with_check"), checked.scaled(1e-3), QStringLiteral("s"),
              QStringLiteral("(copy, flush, quick_check and rotation in one call)"));
    const Runs closed = timeRuns(
        1, [&] { copied = backupDatabase(true); },
        backupMade, [&] { clearBackupCopies(backupFolder()); });
    benchNote(QStringLiteral("core_backup_closed_200mb"), closed.scaled(1e-3), QStringLiteral("s"),
              QStringLiteral("(shutdown backup, file copy)"));
    g_SysParams.autoBackupDb = false;
    g_App.deinit();
    return benchExitCode();
}
