#pragma once

#include <QString>
#include <QtGlobal>
#include <QUrl>

namespace material {

// Where a keyword search looks: the material library, the user materials, or the web.
enum SearchMode { SearchLibrary = 0, SearchUserMaterial = 1, SearchWeb = 2 };

// The material list query of a keyword search (library or user materials): LIKE on title and
// text, so ASCII letters match in either case and % and _ act as wildcards; library materials
// in the file's order where the scan in memory serves the key too. Empty for the web.
QString keywordSearchSql(const QString &keyword, int mode);

// Whether the library search can scan the material texts in memory instead: a non-empty key
// without the LIKE wildcards (% and _), which only the SQL query understands.
bool searchableInMemory(const QString &keyword);
// The list query of library materials by rowid, in rowid order as the LIKE query lists them.
QString materialRowsSql(const qint64 *rowids, int count);

inline constexpr const char *kWebSearchBase = "https://www.baidu.com/s?wd=";
// The web search of a keyword: the keyword percent-encoded as the query value, so that "#",
// "&" and "+" reach the engine as typed.
QUrl webSearchUrl(const QString &keyword);

// The editor's selection as stored texts have it: paragraph and line separators become "\n".
QString storedTextForm(const QString &selectedText);

} // namespace material
