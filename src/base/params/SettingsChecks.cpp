#include "params/SettingsChecks.h"

#include "params/SysParams.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaProperty>
#include <QStorageInfo>
#include <QVariant>

namespace {

// The mount of a path that may not exist yet (a backup folder still to be made).
QStorageInfo storageOf(const QString &path)
{
    QDir dir(QDir::fromNativeSeparators(path));
    QString p = dir.absolutePath();
    while (!p.isEmpty() && !QFileInfo::exists(p)) {
        const QString up = QFileInfo(p).path();
        if (up == p)
            break;
        p = up;
    }
    return QStorageInfo(p);
}

bool isGadget(int type)
{
    return QMetaType::typeFlags(type) & QMetaType::IsGadget;
}

void merge(const QMetaObject *mo, void *out, const void *loaded, const void *shown, const void *edited)
{
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i) {
        const QMetaProperty prop = mo->property(i);
        const QVariant l = prop.readOnGadget(loaded);
        const QVariant s = prop.readOnGadget(shown);
        const QVariant e = prop.readOnGadget(edited);
        if (isGadget(prop.userType())) {
            QVariant o = prop.readOnGadget(out);
            merge(QMetaType::metaObjectForType(prop.userType()), o.data(), l.constData(), s.constData(),
                  e.constData());
            prop.writeOnGadget(out, o);
        } else if (e == s) {
            prop.writeOnGadget(out, l);
        }
    }
}

} // namespace

namespace settings {

bool onSameFileSystem(const QString &a, const QString &b)
{
    const QStorageInfo x = storageOf(a);
    const QStorageInfo y = storageOf(b);
    return x.isValid() && y.isValid() && x.rootPath() == y.rootPath() && x.device() == y.device();
}

QString backupPathError(const QString &path)
{
    if (path.trimmed().isEmpty())
        return QStringLiteral("自动备份路径不能为空！");
    const QFileInfo info(QDir::fromNativeSeparators(path));
    if (info.isRelative() || !info.isDir())
        return QStringLiteral("自动备份路径不存在！");
    return QString();
}

QStringList backupPathQuestions(const QString &path, bool autoBackup, const QString &dataPath)
{
    QStringList questions;
    if (!autoBackup)
        questions << QStringLiteral("数据备份非常重要，确定不自动备份吗？");
    if (onSameFileSystem(path, dataPath))
        questions << QStringLiteral("自动备份路径与数据保存的盘符一样，这样安全性较低，确定使用该自动备份路径吗？");
#ifdef Q_OS_WIN
    if (path.startsWith(QLatin1Char('C')))
        questions << QStringLiteral("自动备份路径为C盘，这样安全性较低，确定使用该自动备份路径吗？");
#endif
    return questions;
}

SysParams keepUntouched(const SysParams &loaded, const SysParams &shown, const SysParams &edited)
{
    registerSysParamsTypes();
    SysParams out = edited;
    merge(&SysParams::staticMetaObject, &out, &loaded, &shown, &edited);
    return out;
}

} // namespace settings
