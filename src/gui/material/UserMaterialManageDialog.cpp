#include "material/UserMaterialManageDialog.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/BookTree.h"
#include "frame/Frames.h"
#include "log/Log.h"
#include "material/DeletedMaterialsDialog.h"
#include "material/MaterialEditDialog.h"
#include "material/MaterialList.h"
#include "material/MaterialTransfer.h"
#include "material/UserMaterialStore.h"

#include <QAction>
#include <QDebug>
#include <QDialogButtonBox>
#include <QDropEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QListView>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSplitter>
#include <QStandardItemModel>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

struct ActionEntry {
    const char *name;
    const char *text;
    const char *icon;
};

const ActionEntry kActions[] = {
    {"actionUserMaterialAddTreeNode", "增加用户素材根目录", ":/res/icons/addrootnode01.png"},
    {"actionUserMaterialAddTreeChildNode", "增加用户素材子目录", ":/res/icons/addchildnode01.png"},
    {"actionUserMaterialAddTreeSameLevelNode", "增加用户素材同层目录", ":/res/icons/addsamelevelnode01.png"},
    {"actionUserMaterialDelTreeNode", "删除用户素材目录/素材", ":/res/icons/delete03.png"},
    {"actionUserMaterialAddSelection", "选择文本添加用户素材", nullptr},
    {"actionUserMaterialAddContent", "当前文档添加用户素材", nullptr},
    {"actionUserMaterialRenameNode", "重命名", ":/res/icons/rename01.png"},
    {"actionUserMaterialImport", "导入", ":/res/icons/import01.png"},
    {"actionUserMaterialExport", "导出", ":/res/icons/export01.png"},
    {"actionUserMaterialNew", "新增用户素材", ":/res/icons/new06.png"},
    {"actionUserMaterialEdit", "编辑用户素材", ":/res/icons/edit02.png"},
    {"actionCheckAll", "全选", nullptr},
    {"actionCheckInvert", "反选", nullptr},
    {"actionCheckNone", "不选", nullptr},
    {"actionUserMaterialRecentDeleted", "最近删除", nullptr},
};

// The add-from-editor actions belong to the main window: here they have no button.
bool onToolbar(const QString &name)
{
    return name != QLatin1String("actionUserMaterialAddSelection") &&
           name != QLatin1String("actionUserMaterialAddContent");
}

} // namespace

UserMaterialManageDialog::UserMaterialManageDialog(QWidget *parent) : Dialog(parent)
{
    setObjectName(QStringLiteral("UserMaterialManageDialog"));
    setWindowTitle(QStringLiteral("用户素材管理"));
    setWindowIcon(QIcon(QStringLiteral(":/res/icons/bookmark02.png")));
    resize(900, 600);

    m_widgetToolbar = new QWidget(this);
    m_widgetToolbar->setObjectName(QStringLiteral("widgetToolbar"));
    auto *toolLayout = new QHBoxLayout(m_widgetToolbar);
    toolLayout->setContentsMargins(0, 0, 0, 0);
    toolLayout->setSpacing(2);
    for (const ActionEntry &entry : kActions) {
        auto *action = new QAction(QString::fromUtf8(entry.text), this);
        action->setObjectName(QLatin1String(entry.name));
        if (entry.icon)
            action->setIcon(QIcon(QLatin1String(entry.icon)));
        addAction(action);
        if (!onToolbar(action->objectName()))
            continue;
        // Set apart from the list's check actions at the far end.
        if (action->objectName() == QLatin1String("actionUserMaterialRecentDeleted"))
            toolLayout->addStretch(1);
        auto *button = new QToolButton(m_widgetToolbar);
        button->setObjectName(QStringLiteral("toolButton") + action->objectName().mid(6));
        button->setDefaultAction(action);
        // Icons alone (the text is the tool tip): with their texts beside them the row made the
        // dialog wider than a 1,280-pixel screen.
        button->setToolButtonStyle(entry.icon ? Qt::ToolButtonIconOnly : Qt::ToolButtonTextOnly);
        button->setAutoRaise(true);
        toolLayout->addWidget(button);
    }
    action(QStringLiteral("actionUserMaterialDelTreeNode"))->setToolTip(QStringLiteral("删除选择的用户素材目录/素材"));

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("splitter"));
    m_treeView = new TreeView(m_splitter);
    m_treeView->setObjectName(QStringLiteral("treeView"));
    m_treeView->setHeaderHidden(true);
    m_treeView->setDragEnabled(true);
    m_treeView->setAcceptDrops(true);
    m_treeView->setDropIndicatorShown(true);
    m_treeView->setDragDropMode(QAbstractItemView::InternalMove);
    m_treeView->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    m_widget = new QWidget(m_splitter);
    m_widget->setObjectName(QStringLiteral("widget"));
    auto *rightLayout = new QVBoxLayout(m_widget);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    m_listView = new QListView(m_widget);
    m_listView->setObjectName(QStringLiteral("listView"));
    m_listView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_listView->setUniformItemSizes(true);
    m_listView->setTextElideMode(Qt::ElideRight);
    m_plainTextEdit = new QPlainTextEdit(m_widget);
    m_plainTextEdit->setObjectName(QStringLiteral("plainTextEdit"));
    m_plainTextEdit->setReadOnly(true);
    rightLayout->addWidget(m_listView, 1);
    rightLayout->addWidget(m_plainTextEdit, 1);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 2);

    m_buttonBox = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_buttonBox->setObjectName(QStringLiteral("buttonBox"));
    m_buttonBox->button(QDialogButtonBox::Close)->setText(QStringLiteral("关闭"));
    connect(m_buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_widgetToolbar);
    layout->addWidget(m_splitter, 1);
    layout->addWidget(m_buttonBox);

    m_treeModel = new QStandardItemModel(this);
    m_listModel = new QStandardItemModel(this);
    m_treeView->setModel(m_treeModel);
    m_listView->setModel(m_listModel);
    connect(m_treeView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &UserMaterialManageDialog::treeViewCurrentChanged);
    connect(m_listView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &UserMaterialManageDialog::listViewCurrentChanged);
    connect(m_treeModel, &QStandardItemModel::itemChanged, this, &UserMaterialManageDialog::treeViewItemChanged);
    connect(m_treeView, &TreeView::signalDragMove, this, &UserMaterialManageDialog::treeViewDragMove);
    connect(m_treeView, &TreeView::signalDrop, this, &UserMaterialManageDialog::treeViewDrop);
    connect(m_listView, &QAbstractItemView::doubleClicked, this,
            &UserMaterialManageDialog::on_actionUserMaterialEdit_triggered);
    QMetaObject::connectSlotsByName(this);

    loadTree();
}

UserMaterialManageDialog::~UserMaterialManageDialog()
{
    // Items go before their records.
    m_listModel->clear();
    m_treeModel->clear();
}

QAction *UserMaterialManageDialog::action(const QString &name) const { return findChild<QAction *>(name); }

void UserMaterialManageDialog::loadTree(const QString &currentId)
{
    PerformanceLogger perf(QStringLiteral("读取用户素材目录"));
    {
        // Appending items with their records attached fires itemChanged: not a rename.
        QScopedValueRollback<bool> loading(m_loading, true);
        m_listModel->clear();
        m_listRecords.clear();
        buildTreeLevel(readTreeRows(material::userMaterialTreeSql()), m_treeModel, nullptr, QString(), m_treeRecords);
    }
    QStandardItem *item = findFolderItem(currentId);
    if (!item && m_treeModel->rowCount() > 0)
        item = m_treeModel->item(0);
    if (item) {
        m_treeView->setCurrentIndex(item->index());
        m_treeView->scrollTo(item->index());
    } else {
        m_plainTextEdit->clear();
    }
    refreshButtons();
}

QStandardItem *UserMaterialManageDialog::findFolderItem(const QString &id) const
{
    if (id.isEmpty())
        return nullptr;
    QVector<QStandardItem *> stack{m_treeModel->invisibleRootItem()};
    while (!stack.isEmpty()) {
        QStandardItem *parent = stack.takeLast();
        for (int r = 0; r < parent->rowCount(); ++r) {
            QStandardItem *child = parent->child(r);
            const TreeNodeInfo *info = TreeNodeInfo::of(child);
            if (info && info->id == id)
                return child;
            if (child->hasChildren())
                stack.append(child);
        }
    }
    return nullptr;
}

QString UserMaterialManageDialog::currentFolderId() const
{
    const TreeNodeInfo *info = TreeNodeInfo::of(m_treeView->currentIndex());
    return info ? info->id : QString();
}

QString UserMaterialManageDialog::currentMaterialId() const
{
    const TreeNodeInfo *info = TreeNodeInfo::of(m_listView->currentIndex());
    return info ? info->id : QString();
}

QStringList UserMaterialManageDialog::checkedMaterialIds() const
{
    QStringList ids;
    for (int r = 0; r < m_listModel->rowCount(); ++r) {
        QStandardItem *item = m_listModel->item(r);
        const TreeNodeInfo *info = TreeNodeInfo::of(item);
        if (info && item->checkState() == Qt::Checked)
            ids << info->id;
    }
    return ids;
}

void UserMaterialManageDialog::loadList(const QString &materialId)
{
    m_plainTextEdit->clear();
    m_listModel->clear();
    m_listRecords.clear();
    const TreeNodeInfo *folder = TreeNodeInfo::of(m_treeView->currentIndex());
    if (folder) {
        QueryPtr query = material::runLibraryQuery(material::userMaterialListSql(folder->_type, folder->id));
        const material::MaterialColumns columns(query->record());
        QList<QStandardItem *> items;
        QStandardItem *current = nullptr;
        while (query->next()) {
            TreeNodeInfo *info = m_listRecords.add();
            material::readMaterialRow(*info, *query, columns);
            QStandardItem *item = material::newMaterialItem(info);
            item->setCheckable(true);
            item->setCheckState(Qt::Unchecked);
            if (!materialId.isEmpty() && info->id == materialId)
                current = item;
            items << item;
        }
        if (!items.isEmpty())
            m_listModel->invisibleRootItem()->appendRows(items);
        if (!current && !items.isEmpty())
            current = items.first();
        if (current)
            m_listView->setCurrentIndex(current->index());
    }
    refreshButtons();
}

void UserMaterialManageDialog::treeViewCurrentChanged(const QModelIndex &current, const QModelIndex &)
{
    if (current.isValid())
        loadList();
    refreshButtons();
}

void UserMaterialManageDialog::listViewCurrentChanged(const QModelIndex &current, const QModelIndex &)
{
    if (!current.isValid())
        return;
    m_plainTextEdit->clear();
    if (const TreeNodeInfo *info = TreeNodeInfo::of(current))
        m_plainTextEdit->setPlainText(material::displayText(*info));
    refreshButtons();
}

void UserMaterialManageDialog::treeViewItemChanged(QStandardItem *item)
{
    if (!m_loading)
        renameFolderItem(item, m_loading);
}

void UserMaterialManageDialog::renameFolderItem(QStandardItem *item, bool &quiet)
{
    TreeNodeInfo *info = TreeNodeInfo::of(item);
    if (!info || item->text() == info->title)
        return;
    auto restore = [&quiet, item, info]() {
        QScopedValueRollback<bool> guard(quiet, true);
        item->setText(info->title);
    };
    try {
        if (!UserMaterialStore::renameFolder(info->id, item->text())) {
            restore();
            return;
        }
    } catch (const Exception &e) {
        restore();
        g_App.showError(e.message());
        return;
    }
    info->title = item->text();
}

void UserMaterialManageDialog::treeViewDragMove(QDragMoveEvent *event, QModelIndex index,
                                                TreeView::DropIndicatorPosition position)
{
    qDebug() << "drag move" << event->pos() << index << m_treeView->currentIndex() << position;
}

void UserMaterialManageDialog::treeViewDrop(QDropEvent *event, QModelIndex index, TreeView::DropIndicatorPosition position)
{
    // The view never moves items itself: the tree is rebuilt from what the store wrote.
    event->setDropAction(Qt::IgnoreAction);
    event->ignore();
    if (event->source() != m_treeView)
        return;
    dropCurrentOn(index, position);
}

void UserMaterialManageDialog::dropCurrentOn(const QModelIndex &index, TreeView::DropIndicatorPosition position)
{
    // A drop on the empty area has no target folder.
    if (position == TreeView::OnViewport || !index.isValid())
        return;
    const QString dragged = currentFolderId();
    const TreeNodeInfo *target = TreeNodeInfo::of(index);
    if (dragged.isEmpty() || !target)
        return;
    const UserMaterialStore::Drop drop = position == TreeView::OnItem    ? UserMaterialStore::Drop::OnItem
                                         : position == TreeView::AboveItem ? UserMaterialStore::Drop::Above
                                                                           : UserMaterialStore::Drop::Below;
    try {
        if (!UserMaterialStore::moveFolder(dragged, target->id, drop))
            return;
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return;
    }
    loadTree(dragged);
}

void UserMaterialManageDialog::addFolder(const QString &parentId, QStandardItem *parentItem)
{
    UserMaterialStore::Folder folder;
    try {
        folder = UserMaterialStore::addFolder(parentId);
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return;
    }
    TreeRows rows;
    rows.hasType = true;
    TreeRow row;
    row.id = folder.id;
    row.pID = folder.pID;
    row.title = folder.title;
    row.nodeType = QStringLiteral("2");
    row.type = QStringLiteral("UserMaterial");
    rows.rows.append(row);
    QStandardItem *item = nullptr;
    {
        QScopedValueRollback<bool> loading(m_loading, true);
        item = createTreeItem(rows, 0, m_treeRecords);
        (parentItem ? parentItem : m_treeModel->invisibleRootItem())->appendRow(item);
    }
    m_treeView->setCurrentIndex(item->index());
    m_treeView->scrollTo(item->index());
    // The author names it at once.
    m_treeView->edit(item->index());
}

void UserMaterialManageDialog::on_actionUserMaterialAddTreeNode_triggered() { addFolder(QString(), nullptr); }

void UserMaterialManageDialog::on_actionUserMaterialAddTreeChildNode_triggered()
{
    QStandardItem *current = m_treeModel->itemFromIndex(m_treeView->currentIndex());
    const TreeNodeInfo *info = TreeNodeInfo::of(current);
    if (!info)
        addFolder(QString(), nullptr);
    else
        addFolder(info->id, current);
}

void UserMaterialManageDialog::on_actionUserMaterialAddTreeSameLevelNode_triggered()
{
    QStandardItem *current = m_treeModel->itemFromIndex(m_treeView->currentIndex());
    QStandardItem *parent = current ? current->parent() : nullptr;
    const TreeNodeInfo *info = TreeNodeInfo::of(parent);
    if (!info)
        addFolder(QString(), nullptr);
    else
        addFolder(info->id, parent);
}

void UserMaterialManageDialog::on_actionUserMaterialDelTreeNode_triggered()
{
    const QStringList checked = checkedMaterialIds();
    try {
        if (checked.isEmpty()) {
            QStandardItem *item = m_treeModel->itemFromIndex(m_treeView->currentIndex());
            const TreeNodeInfo *info = TreeNodeInfo::of(item);
            if (!info)
                return;
            // The question names all that goes: a folder takes its whole subtree with it.
            const UserMaterialStore::Contents below = UserMaterialStore::liveContents(info->id);
            if (g_App.ask(QStringLiteral("删除文件夹<%1>及其下 %2 个文件夹、%3 条素材？")
                              .arg(item->text())
                              .arg(below.folders)
                              .arg(below.materials),
                          Ink::mbYes | Ink::mbNo) != Ink::maYes)
                return;
            UserMaterialStore::deleteFolder(info->id);
            QStandardItem *parent = item->parent() ? item->parent() : m_treeModel->invisibleRootItem();
            parent->removeRow(item->row());
            if (!m_treeView->currentIndex().isValid())
                loadList();
        } else {
            if (g_App.ask(QStringLiteral("确定删除选择的用户素材吗？"), Ink::mbYes | Ink::mbNo) != Ink::maYes)
                return;
            UserMaterialStore::deleteMaterials(checked);
            loadList();
        }
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    refreshButtons();
}

void UserMaterialManageDialog::on_actionUserMaterialAddSelection_triggered() {}
void UserMaterialManageDialog::on_actionUserMaterialAddContent_triggered() {}

void UserMaterialManageDialog::on_actionUserMaterialRenameNode_triggered()
{
    if (m_treeView->currentIndex().isValid())
        m_treeView->edit(m_treeView->currentIndex());
}

void UserMaterialManageDialog::on_actionUserMaterialImport_triggered()
{
    const QString folderId = currentFolderId();
    const QString materialId = currentMaterialId();
    MaterialTransfer::importFolder(folderId, m_importFolder, [&]() {
        loadTree(folderId);
        loadList(materialId);
    });
}

void UserMaterialManageDialog::on_actionUserMaterialExport_triggered()
{
    MaterialTransfer::exportFolder(currentFolderId(), m_exportFolder);
}

void UserMaterialManageDialog::editMaterial(const QString &id)
{
    const QString folderId = currentFolderId();
    if (folderId.isEmpty())
        return;
    QPointer<MaterialEditDialog> dialog = new MaterialEditDialog(this);
    dialog->setParentId(folderId);
    dialog->setMaterialId(id);
    const int result = Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable);
    const bool saved = dialog ? dialog->doneCode() == QDialog::Accepted : result == QDialog::Accepted;
    delete dialog.data();
    if (saved || !id.isEmpty())
        loadList(saved ? MaterialEditDialog::materialId() : id);
}

void UserMaterialManageDialog::on_actionUserMaterialNew_triggered() { editMaterial(QString()); }

void UserMaterialManageDialog::on_actionUserMaterialEdit_triggered()
{
    const QString id = currentMaterialId();
    if (!id.isEmpty())
        editMaterial(id);
}

void UserMaterialManageDialog::on_actionUserMaterialRecentDeleted_triggered()
{
    QPointer<DeletedMaterialsDialog> dialog = new DeletedMaterialsDialog(this);
    Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable);
    const QString folderId = dialog ? dialog->restoredFolderId() : QString();
    const QString materialId = dialog ? dialog->restoredMaterialId() : QString();
    delete dialog.data();
    // What came back is shown: the restored folder, or a restored material in its folder.
    if (!folderId.isEmpty()) {
        loadTree(folderId);
        loadList(materialId);
    }
}

void UserMaterialManageDialog::setCheckStates(int mode)
{
    {
        // One repaint for the whole list, not one itemChanged per row.
        const QSignalBlocker blocker(m_listModel);
        for (int r = 0; r < m_listModel->rowCount(); ++r) {
            QVector<QStandardItem *> stack{m_listModel->item(r)};
            while (!stack.isEmpty()) {
                QStandardItem *item = stack.takeLast();
                Qt::CheckState state = Qt::Unchecked;
                if (mode == 1)
                    state = Qt::Checked;
                else if (mode == 2)
                    state = item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked;
                item->setCheckState(state);
                for (int c = 0; c < item->rowCount(); ++c)
                    stack.append(item->child(c));
            }
        }
    }
    m_listView->viewport()->update();
}

void UserMaterialManageDialog::on_actionCheckAll_triggered() { setCheckStates(1); }
void UserMaterialManageDialog::on_actionCheckInvert_triggered() { setCheckStates(2); }
void UserMaterialManageDialog::on_actionCheckNone_triggered() { setCheckStates(0); }

bool UserMaterialManageDialog::event(QEvent *event)
{
    const bool result = Dialog::event(event);
    // Renaming follows whether the window is active.
    if (event->type() == QEvent::WindowActivate || event->type() == QEvent::WindowDeactivate)
        refreshButtons();
    return result;
}

void UserMaterialManageDialog::refreshButtons()
{
    QStandardItem *folder = m_treeModel->itemFromIndex(m_treeView->currentIndex());
    const bool folderSelected = folder != nullptr;
    const bool materialSelected = m_listView->currentIndex().isValid();
    const bool listHasRows = m_listModel->rowCount() > 0;
    action(QStringLiteral("actionUserMaterialAddTreeChildNode"))->setEnabled(folderSelected);
    action(QStringLiteral("actionUserMaterialNew"))->setEnabled(folderSelected);
    action(QStringLiteral("actionUserMaterialEdit"))->setEnabled(materialSelected);
    action(QStringLiteral("actionUserMaterialDelTreeNode"))
        ->setEnabled(listHasRows || (folderSelected && !folder->hasChildren()));
    action(QStringLiteral("actionUserMaterialRenameNode"))->setEnabled(m_treeView->isActiveWindow() && folderSelected);
}
