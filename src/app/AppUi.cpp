// The user-interface side of App: frames, message dialogs, skins, fonts, folder choice.
#include "app/App.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QUrl>

using namespace Ink;

int App::showFramed(QWidget *widget, int options)
{
    if (!widget)
        return 0;
    if (options & foModal) {
        widget->setWindowModality(Qt::ApplicationModal);
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            return dialog->exec();
    }
    widget->show();
    widget->raise();
    widget->activateWindow();
    return 0;
}

int App::showFramedModal(QWidget *widget, bool resizable)
{
    return showFramed(widget, foModal | foParentMain | foDeleteFrame | (resizable ? foResizable : 0));
}

int App::showFramedTool(QWidget *widget, bool modal)
{
    return showFramed(widget, foTool | foParentMain | (modal ? foModal | foDeleteFrame : 0));
}

int App::showFramedToolTip(QWidget *widget) { return showFramed(widget, foToolTip | foParentMain); }

int App::showMessage(int kind, const QString &text, int buttons, const QString &title)
{
    static const char *const titles[] = {"警告", "错误", "信息", "确认", "信息"};
    static const QMessageBox::Icon icons[] = {QMessageBox::Warning, QMessageBox::Critical,
                                              QMessageBox::Information, QMessageBox::Question,
                                              QMessageBox::Information};
    const int k = (kind >= mkWarning && kind <= mkInformation2) ? kind : mkInformation;
    QMessageBox box(icons[k], title.isEmpty() ? QString::fromUtf8(titles[k]) : title, text, QMessageBox::NoButton,
                    mainWindow);
    box.setTextFormat(Qt::AutoText);
    struct Choice {
        int flag;
        QMessageBox::StandardButton button;
        int answer;
    };
    static const Choice choices[] = {{mbOk, QMessageBox::Ok, maOk},
                                     {mbYes, QMessageBox::Yes, maYes},
                                     {mbNo, QMessageBox::No, maNo},
                                     {mbCancel, QMessageBox::Cancel, maCancel}};
    if (!(buttons & (mbOk | mbYes | mbNo | mbCancel)))
        buttons = mbOk;
    for (const Choice &c : choices) {
        if (buttons & c.flag)
            box.addButton(c.button);
    }
    const int pressed = box.exec();
    for (const Choice &c : choices) {
        if (pressed == c.button)
            return c.answer;
    }
    return (buttons & mbCancel) ? maCancel : (buttons & mbNo) ? maNo : maOk;
}

void App::showInfo(const QString &text) { showMessage(mkInformation, text, mbOk); }

void App::showError(const QString &text) { showMessage(mkError, text, mbOk); }

int App::ask(const QString &text, int buttons, const QString &title)
{
    return showMessage(mkQuestion, text, buttons, title);
}

void App::applySkin(const QString &name)
{
    if (name.isEmpty())
        return;
    if (QStyle *style = QStyleFactory::create(name))
        QApplication::setStyle(style);
}

void App::applyUiFont(const QString &family, int pointSize)
{
    QFont font = QApplication::font();
    if (!family.isEmpty())
        font.setFamily(family);
    if (pointSize > 0)
        font.setPointSize(pointSize);
    QApplication::setFont(font);
}

bool App::chooseDirectory(const QString &caption, QString &path)
{
    const QString dir = QFileDialog::getExistingDirectory(mainWindow, caption, path);
    if (dir.isEmpty())
        return false;
    path = QDir::toNativeSeparators(dir);
    if (!path.endsWith(QDir::separator()))
        path += QDir::separator();
    return true;
}

void App::exitForInstall(const QString &installerPath)
{
    showInfo(QStringLiteral("确认后退出砚舟写作进行安装升级！"));
    QCoreApplication::quit();
    QDesktopServices::openUrl(QUrl::fromLocalFile(installerPath));
}
