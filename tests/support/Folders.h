#pragma once

// Files and folders of text files as a map of name → bytes, for export and import tests.
#include <QDir>
#include <QFile>
#include <QMap>
#include <QtTest>

using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Files)

inline QByteArray readBytes(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeBytes(const QString &file, const QByteArray &bytes)
{
    QFile f(file);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Writes every file into dir; a name ending in '/' becomes a sub-folder holding "a.txt".
inline void writeFiles(const QString &dir, const Files &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QString name = it.key();
        if (name.endsWith('/')) {
            QDir(dir).mkpath(name);
            name += "a.txt";
        }
        QVERIFY2(writeBytes(dir + '/' + name, it.value()), qPrintable(name));
    }
}

// Name → bytes of every entry of dir, hidden ones included.
inline Files readFolder(const QString &dir)
{
    Files files;
    for (const QFileInfo &info : QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        files.insert(info.fileName(), readBytes(info.absoluteFilePath()));
    return files;
}
