// Showing a widget in a new frame; modal dialogs run in a local event loop here.
#include "frame/FramelessWindow.h"

#include "frame/Frames.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QPointer>
#include <QScreen>

namespace {

int s_modalCount = 0;

} // namespace

int FramelessWindow::modalCount() { return s_modalCount; }

int FramelessWindow::showWidget(QWidget *widget, int options, QWidget *mainFrame)
{
    if (!widget)
        return -1;
    QWidget *parent = (options & Ink::foParentMain) ? mainFrame : nullptr;
    // A modal dialog opened from a modal dialog belongs over that dialog, not beside it over the
    // main window. (Non-modal frames stay with the main window: the dialog's frame goes soon.)
    if (parent && (options & Ink::foModal)) {
        if (QWidget *modal = QApplication::activeModalWidget())
            parent = modal;
    }
    if (parent == widget || (parent && widget->isAncestorOf(parent)))
        parent = nullptr;
    Qt::WindowFlags extra;
    if (options & Ink::foToolTip)
        extra = Qt::ToolTip;
    else if (options & Ink::foTool)
        extra = Qt::Tool;
    auto *frame = new FramelessWindow(parent, extra);
    connect(frame, &FramelessWindow::windowCloseQuery, widget, &QWidget::close);
    frame->setContent(widget);
    frame->setResizable(options & Ink::foResizable);
    if (options & Ink::foToolTip)
        connect(qApp, &QGuiApplication::applicationStateChanged, frame, &FramelessWindow::changeToolTip);

    // Centre over the main window when it is up, else over the screen.
    QRect area;
    QWidget *over = parent ? parent : mainFrame;
    if (over && over != widget && over->isVisible())
        area = over->frameGeometry();
    QScreen *screen = area.isValid() ? QGuiApplication::screenAt(area.center()) : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    if (!area.isValid())
        area = available;
    QRect g(QPoint(0, 0), frame->size());
    g.moveCenter(area.center());
    g.moveLeft(qBound(available.left(), g.left(), qMax(available.left(), available.right() - g.width() + 1)));
    g.moveTop(qBound(available.top(), g.top(), qMax(available.top(), available.bottom() - g.height() + 1)));
    frame->move(g.topLeft());

    auto *dialog = qobject_cast<QDialog *>(widget);
    if (!(options & Ink::foModal) || !dialog) {
        if (options & Ink::foModal)
            frame->setWindowModality(Qt::ApplicationModal);
        frame->show();
        frame->raise();
        frame->activateWindow();
        return 0;
    }

    // Modal dialog: the frame is deleted here and only here, after the dialog has been
    // taken back out of it, so the caller still owns (and may delete) the dialog.
    frame->setAttribute(Qt::WA_DeleteOnClose, false);
    frame->setWindowModality(Qt::ApplicationModal);
    QPointer<FramelessWindow> frameGuard(frame);
    QPointer<QDialog> dialogGuard(dialog);
    int result = -1;
    connect(dialog, &QDialog::finished, frame, [&result](int r) { result = r; });
    frame->show();
    frame->raise();
    frame->activateWindow();

    ++s_modalCount;
    QEventLoop loop;
    connect(frame, &FramelessWindow::windowClose, &loop, &QEventLoop::quit);
    connect(frame, &QObject::destroyed, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::DialogExec);
    --s_modalCount;

    if (dialogGuard)
        result = dialogGuard->result();
    if (frameGuard) {
        frameGuard->takeContent();
        delete frameGuard.data();
    }
    if (mainFrame && mainFrame->isVisible())
        mainFrame->activateWindow();
    return result;
}
