#pragma once

#include "libtool/LibrarySource.h"

#include <QSet>
#include <QStringList>

// Folders a tree query must return for a generated library: every distinct path prefix.
inline int expectedFolderCount(const libtool::Library &lib)
{
    QSet<QString> prefixes;
    for (const libtool::Folder &f : lib.folders)
        for (int i = 1; i <= f.path.size(); ++i)
            prefixes.insert(QStringList(f.path.mid(0, i)).join(QLatin1Char('/')));
    return prefixes.size();
}
