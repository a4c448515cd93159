#include "material/SmartLibrary.h"

#include "app/Exception.h"
#include "book/TreeNodeInfo.h"
#include "log/Log.h"
#include "storage/DataAccess.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>

namespace material {

void LibraryTable::append(std::initializer_list<QStringView> searched, std::initializer_list<QStringView> kept)
{
    m_searchedFields = int(searched.size());
    for (const QStringView f : searched) {
        m_search.append(f.data(), int(f.size()));
        m_search += kSeparator;
    }
    for (const QStringView f : kept) {
        m_kept.append(f.data(), int(f.size()));
        m_kept += kSeparator;
    }
    m_searchStarts.append(m_search.size());
    m_keptStarts.append(m_kept.size());
}

void LibraryTable::squeeze()
{
    m_charCounts.fill(0, 65536);
    for (const QChar c : qAsConst(m_search))
        ++m_charCounts[c.unicode()];
    m_search.squeeze();
    m_kept.squeeze();
    m_searchStarts.squeeze();
    m_keptStarts.squeeze();
}

void LibraryTable::find(const QString &key, QVector<int> &rows) const
{
    if (key.isEmpty() || key.contains(kSeparator))
        return;
    // Look for the key's rarest character with the vectorised single-character search, then
    // compare the whole key around it.
    int anchor = 0;
    for (int i = 1; i < key.size(); ++i)
        if (m_charCounts.value(key.at(i).unicode()) < m_charCounts.value(key.at(anchor).unicode()))
            anchor = i;
    if (!m_charCounts.isEmpty() && m_charCounts.at(key.at(anchor).unicode()) == 0)
        return;
    const QStringView buffer(m_search);
    const QChar anchorChar = key.at(anchor);
    const int size = buffer.size(), keySize = key.size();
    int from = anchor;
    while (from < size) {
        const int at = int(buffer.indexOf(anchorChar, from));
        if (at < 0)
            return;
        const int start = at - anchor;
        if (start + keySize > size)
            return;
        if (buffer.mid(start, keySize) != key) {
            from = at + 1;
            continue;
        }
        const auto next = std::upper_bound(m_searchStarts.cbegin(), m_searchStarts.cend(), start);
        rows.append(int(next - m_searchStarts.cbegin()) - 1);
        from = *next + anchor; // the rest of the row would only list it again
    }
}

QString LibraryTable::field(int row, int k) const
{
    const bool searched = k < m_searchedFields;
    const QString &buffer = searched ? m_search : m_kept;
    int at = (searched ? m_searchStarts : m_keptStarts).at(row);
    for (int skip = searched ? k : k - m_searchedFields; skip > 0; --skip)
        at = buffer.indexOf(kSeparator, at) + 1;
    return buffer.mid(at, buffer.indexOf(kSeparator, at) - at);
}

qint64 LibraryTable::bytes() const
{
    return 2 * qint64(m_search.capacity() + m_kept.capacity()) + 4 * qint64(m_charCounts.capacity()) +
           4 * qint64(m_searchStarts.capacity() + m_keptStarts.capacity());
}

namespace {

struct Source {
    SmartLibraries::Kind kind;
    const char *sql; // %1: the last rowid read, %2: the most rows of a chunk
};

// The same rows and order as one statement per library, read a chunk at a time so that the
// connection lock is never held for long. Column 1 tells whether the row is a live content row.
// Every row is read in rowid order and the wanted ones kept here: a condition on Category
// would let the planner walk the (Category, pID) index and sort each chunk. Material texts are
// left in the file: they are not searched, and reading them was a good part of the load.
const Source kSources[] = {
    {SmartLibraries::Sentence,
     "SELECT rowid,Category='Content',id,pid,title,plainText FROM S.SentenceTree WHERE rowid>%1 ORDER BY rowid "
     "LIMIT %2"},
    {SmartLibraries::Material,
     "SELECT rowid,Category='Content',id,pid,title FROM M.MaterialTree WHERE rowid>%1 ORDER BY rowid LIMIT %2"},
    {SmartLibraries::UserMaterial,
     "SELECT rowid,Category='Content' AND flag='A',id,pid,title,plainText FROM MemoTree WHERE rowid>%1 ORDER BY rowid "
     "LIMIT %2"},
};

// The material library's page cache, small while it is read through: the read would otherwise
// fill the cache with every page of the file (hundreds of megabytes, much of the load's time)
// that the keyword search may never need. The size the connection had comes back afterwards.
class SmallMaterialCache
{
public:
    static constexpr int kPages = 1000;
    explicit SmallMaterialCache(const QSqlDatabase &db) : m_db(db)
    {
        LockedQuery q(m_db);
        if (q.exec(QStringLiteral("PRAGMA M.cache_size")) && q.next())
            m_pages = q.value(0).toLongLong();
        if (m_pages > kPages || m_pages < -kPages * 4)
            q.exec(QStringLiteral("PRAGMA M.cache_size=%1").arg(kPages));
        else
            m_pages = 0;
    }
    ~SmallMaterialCache()
    {
        if (m_pages != 0) {
            LockedQuery q(m_db);
            q.exec(QStringLiteral("PRAGMA M.cache_size=%1").arg(m_pages));
        }
    }
    SmallMaterialCache(const SmallMaterialCache &) = delete;
    SmallMaterialCache &operator=(const SmallMaterialCache &) = delete;

private:
    QSqlDatabase m_db;
    qint64 m_pages = 0;
};

} // namespace

std::shared_ptr<const SmartLibraries> SmartLibraries::load(const QSqlDatabase &db,
                                                            const std::function<bool()> &interrupted)
{
    auto libraries = std::make_shared<SmartLibraries>();
    for (const Source &source : kSources) {
        LibraryTable &table = libraries->m_tables[source.kind];
        std::unique_ptr<SmallMaterialCache> cache;
        if (source.kind == Material)
            cache = std::make_unique<SmallMaterialCache>(db);
        qint64 last = -1;
        for (;;) {
            if (interrupted && interrupted())
                return nullptr;
            bool more = false;
            {
                LockedQuery q(db);
                QElapsedTimer held;
                held.start();
                q.setForwardOnly(true);
                const QString sql = QString::fromLatin1(source.sql).arg(last).arg(kChunkRows);
                if (!q.exec(sql))
                    throw Exception(QStringLiteral("读取智能搜索词库出错：%1").arg(q.lastError().text()),
                                    QStringLiteral("ERR_QUERY"));
                int rows = 0;
                while (q.next()) {
                    last = q.value(0).toLongLong();
                    if (q.value(1).toInt() == 1) {
                        const QString id = q.value(2).toString(), pid = q.value(3).toString();
                        const QString title = q.value(4).toString();
                        if (source.kind == Sentence)
                            table.append({title, q.value(5).toString()}, {id, pid});
                        else if (source.kind == Material)
                            table.append({title}, {id, pid});
                        else
                            table.append({title}, {id, pid, q.value(5).toString()});
                    }
                    if (++rows == kChunkRows || (rows % 16 == 0 && held.elapsed() >= kChunkMs)) {
                        more = true;
                        break;
                    }
                }
            }
            // Asked again before the pause: a thread told to stop does not sleep first.
            if (interrupted && interrupted())
                return nullptr;
            if (!more)
                break;
            // The lock is not fair: without a pause this thread would take it straight back and
            // a statement of the GUI thread would wait for the whole read.
            QThread::usleep(500);
        }
    }
    // Outside the chunks: the counting pass over a whole library would lengthen one of them.
    for (LibraryTable &table : libraries->m_tables)
        table.squeeze();
    return libraries;
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
    if (kind == Sentence) {
        info.plainText = t.field(row, 1);
        info.id = t.field(row, 2);
        info.pID = t.field(row, 3);
    } else {
        info.id = t.field(row, 1);
        info.pID = t.field(row, 2);
        info.plainText = kind == UserMaterial ? t.field(row, 3) : QString();
    }
}

void SmartLibraries::readRecords(const QSqlDatabase &db, const quint32 *refs,
                                 const QVector<TreeNodeInfo *> &records) const
{
    QHash<QString, TreeNodeInfo *> materials;
    QStringList keys;
    for (int i = 0; i < records.size(); ++i) {
        readRecord(refs[i], *records.at(i));
        if (kindOf(refs[i]) == Material) {
            materials.insert(records.at(i)->id, records.at(i));
            keys << quoteSql(records.at(i)->id);
        }
    }
    if (keys.isEmpty())
        return;
    LockedQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT id,plainText FROM M.MaterialTree WHERE id IN (%1)").arg(keys.join(QLatin1Char(','))))) {
        writeLog(QStringLiteral("err"), QStringLiteral("读取素材正文出错：%1").arg(q.lastError().text()));
        return;
    }
    while (q.next())
        if (TreeNodeInfo *info = materials.value(q.value(0).toString()))
            info->plainText = q.value(1).toString();
}

} // namespace material
