#include "libtool/LibrarySource.h"

#include "app/Constants.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTextCodec>

#include <algorithm>

namespace libtool {

namespace {

const QChar kTitleMark = Ink::fullWidthMarker;  // ＃
const QChar kAttributeMark = QChar(0xFF20);      // ＠
const QString kTypeAttribute = QStringLiteral("类型");

QString located(const QString &file, int line, const QString &what)
{
    return QStringLiteral("%1:%2: %3").arg(file).arg(line).arg(what);
}

void finishEntry(Entry *e, QStringList *lines)
{
    while (!lines->isEmpty() && lines->first().trimmed().isEmpty())
        lines->removeFirst();
    while (!lines->isEmpty() && lines->last().trimmed().isEmpty())
        lines->removeLast();
    e->text = lines->join(QLatin1Char('\n'));
    lines->clear();
}

} // namespace

Folder parseSourceFile(const QString &fileName, const QByteArray &bytes)
{
    const QString base = QFileInfo(fileName).fileName();
    static const QRegularExpression nameRe(QStringLiteral("^(\\d{1,6})-(.+)\\.txt$"));
    const QRegularExpressionMatch m = nameRe.match(base);
    if (!m.hasMatch())
        throw SourceError(located(fileName, 0, QStringLiteral("file name must be <order>-<folder path>.txt")));
    Folder folder;
    folder.order = m.captured(1).toInt();
    folder.path = m.captured(2).split(kTitleMark);
    for (const QString &part : qAsConst(folder.path)) {
        if (part.trimmed().isEmpty() || part != part.trimmed())
            throw SourceError(located(fileName, 0, QStringLiteral("empty or padded folder title in the file name")));
    }

    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars > 0)
        throw SourceError(located(fileName, 0, QStringLiteral("the file is not valid UTF-8 text")));

    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    Entry current;
    QStringList body;
    bool inEntry = false;
    bool inAttributes = false;
    for (int i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (i == 0 && line.startsWith(QChar(0xFEFF)))
            line.remove(0, 1);
        const int lineNo = i + 1;
        if (line.startsWith(kTitleMark)) {
            if (inEntry) {
                finishEntry(&current, &body);
                if (current.text.isEmpty())
                    throw SourceError(located(fileName, lineNo, QStringLiteral("the entry above has no text")));
                folder.entries << current;
            }
            current = Entry();
            current.title = line.mid(1).trimmed();
            if (current.title.isEmpty())
                throw SourceError(located(fileName, lineNo, QStringLiteral("empty title")));
            inEntry = true;
            inAttributes = true;
            continue;
        }
        if (!inEntry) {
            if (line.startsWith(QLatin1String("//")))
                folder.notes << line;
            else if (!line.trimmed().isEmpty())
                throw SourceError(located(fileName, lineNo, QStringLiteral("text before the first title line")));
            continue;
        }
        if (line.startsWith(kAttributeMark)) {
            if (!inAttributes)
                throw SourceError(located(fileName, lineNo, QStringLiteral("attribute line inside the text")));
            const QString attr = line.mid(1);
            const int colon = attr.indexOf(QChar(0xFF1A)); // full-width colon
            if (colon < 0 || attr.left(colon).trimmed() != kTypeAttribute)
                throw SourceError(located(fileName, lineNo, QStringLiteral("unknown attribute (only ＠类型：…)")));
            current.type = attr.mid(colon + 1).trimmed();
            continue;
        }
        inAttributes = false;
        body << line;
    }
    if (inEntry) {
        finishEntry(&current, &body);
        if (current.text.isEmpty())
            throw SourceError(located(fileName, lines.size(), QStringLiteral("the last entry has no text")));
        folder.entries << current;
    }
    if (folder.entries.isEmpty())
        throw SourceError(located(fileName, lines.size(), QStringLiteral("the file holds no entry")));
    return folder;
}

Library readSourceFolder(const QString &dir)
{
    QDir d(dir);
    if (!d.exists())
        throw SourceError(QStringLiteral("%1: no such folder").arg(dir));
    Library lib;
    const QStringList files = d.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name);
    for (const QString &name : files) {
        QFile f(d.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            throw SourceError(located(f.fileName(), 0, QStringLiteral("cannot read: %1").arg(f.errorString())));
        lib.folders << parseSourceFile(f.fileName(), f.readAll());
    }
    std::stable_sort(lib.folders.begin(), lib.folders.end(),
                     [](const Folder &a, const Folder &b) { return a.order < b.order; });
    for (int i = 1; i < lib.folders.size(); ++i) {
        if (lib.folders.at(i).order == lib.folders.at(i - 1).order)
            throw SourceError(QStringLiteral("%1: two files have the order number %2")
                                  .arg(dir)
                                  .arg(lib.folders.at(i).order));
        if (lib.folders.at(i).path == lib.folders.at(i - 1).path)
            throw SourceError(QStringLiteral("%1: two files name the folder %2")
                                  .arg(dir, lib.folders.at(i).path.join(kTitleMark)));
    }
    if (lib.folders.isEmpty())
        throw SourceError(QStringLiteral("%1: no library source files (*.txt)").arg(dir));
    return lib;
}

QString sourceFileName(const Folder &folder)
{
    return QStringLiteral("%1-%2.txt").arg(folder.order, 3, 10, QLatin1Char('0')).arg(folder.path.join(kTitleMark));
}

QByteArray sourceFileText(const Folder &folder)
{
    QString out;
    for (const QString &n : folder.notes)
        out += n + QLatin1Char('\n');
    for (const Entry &e : folder.entries) {
        out += kTitleMark + e.title + QLatin1Char('\n');
        if (!e.type.isEmpty())
            out += kAttributeMark + kTypeAttribute + QChar(0xFF1A) + e.type + QLatin1Char('\n');
        out += e.text + QLatin1Char('\n');
    }
    return out.toUtf8();
}

void writeSourceFolder(const Library &library, const QString &dir)
{
    if (!QDir().mkpath(dir))
        throw SourceError(QStringLiteral("%1: cannot create the folder").arg(dir));
    for (const Folder &folder : library.folders) {
        if (folder.entries.isEmpty() && folder.notes.isEmpty())
            continue;
        QFile f(QDir(dir).filePath(sourceFileName(folder)));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(sourceFileText(folder)) < 0)
            throw SourceError(QStringLiteral("%1: cannot write: %2").arg(f.fileName(), f.errorString()));
    }
}

} // namespace libtool
