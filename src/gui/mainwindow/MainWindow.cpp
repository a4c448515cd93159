#include "mainwindow/MainWindow.h"
#include "ui_MainWindow.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "app/WorkerHost.h"
#include "book/BookPlace.h"
#include "book/BookExportController.h"
#include "book/EditorController.h"
#include "book/HistoryController.h"
#include "cloud/AccountController.h"
#include "cloud/AsyncHelper.h"
#include "cloud/SyncController.h"
#include "cloud/CloudLocks.h"
#include "cloud/WorkerController.h"
#include "book/MyTextEdit.h"
#include "book/TextToolsController.h"
#include "book/RecoveryController.h"
#include "book/BookSearchController.h"
#include "log/Log.h"
#include "material/ArticleViewDialog.h"
#include "material/MaterialBrowser.h"
#include "material/UserMaterialController.h"
#include "material/MaterialSearchController.h"
#include "material/SmartSearchWorker.h"
#include "params/Reminders.h"
#include "settings/SettingsController.h"
#include "params/SysParams.h"
#include "frame/FramelessWindow.h"
#include "frame/Frames.h"
#include "frame/Toast.h" // ReminderQueue holds one by QPointer
#include "mainwindow/LayoutStore.h"
#include "mainwindow/MainTimers.h"
#include "mainwindow/MainStatusBar.h"
#include "mainwindow/MainWindowForm.h"
#include "mainwindow/ReminderQueue.h"
#include "mainwindow/ScreenReaderNames.h"
#include "stats/WritingStatsController.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QScreen>
#include <QSessionManager>
#include <QStandardItemModel>
#include <QTimer>
#include <QUrl>
#include <optional>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    // The program's names and icon; the menu bar stays inside the frame on every desktop.
    QGuiApplication::setApplicationDisplayName(Ink::productName());
    setWindowTitle(g_App.title());
    setWindowIcon(QIcon(QStringLiteral(":/res/icons/Writer128.png")));
    QApplication::setWindowIcon(windowIcon()); // task bars and window lists
    QCoreApplication::setAttribute(Qt::AA_DontShowShortcutsInContextMenus, false);
    ui->menuBar->setNativeMenuBar(false);

    m_workers = new WorkerHost(this);
    m_reminders = new ReminderQueue(this);
    connect(m_reminders, &ReminderQueue::linkActivated, this, &MainWindow::smarkCheckLinkActivated);
    m_timers = new MainTimers(this);
    // The editor's actions get their icons before the tool tips and tool buttons copy them.
    m_editor = new EditorController(ui->textEditor, ui->styleToolBar, mainform::editorActions(ui), this);
    mainform::prepareActions(this, ui);
    mainform::buildContextMenus(ui);

    // The book panel works through its controller; the material panel's models start empty and
    // the material browser fills them.
    m_book = new BookController(ui->treeViewBook, ui->textEditor, this);
    connect(m_book, &BookController::bookActionsChanged, this, &MainWindow::refreshBookToolButtonState);
    m_bookTransfer = new BookTransferController(m_book, this);
    m_recovery = new RecoveryController(m_book, g_App.tmpPath(), m_timers->tmpSaveTimer(), statusBar(), this);
    m_timers->setRecovery(m_recovery);
    m_bookSearch = new BookSearchController(this, m_book, this);
    m_bookSearch->addMenuActions(ui->mnuEdit);
    m_materialModel = new QStandardItemModel(this);
    m_userMaterialModel = new QStandardItemModel(this);
    m_materialListModel = new QStandardItemModel(this);
    m_searchListModel = new QStandardItemModel(this);
    ui->treeViewMaterial->setModel(m_materialModel);
    ui->treeViewUserMaterial->setModel(m_userMaterialModel);
    ui->listViewMaterial->setModel(m_materialListModel);
    ui->listViewSearchMaterial->setModel(m_searchListModel);
    ui->listViewMaterial->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->listViewSearchMaterial->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The material panel's trees, list and content pane work on these models.
    m_materials = new MaterialBrowser(mainform::materialWidgets(ui), this);
    m_materials->setInsertHandler([this](const QString &text, bool atEnd) { insertEditorText(text, atEnd); });
    connect(m_materials, &MaterialBrowser::userMaterialToolButtonStateRefresh, this,
            &MainWindow::refreshUserMaterialToolButtonState);
    m_userMaterials = new UserMaterialController(m_materials, this);
    m_search = new MaterialSearchController(mainform::searchWidgets(ui), m_materials, this);
    m_search->startWorker(m_workers);
    connect(this, &MainWindow::startSmartSearch, m_search->worker(), &SmartSearchThreadWorker::doSmartSearch);

    m_settings = new SettingsController(this, this);
    m_account = new AccountController(this, this);
    m_account->setAfterSignIn([this] { loadTree(QStringLiteral("B")); loadTree(QStringLiteral("U")); });
    connect(m_account, &AccountController::busyChanged, this, &MainWindow::refreshSysToolButtonState);
    m_sync = new SyncController(this, statusBar(), [this] { reloadTreesAfterSync(); }, this);
    connect(m_sync, &SyncController::busyChanged, this, &MainWindow::refreshSysToolButtonState);
    m_cloudWorkers = new WorkerController(m_workers, statusBar(),
                                          {[this] { reloadTreesAfterSync(); },
                                           [this] { refreshSysToolButtonState(); },
                                           [this] { smartCheckTimeUpdate(); },
                                           [this] { return ui->textEditor->document()->isModified(); }},
                                          this);
    m_cloudWorkers->attach(this);

    m_status = new MainStatusBar(statusBar(), m_book, ui->textEditor, this);
    m_textTools = new TextToolsController(
        {ui->textEditor, ui->treeViewBook, m_book, statusBar(), m_status->statisticsLabel(), this}, this);
    m_textTools->setInsertHandler([this](const QString &text, bool atEnd) { insertEditorText(text, atEnd); });
    connect(m_status, &MainStatusBar::websiteLinkActivated, this, &MainWindow::labelWebsiteLinkActivated);
    (new WritingStatsController(m_book, ui->textEditor, m_status->dailyTargetLabel(), this))
        ->addMenuAction(ui->mnuAdv, m_timers->timeTimer());
    (new HistoryController(m_book, statusBar(), this))->addMenuAction(ui->mnuEdit);
    // Above 写作统计, which stays the menu's last command.
    (new BookExportController(m_book, statusBar(), m_workers, this))
        ->addMenuActions(ui->mnuAdv, findChild<QAction *>(QStringLiteral("actionAdvanceWritingStats")),
                         ui->treeViewBook->contextMenu(), ui->actionBookExport);
    connectEditor();
    mainform::linkToolButtons(ui);
    nameForScreenReaders(this, ui);
    ui->frameSearchMaterial->hide();
    ui->textEditor->setResetOnAsciiKey(true);

    // Worker threads register with m_workers as their parts arrive; every way out stops them.
    connect(&g_App, &App::refreshUserInfo, this, &MainWindow::refreshUserInfo);
    connect(&g_App, &App::orderlyQuitRequested, this, &MainWindow::quitWithoutQuestions);
    if (auto *guiApp = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(guiApp, &QGuiApplication::commitDataRequest, this, &MainWindow::appCommitDataRequest);
        connect(guiApp, &QCoreApplication::aboutToQuit, this, &MainWindow::appAboutToQuit);
    }

    m_layout = new LayoutStore(mainform::layoutWidgets(this, ui), this);
    m_book->clearEditor();
    g_App.guiSnapshot().cloudSyncOn = g_SysParams.cloudSyncParams.active;

    // First start: the frame (title bar and margins included) fits the screen.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect avail = screen->availableGeometry();
        // Most of a large screen, all of a small one (restoreLayout brings back the author's size).
        resize(qMin(avail.width() - 2 * FramelessWindow::kShadowMargin - 8, qMax(width(), avail.width() * 17 / 20)),
               qMin(avail.height() - 2 * FramelessWindow::kShadowMargin - 40,
                    qMax(height(), avail.height() * 17 / 20)));
    }
}

MainWindow::~MainWindow()
{
    m_closing = true;
    m_timers->stop();
    m_workers->stopAll(); // at once when a shutdown has stopped them already
    delete m_book; // items before their records
    m_book = nullptr;
    m_materialModel->clear();
    m_userMaterialModel->clear();
    delete ui;
    // The program's main window takes the connection with it (final backup, close).
    if (Frames::mainWindow() == this) {
        Frames::setMainWindow(nullptr);
        g_App.deinit();
    }
}

QWidget *MainWindow::frameWindow() const { return m_layout->frameWindow(); }
QLabel *MainWindow::cursorPositionLabel() const { return m_status->cursorPositionLabel(); }
QLabel *MainWindow::saveStateLabel() const { return m_status->saveStateLabel(); }

// ---------------------------------------------------------------- construction

void MainWindow::connectEditor()
{
    MyTextEdit *editor = ui->textEditor;
    QTextDocument *doc = editor->document();
    connect(doc, &QTextDocument::modificationChanged, this, &QWidget::setWindowModified);
    connect(doc, &QTextDocument::modificationChanged, this, &MainWindow::on_textEditor_modificationChanged);
    setWindowModified(doc->isModified());
    connect(editor, &MyTextEdit::signalLastInput, this, &MainWindow::textEditorLastInput);
    connect(editor, &MyTextEdit::signalLastInputStringReseted, this, &MainWindow::textEditorLastInputStringReseted);
    connect(editor, &MyTextEdit::signalLastInputStringChanged, this, &MainWindow::textEditorLastInputStringChanged);
}

// ---------------------------------------------------------------- first show, trees, layout

void MainWindow::windowFirstShow()
{
    // Once only: the flag is set before the deferred call, and the paint signal is let go.
    if (m_firstShowScheduled)
        return;
    m_firstShowScheduled = true;
    if (auto *frame = qobject_cast<FramelessWindow *>(frameWindow()))
        disconnect(frame, &FramelessWindow::windowPaint, this, &MainWindow::windowFirstShow);
    QTimer::singleShot(1, this, &MainWindow::runFirstShow);
}

void MainWindow::runFirstShow()
{
    // The suggestion libraries are read on their thread while this one loads the trees.
    emit startSmartSearch();
    try {
        // Traced (INKBOAT_TRACE_LOG=1) when it ends: whoever drives the window from outside knows
        // from it that the trees and the author's place are back and a click lands where it is aimed.
        std::optional<PerformanceLogger> firstShow(std::in_place, QStringLiteral("首次显示"));
        restoreLayout();
        refreshBookToolButtonState();
        refreshUserMaterialToolButtonState();
        refreshEditorToolButtonState();
        refreshSearchToolButtonState();
        refreshMaterialContentToolButtonState();
        refreshViewActionsState();
        refreshSysToolButtonState();
        refreshUserInfo();

        loadTree(QStringLiteral("B"));
        loadTree(QStringLiteral("M"));
        loadTree(QStringLiteral("U"));
        // Back where the author left off; else the first book.
        const QModelIndex firstBook = m_book->proxy()->index(0, 0);
        if (!BookPlace::load().restore(m_book) && firstBook.isValid())
            ui->treeViewBook->setCurrentIndex(firstBook);
        if (m_materialModel->rowCount() > 0)
            ui->treeViewMaterial->setCurrentIndex(m_materialModel->index(0, 0));
        if (ui->tabWidgetMaterial->currentWidget() == ui->tabUserMaterial && m_userMaterialModel->rowCount() > 0)
            ui->treeViewUserMaterial->setCurrentIndex(m_userMaterialModel->index(0, 0));
        if (!ui->treeViewBook->currentIndex().isValid()) {
            m_book->clearEditor();
            m_editor->applyDefaultFormat();
        }
        m_book->setSortByModified(g_SysParams.visibilityParams.bookSortByModified);
        firstShow.reset();
        m_settings->firstShowGuidance();
        refreshBookToolButtonState();
    } catch (const Exception &e) {
        logException(e);
        g_App.showError(e.message());
    }
    emit startAppInit();
    emit startHeartbeat();
    emit startLoopProc();
}

void MainWindow::loadTree(const QString &kind, bool expand)
{
    if (kind == QLatin1String("B")) {
        m_book->loadTree();
        if (expand)
            ui->treeViewBook->expandAll();
    }
    // "M" and "U": the material browsing
    if (kind != QLatin1String("B") && m_materials)
        m_materials->loadTree(kind, expand);
}

void MainWindow::saveLayout() { m_layout->save(); }

void MainWindow::restoreLayout() { m_layout->restore(); }

void MainWindow::reloadTreesAfterSync()
{
    try {
        m_book->loadTree(true);
        applyBookSort();
        m_userMaterials->reloadAfterSync();
        if (!ui->treeViewBook->currentIndex().isValid())
            m_book->clearEditor();
    } catch (const Exception &e) {
        g_App.showError(e.message());
    }
    refreshBookToolButtonState();
}

void MainWindow::applyBookSort() { m_book->applyBookSort(); }

// ---------------------------------------------------------------- timers and reminders

void MainWindow::timeTimerUpdate() { m_status->updateClock(); }

void MainWindow::autoSaveTimerUpdate()
{
    if (m_closing)
        return;
    m_book->autoSaveTimerUpdate();
}

void MainWindow::tmpSaveTimerUpdate() { m_recovery->tmpSaveTimerUpdate(); }

void MainWindow::smartCheckTimeUpdate()
{
    try {
        m_reminders->offer(dueReminders(g_SysParams, g_App.appDataPath(), g_App.defaultBackupPath(),
                                        ReminderMemory::load(), QDateTime::currentDateTime()));
    } catch (const Exception &e) {
        logException(e);
    }
}

void MainWindow::smarkCheckLinkActivated(const QString &link)
{
    if (link == QLatin1String("SysOption")) {
        on_actionSysOptions_triggered();
        m_timers->stopSmartCheck();
    } else if (link == QLatin1String("SysUserLogin")) {
        on_actionSysUserLogin_triggered();
    } else if (link == QLatin1String("SysUserRegister")) {
        on_actionSysUserRegister_triggered();
    }
}

void MainWindow::appCommitDataRequest(QSessionManager &manager)
{
    Q_UNUSED(manager)
    saveChapterForSession();
}

bool MainWindow::saveChapterForSession()
{
    // The session manager may end the process a few seconds after asking: no dialog here, and
    // text that cannot be saved goes to a recovery copy.
    return m_book->saveBeforeQuit(g_App.tmpPath());
}

void MainWindow::appAboutToQuit()
{
    // Every other way out (restart after an upgrade, exit for an installer) ends here: the same
    // shutdown as a close, without questions.
    shutdownWithoutQuestions();
}

bool MainWindow::shutdownWithoutQuestions()
{
    if (m_shutDown)
        return false;
    m_closing = true;
    g_App.guiSnapshot().closing = true;
    m_timers->stop();
    shutdown(false);
    return true;
}

// ---------------------------------------------------------------- action states

void MainWindow::refreshSysToolButtonState()
{
    const bool signedIn = g_App.guiSnapshot().signedIn.load();
    const bool idle = !cloudop::running() && !(m_account && m_account->busy());
    ui->actionSysChangeUser->setEnabled(signedIn && idle);
    ui->actionSysUserLogin->setEnabled(!signedIn && idle);
    ui->actionSysSync->setEnabled(idle && g_SysParams.cloudSyncParams.active && signedIn &&
                                  !ui->textEditor->document()->isModified());
}

void MainWindow::refreshBookToolButtonState()
{
    if (!m_book)
        return;
    const BookController::ActionState s = m_book->actionState();
    ui->actionBookNewBook->setEnabled(s.newBook);
    ui->actionBookNewVolume->setEnabled(s.newVolume);
    ui->actionBookNewSection->setEnabled(s.newSection);
    ui->actionBookNewSameLevelNode->setEnabled(s.newSameLevel);
    ui->actionBookDelNode->setEnabled(s.del);
    // The view is inside the frame: "active window" is the frame's.
    ui->actionBookRenameNode->setEnabled(s.newSameLevel);
}

void MainWindow::refreshUserMaterialToolButtonState()
{
    const bool node = ui->treeViewUserMaterial->selectionModel() &&
                      ui->treeViewUserMaterial->selectionModel()->hasSelection();
    ui->actionUserMaterialAddSelection->setEnabled(node && ui->textEditor->textCursor().hasSelection());
    ui->actionUserMaterialAddContent->setEnabled(node);
}

void MainWindow::refreshEditorToolButtonState()
{
    const bool sel = ui->textEditor->textCursor().hasSelection();
    for (QAction *a : {ui->actionTextAsNodeTitle, ui->actionSearchSentenceAndWord, ui->actionSearchMaterial,
                       ui->actionSearchUserMaterial, ui->actionSearchBaidu})
        a->setEnabled(sel);
}

void MainWindow::refreshSearchToolButtonState() { m_search->refreshSearchToolButtonState(); }

void MainWindow::refreshMaterialContentToolButtonState()
{
    ui->actionTextInsertSelectMaterial->setEnabled(ui->plainTextEditMaterialContent->textCursor().hasSelection());
}

void MainWindow::refreshViewActionsState() { m_layout->refreshViewActions(); }

void MainWindow::refreshUserInfo()
{
    const bool signedIn = g_App.guiSnapshot().signedIn.load();
    m_status->showSignedIn(signedIn);
    m_userSummary.refresh(signedIn);
    refreshSysToolButtonState();
}

void MainWindow::commomThreadWorkerSignal(QString signalGroup, QString signalValue, bool sucess, QString signalDetail)
{
    writeTraceLog(QStringLiteral("thread"), QStringLiteral("%1 %2 %3 %4").arg(signalGroup, signalValue).arg(sucess).arg(signalDetail));
    m_cloudWorkers->commomThreadWorkerSignal(signalGroup, signalValue, sucess, signalDetail);
}

QVariant MainWindow::syncOut(QString key) { return g_App.syncOut(key); }

void MainWindow::labelWebsiteLinkActivated(const QString &link)
{
    QDesktopServices::openUrl(QUrl(link.isEmpty() ? Ink::serviceBaseUrl() : link));
}

void MainWindow::actionsTriggered(bool triggered)
{
    Q_UNUSED(triggered)
    if (isTraceLogEnabled() && sender())
        writeTraceLog(QStringLiteral("act"), QStringLiteral("执行动作%1").arg(sender()->objectName()));
    if (sender() && !sender()->objectName().isEmpty())
        AsyncHelper::saveActionLog(sender()->objectName());
}

void MainWindow::ApplySysOptions()
{
    m_timers->applyIntervals();
    g_App.applyUiFont(g_SysParams.visibilityParams.uiFontName, g_SysParams.visibilityParams.uiFontSize);
    g_App.applySkin(g_SysParams.visibilityParams.skinName);
    g_App.guiSnapshot().cloudSyncOn = g_SysParams.cloudSyncParams.active;
    refreshSysToolButtonState();
}

// ---------------------------------------------------------------- editor

void MainWindow::insertEditorText(const QString &text, bool atEnd)
{
    if (ui->textEditor->isReadOnly())
        return;
    m_lastInputTime = QDateTime::currentDateTime();
    g_App.guiSnapshot().lastInputMsecs = m_lastInputTime.toMSecsSinceEpoch();
    m_book->insertEditorText(text, atEnd);
}

void MainWindow::ensureEditorCursorVisible() { ui->textEditor->ensureCursorVisible(); }

void MainWindow::restoreEditorScrollInfo()
{
    ui->textEditor->restoreScrollInfo();
    ui->textEditor->ensureCursorVisible();
}

void MainWindow::textEditorLastInput()
{
    m_lastInputTime = QDateTime::currentDateTime();
    g_App.guiSnapshot().lastInputMsecs = m_lastInputTime.toMSecsSinceEpoch();
    m_search->textEditorLastInput();
}

void MainWindow::textEditorLastInputStringReseted() { m_search->textEditorLastInputStringReseted(); }

void MainWindow::textEditorLastInputStringChanged(QString &lastInputString, QString &lastComboInputString)
{
    m_search->textEditorLastInputStringChanged(lastInputString, lastComboInputString);
}

void MainWindow::on_textEditor_textChanged()
{
    if (m_textTools) // the form's text changes before the tools exist
        m_textTools->updateWordStatistics();
}

void MainWindow::on_textEditor_currentCharFormatChanged(const QTextCharFormat &format)
{
    m_editor->showCharFormat(format);
}

void MainWindow::on_textEditor_cursorPositionChanged()
{
    m_editor->showAlignment();
    m_status->showCursorPosition();
}

void MainWindow::on_textEditor_selectionChanged()
{
    m_editor->showSelection();
    refreshUserMaterialToolButtonState();
    refreshEditorToolButtonState();
}

void MainWindow::on_textEditor_modificationChanged(bool modified)
{
    g_App.guiSnapshot().documentModified = modified;
    m_timers->setUnsaved(modified);
    refreshSysToolButtonState();
}

// ---------------------------------------------------------------- system and help actions

void MainWindow::on_actionSysUserRegister_triggered() { m_account->registerUser(); }
void MainWindow::on_actionSysUserLogin_triggered() { m_account->login(); }
void MainWindow::on_actionSysUserInfo_triggered() { m_account->showUserInfo(m_userSummary.text()); }
void MainWindow::on_actionSysChangeUser_triggered() { m_account->changeUser(); }

void MainWindow::on_actionSysSave_triggered()
{
    // The chapter in the editor, by id; nothing without one.
    if (m_book->currentChapterId().isEmpty())
        return;
    m_book->trySaveArticle();
}

void MainWindow::on_actionSysSync_triggered() { m_sync->manualSync(); }
void MainWindow::on_actionSysOptions_triggered()
{
    if (m_settings->showOptions())
        ApplySysOptions();
}

void MainWindow::on_actionSysExit_triggered()
{
    QWidget *frame = frameWindow();
    frame->close();
}

void MainWindow::on_actionHelpHelp_triggered() { m_settings->showGuide(); }
void MainWindow::on_actionHelpShowNoviceGuidance_triggered() { m_settings->showGuidance(); }
void MainWindow::on_actionHelpAbout_triggered() { m_settings->showAbout(); }

// ---------------------------------------------------------------- edit and format actions

void MainWindow::on_actionEditUndo_triggered() { ui->textEditor->undo(); }

void MainWindow::on_actionEditRedo_triggered() { ui->textEditor->redo(); }
void MainWindow::on_actionEditFind_triggered() { m_textTools->showFindDialog(); }
void MainWindow::on_actionEditReplace_triggered() { m_textTools->showReplaceDialog(); }
void MainWindow::on_actionTextBold_triggered() { m_editor->setBold(); }
void MainWindow::on_actionTextItalic_triggered() { m_editor->setItalic(); }
void MainWindow::on_actionTextUnderline_triggered() { m_editor->setUnderline(); }
void MainWindow::on_actionTextStrickout_triggered() { m_editor->setStrikeOut(); }

void MainWindow::on_actionTextColor_triggered() { m_editor->chooseColor(); }
void MainWindow::on_actionTextBackColor_triggered() { m_editor->chooseBackColor(); }
void MainWindow::on_actionAlignAuto_triggered() { m_textTools->autoFormat(); }

// ---------------------------------------------------------------- book actions

void MainWindow::on_actionBookNewBook_triggered() { m_book->addBookNode(true, false); }
void MainWindow::on_actionBookNewVolume_triggered() { m_book->addBookNode(false, false); }
void MainWindow::on_actionBookNewSection_triggered() { m_book->addBookNode(false, false); }
void MainWindow::on_actionBookNewSameLevelNode_triggered() { m_book->addBookNode(false, true); }
void MainWindow::on_actionBookRenameNode_triggered() { m_book->renameCurrentNode(); }
void MainWindow::on_actionBookDelNode_triggered() { m_book->deleteCurrentNode(); }
void MainWindow::on_actionBookImport_triggered() { m_bookTransfer->importFolder(); }
void MainWindow::on_actionBookExport_triggered() { m_bookTransfer->exportCurrent(); }
void MainWindow::on_actionTextInsertDateTime_triggered() { m_textTools->insertDateTime(); }
void MainWindow::on_actionTextInsertLine_triggered() { m_textTools->insertLine(); }
void MainWindow::on_actionTextAsNodeTitle_triggered() { m_textTools->selectionAsNodeTitle(); }
void MainWindow::on_actionTextCopyAll_triggered() { m_textTools->copyAll(); }
void MainWindow::on_actionSensitiveWordsCheck_triggered() { m_textTools->checkSensitiveWords(false); }
void MainWindow::on_actionSensitiveWordsClear_triggered() { m_textTools->clearSensitiveWords(); }

void MainWindow::on_actionAdvanceSortByModifiedSwitch_triggered()
{
    ui->actionAdvanceSortByModifiedSwitch->setChecked(m_book->switchSortByModified());
}

// ---------------------------------------------------------------- material and search actions

void MainWindow::on_actionSmartSentenceWordSwitch_triggered() { m_search->switchSmartSentenceWord(); }

void MainWindow::on_actionTextInsertSelectMaterial_triggered() { m_materials->on_actionTextInsertSelectMaterial_triggered(); }
void MainWindow::on_actionTextInsertAllMaterial_triggered() { m_materials->on_actionTextInsertAllMaterial_triggered(); }
void MainWindow::on_actionTextInsertMaterialTitle_triggered() { m_search->insertTitle(); }
void MainWindow::on_actionTextInsertMaterialContent_triggered() { m_search->insertContent(); }
void MainWindow::on_actionMaterialPreviousPage_triggered() { m_search->previousPage(); }
void MainWindow::on_actionMaterialNextPage_triggered() { m_search->nextPage(); }
void MainWindow::on_actionMaterialFirstPage_triggered() { m_search->firstPage(); }
void MainWindow::on_actionMaterialLastPage_triggered() { m_search->lastPage(); }
void MainWindow::on_actionMaterialHide_triggered() { m_search->hideResults(); }
void MainWindow::on_actionUserMaterialAddSelection_triggered() { m_userMaterials->addFromEditor(true); }
void MainWindow::on_actionUserMaterialAddContent_triggered() { m_userMaterials->addFromEditor(false); }
void MainWindow::on_actionSearchMaterial_triggered() { m_search->searchSelection(0); }
void MainWindow::on_actionSearchUserMaterial_triggered() { m_search->searchSelection(1); }
void MainWindow::on_actionSearchBaidu_triggered() { m_search->searchSelection(2); }
void MainWindow::on_actionSearchWordLib_triggered() { m_search->recordSelectionKeyword(); }
void MainWindow::on_actionSearchWordManual_triggered() { m_search->searchManual(); }
void MainWindow::on_actionSearchSentenceAndWord_triggered() { m_search->searchSentences(); }
void MainWindow::on_actionArticleWritingGuide_triggered() { ArticleViewDialog::showWritingGuide(this); }
void MainWindow::on_actionAdvanceUserMaterialManage_triggered() { m_userMaterials->manage(); }

// ---------------------------------------------------------------- view actions

void MainWindow::on_actionViewMainMenu_triggered() { m_layout->toggleMainMenu(); }
void MainWindow::on_actionViewMaterialPanel_triggered() { m_layout->toggleMaterialPanel(); }
void MainWindow::on_actionViewBookPanel_triggered() { m_layout->toggleBookPanel(); }
void MainWindow::on_actionViewFullScreen_triggered() { m_layout->toggleFullScreen(); }

void MainWindow::on_splitterMain_splitterMoved(int pos, int index)
{
    Q_UNUSED(pos)
    Q_UNUSED(index)
    refreshViewActionsState();
}

// ---------------------------------------------------------------- events, closing

bool MainWindow::shutdown(bool askToSave)
{
    if (askToSave) {
        if (!m_book->checkSaveArticle())
            return false;
        m_sync->uploadAtExit(ui->textEditor->document()->isModified());
    } else if (!m_book->saveBeforeQuit(g_App.tmpPath())) {
        // Nobody may be asked now (the session ends the process soon): the text went to a
        // recovery copy and the log, and the exit code says that something was not saved.
        m_exitCode = 1;
    }
    BookPlace::capture(m_book).save();
    try {
        saveLayout();
        saveSysParams();
    } catch (const Exception &e) {
        logException(e);
    }
    if (askToSave)
        WorkerController::postQuitInfo();
    m_bookSearch->stop();
    m_workers->stopAll();
    m_shutDown = true;
    return true;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Refused unless everything below succeeds; a second request while closing is ignored.
    event->ignore();
    if (m_closing || m_account->deferClose())
        return;
    if (m_shutDown) {
        event->accept();
        return;
    }
    if (g_App.ask(QStringLiteral("确定退出吗？")) != Ink::maYes)
        return;
    m_closing = true;
    g_App.guiSnapshot().closing = true;
    m_timers->stop();
    setEnabled(false);
    const bool done = shutdown(true);
    // A quit without questions may have run while the save question was open.
    if (!done && !m_shutDown) {
        // The chapter was not settled (its save failed, or the question was dismissed): the
        // author keeps writing.
        setEnabled(true);
        m_closing = false;
        g_App.guiSnapshot().closing = false;
        m_timers->start();
        return;
    }
    event->accept();
}

void MainWindow::quitWithoutQuestions()
{
    if (shutdownWithoutQuestions())
        QCoreApplication::exit(m_exitCode);
}
