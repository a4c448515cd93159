#include "cloud/AccountDialogs.h"

#include "app/App.h"
#include "cloud/Account.h"
#include "cloud/CloudLocks.h"
#include "cloud/WebClient.h"
#include "frame/Dialog.h"
#include "params/SysParams.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QLabel *linkLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(QStringLiteral("<a href=\"#\">%1</a>").arg(text), parent);
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

QDialogButtonBox *okCancel(QDialog *dialog)
{
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    nameButtons(box);
    box->button(QDialogButtonBox::Ok)->setDefault(true);
    QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return box;
}

} // namespace

// ---------------------------------------------------------------- forms that call the service

void AccountFormDialog::reject()
{
    if (!m_busy)
        Dialog::reject();
}

void AccountFormDialog::closeEvent(QCloseEvent *event)
{
    if (m_busy)
        event->ignore();
    else
        Dialog::closeEvent(event);
}

bool AccountFormDialog::callService(const std::function<bool()> &call)
{
    CloudOperationScope operation;
    if (!operation.started())
        return false;
    m_busy = true;
    m_buttons->setEnabled(false);
    const bool ok = call();
    m_busy = false;
    m_buttons->setEnabled(true);
    return ok;
}

// ---------------------------------------------------------------- sign-in

UserLoginDialog::UserLoginDialog(QWidget *parent) : AccountFormDialog(parent)
{
    setObjectName(QStringLiteral("UserLoginDialog"));
    setWindowTitle(QStringLiteral("用户登录"));
    auto *form = new QFormLayout;
    m_user = new QLineEdit(this);
    m_user->setObjectName(QStringLiteral("lineEditUserName"));
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("lineEditPassword"));
    m_password->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("用户名："), m_user);
    m_account = new QLabel(this);
    m_account->setTextFormat(Qt::PlainText);
    form->addRow(QString(), m_account);
    form->addRow(QStringLiteral("密码："), m_password);
    m_save = new QCheckBox(QStringLiteral("保存密码"), this);
    m_auto = new QCheckBox(QStringLiteral("自动登录"), this);
    auto *checks = new QHBoxLayout;
    checks->addWidget(m_save);
    checks->addWidget(m_auto);
    checks->addStretch();
    form->addRow(QString(), checks);
    QLabel *noAccount = linkLabel(QStringLiteral("我还没有帐号"), this);
    QLabel *forgot = linkLabel(QStringLiteral("我忘记了密码"), this);
    auto *links = new QHBoxLayout;
    links->addWidget(noAccount);
    links->addStretch();
    links->addWidget(forgot);
    m_buttons = okCancel(this);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(links);
    layout->addWidget(m_buttons);
    setMinimumWidth(340);

    const LoginParams &p = g_SysParams.loginParams;
    m_user->setText(p.userID);
    m_password->setText(p.password);
    m_save->setChecked(p.saveLogin);
    m_auto->setChecked(p.saveLogin && p.autoLogin);
    m_auto->setEnabled(p.saveLogin);
    const auto showAccount = [this](const QString &typed) {
        const QString folded = account::foldUserName(typed);
        m_account->setText(QStringLiteral("登录帐号：") + folded);
        m_account->setVisible(!folded.isEmpty() && folded != typed);
    };
    showAccount(m_user->text());
    connect(m_user, &QLineEdit::textChanged, this, showAccount);
    connect(m_save, &QCheckBox::toggled, this, [this](bool on) {
        m_auto->setEnabled(on);
        if (!on)
            m_auto->setChecked(false);
    });
    connect(noAccount, &QLabel::linkActivated, this, [this] {
        if (m_busy)
            return;
        m_wantsRegister = true;
        Dialog::reject();
    });
    connect(forgot, &QLabel::linkActivated, this,
            [] { QDesktopServices::openUrl(QUrl(web::forgotPasswordPage())); });
    setTabOrder(m_user, m_password);
    setTabOrder(m_password, m_save);
    setTabOrder(m_save, m_auto);
    setTabOrder(m_auto, m_buttons->button(QDialogButtonBox::Ok));
    if (m_user->text().isEmpty())
        m_user->setFocus();
    else
        m_password->setFocus();
}

void UserLoginDialog::accept()
{
    if (m_busy)
        return;
    const QString user = m_user->text();
    const QString password = m_password->text();
    const QString failure = account::loginCheck(user, password);
    if (!failure.isEmpty()) {
        g_App.showError(failure);
        return;
    }
    if (!callService([&] { return g_App.account().login(user, password, false); }))
        return;
    account::rememberSignIn(user, password, m_save->isChecked(), m_auto->isChecked());
    g_App.account().userInfoChanged(); // the summary shows the name just remembered
    Dialog::accept();
}


// ---------------------------------------------------------------- registration

UserRegisterDialog::UserRegisterDialog(QWidget *parent) : AccountFormDialog(parent)
{
    setObjectName(QStringLiteral("UserRegisterDialog"));
    setWindowTitle(QStringLiteral("用户注册"));
    auto *form = new QFormLayout;
    const char *labels[] = {"用户名：", "邮箱地址：", "确认邮箱地址：", "密码：", "确认密码："};
    for (int i = 0; i < 5; ++i) {
        m_fields[i] = new QLineEdit(this);
        if (i >= 3)
            m_fields[i]->setEchoMode(QLineEdit::Password);
        form->addRow(QString::fromUtf8(labels[i]), m_fields[i]);
    }
    m_notice = new QLabel(QStringLiteral("注意：请务必填写有效的邮箱地址注册，忘记密码才能自助取回！！！"), this);
    m_notice->setWordWrap(true);
    QFont font = m_notice->font();
    font.setBold(true);
    font.setPointSize(12);
    m_notice->setFont(font);
    m_notice->setStyleSheet(QStringLiteral("color: red;"));
    QLabel *haveAccount = linkLabel(QStringLiteral("我已经有帐号"), this);
    connect(haveAccount, &QLabel::linkActivated, this, [this] {
        if (m_busy)
            return;
        m_wantsLogin = true;
        Dialog::reject();
    });
    m_buttons = okCancel(this);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_notice);
    layout->addWidget(haveAccount);
    layout->addWidget(m_buttons);
    setMinimumWidth(420);
}

void UserRegisterDialog::accept()
{
    if (m_busy)
        return;
    const QString failure = account::registerCheck(m_fields[0]->text(), m_fields[1]->text(), m_fields[2]->text(),
                                                    m_fields[3]->text(), m_fields[4]->text());
    if (!failure.isEmpty()) {
        g_App.showError(failure);
        return;
    }
    if (callService([this] {
            return g_App.account().registerUser(m_fields[0]->text(), m_fields[3]->text(), m_fields[1]->text(), false);
        }))
        Dialog::accept();
}

// ---------------------------------------------------------------- information

UserInfoDialog::UserInfoDialog(const QString &text, QWidget *parent) : Dialog(parent)
{
    setObjectName(QStringLiteral("UserInfoDialog"));
    setWindowTitle(QStringLiteral("用户信息"));
    auto *label = new QLabel(text, this);
    label->setTextFormat(Qt::PlainText);
    label->setObjectName(QStringLiteral("labelUserInfo"));
    auto *box = new QDialogButtonBox(QDialogButtonBox::Close, this);
    box->button(QDialogButtonBox::Close)->setText(QStringLiteral("关闭"));
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(box);
    setMinimumWidth(300);
}
