#pragma once

// Library files made by the program's own builder, for tests of browsing and search (link
// inkboat_libtool).
#include "libtool/LibraryFile.h"

inline void writeLibrary(const QString &fileName, const QString &table, const QVector<libtool::Folder> &folders)
{
    libtool::Library library;
    library.folders = folders;
    libtool::BuildOptions o;
    o.table = table;
    libtool::writeLibraryFile(library, fileName, o);
}
