#include "app/Scale.h"

#include "app/UiSettings.h"

#include <QCoreApplication>

#include <cmath>

namespace Ink {

void applyStoredScaleFactor(double stored)
{
    if (stored < 0) {
        qputenv("QT_AUTO_SCREEN_SCALE_FACTOR", "1");
    } else if (stored > 0 && std::fabs(stored - 1.0) > 1e-9) {
        QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
        qputenv("QT_SCALE_FACTOR", QByteArray::number(stored, 'f', 2));
    }
}

double recommendedScaleFactor(int logicalDpi)
{
    if (logicalDpi <= 96)
        return 1.0;
    return qMax(1.0, logicalDpi / 96.0 * 0.8);
}

bool scaleNoticeNeeded(double stored, double recommended)
{
    if (std::fabs(recommended - 1.0) < 0.005)
        return false;
    return std::fabs(stored - recommended) >= 0.005;
}

double storedScaleFactor() { return readUiSetting(UiSetting::ScaleFactor, 0.0).toDouble(); }

void storeScaleFactor(double factor) { writeUiSettings({{UiSetting::ScaleFactor, factor}}); }

QString scaleNoticeText() { return QStringLiteral("确定后应用将退出，请重启应用以获取最佳显示效果！"); }

} // namespace Ink
