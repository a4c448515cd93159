#pragma once

#include <QString>
#include <QVariant>

// The Qt type a declared SQLite column type reads as, by SQLite's own affinity rules.
inline QVariant::Type typeOfDeclaredColumn(const QString &decl)
{
    const QString t = decl.trimmed().toLower();
    if (t.contains(QLatin1String("int")))
        return QVariant::LongLong;
    if (t.startsWith(QLatin1String("bool")))
        return QVariant::Bool;
    if (t.contains(QLatin1String("real")) || t.contains(QLatin1String("floa")) || t.contains(QLatin1String("doub")) ||
        t.startsWith(QLatin1String("numeric")))
        return QVariant::Double;
    if (t.contains(QLatin1String("blob")))
        return QVariant::ByteArray;
    return QVariant::String;
}
