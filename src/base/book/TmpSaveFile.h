#pragma once

#include <QDateTime>
#include <QString>

// Recovery copies of a chapter's text in the temporary folder: "tmpSave.<chapter id>.<time>.txt",
// time formatted yyyyMMddhhmmsszzz, plain UTF-8. The recovery dialog offers every such file of a
// chapter when it is opened next.
namespace TmpSaveFile {

QString fileName(const QString &chapterId, const QDateTime &time);

// Writes text to folder/fileName(chapterId, time) through a temporary name and a rename, so a
// crash never leaves a half-written copy under the real name. Returns the path, or an empty
// text with the reason in *error.
QString write(const QString &folder, const QString &chapterId, const QString &text, const QDateTime &time,
              QString *error = nullptr);

} // namespace TmpSaveFile
