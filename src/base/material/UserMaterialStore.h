#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// Every write to the author's own materials in MemoTree: folders ("Tree", NodeType 2) and
// materials ("Content", NodeType 3). Each call is one transaction, stamps the rows it touches
// like prepareRecord (Updated, Flag, Usn 0, Synced 0) and throws Exception with the user's
// message on failure, leaving nothing half written.
namespace UserMaterialStore {

extern const char *const newFolderTitle;

struct Folder {
    QString id;
    QString pID;
    QString title;
    int level = 0;
    double sort = 0;
};

// Adds a folder named newFolderTitle under parentId (empty: top level) after its live siblings,
// and returns the row as stored. Refused below a folder at the deepest folder level.
Folder addFolder(const QString &parentId);

// Saves a material: a new one (empty id) goes last into parentId; an existing one takes the new
// title and text. Returns the material's id. Refuses a text over the material limit, a blank or
// too long title, a new material below the deepest level and an id without a row.
QString saveMaterial(const QString &id, const QString &parentId, const QString &title, const QString &text);

// Stores a folder's new title; false when the row is gone. A blank or too long title is refused.
bool renameFolder(const QString &id, const QString &title);

// Marks the folder and everything live below it deleted and renumbers its former siblings.
// Returns the number of rows marked (0 when the folder is gone).
int deleteFolder(const QString &id);

// Marks the materials deleted and renumbers the materials left in their folders.
void deleteMaterials(const QStringList &ids);

struct Contents {
    int folders = 0;
    int materials = 0;
};
// The live folders and materials below a folder, the folder itself not counted.
Contents liveContents(const QString &folderId);

// One deletion as the author made it: a folder with what went with it, or a material.
struct Deleted {
    QString id;
    QString pID;
    QString title;
    bool folder = false;
    QString deleted; // the Updated stamp the deletion wrote
    Contents contents; // what comes back with a folder
};
// The latest deletions, newest first. Rows marked by one deletion share its stamp, so a folder
// is listed once, with what was deleted with it; a material deleted alone is its own entry.
QVector<Deleted> recentlyDeleted(int limit = 200);

// Brings a deletion back: the row, what was deleted with it, and the deleted folders above it
// (without their other contents) so that it can be reached; all stamped for upload. Returns the
// number of rows restored (0 when the row is not deleted).
int restoreDeleted(const QString &id);

// Whether candidateId is folderId or lies below it (a damaged parent chain that loops ends).
bool isSelfOrDescendant(const QString &folderId, const QString &candidateId);

enum class Drop { OnItem, Above, Below };
// Moves a folder onto (last child), above or below targetId, renumbers the folders of the new
// and the old parent and repairs the levels below. A target inside the moved folder's own
// subtree is refused: false, nothing written; a move that takes rows below the deepest level
// throws.
bool moveFolder(const QString &id, const QString &targetId, Drop drop);

} // namespace UserMaterialStore
