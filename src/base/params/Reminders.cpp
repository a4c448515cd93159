#include "params/Reminders.h"

#include "params/SettingsChecks.h"
#include "params/SysParams.h"

QStringList reminderTexts(const SysParams &p, const QString &dataPath)
{
    QStringList texts;
    if (!p.autoBackupDb)
        texts << QStringLiteral("<font color='red'>注意：数据备份非常重要，检测到您未启动自动备份功能，强烈建议您在<a href = "
                                "'SysOption'>[参数]</a>界面启动自动备份！</font>");
    if (p.autoBackupDbPath.isEmpty()) {
        texts << QStringLiteral("<font color='red'>注意：检测到您设置的自动备份路径没有设置，强烈建议您在<a href = "
                                "'SysOption'>[参数]</a>界面调整！</font>");
    } else {
        // "The same drive" is the same file system here; there is no drive C to warn about.
        if (settings::onSameFileSystem(p.autoBackupDbPath, dataPath))
            texts << QStringLiteral("<font color='red'>注意：检测到您设置的自动备份路径与数据保存的盘符一样，这样安全性较低，"
                                    "强烈建议您在<a href = 'SysOption'>[参数]</a>界面调整！</font>");
    }
    if (!p.cloudSyncParams.active)
        texts << QStringLiteral("<font color='blue'>推荐：数据备份非常重要，检测到您未启动云同步功能，建议您在<a href = "
                                "'SysOption'>[参数]</a>界面启动云同步功能！</font>");
    if (p.loginParams.userID.isEmpty())
        texts << QStringLiteral("<font color='blue'>提示：检测到您没有注册，注册可获得更多素材，建议您<a href = "
                                "'SysUserRegister'>[注册]</a>帐号！</font>");
    if (!p.loginParams.saveLogin || !p.loginParams.autoLogin)
        texts << QStringLiteral("<font color='blue'>提示：检测到您没有登录，登录可获得更多素材，建议您<a href = "
                                "'SysUserLogin'>[登录]</a>帐号！</font>");
    return texts;
}
