#pragma once

#include <QColor>
#include <QDate>
#include <QString>

// "1,234": counts are read at a glance with group separators, in every locale.
QString formatCount(qint64 value);

// Colours and texts the statistics window and its heat map share.
namespace StatsLook {

// Green for words written and red for words taken out read on light and dark grounds alike.
inline const QColor kGainColor(0x2d, 0xa4, 0x4e);
inline const QColor kLossColor(0xd0, 0x40, 0x40);

QColor mix(const QColor &a, const QColor &b, qreal t);
QString dayText(const QDate &day);
QString growthTip(const QDate &day, int growth);

} // namespace StatsLook
