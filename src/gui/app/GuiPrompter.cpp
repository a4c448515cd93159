// The user-interface side of App: message dialogs, skins, fonts, folder choice.
#include "app/GuiPrompter.h"

#include "app/App.h"
#include "frame/Frames.h"
#include "frame/MessageDialog.h"
#include "frame/Styles.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QPointer>

using namespace Ink;

void GuiPrompter::install()
{
    static GuiPrompter prompter;
    g_App.setPrompter(&prompter);
}

int GuiPrompter::showMessage(int kind, const QString &text, int buttons, const QString &title)
{
    // Before the first window exists there is nothing to centre over; the dialog still
    // goes through the frame so it looks like every other one.
    QPointer<MessageDialog> dialog = new MessageDialog(Frames::mainWindow());
    dialog->setup(title, text, kind, buttons);
    Frames::showFramed(dialog, foModal | foParentMain);
    if (!dialog)
        return MessageDialog::NoAnswer;
    const int answer = dialog->answer();
    delete dialog.data();
    return answer;
}

void GuiPrompter::applySkin(const QString &name)
{
    if (name.isEmpty())
        return;
    Ink::applyStyle(name);
}

void GuiPrompter::applyUiFont(const QString &family, int pointSize)
{
    QFont font = QApplication::font();
    if (!family.isEmpty())
        font.setFamily(family);
    if (pointSize > 0)
        font.setPointSize(pointSize);
    QApplication::setFont(font);
}

bool GuiPrompter::chooseDirectory(const QString &caption, QString &path)
{
    const QString dir = QFileDialog::getExistingDirectory(Frames::mainWindow(), caption, path);
    if (dir.isEmpty())
        return false;
    path = QDir::toNativeSeparators(dir);
    if (!path.endsWith(QDir::separator()))
        path += QDir::separator();
    return true;
}
