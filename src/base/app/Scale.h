#pragma once

#include <QString>

namespace Ink {

// Screen scale decided before the application object exists.
// stored < 0: automatic scaling; > 0 and != 1: QT_SCALE_FACTOR with two decimals; 0 or 1: nothing.
void applyStoredScaleFactor(double stored);
// 1.0 up to 96 DPI, else DPI / 96 × 0.8, never below 1.0 (on Linux any logical DPI occurs).
double recommendedScaleFactor(int logicalDpi);
// The notice is due when the factors differ as numbers and the recommendation is not 1.0.
bool scaleNoticeNeeded(double stored, double recommended);

double storedScaleFactor();                 // native settings "scaleFactor", default 0
void storeScaleFactor(double factor);       // writes and syncs
QString scaleNoticeText();                  // "确定后应用将退出，请重启应用以获取最佳显示效果！"

} // namespace Ink
