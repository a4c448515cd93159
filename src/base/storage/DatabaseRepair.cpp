// Repairs of the book and memo trees that an earlier version or a crash left behind.
#include "storage/Database.h"

#include "core/Exception.h"
#include "storage/DataAccess.h"
#include "storage/DatabaseDetail.h"

using namespace DbDetail;

namespace {

// Rows whose stored level differs from their depth. A NULL parent counts as a root, as the
// repair makes it one. Roots are chosen by the anchor only, so a row that names itself or
// another root as parent can never send the recursion round in a circle; the stored level
// travels with each row, so the count needs no second pass over the table.
QString levelMismatchCount(const QString &table)
{
    return QStringLiteral("WITH RECURSIVE cte(id,pid,level,stored) AS( \n"
                          "    SELECT id,pid,0 level,level FROM %1 WHERE pId='' OR pId IS NULL \n"
                          "    UNION ALL \n"
                          "    SELECT a.id,a.pId,cte.level+1 level,a.level FROM %1 AS a \n"
                          "    INNER JOIN cte ON a.pId=cte.id AND a.pId<>'') \n"
                          "SELECT COUNT(*) cnt \nFROM cte \nWHERE level IS NOT stored;")
        .arg(table);
}

} // namespace

bool startupChangesPending()
{
    // An old file is migrated: that changes rows only when there are any.
    if (queryInt(QStringLiteral("PRAGMA user_version;")) == 0)
        return queryInt(QStringLiteral("SELECT EXISTS(SELECT 1 FROM BookTree) OR EXISTS(SELECT 1 FROM MemoTree)")) > 0;
    if (queryInt(QStringLiteral("SELECT EXISTS(SELECT 1 FROM BookTree WHERE id IS NULL)")) > 0)
        return true;
    for (const char *table : {"BookTree", "MemoTree"}) {
        const QString t = QLatin1String(table);
        if (queryInt(QStringLiteral("SELECT EXISTS(SELECT 1 FROM %1 WHERE pId IS NULL) OR "
                                    "EXISTS(SELECT 1 FROM %1 WHERE Synced IS NULL)")
                         .arg(t)) > 0 ||
            queryInt(levelMismatchCount(t)) > 0)
            return true;
    }
    return false;
}

void repairTrees()
{
    const QString cte = QStringLiteral("WITH RECURSIVE cte(id,pid,level) AS( \n"
                                       "    SELECT id,pid,0 level FROM %1 WHERE pId='' \n"
                                       "    UNION ALL \n"
                                       "    SELECT a.id,a.pId,cte.level+1 level FROM %1 AS a \n"
                                       "    INNER JOIN cte ON a.pId=cte.id AND a.pId<>'') \n");
    try {
        {
            Transaction tx;
            execSql(QStringLiteral("DELETE FROM BookTree WHERE id IS NULL;"));
            tx.commit();
        }
        for (const char *table : {"BookTree", "MemoTree"}) {
            const QString t = QLatin1String(table);
            if (queryInt(QStringLiteral("SELECT COUNT(*) cnt FROM %1 WHERE pId IS NULL;").arg(t)) > 0) {
                Transaction tx;
                execSql(QStringLiteral("UPDATE %1 SET pId='' WHERE pId IS NULL;").arg(t));
                tx.commit();
            }
        }
        for (const char *table : {"BookTree", "MemoTree"}) {
            const QString t = QLatin1String(table);
            if (queryInt(levelMismatchCount(t)) > 0) {
                Transaction tx;
                execSql((cte + QStringLiteral("UPDATE %1 SET level=(SELECT level FROM cte WHERE cte.id=%1.id),synced=0,  \n"
                                              "    Updated=%2  \n"
                                              "WHERE id IN (SELECT id FROM cte) AND "
                                              "level IS NOT (SELECT level FROM cte WHERE cte.id=%1.id);"))
                            .arg(t, QLatin1String(kNow)));
                tx.commit();
            }
        }
        // A row an earlier version left with a NULL Synced (edited during an upload) waits again.
        execSql(QStringLiteral("UPDATE BookTree SET Synced=0 WHERE Synced IS NULL"));
        execSql(QStringLiteral("UPDATE MemoTree SET Synced=0 WHERE Synced IS NULL"));
    } catch (const Exception &e) {
        throw Exception(QStringLiteral("修复数据库内容出错，错误信息：\r\n") + e.message(), e.code());
    } catch (...) {
        throw Exception(QStringLiteral("修复数据库内容出错，错误未知！"));
    }
}
