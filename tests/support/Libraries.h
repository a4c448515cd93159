#pragma once

// Library files made by the program's own builder, for tests of browsing and search (link
// inkboat_libtool).
#include "TestProfile.h"

#include "app/App.h"
#include "libtool/LibraryFile.h"

#include <QTemporaryDir>

#include <functional>

inline void writeLibrary(const QString &fileName, const QString &table, const QVector<libtool::Folder> &folders)
{
    libtool::Library library;
    library.folders = folders;
    libtool::BuildOptions o;
    o.table = table;
    libtool::writeLibraryFile(library, fileName, o);
}

// A fresh profile started with the libraries `build` writes into the shipped folder it is given
// (none when it is empty); the application stops with it.
class LibraryProfile : public TestProfile
{
public:
    explicit LibraryProfile(const std::function<void(const QString &folder)> &build)
    {
        const QString folder = m_sources.path() + QLatin1Char('/');
        if (build)
            build(folder);
        g_App.setLibrarySourcePath(folder);
        started = startApp();
    }
    ~LibraryProfile()
    {
        stopApp();
        g_App.setLibrarySourcePath(QString());
    }
    StartResult started;

private:
    QTemporaryDir m_sources;
};
