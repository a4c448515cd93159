#include "ScriptedPrompter.h"

#include "app/App.h"

ScriptedPrompter::ScriptedPrompter()
    : m_previous(g_App.prompter())
{
    g_App.setPrompter(this);
}

ScriptedPrompter::~ScriptedPrompter()
{
    if (g_App.prompter() == this)
        g_App.setPrompter(m_previous);
}

QStringList ScriptedPrompter::texts(int kind) const
{
    QStringList result;
    for (const Message &m : messages)
        if (m.kind == kind)
            result << m.text;
    return result;
}

QStringList ScriptedPrompter::questions() const { return texts(Ink::mkQuestion); }
QStringList ScriptedPrompter::errors() const { return texts(Ink::mkError); }

QStringList ScriptedPrompter::infos() const
{
    return texts(Ink::mkInformation) + texts(Ink::mkInformation2);
}

void ScriptedPrompter::clear()
{
    messages.clear();
    startFolders.clear();
}

int ScriptedPrompter::showMessage(int kind, const QString &text, int buttons, const QString &)
{
    messages.append({kind, text, buttons});
    if (onMessage)
        onMessage(kind, text);
    if (kind != Ink::mkQuestion)
        return Ink::maOk;
    return answers.isEmpty() ? defaultAnswer : answers.takeFirst();
}

int ScriptedPrompter::showFramed(QWidget *widget, int options)
{
    return framed ? framed(widget, options) : 0;
}

bool ScriptedPrompter::chooseDirectory(const QString &, QString &path)
{
    startFolders << path;
    if (directories.isEmpty())
        return false;
    path = directories.takeFirst();
    return true;
}
