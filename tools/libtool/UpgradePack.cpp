#include "libtool/UpgradePack.h"

#include "libtool/LibrarySource.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <minizip/unzip.h>
#include <minizip/zip.h>

namespace libtool {

void packUpgrade(const QString &zipPath, const QStringList &files)
{
    if (files.isEmpty())
        throw SourceError(QStringLiteral("no files to pack"));
    const QString tmp = zipPath + QStringLiteral(".part");
    QFile::remove(tmp);
    zipFile zf = zipOpen64(QFile::encodeName(tmp).constData(), APPEND_STATUS_CREATE);
    if (!zf)
        throw SourceError(QStringLiteral("%1: cannot create the archive").arg(zipPath));
    for (const QString &path : files) {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) {
            zipClose(zf, nullptr);
            QFile::remove(tmp);
            throw SourceError(QStringLiteral("%1: cannot read: %2").arg(path, in.errorString()));
        }
        const QByteArray name = QFileInfo(path).fileName().toUtf8();
        zip_fileinfo info = {};
        const QDateTime t = QFileInfo(path).lastModified();
        info.tmz_date.tm_year = uInt(t.date().year());
        info.tmz_date.tm_mon = uInt(t.date().month() - 1);
        info.tmz_date.tm_mday = uInt(t.date().day());
        info.tmz_date.tm_hour = uInt(t.time().hour());
        info.tmz_date.tm_min = uInt(t.time().minute());
        info.tmz_date.tm_sec = uInt(t.time().second());
        bool ok = zipOpenNewFileInZip64(zf, name.constData(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                        Z_DEFAULT_COMPRESSION, in.size() > 0xffffffffLL ? 1 : 0) == ZIP_OK;
        while (ok && !in.atEnd()) {
            const QByteArray chunk = in.read(1 << 20);
            ok = zipWriteInFileInZip(zf, chunk.constData(), unsigned(chunk.size())) == ZIP_OK;
        }
        ok = zipCloseFileInZip(zf) == ZIP_OK && ok;
        if (!ok) {
            zipClose(zf, nullptr);
            QFile::remove(tmp);
            throw SourceError(QStringLiteral("%1: error writing %2 into the archive").arg(zipPath, path));
        }
    }
    if (zipClose(zf, nullptr) != ZIP_OK) {
        QFile::remove(tmp);
        throw SourceError(QStringLiteral("%1: cannot finish the archive").arg(zipPath));
    }
    QFile::remove(zipPath);
    if (!QFile::rename(tmp, zipPath))
        throw SourceError(QStringLiteral("%1: cannot move the archive into place").arg(zipPath));
}

QStringList zipEntryNames(const QString &zipPath)
{
    unzFile uf = unzOpen64(QFile::encodeName(zipPath).constData());
    if (!uf)
        throw SourceError(QStringLiteral("%1: cannot open the archive").arg(zipPath));
    QStringList names;
    for (int rc = unzGoToFirstFile(uf); rc == UNZ_OK; rc = unzGoToNextFile(uf)) {
        char name[512] = {};
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(uf, &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        names << QString::fromUtf8(name);
    }
    unzClose(uf);
    return names;
}

} // namespace libtool
