#pragma once

#include "storage/FileTransfer.h"

#include <QString>
#include <QStringList>

#include <functional>

// The live materials below a folder, one flat file each, named by the "＃"-joined title path
// from that folder down.
class MaterialExport final : public ExportAbs
{
public:
    void setFolder(const QString &folder) { setPath(folder); }
    void setRootId(const QString &id) { setStartId(id); }
    void run() { exportFiles(); }

protected:
    void writeFiles() override;
};

// The "*.txt" files of a folder below a user-material folder, in name order, each all or
// nothing: the folders of its title path are found (a deleted one revived) or created, the last
// part is the material that takes the text. Files over the material limits fail and are listed.
class MaterialImport final : public ImportAbs
{
public:
    void setFolder(const QString &folder) { setPath(folder); }
    void setRootId(const QString &id) { setStartId(id); }
    void run() { importFiles(); }
    QStringList failedFiles() const { return failed(); }
    // A database failure ends the run with the Exception; the files before it stay imported.
    void importFiles() override;

private:
    bool readFile(const QString &filePath, QStringList *titles, QString *text, QString *reason) override;
    void writeFile(const QStringList &titles, const QString &text) override;
    // The child of parent with that title (a live one first), or empty; *live says whether it is.
    QString findNode(const QString &category, const QString &title, const QString &parent, bool *live);
    // True when the file's title path leads to a live material, which the import replaces.
    bool replacesLiveMaterial(const QStringList &titles);

    int m_rootLevel = 0;
    int m_added = 0; // materials the run has made or brought back
};

// The dialog's two commands, with their questions and messages through g_App.
namespace MaterialTransfer {

// Exports rootId's materials to a folder the author chooses (folder: where the chooser starts,
// and the folder chosen).
void exportFolder(const QString &rootId, QString &folder);
// Imports a folder the author chooses below rootId; reload runs after the files, also after a
// failure. False when nothing was imported because the author stopped it.
bool importFolder(const QString &rootId, QString &folder, const std::function<void()> &reload);

} // namespace MaterialTransfer
