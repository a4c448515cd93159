#include "material/KeywordSearch.h"

#include "storage/DataAccess.h"

namespace material {

QString keywordSearchSql(const QString &keyword, int mode)
{
    const QString pattern = quoteSql(QLatin1Char('%') + keyword + QLatin1Char('%'));
    // A key the scan in memory also serves is listed in its order, the file's: every row is read
    // anyway, so the scan in rowid order needs neither the category index nor a sort.
    if (mode == SearchLibrary && searchableInMemory(keyword))
        return QStringLiteral("SELECT id,pid,title,plainText,'Material' _type,Fee FROM M.MaterialTree "
                              "WHERE +Category='Content' AND (title LIKE %1 OR plainText LIKE %1) ORDER BY rowid")
            .arg(pattern);
    if (mode == SearchLibrary)
        return QStringLiteral("SELECT id,pid,title,plainText,'Material' _type,Fee FROM M.MaterialTree "
                              "WHERE Category='Content' AND (title LIKE %1 OR plainText LIKE %1)")
            .arg(pattern);
    if (mode == SearchUserMaterial)
        return QStringLiteral("SELECT id,pid,title,plainText,'UserMaterial' _type,0 AS Fee FROM MemoTree "
                              "WHERE Category='Content' AND flag='A' AND (title LIKE %1 OR plainText LIKE %1)")
            .arg(pattern);
    return QString();
}

bool searchableInMemory(const QString &keyword)
{
    return !keyword.isEmpty() && !keyword.contains(QLatin1Char('%')) && !keyword.contains(QLatin1Char('_'));
}

QString materialRowsSql(const qint64 *rowids, int count)
{
    QString list;
    list.reserve(count * 8);
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            list += QLatin1Char(',');
        list += QString::number(rowids[i]);
    }
    return QStringLiteral("SELECT id,pid,title,plainText,'Material' _type,Fee FROM M.MaterialTree WHERE rowid IN (%1) "
                          "ORDER BY rowid")
        .arg(list);
}

QUrl webSearchUrl(const QString &keyword)
{
    return QUrl::fromEncoded(QByteArray(kWebSearchBase) + QUrl::toPercentEncoding(keyword), QUrl::StrictMode);
}

QString storedTextForm(const QString &selectedText)
{
    QString text = selectedText;
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    return text;
}

} // namespace material
