#include "book/BookSearch.h"

#include "app/App.h"
#include "app/Exception.h"
#include "storage/DataAccess.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QSqlDriver>

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

namespace {

struct Node {
    QString id;
    QString pid;
    int type = 0;
    double sort = 0;
    QString title;
    QString text; // no-break spaces already read as spaces
    bool live = false;
};

struct Place {
    int start = 0; // the node and its descendants are order[start, end)
    int end = 0;
    QString path;
};

// The copy of the rows; one search or refresh at a time works on it.
struct Copy {
    QMutex mutex;
    QHash<qint64, Node> rows; // every row, deleted ones too, so its size can be checked
    bool loaded = false;
    qint64 loadedUpTo = -1; // a first reading stopped part way (cancelled) goes on from here
    bool orderDirty = true;
    QVector<qint64> order; // live nodes reachable from a book, in tree order
    QHash<QString, Place> places;
};

Copy &theCopy()
{
    static Copy c;
    return c;
}

// Rows written since the copy last read them. The change hook runs on whichever thread writes
// (holding the connection lock), so this set has a lock of its own that nothing waits under.
QMutex g_dirtyMutex;
QSet<qint64> g_dirty;
char g_hookTag; // the hook's argument: a connection whose hook carries it is watched

extern "C" void rowChanged(void *, int, const char *db, const char *table, sqlite3_int64 rowid)
{
    if (qstricmp(db, "main") != 0 || qstricmp(table, "BookTree") != 0)
        return;
    QMutexLocker lock(&g_dirtyMutex);
    g_dirty.insert(rowid);
}

QSet<qint64> takeDirty()
{
    QMutexLocker lock(&g_dirtyMutex);
    QSet<qint64> taken;
    taken.swap(g_dirty);
    return taken;
}

sqlite3 *connectionHandle()
{
    QSqlDriver *driver = g_App.db().driver();
    const QVariant v = driver ? driver->handle() : QVariant();
    if (!v.isValid() || qstrcmp(v.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(v.constData());
}

QString folded(QString text) { return text.replace(QChar::Nbsp, QLatin1Char(' ')); }

bool hasCase(const QString &key)
{
    for (const QChar ch : key)
        if (ch.toLower() != ch || ch.toUpper() != ch)
            return true;
    return false;
}

Qt::CaseSensitivity sensitivity(const QString &key, bool matchCase)
{
    // Case-insensitive search is slower; a key without cased letters finds the same either way.
    return matchCase || !hasCase(key) ? Qt::CaseSensitive : Qt::CaseInsensitive;
}

const QString kColumns = QStringLiteral("SELECT rowid,ID,pID,NodeType,Sort,Title,Flag,PlainText FROM BookTree ");

// Reads the rows of sql into the copy; returns the largest rowid read (-1 when none).
qint64 readRows(Copy &c, const QString &sql, QSet<qint64> *seen = nullptr)
{
    qint64 last = -1;
    QueryPtr q = openQuery(sql);
    while (q->next()) {
        const qint64 rowid = q->value(0).toLongLong();
        Node n;
        n.id = q->value(1).toString();
        n.pid = q->value(2).toString();
        n.type = q->value(3).toInt();
        n.sort = q->value(4).toDouble();
        n.title = q->value(5).toString();
        n.live = q->value(6).toString() == QLatin1String("A");
        n.text = folded(q->value(7).toString());
        auto it = c.rows.find(rowid);
        if (it == c.rows.end() || it->id != n.id || it->pid != n.pid || it->sort != n.sort ||
            it->title != n.title || it->live != n.live || it->type != n.type)
            c.orderDirty = true;
        c.rows.insert(rowid, n);
        if (seen)
            seen->insert(rowid);
        last = qMax(last, rowid);
    }
    return last;
}

bool cancelled(const std::atomic<int> *generation, int wanted)
{
    return generation && generation->load() != wanted;
}

// Rows per piece: the connection is free for other threads between pieces.
constexpr int kPiece = 100;

// Reads the rows written since they were last read; a row no longer there leaves the copy.
void applyDirty(Copy &c)
{
    const QList<qint64> list = takeDirty().values();
    for (int i = 0; i < list.size(); i += kPiece) {
        QStringList ids;
        for (int j = i; j < qMin(list.size(), i + kPiece); ++j)
            ids << QString::number(list.at(j));
        QSet<qint64> seen;
        readRows(c, kColumns + QStringLiteral("WHERE rowid IN (%1)").arg(ids.join(QLatin1Char(','))), &seen);
        for (const QString &id : ids)
            if (!seen.contains(id.toLongLong()) && c.rows.remove(id.toLongLong()))
                c.orderDirty = true;
    }
}

bool refreshLocked(Copy &c, const std::atomic<int> *generation, int wanted)
{
    sqlite3 *handle = connectionHandle();
    if (!handle)
        throw Exception(QStringLiteral("数据库未打开！"), QStringLiteral("ERR_QUERY"));
    {
        DbLocker lock;
        // A connection without our hook is a new one: nothing of the copy can be trusted.
        if (sqlite3_update_hook(handle, rowChanged, &g_hookTag) != &g_hookTag) {
            c.loaded = false;
            c.loadedUpTo = -1;
        }
    }
    if (c.loaded) {
        applyDirty(c);
        // A truncating DELETE changes rows without telling the hook; the count shows it.
        QueryPtr q = openQuery(QStringLiteral("SELECT COUNT(*) FROM BookTree"));
        if (!q->next() || q->value(0).toLongLong() != c.rows.size()) {
            c.loaded = false;
            c.loadedUpTo = -1;
        }
    }
    if (!c.loaded) {
        if (c.loadedUpTo < 0) {
            takeDirty();
            c.rows.clear();
            c.orderDirty = true;
        }
        forever {
            if (cancelled(generation, wanted))
                return false;
            const qint64 last = readRows(
                c, kColumns + QStringLiteral("WHERE rowid>%1 ORDER BY rowid LIMIT %2").arg(c.loadedUpTo).arg(kPiece));
            if (last < 0)
                break;
            c.loadedUpTo = last;
        }
        c.loaded = true;
        c.loadedUpTo = -1;
        applyDirty(c);
    }
    return true;
}

void buildOrder(Copy &c)
{
    if (!c.orderDirty)
        return;
    QHash<QString, QVector<qint64>> children;
    for (auto it = c.rows.cbegin(); it != c.rows.cend(); ++it)
        if (it->live)
            children[it->pid].append(it.key());
    for (QVector<qint64> &list : children)
        std::sort(list.begin(), list.end(), [&c](qint64 a, qint64 b) {
            const double sa = c.rows.value(a).sort, sb = c.rows.value(b).sort;
            return sa != sb ? sa < sb : a < b;
        });
    c.order.clear();
    c.places.clear();
    // Depth first from the books; a node whose parent is gone is not in the tree, nor here.
    struct Frame {
        qint64 row;
        int child;
    };
    QVector<Frame> stack;
    QStringList titles;
    const QVector<qint64> roots = children.value(QString());
    for (qint64 root : roots) {
        stack.append({root, 0});
        while (!stack.isEmpty()) {
            Frame &f = stack.last();
            const Node &n = c.rows[f.row];
            if (f.child == 0) {
                titles.append(n.title);
                Place p;
                p.start = c.order.size();
                p.path = titles.join(QStringLiteral(" / "));
                c.places.insert(n.id, p);
                c.order.append(f.row);
            }
            const QVector<qint64> &kids = children[n.id];
            if (f.child < kids.size() && stack.size() < 64) {
                const qint64 next = kids.at(f.child++);
                stack.append({next, 0});
                continue;
            }
            c.places[n.id].end = c.order.size();
            titles.removeLast();
            stack.removeLast();
        }
    }
    c.orderDirty = false;
}

// The next match from `from`. Case-sensitive keys look for their first character with the
// vectorised character search and compare the rest: many times faster than a general string
// search over tens of millions of characters.
int nextMatch(const QString &text, const QString &key, int from, Qt::CaseSensitivity cs)
{
    if (cs == Qt::CaseInsensitive)
        return text.indexOf(key, from, cs);
    const QStringView view(text);
    const QChar first = key.at(0);
    const int rest = key.size() - 1;
    const int last = text.size() - key.size();
    while (from <= last) {
        const int at = int(view.indexOf(first, from));
        if (at < 0 || at > last)
            return -1;
        if (rest == 0 || memcmp(text.constData() + at + 1, key.constData() + 1, size_t(rest) * sizeof(QChar)) == 0)
            return at;
        from = at + 1;
    }
    return -1;
}

BookSearch::Match matchIn(const QString &text, int offset, int length, bool inTitle)
{
    BookSearch::Match m;
    m.offset = offset;
    m.length = length;
    m.inTitle = inTitle;
    constexpr int before = 20, after = 40;
    const int lineStart = offset > 0 ? text.lastIndexOf(QLatin1Char('\n'), offset - 1) + 1 : 0;
    int lineEnd = text.indexOf(QLatin1Char('\n'), offset + length);
    if (lineEnd < 0)
        lineEnd = text.size();
    int from = qMax(lineStart, offset - before);
    // Cut only when words were left out; a paragraph's indent is simply not shown.
    bool cut = false;
    for (int i = lineStart; i < from && !cut; ++i)
        cut = !text.at(i).isSpace();
    while (from < offset && (text.at(from).isSpace()))
        ++from;
    const int to = qMin(lineEnd, offset + length + after);
    m.context = text.mid(from, to - from);
    m.contextOffset = offset - from;
    if (cut) {
        m.context.prepend(QChar(0x2026));
        ++m.contextOffset;
    }
    if (to < lineEnd)
        m.context.append(QChar(0x2026));
    return m;
}

} // namespace

namespace BookSearch {

QVector<int> findAll(const QString &text, const QString &key, bool matchCase)
{
    QVector<int> found;
    const QString k = folded(key);
    if (k.isEmpty())
        return found;
    const QString t = folded(text);
    const Qt::CaseSensitivity cs = sensitivity(k, matchCase);
    for (int i = t.indexOf(k, 0, cs); i >= 0; i = t.indexOf(k, i + k.size(), cs))
        found.append(i);
    return found;
}

Qt::CaseSensitivity caseSensitivity(const QString &key, bool matchCase) { return sensitivity(key, matchCase); }

bool matchesAt(const QString &text, int offset, const QString &key, bool matchCase)
{
    const QString k = folded(key);
    if (k.isEmpty() || offset < 0 || offset + k.size() > text.size())
        return false;
    return QStringView(folded(text.mid(offset, k.size()))).compare(k, sensitivity(k, matchCase)) == 0;
}

bool refresh(const std::atomic<int> *generation, int wanted)
{
    Copy &c = theCopy();
    QMutexLocker lock(&c.mutex);
    return refreshLocked(c, generation, wanted);
}

Result search(const Query &query, const std::function<bool(const Result &)> &partial,
              const std::atomic<int> *generation, int wanted)
{
    Result result;
    const QString key = folded(query.key);
    Copy &c = theCopy();
    QMutexLocker lock(&c.mutex);
    if (!refreshLocked(c, generation, wanted)) {
        result.cancelled = true;
        return result;
    }
    if (key.isEmpty())
        return result;
    buildOrder(c);
    int start = 0, end = c.order.size();
    if (query.scope != Scope::AllBooks) {
        const auto it = c.places.constFind(query.scopeId);
        if (it == c.places.cend())
            return result;
        start = it->start;
        end = it->end;
    }
    const Qt::CaseSensitivity cs = sensitivity(key, query.matchCase);
    const QString edited = folded(query.editedText);
    int listed = 0;
    int sentChapters = 0;
    QElapsedTimer sinceSent;
    sinceSent.start();
    bool sentAny = false;
    for (int i = start; i < end; ++i) {
        if ((i & 63) == 0 && cancelled(generation, wanted)) {
            result.cancelled = true;
            return result;
        }
        const Node &n = c.rows[c.order.at(i)];
        ChapterHits hits;
        auto scan = [&](const QString &text, bool inTitle) {
            for (int at = nextMatch(text, key, 0, cs); at >= 0; at = nextMatch(text, key, at + key.size(), cs)) {
                ++result.matchCount;
                if (listed < kMaxListedMatches) {
                    hits.matches.append(matchIn(text, at, key.size(), inTitle));
                    ++listed;
                } else {
                    result.truncated = true;
                }
            }
        };
        const int before = result.matchCount;
        if (query.titles)
            scan(n.title, true);
        scan(!query.editedId.isEmpty() && n.id == query.editedId ? edited : n.text, false);
        if (result.matchCount == before)
            continue;
        ++result.chapterCount;
        if (!hits.matches.isEmpty()) {
            hits.chapterId = n.id;
            hits.path = c.places.value(n.id).path;
            result.chapters.append(hits);
        }
        // The first chapters go out at once, later ones in batches.
        if (partial && (!sentAny || sinceSent.elapsed() >= 100) && result.chapters.size() > sentChapters) {
            Result delta;
            delta.chapters = result.chapters.mid(sentChapters);
            delta.matchCount = result.matchCount;
            delta.chapterCount = result.chapterCount;
            delta.truncated = result.truncated;
            sentChapters = result.chapters.size();
            sentAny = true;
            sinceSent.restart();
            if (!partial(delta)) {
                result.cancelled = true;
                return result;
            }
        }
    }
    return result;
}

void reset()
{
    Copy &c = theCopy();
    QMutexLocker lock(&c.mutex);
    c.loaded = false;
    c.loadedUpTo = -1;
    c.rows.clear();
    c.orderDirty = true;
}

QString pathOf(const QString &id)
{
    Copy &c = theCopy();
    QMutexLocker lock(&c.mutex);
    buildOrder(c);
    return c.places.value(id).path;
}

} // namespace BookSearch
