#include "app/Constants.h"

namespace Ink {

QString productName() { return QStringLiteral("砚舟写作"); }
QString applicationName() { return QStringLiteral("Inkboat"); }
QString organizationName() { return QStringLiteral("inkboathq"); }
QString appVersion() { return QStringLiteral(INKBOAT_VERSION); }

} // namespace Ink
