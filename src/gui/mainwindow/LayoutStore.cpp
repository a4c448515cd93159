#include "mainwindow/LayoutStore.h"

#include "app/UiSettings.h"
#include "frame/FramelessWindow.h"
#include "params/SysParams.h"

#include <QAction>
#include <QCoreApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QSplitter>

LayoutStore::LayoutStore(const Widgets &widgets, QObject *parent) : QObject(parent), m_w(widgets)
{
    m_w.splitterMain->setStretchFactor(0, 0);
    m_w.splitterMain->setStretchFactor(1, 1);
    m_w.splitterMain->setStretchFactor(2, 0);
    m_w.splitterMain->setSizes({230, 760, 290});
    m_w.splitterMaterial->setSizes({300, 120, 180});
    m_w.splitterMiddle->setSizes({600, 0});
}

LayoutStore::~LayoutStore() = default;

QWidget *LayoutStore::frameWindow() const
{
    if (FramelessWindow *frame = FramelessWindow::frameOf(m_w.window))
        return frame;
    return m_w.window->window();
}

void LayoutStore::save()
{
    if (!g_SysParams.visibilityParams.autoSaveLayout)
        return;
    LayoutInfo &layout = g_SysParams.visibilityParams.layoutInfo;
    QWidget *frame = frameWindow();
    layout.fullScreen = frame->isFullScreen();
    // In full screen the state to come back to is what counts.
    layout.maximized = layout.fullScreen ? m_maximizedBeforeFullScreen : frame->isMaximized();
    layout.mainMenu = !m_w.menuBar->isHidden(); // the window itself may already be hidden
    layout.splitterMainSizes = m_w.splitterMain->sizes();
    layout.splitterMaterialSizes = m_w.splitterMaterial->sizes();
    m_w.searchFrame->hide();
    layout.splitterMiddleSizes = m_w.splitterMiddle->sizes();
    writeUiSettings({{UiSetting::WindowSaved, true},
                     {UiSetting::WindowGeometry, frame->saveGeometry()},
                     {UiSetting::WindowState, m_w.window->saveState()}});
}

void LayoutStore::restore()
{
    if (!g_SysParams.visibilityParams.autoSaveLayout)
        return;
    const LayoutInfo &layout = g_SysParams.visibilityParams.layoutInfo;
    auto *frame = qobject_cast<FramelessWindow *>(frameWindow());
    if (readUiSetting(UiSetting::WindowSaved).toBool()) {
        frameWindow()->restoreGeometry(readUiSetting(UiSetting::WindowGeometry).toByteArray());
        m_w.window->restoreState(readUiSetting(UiSetting::WindowState).toByteArray());
    }
    if (frame) {
        m_maximizedBeforeFullScreen = layout.maximized;
        if (layout.fullScreen)
            frame->setWindowFullScreen();
        else if (layout.maximized)
            frame->setWindowMaximize();
    }
    m_w.menuBar->setVisible(layout.mainMenu);
    if (layout.splitterMainSizes.size() == m_w.splitterMain->count())
        m_w.splitterMain->setSizes(layout.splitterMainSizes);
    if (layout.splitterMaterialSizes.size() == m_w.splitterMaterial->count())
        m_w.splitterMaterial->setSizes(layout.splitterMaterialSizes);
    if (layout.splitterMiddleSizes.size() == m_w.splitterMiddle->count()) {
        QList<int> sizes = layout.splitterMiddleSizes;
        if (sizes.last() == 0)
            sizes.last() = m_w.searchFrame->minimumSizeHint().height();
        m_w.splitterMiddle->setSizes(sizes);
    }
    QCoreApplication::processEvents();
    refreshViewActions();
}

void LayoutStore::toggleMainMenu()
{
    m_w.menuBar->setVisible(m_w.menuBar->isHidden());
    refreshViewActions();
}

void LayoutStore::toggleBookPanel() { togglePanel(0, m_w.bookPanel, 200); }

void LayoutStore::toggleMaterialPanel() { togglePanel(2, m_w.materialPanel, 220); }

// Shows or hides a side pane of the main splitter, giving its width to or taking it from the editor.
void LayoutStore::togglePanel(int pane, QWidget *widget, int minimumWidth)
{
    QList<int> sizes = m_w.splitterMain->sizes();
    if (sizes.value(pane) == 0) {
        const int want = qMax(widget->minimumWidth(), minimumWidth);
        sizes[pane] = want;
        sizes[1] = qMax(0, sizes[1] - want);
    } else {
        sizes[1] += sizes[pane];
        sizes[pane] = 0;
    }
    m_w.splitterMain->setSizes(sizes);
    refreshViewActions();
}

void LayoutStore::toggleFullScreen()
{
    QMainWindow *window = m_w.window;
    auto *frame = qobject_cast<FramelessWindow *>(frameWindow());
    const bool full = frameWindow()->isFullScreen();
    // The menu bar goes through its action, so that its check mark and the trace log follow.
    if (full) {
        if (frame && m_maximizedBeforeFullScreen)
            frame->setWindowMaximize();
        else if (frame)
            frame->setWindowNoState();
        else if (m_maximizedBeforeFullScreen)
            window->showMaximized();
        else
            window->showNormal();
        if (m_w.menuBar->isHidden())
            m_w.actionViewMainMenu->trigger();
    } else {
        m_maximizedBeforeFullScreen = frameWindow()->isMaximized();
        if (frame)
            frame->setWindowFullScreen();
        else
            window->showFullScreen();
        if (!m_w.menuBar->isHidden())
            m_w.actionViewMainMenu->trigger();
    }
    refreshViewActions();
    // The window manager may not have applied the new state yet.
    m_w.actionViewFullScreen->setChecked(!full);
}

void LayoutStore::refreshViewActions()
{
    const QList<int> sizes = m_w.splitterMain->sizes();
    m_w.actionViewBookPanel->setChecked(sizes.value(0) > 0);
    m_w.actionViewMaterialPanel->setChecked(sizes.value(2) > 0);
    m_w.actionViewMainMenu->setChecked(!m_w.menuBar->isHidden());
    m_w.actionViewFullScreen->setChecked(frameWindow()->isFullScreen());
}
