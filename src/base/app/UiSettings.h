#pragma once

#include <QList>
#include <QPair>
#include <QVariant>

// Window state kept beside the parameters, in QSettings. The keys and the file each one lives in
// sit in this one table: the layout file (INI, user scope) for the window, the native settings
// for the scale factor, which is read before the application object exists.
enum class UiSetting {
    WindowSaved,    // "mainWindow/saved": geometry and state below were stored
    WindowGeometry, // "mainWindow/geometry": the frame window's geometry
    WindowState,    // "mainWindow/state": tool bars and docks
    ScaleFactor,    // "scaleFactor": the screen scale chosen for the next start
};

QVariant readUiSetting(UiSetting setting, const QVariant &fallback = QVariant());
// Writes the values and syncs their files.
void writeUiSettings(const QList<QPair<UiSetting, QVariant>> &values);

// The folder last chosen for a purpose ("export", "import", "backup", "materialImport"), kept in
// the layout file under "lastFolder/<purpose>"; empty when none was.
QString readLastFolder(const QString &purpose);
void writeLastFolder(const QString &purpose, const QString &folder);
