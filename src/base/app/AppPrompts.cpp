// The user-interface requests of App. Base code only names them; the GUI's Prompter carries
// them out, and without one nothing waits for a click that cannot come.
#include "app/App.h"

#include "app/Prompter.h"
#include "app/UiSettings.h"
#include "log/Log.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

using namespace Ink;

namespace {

void logUnshown(const QString &what) { writeLog(QStringLiteral("err"), QStringLiteral("无界面，未显示：") + what); }

} // namespace

int App::showMessage(int kind, const QString &text, int buttons, const QString &title)
{
    if (m_prompter)
        return m_prompter->showMessage(kind, text, buttons, title);
    logUnshown(text);
    return maCancel;
}

void App::showInfo(const QString &text) { showMessage(mkInformation, text, mbOk); }

void App::showError(const QString &text) { showMessage(mkError, text, mbOk); }

int App::ask(const QString &text, int buttons, const QString &title)
{
    return showMessage(mkQuestion, text, buttons, title);
}

void App::applySkin(const QString &name)
{
    if (m_prompter && !name.isEmpty())
        m_prompter->applySkin(name);
}

void App::applyUiFont(const QString &family, int pointSize)
{
    if (m_prompter)
        m_prompter->applyUiFont(family, pointSize);
}

bool App::chooseDirectory(const QString &caption, QString &path, const QString &purpose)
{
    if (!m_prompter)
        return false;
    // The dialog never starts in the process's working folder: the given folder, else the one
    // last chosen for this purpose, else the author's home.
    QString start = path;
    if (start.isEmpty() || !QDir(start).exists())
        start = purpose.isEmpty() ? QString() : readLastFolder(purpose);
    if (start.isEmpty() || !QDir(start).exists())
        start = QDir::homePath();
    if (!m_prompter->chooseDirectory(caption, start))
        return false;
    path = start;
    if (!purpose.isEmpty())
        writeLastFolder(purpose, path);
    return true;
}

void App::exitForInstall(const QString &installerPath)
{
    showInfo(QStringLiteral("确认后退出砚舟写作进行安装升级！"));
    // Nothing downloaded is run here: a package goes to the software centre, which asks the
    // author; anything else is shown in its folder.
    const QFileInfo file(installerPath);
    const QString target = installerPath.endsWith(QLatin1String(".deb")) ? file.absoluteFilePath() : file.absolutePath();
    setAfterExit([target] { QDesktopServices::openUrl(QUrl::fromLocalFile(target)); });
    requestOrderlyQuit();
}
