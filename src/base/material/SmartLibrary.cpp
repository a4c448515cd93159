#include "material/SmartLibrary.h"

#include "app/Exception.h"
#include "book/TreeNodeInfo.h"
#include "storage/DataAccess.h"

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
    const char *sql; // %1: the last rowid read
    bool textSearched;
};

// The same rows and order as one statement per library, read a chunk at a time so that the
// connection lock is never held for long.
// Every row is read in rowid order and the wanted ones kept here: a condition on Category
// would let the planner walk the (Category, pID) index and sort each chunk.
const Source kSources[] = {
    {SmartLibraries::Sentence,
     "SELECT rowid,id,pid,title,plainText,Category,'A' FROM S.SentenceTree WHERE rowid>%1 ORDER BY rowid LIMIT %2",
     true},
    {SmartLibraries::Material,
     "SELECT rowid,id,pid,title,plainText,Category,'A' FROM M.MaterialTree WHERE rowid>%1 ORDER BY rowid LIMIT %2",
     false},
    {SmartLibraries::UserMaterial,
     "SELECT rowid,id,pid,title,plainText,Category,flag FROM MemoTree WHERE rowid>%1 ORDER BY rowid LIMIT %2",
     false},
};

} // namespace

std::shared_ptr<const SmartLibraries> SmartLibraries::load(const QSqlDatabase &db,
                                                            const std::function<bool()> &interrupted)
{
    auto libraries = std::make_shared<SmartLibraries>();
    for (const Source &source : kSources) {
        LibraryTable &table = libraries->m_tables[source.kind];
        qint64 last = -1;
        for (;;) {
            if (interrupted && interrupted())
                return nullptr;
            int rows = 0;
            {
                LockedQuery q(db);
                q.setForwardOnly(true);
                const QString sql = QString::fromLatin1(source.sql).arg(last).arg(kChunkRows);
                if (!q.exec(sql))
                    throw Exception(QStringLiteral("读取智能搜索词库出错：%1").arg(q.lastError().text()),
                                    QStringLiteral("ERR_QUERY"));
                while (q.next()) {
                    ++rows;
                    last = q.value(0).toLongLong();
                    if (q.value(5).toString() != QLatin1String("Content") || q.value(6).toString() != QLatin1String("A"))
                        continue;
                    const QString id = q.value(1).toString(), pid = q.value(2).toString();
                    const QString title = q.value(3).toString(), text = q.value(4).toString();
                    if (source.textSearched)
                        table.append({title, text}, {id, pid});
                    else
                        table.append({title}, {id, pid, text});
                }
            }
            if (rows < kChunkRows)
                break;
            // The lock is not fair: without a pause this thread would take it straight back and
            // a statement of the GUI thread would wait for the whole read.
            QThread::usleep(500);
        }
        table.squeeze();
    }
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
        info.plainText = t.field(row, 3);
    }
}

} // namespace material
