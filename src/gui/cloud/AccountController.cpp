#include "cloud/AccountController.h"

#include "app/App.h"
#include "cloud/AccountDialogs.h"
#include "cloud/CloudLocks.h"
#include "frame/Frames.h"

#include <QTimer>
#include <QWidget>

AccountController::AccountController(QWidget *window, QObject *parent) : QObject(parent), m_window(window) {}

bool AccountController::busy() const { return m_running || cloudop::running(); }

bool AccountController::deferClose()
{
    if (!busy())
        return false;
    m_closePending = true;
    return true;
}

void AccountController::registerUser() { run(0); }
void AccountController::login() { run(1); }

void AccountController::changeUser()
{
    if (busy())
        return;
    g_App.account().markLoggedOut(true);
    run(1);
}

void AccountController::showUserInfo(const QString &text)
{
    QPointer<UserInfoDialog> dialog = new UserInfoDialog(text, m_window);
    Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain);
    delete dialog.data();
}

void AccountController::run(int first)
{
    if (busy())
        return;
    m_running = true;
    emit busyChanged();
    bool signedIn = false;
    int next = first;
    while (next >= 0) {
        if (next == 0) {
            QPointer<UserRegisterDialog> dialog = new UserRegisterDialog(m_window);
            Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain);
            next = dialog && dialog->wantsLogin() ? 1 : -1;
            delete dialog.data();
        } else {
            QPointer<UserLoginDialog> dialog = new UserLoginDialog(m_window);
            Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain);
            signedIn = dialog && dialog->doneCode() == QDialog::Accepted;
            next = dialog && dialog->wantsRegister() ? 0 : -1;
            delete dialog.data();
        }
    }
    m_running = false;
    emit busyChanged();
    if (signedIn && m_afterSignIn)
        m_afterSignIn();
    if (m_closePending && m_window) {
        m_closePending = false;
        QWidget *top = Frames::mainFrame() ? Frames::mainFrame() : m_window.data();
        QTimer::singleShot(0, top, &QWidget::close);
    }
}
