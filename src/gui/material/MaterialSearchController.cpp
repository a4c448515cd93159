#include "material/MaterialSearchController.h"

#include "app/App.h"
#include "app/WorkerHost.h"
#include "book/MyTextEdit.h"
#include "frame/Frames.h"
#include "frame/Toast.h"
#include "log/Log.h"
#include "material/KeywordSearch.h"
#include "material/MaterialBrowser.h"
#include "material/MaterialList.h"
#include "material/SmartSearchWorker.h"
#include "params/SysParams.h"

#include <QAction>
#include <QDesktopServices>
#include <QFrame>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

using namespace material;

MaterialSearchController::MaterialSearchController(const Widgets &widgets, MaterialBrowser *browser, QObject *parent)
    : QObject(parent), m_w(widgets), m_browser(browser)
{
    m_openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    QListView *list = m_w.listViewSearchMaterial;
    m_pageModel = qobject_cast<QStandardItemModel *>(list->model());
    if (!m_pageModel) {
        m_pageModel = new QStandardItemModel(this);
        list->setModel(m_pageModel);
    }
    connect(list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) { searchListCurrentChanged(current); });
    connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MaterialSearchController::refreshSearchToolButtonState);
    connect(list, &QAbstractItemView::doubleClicked, this, &MaterialSearchController::listViewSearchMaterialDoubleClicked);
    if (m_w.lineEditWord)
        connect(m_w.lineEditWord, &QLineEdit::returnPressed, this, &MaterialSearchController::searchManual);
    if (m_w.actionSmartSentenceWordSwitch) {
        m_w.actionSmartSentenceWordSwitch->setCheckable(true);
        m_w.actionSmartSentenceWordSwitch->setChecked(g_SysParams.editorParams.smartSentenceWord);
    }
    // Desktops that take Ctrl+Alt+arrows for themselves leave these second shortcuts to the author.
    const QList<QPair<QAction *, QKeySequence>> second = {
        {m_w.actionMaterialFirstPage, QKeySequence(Qt::ALT + Qt::Key_Home)},
        {m_w.actionMaterialPreviousPage, QKeySequence(Qt::ALT + Qt::Key_PageUp)},
        {m_w.actionMaterialNextPage, QKeySequence(Qt::ALT + Qt::Key_PageDown)},
        {m_w.actionMaterialLastPage, QKeySequence(Qt::ALT + Qt::Key_End)}};
    for (const auto &s : second)
        if (s.first && !s.first->shortcut().isEmpty())
            s.first->setShortcuts({s.first->shortcut(), s.second});
}

MaterialSearchController::~MaterialSearchController()
{
    if (m_browser)
        m_browser->releaseRecords(m_pageModel, m_pageRecords);
    // A thread that did not stop is left running rather than deleted under its worker.
    if (m_thread && m_thread->isFinished()) {
        delete m_worker;
        delete m_thread;
    }
}

void MaterialSearchController::startWorker(WorkerHost *host)
{
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("SmartSearchThread"));
    m_worker = new SmartSearchThreadWorker(&m_state);
    m_worker->moveToThread(m_thread);
    connect(m_worker, &SmartSearchThreadWorker::searchStringFinish, this, &MaterialSearchController::searchStringFinish);
    connect(m_worker, &SmartSearchThreadWorker::sentencesFound, this, &MaterialSearchController::showSentences);
    if (MyTextEdit *editor = m_w.editor) {
        connect(m_worker, &SmartSearchThreadWorker::resetSearchString, editor, &MyTextEdit::resetLastInputString);
        connect(m_worker, &SmartSearchThreadWorker::resetSearchString, editor, &MyTextEdit::resetLastComboInputString);
    }
    if (host)
        host->registerThread(m_thread);
    m_thread->start(QThread::InheritPriority);
}

int MaterialSearchController::pageSize()
{
    return qBound(kMinPageSize, g_SysParams.editorParams.smartSentenceWordPageCount, kMaxPageSize);
}

int MaterialSearchController::pageCount() const
{
    const int p = pageSize(), n = m_result.size();
    return n / p + (n % p > 0 ? 1 : 0);
}

// ---------------------------------------------------------------- the editor's strings

void MaterialSearchController::textEditorLastInput() { m_state.stampInput(); }

void MaterialSearchController::textEditorLastInputStringReseted() { m_state.reset(true); }

void MaterialSearchController::textEditorLastInputStringChanged(const QString &lastInputString,
                                                                const QString &lastComboInputString)
{
    const QString &ignore = g_SysParams.editorParams.smartSentenceWordIgnoreChars;
    if (lastInputString.isEmpty() || ignore.contains(lastInputString)) {
        m_state.publish(QString(), QString()); // new strings: no longer suppressed
        if (m_w.editor) {
            m_w.editor->resetLastInputString();
            m_w.editor->resetLastComboInputString();
        }
        m_state.reset(false);
        m_w.frameSearchMaterial->hide();
        return;
    }
    m_state.publish(lastInputString, lastComboInputString);
}

// ---------------------------------------------------------------- results

void MaterialSearchController::searchStringFinish(QString lastInputString, QString lastComboInputString,
                                                  material::SmartResult result)
{
    Q_UNUSED(lastInputString)
    if (m_browser)
        m_browser->setSmartKeyword(lastComboInputString);
    m_result = std::move(result);
    showSmartSearchPage(0);
    if (m_result.size() > 0) {
        QWidget *area = Frames::mainWindow() ? Frames::mainWindow() : m_w.editor;
        Toast::showTip(QStringLiteral("总共有%1条匹配素材！").arg(m_result.size()), area, kResultNoticeMs);
    }
}

void MaterialSearchController::showSentences(const QString &key, material::SmartResult result)
{
    const int found = result.size();
    const bool none = found == 0;
    searchStringFinish(key, key, std::move(result));
    // The end-to-end walk waits on this line: it tells this answer from the suggestions while typing.
    writeTraceLog(QStringLiteral("per"), QStringLiteral("<经典词句>%1：%2 条").arg(key).arg(found));
    // Asked for: an empty list must not look like a key that did nothing.
    if (none) {
        QWidget *area = Frames::mainWindow() ? Frames::mainWindow() : m_w.editor;
        Toast::showTip(QStringLiteral("没有找到包含“%1”的经典词句！").arg(key), area, kResultNoticeMs);
    }
}

void MaterialSearchController::showSmartSearchPage(int page)
{
    const int size = pageSize(), pages = pageCount();
    m_page = qMax(0, qMin(page, pages - 1));
    if (m_browser)
        m_browser->releaseRecords(m_pageModel, m_pageRecords);
    else
        m_pageModel->clear();
    QList<QStandardItem *> items;
    if (m_result.libraries) {
        const int first = m_page * size, last = qMin(first + size, m_result.size());
        QVector<TreeNodeInfo *> records;
        for (int i = first; i < last; ++i)
            records << m_pageRecords.add();
        if (!records.isEmpty())
            m_result.libraries->readRecords(g_App.db(), m_result.rows.constData() + first, records);
        for (TreeNodeInfo *info : qAsConst(records))
            items << newMaterialItem(info);
    }
    if (!items.isEmpty())
        m_pageModel->invisibleRootItem()->appendRows(items);
    if (m_w.editor)
        m_w.editor->saveScrollInfo();
    m_w.frameSearchMaterial->setVisible(m_pageModel->rowCount() > 0);
    if (m_pageModel->rowCount() > 0)
        giveFrameRoom();
    if (m_pageModel->rowCount() > 0)
        m_w.listViewSearchMaterial->setCurrentIndex(m_pageModel->index(0, 0));
    refreshSearchToolButtonState();
    // Showing the frame shrinks the editor: its text goes back where it was.
    QPointer<MyTextEdit> editor = m_w.editor;
    QTimer::singleShot(1, this, [editor] {
        if (editor) {
            editor->restoreScrollInfo();
            editor->ensureCursorVisible();
        }
    });
}

void MaterialSearchController::giveFrameRoom()
{
    // A frame collapsed in its splitter (hidden when the layout was saved) would show as a line.
    auto *splitter = qobject_cast<QSplitter *>(m_w.frameSearchMaterial->parentWidget());
    if (!splitter)
        return;
    const int at = splitter->indexOf(m_w.frameSearchMaterial);
    QList<int> sizes = splitter->sizes();
    if (at < 0 || sizes.size() < 2 || sizes.at(at) > 0)
        return;
    int total = 0;
    for (int s : qAsConst(sizes))
        total += s;
    // Room for a whole page of rows when the window has it.
    QListView *list = m_w.listViewSearchMaterial;
    const int chrome = m_w.frameSearchMaterial->sizeHint().height() - list->sizeHint().height() + 2 * list->frameWidth();
    const int page = chrome + pageSize() * qMax(1, list->sizeHintForRow(0));
    const int wanted = qMin(total / 2, qMax(total / 4, page));
    sizes[at] = wanted;
    sizes[at == 0 ? 1 : 0] = qMax(0, sizes.at(at == 0 ? 1 : 0) - wanted);
    splitter->setSizes(sizes);
}

void MaterialSearchController::searchListCurrentChanged(const QModelIndex &current)
{
    TreeNodeInfo *record = current.isValid() ? TreeNodeInfo::of(current) : nullptr;
    if (record && m_browser) {
        m_browser->setHighlightKeyword(m_browser->smartKeyword());
        m_browser->showMaterialContent(record);
    }
    refreshSearchToolButtonState();
}

void MaterialSearchController::refreshSearchToolButtonState()
{
    const int pages = pageCount();
    auto enable = [](QAction *a, bool on) {
        if (a)
            a->setEnabled(on);
    };
    enable(m_w.actionMaterialFirstPage, pages > 0 && m_page > 0);
    enable(m_w.actionMaterialPreviousPage, pages > 0 && m_page > 0);
    enable(m_w.actionMaterialNextPage, pages > 0 && m_page < pages - 1);
    enable(m_w.actionMaterialLastPage, pages > 0 && m_page < pages - 1);
    QItemSelectionModel *sel = m_w.listViewSearchMaterial->selectionModel();
    const bool selected = sel && sel->hasSelection();
    enable(m_w.actionTextInsertMaterialTitle, selected);
    enable(m_w.actionTextInsertMaterialContent, selected);
}

void MaterialSearchController::firstPage() { showSmartSearchPage(0); }
void MaterialSearchController::previousPage() { showSmartSearchPage(m_page - 1); }
void MaterialSearchController::nextPage() { showSmartSearchPage(m_page + 1); }
void MaterialSearchController::lastPage() { showSmartSearchPage(pageCount() - 1); }

void MaterialSearchController::insertTitle() { insertResult(true); }
void MaterialSearchController::insertContent() { insertResult(false); }

void MaterialSearchController::listViewSearchMaterialDoubleClicked(const QModelIndex &index)
{
    if (index.isValid())
        m_w.listViewSearchMaterial->setCurrentIndex(index);
    insertResult(false);
}

void MaterialSearchController::insertResult(bool title)
{
    const TreeNodeInfo *record = TreeNodeInfo::of(m_w.listViewSearchMaterial->currentIndex());
    if (!record)
        return;
    const QString text = title ? displayTitle(*record) : displayText(*record);
    if (m_browser)
        m_browser->insertEditorText(text, false);
    m_w.frameSearchMaterial->hide();
    QWidget *area = Frames::mainWindow() ? Frames::mainWindow() : m_w.editor;
    Toast::showTip(QString::fromUtf8(MaterialBrowser::insertNotice), area, MaterialBrowser::insertNoticeMs);
    if (m_w.editor)
        m_w.editor->setFocus(Qt::OtherFocusReason);
}

void MaterialSearchController::hideResults()
{
    if (m_w.editor) {
        m_w.editor->resetLastInputString();
        m_w.editor->resetLastComboInputString();
    }
    m_state.reset(false);
    m_w.frameSearchMaterial->hide();
}

void MaterialSearchController::switchSmartSentenceWord()
{
    QAction *a = m_w.actionSmartSentenceWordSwitch;
    g_SysParams.editorParams.smartSentenceWord = a ? a->isChecked() : !g_SysParams.editorParams.smartSentenceWord;
    saveSysParams(); // publishes the switch to the worker too
}

// ---------------------------------------------------------------- keyword search

void MaterialSearchController::searchMaterial(const QString &keyword, int mode)
{
    if (m_browser)
        m_browser->setManualKeyword(keyword);
    if (mode == SearchWeb) {
        const QUrl url = webSearchUrl(keyword);
        if (!m_openUrl(url))
            writeLog(QStringLiteral("err"), QStringLiteral("无法打开网址：%1").arg(url.toString()));
        return;
    }
    if ((mode != SearchLibrary && mode != SearchUserMaterial) || !m_browser)
        return;
    if (QPlainTextEdit *pane = m_browser->widgets().plainTextEditMaterialContent)
        pane->clear();
    const bool inMemory = mode == SearchLibrary && searchableInMemory(keyword);
    const auto texts = inMemory ? m_state.materialTexts() : nullptr;
    if (texts) {
        listFromTexts(*texts, keyword);
    } else {
        if (inMemory)
            m_state.requestMaterialTexts(); // read by the worker: the next search scans memory
        QueryPtr query = runLibraryQuery(keywordSearchSql(keyword, mode));
        m_browser->fillMaterialList(*query, m_browser->materialListModel(), m_browser->materialListRecords(), true);
    }
    QStandardItemModel *model = m_browser->materialListModel();
    if (m_w.listViewMaterial && model->rowCount() > 0)
        m_w.listViewMaterial->setCurrentIndex(model->index(0, 0));
}

void MaterialSearchController::listFromTexts(const LibraryTable &texts, const QString &keyword)
{
    QVector<int> rows;
    texts.find(foldAscii(keyword), rows);
    QVector<qint64> rowids;
    rowids.reserve(rows.size());
    for (int row : qAsConst(rows))
        rowids << texts.key(row);
    m_browser->releaseRecords(m_browser->materialListModel(), m_browser->materialListRecords());
    // A statement per thousand rows: a common key would otherwise make one huge IN list.
    constexpr int kChunk = 1000;
    for (int at = 0; at < rowids.size(); at += kChunk) {
        QueryPtr query = runLibraryQuery(materialRowsSql(rowids.constData() + at, qMin(kChunk, rowids.size() - at)));
        m_browser->fillMaterialList(*query, m_browser->materialListModel(), m_browser->materialListRecords(), false);
    }
}

QString MaterialSearchController::selectionKeyword() const
{
    return m_w.editor ? storedTextForm(m_w.editor->textCursor().selectedText()) : QString();
}

void MaterialSearchController::searchSelection(int mode) { searchMaterial(selectionKeyword(), mode); }

void MaterialSearchController::searchSentences()
{
    const QString key = selectionKeyword();
    if (!key.isEmpty())
        m_state.requestSentenceSearch(key);
}

void MaterialSearchController::searchManual()
{
    const QString keyword = m_w.lineEditWord ? m_w.lineEditWord->text() : QString();
    if (keyword.isEmpty()) {
        g_App.showError(QStringLiteral("请输入要搜索的关键词！"));
        return;
    }
    searchMaterial(keyword, m_w.tabWidgetMaterial ? m_w.tabWidgetMaterial->currentIndex() : 0);
}

void MaterialSearchController::recordSelectionKeyword()
{
    if (m_browser)
        m_browser->setManualKeyword(selectionKeyword());
}
