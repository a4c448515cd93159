#include "mainwindow/MainWindow.h"
#include "ui_MainWindow.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookTree.h"
#include "book/MyTextEdit.h"
#include "book/RecoveryController.h"
#include "log/Log.h"
#include "material/ArticleViewDialog.h"
#include "material/MaterialBrowser.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"
#include "frame/FramelessWindow.h"
#include "frame/Toast.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFontComboBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QSessionManager>
#include <QSettings>
#include <QStandardItemModel>
#include <QStorageInfo>
#include <QTextBlock>
#include <QTextList>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int kMinAutoSaveSeconds = 10;

QString overLengthMessage(int length)
{
    return QStringLiteral("文章已有%1个字符，超过最大字符长度%2，不能保存，请删减！").arg(length).arg(Ink::maxArticleLength);
}

// Icons drawn from a glyph: crisp at any scale and readable without an icon theme.
QIcon glyphIcon(const QString &glyph, const QFont &base, bool bold = false, bool italic = false, bool underline = false,
                bool strike = false)
{
    QIcon icon;
    for (int size : {16, 20, 32, 40}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::TextAntialiasing);
        QFont f = base;
        f.setPixelSize(size * 3 / 4);
        f.setBold(bold);
        f.setItalic(italic);
        f.setUnderline(underline);
        f.setStrikeOut(strike);
        p.setFont(f);
        p.setPen(QApplication::palette().color(QPalette::ButtonText));
        p.drawText(pm.rect(), Qt::AlignCenter, glyph);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

QIcon alignIcon(Qt::Alignment align)
{
    QIcon icon;
    for (int size : {16, 20, 32, 40}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        const QColor c = QApplication::palette().color(QPalette::ButtonText);
        const int m = size / 8;
        const int w = size - 2 * m;
        const int line = qMax(1, size / 10);
        for (int i = 0; i < 4; ++i) {
            const int len = (align & Qt::AlignJustify) || i % 2 == 0 ? w : w * 3 / 5;
            int x = m;
            if (align & Qt::AlignHCenter)
                x = m + (w - len) / 2;
            else if (align & Qt::AlignRight)
                x = m + w - len;
            p.fillRect(x, m + i * (w / 4) + line / 2, len, line, c);
        }
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

QString userMaterialCountSql()
{
    return QStringLiteral("SELECT COUNT(*) FROM MemoTree WHERE Flag='A' AND Category='Content'");
}

int countOf(const QString &sql)
{
    try {
        QueryPtr q = openQuery(sql);
        return q->next() ? q->value(0).toInt() : 0;
    } catch (const Exception &) {
        return 0;
    }
}

// The mount of a path that may not exist yet (a backup folder still to be made).
QStorageInfo storageOf(const QString &path)
{
    QDir dir(QDir::fromNativeSeparators(path));
    QString p = dir.absolutePath();
    while (!p.isEmpty() && !QFileInfo::exists(p)) {
        const QString up = QFileInfo(p).path();
        if (up == p)
            break;
        p = up;
    }
    return QStorageInfo(p);
}

QSettings layoutSettings()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, Ink::applicationName(), Ink::applicationName());
}

} // namespace

bool shutdownThreads(const QList<QThread *> &threads, int timeoutMs)
{
    // Everyone is told at once, so long calls in several workers end in parallel.
    for (QThread *t : threads) {
        if (!t)
            continue;
        t->requestInterruption();
        t->quit();
    }
    bool allStopped = true;
    for (QThread *t : threads) {
        if (!t)
            continue;
        QElapsedTimer waited;
        waited.start();
        while (!t->wait(50)) {
            if (waited.elapsed() >= timeoutMs) {
                writeLog(QStringLiteral("err"), QStringLiteral("线程未能在%1毫秒内结束").arg(timeoutMs));
                allStopped = false;
                break;
            }
        }
    }
    allStopped = QThreadPool::globalInstance()->waitForDone(timeoutMs) && allStopped;
    return allStopped;
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    // 1. names and attributes
    QGuiApplication::setApplicationDisplayName(Ink::productName());
    setWindowTitle(g_App.title());
    setWindowIcon(QIcon(QStringLiteral(":/res/icons/Writer128.png")));
    QApplication::setWindowIcon(windowIcon()); // task bars and window lists
    QCoreApplication::setAttribute(Qt::AA_DontShowShortcutsInContextMenus, false);
    ui->menuBar->setNativeMenuBar(false);

    // 2.–3. status bar
    statusBar()->showMessage(QStringLiteral("准备就绪!"), 5000);
    buildStatusBar();
    // 4. timers
    buildTimers();
    // 5. style tool bar boxes
    buildStyleToolBar();
    // 6.–7. actions, context menus, switches, alignment group
    prepareActions();
    buildContextMenus();

    // 9. models: the book panel's through its controller, empty shells for the material panel
    m_book = new BookController(ui->treeViewBook, ui->textEditor, this);
    connect(m_book, &BookController::bookActionsChanged, this, &MainWindow::refreshBookToolButtonState);
    m_recovery = new RecoveryController(m_book, g_App.tmpPath(), m_tmpSaveTimer, statusBar(), this);
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
    // --- material browsing: the panel's trees, list and content pane work on these models
    {
        MaterialBrowser::Widgets w;
        w.tabWidgetMaterial = ui->tabWidgetMaterial;
        w.treeViewMaterial = ui->treeViewMaterial;
        w.treeViewUserMaterial = ui->treeViewUserMaterial;
        w.listViewMaterial = ui->listViewMaterial;
        w.listViewSearchMaterial = ui->listViewSearchMaterial;
        w.plainTextEditMaterialContent = ui->plainTextEditMaterialContent;
        w.textEditor = ui->textEditor;
        w.actionTextInsertSelectMaterial = ui->actionTextInsertSelectMaterial;
        w.actionTextInsertAllMaterial = ui->actionTextInsertAllMaterial;
        w.connectInsertActions = false; // the on_action…_triggered slots below call the browser
        m_materials = new MaterialBrowser(w, this);
        m_materials->setInsertHandler([this](const QString &text, bool atEnd) { insertEditorText(text, atEnd); });
        connect(m_materials, &MaterialBrowser::userMaterialToolButtonStateRefresh, this,
                &MainWindow::refreshUserMaterialToolButtonState);
    }
    // --- end of material browsing

    // 8. editor state bound to the actions
    connectEditor();
    // 10. tool buttons follow their actions
    linkToolButtons();
    // 11.
    ui->frameSearchMaterial->hide();
    ui->textEditor->setResetOnAsciiKey(true);
    // 12. the material lists' focus handling lives in MaterialBrowser.

    // 13.–14. the workers register their threads (registerWorkerThread) as their parts arrive.
    // 15.
    connect(&g_App, &App::refreshUserInfo, this, &MainWindow::refreshUserInfo);
    connect(&g_App, &App::orderlyQuitRequested, this, &MainWindow::quitWithoutQuestions);
    if (auto *guiApp = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(guiApp, &QGuiApplication::commitDataRequest, this, &MainWindow::appCommitDataRequest);
        connect(guiApp, &QCoreApplication::aboutToQuit, this, &MainWindow::appAboutToQuit);
    }

    ui->splitterMain->setStretchFactor(0, 0);
    ui->splitterMain->setStretchFactor(1, 1);
    ui->splitterMain->setStretchFactor(2, 0);
    ui->splitterMain->setSizes({230, 760, 290});
    ui->splitterMaterial->setSizes({300, 120, 180});
    ui->splitterMiddle->setSizes({600, 0});
    m_book->clearEditor();
    g_App.guiSnapshot.cloudSyncOn = g_SysParams.cloudSyncParams.active;

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
    stopTimers();
    if (!m_shutDown)
        shutdownThreads(workerThreads());
    delete m_book; // items before their records
    m_book = nullptr;
    m_materialModel->clear();
    m_userMaterialModel->clear();
    delete ui;
    // The program's main window takes the connection with it (final backup, close).
    if (g_App.mainWindow == this) {
        g_App.mainWindow = nullptr;
        g_App.deinit();
    }
}

void MainWindow::setAskHook(std::function<int(const QString &)> hook)
{
    m_askHook = hook;
    m_book->askHook = std::move(hook);
}

void MainWindow::setErrorHook(std::function<void(const QString &)> hook)
{
    m_errorHook = hook;
    m_book->errorHook = std::move(hook);
}

int MainWindow::ask(const QString &text) { return m_askHook ? m_askHook(text) : g_App.ask(text); }

void MainWindow::showError(const QString &text)
{
    if (m_errorHook)
        m_errorHook(text);
    else
        g_App.showError(text);
}

void MainWindow::showInfo(const QString &text)
{
    if (m_infoHook)
        m_infoHook(text);
    else
        g_App.showInfo(text);
}

void MainWindow::notYetAvailable() { showInfo(QStringLiteral("该功能尚未完成")); }

QStringList MainWindow::unfinishedActionNames()
{
    return {QStringLiteral("actionSysUserRegister"), QStringLiteral("actionSysUserLogin"),
            QStringLiteral("actionSysUserInfo"), QStringLiteral("actionSysChangeUser"),
            QStringLiteral("actionSysSync"), QStringLiteral("actionSysOptions"), QStringLiteral("actionHelpHelp"),
            QStringLiteral("actionHelpShowNoviceGuidance"), QStringLiteral("actionHelpAbout"),
            QStringLiteral("actionEditFind"), QStringLiteral("actionEditReplace"), QStringLiteral("actionAlignAuto"),
            QStringLiteral("actionBookImport"), QStringLiteral("actionBookExport"),
            QStringLiteral("actionTextInsertDateTime"), QStringLiteral("actionTextInsertLine"),
            QStringLiteral("actionTextAsNodeTitle"), QStringLiteral("actionTextCopyAll"),
            QStringLiteral("actionSensitiveWordsCheck"), QStringLiteral("actionSensitiveWordsClear"),
            QStringLiteral("actionTextInsertMaterialTitle"), QStringLiteral("actionTextInsertMaterialContent"),
            QStringLiteral("actionMaterialPreviousPage"), QStringLiteral("actionMaterialNextPage"),
            QStringLiteral("actionMaterialFirstPage"), QStringLiteral("actionMaterialLastPage"),
            QStringLiteral("actionUserMaterialAddSelection"), QStringLiteral("actionUserMaterialAddContent"),
            QStringLiteral("actionSearchMaterial"), QStringLiteral("actionSearchUserMaterial"),
            QStringLiteral("actionSearchBaidu"), QStringLiteral("actionSearchWordLib"),
            QStringLiteral("actionSearchWordManual"), QStringLiteral("actionSearchSentenceAndWord"),
            QStringLiteral("actionAdvanceUserMaterialManage")};
}

QWidget *MainWindow::frameWindow() const
{
    if (FramelessWindow *frame = FramelessWindow::frameOf(this))
        return frame;
    return window();
}

void MainWindow::registerWorkerThread(QThread *thread)
{
    if (thread)
        m_threads.append(thread);
}

QList<QThread *> MainWindow::workerThreads() const
{
    QList<QThread *> list;
    for (const QPointer<QThread> &t : m_threads)
        if (t)
            list.append(t);
    return list;
}

// ---------------------------------------------------------------- construction

void MainWindow::buildStatusBar()
{
    auto label = [this](const QString &text) {
        auto *l = new QLabel(text, this);
        l->setFrameShape(QFrame::Box);
        l->setFrameShadow(QFrame::Plain);
        l->setContentsMargins(4, 0, 4, 0);
        return l;
    };
    m_labelLoginState = label(QStringLiteral("登录状态"));
    m_labelLoginState->setObjectName(QStringLiteral("labelLoginState"));
    m_labelCursorPosition = label(QStringLiteral("光标位置"));
    m_labelCursorPosition->setObjectName(QStringLiteral("labelCursorPosition"));
    m_labelStatistics = label(QStringLiteral("统计"));
    m_labelStatistics->setObjectName(QStringLiteral("labelStatistics"));
    m_labelClock = label(QString());
    m_labelClock->setObjectName(QStringLiteral("labelClock"));
    m_labelWebsite = label(QStringLiteral("<a href=\"%1\">官网</a>").arg(Ink::serviceBaseUrl()));
    m_labelWebsite->setObjectName(QStringLiteral("labelWebsite"));
    m_labelWebsite->setTextFormat(Qt::RichText);
    m_labelWebsite->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(m_labelWebsite, &QLabel::linkActivated, this, &MainWindow::labelWebsiteLinkActivated);
    for (QLabel *l : {m_labelCursorPosition, m_labelStatistics, m_labelLoginState, m_labelClock, m_labelWebsite})
        statusBar()->addPermanentWidget(l);
    // Unsaved text (too long, or the autosave failed): red, shown until the chapter saves.
    m_labelSaveState = new QLabel(this);
    m_labelSaveState->setObjectName(QStringLiteral("labelSaveState"));
    m_labelSaveState->setStyleSheet(QStringLiteral("QLabel { color: red; }"));
    m_labelSaveState->hide();
    statusBar()->insertPermanentWidget(0, m_labelSaveState);
}

void MainWindow::buildTimers()
{
    m_timeTimer = new QTimer(this);
    m_timeTimer->setObjectName(QStringLiteral("timeTimer"));
    m_autoSaveTimer = new QTimer(this);
    m_autoSaveTimer->setObjectName(QStringLiteral("autoSaveTimer"));
    m_tmpSaveTimer = new QTimer(this);
    m_tmpSaveTimer->setObjectName(QStringLiteral("tmpSaveTimer"));
    m_smartCheckTimer = new QTimer(this);
    m_smartCheckTimer->setObjectName(QStringLiteral("smartCheckTimer"));
    connect(m_timeTimer, &QTimer::timeout, this, &MainWindow::timeTimerUpdate);
    connect(m_autoSaveTimer, &QTimer::timeout, this, &MainWindow::autoSaveTimerUpdate);
    connect(m_tmpSaveTimer, &QTimer::timeout, this, &MainWindow::tmpSaveTimerUpdate);
    connect(m_smartCheckTimer, &QTimer::timeout, this, &MainWindow::smartCheckTimeUpdate);
    m_timeTimer->setInterval(1000);
    m_tmpSaveTimer->setInterval(1000);
    m_smartCheckTimer->setInterval(3600000);
    applyTimerIntervals();
    startTimers();
}

void MainWindow::applyTimerIntervals()
{
    // A stored interval below ten seconds would save on nearly every pause of the author.
    const int seconds = qMax(kMinAutoSaveSeconds, g_SysParams.saveBookInterval);
    m_autoSaveTimer->setInterval(seconds * 1000);
    if (!g_SysParams.autoSaveBook)
        m_autoSaveTimer->stop();
    else if (!m_closing && !m_autoSaveTimer->isActive())
        m_autoSaveTimer->start();
}

void MainWindow::startTimers()
{
    m_timeTimer->start();
    m_tmpSaveTimer->start();
    if (!m_smartCheckStopped)
        m_smartCheckTimer->start();
    if (g_SysParams.autoSaveBook)
        m_autoSaveTimer->start();
}

void MainWindow::stopTimers()
{
    for (QTimer *t : {m_timeTimer, m_autoSaveTimer, m_tmpSaveTimer, m_smartCheckTimer})
        if (t)
            t->stop();
}

void MainWindow::buildStyleToolBar()
{
    m_comboStyle = new QComboBox(ui->styleToolBar);
    m_comboStyle->setObjectName(QStringLiteral("comboStyle"));
    m_comboStyle->addItems({QStringLiteral("标准"), QStringLiteral("项目符号(实心圆)"), QStringLiteral("项目符号(空心圆)"),
                            QStringLiteral("项目符号(实心正方形)"), QStringLiteral("编号(阿拉伯数字)"),
                            QStringLiteral("编号(小写英文字母)"), QStringLiteral("编号(大写英文字母)"),
                            QStringLiteral("编号(小写罗马数字)"), QStringLiteral("编号(大写罗马数字)")});
    m_comboStyle->setFixedWidth(60);
    m_comboStyle->view()->setMinimumWidth(170);
    m_comboFont = new QFontComboBox(ui->styleToolBar);
    m_comboFont->setObjectName(QStringLiteral("comboFont"));
    m_comboFont->setFixedWidth(100);
    m_comboFont->setWritingSystem(QFontDatabase::SimplifiedChinese);
    m_comboSize = new QComboBox(ui->styleToolBar);
    m_comboSize->setObjectName(QStringLiteral("comboSize"));
    m_comboSize->setEditable(true);
    m_comboSize->setFixedWidth(50);
    for (int size : QFontDatabase::standardSizes())
        m_comboSize->addItem(QString::number(size));
    m_comboSize->setCurrentIndex(m_comboSize->findText(QString::number(QApplication::font().pointSize())));
    QAction *first = ui->styleToolBar->actions().value(0);
    ui->styleToolBar->insertWidget(first, m_comboStyle);
    ui->styleToolBar->insertWidget(first, m_comboFont);
    ui->styleToolBar->insertWidget(first, m_comboSize);
    connect(m_comboStyle, QOverload<int>::of(&QComboBox::activated), ui->textEditor, &MyTextEdit::textSetStyle);
    connect(m_comboFont, &QFontComboBox::textActivated, ui->textEditor, &MyTextEdit::textSetFamily);
    connect(m_comboSize, &QComboBox::textActivated, ui->textEditor, &MyTextEdit::textSetSize);
}

void MainWindow::prepareActions()
{
    const QFont f = QApplication::font();
    ui->actionTextBold->setIcon(glyphIcon(QStringLiteral("B"), f, true));
    ui->actionTextItalic->setIcon(glyphIcon(QStringLiteral("I"), f, false, true));
    ui->actionTextUnderline->setIcon(glyphIcon(QStringLiteral("U"), f, false, false, true));
    ui->actionTextStrickout->setIcon(glyphIcon(QStringLiteral("S"), f, false, false, false, true));
    ui->actionAlignLeft->setIcon(alignIcon(Qt::AlignLeft));
    ui->actionAlignCenter->setIcon(alignIcon(Qt::AlignHCenter));
    ui->actionAlignRight->setIcon(alignIcon(Qt::AlignRight));
    ui->actionAlignJustify->setIcon(alignIcon(Qt::AlignJustify));
    ui->actionEditCut->setIcon(glyphIcon(QStringLiteral("剪"), f));
    ui->actionEditCopy->setIcon(glyphIcon(QStringLiteral("复"), f));
    ui->actionEditPaste->setIcon(glyphIcon(QStringLiteral("贴"), f));
    ui->actionTextSelectAll->setIcon(glyphIcon(QStringLiteral("全"), f));
    ui->actionEditFind->setIcon(glyphIcon(QStringLiteral("查"), f));
    ui->actionEditReplace->setIcon(glyphIcon(QStringLiteral("替"), f));
    ui->actionAlignAuto->setIcon(glyphIcon(QStringLiteral("排"), f));
    ui->actionSensitiveWordsClear->setIcon(glyphIcon(QStringLiteral("清"), f));
    ui->actionSysSync->setIcon(glyphIcon(QStringLiteral("同"), f));
    ui->actionSysExit->setIcon(glyphIcon(QStringLiteral("退"), f));
    QStyle *st = style();
    ui->actionSysSave->setIcon(st->standardIcon(QStyle::SP_DialogSaveButton));
    ui->actionEditUndo->setIcon(st->standardIcon(QStyle::SP_ArrowBack));
    ui->actionEditRedo->setIcon(st->standardIcon(QStyle::SP_ArrowForward));
    ui->actionViewBookPanel->setIcon(QIcon(QStringLiteral(":/res/icons/book03.png")));
    ui->actionViewMaterialPanel->setIcon(QIcon(QStringLiteral(":/res/icons/folder04.png")));
    ui->actionViewFullScreen->setIcon(st->standardIcon(QStyle::SP_TitleBarMaxButton));
    ui->actionViewMainMenu->setIcon(glyphIcon(QStringLiteral("菜"), f));
    setColorIcon(ui->actionTextColor, Qt::black);
    setColorIcon(ui->actionTextBackColor, Qt::white);

    // Del and Backspace belong to the book tree: elsewhere they edit text.
    const QList<QAction *> treeOnly = {ui->actionBookDelNode, ui->actionBookRenameNode};
    for (QAction *action : findChildren<QAction *>()) {
        if (action->objectName().isEmpty() || action->menu())
            continue;
        if (!action->shortcut().isEmpty() && !action->toolTip().isEmpty())
            action->setToolTip(QStringLiteral("%1(%2)").arg(action->toolTip(),
                                                           action->shortcut().toString(QKeySequence::NativeText)));
        connect(action, &QAction::triggered, this, &MainWindow::actionsTriggered);
        action->setShortcutVisibleInContextMenu(true);
        if (treeOnly.contains(action)) {
            action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
            ui->treeViewBook->addAction(action);
        } else {
            addAction(action);
        }
    }
    ui->actionAdvanceSortByModifiedSwitch->setChecked(g_SysParams.visibilityParams.bookSortByModified);
    ui->actionSmartSentenceWordSwitch->setChecked(g_SysParams.editorParams.smartSentenceWord);

    m_alignGroup = new QActionGroup(this);
    m_alignGroup->setExclusive(true);
    if (QApplication::isLeftToRight()) {
        for (QAction *a : {ui->actionAlignLeft, ui->actionAlignCenter, ui->actionAlignRight, ui->actionAlignJustify})
            m_alignGroup->addAction(a);
    } else {
        for (QAction *a : {ui->actionAlignRight, ui->actionAlignCenter, ui->actionAlignLeft, ui->actionAlignJustify})
            m_alignGroup->addAction(a);
    }
    connect(m_alignGroup, &QActionGroup::triggered, this, [this](QAction *a) {
        if (a == ui->actionAlignLeft)
            ui->textEditor->setAlignment(Qt::AlignLeft | Qt::AlignAbsolute);
        else if (a == ui->actionAlignCenter)
            ui->textEditor->setAlignment(Qt::AlignHCenter);
        else if (a == ui->actionAlignRight)
            ui->textEditor->setAlignment(Qt::AlignRight | Qt::AlignAbsolute);
        else if (a == ui->actionAlignJustify)
            ui->textEditor->setAlignment(Qt::AlignJustify);
    });
}

void MainWindow::buildContextMenus()
{
    QMenu *menu = ui->textEditor->contextMenu();
    menu->addActions({ui->actionEditCut, ui->actionEditCopy, ui->actionEditPaste, ui->actionTextCopyAll});
    menu->addSeparator();
    menu->addActions({ui->actionEditUndo, ui->actionEditRedo});
    menu->addSeparator();
    menu->addActions({ui->actionSearchSentenceAndWord, ui->actionSearchMaterial, ui->actionSearchUserMaterial,
                      ui->actionSearchBaidu, ui->actionSmartSentenceWordSwitch});
    menu->addSeparator();
    QMenu *insert = menu->addMenu(QStringLiteral("插入"));
    insert->setObjectName(QStringLiteral("mnuEditorInsert"));
    insert->addActions({ui->actionTextInsertDateTime, ui->actionTextInsertLine});
    menu->addAction(ui->actionTextAsNodeTitle);
    menu->addSeparator();
    menu->addActions({ui->actionUserMaterialAddContent, ui->actionUserMaterialAddSelection});

    QMenu *bookMenu = ui->treeViewBook->contextMenu();
    bookMenu->addActions({ui->actionBookNewBook, ui->actionBookNewVolume, ui->actionBookNewSection,
                          ui->actionBookNewSameLevelNode, ui->actionBookDelNode});
    bookMenu->addSeparator();
    bookMenu->addActions({ui->actionBookExport, ui->actionBookImport});

    ui->listViewMaterial->setContextMenuPolicy(Qt::ActionsContextMenu);
    ui->listViewMaterial->addActions({ui->actionTextInsertSelectMaterial, ui->actionTextInsertAllMaterial});
}

void MainWindow::connectEditor()
{
    MyTextEdit *editor = ui->textEditor;
    QTextDocument *doc = editor->document();
    connect(doc, &QTextDocument::modificationChanged, ui->actionSysSave, &QAction::setEnabled);
    connect(doc, &QTextDocument::modificationChanged, this, &QWidget::setWindowModified);
    connect(doc, &QTextDocument::modificationChanged, this, &MainWindow::on_textEditor_modificationChanged);
    connect(doc, &QTextDocument::undoAvailable, ui->actionEditUndo, &QAction::setEnabled);
    connect(doc, &QTextDocument::redoAvailable, ui->actionEditRedo, &QAction::setEnabled);
    ui->actionSysSave->setEnabled(doc->isModified());
    setWindowModified(doc->isModified());
    ui->actionEditUndo->setEnabled(doc->isUndoAvailable());
    ui->actionEditRedo->setEnabled(doc->isRedoAvailable());
    ui->actionEditCut->setEnabled(false);
    ui->actionEditCopy->setEnabled(false);
    if (QClipboard *clipboard = QApplication::clipboard()) {
        connect(clipboard, &QClipboard::dataChanged, this, [this]() {
            const QMimeData *md = QApplication::clipboard()->mimeData();
            ui->actionEditPaste->setEnabled(md && md->hasText());
        });
    }
    connect(ui->actionEditCut, &QAction::triggered, editor, &QTextEdit::cut);
    connect(ui->actionEditCopy, &QAction::triggered, editor, &QTextEdit::copy);
    connect(ui->actionEditPaste, &QAction::triggered, editor, &QTextEdit::paste);
    connect(ui->actionTextSelectAll, &QAction::triggered, editor, &QTextEdit::selectAll);
    QTimer::singleShot(0, editor, [editor]() { editor->setFocus(); });

    connect(editor, &MyTextEdit::signalLastInput, this, &MainWindow::textEditorLastInput);
    connect(editor, &MyTextEdit::signalLastInputStringReseted, this, &MainWindow::textEditorLastInputStringReseted);
    connect(editor, &MyTextEdit::signalLastInputStringChanged, this, &MainWindow::textEditorLastInputStringChanged);

    // What could not be saved stays in the status bar until it can be.
    connect(m_book, &BookController::overLengthChanged, this, [this](int length, bool byEdit) {
        m_overLengthText = length > 0 ? overLengthMessage(length) : QString();
        if (byEdit)
            Toast::showTip(m_overLengthText, this, 5000, Qt::AlignCenter);
        updateSaveStateLabel();
    });
    connect(m_book, &BookController::autoSaveFailed, this, [this](const QString &, const QString &message) {
        m_autoSaveFailureText = QStringLiteral("自动保存失败：%1").arg(message);
        updateSaveStateLabel();
    });
    for (auto signal : {&BookController::chapterSaved, &BookController::chapterOpened}) {
        connect(m_book, signal, this, [this]() {
            m_autoSaveFailureText.clear();
            updateSaveStateLabel();
        });
    }
}

void MainWindow::updateSaveStateLabel()
{
    const QString text = m_overLengthText.isEmpty() ? m_autoSaveFailureText : m_overLengthText;
    m_labelSaveState->setText(text);
    m_labelSaveState->setToolTip(text);
    m_labelSaveState->setVisible(!text.isEmpty());
}

void MainWindow::linkToolButtons()
{
    const QList<QPair<QToolButton *, QAction *>> links = {
        {ui->toolButtonBookNewBook, ui->actionBookNewBook},
        {ui->toolButtonBookNewVolume, ui->actionBookNewVolume},
        {ui->toolButtonBookNewSection, ui->actionBookNewSection},
        {ui->toolButtonBookNewSameLevelNode, ui->actionBookNewSameLevelNode},
        {ui->toolButtonBookDelNode, ui->actionBookDelNode},
        {ui->toolButtonMaterialFirstPage, ui->actionMaterialFirstPage},
        {ui->toolButtonMaterialPreviousPage, ui->actionMaterialPreviousPage},
        {ui->toolButtonMaterialNextPage, ui->actionMaterialNextPage},
        {ui->toolButtonTextInsertMaterialTitle, ui->actionTextInsertMaterialTitle},
        {ui->toolButtonTextInsertMaterialContent, ui->actionTextInsertMaterialContent},
        {ui->toolButtonSearch, ui->actionSearchWordManual},
    };
    for (const auto &link : links) {
        QToolButton *button = link.first;
        QAction *action = link.second;
        connect(button, &QToolButton::clicked, action, &QAction::trigger);
        button->setToolTip(action->toolTip());
        button->setIcon(action->icon());
        if (action->icon().isNull())
            button->setText(action->text());
        button->setEnabled(action->isEnabled());
        connect(action, &QAction::changed, button, [button, action]() { button->setEnabled(action->isEnabled()); });
    }
    ui->toolButtonMaterialFirstPage->setArrowType(Qt::UpArrow);
    ui->toolButtonMaterialPreviousPage->setArrowType(Qt::LeftArrow);
    ui->toolButtonMaterialNextPage->setArrowType(Qt::RightArrow);
    ui->toolButtonSearch->setText(QStringLiteral("搜索"));
    ui->toolButtonSearch->setToolButtonStyle(Qt::ToolButtonTextOnly);
}

void MainWindow::setColorIcon(QAction *action, const QColor &color)
{
    QPixmap pm(16, 16);
    pm.fill(color);
    QPainter p(&pm);
    p.setPen(QApplication::palette().color(QPalette::Mid));
    p.drawRect(0, 0, 15, 15);
    p.end();
    action->setIcon(QIcon(pm));
}

// ---------------------------------------------------------------- first show, trees, layout

void MainWindow::windowFirstShow()
{
    // Once only: the flag is set before the deferred call, and the paint signal is let go.
    if (m_firstShowScheduled)
        return;
    m_firstShowScheduled = true;
    if (QWidget *frame = frameWindow(); frame && frame != this)
        disconnect(frame, SIGNAL(windowPaint()), this, SLOT(windowFirstShow()));
    QTimer::singleShot(1, this, &MainWindow::runFirstShow);
}

void MainWindow::runFirstShow()
{
    try {
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
        const QModelIndex firstBook = m_book->proxy()->index(0, 0);
        if (firstBook.isValid())
            ui->treeViewBook->setCurrentIndex(firstBook);
        if (m_materialModel->rowCount() > 0)
            ui->treeViewMaterial->setCurrentIndex(m_materialModel->index(0, 0));
        if (ui->tabWidgetMaterial->currentWidget() == ui->tabUserMaterial && m_userMaterialModel->rowCount() > 0)
            ui->treeViewUserMaterial->setCurrentIndex(m_userMaterialModel->index(0, 0));
        if (!ui->treeViewBook->currentIndex().isValid()) {
            m_book->clearEditor();
            QTextCharFormat fmt;
            fmt.setFontFamily(g_SysParams.editorParams.defaultFontName);
            if (g_SysParams.editorParams.defaultFontSize > 0)
                fmt.setFontPointSize(g_SysParams.editorParams.defaultFontSize);
            fmt.setForeground(QColor(Qt::red));
            ui->textEditor->mergeCurrentCharFormat(fmt);
            ui->textEditor->document()->setModified(false);
        }
        m_book->setSortByModified(g_SysParams.visibilityParams.bookSortByModified);
        // No first-use tour runs: the novice guidance is unfinished (see unfinishedActionNames), and
        // its "NoviceGuidance" parameter is left unset so that a new author still gets it later.
        refreshBookToolButtonState();
    } catch (const Exception &e) {
        logException(e);
        showError(e.message());
    }
    emit startSmartSearch();
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

void MainWindow::saveLayout()
{
    if (!g_SysParams.visibilityParams.autoSaveLayout)
        return;
    LayoutInfo &layout = g_SysParams.visibilityParams.layoutInfo;
    QWidget *frame = frameWindow();
    layout.fullScreen = frame->isFullScreen();
    // In full screen the state to come back to is what counts.
    layout.maximized = layout.fullScreen ? m_maximizedBeforeFullScreen : frame->isMaximized();
    layout.mainMenu = !ui->menuBar->isHidden(); // the window itself may already be hidden
    layout.splitterMainSizes = ui->splitterMain->sizes();
    layout.splitterMaterialSizes = ui->splitterMaterial->sizes();
    ui->frameSearchMaterial->hide();
    layout.splitterMiddleSizes = ui->splitterMiddle->sizes();
    QSettings settings = layoutSettings();
    settings.beginGroup(QStringLiteral("mainWindow"));
    settings.setValue(QStringLiteral("saved"), true);
    settings.setValue(QStringLiteral("geometry"), frame->saveGeometry());
    settings.setValue(QStringLiteral("state"), saveState());
    settings.endGroup();
    settings.sync();
}

void MainWindow::restoreLayout()
{
    if (!g_SysParams.visibilityParams.autoSaveLayout)
        return;
    const LayoutInfo &layout = g_SysParams.visibilityParams.layoutInfo;
    auto *frame = qobject_cast<FramelessWindow *>(frameWindow());
    QSettings settings = layoutSettings();
    settings.beginGroup(QStringLiteral("mainWindow"));
    if (settings.value(QStringLiteral("saved")).toBool()) {
        frameWindow()->restoreGeometry(settings.value(QStringLiteral("geometry")).toByteArray());
        restoreState(settings.value(QStringLiteral("state")).toByteArray());
    }
    settings.endGroup();
    if (frame) {
        m_maximizedBeforeFullScreen = layout.maximized;
        if (layout.fullScreen)
            frame->setWindowFullScreen();
        else if (layout.maximized)
            frame->setWindowMaximize();
    }
    ui->menuBar->setVisible(layout.mainMenu);
    if (layout.splitterMainSizes.size() == ui->splitterMain->count())
        ui->splitterMain->setSizes(layout.splitterMainSizes);
    if (layout.splitterMaterialSizes.size() == ui->splitterMaterial->count())
        ui->splitterMaterial->setSizes(layout.splitterMaterialSizes);
    if (layout.splitterMiddleSizes.size() == ui->splitterMiddle->count()) {
        QList<int> sizes = layout.splitterMiddleSizes;
        if (sizes.last() == 0)
            sizes.last() = ui->frameSearchMaterial->minimumSizeHint().height();
        ui->splitterMiddle->setSizes(sizes);
    }
    QCoreApplication::processEvents();
    refreshViewActionsState();
}

void MainWindow::reloadTreesAfterSync()
{
    try {
        m_book->loadTree(true);
        applyBookSort();
        loadTree(QStringLiteral("U"));
        if (!ui->treeViewBook->currentIndex().isValid())
            m_book->clearEditor();
    } catch (const Exception &e) {
        showError(e.message());
    }
    refreshBookToolButtonState();
}

void MainWindow::applyBookSort() { m_book->applyBookSort(); }

// ---------------------------------------------------------------- timers and reminders

void MainWindow::timeTimerUpdate()
{
    m_labelClock->setText(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    // characterCount is kept by the document: no walk over the chapter.
    const int revision = ui->textEditor->document()->revision();
    if (revision != m_statisticsRevision) {
        m_statisticsRevision = revision;
        m_labelStatistics->setText(
            QStringLiteral("字数：%1").arg(qMax(0, ui->textEditor->document()->characterCount() - 1)));
    }
}

void MainWindow::autoSaveTimerUpdate()
{
    if (m_closing)
        return;
    m_book->autoSaveTimerUpdate();
}

void MainWindow::tmpSaveTimerUpdate() { m_recovery->tmpSaveTimerUpdate(); }

QStringList MainWindow::reminderTexts() const
{
    QStringList texts;
    const SysParams &p = g_SysParams;
    if (!p.autoBackupDb)
        texts << QStringLiteral("<font color='red'>注意：数据备份非常重要，检测到您未启动自动备份功能，强烈建议您在<a href = "
                                "'SysOption'>[参数]</a>界面启动自动备份！</font>");
    if (p.autoBackupDbPath.isEmpty()) {
        texts << QStringLiteral("<font color='red'>注意：检测到您设置的自动备份路径没有设置，强烈建议您在<a href = "
                                "'SysOption'>[参数]</a>界面调整！</font>");
    } else {
        // "The same drive" is the same file system here; there is no drive C to warn about.
        const QStorageInfo backup = storageOf(p.autoBackupDbPath);
        const QStorageInfo data = storageOf(g_App.appDataPath());
        if (backup.isValid() && data.isValid() && backup.rootPath() == data.rootPath() &&
            backup.device() == data.device())
            texts << QStringLiteral("<font color='red'>注意：检测到您设置的自动备份路径与数据保存的盘符一样，这样安全性较低，"
                                    "强烈建议您在<a href = 'SysOption'>[参数]</a>界面调整！</font>");
    }
    if (!p.cloudSyncParams.active)
        texts << QStringLiteral("<font color='blue'>推荐：数据备份非常重要，检测到您未启动云同步功能，建议您在<a href = "
                                "'SysOption'>[参数]</a>界面启动云同步功能！</font>");
    if (p.loginParams.userID.isEmpty())
        texts << QStringLiteral("<font color='blue'>提示：检测到您没有注册，注册可获得更多素材，建议您<a href = "
                                "'SysUserRegister'>[注册]</a>帐号！</font>");
    if (!p.loginParams.saveLogin || !p.loginParams.autoLogin)
        texts << QStringLiteral("<font color='blue'>提示：检测到您没有登录，登录可获得更多素材，建议您<a href = "
                                "'SysUserLogin'>[登录]</a>帐号！</font>");
    return texts;
}

void MainWindow::smartCheckTimeUpdate()
{
    for (const QString &text : reminderTexts()) {
        Toast *toast = Toast::showTip(text, nullptr, 10000, Qt::AlignBottom);
        if (toast)
            connect(toast, &Toast::linkActivated, this, &MainWindow::smarkCheckLinkActivated);
    }
}

void MainWindow::smarkCheckLinkActivated(const QString &link)
{
    if (link == QLatin1String("SysOption")) {
        on_actionSysOptions_triggered();
        m_smartCheckStopped = true;
        m_smartCheckTimer->stop();
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
    g_App.guiSnapshot.closing = true;
    stopTimers();
    shutdown(false);
    return true;
}

// ---------------------------------------------------------------- action states

void MainWindow::refreshSysToolButtonState()
{
    const bool signedIn = g_App.guiSnapshot.signedIn.load();
    ui->actionSysChangeUser->setEnabled(signedIn);
    ui->actionSysUserLogin->setEnabled(!signedIn);
    ui->actionSysSync->setEnabled(g_SysParams.cloudSyncParams.active && signedIn &&
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

void MainWindow::refreshSearchToolButtonState()
{
    // Pages of the material search arrive with it; without results nothing can be paged.
    for (QAction *a : {ui->actionMaterialFirstPage, ui->actionMaterialPreviousPage, ui->actionMaterialNextPage,
                       ui->actionMaterialLastPage})
        a->setEnabled(false);
    const bool sel = ui->listViewSearchMaterial->selectionModel() &&
                     ui->listViewSearchMaterial->selectionModel()->hasSelection();
    ui->actionTextInsertMaterialTitle->setEnabled(sel);
    ui->actionTextInsertMaterialContent->setEnabled(sel);
}

void MainWindow::refreshMaterialContentToolButtonState()
{
    ui->actionTextInsertSelectMaterial->setEnabled(ui->plainTextEditMaterialContent->textCursor().hasSelection());
}

void MainWindow::refreshViewActionsState()
{
    const QList<int> sizes = ui->splitterMain->sizes();
    ui->actionViewBookPanel->setChecked(sizes.value(0) > 0);
    ui->actionViewMaterialPanel->setChecked(sizes.value(2) > 0);
    ui->actionViewMainMenu->setChecked(!ui->menuBar->isHidden());
    ui->actionViewFullScreen->setChecked(frameWindow()->isFullScreen());
}

void MainWindow::refreshUserInfo()
{
    const bool signedIn = g_App.guiSnapshot.signedIn.load();
    m_labelLoginState->setText(signedIn ? QStringLiteral("已登录") : QStringLiteral("未登录"));
    if (m_materialCount < 0)
        m_materialCount = countOf(QStringLiteral("SELECT COUNT(*) FROM M.MaterialTree WHERE Category='Content'"));
    m_userInfoText = QStringList{QStringLiteral("登录状态：%1").arg(signedIn ? QStringLiteral("已登录") : QStringLiteral("未登录")),
                                 QStringLiteral("当前用户名：%1").arg(g_SysParams.loginParams.userID),
                                 QStringLiteral("用户可用素材总数量：%1").arg(m_materialCount),
                                 QStringLiteral("用户备忘录总数量：%1").arg(countOf(userMaterialCountSql()))}
                         .join(QLatin1Char('\n'));
    refreshSysToolButtonState();
}

void MainWindow::commomThreadWorkerSignal(QString signalGroup, QString signalValue, bool sucess, QString signalDetail)
{
    writeTraceLog(QStringLiteral("thread"), QStringLiteral("%1 %2 %3 %4").arg(signalGroup, signalValue).arg(sucess).arg(signalDetail));
    if (signalGroup == QLatin1String("appInit") && signalValue == QLatin1String("appInited"))
        QTimer::singleShot(10000, this, &MainWindow::smartCheckTimeUpdate);
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
}

void MainWindow::ApplySysOptions()
{
    applyTimerIntervals();
    g_App.applyUiFont(g_SysParams.visibilityParams.uiFontName, g_SysParams.visibilityParams.uiFontSize);
    g_App.applySkin(g_SysParams.visibilityParams.skinName);
    g_App.guiSnapshot.cloudSyncOn = g_SysParams.cloudSyncParams.active;
    refreshSysToolButtonState();
}

// ---------------------------------------------------------------- editor

void MainWindow::insertEditorText(const QString &text, bool atEnd)
{
    if (ui->textEditor->isReadOnly())
        return;
    m_lastInputTime = QDateTime::currentDateTime();
    g_App.guiSnapshot.lastInputMsecs = m_lastInputTime.toMSecsSinceEpoch();
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
    g_App.guiSnapshot.lastInputMsecs = m_lastInputTime.toMSecsSinceEpoch();
}

void MainWindow::textEditorLastInputStringReseted() {}

void MainWindow::textEditorLastInputStringChanged(QString &lastInputString, QString &lastComboInputString)
{
    if (g_SysParams.editorParams.smartSentenceWord)
        emit startSmartSearchThread(lastInputString, lastComboInputString);
}

void MainWindow::on_textEditor_currentCharFormatChanged(const QTextCharFormat &format)
{
    const QFont font = format.font();
    const int fontIndex = m_comboFont->findText(QFontInfo(font).family());
    if (fontIndex >= 0)
        m_comboFont->setCurrentIndex(fontIndex);
    // The box is narrow: show the start of the family name, not its end.
    if (QLineEdit *edit = m_comboFont->lineEdit())
        edit->setCursorPosition(0);
    m_comboSize->setCurrentText(QString::number(font.pointSizeF() > 0 ? font.pointSizeF() : font.pointSize()));
    ui->actionTextBold->setChecked(font.bold());
    ui->actionTextItalic->setChecked(font.italic());
    ui->actionTextUnderline->setChecked(font.underline());
    ui->actionTextStrickout->setChecked(font.strikeOut());
    setColorIcon(ui->actionTextColor, format.foreground().style() == Qt::NoBrush ? QColor(Qt::black)
                                                                                 : format.foreground().color());
    setColorIcon(ui->actionTextBackColor, format.background().style() == Qt::NoBrush ? QColor(Qt::white)
                                                                                     : format.background().color());
}

void MainWindow::on_textEditor_cursorPositionChanged()
{
    const Qt::Alignment align = ui->textEditor->alignment();
    if (align & Qt::AlignLeft)
        ui->actionAlignLeft->setChecked(true);
    else if (align & Qt::AlignHCenter)
        ui->actionAlignCenter->setChecked(true);
    else if (align & Qt::AlignRight)
        ui->actionAlignRight->setChecked(true);
    else if (align & Qt::AlignJustify)
        ui->actionAlignJustify->setChecked(true);
    const QPoint pos = ui->textEditor->cursorColumnLine();
    m_labelCursorPosition->setText(QStringLiteral("%1,%2").arg(pos.x()).arg(pos.y()));
}

void MainWindow::on_textEditor_selectionChanged()
{
    const bool sel = ui->textEditor->textCursor().hasSelection();
    ui->actionEditCut->setEnabled(sel);
    ui->actionEditCopy->setEnabled(sel);
    refreshUserMaterialToolButtonState();
    refreshEditorToolButtonState();
}

void MainWindow::on_textEditor_modificationChanged(bool modified)
{
    g_App.guiSnapshot.documentModified = modified;
    refreshSysToolButtonState();
}

// ---------------------------------------------------------------- system and help actions

void MainWindow::on_actionSysUserRegister_triggered() { notYetAvailable(); }
void MainWindow::on_actionSysUserLogin_triggered() { notYetAvailable(); }
void MainWindow::on_actionSysUserInfo_triggered() { notYetAvailable(); }
void MainWindow::on_actionSysChangeUser_triggered() { notYetAvailable(); }

void MainWindow::on_actionSysSave_triggered()
{
    // The chapter in the editor, by id; nothing without one.
    if (m_book->currentChapterId().isEmpty())
        return;
    m_book->trySaveArticle();
}

void MainWindow::on_actionSysSync_triggered() { notYetAvailable(); }
void MainWindow::on_actionSysOptions_triggered() { notYetAvailable(); }

void MainWindow::on_actionSysExit_triggered()
{
    QWidget *frame = frameWindow();
    frame->close();
}

void MainWindow::on_actionHelpHelp_triggered() { notYetAvailable(); }
void MainWindow::on_actionHelpShowNoviceGuidance_triggered() { notYetAvailable(); }
void MainWindow::on_actionHelpAbout_triggered() { notYetAvailable(); }

// ---------------------------------------------------------------- edit and format actions

void MainWindow::on_actionEditUndo_triggered() { ui->textEditor->undo(); }

void MainWindow::on_actionEditRedo_triggered() { ui->textEditor->redo(); }
void MainWindow::on_actionEditFind_triggered() { notYetAvailable(); }
void MainWindow::on_actionEditReplace_triggered() { notYetAvailable(); }
void MainWindow::on_actionTextBold_triggered() { ui->textEditor->textSetBold(ui->actionTextBold->isChecked()); }
void MainWindow::on_actionTextItalic_triggered() { ui->textEditor->textSetItalic(ui->actionTextItalic->isChecked()); }

void MainWindow::on_actionTextUnderline_triggered()
{
    ui->textEditor->textSetUnderline(ui->actionTextUnderline->isChecked());
}

void MainWindow::on_actionTextStrickout_triggered()
{
    ui->textEditor->textSetStrickout(ui->actionTextStrickout->isChecked());
}

void MainWindow::on_actionTextColor_triggered()
{
    const QColor color = QColorDialog::getColor(ui->textEditor->textColor(), this);
    if (!color.isValid())
        return;
    ui->textEditor->textSetColor(color);
    setColorIcon(ui->actionTextColor, color);
}

void MainWindow::on_actionTextBackColor_triggered()
{
    const QColor color = QColorDialog::getColor(ui->textEditor->textBackgroundColor(), this);
    if (!color.isValid())
        return;
    ui->textEditor->textSetBackColor(color);
    setColorIcon(ui->actionTextBackColor, color);
}

void MainWindow::on_actionAlignAuto_triggered() { notYetAvailable(); }

// ---------------------------------------------------------------- book actions

void MainWindow::on_actionBookNewBook_triggered() { m_book->addBookNode(true, false); }
void MainWindow::on_actionBookNewVolume_triggered() { m_book->addBookNode(false, false); }
void MainWindow::on_actionBookNewSection_triggered() { m_book->addBookNode(false, false); }
void MainWindow::on_actionBookNewSameLevelNode_triggered() { m_book->addBookNode(false, true); }
void MainWindow::on_actionBookRenameNode_triggered() { m_book->renameCurrentNode(); }
void MainWindow::on_actionBookDelNode_triggered() { m_book->deleteCurrentNode(); }
void MainWindow::on_actionBookImport_triggered() { notYetAvailable(); }
void MainWindow::on_actionBookExport_triggered() { notYetAvailable(); }
void MainWindow::on_actionTextInsertDateTime_triggered() { notYetAvailable(); }
void MainWindow::on_actionTextInsertLine_triggered() { notYetAvailable(); }
void MainWindow::on_actionTextAsNodeTitle_triggered() { notYetAvailable(); }
void MainWindow::on_actionTextCopyAll_triggered() { notYetAvailable(); }
void MainWindow::on_actionSensitiveWordsCheck_triggered() { notYetAvailable(); }
void MainWindow::on_actionSensitiveWordsClear_triggered() { notYetAvailable(); }

void MainWindow::on_actionAdvanceSortByModifiedSwitch_triggered()
{
    g_SysParams.visibilityParams.bookSortByModified = !g_SysParams.visibilityParams.bookSortByModified;
    ui->actionAdvanceSortByModifiedSwitch->setChecked(g_SysParams.visibilityParams.bookSortByModified);
    m_book->setSortByModified(g_SysParams.visibilityParams.bookSortByModified);
    try {
        saveSysParams();
    } catch (const Exception &e) {
        showError(e.message());
    }
}

// ---------------------------------------------------------------- material and search actions

void MainWindow::on_actionSmartSentenceWordSwitch_triggered()
{
    g_SysParams.editorParams.smartSentenceWord = ui->actionSmartSentenceWordSwitch->isChecked();
}

void MainWindow::on_actionTextInsertSelectMaterial_triggered() { m_materials->on_actionTextInsertSelectMaterial_triggered(); }
void MainWindow::on_actionTextInsertAllMaterial_triggered() { m_materials->on_actionTextInsertAllMaterial_triggered(); }
void MainWindow::on_actionTextInsertMaterialTitle_triggered() { notYetAvailable(); }
void MainWindow::on_actionTextInsertMaterialContent_triggered() { notYetAvailable(); }
void MainWindow::on_actionMaterialPreviousPage_triggered() { notYetAvailable(); }
void MainWindow::on_actionMaterialNextPage_triggered() { notYetAvailable(); }
void MainWindow::on_actionMaterialFirstPage_triggered() { notYetAvailable(); }
void MainWindow::on_actionMaterialLastPage_triggered() { notYetAvailable(); }
void MainWindow::on_actionMaterialHide_triggered() { ui->frameSearchMaterial->hide(); }
void MainWindow::on_actionUserMaterialAddSelection_triggered() { notYetAvailable(); }
void MainWindow::on_actionUserMaterialAddContent_triggered() { notYetAvailable(); }
void MainWindow::on_actionSearchMaterial_triggered() { notYetAvailable(); }
void MainWindow::on_actionSearchUserMaterial_triggered() { notYetAvailable(); }
void MainWindow::on_actionSearchBaidu_triggered() { notYetAvailable(); }
void MainWindow::on_actionSearchWordLib_triggered() { notYetAvailable(); }
void MainWindow::on_actionSearchWordManual_triggered() { notYetAvailable(); }
void MainWindow::on_actionSearchSentenceAndWord_triggered() { notYetAvailable(); }
void MainWindow::on_actionArticleWritingGuide_triggered() { ArticleViewDialog::showWritingGuide(this); }
void MainWindow::on_actionAdvanceUserMaterialManage_triggered() { notYetAvailable(); }

// ---------------------------------------------------------------- view actions

void MainWindow::on_actionViewMainMenu_triggered()
{
    ui->menuBar->setVisible(ui->menuBar->isHidden());
    refreshViewActionsState();
}

void MainWindow::on_actionViewMaterialPanel_triggered() { togglePanel(2, ui->widgetMaterial, 220); }

void MainWindow::on_actionViewBookPanel_triggered() { togglePanel(0, ui->widgetBook, 200); }

// Shows or hides a side pane of the main splitter, giving its width to or taking it from the editor.
void MainWindow::togglePanel(int pane, QWidget *widget, int minimumWidth)
{
    QList<int> sizes = ui->splitterMain->sizes();
    if (sizes.value(pane) == 0) {
        const int want = qMax(widget->minimumWidth(), minimumWidth);
        sizes[pane] = want;
        sizes[1] = qMax(0, sizes[1] - want);
    } else {
        sizes[1] += sizes[pane];
        sizes[pane] = 0;
    }
    ui->splitterMain->setSizes(sizes);
    refreshViewActionsState();
}

void MainWindow::on_actionViewFullScreen_triggered()
{
    auto *frame = qobject_cast<FramelessWindow *>(frameWindow());
    const bool full = frameWindow()->isFullScreen();
    if (full) {
        // Back to the state before full screen.
        if (frame && m_maximizedBeforeFullScreen)
            frame->setWindowMaximize();
        else if (frame)
            frame->setWindowNoState();
        else if (m_maximizedBeforeFullScreen)
            showMaximized();
        else
            showNormal();
        if (ui->menuBar->isHidden())
            ui->actionViewMainMenu->trigger();
    } else {
        m_maximizedBeforeFullScreen = frameWindow()->isMaximized();
        if (frame)
            frame->setWindowFullScreen();
        else
            showFullScreen();
        if (!ui->menuBar->isHidden())
            ui->actionViewMainMenu->trigger();
    }
    refreshViewActionsState();
    ui->actionViewFullScreen->setChecked(!full);
}

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
    } else if (!m_book->saveBeforeQuit(g_App.tmpPath())) {
        // Nobody may be asked now (the session ends the process soon): the text went to a
        // recovery copy and the log, and the exit code says that something was not saved.
        m_exitCode = 1;
    }
    try {
        saveLayout();
        saveSysParams();
    } catch (const Exception &e) {
        logException(e);
    }
    shutdownThreads(workerThreads());
    m_shutDown = true;
    return true;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Refused unless everything below succeeds; a second request while closing is ignored.
    event->ignore();
    if (m_closing)
        return;
    if (m_shutDown) {
        event->accept();
        return;
    }
    if (ask(QStringLiteral("确定退出吗？")) != Ink::maYes)
        return;
    m_closing = true;
    g_App.guiSnapshot.closing = true;
    stopTimers();
    setEnabled(false);
    const bool done = shutdown(true);
    // A quit without questions may have run while the save question was open.
    if (!done && !m_shutDown) {
        // The chapter was not settled (its save failed, or the question was dismissed): the
        // author keeps writing.
        setEnabled(true);
        m_closing = false;
        g_App.guiSnapshot.closing = false;
        startTimers();
        return;
    }
    event->accept();
}

void MainWindow::quitWithoutQuestions()
{
    if (shutdownWithoutQuestions())
        QCoreApplication::exit(m_exitCode);
}
