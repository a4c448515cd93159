// The upload of the usage logs L.ActionLog and L.BookLog in batches of 20 rows.
#include "cloud/CloudSync.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "cloud/CloudLocks.h"
#include "cloud/CloudSyncRows.h"
#include "cloud/WebClient.h"
#include "log/Log.h"
#include "storage/DataAccess.h"

#include <QDateTime>

namespace {

constexpr int kLogBatch = 20;

// The day of the row at 00:00:00; an unreadable day stays invalid and the service refuses it.
QDateTime dayOf(const QVariant &value)
{
    const QDate day = QDate::fromString(value.toString().left(10), Ink::dateFormat());
    return day.isValid() ? QDateTime(day, QTime(0, 0)) : QDateTime();
}

// The request of a batch of log rows: the columns both logs have here, the others by fill.
template <typename Request, typename Fill>
QString logBody(const QVector<QSqlRecord> &rows, Fill fill)
{
    Request request;
    for (const QSqlRecord &r : rows) {
        typename decltype(request.data)::value_type item;
        item.adate = dayOf(r.value(QStringLiteral("ADate")));
        item.attribute1 = r.value(QStringLiteral("Attribute1")).toString();
        item.attribute2 = r.value(QStringLiteral("Attribute2")).toString();
        item.attribute3 = r.value(QStringLiteral("Attribute3")).toString();
        item.create_time = syncrows::parseTime(r.value(QStringLiteral("Created")));
        item.update_time = syncrows::parseTime(r.value(QStringLiteral("Updated")));
        fill(item, r);
        request.data.append(item);
    }
    return web::requestBody(request);
}

} // namespace

bool CloudSync::uploadLogs()
{
    if (!pushActionLog())
        return false;
    return pushBookLog();
}

bool CloudSync::pushActionLog() { return pushLog(true); }

bool CloudSync::pushBookLog() { return pushLog(false); }

bool CloudSync::pushLog(bool actions)
{
    CloudLockGuard lock(actions ? QStringLiteral("CloudSyncActionLog") : QStringLiteral("CloudSyncBookLog"));
    resetError();
    const Session session = g_App.account().session();
    const QString table = actions ? QStringLiteral("L.ActionLog") : QStringLiteral("L.BookLog");
    for (;;) {
        if (execQuery(QStringLiteral("SELECT 1 FROM %1 WHERE IFNULL(Synced,0)=0 LIMIT 1").arg(table)).isEmpty())
            return true;
        const QVector<QSqlRecord> rows =
            execQuery(QStringLiteral("SELECT * FROM %1 WHERE IFNULL(Synced,0)=0 LIMIT %2").arg(table).arg(kLogBatch));
        QString body;
        if (actions)
            body = logBody<ApiPushActionLogRequest>(rows, [](ActionLogItem &item, const QSqlRecord &r) {
                item.action = r.value(QStringLiteral("Action")).toString();
                item.triggerCount = r.value(QStringLiteral("triggerCount")).toInt();
            });
        else
            body = logBody<ApiPushBookLogRequest>(rows, [](BookLogItem &item, const QSqlRecord &r) {
                item.bookId = r.value(QStringLiteral("BookID")).toString();
                item.wordCount1 = r.value(QStringLiteral("WordCount1")).toInt();
                item.wordCount2 = r.value(QStringLiteral("WordCount2")).toInt();
            });
        const QString url = web::apiUrl() + QString::fromLatin1(actions ? web::kPushActionLog : web::kPushBookLog)
                                                .arg(session.uid, session.sid);
        ApiBaseResponse answer;
        try {
            answer = web::callApi<ApiBaseResponse>(url, body, QStringLiteral("post"), web::kTimeoutMs);
        } catch (const EAbort &) {
            throw;
        } catch (const Exception &e) {
            answer.head.isError = true;
            answer.head.errCode = QStringLiteral("0");
            answer.head.errInfo = e.message();
        } catch (...) {
            answer.head.isError = true;
            answer.head.errCode = QStringLiteral("0");
            answer.head.errInfo = QStringLiteral("未知错误！");
        }
        takeHead(answer.head);
        if (isError)
            return false;
        // Marked by ID and the Updated that was read: a count made meanwhile is sent next time.
        int unreachable = 0;
        try {
            Transaction t;
            for (const QSqlRecord &r : rows) {
                const QVariant id = r.value(QStringLiteral("ID"));
                if (execPrepared(QStringLiteral("UPDATE %1 SET Synced=1 WHERE ID=? AND Updated IS ?").arg(table),
                                 {id, r.value(QStringLiteral("Updated"))}) == 1)
                    continue;
                if (id.isNull() ||
                    execQuery(QStringLiteral("SELECT 1 FROM %1 WHERE ID=%2").arg(table, quoteSql(id.toString())))
                        .isEmpty())
                    ++unreachable;
            }
            t.commit();
        } catch (const Exception &e) {
            isError = true;
            errCode = QStringLiteral("0");
            errInfo = QStringLiteral("保存同步结果出错，错误信息：\n%1").arg(e.message());
            return false;
        } catch (...) {
            isError = true;
            errCode = QStringLiteral("0");
            errInfo = QStringLiteral("错误未知！");
            return false;
        }
        // Such a row would be read and sent again for ever.
        if (unreachable > 0) {
            isError = true;
            errCode = QStringLiteral("0");
            errInfo = QStringLiteral("保存同步结果出错，错误信息：\n%1").arg(QStringLiteral("错误未知！"));
            writeTraceLog(QStringLiteral("sync"), QStringLiteral("log rows not marked: %1").arg(unreachable));
            return false;
        }
    }
}
