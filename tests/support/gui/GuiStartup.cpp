// Window tests and benches run with the program's own prompter, installed as main() does it,
// as soon as their application object exists. Framed windows go to a ScriptedPrompter while one
// is installed, so a test's modal dialog never waits for a click.
#include "ScriptedPrompter.h"
#include "app/App.h"
#include "app/GuiPrompter.h"
#include "frame/Frames.h"

#include <QCoreApplication>

namespace {

int runFrame(QWidget *widget, int options)
{
    auto *scripted = dynamic_cast<ScriptedPrompter *>(g_App.prompter());
    if (scripted && !scripted->passesFramesOn())
        return scripted->showFramed(widget, options);
    return Frames::showInFrame(widget, options);
}

void installPrompter()
{
    GuiPrompter::install();
    static const Frames::Override scriptedFrames(runFrame);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installPrompter)
