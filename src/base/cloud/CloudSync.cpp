#include "cloud/CloudSync.h"

#include "app/Exception.h"
#include "book/ChapterHistory.h"
#include "cloud/Account.h"
#include "cloud/CloudLocks.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

CloudSync::CloudSync(bool backgroundMode, bool showProgress, QObject *parent)
    : QObject(parent), backgroundMode(backgroundMode), showProgress(showProgress && !backgroundMode)
{
}

CloudSync::~CloudSync() { closeProgress(); }

QString CloudSync::changeUserRefusedText(const QString &currentUserCode)
{
    return QStringLiteral("本地有未同步到云端的数据，切换用户将会丢失未同步数据，不能切换用户！\n注：\n"
                          "1.需先把当前用户数据同步到云端后，方可切换用户！\n2.当前登录的用户名：") +
           currentUserCode;
}

bool CloudSync::canChangeUser(const QString &newUserName)
{
    const QString code = getSysParam(QStringLiteral("Sys.CurrUserCode"));
    if (code.isEmpty() || account::sameUser(code, newUserName))
        return true;
    return execQuery(QStringLiteral("SELECT ID FROM BookTree WHERE Synced=0 UNION ALL "
                                    "SELECT ID FROM MemoTree WHERE Synced=0"))
        .isEmpty();
}

bool CloudSync::userLogined(const QString &uid, const QString &userName)
{
    errCode.clear();
    errInfo.clear();
    // No transfer of the previous user may land in the new user's tables.
    CloudLockGuard cloud(QStringLiteral("CloudSync"));
    bool same = false;
    {
        Transaction t;
        const QString code = getSysParam(QStringLiteral("Sys.CurrUserCode"));
        const QString storedUid = getSysParam(QStringLiteral("Sys.CurrUserId"));
        // The account decides, not only its name: a service that keeps "u1" and "u1　" apart
        // would otherwise get one account's unsynced rows in the other's store.
        same = account::sameUser(userName, code) && (storedUid.isEmpty() || storedUid == uid);
        if (!same && !code.isEmpty()) {
            // The dialog checks this too, but an automatic sign-in after offline work does not.
            const bool waiting = !execQuery(QStringLiteral("SELECT ID FROM BookTree WHERE Synced IS NOT 1 UNION ALL "
                                                           "SELECT ID FROM MemoTree WHERE Synced IS NOT 1 LIMIT 1"))
                                      .isEmpty();
            if (waiting) {
                errCode = QStringLiteral("CHANGE_USER_REFUSED");
                errInfo = changeUserRefusedText(code);
                return false;
            }
            execSql(QStringLiteral("DELETE FROM BookTree"));
            execSql(QStringLiteral("DELETE FROM MemoTree"));
            // The other account's chapters are gone for good, and so is their history.
            ChapterHistory::dropOrphans();
        }
        if (!same)
            setSysParam(QStringLiteral("Sync.LastUsn"), QStringLiteral("0"), false);
        setSysParam(QStringLiteral("Sys.CurrUserId"), uid, false);
        setSysParam(QStringLiteral("Sys.CurrUserCode"), userName, false);
        t.commit();
    }
    if (!same && sysParamsSnapshot().cloudSyncParams.active) {
        // A cancelled first sync still leaves the user signed in; the next sync completes it.
        if (!sync() && errCode != QLatin1String("CANCELED_BY_USER"))
            return false;
        errCode.clear();
        errInfo.clear();
    }
    return true;
}

bool CloudSync::syncReporting(const QString &abortText, QString *failure)
{
    try {
        const bool ok = sync();
        *failure = errInfo;
        if (ok && errCode == QLatin1String("ABORT_SYNC")) {
            *failure = abortText;
            return false;
        }
        return ok;
    } catch (const Exception &e) {
        *failure = e.message();
        return false;
    }
}

namespace syncroutine {

bool startup(const Status &status, int *pulledRows)
{
    status(QStringLiteral("启动时，自动云同步中..."));
    CloudSync sync(false, false);
    QString failure;
    const bool ok = sync.syncReporting(QStringLiteral("写作过程自动云同步中断！"), &failure);
    if (pulledRows)
        *pulledRows = sync.pulledRows();
    status(ok ? QStringLiteral("启动时，自动云同步成功！")
              : QStringLiteral("启动时，自动云同步失败！错误信息：%0").replace(QLatin1String("%0"), failure));
    return ok;
}

} // namespace syncroutine
