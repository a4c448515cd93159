#include "mainwindow/MainWindowForm.h"
#include "ui_MainWindow.h"

#include "frame/GlyphIcon.h"
#include "mainwindow/MainWindow.h"
#include "params/SysParams.h"

#include <QMenu>
#include <QToolButton>

namespace mainform {

EditorController::Actions editorActions(Ui::MainWindow *ui)
{
    EditorController::Actions a;
    a.bold = ui->actionTextBold;
    a.italic = ui->actionTextItalic;
    a.underline = ui->actionTextUnderline;
    a.strikeOut = ui->actionTextStrickout;
    a.color = ui->actionTextColor;
    a.backColor = ui->actionTextBackColor;
    a.alignLeft = ui->actionAlignLeft;
    a.alignCenter = ui->actionAlignCenter;
    a.alignRight = ui->actionAlignRight;
    a.alignJustify = ui->actionAlignJustify;
    a.cut = ui->actionEditCut;
    a.copy = ui->actionEditCopy;
    a.paste = ui->actionEditPaste;
    a.selectAll = ui->actionTextSelectAll;
    a.undo = ui->actionEditUndo;
    a.redo = ui->actionEditRedo;
    a.save = ui->actionSysSave;
    a.smartSentenceWord = ui->actionSmartSentenceWordSwitch;
    return a;
}

MaterialBrowser::Widgets materialWidgets(Ui::MainWindow *ui)
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
    w.connectInsertActions = false; // the window's on_action…_triggered slots call the browser
    return w;
}

MaterialSearchController::Widgets searchWidgets(Ui::MainWindow *ui)
{
    MaterialSearchController::Widgets w;
    w.editor = ui->textEditor;
    w.frameSearchMaterial = ui->frameSearchMaterial;
    w.listViewSearchMaterial = ui->listViewSearchMaterial;
    w.lineEditWord = ui->lineEditWord;
    w.tabWidgetMaterial = ui->tabWidgetMaterial;
    w.listViewMaterial = ui->listViewMaterial;
    w.actionMaterialFirstPage = ui->actionMaterialFirstPage;
    w.actionMaterialPreviousPage = ui->actionMaterialPreviousPage;
    w.actionMaterialNextPage = ui->actionMaterialNextPage;
    w.actionMaterialLastPage = ui->actionMaterialLastPage;
    w.actionTextInsertMaterialTitle = ui->actionTextInsertMaterialTitle;
    w.actionTextInsertMaterialContent = ui->actionTextInsertMaterialContent;
    w.actionSmartSentenceWordSwitch = ui->actionSmartSentenceWordSwitch;
    return w;
}

LayoutStore::Widgets layoutWidgets(MainWindow *window, Ui::MainWindow *ui)
{
    LayoutStore::Widgets w;
    w.window = window;
    w.menuBar = ui->menuBar;
    w.splitterMain = ui->splitterMain;
    w.splitterMaterial = ui->splitterMaterial;
    w.splitterMiddle = ui->splitterMiddle;
    w.bookPanel = ui->widgetBook;
    w.materialPanel = ui->widgetMaterial;
    w.searchFrame = ui->frameSearchMaterial;
    w.actionViewMainMenu = ui->actionViewMainMenu;
    w.actionViewBookPanel = ui->actionViewBookPanel;
    w.actionViewMaterialPanel = ui->actionViewMaterialPanel;
    w.actionViewFullScreen = ui->actionViewFullScreen;
    return w;
}

void prepareActions(MainWindow *window, Ui::MainWindow *ui)
{
    ui->actionEditFind->setIcon(QIcon(QStringLiteral(":/res/icons/find01.png")));
    ui->actionEditReplace->setIcon(QIcon(QStringLiteral(":/res/icons/replace01.png")));
    ui->actionAlignAuto->setIcon(QIcon(QStringLiteral(":/res/icons/typeset01.png")));
    ui->actionSensitiveWordsClear->setIcon(QIcon(QStringLiteral(":/res/icons/clearmark01.png")));
    ui->actionSysSync->setIcon(QIcon(QStringLiteral(":/res/icons/sync01.png")));
    ui->actionSysExit->setIcon(QIcon(QStringLiteral(":/res/icons/exit01.png")));
    ui->actionViewBookPanel->setIcon(QIcon(QStringLiteral(":/res/icons/book03.png")));
    ui->actionViewMaterialPanel->setIcon(QIcon(QStringLiteral(":/res/icons/folder04.png")));
    ui->actionViewFullScreen->setIcon(fullScreenIcon());
    ui->actionViewMainMenu->setIcon(QIcon(QStringLiteral(":/res/icons/mainmenu01.png")));

    // Del and Backspace belong to the book tree: elsewhere they edit text.
    const QList<QAction *> treeOnly = {ui->actionBookDelNode, ui->actionBookRenameNode};
    for (QAction *action : window->findChildren<QAction *>()) {
        if (action->objectName().isEmpty() || action->menu())
            continue;
        if (!action->shortcut().isEmpty() && !action->toolTip().isEmpty())
            action->setToolTip(QStringLiteral("%1(%2)").arg(action->toolTip(),
                                                           action->shortcut().toString(QKeySequence::NativeText)));
        QObject::connect(action, &QAction::triggered, window, &MainWindow::actionsTriggered);
        action->setShortcutVisibleInContextMenu(true);
        if (treeOnly.contains(action)) {
            action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
            ui->treeViewBook->addAction(action);
        } else {
            window->addAction(action);
        }
    }
    ui->actionAdvanceSortByModifiedSwitch->setChecked(g_SysParams.visibilityParams.bookSortByModified);
}

void buildContextMenus(Ui::MainWindow *ui)
{
    QMenu *menu = ui->textEditor->contextMenu();
    menu->addActions({ui->actionEditCut, ui->actionEditCopy, ui->actionEditPaste, ui->actionTextCopyAll});
    menu->addSeparator();
    menu->addActions({ui->actionEditUndo, ui->actionEditRedo});
    menu->addSeparator();
    menu->addActions({ui->actionSearchSentenceAndWord, ui->actionSearchMaterial, ui->actionSearchUserMaterial,
                      ui->actionSearchBaidu, ui->actionSearchWordLib, ui->actionSmartSentenceWordSwitch});
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

void linkToolButtons(Ui::MainWindow *ui)
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
        QObject::connect(button, &QToolButton::clicked, action, &QAction::trigger);
        button->setToolTip(action->toolTip());
        button->setAccessibleName(action->text());
        button->setIcon(action->icon());
        if (action->icon().isNull())
            button->setText(action->text());
        button->setEnabled(action->isEnabled());
        QObject::connect(action, &QAction::changed, button, [button, action]() { button->setEnabled(action->isEnabled()); });
    }
    ui->toolButtonMaterialFirstPage->setArrowType(Qt::UpArrow);
    ui->toolButtonMaterialPreviousPage->setArrowType(Qt::LeftArrow);
    ui->toolButtonMaterialNextPage->setArrowType(Qt::RightArrow);
    ui->toolButtonSearch->setText(QStringLiteral("搜索"));
    ui->toolButtonSearch->setToolButtonStyle(Qt::ToolButtonTextOnly);
}

} // namespace mainform
