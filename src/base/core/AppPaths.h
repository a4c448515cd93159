#pragma once

#include <QString>

// The folders of this run, every one ending with a separator. App fills them at start-up (the
// layers below it read them here); a test may set its own. Copied out whole: any thread.
struct AppPaths {
    QString appPath;           // the executable's folder
    QString appDataPath;       // the data folder: main file, libraries, parameters
    QString logPath;
    QString tmpPath;
    QString sqlDriversPath;
    QString defaultBackupPath;
    QString librarySourcePath; // shipped library files copied from when missing in the data folder

    static AppPaths current();
    static void set(const AppPaths &paths);
};
