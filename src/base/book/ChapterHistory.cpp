#include "book/ChapterHistory.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "book/ChapterHistoryData.h"
#include "log/Log.h"
#include "storage/DataAccess.h"

#include <QHash>
#include <QMutex>
#include <QSqlError>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

using namespace ChapterHistoryData;

constexpr int kKeepAll = 50;
constexpr qint64 kHourlyDays = 7;
constexpr qint64 kDailyDays = 90;

QMutex g_noticeMutex;
QString g_notice;
bool g_noticeShown = false; // once a run: the status bar need not repeat it at every save

QMutex g_clockMutex;
std::function<QDateTime()> g_clock;

QDateTime now()
{
    QMutexLocker lock(&g_clockMutex);
    return g_clock ? g_clock() : QDateTime::currentDateTime();
}

QString timeText(const QDateTime &t) { return t.toString(Ink::dateTimeMsFormat()); }

// The newest version kept by the last keep(): the next keep stores it against the new one.
struct Newest {
    qint64 id = 0;
    qint64 digest = 0;
    ChapterHistory::Text text;
};
QMutex g_newestMutex;
Newest g_newest;

void rememberNewest(qint64 id, qint64 digest, const ChapterHistory::Text &text)
{
    QMutexLocker lock(&g_newestMutex);
    g_newest = {id, digest, text};
}

void forgetNewest()
{
    QMutexLocker lock(&g_newestMutex);
    g_newest = Newest();
}

struct Row {
    qint64 id = 0;
    qint64 base = 0;
    QByteArray data;
};

// Rows of the chapter from the newest down to (and with) `oldest`, with their data. The newest
// version's whole text lives in ChapterHistoryLatest, one row a chapter rewritten in place at
// every save: a history row written whole and shrunk to a difference at the next save would
// leave a page nearly empty behind each version.
QVector<Row> chainRows(const QString &chapterId, qint64 oldest)
{
    QVector<Row> rows;
    QueryPtr q = openQuery(QStringLiteral("SELECT h.ID,h.Base,IFNULL(h.Data,l.Data) FROM ChapterHistory h "
                                          "LEFT JOIN ChapterHistoryLatest l ON l.ChapterID=h.ChapterID AND l.ID=h.ID "
                                          "WHERE h.ChapterID=%1 AND h.ID>=%2 ORDER BY h.ID DESC")
                               .arg(quoteSql(chapterId))
                               .arg(oldest));
    while (q->next())
        rows.push_back({q->value(0).toLongLong(), q->value(1).toLongLong(), q->value(2).toByteArray()});
    return rows;
}

// Texts of the rows, decoded from the newest down (every base is newer than what it serves).
QHash<qint64, ChapterHistory::Text> decodeChain(const QVector<Row> &rows)
{
    QHash<qint64, ChapterHistory::Text> texts;
    for (const Row &r : rows) {
        const auto base = texts.constFind(r.base);
        texts.insert(r.id, decode(r.id, r.data, r.base == 0 ? nullptr
                                                              : base == texts.constEnd() ? nullptr : &*base));
    }
    return texts;
}

ChapterHistory::Version versionFrom(const QSqlRecord &r)
{
    ChapterHistory::Version v;
    v.id = r.value(0).toLongLong();
    v.chapterId = r.value(1).toString();
    v.time = QDateTime::fromString(r.value(2).toString(), Ink::dateTimeMsFormat());
    v.origin = r.value(3).toString();
    v.batchId = r.value(4).toString();
    v.name = r.value(5).toString();
    v.length = r.value(6).toInt();
    return v;
}

QVector<ChapterHistory::Version> listVersions(const QString &whereOrder)
{
    QVector<ChapterHistory::Version> out;
    const QVector<QSqlRecord> rows = execQuery(
        QStringLiteral("SELECT ID,ChapterID,Created,Origin,BatchID,Name,Length FROM ChapterHistory WHERE %1")
            .arg(whereOrder));
    out.reserve(rows.size());
    for (const QSqlRecord &r : rows)
        out << versionFrom(r);
    return out;
}

// Removes what thinning drops; an older version stored against a removed one is stored again
// against the next newer version that stays.
int thinChapter(const QString &chapterId, const QDateTime &at)
{
    const QVector<ChapterHistory::Version> all = ChapterHistory::versions(chapterId);
    const QSet<qint64> drop = ChapterHistory::thinned(all, at);
    if (drop.isEmpty())
        return 0;
    // The oldest version that may need a new base: the first kept one below the oldest dropped.
    qint64 oldest = *std::min_element(drop.cbegin(), drop.cend());
    for (const ChapterHistory::Version &v : all) {
        if (v.id < oldest && !drop.contains(v.id)) {
            oldest = v.id;
            break;
        }
    }
    const QVector<Row> rows = chainRows(chapterId, oldest);
    const QHash<qint64, ChapterHistory::Text> texts = decodeChain(rows);
    qint64 newerKept = 0;
    for (const Row &r : rows) {
        if (drop.contains(r.id))
            continue;
        if (r.base != 0 && r.base != newerKept) {
            bool isDelta = false;
            const QByteArray data = newerKept == 0 ? encodeWhole(texts.value(r.id))
                                                   : encodeAgainst(texts.value(r.id), texts.value(newerKept), &isDelta);
            execPrepared(QStringLiteral("UPDATE ChapterHistory SET Base=?,Data=? WHERE ID=?"),
                         {isDelta ? newerKept : 0, data, r.id});
        }
        newerKept = r.id;
    }
    QStringList ids;
    for (qint64 id : drop)
        ids << QString::number(id);
    return execSql(QStringLiteral("DELETE FROM ChapterHistory WHERE ID IN (%1)").arg(ids.join(QLatin1Char(','))));
}

// Thinning waits until a chapter has a few more versions than after its last thinning, so that
// it runs once in a while rather than at every save.
constexpr int kThinSlack = 10;
QMutex g_thinMutex;
QHash<QString, int> g_countAfterThinning;

bool thinningDue(const QString &chapterId, int count)
{
    QMutexLocker lock(&g_thinMutex);
    return count > qMax(kKeepAll, g_countAfterThinning.value(chapterId)) + kThinSlack;
}

void noteThinned(const QString &chapterId, int count)
{
    QMutexLocker lock(&g_thinMutex);
    g_countAfterThinning.insert(chapterId, count);
}

} // namespace

namespace ChapterHistory {

Encoded encode(const QString &chapterId, const QString &html, const QString &plainText)
{
    Text text;
    text.found = true;
    text.html = html;
    text.plainText = plainText;
    Encoded e;
    e.digest = digestOf(html, plainText);
    e.whole = encodeWhole(text);
    QByteArray data;
    {
        QueryPtr q =
            openQuery(QStringLiteral("SELECT h.ID,h.Digest,IFNULL(h.Data,l.Data) FROM ChapterHistory h LEFT "
                                     "JOIN ChapterHistoryLatest l ON l.ChapterID=h.ChapterID AND l.ID=h.ID "
                                     "WHERE h.ChapterID=%1 ORDER BY h.ID DESC LIMIT 1")
                          .arg(quoteSql(chapterId)));
        if (!q->next())
            return e;
        e.previous = q->value(0).toLongLong();
        e.previousDigest = q->value(1).toLongLong();
        data = q->value(2).toByteArray();
    }
    e.previousData = encodeAgainst(decode(e.previous, data, nullptr), text, &e.previousIsDelta);
    return e;
}

qint64 keep(const QString &chapterId, const QString &html, const QString &plainText, const QString &origin,
            const QString &batchId)
{
    return keep(chapterId, html, plainText, Encoded(), origin, batchId);
}

qint64 keep(const QString &chapterId, const QString &html, const QString &plainText, const Encoded &encoded,
            const QString &origin, const QString &batchId)
{
    std::unique_ptr<Transaction> tx;
    if (openTransactionCount() == 0)
        tx = std::make_unique<Transaction>();
    const QDateTime at = now();
    Text text;
    text.found = true;
    text.html = html;
    text.plainText = plainText;
    const bool ready = !encoded.whole.isEmpty();
    const qint64 digest = ready ? encoded.digest : digestOf(html, plainText);
    qint64 previous = 0;
    qint64 previousDigest = 0;
    int count = 0;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT ID,Digest,(SELECT COUNT(*) FROM ChapterHistory c WHERE "
                                              "c.ChapterID=h.ChapterID) FROM ChapterHistory h WHERE ChapterID=%1 "
                                              "ORDER BY ID DESC LIMIT 1")
                                   .arg(quoteSql(chapterId)));
        if (q->next()) {
            previous = q->value(0).toLongLong();
            previousDigest = q->value(1).toLongLong();
            count = q->value(2).toInt();
        }
    }
    // A book-wide operation needs a version of every chapter it touched, equal or not.
    if (previous != 0 && batchId.isEmpty() && previousDigest == digest) {
        if (tx)
            tx->commit();
        return 0;
    }
    execPrepared(QStringLiteral("INSERT INTO ChapterHistory(ChapterID,Created,Origin,BatchID,Name,Length,Digest,"
                                "Base,Data) VALUES(?,?,?,?,'',?,?,0,NULL)"),
                 {chapterId, timeText(at), origin, batchId, plainText.size(), digest});
    const qint64 id = execQuery(QStringLiteral("SELECT last_insert_rowid()")).value(0).value(0).toLongLong();
    if (previous != 0 && ready && encoded.previous == previous && encoded.previousDigest == previousDigest &&
        !encoded.previousData.isEmpty()) {
        // Encoded beforehand against this text, and still the newest version.
        execPrepared(QStringLiteral("UPDATE ChapterHistory SET Base=?,Data=? WHERE ID=?"),
                     {encoded.previousIsDelta ? id : 0, encoded.previousData, previous});
    } else if (previous != 0) {
        // The newest version is always whole; the one before becomes its difference.
        Text before;
        {
            QMutexLocker lock(&g_newestMutex);
            if (g_newest.id == previous && g_newest.digest == previousDigest)
                before = g_newest.text;
        }
        if (!before.found) {
            QueryPtr q = openQuery(QStringLiteral("SELECT IFNULL(h.Data,l.Data) FROM ChapterHistory h LEFT JOIN "
                                                  "ChapterHistoryLatest l ON l.ChapterID=h.ChapterID AND l.ID=h.ID "
                                                  "WHERE h.ID=%1")
                                       .arg(previous));
            if (q->next())
                before = decode(previous, q->value(0).toByteArray(), nullptr);
        }
        // Its whole text is about to be replaced in ChapterHistoryLatest: it gets data of its own.
        bool isDelta = false;
        const QByteArray data = encodeAgainst(before, text, &isDelta);
        execPrepared(QStringLiteral("UPDATE ChapterHistory SET Base=?,Data=? WHERE ID=?"),
                     {isDelta ? id : 0, data, previous});
    }
    const QByteArray whole = ready ? encoded.whole : encodeWhole(text);
    if (execPrepared(QStringLiteral("UPDATE ChapterHistoryLatest SET ID=?,Data=? WHERE ChapterID=?"),
                     {id, whole, chapterId}) == 0)
        execPrepared(QStringLiteral("INSERT INTO ChapterHistoryLatest(ChapterID,ID,Data) VALUES(?,?,?)"),
                     {chapterId, id, whole});
    if (thinningDue(chapterId, count + 1))
        noteThinned(chapterId, count + 1 - thinChapter(chapterId, at));
    if (tx)
        tx->commit();
    rememberNewest(id, digest, text);
    return id;
}

qint64 keepBesideSave(const QString &chapterId, const QString &html, const QString &plainText, const QString &origin,
                      const QString &batchId)
{
    const bool inTransaction = openTransactionCount() > 0;
    if (inTransaction)
        execSql(QStringLiteral("SAVEPOINT chapter_history"));
    try {
        const qint64 id = keep(chapterId, html, plainText, origin, batchId);
        if (inTransaction)
            execSql(QStringLiteral("RELEASE SAVEPOINT chapter_history"));
        return id;
    } catch (const Exception &e) {
        if (inTransaction) {
            execSql(QStringLiteral("ROLLBACK TO SAVEPOINT chapter_history"));
            execSql(QStringLiteral("RELEASE SAVEPOINT chapter_history"));
        }
        forgetNewest();
        writeLog(QStringLiteral("err"), QStringLiteral("章节历史版本未能保存（%1）：%2").arg(chapterId, e.message()));
        QMutexLocker lock(&g_noticeMutex);
        if (!g_noticeShown) {
            g_noticeShown = true;
            g_notice = QStringLiteral("章节历史版本未能保存，文章已正常保存：") + e.message();
        }
        return 0;
    }
}

QString htmlOfRow(const QString &html, const QString &attribute1)
{
    return attribute1 == QLatin1String("NEWIMPORT") ? QString() : html;
}

QString takeFailureNotice()
{
    QMutexLocker lock(&g_noticeMutex);
    return std::exchange(g_notice, QString());
}

qint64 keepStored(const QString &chapterId, const QString &origin, const QString &batchId)
{
    std::unique_ptr<Transaction> tx;
    if (openTransactionCount() == 0)
        tx = std::make_unique<Transaction>();
    QString html, plain;
    {
        QueryPtr q = openQuery(
            QStringLiteral("SELECT HTML,PlainText,Attribute1 FROM BookTree WHERE ID=%1").arg(quoteSql(chapterId)));
        if (!q->next()) {
            if (tx)
                tx->commit();
            return 0;
        }
        html = htmlOfRow(q->value(0).toString(), q->value(2).toString());
        plain = q->value(1).toString();
    }
    const qint64 id = keep(chapterId, html, plain, origin, batchId);
    if (tx)
        tx->commit();
    return id;
}

QVector<Version> versions(const QString &chapterId)
{
    return listVersions(QStringLiteral("ChapterID=%1 ORDER BY ID DESC").arg(quoteSql(chapterId)));
}

Text text(qint64 versionId)
{
    QString chapterId;
    {
        QueryPtr q = openQuery(QStringLiteral("SELECT ChapterID FROM ChapterHistory WHERE ID=%1").arg(versionId));
        if (!q->next())
            return Text();
        chapterId = q->value(0).toString();
    }
    // Down the chain from the newest, holding only the text the next row is stored against.
    qint64 previousId = 0;
    Text previous;
    for (const Row &r : chainRows(chapterId, versionId)) {
        if (r.base != 0 && r.base != previousId)
            damaged(r.id);
        previous = decode(r.id, r.data, r.base == 0 ? nullptr : &previous);
        previousId = r.id;
    }
    return previousId == versionId ? previous : Text();
}

QVector<Version> batch(const QString &batchId)
{
    if (batchId.isEmpty())
        return {};
    return listVersions(QStringLiteral("BatchID=%1 AND BatchID<>'' ORDER BY ID").arg(quoteSql(batchId)));
}

bool setName(qint64 versionId, const QString &name)
{
    return execPrepared(QStringLiteral("UPDATE ChapterHistory SET Name=? WHERE ID=?"), {name.trimmed(), versionId}) > 0;
}

int dropOrphans()
{
    std::unique_ptr<Transaction> tx;
    if (openTransactionCount() == 0)
        tx = std::make_unique<Transaction>();
    const int rows = execSql(QStringLiteral("DELETE FROM ChapterHistory WHERE NOT EXISTS("
                                            "SELECT 1 FROM BookTree b WHERE b.ID=ChapterHistory.ChapterID)"));
    execSql(QStringLiteral("DELETE FROM ChapterHistoryLatest WHERE NOT EXISTS("
                           "SELECT 1 FROM BookTree b WHERE b.ID=ChapterHistoryLatest.ChapterID)"));
    if (tx)
        tx->commit();
    return rows;
}

QSet<qint64> thinned(const QVector<Version> &newestFirst, const QDateTime &at)
{
    QSet<qint64> drop;
    QSet<QString> seen;
    for (int i = 0; i < newestFirst.size(); ++i) {
        const Version &v = newestFirst.at(i);
        const qint64 age = v.time.secsTo(at);
        QString bucket;
        if (age <= kHourlyDays * 86400) {
            bucket = v.time.toString(QStringLiteral("'h'yyyyMMddhh"));
        } else if (age <= kDailyDays * 86400) {
            bucket = v.time.toString(QStringLiteral("'d'yyyyMMdd"));
        } else {
            int year = 0;
            const int week = v.time.date().weekNumber(&year);
            bucket = QStringLiteral("w%1-%2").arg(year).arg(week);
        }
        const bool newestOfBucket = !seen.contains(bucket);
        seen.insert(bucket);
        if (i < kKeepAll || newestOfBucket || !v.name.isEmpty())
            continue;
        drop.insert(v.id);
    }
    return drop;
}

void setClock(std::function<QDateTime()> clock)
{
    QMutexLocker lock(&g_clockMutex);
    g_clock = std::move(clock);
}

qint64 storedBytes()
{
    return execQuery(QStringLiteral("SELECT (SELECT IFNULL(SUM(LENGTH(Data)),0) FROM ChapterHistory)+"
                                    "(SELECT IFNULL(SUM(LENGTH(Data)),0) FROM ChapterHistoryLatest)"))
        .value(0)
        .value(0)
        .toLongLong();
}

} // namespace ChapterHistory
