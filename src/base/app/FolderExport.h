#pragma once

#include <QString>

class ExportAbs;

// The export command: asks for the folder (the chooser starts at folder, which then keeps the
// choice), exports the start node there and tells the author the count and any renamed or
// failed nodes. Nothing is said when the author cancels.
void exportToChosenFolder(ExportAbs &exporter, QString &folder);
