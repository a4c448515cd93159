#pragma once

#include "frame/Dialog.h"
#include "material/UserMaterialStore.h"

#include <QString>

class QListWidget;
class QPushButton;

// "最近删除": the author's latest deletions of user-material folders and materials, one entry per
// deletion, and 恢复 to bring the chosen ones back.
class DeletedMaterialsDialog : public Dialog
{
    Q_OBJECT
public:
    explicit DeletedMaterialsDialog(QWidget *parent = nullptr);

    QListWidget *listWidget() const { return m_list; }
    // Where the last entry brought back is, for the caller to show: its folder (the entry itself
    // or a material's folder) and the material; empty when nothing was restored.
    QString restoredFolderId() const { return m_restoredFolderId; }
    QString restoredMaterialId() const { return m_restoredMaterialId; }
    void reload();

public slots:
    void restoreSelected();

private:
    QVector<UserMaterialStore::Deleted> m_entries; // one per list row
    QListWidget *m_list;
    QPushButton *m_restore;
    QString m_restoredFolderId;
    QString m_restoredMaterialId;
};
