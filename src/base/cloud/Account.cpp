#include "cloud/Account.h"

#include "cloud/CloudSync.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QRegularExpression>

namespace account {

QString foldUserName(const QString &name)
{
    return name.normalized(QString::NormalizationForm_KC).trimmed().toCaseFolded();
}

bool sameUser(const QString &a, const QString &b) { return foldUserName(a) == foldUserName(b); }

QString loginCheck(const QString &userName, const QString &password)
{
    if (foldUserName(userName).isEmpty())
        return QStringLiteral("用户名不能为空！");
    if (password.isEmpty())
        return QStringLiteral("密码不能为空！");
    CloudSync sync;
    if (!sync.canChangeUser(userName))
        return CloudSync::changeUserRefusedText(getSysParam(QStringLiteral("Sys.CurrUserCode")));
    return QString();
}

bool isValidEmail(const QString &email)
{
    // The local part also takes ".", "_", "%", "+" and "-" ("first.last@", "a+b@").
    static const QRegularExpression re(
        QStringLiteral("^[A-Za-z0-9._%+\\-\u4e00-\u9fa5]+@[a-zA-Z0-9_-]+(\\.[a-zA-Z0-9_-]+)+$"));
    return re.match(email).hasMatch();
}

QString registerCheck(const QString &userName, const QString &email, const QString &email2,
                      const QString &password, const QString &password2)
{
    if (foldUserName(userName).isEmpty())
        return QStringLiteral("用户名不能为空！");
    if (email.isEmpty())
        return QStringLiteral("邮箱不能为空！");
    if (!isValidEmail(email))
        return QStringLiteral("邮箱不正确，请输入正在使用的有效邮箱地址！");
    if (email != email2)
        return QStringLiteral("邮箱与确认邮箱不一致！");
    if (password.isEmpty())
        return QStringLiteral("密码不能为空！");
    if (password.size() < 6)
        return QStringLiteral("密码长度不能低于6位！");
    if (password != password2)
        return QStringLiteral("密码与确认密码不一致！");
    return QString();
}

void rememberSignIn(const QString &userName, const QString &password, bool saveLogin, bool autoLogin)
{
    LoginParams &p = g_SysParams.loginParams;
    p.userID = userName;
    p.saveLogin = saveLogin;
    p.autoLogin = saveLogin && autoLogin;
    p.password = saveLogin ? password : QString();
    saveSysParams();
}

} // namespace account
