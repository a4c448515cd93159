#pragma once

#include "storage/FileTransfer.h"

#include <QHash>
#include <QString>

#include <functional>

// A node and its live descendants, books and volumes too, one file each; siblings in Sort order.
// A node whose file name was taken earlier in the run is written as "name (2).txt", "name (3).txt"….
class BookExport final : public ExportAbs
{
protected:
    void writeFiles() override;
};

// The "*.txt" files of a folder below the start node (or at the root), each file all or nothing:
// missing nodes of its title path are created, the last one takes the file's text.
class BookImport final : public ImportAbs
{
public:
    // A database failure rolls back the file at hand and ends the run with the Exception; the
    // files before it stay imported.
    void importFiles() override;

private:
    struct Siblings {
        QHash<QString, QString> liveByTitle; // the lowest Sort of each title
        double maxSort = 0;
    };
    bool readFile(const QString &filePath, QStringList *titles, QString *text, QString *reason) override;
    void writeFile(const QStringList &titles, const QString &text) override;
    Siblings &siblingsOf(const QString &parentId);

    int m_baseLevel = 0;
    QString m_rootId;
    // Live children by parent, read once per parent: every file of a volume looks its chapters up.
    QHash<QString, Siblings> m_siblings;
};

// The two commands, with their questions and messages through g_App.
namespace BookTransfer {

// Exports startId's subtree to a folder the author chooses (folder: where the chooser starts,
// and the folder chosen).
void exportNode(const QString &startId, QString &folder);

struct ImportSteps {
    // Before the first file; false ends the import (it showed why).
    std::function<bool()> prepare;
    // After the last file, also after a failure: show what the database now holds.
    std::function<void()> reload;
};
// Imports a folder the author chooses, below currentId or at the root as the author answers.
// False when the author ended it before anything was imported.
bool importFolder(const QString &currentId, QString &folder, const ImportSteps &steps);

} // namespace BookTransfer
