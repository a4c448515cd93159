#pragma once

#include "frame/Dialog.h"

class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;

// The sign-in form. OK runs the checks and the sign-in; while the sign-in waits for the service
// the form can neither be confirmed again nor closed.
class UserLoginDialog : public Dialog
{
    Q_OBJECT
public:
    explicit UserLoginDialog(QWidget *parent = nullptr);

    bool wantsRegister() const { return m_wantsRegister; }
    bool isBusy() const { return m_busy; }
    QLineEdit *userNameEdit() const { return m_user; }
    QLineEdit *passwordEdit() const { return m_password; }
    QCheckBox *savePasswordBox() const { return m_save; }
    QCheckBox *autoLoginBox() const { return m_auto; }
    QLabel *accountLabel() const { return m_account; }
    QDialogButtonBox *buttons() const { return m_buttons; }

public slots:
    void accept() override;
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void setBusy(bool busy);

    QLineEdit *m_user;
    QLineEdit *m_password;
    QLabel *m_account; // the folded name the service knows the account by, when it differs
    QCheckBox *m_save;
    QCheckBox *m_auto;
    QDialogButtonBox *m_buttons;
    bool m_busy = false;
    bool m_wantsRegister = false;
};

class UserRegisterDialog : public Dialog
{
    Q_OBJECT
public:
    explicit UserRegisterDialog(QWidget *parent = nullptr);

    bool wantsLogin() const { return m_wantsLogin; }
    QLineEdit *field(int index) const { return m_fields[index]; } // user, e-mail, e-mail again, password, again
    QLabel *noticeLabel() const { return m_notice; }
    QDialogButtonBox *buttons() const { return m_buttons; }

public slots:
    void accept() override;
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLineEdit *m_fields[5];
    QLabel *m_notice;
    QDialogButtonBox *m_buttons;
    bool m_busy = false;
    bool m_wantsLogin = false;
};

class UserInfoDialog : public Dialog
{
    Q_OBJECT
public:
    UserInfoDialog(const QString &text, QWidget *parent = nullptr);
};
