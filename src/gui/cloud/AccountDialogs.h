#pragma once

#include "frame/Dialog.h"

#include <functional>

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;

// A form whose OK calls the service: while the call waits, the form can neither be confirmed
// again nor closed.
class AccountFormDialog : public Dialog
{
    Q_OBJECT
public:
    using Dialog::Dialog;

    bool isBusy() const { return m_busy; }
    QDialogButtonBox *buttons() const { return m_buttons; }

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    // Runs call as the one cloud operation of the moment, the form busy meanwhile. False when
    // another operation runs or the call fails.
    bool callService(const std::function<bool()> &call);

    QDialogButtonBox *m_buttons = nullptr;
    bool m_busy = false;
};

// The sign-in form. OK runs the checks and the sign-in.
class UserLoginDialog final : public AccountFormDialog
{
    Q_OBJECT
public:
    explicit UserLoginDialog(QWidget *parent = nullptr);

    bool wantsRegister() const { return m_wantsRegister; }
    QLineEdit *userNameEdit() const { return m_user; }
    QLineEdit *passwordEdit() const { return m_password; }
    QCheckBox *savePasswordBox() const { return m_save; }
    QCheckBox *autoLoginBox() const { return m_auto; }
    QLabel *accountLabel() const { return m_account; }

public slots:
    void accept() override;

private:
    QLineEdit *m_user;
    QLineEdit *m_password;
    QLabel *m_account; // the folded name the service knows the account by, when it differs
    QCheckBox *m_save;
    QCheckBox *m_auto;
    bool m_wantsRegister = false;
};

class UserRegisterDialog final : public AccountFormDialog
{
    Q_OBJECT
public:
    explicit UserRegisterDialog(QWidget *parent = nullptr);

    bool wantsLogin() const { return m_wantsLogin; }
    QLineEdit *field(int index) const { return m_fields[index]; } // user, e-mail, e-mail again, password, again
    QLabel *noticeLabel() const { return m_notice; }

public slots:
    void accept() override;

private:
    QLineEdit *m_fields[5];
    QLabel *m_notice;
    bool m_wantsLogin = false;
};

class UserInfoDialog : public Dialog
{
    Q_OBJECT
public:
    UserInfoDialog(const QString &text, QWidget *parent = nullptr);
};
