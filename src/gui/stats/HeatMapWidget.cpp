#include "stats/HeatMapWidget.h"

#include "stats/StatsLook.h"

#include <QEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>

using namespace StatsLook;

namespace {

constexpr int kCell = 12;
constexpr int kGap = 3;
constexpr int kLeft = 28;
constexpr int kTop = 18;
constexpr int kWeeks = 53;

} // namespace

HeatMapWidget::HeatMapWidget(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("heatMap"));
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void HeatMapWidget::setDays(const QDate &first, const QDate &last, const QVector<int> &growth)
{
    m_first = first;
    m_last = last;
    m_growth = growth;
    // Levels by quartiles of the days written, so a light year still shows its shape.
    QVector<int> positive;
    for (int g : growth) {
        if (g > 0)
            positive.append(g);
    }
    std::sort(positive.begin(), positive.end());
    m_levels.clear();
    for (int q = 1; q <= 3; ++q)
        m_levels.append(positive.isEmpty() ? 0 : positive.at(positive.size() * q / 4));
    update();
}

int HeatMapWidget::level(int growth) const
{
    if (growth <= 0)
        return 0;
    int l = 1;
    for (int top : m_levels) {
        if (growth > top)
            ++l;
    }
    return qMin(l, 4);
}

QRect HeatMapWidget::cellRect(const QDate &day) const
{
    if (!m_first.isValid() || day < m_first || day > m_last)
        return QRect();
    const int index = int(m_first.daysTo(day));
    return QRect(kLeft + (index / 7) * (kCell + kGap), kTop + (index % 7) * (kCell + kGap), kCell, kCell);
}

QDate HeatMapWidget::dayAt(const QPoint &pos) const
{
    if (!m_first.isValid() || pos.x() < kLeft || pos.y() < kTop)
        return QDate();
    const int col = (pos.x() - kLeft) / (kCell + kGap);
    const int row = (pos.y() - kTop) / (kCell + kGap);
    if (row > 6)
        return QDate();
    const QDate day = m_first.addDays(col * 7 + row);
    return cellRect(day).contains(pos) ? day : QDate();
}

QSize HeatMapWidget::sizeHint() const
{
    return QSize(kLeft + kWeeks * (kCell + kGap) + 8, kTop + 7 * (kCell + kGap) + kCell + 12);
}

QSize HeatMapWidget::minimumSizeHint() const { return sizeHint(); }

bool HeatMapWidget::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const QDate day = dayAt(help->pos());
        if (day.isValid())
            QToolTip::showText(help->globalPos(), growthTip(day, m_growth.value(int(m_first.daysTo(day)))), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

void HeatMapWidget::mousePressEvent(QMouseEvent *event)
{
    const QDate day = dayAt(event->pos());
    if (day.isValid())
        emit dayClicked(day);
    QWidget::mousePressEvent(event);
}

void HeatMapWidget::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette pal = palette();
    const QColor ground = pal.color(QPalette::Base);
    const QColor text = pal.color(QPalette::WindowText);
    const QColor empty = mix(ground, text, 0.12);
    QFont small = font();
    small.setPointSizeF(qMax(7.0, small.pointSizeF() - 1));
    p.setFont(small);
    p.setPen(text);
    const QStringList weekdays = {QStringLiteral("一"), QStringLiteral("三"), QStringLiteral("五")};
    for (int i = 0; i < 3; ++i)
        p.drawText(QRect(0, kTop + (i * 2) * (kCell + kGap) - 2, kLeft - 6, kCell + 4), Qt::AlignRight | Qt::AlignVCenter,
                   weekdays.at(i));
    if (!m_first.isValid())
        return;
    int shownMonth = -1;
    for (QDate d = m_first; d <= m_last; d = d.addDays(1)) {
        const QRect r = cellRect(d);
        if (d.day() <= 7 && d.dayOfWeek() == 1 && d.month() != shownMonth) {
            shownMonth = d.month();
            p.setPen(text);
            p.drawText(QRect(r.left(), 0, 4 * (kCell + kGap), kTop - 2), Qt::AlignLeft | Qt::AlignBottom,
                       QStringLiteral("%1月").arg(d.month()));
        }
        const int g = m_growth.value(int(m_first.daysTo(d)));
        const int l = level(g);
        QColor fill = g < 0 ? mix(ground, kLossColor, 0.8) : l == 0 ? empty : mix(ground, kGainColor, 0.25 + 0.25 * l);
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(r, 2, 2);
        if (d == m_last) {
            p.setPen(QPen(text, 1.5));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(QRectF(r).adjusted(-1, -1, 1, 1), 2, 2);
        }
    }
    // Legend: from no words to most words.
    const int y = kTop + 7 * (kCell + kGap) + 4;
    int x = kLeft + 40 * (kCell + kGap);
    p.setPen(text);
    p.drawText(QRect(x - 40, y - 2, 34, kCell + 4), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("少"));
    for (int l = 0; l <= 4; ++l) {
        p.setPen(Qt::NoPen);
        p.setBrush(l == 0 ? empty : mix(ground, kGainColor, 0.25 + 0.25 * l));
        p.drawRoundedRect(QRect(x, y, kCell, kCell), 2, 2);
        x += kCell + kGap;
    }
    p.setPen(text);
    p.drawText(QRect(x + 2, y - 2, 40, kCell + 4), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("多"));
}
