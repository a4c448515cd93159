#include "book/BookSearchController.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookController.h"
#include "book/MyTextEdit.h"
#include "book/SearchMatchDelegate.h"
#include "book/TreeNodeInfo.h"
#include "book/TreeView.h"
#include "params/SysParams.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtConcurrent>

#include <algorithm>

namespace
{

enum ScopeChoice { ThisBook = 0, AllBooks = 1, SelectedVolume = 2 };

} // namespace

BookSearchController::BookSearchController(QMainWindow *window, BookController *book, QObject *parent)
    : QObject(parent), m_book(book)
{
    m_dock = new QDockWidget(QStringLiteral("全书搜索"), window);
    m_dock->setObjectName(QStringLiteral("dockWidgetBookSearch"));
    m_dock->setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
    auto *panel = new QWidget(m_dock);
    auto *layout = new QVBoxLayout(panel);
    layout->setContentsMargins(4, 4, 4, 4);
    m_key = new QLineEdit(panel);
    m_key->setObjectName(QStringLiteral("lineEditBookSearchKey"));
    m_key->setPlaceholderText(QStringLiteral("在全书中查找"));
    m_key->setClearButtonEnabled(true);
    layout->addWidget(m_key);
    auto *options = new QHBoxLayout;
    m_scope = new QComboBox(panel);
    m_scope->addItems({QStringLiteral("本书"), QStringLiteral("全部书"), QStringLiteral("所选卷")});
    m_matchCase = new QCheckBox(QStringLiteral("区分大小写"), panel);
    m_titles = new QCheckBox(QStringLiteral("包括标题"), panel);
    options->addWidget(m_scope);
    options->addWidget(m_matchCase);
    options->addWidget(m_titles);
    options->addStretch();
    layout->addLayout(options);
    auto *replaceRow = new QHBoxLayout;
    m_replace = new QLineEdit(panel);
    m_replace->setObjectName(QStringLiteral("lineEditBookReplace"));
    m_replace->setPlaceholderText(QStringLiteral("替换为"));
    m_replaceButton = new QPushButton(QStringLiteral("替换所选"), panel);
    m_undo = new QPushButton(QStringLiteral("撤销全书替换"), panel);
    replaceRow->addWidget(m_replace, 1);
    replaceRow->addWidget(m_replaceButton);
    replaceRow->addWidget(m_undo);
    layout->addLayout(replaceRow);
    m_status = new QLabel(panel);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);
    m_results = new QTreeWidget(panel);
    m_results->setObjectName(QStringLiteral("treeWidgetBookSearch"));
    m_results->setHeaderHidden(true);
    m_results->setUniformRowHeights(true);
    m_results->setItemDelegate(new SearchMatchDelegate(m_replace, m_results));
    layout->addWidget(m_results, 1);
    m_dock->setWidget(panel);
    window->addDockWidget(Qt::RightDockWidgetArea, m_dock);
    m_dock->hide();

    m_showAction = new QAction(QStringLiteral("全书搜索"), window);
    m_showAction->setObjectName(QStringLiteral("actionEditBookSearch"));
    m_showAction->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+F")));
    m_nextAction = new QAction(QStringLiteral("下一处"), window);
    m_nextAction->setObjectName(QStringLiteral("actionEditBookSearchNext"));
    m_nextAction->setShortcut(QKeySequence(Qt::Key_F3));
    m_previousAction = new QAction(QStringLiteral("上一处"), window);
    m_previousAction->setObjectName(QStringLiteral("actionEditBookSearchPrevious"));
    m_previousAction->setShortcut(QKeySequence(Qt::SHIFT + Qt::Key_F3));
    window->addAction(m_showAction);
    window->addAction(m_nextAction);
    window->addAction(m_previousAction);
    connect(m_showAction, &QAction::triggered, this, &BookSearchController::showPanel);
    connect(m_nextAction, &QAction::triggered, this, &BookSearchController::nextMatch);
    connect(m_previousAction, &QAction::triggered, this, &BookSearchController::previousMatch);

    m_debounce = new QTimer(this);
    m_debounce->setSingleShot(true);
    m_debounce->setInterval(kDebounceMs);
    connect(m_debounce, &QTimer::timeout, this, &BookSearchController::searchNow);
    connect(m_key, &QLineEdit::textChanged, this, [this] {
        // The running search is for a key no longer wanted.
        ++m_generation;
        m_debounce->start();
    });
    connect(m_key, &QLineEdit::returnPressed, this, &BookSearchController::searchNow);
    connect(m_scope, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &BookSearchController::searchNow);
    connect(m_matchCase, &QCheckBox::toggled, this, &BookSearchController::searchNow);
    connect(m_titles, &QCheckBox::toggled, this, &BookSearchController::searchNow);
    connect(m_replace, &QLineEdit::textChanged, this, &BookSearchController::refreshPreview);
    connect(m_replace, &QLineEdit::returnPressed, this, &BookSearchController::replaceSelected);
    connect(m_results, &QTreeWidget::itemActivated, this, &BookSearchController::openMatch);
    connect(m_results, &QTreeWidget::itemClicked, this, &BookSearchController::openMatch);
    connect(m_results, &QTreeWidget::itemChanged, this, [this] { updateButtons(); });
    connect(m_replaceButton, &QPushButton::clicked, this, &BookSearchController::replaceSelected);
    connect(m_undo, &QPushButton::clicked, this, &BookSearchController::undoLastReplace);
    updateButtons();
}

BookSearchController::~BookSearchController()
{
    stop();
}

void BookSearchController::showPanel()
{
    // A second Ctrl+Shift+F in the panel puts it away and the author back in the chapter.
    if (m_dock->isVisible() && m_dock->isAncestorOf(QApplication::focusWidget())) {
        m_dock->hide();
        if (m_book && m_book->editor())
            m_book->editor()->setFocus();
        return;
    }
    const QString selected =
        m_book && m_book->editor() ? m_book->editor()->textCursor().selectedText() : QString();
    if (!selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator))
        m_key->setText(selected);
    // The chapters' text is read when the author first looks for something, not at every start:
    // a large book would otherwise cost every session its memory and a busy start-up.
    warmUp();
    m_dock->show();
    m_dock->raise();
    m_key->setFocus();
    m_key->selectAll();
}

BookSearch::Query BookSearchController::currentQuery(QString *whyNot) const
{
    BookSearch::Query q;
    q.key = m_key->text();
    q.matchCase = m_matchCase->isChecked();
    q.titles = m_titles->isChecked();
    if (m_book && !m_book->currentChapterId().isEmpty() && m_book->editor()->document()->isModified()) {
        q.editedId = m_book->currentChapterId();
        q.editedText = m_book->editor()->toPlainText();
    }
    const int choice = m_scope->currentIndex();
    if (choice == AllBooks)
        return q;
    QModelIndex index = m_book && m_book->view() ? m_book->view()->currentSourceIndex() : QModelIndex();
    if (choice == ThisBook) {
        q.scope = BookSearch::Scope::Book;
        while (index.isValid() && index.parent().isValid())
            index = index.parent();
        if (!index.isValid()) {
            *whyNot = QStringLiteral("请先在书目中选择一本书。");
            return q;
        }
    } else {
        q.scope = BookSearch::Scope::Volume;
        // The volume is the second level: the selected one, or the one of the selected chapter.
        QVector<QModelIndex> chain;
        for (QModelIndex i = index; i.isValid(); i = i.parent())
            chain.prepend(i);
        if (chain.size() < 2) {
            *whyNot = QStringLiteral("请先在书目中选择一卷或其中的章节。");
            return q;
        }
        index = chain.at(1);
    }
    const TreeNodeInfo *info = TreeNodeInfo::of(index);
    q.scopeId = info ? info->id : QString();
    return q;
}

void BookSearchController::searchNow()
{
    m_debounce->stop();
    const int generation = ++m_generation;
    m_results->clear();
    m_matchCount = 0;
    QString whyNot;
    const BookSearch::Query query = currentQuery(&whyNot);
    m_shownKey = query.key;
    m_shownMatchCase = query.matchCase;
    if (query.key.isEmpty() || !whyNot.isEmpty()) {
        m_searching = false;
        m_status->setText(query.key.isEmpty() ? QString() : whyNot);
        updateButtons();
        emit searchFinished();
        return;
    }
    m_searching = true;
    m_status->setText(QStringLiteral("正在搜索…"));
    updateButtons();
    pruneTasks();
    m_tasks.append(QtConcurrent::run([this, query, generation] {
        auto post = [this, generation](const BookSearch::Result &r, bool done) {
            QMetaObject::invokeMethod(
                this, [this, generation, r, done] { showPartial(generation, r, done); },
                Qt::QueuedConnection);
        };
        try {
            const BookSearch::Result result = BookSearch::search(
                query,
                [this, generation, &post](const BookSearch::Result &delta) {
                    post(delta, false);
                    return m_generation.load() == generation;
                },
                &m_generation, generation);
            if (!result.cancelled)
                post(result, true);
        } catch (const Exception &e) {
            const QString message = e.message();
            QMetaObject::invokeMethod(
                this,
                [this, generation, message] {
                    if (generation != m_generation.load())
                        return;
                    m_searching = false;
                    m_status->setText(QStringLiteral("搜索失败：%1").arg(message));
                    updateButtons();
                    emit searchFinished();
                },
                Qt::QueuedConnection);
        }
    }));
}

void BookSearchController::showPartial(int generation, const BookSearch::Result &delta, bool done)
{
    if (generation != m_generation.load())
        return;
    // The last results carry every chapter; the ones shown already came in batches.
    addChapters(done ? delta.chapters.mid(m_results->topLevelItemCount()) : delta.chapters);
    m_matchCount = delta.matchCount;
    QString text = delta.matchCount == 0 && done
                       ? QStringLiteral("未找到“%1”。").arg(m_shownKey)
                       : QStringLiteral("%1 个章节，共 %2 处").arg(delta.chapterCount).arg(delta.matchCount);
    if (delta.truncated)
        text += QStringLiteral("（只列出前 %1 处）").arg(BookSearch::kMaxListedMatches);
    if (!done)
        text += QStringLiteral("，正在搜索…");
    m_status->setText(text);
    if (done) {
        m_searching = false;
        updateButtons();
        emit searchFinished();
    }
}

void BookSearchController::addChapters(const QVector<BookSearch::ChapterHits> &chapters)
{
    // Items are built apart and inserted at once: one by one, the view lays out after each.
    QList<QTreeWidgetItem *> tops;
    for (const BookSearch::ChapterHits &hits : chapters) {
        auto *top = new QTreeWidgetItem;
        top->setText(0, QStringLiteral("%1（%2 处）").arg(hits.path).arg(hits.matches.size()));
        top->setData(0, ChapterRole, hits.chapterId);
        for (const BookSearch::Match &m : hits.matches) {
            auto *item = new QTreeWidgetItem(top);
            item->setText(0, m.context);
            item->setData(0, ChapterRole, hits.chapterId);
            item->setData(0, OffsetRole, m.offset);
            item->setData(0, LengthRole, m.length);
            item->setData(0, TitleRole, m.inTitle);
            item->setData(0, ContextOffsetRole, m.contextOffset);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(0, Qt::Checked);
        }
        tops.append(top);
    }
    {
        const QSignalBlocker blocker(m_results);
        m_results->addTopLevelItems(tops);
        for (QTreeWidgetItem *top : qAsConst(tops))
            top->setExpanded(true);
    }
    updateButtons();
}

void BookSearchController::refreshPreview()
{
    m_results->viewport()->update();
    updateButtons();
}

void BookSearchController::updateButtons()
{
    m_replaceButton->setEnabled(!m_searching && m_results->topLevelItemCount() > 0);
    m_undo->setEnabled(!m_lastBatch.isEmpty());
}

void BookSearchController::openMatch(QTreeWidgetItem *item)
{
    if (!item || !m_book)
        return;
    const QString id = item->data(0, ChapterRole).toString();
    if (m_book->currentChapterId() != id)
        m_book->selectNode(id);
    // The switch may have been refused (the author stayed on a modified chapter).
    if (m_book->currentChapterId() != id || !item->data(0, OffsetRole).isValid() ||
        item->data(0, TitleRole).toBool())
        return;
    MyTextEdit *editor = m_book->editor();
    const QString text = editor->document()->toPlainText();
    int at = item->data(0, OffsetRole).toInt();
    if (!BookSearch::matchesAt(text, at, m_shownKey, m_shownMatchCase)) {
        // Edited since the search: the nearest match left.
        const QVector<int> all = BookSearch::findAll(text, m_shownKey, m_shownMatchCase);
        if (all.isEmpty())
            return;
        int best = all.first();
        for (int candidate : all)
            if (qAbs(candidate - at) < qAbs(best - at))
                best = candidate;
        at = best;
    }
    QTextCursor c(editor->document());
    c.setPosition(at);
    c.setPosition(at + m_shownKey.size(), QTextCursor::KeepAnchor);
    editor->setTextCursor(c);
    editor->ensureCursorVisible();
    m_results->setCurrentItem(item);
}

void BookSearchController::nextMatch()
{
    step(1);
}
void BookSearchController::previousMatch()
{
    step(-1);
}

void BookSearchController::step(int direction)
{
    // Matches in list order: chapter by chapter, each chapter's matches in text order.
    QVector<QTreeWidgetItem *> matches;
    for (int i = 0; i < m_results->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = m_results->topLevelItem(i);
        for (int j = 0; j < top->childCount(); ++j)
            matches.append(top->child(j));
    }
    if (matches.isEmpty())
        return;
    QTreeWidgetItem *current = m_results->currentItem();
    int next;
    if (!current) {
        next = direction > 0 ? 0 : matches.size() - 1;
    } else if (!current->parent()) {
        // On a chapter row: its first match forward, the previous chapter's last one backward.
        const int first = matches.indexOf(current->childCount() ? current->child(0) : nullptr);
        next = direction > 0 ? first : first - 1;
    } else {
        next = matches.indexOf(current) + direction;
    }
    if (next < 0 || next >= matches.size()) {
        m_status->setText(direction > 0 ? QStringLiteral("已是最后一处。") : QStringLiteral("已是第一处。"));
        return;
    }
    openMatch(matches.at(next));
}

template <typename Fn> bool BookSearchController::runBlocking(const QString &label, Fn work)
{
    // The author's text is not touched meanwhile: a modal notice holds the input while the
    // pool does the work; no lock is held while waiting here.
    QProgressDialog busy(label, QString(), 0, 0, m_dock->window());
    busy.setWindowModality(Qt::ApplicationModal);
    busy.setMinimumDuration(300);
    QFutureWatcher<void> watcher;
    QEventLoop loop;
    connect(&watcher, &QFutureWatcher<void>::finished, &loop, &QEventLoop::quit);
    const QFuture<void> future = QtConcurrent::run(work);
    watcher.setFuture(future);
    if (!future.isFinished())
        loop.exec();
    return true;
}

bool BookSearchController::prepareEditor()
{
    if (!m_book || !m_book->editor()->document()->isModified())
        return true;
    if (m_book->trySaveArticle())
        return true;
    g_App.showInfo(QStringLiteral("当前章节的修改未能保存，全书替换已取消。请先处理当前章节。"));
    return false;
}

void BookSearchController::reopenTouched(const QStringList &ids)
{
    if (!m_book)
        return;
    const QString open = m_book->currentChapterId();
    if (!open.isEmpty() && ids.contains(open) && !m_book->editor()->document()->isModified())
        m_book->openArticle(open);
}

bool BookSearchController::replaceSelected()
{
    if (m_searching) {
        m_status->setText(QStringLiteral("请等搜索完成后再替换。"));
        return false;
    }
    BookReplace::Plan plan;
    plan.key = m_shownKey;
    plan.replacement = m_replace->text();
    plan.matchCase = m_shownMatchCase;
    plan.defaultFont = QFont(g_SysParams.editorParams.defaultFontName);
    if (g_SysParams.editorParams.defaultFontSize > 0)
        plan.defaultFont.setPointSize(g_SysParams.editorParams.defaultFontSize);
    int count = 0;
    for (int i = 0; i < m_results->topLevelItemCount(); ++i) {
        QTreeWidgetItem *top = m_results->topLevelItem(i);
        BookReplace::ChapterEdit edit;
        edit.chapterId = top->data(0, ChapterRole).toString();
        for (int j = 0; j < top->childCount(); ++j) {
            QTreeWidgetItem *item = top->child(j);
            if (!(item->flags() & Qt::ItemIsUserCheckable) || item->checkState(0) != Qt::Checked)
                continue;
            (item->data(0, TitleRole).toBool() ? edit.titleOffsets : edit.offsets)
                .append(item->data(0, OffsetRole).toInt());
        }
        if (!edit.offsets.isEmpty() || !edit.titleOffsets.isEmpty()) {
            count += edit.offsets.size() + edit.titleOffsets.size();
            plan.chapters.append(edit);
        }
    }
    if (plan.key.isEmpty() || plan.chapters.isEmpty()) {
        m_status->setText(QStringLiteral("没有勾选要替换的地方。"));
        return false;
    }
    if (g_App.ask(QStringLiteral("确定把 %1 个章节中的 %2 处“%3”替换为“%4”吗？")
                      .arg(plan.chapters.size())
                      .arg(count)
                      .arg(plan.key, plan.replacement)) != Ink::maYes)
        return false;
    const bool openWasModified = m_book && m_book->editor()->document()->isModified();
    if (!prepareEditor())
        return false;
    if (openWasModified && !openChapterMatchesListed(plan.key, plan.matchCase)) {
        // The list was made from the stored text, before these edits: what the author checked is
        // not what the replace would change.
        searchNow();
        g_App.showInfo(
            QStringLiteral("当前章节的修改已保存，其中的匹配与列表不同。搜索结果已更新，请核对后再替换。"));
        return false;
    }
    BookReplace::Outcome outcome;
    QString error;
    runBlocking(QStringLiteral("正在全书替换…"), [&] {
        try {
            outcome = BookReplace::apply(plan);
        } catch (const Exception &e) {
            error = e.message();
        }
    });
    if (!error.isEmpty()) {
        g_App.showError(error);
        return false;
    }
    m_lastBatch = outcome.batchId;
    m_lastTitles = outcome.titles;
    QStringList ids = outcome.chapterIds;
    for (const BookReplace::TitleChange &t : outcome.titles)
        if (!ids.contains(t.id))
            ids << t.id;
    m_lastBatchSize = ids.size();
    if (!outcome.titles.isEmpty() && m_book)
        m_book->loadTree();
    reopenTouched(outcome.chapterIds);
    searchNow();
    m_status->setText(QStringLiteral("已替换 %1 处，涉及 %2 个章节。").arg(outcome.replaced).arg(ids.size()));
    // Taking it back is the one thing likely next.
    updateButtons();
    m_undo->setFocus();
    if (!outcome.overLength.isEmpty())
        g_App.showInfo(QStringLiteral("以下章节替换后将超过 %1 字，没有替换：\n%2")
                           .arg(Ink::maxArticleLength)
                           .arg(outcome.overLength.join(QLatin1Char('\n'))));
    if (!outcome.titlesSkipped.isEmpty())
        g_App.showInfo(QStringLiteral("以下标题替换后将超过 %1 字或成为空标题，没有替换：\n%2")
                           .arg(Ink::maxTitleLength)
                           .arg(outcome.titlesSkipped.join(QLatin1Char('\n'))));
    updateButtons();
    return true;
}

bool BookSearchController::openChapterMatchesListed(const QString &key, bool matchCase) const
{
    const QString open = m_book->currentChapterId();
    QVector<int> listed;
    for (int i = 0; i < m_results->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *top = m_results->topLevelItem(i);
        if (top->data(0, ChapterRole).toString() != open)
            continue;
        for (int j = 0; j < top->childCount(); ++j)
            if (!top->child(j)->data(0, TitleRole).toBool())
                listed.append(top->child(j)->data(0, OffsetRole).toInt());
    }
    std::sort(listed.begin(), listed.end());
    return listed == BookSearch::findAll(m_book->editor()->toPlainText(), key, matchCase);
}

bool BookSearchController::undoLastReplace()
{
    if (m_lastBatch.isEmpty())
        return false;
    if (g_App.ask(QStringLiteral("撤销上次全书替换，恢复 %1 个章节吗？").arg(m_lastBatchSize)) != Ink::maYes)
        return false;
    if (!prepareEditor())
        return false;
    BookReplace::UndoOutcome outcome;
    QString error;
    const QString batch = m_lastBatch;
    const QVector<BookReplace::TitleChange> titles = m_lastTitles;
    runBlocking(QStringLiteral("正在撤销全书替换…"), [&] {
        try {
            outcome = BookReplace::undo(batch, titles);
        } catch (const Exception &e) {
            error = e.message();
        }
    });
    if (!error.isEmpty()) {
        g_App.showError(QStringLiteral("撤销全书替换失败，没有恢复任何章节：\n%1").arg(error));
        return false;
    }
    m_lastBatch.clear();
    m_lastTitles.clear();
    if (!outcome.titlesRestored.isEmpty() && m_book)
        m_book->loadTree();
    reopenTouched(outcome.restored);
    searchNow();
    QStringList ids = outcome.restored;
    for (const QString &id : qAsConst(outcome.titlesRestored))
        if (!ids.contains(id))
            ids << id;
    m_status->setText(QStringLiteral("已恢复 %1 个章节。").arg(ids.size()));
    if (!outcome.changedSince.isEmpty())
        g_App.showInfo(QStringLiteral("以下章节在替换后又被修改，没有恢复（替换前的文字在章节历史中）：\n%1")
                           .arg(outcome.changedSince.join(QLatin1Char('\n'))));
    updateButtons();
    return true;
}

void BookSearchController::warmUp()
{
    pruneTasks();
    const int generation = m_generation.load();
    m_tasks.append(QtConcurrent::run([this, generation] {
        try {
            BookSearch::refresh(&m_generation, generation);
        } catch (const Exception &) {
            // The first search reads the rows again and says what is wrong.
        }
    }));
}

void BookSearchController::stop()
{
    ++m_generation;
    for (QFuture<void> &f : m_tasks)
        f.waitForFinished();
    m_tasks.clear();
}

void BookSearchController::pruneTasks()
{
    for (auto it = m_tasks.begin(); it != m_tasks.end();)
        it = it->isFinished() ? m_tasks.erase(it) : it + 1;
}

void BookSearchController::addMenuActions(QMenu *menu)
{
    menu->addSeparator();
    menu->addActions({m_showAction, m_nextAction, m_previousAction});
}
