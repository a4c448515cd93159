#include "storage/Database.h"

#include "app/App.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "storage/Backup.h"
#include "storage/DataAccess.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace {

const char *const kNow = "strftime('%Y-%m-%d %H:%M:%f','now','localtime')";

QString treeColumns()
{
    return QStringLiteral("(ID VARCHAR(64),   pID VARCHAR(64), NodeType INTEGER, Level INTEGER, Sort FLOAT,   "
                          "Title VARCHAR(200), Category VARCHAR(200),   rtf TEXT, HTML TEXT, PlainText TEXT,   "
                          "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                          "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "Updated TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "PRIMARY KEY (ID))");
}

QString sysLogColumns()
{
    return QStringLiteral("(ID VARCHAR(64),   Category1 VARCHAR(200), Category2 VARCHAR(200), Category3 VARCHAR(200),   "
                          "Title VARCHAR(200), Content TEXT,   "
                          "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                          "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "PRIMARY KEY (ID))");
}

QStringList tableStatements()
{
    QStringList s;
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS SysParam(key VARCHAR(128), value VARCHAR,   "
                        "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "PRIMARY KEY (key))");
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS SysLog") + sysLogColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS DelLog(ID VARCHAR(64),   Category VARCHAR(200),   "
                        "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                        "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "PRIMARY KEY (ID,Category))");
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS BookTree") + treeColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS MaterialTree") + materialColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS MemoTree") + treeColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS M.MaterialTree") + materialColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS S.SentenceTree") + materialColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS A.ArticleTree") + materialColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS L.SysLog") + sysLogColumns();
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS L.BookLog(ID VARCHAR(64),   BookID VARCHAR(64),ADate TIMESTAMP,   "
                        "WordCount1 INTEGER, WordCount2 INTEGER,   "
                        "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                        "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "Updated TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "Synced BOOLEAN DEFAULT (0),   PRIMARY KEY (ID))");
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS L.ActionLog(ID VARCHAR(64),   Action VARCHAR(200),ADate TIMESTAMP,   "
                        "triggerCount INTEGER,   "
                        "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                        "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "Updated TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                        "Synced BOOLEAN DEFAULT (0),   PRIMARY KEY (ID),   UNIQUE(Action,ADate))");
    for (const char *schema : {"", "M.", "S.", "A.", "L."})
        s << QStringLiteral("CREATE TABLE IF NOT EXISTS %1DbVersion(Version VARCHAR(64))").arg(QLatin1String(schema));
    // Earlier chapter texts, local only: a table of its own that older versions and sync ignore.
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS ChapterHistory(ID INTEGER PRIMARY KEY AUTOINCREMENT, "
                        "ChapterID VARCHAR(64) NOT NULL, Created TIMESTAMP, Origin VARCHAR(64) DEFAULT(''), "
                        "BatchID VARCHAR(64) DEFAULT(''), Name VARCHAR(200) DEFAULT(''), Length INTEGER DEFAULT(0), "
                        "Digest INTEGER, Base INTEGER DEFAULT(0), Data BLOB)");
    s << QStringLiteral("CREATE TABLE IF NOT EXISTS ChapterHistoryLatest(ChapterID VARCHAR(64), ID INTEGER, Data BLOB, "
                        "PRIMARY KEY (ChapterID))");
    return s;
}

// Tree walks go by parent; without these every walk reads the whole table, chapter texts included.
QStringList indexStatements()
{
    return {QStringLiteral("CREATE INDEX IF NOT EXISTS BookTree_pID ON BookTree(pID, ID, Level)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS MemoTree_pID ON MemoTree(pID, ID, Level)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS ChapterHistory_Chapter ON ChapterHistory(ChapterID, ID)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS ChapterHistory_Batch ON ChapterHistory(BatchID) WHERE BatchID<>''")};
}

// SQLite URI paths: '%', '?' and '#' would be read as escapes, query and fragment.
QString uriPath(const QString &path)
{
    QString p = QDir::fromNativeSeparators(path);
    p.replace(QLatin1Char('%'), QLatin1String("%25"));
    p.replace(QLatin1Char('?'), QLatin1String("%3f"));
    p.replace(QLatin1Char('#'), QLatin1String("%23"));
    return p;
}

QString libraryPath(Ink::TableType type)
{
    return QStringLiteral("%1/%2_%3.sdb")
        .arg(QDir::fromNativeSeparators(g_App.appDataPath()).chopped(1), Ink::applicationName(),
             Ink::dbFileSuffixes().value(type));
}

// A shipped copy beside the executable is preferred over an empty new library.
bool copyShippedLibrary(const QString &target)
{
    const QString source = g_App.librarySourcePath() + QFileInfo(target).fileName();
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

// Renames a file that cannot be used to "<name>.<time>.damaged", together with a journal beside
// it (a journal left behind would be played into whatever takes the file's place). Returns the
// new name, empty when the rename failed.
QString setAside(const QString &path)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString aside = QStringLiteral("%1.%2.damaged").arg(path, stamp);
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = QStringLiteral("%1.%2-%3.damaged").arg(path, stamp).arg(n);
    if (!QFile::rename(path, aside))
        return QString();
    for (const char *suffix : {"-journal", "-wal", "-shm"}) {
        const QString side = path + QLatin1String(suffix);
        if (QFileInfo::exists(side))
            QFile::rename(side, aside + QLatin1String(suffix));
    }
    return aside;
}

bool replaceFromShippedCopy(const QString &path, const QString &why)
{
    if (!QFileInfo::exists(g_App.librarySourcePath() + QFileInfo(path).fileName()))
        return false;
    const QString aside = setAside(path);
    if (aside.isEmpty())
        return false;
    if (!copyShippedLibrary(path)) {
        QFile::rename(aside, path);
        return false;
    }
    writeLog(QStringLiteral("err"), QStringLiteral("素材库文件不能使用（%1），已换成安装目录中的副本：%2，原文件改名为 %3")
                                        .arg(why, QDir::toNativeSeparators(path), QDir::toNativeSeparators(aside)));
    return true;
}

// ATTACH reports a refused open only as "unable to open database": open the file alone to
// learn whether it is no library at all or merely busy or out of reach.
bool unreadableAsLibrary(const QString &path, const QSqlError &attachError)
{
    const int code = sqliteCode(attachError);
    if (isDamageCode(code))
        return true;
    if (code == 5 || code == 6) // busy or locked: someone else has it, nothing is wrong with it
        return false;
    const QString name = QStringLiteral("library-probe-") + QUuid::createUuid().toString(QUuid::Id128);
    int probe = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), name);
        db.setDatabaseName(path);
        db.setPassword(Ink::libraryKey());
        db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20;QSQLITE_OPEN_READONLY"));
        if (!db.open())
            probe = sqliteCode(db.lastError());
        else {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("PRAGMA quick_check")))
                probe = sqliteCode(q.lastError());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return isDamageCode(probe);
}

// ATTACH and a first read, so that a damaged or foreign file fails here (SQLite reads an
// attached file lazily), before anything is written to the author's main file.
bool tryAttach(const QString &statement, const QString &alias, QSqlError *error)
{
    DbLocker lock;
    QSqlQuery q(g_App.db);
    if (q.exec(statement) && q.exec(QStringLiteral("SELECT COUNT(*) FROM %1.sqlite_master").arg(alias))) {
        q.finish();
        return true;
    }
    *error = q.lastError();
    q.exec(QStringLiteral("DETACH DATABASE ") + alias);
    return false;
}

bool tryAttachLibrary(const QString &path, const QString &alias, QSqlError *error)
{
    return tryAttach(attachCipherStatement(path, alias, Ink::libraryKey()), alias, error);
}

int queryInt(const QString &sql)
{
    QueryPtr q = openQuery(sql);
    return q->next() ? q->value(0).toInt() : 0;
}

} // namespace

QString materialColumns()
{
    return QStringLiteral("(ID VARCHAR(64),   pID VARCHAR(64), NodeType INTEGER, Level INTEGER, Sort FLOAT,   "
                          "Title VARCHAR(200), Category VARCHAR(200),   rtf TEXT, HTML TEXT, PlainText TEXT,   "
                          "FeeGroup VARCHAR(256), Fee Float,   "
                          "Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), Attribute3 VARCHAR(256),   "
                          "Created TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "Updated TIMESTAMP DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),   "
                          "PRIMARY KEY (ID))");
}

QString sqlDriverName() { return QStringLiteral("SQLITECIPHER"); }

QString mainDbFileName() { return g_App.appDataPath() + Ink::applicationName() + QStringLiteral(".sdb"); }

QString tableName(Ink::TableType type) { return Ink::dbTableNames().value(type); }

QString dbFileName(Ink::TableType type) { return QDir::toNativeSeparators(libraryPath(type)); }

bool openDatabase(const QString &fileName, const QString &key, QString *error, int *code)
{
    DbLocker lock;
    g_App.db.setDatabaseName(fileName);
    g_App.db.setPassword(key);
    g_App.db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20"));
    if (!g_App.db.open()) {
        if (error)
            *error = g_App.db.lastError().text().trimmed();
        if (code)
            *code = sqliteCode(g_App.db.lastError());
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
        QSqlQuery q(g_App.db);
        q.exec(QStringLiteral("PRAGMA user_version"));
    }
    g_App.db.close();
    // The author's files are private whatever the umask; journals take the file's mode.
    QFile::setPermissions(fileName, ownerOnly());
    return true;
}

QString attachCipherStatement(const QString &path, const QString &alias, const QString &key)
{
    return QStringLiteral("ATTACH DATABASE %1 AS %2 key %3")
        .arg(quoteSql(QStringLiteral("file:") + uriPath(path) + QStringLiteral("?cipher=chacha20")), alias,
             quoteSql(key));
}

QString attachPlainStatement(const QString &path, const QString &alias)
{
    return QStringLiteral("ATTACH DATABASE %1 AS %2").arg(quoteSql(QDir::fromNativeSeparators(path)), alias);
}

bool openConnection(OpenedFiles *files, QString *error)
{
    qDebug() << "QSqlDatabase::drivers:" << QSqlDatabase::drivers();
    {
        DbLocker lock;
        g_App.db = QSqlDatabase::addDatabase(sqlDriverName());
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

bool restoreMainFile(const QString &backup, QString *aside, QString *error)
{
    const QString mainFile = mainDbFileName();
    const QString partial = mainFile + QStringLiteral(".partial");
    QFile::remove(partial);
    if (!QFile::copy(backup, partial)) {
        QFile::remove(partial);
        if (error)
            *error = QStringLiteral("复制备份失败：%1").arg(QDir::toNativeSeparators(backup));
        return false;
    }
    QFile::setPermissions(partial, ownerOnly());
    syncToDisk(partial);
    const QString damaged = QFileInfo::exists(mainFile) ? setAside(mainFile) : QString();
    if (QFileInfo::exists(mainFile) || !QFile::rename(partial, mainFile)) {
        QFile::remove(partial);
        if (!damaged.isEmpty() && !QFileInfo::exists(mainFile))
            QFile::rename(damaged, mainFile);
        if (error)
            *error = QStringLiteral("不能替换数据文件：%1").arg(QDir::toNativeSeparators(mainFile));
        return false;
    }
    syncToDisk(QFileInfo(mainFile).absolutePath(), true);
    if (aside)
        *aside = damaged;
    return true;
}

void attachLibraries(OpenedFiles &files)
{
    const char *const aliases[] = {"M", "S", "A"};
    for (int t = Ink::ttMaterial; t <= Ink::ttArticle; ++t) {
        const QString alias = QLatin1String(aliases[t]);
        const QString path = libraryPath(Ink::TableType(t));
        if (!files.createdLibraries.contains(path) && QFileInfo::exists(path) && QFileInfo(path).size() == 0 &&
            !replaceFromShippedCopy(path, QStringLiteral("文件长度为 0")))
            writeLog(QStringLiteral("err"), QStringLiteral("素材库文件长度为 0，安装目录中没有副本，按空库使用：%1")
                                                .arg(QDir::toNativeSeparators(path)));
        QSqlError error;
        if (tryAttachLibrary(path, alias, &error))
            continue;
        if (!unreadableAsLibrary(path, error) || !replaceFromShippedCopy(path, error.text().trimmed()) ||
            !tryAttachLibrary(path, alias, &error))
            throwError(error.text().trimmed(), QStringLiteral("ERR_QUERY"));
    }
    // The usage log holds counts only: a damaged one must not keep the author from the books.
    // It is kept under another name and a fresh one takes its place.
    const QString log = libraryPath(Ink::ttLog);
    const QString attachLog = attachPlainStatement(log, QStringLiteral("L"));
    QSqlError error;
    if (tryAttach(attachLog, QStringLiteral("L"), &error))
        return;
    if (!isDamageCode(sqliteCode(error)))
        throwError(error.text().trimmed(), QStringLiteral("ERR_QUERY"));
    const QString aside = setAside(log);
    if (aside.isEmpty() || !tryAttach(attachLog, QStringLiteral("L"), &error))
        throwError(error.text().trimmed(), QStringLiteral("ERR_QUERY"));
    writeLog(QStringLiteral("err"), QStringLiteral("使用记录文件不能使用（%1），已改名为 %2，另建了新文件：%3")
                                        .arg(error.text().trimmed(), QDir::toNativeSeparators(aside),
                                             QDir::toNativeSeparators(log)));
    files.logWasMissing = true;
    files.logSetAside = aside;
}

void logSqliteVersion()
{
    QueryPtr q = openQuery(QStringLiteral("SELECT sqlite_version() AS 'SQLiteVersion';"));
    qDebug().noquote() << QStringLiteral("--------------------------------------------------");
    if (q->next())
        qDebug().noquote() << QStringLiteral("SQLiteVersion:") << q->value(0).toString();
}

void createTables()
{
    for (const QString &sql : tableStatements())
        execSql(sql);
    for (const QString &sql : indexStatements())
        execSql(sql);
}

void createIndexes()
{
    // Additive only: older files and the cloud side never see a difference. The first serves the
    // sibling renumbering, the second covers the book tree query so that loading the tree never
    // reads the chapter texts.
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS BookTree_pID_Flag_Sort ON BookTree(pID,Flag,Sort)"));
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS BookTree_TreeLoad ON "
                           "BookTree(Flag,Level,pID,Sort,ID,Title,NodeType,Updated)"));
    // The loop worker counts rows waiting for upload twice a second.
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS BookTree_Synced ON BookTree(Synced)"));
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS MemoTree_Synced ON MemoTree(Synced)"));
}

void migrateSchema()
{
    if (queryInt(QStringLiteral("PRAGMA user_version;")) != 0)
        return;
    try {
        Transaction tx;
        for (const char *table : {"BookTree", "MemoTree"}) {
            const QString t = QLatin1String(table);
            execSql(QStringLiteral("ALTER TABLE %1 ADD COLUMN OrigID VARCHAR(64) DEFAULT('')").arg(t));
            execSql(QStringLiteral("ALTER TABLE %1 ADD COLUMN Flag CHAR(1) DEFAULT('A')").arg(t));
            execSql(QStringLiteral("ALTER TABLE %1 ADD COLUMN Usn INTEGER DEFAULT(0)").arg(t));
            execSql(QStringLiteral("ALTER TABLE %1 ADD COLUMN Synced BOOLEAN DEFAULT(0)").arg(t));
        }
        for (const char *table : {"BookTree", "MemoTree"}) {
            execSql(QStringLiteral("UPDATE %1 SET Flag='A',Usn=0,Synced=0, Created=IFNULL(Created,%2), "
                                   "Updated=IFNULL(Updated,%2)")
                        .arg(QLatin1String(table), QLatin1String(kNow)));
        }
        execSql(QStringLiteral("PRAGMA user_version=1"));
        tx.commit();
    } catch (const Exception &e) {
        throw Exception(QStringLiteral("升级数据库版本出错，错误信息：\r\n") + e.message(), e.code());
    } catch (...) {
        throw Exception(QStringLiteral("升级数据库版本出错，错误未知！"));
    }
}

void seedLogVersion(const OpenedFiles &files)
{
    if (!files.logWasMissing)
        return;
    bool empty = true;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT COUNT(*) cnt FROM L.DbVersion"));
        if (q->next())
            empty = q->value(0).toInt() == 0;
    }
    if (empty)
        execSql(QStringLiteral("INSERT INTO L.DbVersion(Version) VALUES(") + quoteSql(Ink::appVersion()) +
                QLatin1Char(')'));
}

QString highestVersionQuery(const QString &versionTable)
{
    return QStringLiteral("SELECT Version, CAST(Version AS REAL) v FROM %1 ORDER BY v DESC LIMIT 1").arg(versionTable);
}

double libraryVersion(Ink::TableType type, QString *text)
{
    const char *const aliases[] = {"M", "S", "A", "L"};
    QueryPtr q = openQuery(highestVersionQuery(QLatin1String(aliases[type]) + QStringLiteral(".DbVersion")));
    const bool found = q->next();
    if (text)
        *text = found ? q->value(0).toString() : QStringLiteral("0");
    return found ? q->value(1).toDouble() : 0.0;
}

int checkLibraryVersions(double *version)
{
    for (int t = Ink::ttMaterial; t <= Ink::ttArticle; ++t) {
        const double v = libraryVersion(Ink::TableType(t));
        if (v != 0.0 && v < 3.0) {
            qDebug().noquote() << (t == Ink::ttMaterial ? QStringLiteral("素材库版本：") : QStringLiteral("素材版本："))
                               << v;
            if (version)
                *version = v;
            return t;
        }
    }
    return -1;
}

void optimizeConnection()
{
    execSql(QStringLiteral("ATTACH DATABASE ':memory:' AS MM"));
    execSql(QStringLiteral("PRAGMA S.cache_size=") + QString::number(8192));
    execSql(QStringLiteral("PRAGMA M.cache_size=") + QString::number(131072));
    execSql(QStringLiteral("PRAGMA synchronous = NORMAL;"));
    execSql(QStringLiteral("PRAGMA locking_mode = EXCLUSIVE;"));
}

void closeConnection()
{
    DbLocker lock;
    if (g_App.db.isValid())
        g_App.db.close();
    g_App.db = QSqlDatabase();
    if (QSqlDatabase::contains(QSqlDatabase::defaultConnection))
        QSqlDatabase::removeDatabase(QSqlDatabase::defaultConnection);
}

namespace {

// Rows whose stored level differs from their depth. A NULL parent counts as a root, as the
// repair makes it one. Roots are chosen by the anchor only, so a row that names itself or
// another root as parent can never send the recursion round in a circle; the stored level
// travels with each row, so the count needs no second pass over the table.
QString levelMismatchCount(const QString &table)
{
    return QStringLiteral("WITH RECURSIVE cte(id,pid,level,stored) AS( \n"
                          "    SELECT id,pid,0 level,level FROM %1 WHERE pId='' OR pId IS NULL \n"
                          "    UNION ALL \n"
                          "    SELECT a.id,a.pId,cte.level+1 level,a.level FROM %1 AS a \n"
                          "    INNER JOIN cte ON a.pId=cte.id AND a.pId<>'') \n"
                          "SELECT COUNT(*) cnt \nFROM cte \nWHERE level IS NOT stored;")
        .arg(table);
}

} // namespace

bool startupChangesPending()
{
    // An old file is migrated: that changes rows only when there are any.
    if (queryInt(QStringLiteral("PRAGMA user_version;")) == 0)
        return queryInt(QStringLiteral("SELECT EXISTS(SELECT 1 FROM BookTree) OR EXISTS(SELECT 1 FROM MemoTree)")) > 0;
    if (queryInt(QStringLiteral("SELECT EXISTS(SELECT 1 FROM BookTree WHERE id IS NULL)")) > 0)
        return true;
    for (const char *table : {"BookTree", "MemoTree"}) {
        const QString t = QLatin1String(table);
        if (queryInt(QStringLiteral("SELECT EXISTS(SELECT 1 FROM %1 WHERE pId IS NULL) OR "
                                    "EXISTS(SELECT 1 FROM %1 WHERE Synced IS NULL)")
                         .arg(t)) > 0 ||
            queryInt(levelMismatchCount(t)) > 0)
            return true;
    }
    return false;
}

void repairTrees()
{
    const QString cte = QStringLiteral("WITH RECURSIVE cte(id,pid,level) AS( \n"
                                       "    SELECT id,pid,0 level FROM %1 WHERE pId='' \n"
                                       "    UNION ALL \n"
                                       "    SELECT a.id,a.pId,cte.level+1 level FROM %1 AS a \n"
                                       "    INNER JOIN cte ON a.pId=cte.id AND a.pId<>'') \n");
    try {
        {
            Transaction tx;
            execSql(QStringLiteral("DELETE FROM BookTree WHERE id IS NULL;"));
            tx.commit();
        }
        for (const char *table : {"BookTree", "MemoTree"}) {
            const QString t = QLatin1String(table);
            if (queryInt(QStringLiteral("SELECT COUNT(*) cnt FROM %1 WHERE pId IS NULL;").arg(t)) > 0) {
                Transaction tx;
                execSql(QStringLiteral("UPDATE %1 SET pId='' WHERE pId IS NULL;").arg(t));
                tx.commit();
            }
        }
        for (const char *table : {"BookTree", "MemoTree"}) {
            const QString t = QLatin1String(table);
            if (queryInt(levelMismatchCount(t)) > 0) {
                Transaction tx;
                execSql((cte + QStringLiteral("UPDATE %1 SET level=(SELECT level FROM cte WHERE cte.id=%1.id),synced=0,  \n"
                                              "    Updated=%2  \n"
                                              "WHERE id IN (SELECT id FROM cte) AND "
                                              "level IS NOT (SELECT level FROM cte WHERE cte.id=%1.id);"))
                            .arg(t, QLatin1String(kNow)));
                tx.commit();
            }
        }
        // A row an earlier version left with a NULL Synced (edited during an upload) waits again.
        execSql(QStringLiteral("UPDATE BookTree SET Synced=0 WHERE Synced IS NULL"));
        execSql(QStringLiteral("UPDATE MemoTree SET Synced=0 WHERE Synced IS NULL"));
    } catch (const Exception &e) {
        throw Exception(QStringLiteral("修复数据库内容出错，错误信息：\r\n") + e.message(), e.code());
    } catch (...) {
        throw Exception(QStringLiteral("修复数据库内容出错，错误未知！"));
    }
}
