#include "cloud/CloudSync.h"

// Upload and log upload are not written yet; they say so instead of reporting success.
CloudSync::CloudSync(bool backgroundMode, bool showProgress, QObject *parent)
    : QObject(parent), m_showProgress(showProgress && !backgroundMode)
{
}

bool CloudSync::push()
{
    m_errorCode = QStringLiteral("SYNC_UNAVAILABLE");
    m_errorText = QStringLiteral("云同步功能尚未完成，书籍和素材没有同步。请先在参数设置中关闭云同步。");
    return false;
}

bool CloudSync::uploadLogs()
{
    m_errorCode = QStringLiteral("SYNC_UNAVAILABLE");
    m_errorText = QStringLiteral("日志上传功能尚未完成。");
    return false;
}
