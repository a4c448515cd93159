#pragma once

#include "book/TreeNodeInfo.h"
#include "book/TreeView.h"
#include "frame/Dialog.h"

#include <QModelIndex>
#include <QString>

class QAction;
class QDialogButtonBox;
class QListView;
class QPlainTextEdit;
class QSplitter;
class QStandardItem;
class QStandardItemModel;
class QToolButton;

// The author's folders and materials: folders added, renamed, moved by drag and drop and
// deleted; materials typed, edited, deleted, exported and imported. Every write goes through
// UserMaterialStore; the tree and the list show what it stored.
class UserMaterialManageDialog : public Dialog
{
    Q_OBJECT
public:
    // An in-place folder rename by the author: stored, or the old title put back (a blank name
    // or a failure, with its message). quiet is raised while the item is set back.
    static void renameFolderItem(QStandardItem *item, bool &quiet);
    explicit UserMaterialManageDialog(QWidget *parent = nullptr);
    ~UserMaterialManageDialog() override;

    TreeView *treeView() const { return m_treeView; }
    QListView *listView() const { return m_listView; }
    QPlainTextEdit *plainTextEdit() const { return m_plainTextEdit; }
    QStandardItemModel *treeModel() const { return m_treeModel; }
    QStandardItemModel *listModel() const { return m_listModel; }
    QAction *action(const QString &name) const;

    // Rebuilds the folder tree; the folder with currentId (else the first) becomes current.
    void loadTree(const QString &currentId = QString());
    // Reloads the current folder's materials; the one with materialId (else the first) is current.
    void loadList(const QString &materialId = QString());
    QString currentFolderId() const;
    QString currentMaterialId() const;
    QStringList checkedMaterialIds() const;
    // Moves the current folder as a drop on index at position would.
    void dropCurrentOn(const QModelIndex &index, TreeView::DropIndicatorPosition position);
    void refreshButtons();

public slots:
    void treeViewCurrentChanged(const QModelIndex &current, const QModelIndex &previous);
    void treeViewItemChanged(QStandardItem *item);
    void listViewCurrentChanged(const QModelIndex &current, const QModelIndex &previous);
    void treeViewDragMove(QDragMoveEvent *event, QModelIndex index, TreeView::DropIndicatorPosition position);
    void treeViewDrop(QDropEvent *event, QModelIndex index, TreeView::DropIndicatorPosition position);
    void on_actionUserMaterialAddTreeNode_triggered();
    void on_actionUserMaterialAddTreeChildNode_triggered();
    void on_actionUserMaterialAddTreeSameLevelNode_triggered();
    void on_actionUserMaterialDelTreeNode_triggered();
    void on_actionUserMaterialAddSelection_triggered();
    void on_actionUserMaterialAddContent_triggered();
    void on_actionUserMaterialRenameNode_triggered();
    void on_actionUserMaterialImport_triggered();
    void on_actionUserMaterialExport_triggered();
    void on_actionUserMaterialNew_triggered();
    void on_actionUserMaterialEdit_triggered();
    void on_actionUserMaterialRecentDeleted_triggered();
    void on_actionCheckAll_triggered();
    void on_actionCheckInvert_triggered();
    void on_actionCheckNone_triggered();

protected:
    bool event(QEvent *event) override;

private:
    void addFolder(const QString &parentId, QStandardItem *parentItem);
    QStandardItem *findFolderItem(const QString &id) const;
    void setCheckStates(int mode); // 0 none, 1 all, 2 invert
    void editMaterial(const QString &id);

    QWidget *m_widgetToolbar;
    QSplitter *m_splitter;
    TreeView *m_treeView;
    QWidget *m_widget;
    QListView *m_listView;
    QPlainTextEdit *m_plainTextEdit;
    QDialogButtonBox *m_buttonBox;
    QStandardItemModel *m_treeModel;
    QStandardItemModel *m_listModel;
    TreeNodeList m_treeRecords;
    TreeNodeList m_listRecords;
    bool m_loading = false;
    QString m_exportFolder;
    QString m_importFolder;
};
