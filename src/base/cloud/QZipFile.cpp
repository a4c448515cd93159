#include "cloud/QZipFile.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "storage/Database.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QUuid>

#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace qompress {

QZipFile::QZipFile(const QString &fileName, QObject *parent) : QObject(parent), m_fileName(fileName) {}

QZipFile::~QZipFile() { close(); }

bool QZipFile::open(OpenMode mode)
{
    if (m_unz || m_zip) {
        m_lastError = QStringLiteral("File is already open");
        return false;
    }
    if (mode == ReadOnly) {
        m_unz = unzOpen64(QFile::encodeName(m_fileName).constData());
        if (!m_unz)
            m_lastError = QStringLiteral("Error opening Zip file for reading");
        return m_unz != nullptr;
    }
    const bool append = mode == Append && QFileInfo::exists(m_fileName);
    m_zip = zipOpen64(QFile::encodeName(m_fileName).constData(), append ? APPEND_STATUS_ADDINZIP : APPEND_STATUS_CREATE);
    if (!m_zip)
        m_lastError = QStringLiteral("Error opening Zip file for writing");
    return m_zip != nullptr;
}

void QZipFile::close()
{
    if (m_unz)
        unzClose(m_unz);
    if (m_zip)
        zipClose(m_zip, nullptr);
    m_unz = m_zip = nullptr;
}

bool QZipFile::currentFileInfo(EntryInfo *info)
{
    char name[257] = {};
    unz_file_info64 fi;
    if (!m_unz || unzGetCurrentFileInfo64(m_unz, &fi, name, 256, nullptr, 0, nullptr, 0) != UNZ_OK) {
        m_lastError = QStringLiteral("Failed to current get entry info");
        return false;
    }
    const QByteArray raw(name, int(qMin<uLong>(fi.size_filename, 256)));
    info->name = (fi.flag & (1u << 11)) ? QString::fromUtf8(raw) : QString::fromLocal8Bit(raw);
    info->uncompressedSize = qint64(fi.uncompressed_size);
    info->nameCut = fi.size_filename > 256;
    const uLong unixMode = fi.external_fa >> 16;
    info->symbolicLink = (fi.version >> 8) == 3 && (unixMode & S_IFMT) == S_IFLNK;
    info->directory = info->name.endsWith(QLatin1Char('/')) || info->name.endsWith(QLatin1Char('\\'));
    return true;
}

bool QZipFile::goToFirstFile() { return m_unz && unzGoToFirstFile(m_unz) == UNZ_OK; }
bool QZipFile::goToNextFile() { return m_unz && unzGoToNextFile(m_unz) == UNZ_OK; }

bool QZipFile::extractCurrent(QIODevice *device, const QString &password)
{
    const QByteArray pw = password.toLatin1();
    if (!m_unz || unzOpenCurrentFilePassword(m_unz, pw.isEmpty() ? nullptr : pw.constData()) != UNZ_OK) {
        m_lastError = QStringLiteral("Error opening archive entry");
        return false;
    }
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    bool ok = true;
    for (;;) {
        const int n = unzReadCurrentFile(m_unz, buffer.data(), unsigned(buffer.size()));
        if (n < 0) {
            m_lastError = QStringLiteral("Error reading current archive entry");
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (device->write(buffer.constData(), n) != n) {
            m_lastError = QStringLiteral("Failed to read data");
            ok = false;
            break;
        }
    }
    // The CRC is checked when the entry is closed after its last byte.
    if (unzCloseCurrentFile(m_unz) != UNZ_OK && ok) {
        m_lastError = QStringLiteral("Error reading current archive entry");
        ok = false;
    }
    return ok;
}

bool QZipFile::extract(const QString &entryName, QIODevice *device, const QString &password)
{
    if (!m_unz || unzLocateFile(m_unz, entryName.toUtf8().constData(), 1) != UNZ_OK) {
        m_lastError = QStringLiteral("File '") + entryName + QStringLiteral("' not found in archive");
        return false;
    }
    return extractCurrent(device, password);
}

bool QZipFile::addFile(const QString &entryName, QIODevice *device, const QString &password)
{
    if (!m_zip) {
        m_lastError = QStringLiteral("Error writing to zip file");
        return false;
    }
    const QByteArray name = entryName.toUtf8();
    const QByteArray pw = password.toLatin1();
    zip_fileinfo info = {};
    // Flag bit 11: the name is UTF-8.
    bool ok = zipOpenNewFileInZip4_64(m_zip, name.constData(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                      Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                                      pw.isEmpty() ? nullptr : pw.constData(), 0, 0, 1u << 11, 0) == ZIP_OK;
    while (ok && !device->atEnd()) {
        const QByteArray chunk = device->read(1 << 16);
        if (chunk.isEmpty() && !device->atEnd()) {
            m_lastError = QStringLiteral("Failed to read data");
            ok = false;
            break;
        }
        ok = zipWriteInFileInZip(m_zip, chunk.constData(), unsigned(chunk.size())) == ZIP_OK;
    }
    ok = zipCloseFileInZip(m_zip) == ZIP_OK && ok;
    if (!ok && m_lastError.isEmpty())
        m_lastError = QStringLiteral("Error writing to zip file");
    return ok;
}

} // namespace qompress

namespace {

struct Entry {
    QString name; // relative, "/" separated
    qint64 size = 0;
    bool directory = false;
};

// The author's files and the program's own folders are never replaced by an archive.
bool protectedName(const QString &relative)
{
    const QString lower = relative.toLower();
    const QString first = lower.section(QLatin1Char('/'), 0, 0);
    if (first == QLatin1String("log") || first == QLatin1String("backup") || first == QLatin1String("temp"))
        return true;
    const QString app = Ink::applicationName().toLower();
    for (const QString &db : {app + QStringLiteral(".sdb"), app + QStringLiteral("_log.sdb")})
        for (const QString &suffix : {QString(), QStringLiteral("-journal"), QStringLiteral("-wal"), QStringLiteral("-shm")})
            if (lower == db + suffix)
                return true;
    return lower.endsWith(QLatin1String(".lock"));
}

QList<Entry> checkedEntries(qompress::QZipFile &zip, const QString &destination)
{
    QList<Entry> entries;
    const QString root = QDir(destination).absolutePath();
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        qompress::QZipFile::EntryInfo info;
        if (!zip.currentFileInfo(&info))
            throw Exception(zip.lastError());
        QString name = info.name;
        name.replace(QLatin1Char('\\'), QLatin1Char('/'));
        const auto refuse = [&](const QString &why) {
            throw Exception(QStringLiteral("升级包中的文件“%1”不能解压：%2").arg(info.name, why));
        };
        if (info.nameCut)
            refuse(QStringLiteral("文件名过长"));
        if (info.symbolicLink)
            refuse(QStringLiteral("是符号链接"));
        if (name.startsWith(QLatin1Char('/')) || (name.size() > 1 && name.at(1) == QLatin1Char(':')))
            refuse(QStringLiteral("是绝对路径"));
        const bool directory = name.endsWith(QLatin1Char('/'));
        while (name.endsWith(QLatin1Char('/')))
            name.chop(1);
        if (name.isEmpty())
            refuse(QStringLiteral("文件名为空"));
        for (const QString &part : name.split(QLatin1Char('/')))
            if (part == QLatin1String("..") || part.isEmpty() || part == QLatin1String("."))
                refuse(QStringLiteral("路径不规范"));
        const QString target = QDir::cleanPath(root + QLatin1Char('/') + name);
        if (!target.startsWith(root + QLatin1Char('/')))
            refuse(QStringLiteral("超出目标文件夹"));
        if (protectedName(name))
            refuse(QStringLiteral("不能覆盖用户数据"));
        entries.append({name, info.uncompressedSize, directory});
    }
    return entries;
}

// Unpacks checked entries; every file's size must match its entry.
void unpack(qompress::QZipFile &zip, const QList<Entry> &entries, const QString &destination)
{
    int index = 0;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile(), ++index) {
        const Entry &e = entries.at(index);
        const QString target = QDir(destination).absoluteFilePath(e.name);
        qDebug().noquote() << QStringLiteral("%1(%2 bytes)").arg(e.name).arg(e.size);
        if (e.directory) {
            if (!QDir().mkpath(target))
                throw Exception(QStringLiteral("Failed to extract: %1").arg(e.name));
            continue;
        }
        QDir().mkpath(QFileInfo(target).absolutePath());
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || !zip.extractCurrent(&out, QString()) ||
            !out.flush() || out.size() != e.size) {
            qDebug().noquote() << QStringLiteral("Failed to extract: %1").arg(e.name);
            throw Exception(QStringLiteral("Failed to extract: %1 %2").arg(e.name, zip.lastError()));
        }
        out.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }
}

void openArchive(qompress::QZipFile &zip, const QString &zipPath)
{
    if (!zip.open(qompress::QZipFile::ReadOnly)) {
        qDebug().noquote() << QStringLiteral("Failed to open %1, error: %2").arg(zipPath, zip.lastError());
        throw Exception(zip.lastError());
    }
}

// A library file must open with the library key and carry version 3.0 or later.
bool usableLibrary(const QString &path)
{
    const QString name = QStringLiteral("upgrade-probe-") + QUuid::createUuid().toString(QUuid::Id128);
    double version = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(sqlDriverName(), name);
        db.setDatabaseName(path);
        db.setPassword(Ink::libraryKey());
        db.setConnectOptions(QStringLiteral("QSQLITE_USE_CIPHER=chacha20;QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(highestVersionQuery(QStringLiteral("DbVersion"))))
                version = q.next() ? q.value(1).toDouble() : 0.0;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return version >= 3.0;
}

// Directories below root that have to be made for path, outermost first.
QStringList missingDirectories(const QString &root, const QString &path)
{
    QStringList missing;
    for (QString dir = path; dir.size() > root.size() && !QFileInfo::exists(dir);
         dir = QFileInfo(dir).absolutePath())
        missing.prepend(dir);
    return missing;
}

// Moves the staged files into place with rename(), which replaces each file at once: the open
// connection keeps reading the old one until the restart. A failure part-way puts every file
// back as it was (the replaced ones are kept as hard links beside the staging) and removes the
// folders made for the new ones, then throws.
void placeStaged(const QList<Entry> &entries, const QString &staging, const QString &root)
{
    const QString previous = staging + QStringLiteral(".previous");
    QDir(previous).removeRecursively();
    struct Placed {
        QString target;
        QString saved; // empty when the file is new
    };
    QList<Placed> placed;
    QStringList madeDirs;
    const auto undo = [&] {
        for (int i = placed.size() - 1; i >= 0; --i) {
            const QByteArray target = QFile::encodeName(placed.at(i).target);
            if (placed.at(i).saved.isEmpty())
                ::unlink(target.constData());
            else
                ::rename(QFile::encodeName(placed.at(i).saved).constData(), target.constData());
        }
        for (int i = madeDirs.size() - 1; i >= 0; --i)
            QDir().rmdir(madeDirs.at(i));
        QDir(previous).removeRecursively();
    };
    try {
        if (!QDir().mkpath(previous))
            throw Exception(QStringLiteral("无法建立文件夹%1").arg(QDir::toNativeSeparators(previous)));
        for (const Entry &e : entries) {
            const QString target = root + QLatin1Char('/') + e.name;
            for (const QString &dir : missingDirectories(root, e.directory ? target : QFileInfo(target).absolutePath())) {
                if (!QDir().mkdir(dir))
                    throw Exception(QStringLiteral("无法建立文件夹%1").arg(QDir::toNativeSeparators(dir)));
                madeDirs.append(dir);
            }
            if (e.directory)
                continue;
            const QByteArray to = QFile::encodeName(target);
            Placed step{target, QString()};
            struct stat existing;
            if (::lstat(to.constData(), &existing) == 0) {
                step.saved = previous + QLatin1Char('/') + QString::number(placed.size());
                if (::link(to.constData(), QFile::encodeName(step.saved).constData()) != 0)
                    throw Exception(QStringLiteral("无法替换文件%1").arg(QDir::toNativeSeparators(target)));
            }
            if (::rename(QFile::encodeName(staging + QLatin1Char('/') + e.name).constData(), to.constData()) != 0)
                throw Exception(QStringLiteral("无法替换文件%1").arg(QDir::toNativeSeparators(target)));
            placed.append(step);
        }
    } catch (...) {
        undo();
        throw;
    }
    QDir(previous).removeRecursively();
}

} // namespace

void extractZip(const QString &zipPath, const QString &destination)
{
    qompress::QZipFile zip(zipPath);
    openArchive(zip, zipPath);
    const QList<Entry> entries = checkedEntries(zip, destination);
    unpack(zip, entries, destination);
    zip.close();
}

void installMaterialUpgrade(const QString &zipPath, const QString &dataFolder)
{
    const QString root = QDir(dataFolder).absolutePath();
    const QString staging = root + QStringLiteral("/temp/materialUpgrade");
    QDir(staging).removeRecursively();
    try {
        qompress::QZipFile zip(zipPath);
        openArchive(zip, zipPath);
        const QList<Entry> entries = checkedEntries(zip, root);
        qint64 total = 0;
        for (const Entry &e : entries)
            total += e.size;
        const qint64 reserve = 64LL * 1024 * 1024;
        if (total > QStorageInfo(root).bytesAvailable() - reserve)
            throw Exception(QStringLiteral("磁盘空间不足，素材升级需要%1字节").arg(total));
        if (!QDir().mkpath(staging))
            throw Exception(QStringLiteral("无法建立文件夹%1").arg(QDir::toNativeSeparators(staging)));
        unpack(zip, entries, staging);
        zip.close();
        for (const Entry &e : entries)
            if (!e.directory && e.name.endsWith(QLatin1String(".sdb"), Qt::CaseInsensitive) &&
                !usableLibrary(staging + QLatin1Char('/') + e.name))
                throw Exception(QStringLiteral("升级包中的素材库“%1”无法打开或版本过低").arg(e.name));
        placeStaged(entries, staging, root);
    } catch (...) {
        QDir(staging).removeRecursively();
        throw;
    }
    QDir(staging).removeRecursively();
}
