#include "cloud/CloudSync.h"

// The pull and push of rows are not written yet. Saying so keeps a sign-in with cloud sync on
// from reporting books as synchronised when nothing was transferred.
bool CloudSync::sync()
{
    m_errorCode = QStringLiteral("SYNC_UNAVAILABLE");
    m_errorText = QStringLiteral("云同步功能尚未完成，书籍和素材没有同步。请先在参数设置中关闭云同步。");
    return false;
}
