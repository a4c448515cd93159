#include "core/Constants.h"

#include <QtGlobal>

namespace Ink {

QString productName() { return QStringLiteral("砚舟写作"); }
QString applicationName() { return QStringLiteral("Inkboat"); }
QString organizationName() { return QStringLiteral("inkboathq"); }
QString appVersion() { return QStringLiteral(INKBOAT_VERSION); }
QString majorVersion() { return appVersion().section(QLatin1Char('.'), 0, 0); }
QString titleFormat() { return QStringLiteral("%1 v%2"); }

QString serviceBaseUrl()
{
    QString url = qEnvironmentVariable("INKBOAT_SERVICE_URL");
    if (url.isEmpty())
        url = QStringLiteral("http://127.0.0.1:8765/");
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    return url;
}

QString invalidFileNameChars() { return QStringLiteral("\\/:*?\"<>|"); }

QString dateFormat() { return QStringLiteral("yyyy-MM-dd"); }
QString dateTimeFormat() { return QStringLiteral("yyyy-MM-dd hh:mm:ss"); }
QString dateTimeMsFormat() { return QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"); }

QStringList origDbTableNames()
{
    return {QStringLiteral("MaterialTree"), QStringLiteral("SentenceTree"), QStringLiteral("ArticleTree"),
            QStringLiteral("SysLog")};
}

QStringList dbTableNames()
{
    return {QStringLiteral("M.MaterialTree"), QStringLiteral("S.SentenceTree"), QStringLiteral("A.ArticleTree"),
            QStringLiteral("L.SysLog")};
}

QStringList dbFileSuffixes()
{
    return {QStringLiteral("Material"), QStringLiteral("Sentence"), QStringLiteral("Article"),
            QStringLiteral("Log")};
}

QString libraryKey() { return QStringLiteral("Yz7Kq3W"); }
QString paramKey() { return QStringLiteral("pK9mR2x"); }
QString webKey() { return QStringLiteral("__QUILL__INKPOT_"); }

QString appUpgradeFileName() { return QStringLiteral("updateV%1.txt"); }
QString materialUpgradeFileName() { return QStringLiteral("updateMV%1.txt"); }

} // namespace Ink
