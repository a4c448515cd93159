#include "book/BookController.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookStore.h"
#include "book/BookTree.h"
#include "book/MyTextEdit.h"
#include "book/TmpSaveFile.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QStandardItemModel>
#include <QTextDocument>

namespace {

QString firstUseHtml()
{
    QFile f(QStringLiteral(":/doc/FirstUse.htm"));
    if (f.open(QIODevice::ReadOnly))
        return QString::fromUtf8(f.readAll());
    return QString();
}

QFont defaultEditorFont()
{
    QFont font(g_SysParams.editorParams.defaultFontName);
    if (g_SysParams.editorParams.defaultFontSize > 0)
        font.setPointSize(g_SysParams.editorParams.defaultFontSize);
    return font;
}

} // namespace

BookController::BookController(TreeView *view, MyTextEdit *editor, QObject *parent)
    : QObject(parent), m_view(view), m_editor(editor), m_model(new QStandardItemModel(this)),
      m_proxy(new BookSortFilterProxyModel(this))
{
    m_model->setColumnCount(1);
    m_proxy->setSourceModel(m_model);
    m_view->setModel(m_proxy);
    m_view->setHeaderHidden(true);
    m_view->setFrameShape(QFrame::Box);
    m_view->setFrameShadow(QFrame::Plain);
    m_view->setDragDropMode(QAbstractItemView::DragDrop);
    m_view->setDefaultDropAction(Qt::MoveAction);
    m_view->setDragEnabled(true);
    m_view->setAcceptDrops(true);
    m_view->setDropIndicatorShown(true);

    connect(m_view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &BookController::treeViewBookSelectionChanged);
    connect(m_view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &BookController::treeViewBookCurrentChanged);
    connect(m_view, &TreeView::signalDragMove, this, &BookController::treeViewBookDragMove);
    connect(m_view, &TreeView::signalDrop, this, &BookController::treeViewBookDrop);
    connect(m_model, &QStandardItemModel::itemChanged, this, &BookController::treeViewBookItemChanged);
    connect(m_editor, &MyTextEdit::signalKeyPressEvent, this, &BookController::textEditorKeyPressEvent);
    connect(m_view, &QAbstractItemView::clicked, this, &BookController::treeViewBookItemOpened);
    connect(m_view, &QAbstractItemView::activated, this, &BookController::treeViewBookItemOpened);
    connect(m_editor->document(), &QTextDocument::contentsChanged, this, [this]() { checkLength(true); });
    // Undo or redo back to the saved text, however it was asked for (action, tool bar, context
    // menu, the editor's own Ctrl+Z): the recovery copies are not needed any more.
    connect(m_editor->document(), &QTextDocument::modificationChanged, this, [this](bool modified) {
        if (!modified && !m_markingUnmodified && !m_loadingChapter && !m_chapterId.isEmpty())
            emit recoveryCopiesDiscarded(m_chapterId);
    });
}

void BookController::markUnmodified()
{
    QScopedValueRollback<bool> marking(m_markingUnmodified, true);
    m_editor->document()->setModified(false);
}

BookController::~BookController()
{
    // Items go before their records.
    if (m_view)
        m_view->setModel(nullptr);
    m_model->clear();
    m_records.clear();
}

QString BookController::idOfViewIndex(const QModelIndex &viewIndex) const
{
    const TreeNodeInfo *info = TreeNodeInfo::of(viewIndex);
    return info ? info->id : QString();
}

QModelIndex BookController::findSourceIndex(const QString &id) const
{
    if (id.isEmpty())
        return QModelIndex();
    if (m_chapterIndex.isValid()) {
        const TreeNodeInfo *info = TreeNodeInfo::of(QModelIndex(m_chapterIndex));
        if (info && info->id == id)
            return m_chapterIndex;
    }
    QVector<QStandardItem *> stack{m_model->invisibleRootItem()};
    while (!stack.isEmpty()) {
        QStandardItem *parent = stack.takeLast();
        for (int r = 0; r < parent->rowCount(); ++r) {
            QStandardItem *child = parent->child(r);
            const TreeNodeInfo *info = TreeNodeInfo::of(child);
            if (info && info->id == id)
                return child->index();
            if (child->hasChildren())
                stack.append(child);
        }
    }
    return QModelIndex();
}

QModelIndex BookController::currentBookIndex() const { return findSourceIndex(m_chapterId); }

QString BookController::chapterTitle() const
{
    const TreeNodeInfo *info = TreeNodeInfo::of(currentBookIndex());
    return info ? info->title : QString();
}

void BookController::setCurrentQuietly(const QModelIndex &sourceIndex)
{
    QScopedValueRollback<bool> quiet(m_quiet, true);
    if (sourceIndex.isValid())
        m_view->proxySetCurrentIndex(sourceIndex);
    else
        m_view->setCurrentIndex(QModelIndex());
}

void BookController::selectNode(const QString &id)
{
    const QModelIndex index = findSourceIndex(id);
    if (index.isValid())
        m_view->proxySetCurrentIndex(index);
}

void BookController::loadTree(bool reopen)
{
    if (m_switching || m_openingDepth > 0) {
        // Rebuilding the tree under a chapter switch (its question or the recovery dialog is
        // open) would pull the items from under it.
        m_reloadDeferred = true;
        m_reloadDeferredReopen = m_reloadDeferredReopen || reopen;
        return;
    }
    PerformanceLogger perf(QStringLiteral("读取B"));
    const bool saved = settleModifiedChapter();
    const QString keepId = m_chapterId;
    m_editor->saveScrollInfo();
    {
        QScopedValueRollback<bool> loading(m_treeLoading, true);
        QScopedValueRollback<bool> quiet(m_quiet, true);
        m_chapterIndex = QPersistentModelIndex();
        try {
            loadTreeModel(bookTreeSql(), m_model, m_records);
        } catch (const Exception &e) {
            g_App.showError(e.message());
        }
    }
    applyBookSort();
    if (keepId.isEmpty()) {
        if (!m_view->currentIndex().isValid())
            clearEditor();
        emit bookActionsChanged();
        return;
    }
    const QModelIndex index = findSourceIndex(keepId);
    if (!index.isValid() && !saved) {
        // The chapter is gone but its text could not be saved: it stays in the editor until a
        // save succeeds or the author answers "否" on leaving it.
        setCurrentQuietly(QModelIndex());
        emit bookActionsChanged();
        return;
    }
    if (!index.isValid()) {
        // The chapter is gone: nothing of it may be written again.
        clearEditor();
        const QModelIndex first = m_proxy->index(0, 0);
        if (first.isValid())
            m_view->setCurrentIndex(first);
        emit bookActionsChanged();
        return;
    }
    m_chapterIndex = QPersistentModelIndex(index);
    setCurrentQuietly(index);
    if (reopen && saved) {
        try {
            openArticle(keepId, index);
            m_editor->restoreScrollInfo();
        } catch (const Exception &e) {
            g_App.showError(e.message());
        }
    }
    emit bookActionsChanged();
}

void BookController::runDeferredReload()
{
    if (!m_reloadDeferred || m_switching || m_openingDepth > 0)
        return;
    const bool reopen = m_reloadDeferredReopen;
    m_reloadDeferred = m_reloadDeferredReopen = false;
    loadTree(reopen);
}

bool BookController::addBookNode(bool asBook, bool sameLevel)
{
    QModelIndex index = m_view->currentSourceIndex();
    if (asBook)
        index = QModelIndex();
    else if (sameLevel && index.isValid())
        index = index.parent();
    const int depth = nodeDepth(index);
    // Books hold volumes, volumes hold chapters; nothing lies below a chapter.
    if (depth >= 3)
        return false;
    static const char *const titles[] = {"新书", "新卷", "新章节"};
    const QString title = QString::fromUtf8(titles[depth]);
    const TreeNodeInfo *parentInfo = TreeNodeInfo::of(index);
    const QString parentId = parentInfo ? parentInfo->id : QString();
    QStandardItem *parentItem = index.isValid() ? m_model->itemFromIndex(index) : nullptr;
    const int position = (parentItem ? parentItem->rowCount() : m_model->rowCount()) + 1;

    QTextDocument doc;
    doc.setDefaultFont(defaultEditorFont());
    BookStore::NewNode node;
    try {
        node = BookStore::insertNode(parentId, depth + 1, depth, title, position, doc.toHtml());
    } catch (const Exception &e) {
        // Nothing was added: the tree stays as it was.
        g_App.showError(e.message());
        return false;
    }

    TreeRows rows;
    rows.hasType = rows.hasUpdated = true;
    rows.rows.append(TreeRow{node.id, parentId, title, QString::number(depth + 1), QStringLiteral("Book"),
                             QString(), node.updated});
    QStandardItem *item = createTreeItem(rows, 0, m_records);
    if (parentItem)
        parentItem->appendRow(item);
    else
        m_model->appendRow(item);
    m_view->proxySetCurrentIndex(item->index());
    m_view->proxyEdit(item->index());
    emit bookActionsChanged();
    return true;
}

void BookController::renameCurrentNode() { m_view->proxyEdit(m_view->currentSourceIndex()); }

void BookController::deleteCurrentNode()
{
    if (!m_view->selectionModel() || !m_view->selectionModel()->hasSelection())
        return;
    // Persistent: the question runs an event loop in which the model may change.
    const QPersistentModelIndex index(m_view->currentSourceIndex());
    const TreeNodeInfo *info = TreeNodeInfo::of(index);
    if (!info || m_model->hasChildren(index))
        return;
    const QString id = info->id;
    if (g_App.ask(QStringLiteral("确定删除<%1>吗？").arg(index.data().toString())) != Ink::maYes ||
        !index.isValid())
        return;
    try {
        BookStore::deleteNode(id);
    } catch (const Exception &e) {
        // Nothing was deleted: an open chapter stays open with its edits.
        g_App.showError(e.message());
        return;
    }
    if (id == m_chapterId) {
        // Its text must not come back through a save of the open chapter.
        markUnmodified();
        m_chapterId.clear();
        m_chapterIndex = QPersistentModelIndex();
        emit recoveryCopiesDiscarded(id);
    }
    m_model->removeRow(index.row(), index.parent());
    if (!m_view->currentIndex().isValid() && m_chapterId.isEmpty())
        clearEditor();
    emit bookActionsChanged();
}

void BookController::setSortByModified(bool on)
{
    m_proxy->setSortByModified(on);
    applyBookSort();
}

bool BookController::switchSortByModified()
{
    bool &on = g_SysParams.visibilityParams.bookSortByModified;
    on = !on;
    setSortByModified(on);
    try {
        saveSysParams();
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    return on;
}

void BookController::applyBookSort()
{
    const bool on = m_proxy->sortByModified();
    m_view->setSortingEnabled(on);
    m_proxy->sort(-1, Qt::DescendingOrder);
    if (on)
        m_proxy->sort(0, Qt::DescendingOrder);
}

bool BookController::saveArticle()
{
    if (m_chapterId.isEmpty())
        return false;
    const QString id = m_chapterId;
    PerformanceLogger perf(QStringLiteral("保存文章==>") + chapterTitle());
    const QString updated = BookStore::saveChapter(id, m_editor->toHtml(), m_editor->toPlainText());
    // Stacks first: the clean state is remembered as a place in the undo stack.
    m_editor->document()->clearUndoRedoStacks();
    markUnmodified();
    emit chapterSaved(id);
    if (TreeNodeInfo *info = TreeNodeInfo::of(currentBookIndex())) {
        info->updatedText = updated;
        if (m_proxy->sortByModified())
            applyBookSort();
    }
    return true;
}

bool BookController::trySaveArticle()
{
    try {
        saveArticle();
        return true;
    } catch (const Exception &e) {
        g_App.showError(e.message());
        return false;
    }
}

bool BookController::settleModifiedChapter()
{
    if (m_chapterId.isEmpty() || !m_editor->document()->isModified())
        return true;
    return trySaveArticle();
}

bool BookController::checkSaveArticle()
{
    if (m_chapterId.isEmpty() || !m_editor->document()->isModified())
        return true;
    const QString id = m_chapterId;
    // The answer may take a while (or never come, if the process dies meanwhile).
    emit recoveryCopyWanted(id);
    const int answer = g_App.ask(QStringLiteral("文章已修改，保存吗？"));
    if (answer == Ink::maYes)
        return trySaveArticle();
    // Esc or the title-bar button decides nothing: the edits stay, unsaved and modified.
    if (answer != Ink::maNo)
        return false;
    // "否": the edits go with the next chapter, and so do their recovery copies.
    markUnmodified();
    emit recoveryCopiesDiscarded(id);
    return true;
}

bool BookController::saveBeforeQuit(const QString &tmpFolder)
{
    if (m_chapterId.isEmpty() || !m_editor->document()->isModified())
        return true;
    const QString id = m_chapterId;
    try {
        saveArticle();
        return true;
    } catch (const Exception &e) {
        writeLog(QStringLiteral("err"), QStringLiteral("退出时保存文章失败（文章ID：%1）：%2").arg(id, e.message()));
    }
    static const QMetaMethod wanted = QMetaMethod::fromSignal(&BookController::recoveryCopyWanted);
    if (isSignalConnected(wanted)) {
        // The copy writer knows whether the text is in a copy already.
        emit recoveryCopyWanted(id);
        return false;
    }
    QString error;
    const QString path =
        TmpSaveFile::write(tmpFolder, id, m_editor->toPlainText(), QDateTime::currentDateTime(), &error);
    if (path.isEmpty())
        writeLog(QStringLiteral("err"), QStringLiteral("文章（文章ID：%1）的临时保存文件写不进：%2").arg(id, error));
    else
        writeLog(QStringLiteral("err"), QStringLiteral("文章（文章ID：%1）的文字已存入临时保存文件：%2").arg(id, path));
    return false;
}

void BookController::autoSaveTimerUpdate()
{
    // A chapter switch may be waiting for the author's answer; its edits are not ours to save.
    if (m_switching || m_loadingChapter || m_chapterId.isEmpty() || !m_editor->document()->isModified())
        return;
    const QString id = m_chapterId;
    try {
        saveArticle();
    } catch (const Exception &e) {
        // A modal box here would catch the keys the author is typing.
        writeLog(QStringLiteral("err"), QStringLiteral("自动保存文章失败（文章ID：%1）：%2").arg(id, e.message()));
        emit autoSaveFailed(id, e.message());
    }
}

bool BookController::clearEditor()
{
    if (!m_chapterId.isEmpty() && m_editor->document()->isModified())
        return false;
    QScopedValueRollback<bool> loading(m_loadingChapter, true);
    m_chapterId.clear();
    m_chapterIndex = QPersistentModelIndex();
    m_editor->setReadOnly(true);
    m_editor->setPlaceholderText(QString());
    const QString html = firstUseHtml();
    if (!html.isEmpty())
        m_editor->setHtml(html);
    else
        m_editor->setPlainText(QStringLiteral("感谢您对砚舟的支持，第一次使用请增加新书名！"));
    m_editor->document()->clearUndoRedoStacks();
    markUnmodified();
    if (m_overLength) {
        m_overLength = 0;
        emit overLengthChanged(0, false);
    }
    return true;
}

void BookController::checkLength(bool byEdit)
{
    if (m_loadingChapter)
        return;
    int length = 0;
    // The document's count bounds the plain text from above; the text is only built past the limit.
    if (!m_chapterId.isEmpty() && m_editor->document()->characterCount() - 1 > Ink::maxArticleLength) {
        const int plainLength = m_editor->toPlainText().size();
        if (plainLength > Ink::maxArticleLength)
            length = plainLength;
    }
    if (length == m_overLength)
        return;
    const bool crossed = byEdit && m_overLength == 0;
    m_overLength = length;
    emit overLengthChanged(length, crossed);
}

void BookController::openArticle(const QString &id, const QModelIndex &sourceIndex)
{
    {
        // The copies are offered before the text is read: adopting one changes the row.
        QScopedValueRollback<int> opening(m_openingDepth, m_openingDepth + 1);
        if (id != m_chapterId)
            emit chapterOpening(id);
    }
    openArticleText(id, sourceIndex);
    runDeferredReload();
}

void BookController::openArticleText(const QString &id, const QModelIndex &sourceIndex)
{
    const BookStore::Chapter chapter = BookStore::readChapter(id);
    if (!chapter.found) {
        clearEditor();
        return;
    }
    {
        QScopedValueRollback<bool> loading(m_loadingChapter, true);
        m_editor->document()->setDefaultFont(defaultEditorFont());
        // setPlainText writes in the current format, which may still be the empty editor's
        // coloured first-use format: a chapter starts from the document's defaults.
        m_editor->setCurrentCharFormat(QTextCharFormat());
        if (chapter.attribute1.contains(QLatin1String("NEWIMPORT")))
            m_editor->setPlainText(chapter.plainText);
        else
            m_editor->setHtml(chapter.html);
    }
    m_chapterId = id;
    m_chapterIndex = QPersistentModelIndex(sourceIndex.isValid() ? sourceIndex : findSourceIndex(id));
    // A book or volume holds no text of its own: an empty one is shown read-only with a hint, so
    // typing never lands in it; one that holds text already (older profiles) stays editable.
    const TreeNodeInfo *info = TreeNodeInfo::of(QModelIndex(m_chapterIndex));
    const bool emptyFolder =
        info && info->nodeType != QLatin1String("3") && m_editor->document()->toPlainText().trimmed().isEmpty();
    if (emptyFolder && !m_editor->document()->isEmpty()) {
        QScopedValueRollback<bool> loading(m_loadingChapter, true);
        m_editor->clear();
    }
    m_editor->setPlaceholderText(emptyFolder ? QStringLiteral("选中章节后即可开始写作") : QString());
    m_editor->setReadOnly(emptyFolder);
    m_editor->moveCursor(QTextCursor::End);
    m_editor->moveCursor(QTextCursor::Start);
    m_editor->document()->clearUndoRedoStacks();
    markUnmodified();
    checkLength(false);
    emit chapterOpened(id);
}

void BookController::treeViewBookItemOpened(const QModelIndex &viewIndex)
{
    const TreeNodeInfo *info = TreeNodeInfo::of(viewIndex);
    // The click may have been refused (the author stayed on a modified chapter).
    if (!info || info->nodeType != QLatin1String("3") || info->id != m_chapterId || m_editor->isReadOnly())
        return;
    m_editor->setFocus();
}

void BookController::treeViewBookCurrentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    Q_UNUSED(previous)
    if (m_treeLoading || m_quiet)
        return;
    // After the switch, whichever way it ends (the switching flag is restored first).
    const auto reloadAfterSwitch = qScopeGuard([this]() { runDeferredReload(); });
    try {
        // Ids first: the question below runs an event loop in which the indexes may change.
        const QString newId = idOfViewIndex(current);
        const QModelIndex newSource = m_view->toSource(current);
        if (!newId.isEmpty() && newId == m_chapterId) {
            emit bookActionsChanged();
            return;
        }
        {
            QScopedValueRollback<bool> switching(m_switching, true);
            if (!checkSaveArticle()) {
                // Stay on the chapter whose save failed.
                setCurrentQuietly(findSourceIndex(m_chapterId));
                emit bookActionsChanged();
                return;
            }
            if (newId.isEmpty())
                clearEditor();
            else
                openArticle(newId, newSource.isValid() ? newSource : findSourceIndex(newId));
        }
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    emit bookActionsChanged();
}

bool BookController::canDrop(const QObject *source, const QModelIndex &index,
                             TreeView::DropIndicatorPosition position) const
{
    if (source != m_view)
        return false;
    const QModelIndex current = m_view->currentSourceIndex();
    if (!current.isValid() || !index.isValid() || current == index)
        return false;
    if (current.parent() != index.parent())
        return false;
    return position == TreeView::AboveItem || position == TreeView::BelowItem;
}

void BookController::treeViewBookDragMove(QDragMoveEvent *event, QModelIndex index,
                                          TreeView::DropIndicatorPosition position)
{
    if (isTraceLogEnabled()) {
        writeTraceLog(QStringLiteral("drag"), QStringLiteral("point:%1,%2").arg(event->pos().x()).arg(event->pos().y()));
        writeTraceLog(QStringLiteral("drag"), QStringLiteral("currentIndex:") + m_view->currentIndex().data().toString());
        writeTraceLog(QStringLiteral("drag"), QStringLiteral("index:") + index.data().toString());
    }
    if (canDrop(event->source(), index, position))
        event->accept();
    else
        event->ignore();
}

void BookController::treeViewBookDrop(QDropEvent *event, QModelIndex index, TreeView::DropIndicatorPosition position)
{
    // The view never moves the items itself: the order is written first, then the item is moved here.
    const bool allowed = canDrop(event->source(), index, position);
    event->setDropAction(Qt::IgnoreAction);
    event->ignore();
    if (allowed)
        dropCurrentOn(index, position);
}

void BookController::dropCurrentOn(const QModelIndex &index, TreeView::DropIndicatorPosition position)
{
    if (!canDrop(m_view, index, position))
        return;
    try {
        const QModelIndex current = m_view->currentSourceIndex();
        TreeNodeInfo *dragged = TreeNodeInfo::of(current);
        TreeNodeInfo *target = TreeNodeInfo::of(index);
        if (!dragged || !target)
            return;
        const bool above = position == TreeView::AboveItem;
        BookStore::moveNode(dragged->id, target->id, above);
        QStandardItem *parent = current.parent().isValid() ? m_model->itemFromIndex(current.parent())
                                                           : m_model->invisibleRootItem();
        const int from = current.row();
        int to = index.row() + (above ? 0 : 1);
        if (from < to)
            --to;
        QModelIndex moved;
        {
            QScopedValueRollback<bool> loading(m_treeLoading, true);
            const QList<QStandardItem *> row = parent->takeRow(from);
            parent->insertRow(to, row);
            moved = row.first()->index();
        }
        if (dragged->id == m_chapterId)
            m_chapterIndex = QPersistentModelIndex(moved);
        setCurrentQuietly(moved);
        if (dragged->id != m_chapterId)
            treeViewBookCurrentChanged(m_view->currentIndex(), QModelIndex());
        applyBookSort();
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    emit bookActionsChanged();
}

void BookController::treeViewBookItemChanged(QStandardItem *item)
{
    if (m_treeLoading || m_settingText)
        return;
    TreeNodeInfo *info = TreeNodeInfo::of(item);
    if (!info || item->text() == info->title)
        return;
    auto restore = [this, item, info]() {
        QScopedValueRollback<bool> guard(m_settingText, true);
        item->setText(info->title);
    };
    const QString title = item->text();
    if (title.trimmed().isEmpty()) {
        restore();
        return;
    }
    try {
        QString updated;
        if (!BookStore::renameNode(info->id, title, &updated)) {
            restore();
            return;
        }
        info->title = title;
        info->updatedText = updated;
    } catch (const Exception &e) {
        restore();
        g_App.showError(e.message());
        return;
    }
    applyBookSort();
    m_view->setFocus();
}

void BookController::textEditorKeyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return && !(event->modifiers() & Qt::KeypadModifier))
        insertEditorText(QString(2, Ink::paragraphIndentChar), false);
}

void BookController::insertEditorText(const QString &text, bool atEnd)
{
    if (m_editor->isReadOnly())
        return;
    if (atEnd)
        m_editor->moveCursor(QTextCursor::End);
    m_editor->insertPlainText(text);
    m_editor->setFocus();
}

BookController::ActionState BookController::actionState() const
{
    ActionState s;
    const bool hasSelection = m_view->selectionModel() && m_view->selectionModel()->hasSelection();
    const QModelIndex current = m_view->currentSourceIndex();
    const int depth = nodeDepth(current);
    s.newBook = true;
    s.newVolume = depth == 1;
    s.newSection = depth == 2;
    s.newSameLevel = hasSelection;
    s.del = hasSelection && current.isValid() && !m_model->hasChildren(current);
    s.rename = hasSelection && m_view->isActiveWindow();
    return s;
}
