#pragma once

#include <QString>

namespace Ink {

// Product identity used for window titles, settings and the data folder.
QString productName();     // "砚舟写作"
QString applicationName(); // "Inkboat"
QString organizationName(); // "inkboathq"
QString appVersion();      // "4.31"

} // namespace Ink
