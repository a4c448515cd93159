#include "frame/Dialog.h"

#include "frame/FramelessWindow.h"

Dialog::Dialog(QWidget *parent, Qt::WindowFlags flags) : QDialog(parent, flags) {}

FramelessWindow *Dialog::frame() const { return FramelessWindow::frameOf(this); }

void Dialog::done(int r)
{
    m_doneCode = r;
    // The dialog finishes first (result set, hidden); the frame watches finished() and
    // closes around it. Closing the frame first would run the content's own close check
    // (closeEvent -> reject) and turn an accepted dialog into a rejected one.
    QDialog::done(r);
}
