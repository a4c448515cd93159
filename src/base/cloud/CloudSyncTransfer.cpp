// The transfer of BookTree and MemoTree rows: the plumbing both directions share (progress,
// guards, the service's answers) and the push (upload of the waiting rows) under a request code
// of the service; the pull is in CloudSyncPull.cpp.
#include "cloud/CloudSync.h"
#include "cloud/CloudSyncRows.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "cloud/CloudLocks.h"
#include "cloud/WebClient.h"
#include "log/Log.h"
#include "storage/DataAccess.h"

#include <QCoreApplication>
#include <QMutex>
#include <QSet>
#include <QThread>

using namespace syncrows;

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

bool onGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void dropTempTablesQuietly()
{
    try {
        dropTempTables();
    } catch (...) {
    }
}

} // namespace

void syncrows::tellNotice(const QString &text)
{
    std::function<void(const QString &)> handler;
    {
        QMutexLocker lock(&g_staticsMutex);
        handler = g_noticeHandler;
    }
    if (handler)
        handler(text);
}

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

// The pull's answers, for CloudSyncPull.cpp.
template ApiBeginPullResponse CloudSync::callApi(const QString &, const QString &, const QString &, int);
template ApiPullDetailResponse CloudSync::callApi(const QString &, const QString &, const QString &, int);
template ApiFinshPullResponse CloudSync::callApi(const QString &, const QString &, const QString &, int);

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
        m_session = g_App.account().session();
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
