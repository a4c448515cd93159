// The transfer of BookTree and MemoTree rows: pull (download with conflict copies) and push
// (upload of the waiting rows), both bracketed by a request code of the service.
#include "cloud/CloudSync.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "book/ChapterHistory.h"
#include "cloud/CloudLocks.h"
#include "cloud/WebClient.h"
#include "log/Log.h"
#include "storage/Connection.h"
#include "storage/DataAccess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMutex>
#include <QSet>
#include <QSqlError>
#include <QThread>

namespace {

QMutex g_staticsMutex;
SyncProgressFactory g_progressFactory;
std::function<void(const char *)> g_testHook;
std::function<void(const QString &)> g_noticeHandler;
// Waiting rows over the limits already told about ("DataType/ID/Updated"): the worker pushes
// every few minutes, and the author needs to hear of each row once, not at every push.
QSet<QString> g_toldHeldBack;
// Transfers running on this thread: a second one started from a local event loop of the GUI
// thread is refused, never nested.
thread_local int t_transfers = 0;

constexpr int kPageSize = 10;
constexpr int kMaxUsn = 2147483647 - 1048575; // 2^31 - 2^20
constexpr int kMaxTotal = 1000000;
constexpr int kMaxBody = 4 * 1024 * 1024;

const char *const kDetailColumns = "ID,pID,NodeType,Level,Sort,Title,Category,rtf,HTML,PlainText,"
                                   "Attribute1,Attribute2,Attribute3,Created,Updated,DataType,OrigID,Flag,Usn,Synced";

bool onGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void dropTempTables()
{
    execSql(QStringLiteral("DROP TABLE IF EXISTS SyncDetail;"));
    execSql(QStringLiteral("DROP TABLE IF EXISTS SyncConflict;"));
}

void createTempTables()
{
    dropTempTables();
    execSql(QStringLiteral(
        "CREATE TEMP TABLE IF NOT EXISTS SyncDetail(seq INTEGER PRIMARY KEY autoincrement,   ID VARCHAR(64), "
        "pID VARCHAR(64), NodeType INTEGER, Level INTEGER, Sort FLOAT,   Title VARCHAR(200), Category VARCHAR(200), "
        "rtf TEXT, HTML TEXT, PlainText TEXT,   Attribute1 VARCHAR(256), Attribute2 VARCHAR(256), "
        "Attribute3 VARCHAR(256),   Created TIMESTAMP, Updated TIMESTAMP,   DataType VARCHAR(64), OrigID VARCHAR(64), "
        "Flag CHAR(1), Usn INTEGER, Synced BOOLEAN)"));
    // Without it every per-row sub-query of the final updates scans the whole table.
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS SyncDetailKey ON SyncDetail(ID,DataType)"));
    execSql(QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS SyncConflict(ID VARCHAR(64),DataType VARCHAR(64))"));
    execSql(QStringLiteral("CREATE INDEX IF NOT EXISTS SyncConflictKey ON SyncConflict(ID,DataType)"));
}

void dropTempTablesQuietly()
{
    try {
        dropTempTables();
    } catch (...) {
    }
}

QString maxUsnQuery()
{
    return QStringLiteral("SELECT IFNULL(MAX(Usn),0) Usn FROM (SELECT MAX(Usn) Usn FROM BookTree   "
                          "UNION ALL SELECT MAX(Usn) FROM MemoTree) a");
}

// floor: the highest USN of pulled rows that were skipped; they are not fetched again.
void storeLastUsn(qint64 floor = 0)
{
    const QVector<QSqlRecord> rows = execQuery(maxUsnQuery());
    const qint64 usn = qMax(floor, rows.isEmpty() ? 0 : rows.first().value(0).toLongLong());
    if (usn != 0)
        setSysParam(QStringLiteral("Sync.LastUsn"), QString::number(usn), false);
}

QVariant textOrNull(const QString &text) { return text.isEmpty() ? QVariant(QVariant::String) : QVariant(text); }

QVariant timeOrNull(const QDateTime &time)
{
    return time.isValid() ? QVariant(time.toString(Ink::dateTimeMsFormat())) : QVariant(QVariant::String);
}

QDateTime parseTime(const QVariant &value)
{
    const QString text = value.toString();
    if (text.isEmpty())
        return QDateTime();
    QDateTime t = QDateTime::fromString(text, Ink::dateTimeMsFormat());
    if (!t.isValid())
        t = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        t = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return t;
}

BookItem toItem(const QSqlRecord &r)
{
    BookItem item;
    item.datatype = r.value(QStringLiteral("DataType")).toString();
    item.tid = r.value(QStringLiteral("ID")).toString();
    item.ptid = r.value(QStringLiteral("pID")).toString();
    item.nodetype = r.value(QStringLiteral("NodeType")).toInt();
    item.level = r.value(QStringLiteral("Level")).toInt();
    item.sort = r.value(QStringLiteral("Sort")).toDouble();
    item.title = r.value(QStringLiteral("Title")).toString();
    item.category = r.value(QStringLiteral("Category")).toString();
    item.rtf = r.value(QStringLiteral("rtf")).toString();
    item.html = r.value(QStringLiteral("HTML")).toString();
    item.plaintext = r.value(QStringLiteral("PlainText")).toString();
    item.attribute1 = r.value(QStringLiteral("Attribute1")).toString();
    item.attribute2 = r.value(QStringLiteral("Attribute2")).toString();
    item.attribute3 = r.value(QStringLiteral("Attribute3")).toString();
    item.create_time = parseTime(r.value(QStringLiteral("Created")));
    item.update_time = parseTime(r.value(QStringLiteral("Updated")));
    item.origtid = r.value(QStringLiteral("OrigID")).toString();
    item.flag = r.value(QStringLiteral("Flag")).toString();
    item.usn = r.value(QStringLiteral("Usn")).toInt();
    return item;
}

// The service's copy of a row this client uploaded is byte for byte what was sent.
QString itemDigest(const BookItem &it)
{
    const QString seconds = QStringLiteral("yyyy-MM-ddTHH:mm:ss");
    const QStringList parts{it.datatype, it.tid, it.ptid, QString::number(it.nodetype), QString::number(it.level),
                            QString::number(it.sort, 'g', 17), it.title, it.category, it.rtf, it.html, it.plaintext,
                            it.attribute1, it.attribute2, it.attribute3, it.origtid, it.flag, QString::number(it.usn),
                            it.create_time.toLocalTime().toString(seconds), it.update_time.toLocalTime().toString(seconds)};
    return web::md5Hex(parts.join(QChar(0x1f)));
}

// Digests of the last upload until its local bookkeeping is done: kept in the store, since a
// crash between the service's commit and the local one must not turn own rows into conflicts.
void ensurePendingTable()
{
    execSql(QStringLiteral("CREATE TABLE IF NOT EXISTS SyncPending(ID VARCHAR(64), DataType VARCHAR(64), "
                           "Digest VARCHAR(32), PRIMARY KEY(ID,DataType))"));
}

// The columns of d and t compared as text; withPlace: the place in the tree too (pID, Level, Sort).
QString equalColumns(bool withPlace = true)
{
    QStringList parts;
    for (const char *c : {"pID", "NodeType", "Level", "Sort", "Title", "Category", "rtf", "HTML", "PlainText",
                          "Attribute1", "Attribute2", "Attribute3", "OrigID", "Flag"}) {
        const QLatin1String column(c);
        if (withPlace || (column != QLatin1String("pID") && column != QLatin1String("Level") &&
                          column != QLatin1String("Sort")))
            parts << QStringLiteral("IFNULL(d.%1,'')=IFNULL(t.%1,'')").arg(column);
    }
    return parts.join(QStringLiteral(" AND "));
}

// Whether a pulled row may be written; why gets the reason when not.
bool rowAcceptable(const BookItem &it, QString *why)
{
    const bool shape = (it.datatype == QLatin1String("book") || it.datatype == QLatin1String("memo")) &&
                       !it.tid.isEmpty() && it.tid.size() <= 64 && !it.tid.contains(QChar(0)) && it.ptid.size() <= 64 &&
                       it.nodetype >= 1 && it.nodetype <= 3 &&
                       (it.flag == QLatin1String("A") || it.flag == QLatin1String("D")) &&
                       it.plaintext.size() <= Ink::maxArticleLength && it.title.size() <= kMaxBody &&
                       it.html.size() <= kMaxBody &&
                       it.rtf.size() <= kMaxBody;
    if (!shape) {
        *why = QStringLiteral("数据格式不正确");
        return false;
    }
    return isTreeRowWithinLimits(it.level, it.title, it.flag, why);
}

// The titles of rows for a notice: a few, each cut short.
QString titleList(const QStringList &titles)
{
    QStringList shown;
    for (const QString &t : titles.mid(0, 5))
        shown << (t.size() > 20 ? t.left(20) + QStringLiteral("…") : t);
    return shown.join(QStringLiteral("、")) + (titles.size() > 5 ? QStringLiteral("等") : QString());
}

QString limitsText()
{
    return QStringLiteral("（层级最多%1层、标题最多%2个字符）").arg(Ink::maxTreeLevel).arg(Ink::maxTitleLength);
}

void tellNotice(const QString &text)
{
    std::function<void(const QString &)> handler;
    {
        QMutexLocker lock(&g_staticsMutex);
        handler = g_noticeHandler;
    }
    if (handler)
        handler(text);
}

} // namespace

// ---------------------------------------------------------------- statics and plumbing

void CloudSync::setNoticeHandler(std::function<void(const QString &)> handler)
{
    QMutexLocker lock(&g_staticsMutex);
    g_noticeHandler = std::move(handler);
}

void CloudSync::setProgressFactory(SyncProgressFactory factory)
{
    QMutexLocker lock(&g_staticsMutex);
    g_progressFactory = std::move(factory);
}

void CloudSync::setTestHook(std::function<void(const char *)> hook)
{
    QMutexLocker lock(&g_staticsMutex);
    g_testHook = std::move(hook);
}

void CloudSync::testHook(const char *point)
{
    std::function<void(const char *)> hook;
    {
        QMutexLocker lock(&g_staticsMutex);
        hook = g_testHook;
    }
    if (hook)
        hook(point);
}

bool CloudSync::canCommitNow() const
{
    // From the published snapshot: asking the window would wait for the GUI thread.
    return !backgroundMode || g_App.syncOut(QStringLiteral("getCanThreadSync")).toBool();
}

void CloudSync::resetError()
{
    isError = false;
    errCode = QStringLiteral("0");
    errInfo.clear();
}

void CloudSync::takeHead(const ApiHead &head)
{
    isError = head.isError;
    errCode = head.errCode;
    errInfo = head.errInfo;
    if (errCode == QLatin1String("CANCELED_BY_USER"))
        canceled = true;
}

template <class T>
T CloudSync::callApi(const QString &url, const QString &body, const QString &method, int timeoutMs)
{
    web::CancelScope scope(&m_cancelFlag);
    try {
        return web::callApi<T>(url, body, method, timeoutMs);
    } catch (const EAbort &) {
        if (!m_cancelFlag.load())
            throw;
        T answer;
        answer.head.isError = true;
        answer.head.errCode = QStringLiteral("CANCELED_BY_USER");
        answer.head.errInfo = QStringLiteral("用户取消");
        return answer;
    }
}

void CloudSync::openProgress(const QString &operation, int maximum)
{
    closeProgress();
    if (!showProgress || backgroundMode)
        return;
    SyncProgressFactory factory;
    {
        QMutexLocker lock(&g_staticsMutex);
        factory = g_progressFactory;
    }
    if (factory)
        m_progress.reset(factory(operation, maximum, &m_cancelFlag));
}

bool CloudSync::setProgress(int value)
{
    if (m_progress)
        m_progress->setValue(value);
    if (m_cancelFlag.load() && !canceled) {
        canceled = true;
        errCode = QStringLiteral("CANCELED_BY_USER");
        errInfo = QStringLiteral("用户取消");
    }
    return canceled;
}

void CloudSync::closeProgress()
{
    if (!m_progress)
        return;
    m_progress->setValue(100);
    m_progress->close();
    m_progress.reset();
}

void CloudSync::cancelSync(int timeoutMs)
{
    if (reqcode.isEmpty())
        return;
    const QString code = reqcode;
    reqcode.clear();
    try {
        web::callApi<ApiBaseResponse>(web::apiUrl() + QString::fromLatin1(web::kCancelSync)
                                                          .arg(m_session.uid, m_session.sid, code),
                                      QString(), QStringLiteral("get"), timeoutMs);
    } catch (...) {
        // The service closes a forgotten request code itself after an hour.
    }
}

void CloudSync::finish()
{
    if (isError || canceled)
        cancelSync();
    closeProgress();
}

bool CloudSync::hasUnsyncedRows()
{
    const QString limits = treeRowWithinLimitsSql();
    return !execQuery(QStringLiteral("SELECT ID FROM BookTree WHERE Synced=0 AND %1 UNION ALL "
                                     "SELECT ID FROM MemoTree WHERE Synced=0 AND %1 LIMIT 1")
                          .arg(limits))
                .isEmpty();
}

int CloudSync::unsyncedSize()
{
    QStringList parts;
    for (const QString &c : QStringLiteral("ID,pID,Title,Category,rtf,HTML,PlainText,Attribute1,Attribute2,Attribute3")
                                .split(QLatin1Char(',')))
        parts << QStringLiteral("IFNULL(LENGTH(%1),0)").arg(c);
    const QString sum = parts.join(QLatin1Char('+'));
    qint64 size = 0;
    for (const char *table : {"BookTree", "MemoTree"}) {
        const QVector<QSqlRecord> rows = execQuery(
            QStringLiteral("SELECT SUM(%1) size FROM %2 WHERE Synced=0 AND %3")
                .arg(sum, QLatin1String(table), treeRowWithinLimitsSql()));
        if (!rows.isEmpty())
            size += rows.first().value(QStringLiteral("size")).toLongLong();
    }
    return int(qMin<qint64>(size, 2147483647));
}

template <class F>
bool CloudSync::guarded(F body)
{
    if (m_depth == 0 && t_transfers > 0 && onGuiThread()) {
        isError = true;
        errCode = QStringLiteral("SYNC_BUSY");
        errInfo = QStringLiteral("云同步正在进行中，请稍后再试！");
        return false;
    }
    CloudLockGuard lock(QStringLiteral("CloudSync"));
    if (m_depth == 0)
        m_session = g_App.session();
    ++m_depth;
    ++t_transfers;
    struct Leave {
        CloudSync *self;
        ~Leave()
        {
            --self->m_depth;
            --t_transfers;
        }
    } leave{this};
    try {
        return body();
    } catch (...) {
        // Transactions roll back with their guards; the rest is undone here, then the caller
        // sees the failure.
        dropTempTablesQuietly();
        closeProgress();
        cancelSync(5000);
        if (!m_outerReqcode.isEmpty()) {
            reqcode = m_outerReqcode;
            m_outerReqcode.clear();
            cancelSync(5000);
        }
        throw;
    }
}

bool CloudSync::sync()
{
    if (!pull())
        return false;
    // Nothing was applied: an upload now would only pull the same rows again.
    if (errCode == QLatin1String("ABORT_SYNC"))
        return true;
    return push();
}

bool CloudSync::pull()
{
    return guarded([this] { return pullLocked(); });
}

bool CloudSync::push()
{
    return guarded([this] { return pushLocked(); });
}

// ---------------------------------------------------------------- pull

bool CloudSync::validatePage(const QList<BookItem> &items, int sentUsn, int pageSize, int page, int pageCount,
                             int totalCount, QList<BookItem> *accepted)
{
    // A page out of shape, or a USN the bookkeeping cannot take, fails the transfer; a row that
    // may not be written is left out and told, so that one such row never blocks the others.
    bool ok = items.size() <= pageSize && !(items.isEmpty() && page < pageCount) && totalCount >= 0 &&
              totalCount <= kMaxTotal;
    for (const BookItem &it : items)
        ok = ok && it.usn > sentUsn && it.usn <= kMaxUsn;
    for (const BookItem &it : items) {
        QString why;
        if (!ok)
            break;
        if (rowAcceptable(it, &why)) {
            accepted->append(it);
            continue;
        }
        m_skipped.append({it.datatype, it.tid, it.title, why, it.usn});
        m_skippedMaxUsn = qMax(m_skippedMaxUsn, it.usn);
    }
    if (!ok) {
        writeTraceLog(QStringLiteral("sync"), QStringLiteral("rejected page %1 of %2 rows").arg(page).arg(items.size()));
        ApiHead head;
        web::markCrcFailure(head);
        takeHead(head);
    }
    return ok;
}

void CloudSync::savePage(const QList<BookItem> &items)
{
    try {
        Transaction t;
        {
            DbLocker lock;
            QSqlQuery q(dbConnection());
            const QString marks = QStringLiteral("?,").repeated(20).chopped(1);
            if (!q.prepare(QStringLiteral("INSERT INTO SyncDetail(%1) VALUES(%2)")
                               .arg(QLatin1String(kDetailColumns), marks)))
                throw Exception(q.lastError().text(), QStringLiteral("ERR_QUERY"));
            for (const BookItem &it : items) {
                const QString key = it.datatype + QLatin1Char('/') + it.tid;
                if (m_pendingDigests.contains(key) && m_pendingDigests.value(key) == itemDigest(it))
                    m_ownRows.append({it.tid, it.datatype});
                const QVariantList values{it.tid,
                                          it.ptid,
                                          it.nodetype,
                                          it.level,
                                          it.sort,
                                          textOrNull(it.title),
                                          textOrNull(it.category),
                                          textOrNull(it.rtf),
                                          textOrNull(it.html),
                                          textOrNull(it.plaintext),
                                          textOrNull(it.attribute1),
                                          textOrNull(it.attribute2),
                                          textOrNull(it.attribute3),
                                          timeOrNull(it.create_time),
                                          timeOrNull(it.update_time),
                                          it.datatype,
                                          textOrNull(it.origtid),
                                          it.flag,
                                          it.usn,
                                          1};
                for (int i = 0; i < values.size(); ++i)
                    q.bindValue(i, values.at(i));
                if (!q.exec())
                    throw Exception(q.lastError().text(), QStringLiteral("ERR_QUERY"));
            }
            q.finish();
        }
        t.commit();
    } catch (const Exception &e) {
        isError = true;
        errCode = QStringLiteral("ERROR_SAVE_TEMP");
        errInfo = QStringLiteral("保存下载数据到临时表出错，错误信息：\n%1").arg(e.message());
    }
}

void CloudSync::applyPull()
{
    const bool commitAllowed = canCommitNow();
    // A pull on behalf of the window must not replace the chapter being typed: autosave would
    // overwrite the pulled text a moment later.
    const bool editorBusy = !backgroundMode && g_App.guiSnapshot.documentModified.load();
    if (!commitAllowed || editorBusy) {
        errCode = QStringLiteral("ABORT_SYNC");
        return;
    }
    Transaction t;
    // Replays: nothing older than what a synced local row already holds.
    execSql(QStringLiteral(
        "DELETE FROM SyncDetail WHERE (DataType='book' AND EXISTS(SELECT 1 FROM BookTree b WHERE b.ID=SyncDetail.ID "
        "AND b.Synced=1 AND SyncDetail.Usn<=b.Usn)) OR (DataType='memo' AND EXISTS(SELECT 1 FROM MemoTree b "
        "WHERE b.ID=SyncDetail.ID AND b.Synced=1 AND SyncDetail.Usn<=b.Usn))"));
    // A waiting row the service already holds unchanged (its commit answer was lost, or the
    // local commit never happened) is no conflict.
    for (const char *pair : {"BookTree|book", "MemoTree|memo"}) {
        const QStringList p = QString::fromLatin1(pair).split(QLatin1Char('|'));
        execSql(QStringLiteral("UPDATE %1 SET Synced=1 WHERE Synced=0 AND EXISTS(SELECT 1 FROM SyncDetail d, %1 t "
                               "WHERE t.ID=%1.ID AND d.ID=%1.ID AND d.DataType='%2' AND %3)")
                    .arg(p.at(0), p.at(1), equalColumns()));
    }
    // Own uploads whose local bookkeeping was lost and that were edited since: the local row
    // keeps waiting (it is newer), numbered as the service has it so the maximum stays right.
    for (const auto &own : m_ownRows) {
        const QString table = own.second == QLatin1String("book") ? QStringLiteral("BookTree") : QStringLiteral("MemoTree");
        if (execPrepared(QStringLiteral("UPDATE %1 SET Usn=(SELECT Usn FROM SyncDetail WHERE ID=? AND DataType=?) "
                                        "WHERE ID=? AND Synced=0").arg(table),
                         {own.first, own.second, own.first}) > 0)
            execPrepared(QStringLiteral("DELETE FROM SyncDetail WHERE ID=? AND DataType=?"), {own.first, own.second});
    }
    // A waiting row whose twin differs only in its place loses no text either way: its own place
    // wins and goes up next, without a copy. Renumbering one volume on two devices would else
    // copy every chapter in it, and the copies again with the next renumbering.
    for (const char *pair : {"BookTree|book", "MemoTree|memo"}) {
        const QStringList p = QString::fromLatin1(pair).split(QLatin1Char('|'));
        const QVector<QSqlRecord> moved = execQuery(
            QStringLiteral("SELECT t.ID,d.Usn FROM %1 t JOIN SyncDetail d ON d.ID=t.ID AND d.DataType='%2' "
                           "WHERE t.Synced=0 AND %3")
                .arg(p.at(0), p.at(1), equalColumns(false)));
        for (const QSqlRecord &r : moved) {
            // Numbered as the service has it, so the maximum stays right.
            execPrepared(QStringLiteral("UPDATE %1 SET Usn=? WHERE ID=?").arg(p.at(0)), {r.value(1), r.value(0)});
            execPrepared(QStringLiteral("DELETE FROM SyncDetail WHERE ID=? AND DataType=?"), {r.value(0), p.at(1)});
        }
    }
    execSql(QStringLiteral(
        "INSERT INTO SyncConflict(ID,DataType) SELECT a.ID,'book' FROM BookTree a JOIN SyncDetail b ON a.ID=b.ID "
        "WHERE b.DataType='book' AND a.Synced=0 UNION ALL SELECT a.ID,'memo' FROM MemoTree a JOIN SyncDetail b "
        "ON a.ID=b.ID WHERE b.DataType='memo' AND a.Synced=0 "));
    const QVector<QSqlRecord> conflicts = execQuery(QStringLiteral("SELECT * FROM SyncConflict"));
    for (const QSqlRecord &c : conflicts) {
        const QString id = c.value(QStringLiteral("ID")).toString();
        const QString type = c.value(QStringLiteral("DataType")).toString();
        // The copy goes up with the next push: its title must stay within the limit there.
        const QVector<QSqlRecord> title =
            execQuery(QStringLiteral("SELECT Title FROM SyncDetail WHERE ID=%1 AND DataType=%2").arg(quoteSql(id), quoteSql(type)));
        const QString copyTitle = titleWithSuffix(title.isEmpty() ? QString() : title.first().value(0).toString(),
                                                  QStringLiteral("(冲突)"));
        execPrepared(QStringLiteral("UPDATE SyncDetail SET OrigID=?,ID=?,Title=?,Synced=0 WHERE ID=? AND DataType=?"),
                     {id, newGuid(), copyTitle, id, type});
    }
    const QString replace = QStringLiteral(
        "REPLACE INTO %1(ID,pID,NodeType,Level,Sort,Title,Category,rtf,HTML,PlainText,   Attribute1,Attribute2,"
        "Attribute3,Created,Updated,OrigID,Flag,Usn,Synced) SELECT a.ID,a.pID,a.NodeType,a.Level,a.Sort,a.Title,"
        "a.Category,a.rtf,a.HTML,a.PlainText,   a.Attribute1,a.Attribute2,a.Attribute3,a.Created,a.Updated,   "
        "a.OrigID,a.Flag,a.Usn,IFNULL(b.Synced,a.Synced) FROM SyncDetail a LEFT JOIN %1 b ON a.ID=b.ID "
        "WHERE a.DataType='%2' ");
    // Yesterday's text of a chapter the pull overwrites stays in its history (local only).
    const QVector<QSqlRecord> overwritten = execQuery(QStringLiteral(
        "SELECT b.ID,b.HTML,b.PlainText,b.Attribute1 FROM BookTree b JOIN SyncDetail a ON a.ID=b.ID AND a.DataType='book' "
        "WHERE b.NodeType=3 AND (a.HTML IS NOT b.HTML OR a.PlainText IS NOT b.PlainText) "
        "AND (IFNULL(b.PlainText,'')<>'' OR IFNULL(b.HTML,'')<>'')"));
    for (const QSqlRecord &r : overwritten)
        ChapterHistory::keepBesideSave(r.value(0).toString(),
                                       ChapterHistory::htmlOfRow(r.value(1).toString(), r.value(3).toString()),
                                       r.value(2).toString(), QStringLiteral("同步"));
    int rows = execSql(replace.arg(QStringLiteral("BookTree"), QStringLiteral("book")));
    rows += execSql(replace.arg(QStringLiteral("MemoTree"), QStringLiteral("memo")));
    storeLastUsn(m_skippedMaxUsn);
    t.commit();
    m_pulledRows += qMax(0, rows);
    if (!m_skipped.isEmpty()) {
        QStringList titles;
        for (const Skipped &r : m_skipped) {
            writeLog(QStringLiteral("sync"), QStringLiteral("未下载云端内容 %1/%2（USN %3）：%4；标题：%5")
                                                 .arg(r.datatype, r.id)
                                                 .arg(r.usn)
                                                 .arg(r.why, r.title));
            titles << r.title;
        }
        tellNotice(QStringLiteral("云端有%1条内容超出限制%2，未下载到本机：%3")
                       .arg(titles.size())
                       .arg(limitsText(), titleList(titles)));
    }
    writeTraceLog(QStringLiteral("sync"), QStringLiteral("pull applied %1 rows, %2 conflicts").arg(rows).arg(conflicts.size()));
}

bool CloudSync::pullLocked()
{
    resetError();
    if (m_outerReqcode.isEmpty()) { // a negotiation pull keeps the push's cancel state
        canceled = false;
        m_cancelFlag = false;
    }
    openProgress(QStringLiteral("下载"), 100);
    createTempTables();
    ensurePendingTable();
    m_ownRows.clear();
    m_pendingDigests.clear();
    m_skipped.clear();
    m_skippedMaxUsn = 0;
    for (const QSqlRecord &r : execQuery(QStringLiteral("SELECT ID,DataType,Digest FROM SyncPending")))
        m_pendingDigests.insert(r.value(1).toString() + QLatin1Char('/') + r.value(0).toString(), r.value(2).toString());
    const int usn = getSysParam(QStringLiteral("Sync.LastUsn"), QStringLiteral("0")).toInt();
    const ApiBeginPullResponse begin = callApi<ApiBeginPullResponse>(
        web::apiUrl() + QString::fromLatin1(web::kBeginPull)
                            .arg(m_session.uid, m_session.sid, QString::number(usn), QString(), Ink::appVersion()));
    takeHead(begin.head);
    reqcode = begin.reqcode;
    setProgress(1);
    if (canceled || isError) {
        dropTempTables();
        finish();
        return false;
    }
    if (begin.totalCount == 0) {
        dropTempTables();
        finish();
        return true;
    }
    const int total = begin.totalCount;
    const int pages = total < 0 ? 0 : (total + kPageSize - 1) / kPageSize;
    QList<BookItem> accepted;
    if (!validatePage({}, usn, kPageSize, pages, pages, total, &accepted)) {
        dropTempTables();
        finish();
        return false;
    }
    for (int page = 0; page < pages; ++page) {
        const ApiPullDetailResponse detail = callApi<ApiPullDetailResponse>(
            web::apiUrl() + QString::fromLatin1(web::kPullDetail)
                                .arg(m_session.uid, m_session.sid, reqcode, QString::number(page),
                                     QString::number(kPageSize)));
        takeHead(detail.head);
        accepted.clear();
        if (!isError && validatePage(detail.data, usn, kPageSize, page, pages, total, &accepted))
            savePage(accepted);
        if (isError || canceled) {
            dropTempTables();
            finish();
            return false;
        }
        if (setProgress(1 + 98 * (page + 1) / pages)) {
            dropTempTables();
            finish();
            return false;
        }
    }
    const ApiFinshPullResponse done = callApi<ApiFinshPullResponse>(
        web::apiUrl() + QString::fromLatin1(web::kFinishPull).arg(m_session.uid, m_session.sid, reqcode));
    takeHead(done.head);
    if (!isError && !canceled) {
        testHook("beforeLocalCommit");
        applyPull();
        setProgress(99);
    }
    dropTempTables();
    finish();
    return !isError && !canceled;
}

// ---------------------------------------------------------------- push

void CloudSync::applyPush()
{
    Transaction t;
    // A row edited since it was copied keeps waiting (Updated differs), never a NULL flag.
    for (const char *pair : {"BookTree|book", "MemoTree|memo"}) {
        const QStringList p = QString::fromLatin1(pair).split(QLatin1Char('|'));
        execSql(QStringLiteral("UPDATE %1 SET Synced=IFNULL((SELECT Synced FROM SyncDetail   WHERE ID=%1.ID AND "
                               "Updated IS %1.Updated AND DataType='%2'),0),   Usn=(SELECT Usn FROM SyncDetail "
                               "WHERE ID=%1.ID AND DataType='%2') WHERE EXISTS(SELECT ID FROM SyncDetail   "
                               "WHERE ID=%1.ID AND DataType='%2') ")
                    .arg(p.at(0), p.at(1)));
    }
    storeLastUsn();
    execSql(QStringLiteral("DELETE FROM SyncPending"));
    t.commit();
}

void CloudSync::tellHeldBackRows()
{
    const QString sql = QStringLiteral("SELECT '%1',ID,Title,Level,Flag,Updated FROM %2 WHERE Synced=0 AND NOT %3");
    const QString limits = treeRowWithinLimitsSql();
    QVector<QSqlRecord> rows = execQuery(sql.arg(QStringLiteral("book"), QStringLiteral("BookTree"), limits));
    rows += execQuery(sql.arg(QStringLiteral("memo"), QStringLiteral("MemoTree"), limits));
    QStringList titles;
    for (const QSqlRecord &r : rows) {
        const QString key = QStringLiteral("%1/%2/%3").arg(r.value(0).toString(), r.value(1).toString(),
                                                            r.value(5).toString());
        {
            QMutexLocker lock(&g_staticsMutex);
            if (g_toldHeldBack.contains(key))
                continue;
            g_toldHeldBack.insert(key);
        }
        QString why;
        isTreeRowWithinLimits(r.value(3).toInt(), r.value(2).toString(), r.value(4).toString(), &why);
        writeLog(QStringLiteral("sync"), QStringLiteral("未上传 %1/%2：%3；标题：%4")
                                             .arg(r.value(0).toString(), r.value(1).toString(), why,
                                                  r.value(2).toString()));
        titles << r.value(2).toString();
    }
    if (!titles.isEmpty())
        tellNotice(QStringLiteral("有%1条内容超出限制%2，未上传，请修改后再同步：%3")
                       .arg(titles.size())
                       .arg(limitsText(), titleList(titles)));
}

bool CloudSync::pushLocked()
{
    resetError();
    canceled = false;
    m_cancelFlag = false;
    openProgress(QStringLiteral("上传"), 100);
    tellHeldBackRows();
    if (!hasUnsyncedRows()) {
        closeProgress();
        return true;
    }
    QString code;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const int usn = getSysParam(QStringLiteral("Sync.LastUsn"), QStringLiteral("0")).toInt();
        const ApiBeginPushResponse begin = callApi<ApiBeginPushResponse>(
            web::apiUrl() + QString::fromLatin1(web::kBeginPush)
                                .arg(m_session.uid, m_session.sid, QString::number(usn),
                                     QString::number(unsyncedSize()), QString(), Ink::appVersion()));
        takeHead(begin.head);
        if (!code.isEmpty()) {
            // The request code of an earlier attempt is given up.
            reqcode = code;
            cancelSync(5000);
        }
        code = begin.reqcode;
        reqcode = code;
        if (isError || canceled || !begin.shouldPull)
            break;
        // The service holds newer rows: they come first, else the upload would overwrite them.
        m_outerReqcode = code;
        const bool pulled = pullLocked();
        m_outerReqcode.clear();
        reqcode = code;
        testHook("afterNegotiationPull");
        if (!pulled || errCode == QLatin1String("ABORT_SYNC")) {
            const QString c = errCode, i = errInfo;
            const bool e = isError;
            cancelSync();
            isError = e;
            errCode = c;
            errInfo = i;
            closeProgress();
            return pulled;
        }
        if (!m_progress)
            openProgress(QStringLiteral("上传"), 100);
    }
    setProgress(1);
    if (canceled || isError) {
        finish();
        return false;
    }
    // Numbered from what the last pull left, never from a value read before it.
    const qint64 usn = getSysParam(QStringLiteral("Sync.LastUsn"), QStringLiteral("0")).toLongLong();
    int total = 0;
    {
        createTempTables();
        Transaction t;
        for (const char *pair : {"BookTree|book", "MemoTree|memo"}) {
            const QStringList p = QString::fromLatin1(pair).split(QLatin1Char('|'));
            execSql(QStringLiteral("INSERT INTO SyncDetail(%1) SELECT ID,pID,NodeType,Level,Sort,Title,Category,rtf,"
                                   "HTML,PlainText,   Attribute1,Attribute2,Attribute3,Created,Updated,'%3' DataType,"
                                   "OrigID,Flag,Usn,1 Synced FROM %2 WHERE Synced=0 AND %4")
                        .arg(QLatin1String(kDetailColumns), p.at(0), p.at(1), treeRowWithinLimitsSql()));
        }
        execSql(QStringLiteral("UPDATE SyncDetail SET Usn=seq+") + QString::number(usn));
        total = execQuery(QStringLiteral("SELECT COUNT(*) FROM SyncDetail")).first().value(0).toInt();
        t.commit();
    }
    testHook("afterCopy");
    int sent = 0;
    qint64 lastSeq = 0;
    QVector<QVariantList> digests;
    for (;;) {
        const QVector<QSqlRecord> rows = execQuery(
            QStringLiteral("SELECT * FROM SyncDetail WHERE seq>%1 ORDER BY seq LIMIT %2").arg(lastSeq).arg(kPageSize));
        if (rows.isEmpty())
            break;
        ApiPushDetailRequest request;
        for (const QSqlRecord &r : rows) {
            lastSeq = r.value(QStringLiteral("seq")).toLongLong();
            const bool book = r.value(QStringLiteral("DataType")).toString() == QLatin1String("book");
            const QString text = r.value(QStringLiteral("PlainText")).toString();
            if (book ? !isArticleLengthOk(text) : !isUserMaterialLengthOk(text)) {
                isError = true;
                errCode.clear();
                errInfo = (book ? QStringLiteral("文章%1超过可以支持最大字符长度%2，不能继续，请修改内容！")
                                : QStringLiteral("用户素材%1超过可以支持最大字符长度%2，不能继续，请修改内容！"))
                              .arg(r.value(QStringLiteral("Title")).toString())
                              .arg(book ? Ink::maxArticleLength : Ink::maxUserMaterialLength);
                dropTempTables();
                finish();
                return false;
            }
            request.data.append(toItem(r));
            digests.append({request.data.last().tid, request.data.last().datatype, itemDigest(request.data.last())});
        }
        const ApiPushDetailResponse answer = callApi<ApiPushDetailResponse>(
            web::apiUrl() + QString::fromLatin1(web::kPushDetail).arg(m_session.uid, m_session.sid, reqcode),
            web::requestBody(request), QStringLiteral("post"));
        takeHead(answer.head);
        sent += request.data.size();
        if (isError || canceled || setProgress(1 + 98 * sent / qMax(1, total))) {
            dropTempTables();
            finish();
            return false;
        }
    }
    // A worker gives up before the commit when the author is writing: after it, the local
    // bookkeeping must follow whatever happens, or the rows come back as conflicts.
    if (!canCommitNow()) {
        cancelSync();
        errCode = QStringLiteral("ABORT_SYNC");
        dropTempTables();
        finish();
        return true;
    }
    {
        ensurePendingTable();
        Transaction t;
        execSql(QStringLiteral("DELETE FROM SyncPending"));
        for (const QVariantList &d : digests)
            execPrepared(QStringLiteral("INSERT OR REPLACE INTO SyncPending(ID,DataType,Digest) VALUES(?,?,?)"), d);
        t.commit();
    }
    const ApiCommitPushResponse commit = callApi<ApiCommitPushResponse>(
        web::apiUrl() + QString::fromLatin1(web::kCommitPush).arg(m_session.uid, m_session.sid, reqcode));
    takeHead(commit.head);
    if (!isError && !canceled) {
        testHook("afterCommitPush");
        testHook("beforeLocalCommit");
        applyPush();
        setProgress(99);
    }
    dropTempTables();
    finish();
    return !isError && !canceled;
}
