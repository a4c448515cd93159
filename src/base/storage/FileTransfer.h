#pragma once

#include "storage/TextFiles.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Trees written out as a flat folder of text files and read back: one file per node, named by
// the node's title path. Shared by the book and the user-material export and import.

// U+FF03, the full-width number sign between the titles of a path. A title holding it cannot
// come back as one title.
QChar titleSeparator();
// Each of \ / : * ? " < > | becomes its full-width form (code + 0xFEE0), so that the name is
// the same on every system and on FAT/exFAT sticks.
QString sanitizeFileName(const QString &name);
// The titles a file name stands for: the name without its final ".txt" (other dots belong to
// the titles), in NFC (names from other systems may be NFD), split at the separator.
QStringList titlesOfFileName(const QString &fileName);

class ExportAbs
{
public:
    virtual ~ExportAbs();

    // The folder; a separator is added when missing.
    void setPath(const QString &folder);
    QString path() const { return m_path; }
    void setStartId(const QString &id) { m_startId = id; }
    QString startId() const { return m_startId; }
    // Files written by the last run.
    int count() const { return m_count; }
    // Nodes written under another name, because a node before them in this run had theirs:
    // "title path → file name".
    QStringList renamed() const { return m_renamed; }
    // Nodes whose file could not be written, by title path (the reason is in the "err" log).
    QStringList failed() const { return m_failed; }
    // The message listing renamed and failed nodes; empty when there were none.
    QString problemsText() const;

    // Writes the files anew; throws Exception when the tree cannot be read (the files written
    // before that stay).
    void exportFiles();

protected:
    virtual void writeFiles() = 0;
    // Queues one node's text under its title path; it counts once it reached the disk.
    void writeNode(const QStringList &titles, const QString &text);

private:
    QString m_path;
    QString m_startId;
    int m_count = 0;
    QStringList m_renamed;
    QStringList m_failed;
    QSet<QString> m_usedNames; // case-folded: FAT and exFAT do not tell "A" from "a"
    std::unique_ptr<TextFiles::Batch> m_batch;
    QStringList m_batchTitles; // the title path of each file in the batch
    void commitBatch();
};

class ImportAbs
{
public:
    virtual ~ImportAbs();

    void setPath(const QString &folder);
    QString path() const { return m_path; }
    // Empty: import at the root.
    void setStartId(const QString &id) { m_startId = id; }
    QString startId() const { return m_startId; }
    // Files imported by the last run.
    int count() const { return m_count; }
    // Full paths of the files that failed.
    QStringList failed() const { return m_failed; }

    virtual void importFiles() = 0;

protected:
    void reset();
    void addImported() { ++m_count; }
    // Lists the file; the reason goes to the "err" log.
    void addFailed(const QString &filePath, const QString &reason);
    // Imports files in batches: one transaction for up to 200 files or half a second, each file
    // behind a savepoint of its own, so a failing file leaves nothing behind, the disk syncs once
    // a batch and the connection lock is never held for long. refuse(file) may name why a file is
    // not taken. A database failure ends the run with its Exception; the files of committed
    // batches stay imported.
    void importBatched(const QStringList &files, const std::function<QString(const QString &file)> &refuse = {});
    // The file's titles and text; false with *reason when it cannot be imported.
    virtual bool readFile(const QString &filePath, QStringList *titles, QString *text, QString *reason) = 0;
    // Finds or creates the nodes of the title path; the last takes the text. Throws Exception.
    virtual void writeFile(const QStringList &titles, const QString &text) = 0;

private:
    QString m_path;
    QString m_startId;
    int m_count = 0;
    QStringList m_failed;
};
