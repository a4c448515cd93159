#include "book/TmpSaveFile.h"

#include "app/Exception.h"
#include "book/ChapterHistory.h"
#include "storage/DataAccess.h"
#include "storage/SqlTableModel.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <strings.h>
#include <memory>

namespace TmpSaveFile {

namespace {

const QLatin1String kPrefix("tmpsave.");
const QLatin1String kSuffix(".txt");
const QLatin1String kPartSuffix(".part");
constexpr int kTimeLength = 17; // yyyyMMddhhmmsszzz

bool allDigits(const QStringRef &text)
{
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

} // namespace

QString fileName(const QString &chapterId, const QDateTime &time)
{
    return QStringLiteral("tmpSave.%1.%2.txt").arg(chapterId, time.toString(QStringLiteral("yyyyMMddhhmmsszzz")));
}

bool parseName(const QString &name, QString *chapterId, QString *timeText)
{
    // tmpSave.<id>.<17 digits>.txt; the id may hold dots, so it is what lies between.
    const int minimum = kPrefix.size() + 1 + 1 + kTimeLength + kSuffix.size();
    if (name.size() < minimum || !name.startsWith(kPrefix, Qt::CaseInsensitive) ||
        !name.endsWith(kSuffix, Qt::CaseInsensitive))
        return false;
    const int timeStart = name.size() - kSuffix.size() - kTimeLength;
    if (name.at(timeStart - 1) != QLatin1Char('.') || !allDigits(name.midRef(timeStart, kTimeLength)))
        return false;
    if (chapterId)
        *chapterId = name.mid(kPrefix.size(), timeStart - 1 - kPrefix.size());
    if (timeText)
        *timeText = name.mid(timeStart, kTimeLength);
    return true;
}

bool isCopyOf(const QString &name, const QString &chapterId)
{
    QString id;
    return parseName(name, &id, nullptr) && id.compare(chapterId, Qt::CaseInsensitive) == 0;
}

QString write(const QString &folder, const QString &chapterId, const QString &text, const QDateTime &time,
              QString *error)
{
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(fileName(chapterId, time));
    const QString part = path + kPartSuffix;
    const QByteArray bytes = text.toUtf8();
    QFile file(part);
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
              file.flush();
    QString reason = file.errorString();
    file.close();
    ok = ok && file.error() == QFileDevice::NoError;
    // rename(2) replaces the target in one step: a reader sees the old file or the new one.
    if (ok && std::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData()) != 0) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        ok = false;
    }
    if (!ok) {
        QFile::remove(part);
        if (error)
            *error = reason;
        return QString();
    }
    return path;
}

QStringList list(const QString &folder, const QString &chapterId)
{
    // The names alone narrow the walk (no stat, no wildcard per entry: the folder holds every
    // chapter's copies and a chapter opens among them); the id field decides.
    QStringList names;
    if (DIR *d = ::opendir(QFile::encodeName(folder).constData())) {
        while (const dirent *e = ::readdir(d)) {
            if (::strncasecmp(e->d_name, "tmpsave.", 8) != 0 || (e->d_type != DT_REG && e->d_type != DT_UNKNOWN))
                continue;
            const QString name = QFile::decodeName(e->d_name);
            if (name.endsWith(kSuffix, Qt::CaseInsensitive) && isCopyOf(name, chapterId) &&
                (e->d_type == DT_REG || QFileInfo(folder + QLatin1Char('/') + name).isFile()))
                names << name;
        }
        ::closedir(d);
    }
    // Newest first: by the time field, then by name so the order is always the same.
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const QStringRef ta = a.midRef(a.size() - kSuffix.size() - kTimeLength, kTimeLength);
        const QStringRef tb = b.midRef(b.size() - kSuffix.size() - kTimeLength, kTimeLength);
        const int c = ta.compare(tb);
        return c != 0 ? c > 0 : a > b;
    });
    const QDir dir(folder);
    QStringList paths;
    paths.reserve(names.size());
    for (const QString &name : names)
        paths << dir.filePath(name);
    return paths;
}

QString read(const QString &path, bool *ok)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    if (ok)
        *ok = opened;
    return opened ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList removeAll(const QString &folder, const QString &chapterId)
{
    QStringList failed;
    QDirIterator it(folder, {QStringLiteral("tmpsave.*.txt"), QStringLiteral("tmpsave.*.txt.part")}, QDir::Files);
    while (it.hasNext()) {
        const QString path = it.next();
        QString name = it.fileName();
        if (name.endsWith(kPartSuffix))
            name.chop(kPartSuffix.size());
        if (isCopyOf(name, chapterId) && !QFile::remove(path) && QFile::exists(path))
            failed << path;
    }
    return failed;
}

void adopt(const QString &chapterId, const QString &text)
{
    try {
        Transaction tx;
        std::unique_ptr<SqlTableModel> model(openTableModel(QStringLiteral("BookTree")));
        model->setFilter(QStringLiteral("id=") + quoteSql(chapterId));
        if (!model->select())
            throw Exception(model->lastError().text(), QStringLiteral("0"));
        model->fetchAll();
        model->first();
        // A row deleted meanwhile (by a sync) would come back to life through the "U" stamp.
        if (model->rowCount() == 0 || model->value(QStringLiteral("Flag")).toString() == QLatin1String("D"))
            throw Exception(QStringLiteral("未找到对应的文章！"), QStringLiteral("0"));
        QSqlRecord record = model->record();
        if (record.value(QStringLiteral("PlainText")).toString() != text)
            ChapterHistory::keepBesideSave(
                chapterId,
                ChapterHistory::htmlOfRow(record.value(QStringLiteral("HTML")).toString(),
                                          record.value(QStringLiteral("Attribute1")).toString()),
                record.value(QStringLiteral("PlainText")).toString(), QStringLiteral("临时文件"));
        record.setValue(QStringLiteral("HTML"), text);
        record.setValue(QStringLiteral("PlainText"), text);
        record.setValue(QStringLiteral("Attribute1"), QStringLiteral("NEWIMPORT"));
        prepareRecord(record, QStringLiteral("U"));
        model->setRecord(record);
        if (!model->submitAll())
            throw Exception(model->lastError().text(), QStringLiteral("0"));
        tx.commit();
    } catch (const Exception &e) {
        throw Exception(QStringLiteral("以临时保存的文件为准操作失败，错误信息：\n%1").arg(e.message()),
                        QStringLiteral("0"));
    }
}

} // namespace TmpSaveFile
