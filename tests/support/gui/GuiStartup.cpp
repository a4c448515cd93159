// Window tests and benches run with the program's own prompter, installed as main() does it,
// as soon as their application object exists.
#include "app/GuiPrompter.h"

#include <QCoreApplication>

namespace {

void installPrompter() { GuiPrompter::install(); }

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installPrompter)
