#include "cloud/AsyncHelper.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "storage/DataAccess.h"

#include <QDateTime>
#include <QtConcurrent>

namespace AsyncHelper {

QFuture<void> saveActionLog(const QString &actionName)
{
    PerformanceLogger perf(QStringLiteral("保存Action日志==>") + actionName);
    return QtConcurrent::run([actionName] { saveActionLogNow(actionName); });
}

void saveActionLogNow(const QString &actionName)
{
    const QString today = QDate::currentDate().toString(Ink::dateFormat());
    const QString now = QDateTime::currentDateTime().toString(Ink::dateTimeMsFormat());
    try {
        // One statement: quick clicks on several pool threads must all be counted, and a row
        // counted up after its upload must be sent again.
        execPrepared(QStringLiteral("INSERT INTO L.ActionLog(ID,Action,ADate,triggerCount,Created,Updated,Synced) "
                                    "VALUES(?,?,?,1,?,?,0) ON CONFLICT(Action,ADate) DO UPDATE SET "
                                    "triggerCount=triggerCount+1,Updated=excluded.Updated,Synced=0"),
                     {newGuid(), actionName, today, now, now});
    } catch (const Exception &e) {
        writeTraceLog(QStringLiteral("act"), QStringLiteral("保存Aciton日志出错，错误信息：\n%1").arg(e.message()));
    }
}

} // namespace AsyncHelper
