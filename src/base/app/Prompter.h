#pragma once

#include <QString>

// What App asks of a user interface: message dialogs, a folder choice and the
// look of the application. The GUI installs its implementation at start-up (App::setPrompter);
// code that runs without one (tools, base tests) gets a logged request and a "cancel" answer,
// so it never blocks.
class Prompter
{
public:
    virtual ~Prompter() = default;

    // A message dialog of Ink::MessageKind with Ink::MessageButton buttons; returns the
    // Ink::MessageAnswer of the button pressed, or a negative value when it was dismissed.
    virtual int showMessage(int kind, const QString &text, int buttons, const QString &title) = 0;
    // Lets the user pick a folder, starting at path; false when cancelled.
    virtual bool chooseDirectory(const QString &caption, QString &path) = 0;
    virtual void applySkin(const QString &name) = 0;
    virtual void applyUiFont(const QString &family, int pointSize) = 0;
};
