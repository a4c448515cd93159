// The pull of BookTree and MemoTree rows: pages downloaded into the session's table, checked,
// then written with conflict copies, all under one request code of the service.
#include "cloud/CloudSync.h"
#include "cloud/CloudSyncRows.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "book/ChapterHistory.h"
#include "cloud/WebClient.h"
#include "log/Log.h"
#include "storage/Connection.h"
#include "storage/DataAccess.h"

#include <QSqlError>

using namespace syncrows;

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
    const bool editorBusy = !backgroundMode && g_App.guiSnapshot().documentModified.load();
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
