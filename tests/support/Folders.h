#pragma once

// Folders of text files as a map of name → bytes, for export and import tests.
#include <QDir>
#include <QFile>
#include <QMap>
#include <QtTest>

using Files = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(Files)

// Writes every file into dir; a name ending in '/' becomes a sub-folder holding "a.txt".
inline void writeFiles(const QString &dir, const Files &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QString name = it.key();
        if (name.endsWith('/')) {
            QDir(dir).mkpath(name);
            name += "a.txt";
        }
        QFile f(dir + '/' + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(it.value());
    }
}

// Name → bytes of every entry of dir, hidden ones included.
inline Files readFolder(const QString &dir)
{
    Files files;
    for (const QFileInfo &info : QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
        QFile f(info.absoluteFilePath());
        f.open(QIODevice::ReadOnly);
        files.insert(info.fileName(), f.readAll());
    }
    return files;
}
