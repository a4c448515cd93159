#pragma once

#include "libtool/LibrarySource.h"

#include <QString>

// Library files: an enciphered SQLite file with one tree table and DbVersion.
namespace libtool {

// "MaterialTree", "SentenceTree" or "ArticleTree" for a source folder named material,
// sentence or article; empty for anything else.
QString tableForKind(const QString &kind);

struct BuildOptions {
    QString table;            // tree table name inside the file
    QString version = "4.0";  // DbVersion row, 3.0 or above
    bool withIndexes = true;  // readers' indexes; off only to measure what they bring
};

// Writes the library into `fileName` (replaced as a whole once complete); throws SourceError.
void writeLibraryFile(const Library &library, const QString &fileName, const BuildOptions &options);
// Reads a library file back into its text form; throws SourceError.
Library readLibraryFile(const QString &fileName, QString *table = nullptr, QString *version = nullptr);

// 32 upper-case hex characters, the same for the same input so rebuilt files keep their ids.
QString stableId(const QString &seed);
// Paragraphs as simple HTML for the rows' HTML column.
QString textToHtml(const QString &text);

} // namespace libtool
