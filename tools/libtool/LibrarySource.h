#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <stdexcept>

// The text form of a library: one file per folder, entries marked by "＃" title lines.
namespace libtool {

struct Entry {
    QString title;
    QString type; // "＠类型：" attribute; the article library shows it as the article type
    QString text; // paragraphs separated by "\n"
};

struct Folder {
    int order = 0;      // number in front of the file name; also the folder's sort value
    QStringList path;   // titles from the top of the tree down
    QStringList notes;  // "//" lines for the editors, kept so that a dump gives the file back
    QVector<Entry> entries;
};

struct Library {
    QVector<Folder> folders; // in file order
};

// A source error carries the file name and line so that the author can fix it.
class SourceError : public std::runtime_error
{
public:
    explicit SourceError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

// Reads every "<order>-<path>.txt" file of a folder; throws SourceError.
Library readSourceFolder(const QString &dir);
// Parses one file's text; `fileName` only names the file in errors.
Folder parseSourceFile(const QString &fileName, const QByteArray &bytes);

// The canonical file name and text of a folder (what readSourceFolder accepts).
QString sourceFileName(const Folder &folder);
QByteArray sourceFileText(const Folder &folder);
// Writes every folder that has entries or notes as one file; throws SourceError.
void writeSourceFolder(const Library &library, const QString &dir);

} // namespace libtool
