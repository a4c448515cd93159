#pragma once

#include <QString>
#include <QStringList>

// Material-upgrade archives: library files at the top level of a zip, unpacked over the data folder.
namespace libtool {

// Writes `files` into a new zip at `zipPath`, each under its own file name; throws SourceError.
void packUpgrade(const QString &zipPath, const QStringList &files);
// Entry names of a zip, for checks; throws SourceError.
QStringList zipEntryNames(const QString &zipPath);

} // namespace libtool
