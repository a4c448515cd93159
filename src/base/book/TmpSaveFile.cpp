#include "book/TmpSaveFile.h"

#include <QDir>
#include <QSaveFile>

namespace TmpSaveFile {

QString fileName(const QString &chapterId, const QDateTime &time)
{
    return QStringLiteral("tmpSave.%1.%2.txt").arg(chapterId, time.toString(QStringLiteral("yyyyMMddhhmmsszzz")));
}

QString write(const QString &folder, const QString &chapterId, const QString &text, const QDateTime &time,
              QString *error)
{
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(fileName(chapterId, time));
    // QSaveFile writes "<name>.XXXXXX" beside the target, flushes it to disk and renames it.
    QSaveFile file(path);
    const QByteArray bytes = text.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return QString();
    }
    return path;
}

} // namespace TmpSaveFile
