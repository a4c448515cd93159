#pragma once

#include "book/BookController.h"
#include "book/BookTransferController.h"
#include "book/TreeNodeInfo.h"

#include <QDateTime>
#include <QMainWindow>
#include <QTextCharFormat>

#include <functional>

namespace Ui {
class MainWindow;
}
class FramelessWindow;
class QLabel;
class QSessionManager;
class QStandardItemModel;
class QTimer;
class AccountController;
class SyncController;
class SettingsController;
class EditorController;
class LayoutStore;
class MainStatusBar;
class MaterialBrowser;
class UserMaterialController;
class MaterialSearchController;
class WorkerHost;
class WorkerController;
class TextToolsController;
class RecoveryController;
class ReminderQueue;
class BookSearchController;

// The writing workbench: book panel, chapter editor and material panel, with the menus, tool
// bars, status bar and timers. The window wires actions to the controller of each area: the
// book tree and chapter (BookController), formatting (EditorController), materials
// (MaterialBrowser), the layout (LayoutStore), the status bar and the worker threads.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    Ui::MainWindow *form() const { return ui; }
    BookController *book() const { return m_book; }
    EditorController *editor() const { return m_editor; }
    RecoveryController *recovery() const { return m_recovery; }
    BookSearchController *bookSearch() const { return m_bookSearch; }
    MaterialBrowser *materials() const { return m_materials; }
    MaterialSearchController *search() const { return m_search; }
    // Worker threads register here; every way out stops them.
    WorkerHost *workers() const { return m_workers; }
    TextToolsController *textTools() const { return m_textTools; }
    ReminderQueue *reminders() const { return m_reminders; }
    QDateTime lastInputTime() const { return m_lastInputTime; }
    QTimer *autoSaveTimer() const { return m_autoSaveTimer; }
    QTimer *tmpSaveTimer() const { return m_tmpSaveTimer; }
    QTimer *timeTimer() const { return m_timeTimer; }
    QTimer *smartCheckTimer() const { return m_smartCheckTimer; }
    QLabel *cursorPositionLabel() const;
    // Red status-bar text while the chapter cannot be saved (too long, failed autosave).
    QLabel *saveStateLabel() const;
    QString userInfoText() const { return m_userInfoText; }
    bool isClosing() const { return m_closing; }


    // The frame window (or this window when unframed).
    QWidget *frameWindow() const;

    void loadTree(const QString &kind, bool expand = false);
    void saveLayout();
    void restoreLayout();

signals:
    // Start signals of the worker threads; the window emits them at the first show and on each
    // change of the last input, and each worker connects its own.
    void startSmartSearchThread(QString inputString, QString comboInputString);
    void startSmartSearch();
    void startAppInit();
    void startHeartbeat();
    void startLoopProc();

public slots:
    void windowFirstShow();
    void ApplySysOptions();
    void timeTimerUpdate();
    void autoSaveTimerUpdate();
    void tmpSaveTimerUpdate();
    void smartCheckTimeUpdate();
    void smarkCheckLinkActivated(const QString &link);
    // The session manager's commit-data request (logout, shutdown): saveChapterForSession.
    void appCommitDataRequest(QSessionManager &manager);
    // Saves the open, modified chapter without any dialog; a failure goes to the "err" log with
    // the chapter id and the chapter stays modified. True when nothing is left unsaved.
    bool saveChapterForSession();
    void appAboutToQuit();
    void refreshSysToolButtonState();
    void refreshBookToolButtonState();
    void refreshUserMaterialToolButtonState();
    void refreshEditorToolButtonState();
    void refreshSearchToolButtonState();
    void refreshMaterialContentToolButtonState();
    void refreshViewActionsState();
    void refreshUserInfo();
    void commomThreadWorkerSignal(QString signalGroup, QString signalValue, bool sucess, QString signalDetail);
    // Worker threads' questions, answered from the published snapshot (App::syncOut).
    QVariant syncOut(QString key);
    void labelWebsiteLinkActivated(const QString &link);
    void actionsTriggered(bool triggered);
    void reloadTreesAfterSync();
    void applyBookSort();
    void insertEditorText(const QString &text, bool atEnd);
    void ensureEditorCursorVisible();
    void restoreEditorScrollInfo();
    void textEditorLastInput();
    void textEditorLastInputStringReseted();
    void textEditorLastInputStringChanged(QString &lastInputString, QString &lastComboInputString);
    // Quit without questions (SIGTERM, logout): save, store layout and parameters, stop, and end
    // the event loop with 0, or with 1 when the chapter could not be saved (its text is then in
    // a recovery copy in the temporary folder).
    void quitWithoutQuestions();

    // System and help
    void on_actionSysUserRegister_triggered();
    void on_actionSysUserLogin_triggered();
    void on_actionSysUserInfo_triggered();
    void on_actionSysChangeUser_triggered();
    void on_actionSysSave_triggered();
    void on_actionSysSync_triggered();
    void on_actionSysOptions_triggered();
    void on_actionSysExit_triggered();
    void on_actionHelpHelp_triggered();
    void on_actionHelpShowNoviceGuidance_triggered();
    void on_actionHelpAbout_triggered();
    // Edit and format
    void on_actionEditUndo_triggered();
    void on_actionEditRedo_triggered();
    void on_actionEditFind_triggered();
    void on_actionEditReplace_triggered();
    void on_actionTextBold_triggered();
    void on_actionTextItalic_triggered();
    void on_actionTextUnderline_triggered();
    void on_actionTextStrickout_triggered();
    void on_actionTextColor_triggered();
    void on_actionTextBackColor_triggered();
    void on_actionAlignAuto_triggered();
    // Book and text tools
    void on_actionBookNewBook_triggered();
    void on_actionBookNewVolume_triggered();
    void on_actionBookNewSection_triggered();
    void on_actionBookNewSameLevelNode_triggered();
    void on_actionBookRenameNode_triggered();
    void on_actionBookDelNode_triggered();
    void on_actionBookImport_triggered();
    void on_actionBookExport_triggered();
    void on_actionTextInsertDateTime_triggered();
    void on_actionTextInsertLine_triggered();
    void on_actionTextAsNodeTitle_triggered();
    void on_actionTextCopyAll_triggered();
    void on_actionSensitiveWordsCheck_triggered();
    void on_actionSensitiveWordsClear_triggered();
    void on_actionAdvanceSortByModifiedSwitch_triggered();
    // Materials and search
    void on_actionSmartSentenceWordSwitch_triggered();
    void on_actionTextInsertSelectMaterial_triggered();
    void on_actionTextInsertAllMaterial_triggered();
    void on_actionTextInsertMaterialTitle_triggered();
    void on_actionTextInsertMaterialContent_triggered();
    void on_actionMaterialPreviousPage_triggered();
    void on_actionMaterialNextPage_triggered();
    void on_actionMaterialFirstPage_triggered();
    void on_actionMaterialLastPage_triggered();
    void on_actionMaterialHide_triggered();
    void on_actionUserMaterialAddSelection_triggered();
    void on_actionUserMaterialAddContent_triggered();
    void on_actionSearchMaterial_triggered();
    void on_actionSearchUserMaterial_triggered();
    void on_actionSearchBaidu_triggered();
    void on_actionSearchWordLib_triggered();
    void on_actionSearchWordManual_triggered();
    void on_actionSearchSentenceAndWord_triggered();
    void on_actionArticleWritingGuide_triggered();
    void on_actionAdvanceUserMaterialManage_triggered();
    // View
    void on_actionViewMainMenu_triggered();
    void on_actionViewMaterialPanel_triggered();
    void on_actionViewBookPanel_triggered();
    void on_actionViewFullScreen_triggered();
    void on_splitterMain_splitterMoved(int pos, int index);
    // Editor
    void on_textEditor_textChanged();
    void on_textEditor_currentCharFormatChanged(const QTextCharFormat &format);
    void on_textEditor_cursorPositionChanged();
    void on_textEditor_selectionChanged();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void on_textEditor_modificationChanged(bool modified);
    // The close without questions (signal-driven quit, restart, install); false when already done.
    bool shutdownWithoutQuestions();
    void runFirstShow();
    void buildTimers();
    void connectEditor();
    void applyTimerIntervals();
    void followAutoSave();
    void stopTimers();
    void startTimers();
    // Saves the chapter, layout and parameters, stops the workers. False when the chapter could
    // not be saved and the caller should stay open.
    bool shutdown(bool askToSave);

    Ui::MainWindow *ui;
    WorkerHost *m_workers = nullptr;
    BookController *m_book = nullptr;
    EditorController *m_editor = nullptr;
    BookTransferController *m_bookTransfer = nullptr;
    RecoveryController *m_recovery = nullptr;
    BookSearchController *m_bookSearch = nullptr;
    AccountController *m_account = nullptr;
    SyncController *m_sync = nullptr;
    WorkerController *m_cloudWorkers = nullptr;
    SettingsController *m_settings = nullptr;
    MaterialBrowser *m_materials = nullptr; // trees, list and content pane of the material panel
    UserMaterialController *m_userMaterials = nullptr;
    MaterialSearchController *m_search = nullptr; // suggestions and keyword searches
    MainStatusBar *m_status = nullptr;
    LayoutStore *m_layout = nullptr;
    ReminderQueue *m_reminders = nullptr;
    TextToolsController *m_textTools = nullptr;
    QStandardItemModel *m_materialModel = nullptr;
    QStandardItemModel *m_userMaterialModel = nullptr;
    QStandardItemModel *m_materialListModel = nullptr;
    QStandardItemModel *m_searchListModel = nullptr;
    QTimer *m_timeTimer = nullptr;
    QTimer *m_autoSaveTimer = nullptr;
    QTimer *m_tmpSaveTimer = nullptr;
    QTimer *m_smartCheckTimer = nullptr;
    QDateTime m_lastInputTime;
    QString m_userInfoText;
    int m_materialCount = -1; // libraries are read-only while we run: counted once
    bool m_firstShowScheduled = false;
    bool m_closing = false;
    bool m_shutDown = false;
    int m_exitCode = 0;
    bool m_smartCheckStopped = false;
};
