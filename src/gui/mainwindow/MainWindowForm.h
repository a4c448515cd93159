#pragma once

#include "book/EditorController.h"
#include "mainwindow/LayoutStore.h"
#include "material/MaterialBrowser.h"
#include "material/MaterialSearchController.h"

namespace Ui {
class MainWindow;
}
class MainWindow;

// What the window's form lends its controllers, and how the form's actions, menus and tool
// buttons are dressed; the window itself only creates the controllers and routes its slots.
namespace mainform {

EditorController::Actions editorActions(Ui::MainWindow *ui);
MaterialBrowser::Widgets materialWidgets(Ui::MainWindow *ui);
MaterialSearchController::Widgets searchWidgets(Ui::MainWindow *ui);
LayoutStore::Widgets layoutWidgets(MainWindow *window, Ui::MainWindow *ui);
// Icons, tool tips with their shortcut, the action log, and where each shortcut applies (the
// tree's Del and rename only in the tree). Before the tool buttons copy them.
void prepareActions(MainWindow *window, Ui::MainWindow *ui);
// The editor's, the book tree's and the material list's context menus.
void buildContextMenus(Ui::MainWindow *ui);
// Panel tool buttons that trigger an action and follow its enabled state.
void linkToolButtons(Ui::MainWindow *ui);

} // namespace mainform
