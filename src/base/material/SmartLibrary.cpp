#include "material/SmartLibrary.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "book/TreeNodeInfo.h"
#include "log/Log.h"
#include "material/MaterialList.h"
#include "storage/DataAccess.h"
#include "storage/Database.h"
#include "storage/DbLock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <sqlite3.h>
#include <sys/stat.h>

namespace material {

namespace {

struct Source {
    SmartLibraries::Kind kind;
    const char *sql; // %1: the last rowid read, %2: the most rows of a chunk
};

// The same rows and order as one statement per library, read a chunk at a time so that the
// connection lock is never held for long. Column 1 tells whether the row is a live content row.
// Every row is read in rowid order and the wanted ones kept here: a condition on Category
// would let the planner walk the (Category, pID) index and sort each chunk. Of the library
// files only the searched fields are read: keys and material texts were most of the bytes
// decoded and held, and a page fetches its few rows by rowid.
const Source kSources[] = {
    {SmartLibraries::Sentence,
     "SELECT rowid,Category='Content',title,plainText FROM S.SentenceTree WHERE rowid>%1 ORDER BY rowid LIMIT %2"},
    {SmartLibraries::Material,
     "SELECT rowid,Category='Content',title FROM M.MaterialTree WHERE rowid>%1 ORDER BY rowid LIMIT %2"},
    {SmartLibraries::UserMaterial,
     "SELECT rowid,Category='Content' AND flag='A',title,id,pid,plainText FROM MemoTree WHERE rowid>%1 ORDER BY "
     "rowid LIMIT %2"},
};

} // namespace

namespace {

// The SQLite handle behind db; the caller holds the connection lock.
sqlite3 *handleOf(const QSqlDatabase &db)
{
    if (!db.isValid() || !db.isOpen() || !db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

// A text column as the file holds it, valid until the next step: decoded once, into the
// library's buffer, with no QString or QVariant per field. NULL reads as empty.
LibraryTable::Utf8 text(sqlite3_stmt *st, int col)
{
    LibraryTable::Utf8 f;
    f.data = reinterpret_cast<const char *>(sqlite3_column_text(st, col));
    f.size = f.data ? sqlite3_column_bytes(st, col) : 0;
    return f;
}

Exception readError(const QString &why)
{
    return Exception(QStringLiteral("读取智能搜索词库出错：%1").arg(why), QStringLiteral("ERR_QUERY"));
}

} // namespace

namespace {

// What a cache must have been written for: the library's version, size and time.
QByteArray libraryIdentity(const QSqlDatabase &db, SmartLibraries::Kind kind, const QString &file)
{
    struct stat st {};
    if (::stat(QFile::encodeName(file).constData(), &st) != 0)
        return QByteArray();
    QString version;
    {
        LockedQuery q(db);
        q.setForwardOnly(true);
        if (q.exec(highestVersionQuery(QLatin1String(kind == SmartLibraries::Sentence ? "S" : "M") +
                                       QStringLiteral(".DbVersion"))) &&
            q.next())
            version = q.value(0).toString();
    }
    return QStringLiteral("%1|%2|%3")
        .arg(version)
        .arg(qint64(st.st_size))
        .arg(qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec)
        .toUtf8();
}

} // namespace

namespace {

// Steps sql (%1 the last rowid read, %2 the most rows; column 0 the rowid) a chunk at a time,
// taking the connection lock for one chunk only, and hands each row to take. False when
// interrupted said so; throws Exception on a failing statement.
bool readChunked(const QSqlDatabase &db, const char *sqlTemplate, const std::function<bool()> &interrupted,
                 const std::function<void(sqlite3_stmt *, qint64)> &take)
{
    qint64 last = -1;
    for (;;) {
        if (interrupted && interrupted())
            return false;
        bool more = false;
        {
            // The rows are stepped on SQLite's own statement: the driver's result would build
            // a row of QVariants and a QString per field, most of the load's time.
            DbLocker lock;
            QElapsedTimer held;
            held.start();
            sqlite3 *handle = handleOf(db);
            if (!handle)
                throw readError(QStringLiteral("数据库连接不可用"));
            const QByteArray sql =
                QString::fromLatin1(sqlTemplate).arg(last).arg(SmartLibraries::kChunkRows).toLatin1();
            sqlite3_stmt *raw = nullptr;
            if (sqlite3_prepare_v2(handle, sql.constData(), sql.size(), &raw, nullptr) != SQLITE_OK) {
                sqlite3_finalize(raw);
                throw readError(QString::fromUtf8(sqlite3_errmsg(handle)));
            }
            const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> st(raw, sqlite3_finalize);
            int rows = 0, rc;
            while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
                last = sqlite3_column_int64(raw, 0);
                take(raw, last);
                if (++rows == SmartLibraries::kChunkRows ||
                    (rows % 16 == 0 && held.elapsed() >= SmartLibraries::kChunkMs)) {
                    more = true;
                    break;
                }
            }
            if (!more && rc != SQLITE_DONE)
                throw readError(QString::fromUtf8(sqlite3_errmsg(handle)));
        }
        // Asked again before the pause: a thread told to stop does not sleep first.
        if (interrupted && interrupted())
            return false;
        if (!more)
            return true;
        // The lock is not fair: without a pause this thread would take it straight back and
        // a statement of the GUI thread would wait for the whole read.
        QThread::usleep(500);
    }
}

} // namespace

std::shared_ptr<const SmartLibraries> SmartLibraries::load(const QSqlDatabase &db,
                                                            const std::function<bool()> &interrupted,
                                                            bool useCaches)
{
    auto libraries = std::make_shared<SmartLibraries>();
    for (const Source &source : kSources) {
        LibraryTable &table = libraries->m_tables[source.kind];
        QString cacheFile;
        QByteArray identity;
        if (useCaches && source.kind != UserMaterial) {
            const QString library = dbFileName(source.kind == Sentence ? Ink::ttSentence : Ink::ttMaterial);
            identity = libraryIdentity(db, source.kind, library);
            cacheFile = cachePath(library);
            if (!identity.isEmpty() && table.readCache(cacheFile, identity))
                continue;
        }
        const bool read = readChunked(db, source.sql, interrupted, [&](sqlite3_stmt *raw, qint64 rowid) {
            if (sqlite3_column_int(raw, 1) != 1)
                return;
            const LibraryTable::Utf8 title = text(raw, 2);
            if (source.kind == Sentence)
                table.append({title, text(raw, 3)}, {}, rowid);
            else if (source.kind == Material)
                table.append({title}, {}, rowid);
            else
                table.append({title}, {text(raw, 3), text(raw, 4), text(raw, 5)}, rowid);
        });
        if (!read)
            return nullptr;
        // Outside the chunks: the counting pass over a whole library would lengthen one of them.
        table.squeeze();
        // A cache that cannot be written costs the next start the read above, nothing more.
        if (!identity.isEmpty() && !table.writeCache(cacheFile, identity))
            writeLog(QStringLiteral("err"), QStringLiteral("智能搜索缓存写入失败：%1").arg(cacheFile));
    }
    return libraries;
}

std::shared_ptr<const LibraryTable> SmartLibraries::loadMaterialTexts(const QSqlDatabase &db,
                                                                      const std::function<bool()> &interrupted)
{
    auto table = std::make_shared<LibraryTable>();
    const bool read = readChunked(
        db, "SELECT rowid,Category='Content',title,plainText FROM M.MaterialTree WHERE rowid>%1 ORDER BY rowid LIMIT %2",
        interrupted, [&table](sqlite3_stmt *raw, qint64 rowid) {
            if (sqlite3_column_int(raw, 1) == 1)
                table->append({text(raw, 2), text(raw, 3)}, {}, rowid);
        });
    if (!read)
        return nullptr;
    table->squeeze(true);
    return table;
}

qint64 SmartLibraries::bytes() const
{
    return m_tables[0].bytes() + m_tables[1].bytes() + m_tables[2].bytes();
}

QVector<quint32> SmartLibraries::filter(const QString &key, bool includeMaterial, bool includeUserMaterial) const
{
    QVector<quint32> result;
    QVector<int> rows;
    auto collect = [&](Kind kind) {
        rows.clear();
        m_tables[kind].find(key, rows);
        for (int row : qAsConst(rows))
            result.append(ref(kind, row));
    };
    collect(Sentence);
    if (includeMaterial)
        collect(Material);
    if (includeUserMaterial)
        collect(UserMaterial);
    return result;
}

void SmartLibraries::readRecord(quint32 r, TreeNodeInfo &info) const
{
    const Kind kind = kindOf(r);
    const LibraryTable &t = m_tables[kind];
    const int row = rowOf(r);
    static const char *const types[] = {"Sentence", "Material", "UserMaterial"};
    info._type = QLatin1String(types[kind]);
    info.title = t.field(row, 0);
    info.id.clear();
    info.pID.clear();
    info.plainText.clear();
    if (kind == Sentence) {
        info.plainText = t.field(row, 1);
    } else if (kind == UserMaterial) {
        info.id = t.field(row, 1);
        info.pID = t.field(row, 2);
        info.plainText = t.field(row, 3);
    }
}

void SmartLibraries::readRecords(const QSqlDatabase &db, const quint32 *refs,
                                 const QVector<TreeNodeInfo *> &records) const
{
    QHash<qint64, TreeNodeInfo *> fetched[2]; // by rowid: sentences, materials
    for (int i = 0; i < records.size(); ++i) {
        readRecord(refs[i], *records.at(i));
        const Kind kind = kindOf(refs[i]);
        if (kind != UserMaterial)
            fetched[kind].insert(m_tables[kind].key(rowOf(refs[i])), records.at(i));
    }
    static const char *const sql[] = {"SELECT rowid,id,pid FROM S.SentenceTree WHERE rowid IN (%1)",
                                      "SELECT rowid,id,pid,plainText FROM M.MaterialTree WHERE rowid IN (%1)"};
    for (int kind = Sentence; kind <= Material; ++kind) {
        if (fetched[kind].isEmpty())
            continue;
        QStringList keys;
        for (auto it = fetched[kind].cbegin(); it != fetched[kind].cend(); ++it)
            keys << QString::number(it.key());
        LockedQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(QString::fromLatin1(sql[kind]).arg(keys.join(QLatin1Char(','))))) {
            writeLog(QStringLiteral("err"), QStringLiteral("读取素材出错：%1").arg(q.lastError().text()));
            continue;
        }
        while (q.next()) {
            TreeNodeInfo *info = fetched[kind].value(q.value(0).toLongLong());
            if (!info)
                continue;
            info->id = q.value(1).toString();
            info->pID = q.value(2).toString();
            if (kind == Material)
                info->plainText = q.value(3).toString();
        }
    }
}

} // namespace material
