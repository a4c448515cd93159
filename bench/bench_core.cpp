// Start-up, statement and backup costs of the core with a large main file.
//   bench_core [--rows N]      N chapters in the main file (default 50000, about 200 MB)
#include "BenchSupport.h"

#include "app/App.h"
#include "app/Constants.h"
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
#include <QTemporaryDir>
#include <QUuid>

#include <sqlite3.h>

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

// A library file enciphered with the library key, filled through the driver.
bool buildLibrary(const QString &file, const QString &table, int rows)
{
    const QString name = QStringLiteral("lib-") + QUuid::createUuid().toString(QUuid::Id128);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), name);
        db.setDatabaseName(file);
        db.setPassword(Ink::libraryKey());
        db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
        if (db.open()) {
            QSqlQuery q(db);
            q.exec(QStringLiteral("CREATE TABLE %1(ID VARCHAR(64), pID VARCHAR(64), NodeType INTEGER, Level INTEGER, "
                                  "Sort FLOAT, Title VARCHAR(200), Category VARCHAR(200), rtf TEXT, HTML TEXT, "
                                  "PlainText TEXT, FeeGroup VARCHAR(256), Fee Float, Attribute1 VARCHAR(256), "
                                  "Attribute2 VARCHAR(256), Attribute3 VARCHAR(256), Created TIMESTAMP, "
                                  "Updated TIMESTAMP, PRIMARY KEY (ID))")
                       .arg(table));
            q.exec(QStringLiteral("CREATE TABLE DbVersion(Version VARCHAR(64))"));
            q.exec(QStringLiteral("INSERT INTO DbVersion VALUES('4.0')"));
            db.transaction();
            q.prepare(QStringLiteral("INSERT INTO %1(ID,pID,NodeType,Level,Sort,Title,Category,PlainText) "
                                     "VALUES(?,'',3,0,?,?,'Content',?)")
                          .arg(table));
            for (int i = 0; i < rows; ++i) {
                q.addBindValue(QStringLiteral("L%1").arg(i, 31, 10, QLatin1Char('0')));
                q.addBindValue(i);
                q.addBindValue(QStringLiteral("条目%1").arg(i));
                q.addBindValue(chapterText(i).left(200));
                q.exec();
            }
            ok = db.commit();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

// Child process: a cold process that only runs App::init and reports its duration in ms.
int initChild()
{
    QElapsedTimer timer;
    timer.start();
    const bool ok = g_App.init();
    const double ms = timer.nsecsElapsed() / 1e6;
    std::printf("%s %.3f\n", ok ? "ok" : "failed", ms);
    g_SysParams.autoBackupDb = false;
    g_App.deinit();
    return ok ? 0 : 1;
}

double runInitChild(const QString &root)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INKBOAT_BENCH_ROOT"), root);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--init-child")});
    if (!child.waitForFinished(600000))
        return -1;
    const QList<QByteArray> parts = child.readAllStandardOutput().trimmed().split('\n').last().split(' ');
    if (parts.size() != 2 || parts[0] != "ok")
        return -1;
    return parts[1].toDouble();
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
    if (args.contains(QStringLiteral("--init-child"))) {
        useProfileRoot(qEnvironmentVariable("INKBOAT_BENCH_ROOT"));
        QGuiApplication app(argc, argv);
        return initChild();
    }
    QGuiApplication app(argc, argv);
    int chapters = 50000;
    const int at = args.indexOf(QStringLiteral("--rows"));
    if (at >= 0 && at + 1 < args.size())
        chapters = args[at + 1].toInt();

    // On disk in the build folder, not on a memory file system and not in the sources.
    QTemporaryDir root(QCoreApplication::applicationDirPath() + QStringLiteral("/bench-core-XXXXXX"));
    useProfileRoot(root.path());
    const QString data = profileDataPath(root.path());
    QDir().mkpath(data);
    QSqlDatabase::drivers(); // loads the driver plug-in
    if (!buildMainFile(data + QStringLiteral("Inkboat.sdb"), chapters)) {
        std::printf("could not build the main file\n");
        return 1;
    }
    // Full libraries: the shipped ones when built, else generated ones of a similar size.
    const QString shipped = QCoreApplication::applicationDirPath() + QStringLiteral("/../libraries/");
    const struct {
        const char *suffix;
        const char *table;
        int rows;
    } libs[] = {{"Material", "MaterialTree", 60000}, {"Sentence", "SentenceTree", 60000}, {"Article", "ArticleTree", 3000}};
    for (const auto &lib : libs) {
        const QString name = QStringLiteral("Inkboat_%1.sdb").arg(QLatin1String(lib.suffix));
        if (!QFile::copy(shipped + name, data + name))
            buildLibrary(data + name, QLatin1String(lib.table), lib.rows);
    }
    const double mainMb = QFileInfo(data + QStringLiteral("Inkboat.sdb")).size() / 1048576.0;
    benchNote(QStringLiteral("core_main_file_size"), mainMb, QStringLiteral("MB"),
              QStringLiteral("(%1 chapters)").arg(chapters));

    // First start creates the log file and the tables; the measured starts are ordinary ones.
    if (runInitChild(root.path()) < 0) {
        std::printf("start-up failed\n");
        return 1;
    }
    QVector<double> starts;
    for (int i = 0; i < 3; ++i)
        starts << runInitChild(root.path());
    const double warm = median(starts);
    bool allPass = benchReport(QStringLiteral("core_init_200mb"), warm / 1000.0, QStringLiteral("s"),
                               QStringLiteral("< 1.0 s, without VACUUM"), warm >= 0 && warm < 1000.0);
    if (dropPageCache()) {
        const double cold = runInitChild(root.path());
        benchNote(QStringLiteral("core_init_200mb_page_cache_dropped"), cold / 1000.0, QStringLiteral("s"));
    } else {
        benchNote(QStringLiteral("core_init_200mb_page_cache_dropped"), 0, QString(),
                  QStringLiteral("(not measured: dropping the page cache is not allowed here)"));
    }

    useProfileRoot(root.path());
    if (!g_App.init()) {
        std::printf("start-up failed\n");
        return 1;
    }
    // One single-row UPDATE with the connection lock held (inside a transaction) and in autocommit.
    setSysParam(QStringLiteral("bench"), QStringLiteral("0"));
    QVector<double> inLock, autocommit;
    QElapsedTimer t;
    beginTransaction();
    for (int i = 0; i < 5000; ++i) {
        t.start();
        execSql(QStringLiteral("UPDATE SysParam SET value='%1' WHERE key='bench'").arg(i));
        inLock << t.nsecsElapsed() / 1e6;
    }
    commitTransaction();
    for (int i = 0; i < 200; ++i) {
        t.start();
        execSql(QStringLiteral("UPDATE SysParam SET value='%1' WHERE key='bench'").arg(i));
        autocommit << t.nsecsElapsed() / 1e6;
    }
    const double update = median(inLock);
    allPass &= benchReport(QStringLiteral("core_execsql_update_median"), update, QStringLiteral("ms"),
                           QStringLiteral("< 0.2 ms"), update < 0.2);
    benchNote(QStringLiteral("core_execsql_update_autocommit_median"), median(autocommit), QStringLiteral("ms"),
              QStringLiteral("(each statement its own committed transaction)"));

    QVector<double> backups;
    for (int i = 0; i < 3; ++i) {
        t.start();
        backupDatabase(false);
        backups << t.nsecsElapsed() / 1e9;
    }
    const double backup = median(backups);
    allPass &= benchReport(QStringLiteral("core_backup_open_200mb"), backup, QStringLiteral("s"),
                           QStringLiteral("< 1 s"), backup < 1.0);
    t.start();
    backupDatabase(true);
    benchNote(QStringLiteral("core_backup_closed_200mb"), t.nsecsElapsed() / 1e9, QStringLiteral("s"),
              QStringLiteral("(shutdown backup, file copy)"));
    g_SysParams.autoBackupDb = false;
    g_App.deinit();
    return allPass ? 0 : 1;
}
