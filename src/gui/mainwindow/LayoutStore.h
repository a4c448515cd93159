#pragma once

#include <QObject>

class QAction;
class QMainWindow;
class QMenuBar;
class QSplitter;
class QWidget;

// The main window's layout: what the View menu switches (menu bar, book and material panels,
// full screen) and how the window looks at the next start. Splitters, menu bar and window state
// go into the layout parameters; geometry and tool-bar state into the layout settings file.
class LayoutStore final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(LayoutStore)
public:
    struct Widgets {
        QMainWindow *window = nullptr;
        QMenuBar *menuBar = nullptr;
        QSplitter *splitterMain = nullptr;     // book panel | editor | material panel
        QSplitter *splitterMaterial = nullptr;
        QSplitter *splitterMiddle = nullptr;   // editor above the material search results
        QWidget *bookPanel = nullptr;
        QWidget *materialPanel = nullptr;
        QWidget *searchFrame = nullptr;
        QAction *actionViewMainMenu = nullptr;
        QAction *actionViewBookPanel = nullptr;
        QAction *actionViewMaterialPanel = nullptr;
        QAction *actionViewFullScreen = nullptr;
    };

    // Gives the splitters the first-start layout.
    explicit LayoutStore(const Widgets &widgets, QObject *parent = nullptr);
    ~LayoutStore() override;

    // The frame around the window (or the window itself when unframed).
    QWidget *frameWindow() const;

    // Both do nothing unless the author keeps the layout (autoSaveLayout).
    void save();
    void restore();

    void toggleMainMenu();
    void toggleBookPanel();
    void toggleMaterialPanel();
    // Full screen hides the menu bar; leaving it returns to the state before (maximized or not).
    void toggleFullScreen();
    // The View actions' check marks follow what is shown.
    void refreshViewActions();

private:
    void togglePanel(int pane, QWidget *widget, int minimumWidth);

    Widgets m_w;
    bool m_maximizedBeforeFullScreen = false; // the state leaving full screen returns to
};
