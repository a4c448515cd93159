#pragma once

#include <QtGlobal>

#include <functional>

class QWidget;

namespace Ink
{

// Options of Frames::showFramed.
enum FrameOption : int {
    foModal = 0x1,      // application-modal; a dialog's result is returned
    foResizable = 0x2,  // the frame offers edge resizing
    foParentMain = 0x4, // the frame is a child window of the main window
    foTool = 0x10,      // tool-style frame
    foToolTip = 0x20,   // tooltip-style frame following the application's active state
    foBare = 0x40,      // the widget as it is, without a frame (a bubble); a dialog runs modal
};

} // namespace Ink

// The windows of the user interface: the frame around the main window, the main window itself
// (parent of message dialogs and choosers) and the one way every other window is framed.
// GUI thread only.
namespace Frames
{

QWidget *mainFrame();
void setMainFrame(QWidget *frame);
QWidget *mainWindow();
void setMainWindow(QWidget *window);

// Shows `widget` framed (Ink::FrameOption flags); a modal dialog's result is returned.
int showFramed(QWidget *widget, int options = Ink::foParentMain | Ink::foResizable);
// What showFramed does when nothing overrides it: the frameless frame (or the bare widget).
int showInFrame(QWidget *widget, int options);

using Runner = std::function<int(QWidget *widget, int options)>;

// While it lives, framed windows go to `runner` instead (a run without windows, the tests);
// overrides nest, the previous one comes back at its end.
class Override final
{
public:
    explicit Override(Runner runner);
    ~Override();

private:
    Q_DISABLE_COPY(Override)
    Runner m_previous;
};

} // namespace Frames
