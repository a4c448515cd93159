#pragma once

#include <QChar>
#include <QString>
#include <QStringList>

namespace Ink {

// Product identity used for window titles, settings and the data folder.
QString productName();      // "砚舟写作"
QString applicationName();  // "Inkboat": database and backup file prefix, settings application
QString organizationName(); // "inkboathq"
QString appVersion();       // "4.31"
QString majorVersion();     // text before the first "." of the version
QString titleFormat();      // "%1 v%2"

// Root of the web service; INKBOAT_SERVICE_URL overrides the local default. Always ends with "/".
QString serviceBaseUrl();

// Characters that may not appear in file names, in this order: \ / : * ? " < > |
QString invalidFileNameChars();

constexpr QChar paragraphIndentChar = QChar(0x3000); // ideographic space
constexpr QChar fullWidthMarker = QChar(0xFF03);     // full-width number sign

QString dateFormat();       // "yyyy-MM-dd"
QString dateTimeFormat();   // "yyyy-MM-dd hh:mm:ss"
QString dateTimeMsFormat(); // "yyyy-MM-dd hh:mm:ss.zzz"

// Library tables of the attached files, indexed by TableType.
enum TableType { ttMaterial = 0, ttSentence = 1, ttArticle = 2, ttLog = 3 };
QStringList origDbTableNames(); // "MaterialTree", "SentenceTree", "ArticleTree", "SysLog"
QStringList dbTableNames();     // "M.MaterialTree", "S.SentenceTree", "A.ArticleTree", "L.SysLog"
QStringList dbFileSuffixes();   // "Material", "Sentence", "Article", "Log"

// Cipher keys. The library key enciphers the three shipped library files, the parameter key
// the stored password, the web key the passwords sent to the web service.
QString libraryKey(); // 7 ASCII characters
QString paramKey();   // 7 ASCII characters
QString webKey();     // 16 ASCII characters

constexpr int maxArticleLength = 10240;
constexpr int maxUserMaterialLength = 10240;
// Every live row of BookTree and MemoTree, on every device and on the service: Level from 0 to
// maxTreeLevel (user-material folders therefore stop one above it, leaving room for their
// materials) and a title of at most maxTitleLength characters (code points).
constexpr int maxTreeLevel = 16;
constexpr int maxTitleLength = 400;

// Upgrade description files on the web service, %1 = major version.
QString appUpgradeFileName();      // "updateV%1.txt"
QString materialUpgradeFileName(); // "updateMV%1.txt"

} // namespace Ink
