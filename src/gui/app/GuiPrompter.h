#pragma once

#include "app/Prompter.h"

// App's user interface in windows: the frameless message dialog, the colour styles and the
// application font.
class GuiPrompter final : public Prompter
{
public:
    int showMessage(int kind, const QString &text, int buttons, const QString &title) override;
    bool chooseDirectory(const QString &caption, QString &path) override;
    void applySkin(const QString &name) override;
    void applyUiFont(const QString &family, int pointSize) override;

    // Makes one shared instance g_App's prompter (the program and the window tests call it).
    static void install();
};
