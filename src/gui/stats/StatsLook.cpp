#include "stats/StatsLook.h"

#include <QLocale>

namespace StatsLook {

QColor mix(const QColor &a, const QColor &b, qreal t)
{
    return QColor::fromRgbF(a.redF() + (b.redF() - a.redF()) * t, a.greenF() + (b.greenF() - a.greenF()) * t,
                            a.blueF() + (b.blueF() - a.blueF()) * t);
}

QString dayText(const QDate &day)
{
    return QLocale(QLocale::Chinese, QLocale::China).toString(day, QStringLiteral("yyyy年M月d日 dddd"));
}

QString growthTip(const QDate &day, int growth)
{
    return growth == 0 ? QStringLiteral("%1：没有写作").arg(dayText(day))
                       : QStringLiteral("%1：%2 字").arg(dayText(day), formatCount(growth));
}

} // namespace StatsLook

QString formatCount(qint64 value) { return QLocale(QLocale::English, QLocale::UnitedStates).toString(value); }
