#include "material/MaterialBrowser.h"

#include "app/App.h"
#include "book/BookTree.h"
#include "frame/Frames.h"
#include "log/Log.h"
#include "material/MaterialList.h"
#include "material/MaterialText.h"
#include "storage/Connection.h"
#include "frame/Toast.h"

#include <QAction>
#include <QDateTime>
#include <QEvent>
#include <QFont>
#include <QItemSelectionModel>
#include <QListView>
#include <QPlainTextEdit>
#include <QScopedValueRollback>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTextCharFormat>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>

#include <memory>

MaterialBrowser::MaterialBrowser(const Widgets &widgets, QObject *parent) : QObject(parent), m_w(widgets)
{
    m_materialTreeModel = modelFor(m_w.treeViewMaterial);
    m_userMaterialTreeModel = modelFor(m_w.treeViewUserMaterial);
    m_materialListModel = modelFor(m_w.listViewMaterial);

    // The libraries are read-only: nothing in their views may start an edit. The user-material
    // tree stays editable (its folders are renamed in place).
    for (QAbstractItemView *view : {static_cast<QAbstractItemView *>(m_w.treeViewMaterial),
                                    static_cast<QAbstractItemView *>(m_w.listViewMaterial),
                                    static_cast<QAbstractItemView *>(m_w.listViewSearchMaterial)}) {
        if (view)
            view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    }
    // Folders may hold thousands of materials: equal rows let the list skip measuring each one.
    for (QListView *list : {m_w.listViewMaterial, m_w.listViewSearchMaterial}) {
        if (!list)
            continue;
        list->setUniformItemSizes(true);
        list->installEventFilter(this);
    }

    if (m_w.treeViewMaterial) {
        connect(m_w.treeViewMaterial->selectionModel(), &QItemSelectionModel::currentChanged, this,
                &MaterialBrowser::treeViewMaterialCurrentChanged);
        connect(m_w.treeViewMaterial->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                &MaterialBrowser::treeViewMaterialSelectionChanged);
    }
    if (m_w.treeViewUserMaterial)
        connect(m_w.treeViewUserMaterial->selectionModel(), &QItemSelectionModel::currentChanged, this,
                &MaterialBrowser::treeViewUserMaterialCurrentChanged);
    if (m_w.listViewMaterial) {
        connect(m_w.listViewMaterial->selectionModel(), &QItemSelectionModel::currentChanged, this,
                &MaterialBrowser::listViewMaterialCurrentChanged);
        connect(m_w.listViewMaterial, &QAbstractItemView::doubleClicked, this,
                &MaterialBrowser::listViewMaterialDoubleClicked);
        if (m_w.actionTextInsertSelectMaterial && m_w.actionTextInsertAllMaterial) {
            m_w.listViewMaterial->setContextMenuPolicy(Qt::ActionsContextMenu);
            m_w.listViewMaterial->addAction(m_w.actionTextInsertSelectMaterial);
            m_w.listViewMaterial->addAction(m_w.actionTextInsertAllMaterial);
        }
    }
    if (m_w.plainTextEditMaterialContent) {
        m_w.plainTextEditMaterialContent->setReadOnly(true);
        // Showing a material mostly costs the metrics of characters not shown before; unhinted,
        // they come without running the hinter, about ten times faster. Only this is set: the
        // family and size still follow the window's font.
        QFont unhinted;
        unhinted.setHintingPreference(QFont::PreferNoHinting);
        m_w.plainTextEditMaterialContent->setFont(unhinted);
        connect(m_w.plainTextEditMaterialContent, &QPlainTextEdit::selectionChanged, this,
                &MaterialBrowser::on_plainTextEditMaterialContent_selectionChanged);
    }
    if (m_w.actionTextInsertSelectMaterial && m_w.connectInsertActions)
        connect(m_w.actionTextInsertSelectMaterial, &QAction::triggered, this,
                &MaterialBrowser::on_actionTextInsertSelectMaterial_triggered);
    if (m_w.actionTextInsertAllMaterial && m_w.connectInsertActions)
        connect(m_w.actionTextInsertAllMaterial, &QAction::triggered, this,
                &MaterialBrowser::on_actionTextInsertAllMaterial_triggered);
    refreshMaterialContentToolButtonState();
}

MaterialBrowser::~MaterialBrowser()
{
    // Items go before the records they point to.
    m_contentRecord = nullptr;
    for (QStandardItemModel *model : {m_materialTreeModel.data(), m_userMaterialTreeModel.data(),
                                      m_materialListModel.data()}) {
        if (model)
            model->clear();
    }
}

QStandardItemModel *MaterialBrowser::modelFor(QAbstractItemView *view)
{
    if (!view)
        return new QStandardItemModel(this);
    if (auto *model = qobject_cast<QStandardItemModel *>(view->model()))
        return model;
    auto *model = new QStandardItemModel(this);
    view->setModel(model);
    return model;
}

void MaterialBrowser::loadTree(const QString &kind, bool expand)
{
    QString sql;
    QStandardItemModel *model = nullptr;
    TreeNodeList *list = nullptr;
    QTreeView *view = nullptr;
    if (kind == QLatin1String("M")) {
        sql = material::materialTreeSql();
        model = m_materialTreeModel;
        list = &m_materialTreeRecords;
        view = m_w.treeViewMaterial;
    } else if (kind == QLatin1String("U")) {
        sql = material::userMaterialTreeSql();
        model = m_userMaterialTreeModel;
        list = &m_userMaterialTreeRecords;
        view = m_w.treeViewUserMaterial;
    } else {
        return;
    }
    PerformanceLogger perf(QStringLiteral("读取") + kind);
    TreeRows rows;
    {
        QueryPtr query = material::runLibraryQuery(sql);
        rows = readTreeRows(*query);
    }
    {
        QScopedValueRollback<bool> loading(m_loadingTree, true);
        buildTreeLevel(rows, model, nullptr, QString(), *list);
    }
    if (expand && view)
        view->expandAll();
}

void MaterialBrowser::loadMaterialList(const TreeNodeInfo *folder)
{
    if (!folder)
        return;
    loadList(material::materialListSql(folder->_type, folder->id));
}

void MaterialBrowser::loadUserMaterialList(const TreeNodeInfo *folder)
{
    if (!folder)
        return;
    loadList(material::userMaterialListSql(folder->_type, folder->id));
}

void MaterialBrowser::loadList(const QString &sql)
{
    if (m_w.plainTextEditMaterialContent)
        m_w.plainTextEditMaterialContent->clear();
    {
        QueryPtr query = material::runLibraryQuery(sql);
        fillMaterialList(*query, m_materialListModel, m_materialListRecords, true);
    }
    if (m_w.listViewMaterial && m_materialListModel->rowCount() > 0)
        m_w.listViewMaterial->setCurrentIndex(m_materialListModel->index(0, 0));
}

void MaterialBrowser::releaseRecords(QStandardItemModel *model, TreeNodeList &records)
{
    if (model)
        model->clear();
    if (m_contentRecord) {
        for (int i = 0; i < records.size(); ++i) {
            if (records.at(i) == m_contentRecord) {
                m_contentRecord = nullptr;
                break;
            }
        }
    }
    records.clear();
}

int MaterialBrowser::fillMaterialList(QSqlQuery &query, QStandardItemModel *model, TreeNodeList &records, bool clear)
{
    if (clear)
        releaseRecords(model, records);
    if (!query.isActive() || !model)
        return 0;
    const material::MaterialColumns columns(query.record());
    QList<QStandardItem *> items;
    while (query.next()) {
        TreeNodeInfo *info = records.add();
        material::readMaterialRow(*info, query, columns);
        items << material::newMaterialItem(info);
    }
    // One insertion for the whole list: views update once, not once per row.
    if (!items.isEmpty())
        model->invisibleRootItem()->appendRows(items);
    return items.size();
}

void MaterialBrowser::showMaterialContent(TreeNodeInfo *record)
{
    m_contentRecord = record;
    QPlainTextEdit *pane = m_w.plainTextEditMaterialContent;
    if (pane) {
        pane->clear();
        // setPlainText gives the whole new text the pane's current format, which still carries
        // the mark when the previous text began with the keyword.
        pane->setCurrentCharFormat(QTextCharFormat());
        if (record)
            pane->setPlainText(material::displayText(*record));
        markHighlightKeyword();
    }
    refreshMaterialContentToolButtonState();
}

void MaterialBrowser::markHighlightKeyword()
{
    material::markKeyword(m_w.plainTextEditMaterialContent, m_highlightKeyword);
}

void MaterialBrowser::insertEditorText(const QString &text, bool atEnd)
{
    if (m_insert) {
        m_insert(text, atEnd);
        return;
    }
    if (m_w.textEditor && !m_w.textEditor->isReadOnly())
        g_App.guiSnapshot().lastInputMsecs = QDateTime::currentMSecsSinceEpoch();
    material::insertPlainText(m_w.textEditor, text, atEnd);
}

void MaterialBrowser::selectFirstNodes()
{
    if (m_w.treeViewMaterial && m_materialTreeModel->rowCount() > 0)
        m_w.treeViewMaterial->setCurrentIndex(m_materialTreeModel->index(0, 0));
    if (m_w.tabWidgetMaterial && m_w.treeViewUserMaterial && m_userMaterialTreeModel->rowCount() > 0 &&
        m_w.tabWidgetMaterial->currentIndex() == 1)
        m_w.treeViewUserMaterial->setCurrentIndex(m_userMaterialTreeModel->index(0, 0));
}

bool MaterialBrowser::isUserMaterialTabShowing() const
{
    return m_w.tabWidgetMaterial && m_w.treeViewUserMaterial && m_w.tabWidgetMaterial->currentWidget() &&
           m_w.tabWidgetMaterial->currentWidget()->isAncestorOf(m_w.treeViewUserMaterial);
}

void MaterialBrowser::setCurrentUserFolder(const QModelIndex &index, bool withList)
{
    if (!m_w.treeViewUserMaterial)
        return;
    QScopedValueRollback<bool> keep(m_keepList, !withList);
    m_w.treeViewUserMaterial->setCurrentIndex(index);
    m_w.treeViewUserMaterial->scrollTo(index);
}

void MaterialBrowser::treeViewMaterialCurrentChanged(const QModelIndex &current, const QModelIndex &)
{
    if (current.isValid())
        loadMaterialList(TreeNodeInfo::of(current));
}

void MaterialBrowser::treeViewMaterialSelectionChanged(const QItemSelection &, const QItemSelection &) {}

void MaterialBrowser::treeViewUserMaterialCurrentChanged(const QModelIndex &current, const QModelIndex &)
{
    if (current.isValid() && !m_keepList)
        loadUserMaterialList(TreeNodeInfo::of(current));
    emit userMaterialToolButtonStateRefresh();
}

void MaterialBrowser::listViewMaterialCurrentChanged(const QModelIndex &current, const QModelIndex &)
{
    if (!current.isValid())
        return;
    m_highlightKeyword = m_manualKeyword;
    showMaterialContent(TreeNodeInfo::of(current));
    QTimer::singleShot(50, this, &MaterialBrowser::userMaterialToolButtonStateRefresh);
}

void MaterialBrowser::listViewMaterialDoubleClicked(const QModelIndex &index)
{
    const TreeNodeInfo *record = index.isValid() ? TreeNodeInfo::of(index) : nullptr;
    if (!record)
        return;
    insertEditorText(material::displayTitle(*record), false);
    if (m_w.textEditor)
        m_w.textEditor->setFocus(Qt::OtherFocusReason);
}

void MaterialBrowser::on_plainTextEditMaterialContent_selectionChanged() { refreshMaterialContentToolButtonState(); }

void MaterialBrowser::on_actionTextInsertSelectMaterial_triggered()
{
    if (!m_w.plainTextEditMaterialContent)
        return;
    // The selection as a document fragment gives line feeds between paragraphs, where
    // selectedText() would carry U+2029 separators into the chapter.
    insertFromPane(m_w.plainTextEditMaterialContent->textCursor().selection().toPlainText());
}

void MaterialBrowser::on_actionTextInsertAllMaterial_triggered()
{
    if (!m_w.plainTextEditMaterialContent)
        return;
    insertFromPane(m_w.plainTextEditMaterialContent->toPlainText());
}

void MaterialBrowser::insertFromPane(const QString &text)
{
    if (!text.isEmpty())
        insertEditorText(text, false);
    QWidget *area = Frames::mainWindow() ? Frames::mainWindow() : (m_w.textEditor ? m_w.textEditor->window() : nullptr);
    Toast::showTip(QString::fromUtf8(insertNotice), area, insertNoticeMs);
    if (m_w.textEditor)
        m_w.textEditor->setFocus(Qt::OtherFocusReason);
}

void MaterialBrowser::refreshMaterialContentToolButtonState()
{
    if (m_w.actionTextInsertSelectMaterial)
        m_w.actionTextInsertSelectMaterial->setEnabled(m_w.plainTextEditMaterialContent &&
                                                       m_w.plainTextEditMaterialContent->textCursor().hasSelection());
}

bool MaterialBrowser::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusIn &&
        (watched == m_w.listViewMaterial || (m_w.listViewSearchMaterial && watched == m_w.listViewSearchMaterial))) {
        auto *view = static_cast<QListView *>(watched);
        if (view->selectionModel() && view->selectionModel()->hasSelection()) {
            if (TreeNodeInfo *record = TreeNodeInfo::of(view->currentIndex()))
                showMaterialContent(record);
        }
    }
    return QObject::eventFilter(watched, event);
}
