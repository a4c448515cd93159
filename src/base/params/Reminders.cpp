#include "params/Reminders.h"

#include "params/SettingsChecks.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString kParamKey = QStringLiteral("Reminders");
constexpr qint64 kWeekSecs = 7 * 24 * 3600;

enum class Repeat { EveryStart, Weekly, Once };

QString samePath(const QString &path)
{
    return QDir::cleanPath(QDir::fromNativeSeparators(path));
}

} // namespace

QString ReminderMemory::toJson() const
{
    QJsonArray off;
    QStringList keys(silenced.begin(), silenced.end());
    keys.sort();
    for (const QString &k : keys)
        off.append(k);
    QJsonObject shown;
    for (auto it = lastShown.cbegin(); it != lastShown.cend(); ++it)
        shown.insert(it.key(), it.value().toString(Qt::ISODate));
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("silenced"), off}, {QStringLiteral("shown"), shown}})
            .toJson(QJsonDocument::Compact));
}

ReminderMemory ReminderMemory::fromJson(const QString &json)
{
    ReminderMemory m;
    const QJsonObject o = QJsonDocument::fromJson(json.toUtf8()).object();
    for (const QJsonValue &v : o.value(QStringLiteral("silenced")).toArray())
        m.silenced.insert(v.toString());
    const QJsonObject shown = o.value(QStringLiteral("shown")).toObject();
    for (auto it = shown.begin(); it != shown.end(); ++it) {
        const QDateTime when = QDateTime::fromString(it.value().toString(), Qt::ISODate);
        if (when.isValid())
            m.lastShown.insert(it.key(), when);
    }
    return m;
}

ReminderMemory ReminderMemory::load() { return fromJson(getSysParam(kParamKey)); }

void ReminderMemory::save() const { setSysParam(kParamKey, toJson()); }

QList<Reminder> dueReminders(const SysParams &p, const QString &dataPath, const QString &defaultBackupPath,
                             const ReminderMemory &memory, const QDateTime &now)
{
    QList<Reminder> due;
    auto add = [&](const QString &key, Repeat repeat, const QString &html) {
        if (memory.silenced.contains(key))
            return;
        const QDateTime last = memory.lastShown.value(key);
        if (last.isValid() && repeat == Repeat::Once)
            return;
        // A clock set back counts as a new week rather than silencing the reminder for good.
        if (last.isValid() && repeat == Repeat::Weekly && last <= now && last.secsTo(now) < kWeekSecs)
            return;
        due.append({key, html});
    };
    const QString settings = QStringLiteral("<a href = 'SysOption'>[参数]</a>");
    if (!p.autoBackupDb)
        add(QStringLiteral("backupOff"), Repeat::EveryStart,
            QStringLiteral("注意：数据备份非常重要，检测到您未启动自动备份功能，强烈建议您在%1界面启动自动备份！").arg(settings));
    if (p.autoBackupDbPath.isEmpty()) {
        add(QStringLiteral("backupPath"), Repeat::EveryStart,
            QStringLiteral("注意：检测到您设置的自动备份路径没有设置，强烈建议您在%1界面调整！").arg(settings));
    } else if (p.autoBackupDb && settings::onSameFileSystem(p.autoBackupDbPath, dataPath)) {
        // "The same drive" is the same file system here; there is no drive C to warn about.
        if (samePath(p.autoBackupDbPath) == samePath(defaultBackupPath))
            add(QStringLiteral("backupDisk"), Repeat::Once,
                QStringLiteral("建议：自动备份现在与数据保存在同一块磁盘上，可在%1界面把自动备份路径改到另一块磁盘（如移动硬盘）。")
                    .arg(settings));
        else
            add(QStringLiteral("backupSameDisk"), Repeat::EveryStart,
                QStringLiteral("注意：检测到您设置的自动备份路径与数据保存的盘符一样，这样安全性较低，强烈建议您在%1界面调整！")
                    .arg(settings));
    }
    const bool registered = !p.loginParams.userID.isEmpty();
    // Sync and sign-in need an account: without one, the registration reminder is the one that fits.
    if (registered && !p.cloudSyncParams.active)
        add(QStringLiteral("cloudSync"), Repeat::Weekly,
            QStringLiteral("推荐：数据备份非常重要，检测到您未启动云同步功能，建议您在%1界面启动云同步功能！").arg(settings));
    if (!registered)
        add(QStringLiteral("register"), Repeat::Weekly,
            QStringLiteral("提示：检测到您没有注册，注册可获得更多素材，建议您<a href = 'SysUserRegister'>[注册]</a>帐号！"));
    if (registered && (!p.loginParams.saveLogin || !p.loginParams.autoLogin))
        add(QStringLiteral("login"), Repeat::Weekly,
            QStringLiteral("提示：检测到您没有登录，登录可获得更多素材，建议您<a href = 'SysUserLogin'>[登录]</a>帐号！"));
    return due;
}
