#pragma once

#include <QObject>
#include <QString>

class MaterialBrowser;
class QStandardItem;

// The main window's user-material commands: adding a material from the editor, renaming a
// folder in place, and the management dialog, after which the tree shows what it left.
class UserMaterialController final : public QObject
{
    Q_OBJECT
public:
    explicit UserMaterialController(MaterialBrowser *browser, QObject *parent = nullptr);

    // "选择文本添加用户素材" (selectionOnly) and "当前文档添加用户素材".
    void addFromEditor(bool selectionOnly);
    // "用户素材管理": the dialog, then the tree and list reloaded with the same folder and material.
    void manage();
    // Rebuilds the user-material tree; the folder with folderId and the material with materialId
    // become current again when they are still there (the material list follows with withList).
    void reload(const QString &folderId, const QString &materialId, bool withList = true);
    // After a sync brought rows: the tree rebuilt with the same folder current (the first when
    // it is gone), so adding from the editor still has its folder. Its materials are listed again
    // only while the user-material tab is showing.
    void reloadAfterSync();

public slots:
    void treeViewUserMaterialItemChanged(QStandardItem *item);

private:
    QString currentFolderId() const;
    QString currentMaterialId() const;
    void selectMaterial(const QString &materialId);

    MaterialBrowser *m_browser;
    bool m_restoring = false;
};
