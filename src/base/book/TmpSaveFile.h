#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

// Recovery copies of a chapter's text in the temporary folder: "tmpSave.<chapter id>.<time>.txt",
// time formatted yyyyMMddhhmmsszzz, plain UTF-8. The recovery dialog offers every such file of a
// chapter when it is opened next.
namespace TmpSaveFile {

QString fileName(const QString &chapterId, const QDateTime &time);

// Splits a copy's file name into the chapter id and the time text. False for any other name,
// the unfinished ".part" file of a write included. The prefix is matched ignoring case.
bool parseName(const QString &fileName, QString *chapterId = nullptr, QString *timeText = nullptr);
// Whether the file name is a copy of that chapter: the id field equals the id, ignoring case
// (never a substring or a pattern: ids from the service may hold any character).
bool isCopyOf(const QString &fileName, const QString &chapterId);

// Writes text to folder/fileName(chapterId, time) through "<name>.part" and a rename, so a crash
// never leaves a half-written copy under a name the listing shows. No fsync: a killed process
// loses nothing the kernel has taken; power loss is left to the file system. Returns the path,
// or an empty text with the reason in *error.
QString write(const QString &folder, const QString &chapterId, const QString &text, const QDateTime &time,
              QString *error = nullptr);

// Full paths of the chapter's copies in folder, newest first.
QStringList list(const QString &folder, const QString &chapterId);
// Text of a copy (UTF-8).
QString read(const QString &path, bool *ok = nullptr);
// Deletes the chapter's copies and unfinished writes in folder; the paths that could not be
// deleted are returned.
QStringList removeAll(const QString &folder, const QString &chapterId);

// Makes the copy's text the chapter's stored text (HTML and plain text, import marker, so it
// opens as plain text). Only a live row takes it; throws Exception (code "0") otherwise and when
// the update fails. No length limit: recovery never refuses text.
void adopt(const QString &chapterId, const QString &text);

} // namespace TmpSaveFile
