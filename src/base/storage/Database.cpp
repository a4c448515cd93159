#include "storage/Database.h"

#include "core/AppPaths.h"
#include "core/Exception.h"
#include "log/Log.h"
#include "storage/Backup.h"
#include "storage/Connection.h"
#include "storage/DataAccess.h"
#include "storage/DatabaseDetail.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <sqlite3.h>

using namespace DbDetail;

namespace DbDetail {

QString libraryPath(Ink::TableType type)
{
    return QStringLiteral("%1/%2_%3.sdb")
        .arg(QDir::fromNativeSeparators(AppPaths::current().appDataPath).chopped(1), Ink::applicationName(),
             Ink::dbFileSuffixes().value(type));
}

// A shipped copy beside the executable is preferred over an empty new library.
bool copyShippedLibrary(const QString &target)
{
    const QString source = AppPaths::current().librarySourcePath + QFileInfo(target).fileName();
    if (!QFileInfo::exists(source))
        return false;
    const QString partial = target + QStringLiteral(".partial");
    QFile::remove(partial);
    if (!QFile::copy(source, partial)) {
        QFile::remove(partial);
        return false;
    }
    if (!QFile::rename(partial, target)) {
        QFile::remove(partial);
        return false;
    }
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

QFileDevice::Permissions ownerOnly() { return QFileDevice::ReadOwner | QFileDevice::WriteOwner; }

// SQLite's primary result code of a driver error, 0 when there is none.
int sqliteCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : 0;
}

bool isDamageCode(int code) { return code == 11 /* SQLITE_CORRUPT */ || code == 26 /* SQLITE_NOTADB */; }

int queryInt(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    return q->next() ? q->value(0).toInt() : 0;
}

} // namespace DbDetail

QString sqlDriverName() { return QStringLiteral("SQLITECIPHER"); }

QString mainDbFileName() { return AppPaths::current().appDataPath + Ink::applicationName() + QStringLiteral(".sdb"); }

QString tableName(Ink::TableType type) { return Ink::dbTableNames().value(type); }

QString dbFileName(Ink::TableType type) { return QDir::toNativeSeparators(libraryPath(type)); }

bool openDatabase(const QString &fileName, const QString &key, QString *error, int *code)
{
    DbLocker lock;
    dbConnection().setDatabaseName(fileName);
    dbConnection().setPassword(key);
    dbConnection().setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20;QSQLITE_EXCLUSIVE_LOCKING"));
    if (!dbConnection().open()) {
        if (error)
            *error = dbConnection().lastError().text().trimmed();
        if (code)
            *code = sqliteCode(dbConnection().lastError());
        return false;
    }
    return true;
}

bool createDatabaseFile(const QString &fileName, const QString &key, QString *error)
{
    DbLocker lock;
    if (!openDatabase(fileName, key, error))
        return false;
    // Reading the schema makes the driver write the file header (and the salt of a cipher).
    {
        QSqlQuery q(dbConnection());
        q.exec(QStringLiteral("PRAGMA user_version"));
    }
    dbConnection().close();
    // The author's files are private whatever the umask; journals take the file's mode.
    QFile::setPermissions(fileName, ownerOnly());
    return true;
}

bool openConnection(OpenedFiles *files, QString *error)
{
    qDebug() << "QSqlDatabase::drivers:" << QSqlDatabase::drivers();
    {
        DbLocker lock;
        dbConnection() = QSqlDatabase::addDatabase(sqlDriverName());
    }
    const QString mainFile = mainDbFileName();
    const QString material = libraryPath(Ink::ttMaterial);
    const QString sentence = libraryPath(Ink::ttSentence);
    const QString article = libraryPath(Ink::ttArticle);
    const QString log = libraryPath(Ink::ttLog);
    const bool mainExists = QFileInfo::exists(mainFile);
    const bool materialExists = QFileInfo::exists(material);
    const bool sentenceExists = QFileInfo::exists(sentence);
    const bool articleExists = QFileInfo::exists(article);
    const bool logExists = QFileInfo::exists(log);

    QString why;
    bool ok = true;
    if (!mainExists)
        ok = createDatabaseFile(mainFile, QString(), &why);
    for (const QString &lib : {material, sentence, article}) {
        const bool exists = lib == material ? materialExists : lib == sentence ? sentenceExists : articleExists;
        if (ok && !exists && !copyShippedLibrary(lib)) {
            ok = createDatabaseFile(lib, Ink::libraryKey(), &why);
            if (files)
                files->createdLibraries << lib;
        }
    }
    if (ok && !logExists)
        ok = createDatabaseFile(log, QString(), &why);
    if (files)
        files->logWasMissing = !logExists;
    OpenedFiles::MainFault fault = ok ? OpenedFiles::mfNone : OpenedFiles::mfOther;
    // With backups around, an empty main file is a lost one, not a new profile.
    const bool backupsExist = mainExists && !existingBackups().isEmpty();
    if (ok && backupsExist && QFileInfo(mainFile).size() == 0) {
        ok = false;
        fault = OpenedFiles::mfDamaged;
        why = QStringLiteral("文件长度为 0");
    }
    if (ok) {
        int code = 0;
        ok = openDatabase(mainFile, QString(), &why, &code);
        if (!ok)
            fault = isDamageCode(code)            ? OpenedFiles::mfDamaged
                    : code == 5 || code == 6 ? OpenedFiles::mfBusy
                                             : OpenedFiles::mfOther;
    }
    if (ok && backupsExist) {
        int tables = 0;
        try {
            tables = queryInt(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND "
                                             "name IN ('BookTree','SysParam')"));
        } catch (const Exception &e) {
            why = e.message();
        }
        if (tables != 2) {
            ok = false;
            fault = OpenedFiles::mfDamaged;
            if (why.isEmpty())
                why = QStringLiteral("缺少程序的数据表");
        }
    }
    if (!ok) {
        qDebug().noquote() << QStringLiteral("Can not open connection: ") + why;
        if (files) {
            files->mainFault = fault;
            files->mainError = why;
        }
        if (error)
            *error = why;
        return false;
    }
    return true;
}

void logSqliteVersion()
{
    QueryPtr q = openQuery(QStringLiteral("SELECT sqlite_version() AS 'SQLiteVersion';"));
    qDebug().noquote() << QStringLiteral("--------------------------------------------------");
    if (q->next())
        qDebug().noquote() << QStringLiteral("SQLiteVersion:") << q->value(0).toString();
}

namespace {

// Pages in a write-ahead log before it is emptied into its file.
constexpr int kCheckpointPages = 1000;
// Milliseconds without a commit before the checkpoint runs.
constexpr int kQuietMs = 2000;

std::atomic<bool> s_checkpointPending{false};

void checkpointOnPool(sqlite3 *db)
{
    if (s_checkpointPending.exchange(true))
        return;
    QThreadPool::globalInstance()->start([db] {
        DbLocker lock;
        s_checkpointPending = false;
        // The connection may have been closed meanwhile.
        if (connectionHandle() == db)
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    });
}

// Called by SQLite after each commit to a log. SQLite's own checkpoint would run here, on the
// committing thread (a save on the GUI thread) with two syncs. A pool task does it instead, under
// the connection lock like any statement, once the commits have paused for a while, so that it
// does not hold the lock while the save's own follow-up statements want it.
int walCommitted(void *, sqlite3 *db, const char *, int pages)
{
    if (pages < kCheckpointPages)
        return SQLITE_OK;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || pages >= 8 * kCheckpointPages) {
        checkpointOnPool(db);
        return SQLITE_OK;
    }
    // Posted, never waited for: the committing thread holds the connection lock.
    QMetaObject::invokeMethod(
        app,
        [db] {
            static QPointer<QTimer> quiet;
            if (!quiet) {
                quiet = new QTimer(QCoreApplication::instance());
                quiet->setSingleShot(true);
            }
            quiet->disconnect();
            QObject::connect(quiet, &QTimer::timeout, [db] { checkpointOnPool(db); });
            quiet->start(kQuietMs);
        },
        Qt::QueuedConnection);
    return SQLITE_OK;
}

} // namespace

void optimizeConnection()
{
    execSql(QStringLiteral("ATTACH DATABASE ':memory:' AS MM"));
    // Small page caches for the libraries: the searches scan memory, and their pages only serve
    // the few rows a list shows.
    execSql(QStringLiteral("PRAGMA S.cache_size=-512"));
    execSql(QStringLiteral("PRAGMA M.cache_size=-512"));
    execSql(QStringLiteral("PRAGMA synchronous = NORMAL;"));
    execSql(QStringLiteral("PRAGMA locking_mode = EXCLUSIVE;"));
    // A commit appends to the write-ahead log without waiting for the disk; under the exclusive
    // lock the log's index stays in memory (no -shm file). The author's file and the usage log
    // only: a save writes both, and either one left in a rollback journal would sync again.
    execSql(QStringLiteral("PRAGMA main.journal_mode = WAL;"));
    execSql(QStringLiteral("PRAGMA L.journal_mode = WAL;"));
    // Without a schema name the synchronous mode above is the main file's only.
    execSql(QStringLiteral("PRAGMA L.synchronous = NORMAL;"));
    // A log that a large transaction (a VACUUM, an import) grew is cut back when it starts over.
    execSql(QStringLiteral("PRAGMA main.journal_size_limit = 16777216;"));
    execSql(QStringLiteral("PRAGMA L.journal_size_limit = 16777216;"));
    DbLocker lock;
    if (sqlite3 *db = connectionHandle())
        sqlite3_wal_hook(db, walCommitted, nullptr);
}

void closeConnection()
{
    DbLocker lock;
    // Everything in the logs goes into the files now: a connection that lingers for an unfinished
    // statement would otherwise keep commits that a copy of the closed file lacks. Commits in the
    // main file's log leave its change counter alone, so the newest copy's note goes first.
    if (dbConnection().isValid() && dbConnection().isOpen()) {
        if (QFileInfo(dbConnection().databaseName() + QStringLiteral("-wal")).size() > 0)
            forgetNewestCopyStamp();
        QSqlQuery q(dbConnection());
        q.exec(QStringLiteral("PRAGMA main.wal_checkpoint(TRUNCATE)"));
        q.exec(QStringLiteral("PRAGMA L.wal_checkpoint(TRUNCATE)"));
    }
    if (dbConnection().isValid())
        dbConnection().close();
    dbConnection() = QSqlDatabase();
    if (QSqlDatabase::contains(QSqlDatabase::defaultConnection))
        QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
}
