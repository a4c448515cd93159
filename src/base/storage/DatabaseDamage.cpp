#include "storage/DatabaseDamage.h"

#include "core/Constants.h"
#include "log/Log.h"
#include "storage/Backup.h"

#include <QCoreApplication>
#include <QSqlError>

#include <atomic>

namespace {

std::function<void(const QString &)> &damageReporter()
{
    static std::function<void(const QString &)> reporter;
    return reporter;
}

std::atomic<bool> s_damageArmed{false};
std::atomic<bool> s_damageSeen{false};

} // namespace

void setDamageReporter(std::function<void(const QString &)> reporter) { damageReporter() = std::move(reporter); }

void watchDatabaseDamage(bool armed)
{
    s_damageSeen = false;
    s_damageArmed = armed;
}

bool databaseDamageSeen() { return s_damageSeen.load(); }

void noteDatabaseDamage(const QString &detail)
{
    if (!s_damageArmed.load() || s_damageSeen.exchange(true))
        return;
    writeLog(QStringLiteral("err"), QStringLiteral("数据文件已损坏：%1；本次退出不做备份。").arg(detail));
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    // Shown from the event loop of the GUI thread (which owns the parameters), never from inside a
    // statement that holds the connection lock.
    QMetaObject::invokeMethod(
        app,
        [detail]() {
            if (!s_damageArmed.load() || !damageReporter())
                return;
            const QString text = QStringLiteral("%1发现数据文件已损坏：\r\n%2\r\n\r\n为了不让损坏的文件挤掉完好的备份，"
                                                "本次退出时不再自动备份。请退出程序，用备份文件夹中的备份恢复：\r\n%3")
                                     .arg(Ink::productName(), detail, backupFolder());
            damageReporter()(text);
        },
        Qt::QueuedConnection);
}

void noteDatabaseError(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    // SQLITE_CORRUPT and its extended codes.
    if (ok && (code & 0xff) == 11)
        noteDatabaseDamage(error.text().trimmed());
}
