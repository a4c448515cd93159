#include "book/WritingStats.h"

#include "book/TextTools.h"
#include "storage/DataAccess.h"

#include <QSet>

#include <algorithm>

namespace WritingStats {

int writtenCount(const QString &plainText)
{
    const TextTools::WordStatistics s = TextTools::countWords(plainText);
    return s.chinese + s.latin;
}

namespace {

struct Node {
    QString parentId;
    QString title;
    bool deleted = false;
};

qint64 julianDay(const QString &text, QHash<QString, qint64> &cache)
{
    // Rows of one day repeat across chapters: parse each date text once.
    const QString key = text.left(10);
    auto it = cache.constFind(key);
    if (it != cache.constEnd())
        return *it;
    const QDate date = QDate::fromString(key, Qt::ISODate);
    const qint64 day = date.isValid() ? date.toJulianDay() : 0;
    cache.insert(key, day);
    return day;
}

} // namespace

History History::load() { return read(QString(), true); }

History History::loadDay(const QDate &day)
{
    const QString date = quoteSql(day.toString(Qt::ISODate));
    // A day names few chapters: their rows and parents are looked up one by one, not the whole
    // tree (a save recounts the day, and a large book has tens of thousands of rows).
    return read(QStringLiteral(" WHERE BookID IN (SELECT BookID FROM L.BookLog WHERE ADate=%1) AND ADate<=%1").arg(date),
                false);
}

History History::read(const QString &where, bool wholeTree)
{
    History h;
    QHash<QString, Node> nodes;
    QSet<QString> absent;
    if (wholeTree) {
        QueryPtr q = openQuery(QStringLiteral("SELECT ID,pID,Title,Flag FROM BookTree"));
        while (q->next())
            nodes.insert(q->value(0).toString(),
                         {q->value(1).toString(), q->value(2).toString(), q->value(3).toString() == QLatin1String("D")});
    }
    // A copy: looking a row up may grow the table.
    auto node = [&](const QString &id, Node *out) {
        auto it = nodes.constFind(id);
        if (it != nodes.constEnd()) {
            *out = *it;
            return true;
        }
        if (wholeTree || absent.contains(id))
            return false;
        QueryPtr q = openQuery(QStringLiteral("SELECT pID,Title,Flag FROM BookTree WHERE ID=") + quoteSql(id));
        if (!q->next()) {
            absent.insert(id);
            return false;
        }
        *out = {q->value(0).toString(), q->value(1).toString(), q->value(2).toString() == QLatin1String("D")};
        nodes.insert(id, *out);
        return true;
    };
    auto resolve = [&node](const QString &id) {
        Chapter c;
        c.id = id;
        Node at;
        if (!node(id, &at)) {
            c.deleted = true;
            return c;
        }
        c.title = at.title;
        c.deleted = at.deleted;
        QString bookId = id;
        // The depth limit guards against a damaged tree whose parents form a loop.
        for (int depth = 0; depth < 16 && !at.parentId.isEmpty(); ++depth) {
            Node up;
            if (!node(at.parentId, &up)) {
                c.deleted = true;
                break;
            }
            bookId = at.parentId;
            at = up;
            c.deleted = c.deleted || at.deleted;
        }
        c.bookId = bookId;
        c.bookTitle = at.title;
        return c;
    };

    QHash<QString, qint64> dates;
    QString chapterId;
    int chapter = -1;
    qint64 prevDay = 0;
    int prev1 = 0;
    int prev2 = 0;
    bool prevHas2 = false;
    QueryPtr q = openQuery(QStringLiteral("SELECT BookID,ADate,WordCount1,WordCount2 FROM L.BookLog") + where
                           + QStringLiteral(" ORDER BY BookID,ADate"));
    while (q->next()) {
        const QString id = q->value(0).toString();
        const qint64 day = julianDay(q->value(1).toString(), dates);
        if (day == 0)
            continue;
        const int count1 = q->value(2).toInt();
        const QVariant v2 = q->value(3);
        const bool has2 = !v2.isNull();
        const int count2 = v2.toInt();
        const bool first = id != chapterId;
        if (first) {
            chapterId = id;
            h.m_chapters.append(resolve(id));
            chapter = h.m_chapters.size() - 1;
        }
        // Rows written before the written count was stored carry only the length in characters:
        // between two such rows the growth is counted in characters.
        int growth;
        if (first)
            growth = has2 ? count2 : count1;
        else if (has2 && prevHas2)
            growth = count2 - prev2;
        else
            growth = count1 - prev1;
        const int count = has2 ? count2 : count1;
        QVector<Entry> &entries = h.m_entries[day];
        if (!first && day == prevDay && !entries.isEmpty() && entries.last().chapter == chapter) {
            entries.last().growth += growth;
            entries.last().count = count;
        } else {
            entries.append({chapter, count, growth});
        }
        h.m_days[day] += growth;
        h.m_total += growth;
        prevDay = day;
        prev1 = count1;
        prev2 = count2;
        prevHas2 = has2;
    }
    return h;
}

QDate History::firstDay() const { return m_days.isEmpty() ? QDate() : QDate::fromJulianDay(m_days.firstKey()); }
QDate History::lastDay() const { return m_days.isEmpty() ? QDate() : QDate::fromJulianDay(m_days.lastKey()); }

int History::growthOn(const QDate &day) const { return m_days.value(day.toJulianDay()); }

QVector<int> History::growthPerDay(const QDate &first, const QDate &last) const
{
    QVector<int> values;
    const qint64 from = first.toJulianDay();
    const qint64 to = last.toJulianDay();
    if (to < from)
        return values;
    values.reserve(int(to - from + 1));
    for (qint64 d = from; d <= to; ++d)
        values.append(m_days.value(d));
    return values;
}

QVector<ChapterGrowth> History::chaptersOn(const QDate &day) const
{
    QVector<ChapterGrowth> rows;
    for (const Entry &e : m_entries.value(day.toJulianDay())) {
        const Chapter &c = m_chapters.at(e.chapter);
        rows.append({c.id, c.title, c.bookTitle, e.count, e.growth, c.deleted});
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ChapterGrowth &a, const ChapterGrowth &b) { return a.growth > b.growth; });
    return rows;
}

Streaks History::streaks(int target, const QDate &today) const
{
    auto meets = [target](int growth) { return target > 0 ? growth >= target : growth > 0; };
    Streaks s;
    qint64 day = today.toJulianDay();
    if (!meets(m_days.value(day)))
        --day;
    while (meets(m_days.value(day))) {
        ++s.current;
        --day;
    }
    int run = 0;
    qint64 last = 0;
    for (auto it = m_days.constBegin(); it != m_days.constEnd(); ++it) {
        if (!meets(it.value())) {
            run = 0;
            continue;
        }
        run = (run > 0 && it.key() == last + 1) ? run + 1 : 1;
        last = it.key();
        s.longest = qMax(s.longest, run);
    }
    return s;
}

QVector<BookTotal> History::bookTotals() const
{
    QHash<QString, int> index;
    QVector<BookTotal> totals;
    QVector<QSet<qint64>> days;
    for (auto it = m_entries.constBegin(); it != m_entries.constEnd(); ++it) {
        for (const Entry &e : it.value()) {
            const Chapter &c = m_chapters.at(e.chapter);
            auto found = index.constFind(c.bookId);
            int i;
            if (found == index.constEnd()) {
                i = totals.size();
                index.insert(c.bookId, i);
                totals.append({c.bookId, c.bookTitle, 0, 0});
                days.append(QSet<qint64>());
            } else {
                i = *found;
            }
            totals[i].growth += e.growth;
            days[i].insert(it.key());
        }
    }
    for (int i = 0; i < totals.size(); ++i)
        totals[i].days = days.at(i).size();
    std::sort(totals.begin(), totals.end(), [](const BookTotal &a, const BookTotal &b) {
        return a.growth != b.growth ? a.growth > b.growth : a.title < b.title;
    });
    return totals;
}

} // namespace WritingStats
