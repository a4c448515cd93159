#pragma once

#include "app/Prompter.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// Stands in for the user in tests: installs itself as App's prompter for its lifetime (the
// previous one comes back afterwards), answers questions from a queue and records every message.
class ScriptedPrompter final : public Prompter
{
public:
    struct Message {
        int kind;
        QString text;
        int buttons;
    };

    ScriptedPrompter();
    ~ScriptedPrompter() override;
    ScriptedPrompter(const ScriptedPrompter &) = delete;
    ScriptedPrompter &operator=(const ScriptedPrompter &) = delete;

    // Answers (Ink::MessageAnswer, or -1 for a dismissed dialog) given to the next questions in
    // turn; a question asked when the queue is empty gets defaultAnswer.
    QList<int> answers;
    int defaultAnswer = -1;
    // Folders handed to the next chooseDirectory calls; an empty queue cancels.
    QStringList directories;
    // Runs when a message is shown, before it is answered (the user acting while a dialog is up).
    std::function<void(int kind, const QString &text)> onMessage;
    // Runs framed windows while this is the installed prompter (the window tests' frame runner
    // asks it); without it a modal frame answers 0 (rejected) and is not shown.
    std::function<int(QWidget *, int)> framed;
    // Lets the real frames show the framed windows (window tests).
    void passFramesOn() { m_passFrames = true; }
    bool passesFramesOn() const { return m_passFrames; }
    int showFramed(QWidget *widget, int options);

    QList<Message> messages;
    QStringList startFolders; // the folder each chooser opened in

    // Texts of the messages of one kind (Ink::MessageKind), in order.
    QStringList texts(int kind) const;
    QStringList questions() const;
    QStringList errors() const;
    QStringList infos() const;
    void clear();

    int showMessage(int kind, const QString &text, int buttons, const QString &title) override;
    bool chooseDirectory(const QString &caption, QString &path) override;
    void applySkin(const QString &) override {}
    void applyUiFont(const QString &, int) override {}

private:
    Prompter *m_previous = nullptr;
    bool m_passFrames = false;
};
