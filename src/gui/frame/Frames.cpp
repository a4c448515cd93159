#include "frame/Frames.h"

#include "frame/FramelessWindow.h"

#include <QDialog>
#include <QPointer>

using namespace Ink;

namespace
{

// Guarded: a frame or window that goes away without telling leaves null, never a dangling pointer.
QPointer<QWidget> g_mainFrame;
QPointer<QWidget> g_mainWindow;
Frames::Runner g_runner;

} // namespace

namespace Frames
{

QWidget *mainFrame()
{
    return g_mainFrame.data();
}
void setMainFrame(QWidget *frame)
{
    g_mainFrame = frame;
}
QWidget *mainWindow()
{
    return g_mainWindow.data();
}
void setMainWindow(QWidget *window)
{
    g_mainWindow = window;
}

int showInFrame(QWidget *widget, int options)
{
    if (options & foBare) {
        auto *dialog = qobject_cast<QDialog *>(widget);
        if (dialog && (options & foModal))
            return dialog->exec();
        widget->show();
        return 0;
    }
    return FramelessWindow::showWidget(widget, options, g_mainFrame.data());
}

int showFramed(QWidget *widget, int options)
{
    if (g_runner)
        return g_runner(widget, options);
    return showInFrame(widget, options);
}

Override::Override(Runner runner) : m_previous(std::move(g_runner))
{
    g_runner = std::move(runner);
}

Override::~Override()
{
    g_runner = std::move(m_previous);
}

} // namespace Frames
