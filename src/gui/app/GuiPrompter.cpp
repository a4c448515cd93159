// The user-interface side of App: frames, message dialogs, skins, fonts, folder choice.
#include "app/App.h"

#include "ui/FramelessWindow.h"
#include "ui/MessageDialog.h"
#include "ui/Styles.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QPointer>
#include <QUrl>

using namespace Ink;

int App::showFramed(QWidget *widget, int options)
{
    return FramelessWindow::showWidget(widget, options, mainFrame);
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
    // Before the first window exists there is nothing to centre over; the dialog still
    // goes through the frame so it looks like every other one.
    QPointer<MessageDialog> dialog = new MessageDialog(mainWindow);
    dialog->setup(title, text, kind, buttons);
    showFramed(dialog, foModal | foParentMain | foDeleteFrame);
    if (!dialog)
        return MessageDialog::NoAnswer;
    const int answer = dialog->answer();
    delete dialog.data();
    return answer;
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
    Ink::applyStyle(name);
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
