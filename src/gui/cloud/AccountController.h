#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;

// The account actions of the main window: registration, sign-in, user information and change
// of user. While one of them waits for the service the cloud actions are off and a close of the
// window waits until it has ended.
class AccountController final : public QObject
{
    Q_OBJECT
public:
    explicit AccountController(QWidget *window, QObject *parent = nullptr);

    void registerUser();
    // afterSignIn runs after a successful sign-in (the window reloads its trees).
    void login();
    void showUserInfo(const QString &text);
    void changeUser();
    void setAfterSignIn(std::function<void()> handler) { m_afterSignIn = std::move(handler); }

    bool busy() const;
    // True when a close must wait for the running operation; the window is closed afterwards.
    bool deferClose();

signals:
    void busyChanged();

private:
    // 0 register, 1 login; the dialogs send the user from one to the other.
    void run(int first);

    QPointer<QWidget> m_window;
    std::function<void()> m_afterSignIn;
    bool m_running = false;
    bool m_closePending = false;
};
