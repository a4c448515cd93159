#include "material/UserMaterialController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "frame/Frames.h"
#include "material/MaterialBrowser.h"
#include "material/MaterialEditDialog.h"
#include "material/UserMaterialManageDialog.h"
#include "material/UserMaterialStore.h"

#include <QListView>
#include <QPointer>
#include <QScopedValueRollback>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTreeView>

UserMaterialController::UserMaterialController(MaterialBrowser *browser, QObject *parent)
    : QObject(parent), m_browser(browser)
{
    connect(m_browser->userMaterialTreeModel(), &QStandardItemModel::itemChanged, this,
            &UserMaterialController::treeViewUserMaterialItemChanged);
}

QString UserMaterialController::currentFolderId() const
{
    const QTreeView *view = m_browser->widgets().treeViewUserMaterial;
    const TreeNodeInfo *info = view ? TreeNodeInfo::of(view->currentIndex()) : nullptr;
    return info ? info->id : QString();
}

QString UserMaterialController::currentMaterialId() const
{
    const QListView *view = m_browser->widgets().listViewMaterial;
    const TreeNodeInfo *info = view ? TreeNodeInfo::of(view->currentIndex()) : nullptr;
    return info && info->_type == QLatin1String("UserMaterial") ? info->id : QString();
}

void UserMaterialController::selectMaterial(const QString &materialId)
{
    QListView *list = m_browser->widgets().listViewMaterial;
    QStandardItemModel *model = m_browser->materialListModel();
    if (!list || materialId.isEmpty())
        return;
    for (int r = 0; r < model->rowCount(); ++r) {
        const TreeNodeInfo *info = TreeNodeInfo::of(model->item(r));
        if (info && info->id == materialId) {
            list->setCurrentIndex(model->index(r, 0));
            list->scrollTo(model->index(r, 0));
            return;
        }
    }
}

void UserMaterialController::addFromEditor(bool selectionOnly)
{
    const MaterialBrowser::Widgets &w = m_browser->widgets();
    if (w.tabWidgetMaterial && w.treeViewUserMaterial) {
        for (int i = 0; i < w.tabWidgetMaterial->count(); ++i) {
            if (w.tabWidgetMaterial->widget(i)->isAncestorOf(w.treeViewUserMaterial))
                w.tabWidgetMaterial->setCurrentIndex(i);
        }
    }
    QString content;
    if (w.textEditor)
        content = selectionOnly ? w.textEditor->textCursor().selection().toPlainText() : w.textEditor->toPlainText();
    QPointer<MaterialEditDialog> dialog = new MaterialEditDialog(w.textEditor ? w.textEditor->window() : nullptr);
    dialog->setMaterialId(QString());
    dialog->setParentId(currentFolderId());
    dialog->setContent(content);
    Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable);
    delete dialog.data();
    const TreeNodeInfo *folder = w.treeViewUserMaterial ? TreeNodeInfo::of(w.treeViewUserMaterial->currentIndex()) : nullptr;
    if (!folder)
        return;
    m_browser->loadUserMaterialList(folder);
    selectMaterial(MaterialEditDialog::materialId());
}

void UserMaterialController::manage()
{
    const QString folderId = currentFolderId();
    const QString materialId = currentMaterialId();
    QPointer<UserMaterialManageDialog> dialog = new UserMaterialManageDialog(
        m_browser->widgets().treeViewUserMaterial ? m_browser->widgets().treeViewUserMaterial->window() : nullptr);
    Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable);
    delete dialog.data();
    // Folders may have been deleted, renamed or moved: the tree must not offer what is gone.
    reload(folderId, materialId);
}

void UserMaterialController::reloadAfterSync()
{
    const bool showing = m_browser->isUserMaterialTabShowing();
    const QString folderId = currentFolderId();
    // Nothing was chosen on a hidden tab: the library's list stays as it is.
    if (folderId.isEmpty() && !showing) {
        m_browser->loadTree(QStringLiteral("U"));
        return;
    }
    reload(folderId, showing ? currentMaterialId() : QString(), showing);
}

void UserMaterialController::reload(const QString &folderId, const QString &materialId, bool withList)
{
    QTreeView *view = m_browser->widgets().treeViewUserMaterial;
    m_browser->loadTree(QStringLiteral("U"));
    if (!view)
        return;
    QStandardItemModel *model = m_browser->userMaterialTreeModel();
    QModelIndex found;
    QVector<QStandardItem *> stack{model->invisibleRootItem()};
    while (!stack.isEmpty() && !found.isValid() && !folderId.isEmpty()) {
        QStandardItem *parent = stack.takeLast();
        for (int r = 0; r < parent->rowCount(); ++r) {
            QStandardItem *child = parent->child(r);
            const TreeNodeInfo *info = TreeNodeInfo::of(child);
            if (info && info->id == folderId) {
                found = child->index();
                break;
            }
            if (child->hasChildren())
                stack.append(child);
        }
    }
    if (!found.isValid() && model->rowCount() > 0)
        found = model->index(0, 0);
    if (found.isValid()) {
        m_browser->setCurrentUserFolder(found, withList);
        if (withList)
            selectMaterial(materialId);
    }
}

void UserMaterialController::treeViewUserMaterialItemChanged(QStandardItem *item)
{
    // Building the tree sets every item's text: only an edit by the author is a rename.
    if (!m_restoring && !m_browser->isLoadingTree())
        UserMaterialManageDialog::renameFolderItem(item, m_restoring);
}
