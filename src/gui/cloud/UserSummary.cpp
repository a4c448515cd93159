#include "cloud/UserSummary.h"

#include "material/MaterialList.h"
#include "params/SysParams.h"

#include <QStringList>

const QString &UserSummary::refresh(bool signedIn)
{
    if (m_materialCount < 0)
        m_materialCount = material::libraryMaterialCount();
    m_text = QStringList{QStringLiteral("登录状态：%1").arg(signedIn ? QStringLiteral("已登录") : QStringLiteral("未登录")),
                         QStringLiteral("当前用户名：%1").arg(g_SysParams.loginParams.userID),
                         QStringLiteral("用户可用素材总数量：%1").arg(m_materialCount),
                         QStringLiteral("用户备忘录总数量：%1").arg(material::userMaterialCount())}
                 .join(QLatin1Char('\n'));
    return m_text;
}
