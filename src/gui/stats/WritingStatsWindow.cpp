#include "stats/WritingStatsWindow.h"

#include "app/Exception.h"
#include "params/SysParams.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QCursor>
#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QStackedBarSeries>
#include <QStackedWidget>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>
#include <QValueAxis>

using namespace QtCharts;
using namespace StatsLook;

namespace {

const QColor kTargetColor(0xe0, 0x8a, 0x00);

QTableWidgetItem *numberItem(qint64 value)
{
    auto *item = new QTableWidgetItem(formatCount(value));
    item->setData(Qt::UserRole, value);
    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return item;
}

QTableWidget *makeTable(const QStringList &headers, const char *name)
{
    auto *t = new QTableWidget(0, headers.size());
    t->setObjectName(QLatin1String(name));
    t->setHorizontalHeaderLabels(headers);
    t->verticalHeader()->hide();
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int c = 1; c < headers.size(); ++c)
        t->horizontalHeader()->setSectionResizeMode(c, QHeaderView::ResizeToContents);
    return t;
}

} // namespace

WritingStatsWindow::WritingStatsWindow(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("WritingStatsWindow"));
    setWindowTitle(QStringLiteral("写作统计"));
    resize(1000, 680);

    auto *root = new QVBoxLayout(this);
    m_stack = new QStackedWidget(this);
    root->addWidget(m_stack);

    auto *empty = new QLabel(QStringLiteral("还没有写作记录"));
    empty->setObjectName(QStringLiteral("labelNoHistory"));
    empty->setAlignment(Qt::AlignCenter);
    m_stack->addWidget(empty);

    auto *page = new QWidget;
    auto *v = new QVBoxLayout(page);
    v->setContentsMargins(0, 0, 0, 0);
    m_labelSummary = new QLabel;
    m_labelSummary->setObjectName(QStringLiteral("labelSummary"));
    QFont big = m_labelSummary->font();
    big.setPointSizeF(big.pointSizeF() + 2);
    big.setBold(true);
    m_labelSummary->setFont(big);
    m_labelStreaks = new QLabel;
    m_labelStreaks->setObjectName(QStringLiteral("labelStreaks"));
    v->addWidget(m_labelSummary);
    v->addWidget(m_labelStreaks);
    v->addWidget(buildChart(), 3);

    auto *heatRow = new QHBoxLayout;
    m_heatMap = new HeatMapWidget;
    heatRow->addWidget(m_heatMap);
    heatRow->addStretch();
    v->addWidget(new QLabel(QStringLiteral("最近 12 个月")));
    v->addLayout(heatRow);
    connect(m_heatMap, &HeatMapWidget::dayClicked, this, &WritingStatsWindow::selectDay);

    auto *tables = new QHBoxLayout;
    auto *left = new QVBoxLayout;
    left->addWidget(new QLabel(QStringLiteral("各书合计")));
    m_tableBooks = makeTable({QStringLiteral("书名"), QStringLiteral("字数"), QStringLiteral("写作天数")}, "tableBooks");
    left->addWidget(m_tableBooks);
    auto *right = new QVBoxLayout;
    m_labelDay = new QLabel;
    m_labelDay->setObjectName(QStringLiteral("labelDay"));
    right->addWidget(m_labelDay);
    m_tableDay = makeTable({QStringLiteral("章节"), QStringLiteral("所属书"), QStringLiteral("当日字数"),
                            QStringLiteral("章节字数")},
                           "tableDay");
    right->addWidget(m_tableDay);
    tables->addLayout(left, 2);
    tables->addLayout(right, 3);
    v->addLayout(tables, 2);
    m_stack->addWidget(page);
}

WritingStatsWindow::~WritingStatsWindow() = default;

QWidget *WritingStatsWindow::buildChart()
{
    m_chart = new QChart;
    m_chart->setTitle(QStringLiteral("最近 30 天每日字数"));
    m_chart->setAnimationOptions(QChart::NoAnimation);
    m_chart->setMargins(QMargins(4, 4, 4, 4));
    m_gain = new QBarSet(QStringLiteral("写作"));
    m_loss = new QBarSet(QStringLiteral("删减"));
    m_bars = new QStackedBarSeries;
    m_bars->append(m_gain);
    m_bars->append(m_loss);
    m_bars->setBarWidth(0.7);
    m_chart->addSeries(m_bars);
    m_targetLine = new QLineSeries;
    m_targetLine->setName(QStringLiteral("每日目标"));
    m_chart->addSeries(m_targetLine);
    m_axisX = new QBarCategoryAxis;
    m_axisY = new QValueAxis;
    m_axisY->setLabelFormat(QStringLiteral("%d"));
    m_axisY->setTitleText(QStringLiteral("字数"));
    QFont labels = m_axisX->labelsFont();
    labels.setPointSizeF(qMax(7.0, font().pointSizeF() - 1));
    m_axisX->setLabelsFont(labels);
    m_chart->addAxis(m_axisX, Qt::AlignBottom);
    m_chart->addAxis(m_axisY, Qt::AlignLeft);
    for (QAbstractSeries *s : {static_cast<QAbstractSeries *>(m_bars), static_cast<QAbstractSeries *>(m_targetLine)}) {
        s->attachAxis(m_axisX);
        s->attachAxis(m_axisY);
    }
    m_chart->legend()->setAlignment(Qt::AlignTop);

    connect(m_bars, &QStackedBarSeries::hovered, this, [this](bool on, int index, QBarSet *) {
        if (!on) {
            QToolTip::hideText();
            return;
        }
        const QDate day = m_today.addDays(index - (kChartDays - 1));
        QToolTip::showText(QCursor::pos(), growthTip(day, m_history.growthOn(day)), m_chartView);
    });
    connect(m_bars, &QStackedBarSeries::clicked, this,
            [this](int index, QBarSet *) { selectDay(m_today.addDays(index - (kChartDays - 1))); });
    connect(m_targetLine, &QLineSeries::hovered, this, [this](const QPointF &, bool on) {
        if (on)
            QToolTip::showText(QCursor::pos(), QStringLiteral("每日目标：%1 字").arg(formatCount(m_target)), m_chartView);
        else
            QToolTip::hideText();
    });

    m_chartView = new QChartView(m_chart);
    m_chartView->setObjectName(QStringLiteral("chartViewDays"));
    m_chartView->setRenderHint(QPainter::Antialiasing);
    m_chartView->setMinimumHeight(220);
    applyChartColors();
    return m_chartView;
}

void WritingStatsWindow::applyChartColors()
{
    // The chart draws itself, not through the style: every colour comes from the palette.
    const QPalette pal = palette();
    const QColor ground = pal.color(QPalette::Base);
    const QColor text = pal.color(QPalette::WindowText);
    const QColor grid = mix(ground, text, 0.18);
    m_chart->setBackgroundBrush(ground);
    m_chart->setBackgroundPen(QPen(grid));
    m_chart->setTitleBrush(text);
    m_chart->legend()->setLabelColor(text);
    for (QAbstractAxis *axis : {static_cast<QAbstractAxis *>(m_axisX), static_cast<QAbstractAxis *>(m_axisY)}) {
        axis->setLabelsColor(text);
        axis->setTitleBrush(text);
        axis->setLinePenColor(grid);
        axis->setGridLineColor(grid);
    }
    m_gain->setColor(kGainColor);
    m_gain->setBorderColor(kGainColor);
    m_loss->setColor(kLossColor);
    m_loss->setBorderColor(kLossColor);
    QPen pen(kTargetColor, 2, Qt::DashLine);
    m_targetLine->setPen(pen);
    m_chartView->setBackgroundBrush(pal.color(QPalette::Window));
}

void WritingStatsWindow::changeEvent(QEvent *event)
{
    if (m_chart && (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange))
        applyChartColors();
    QWidget::changeEvent(event);
}

void WritingStatsWindow::reload()
{
    WritingStats::History history;
    try {
        history = WritingStats::History::load();
    } catch (const Exception &) {
        // Without the log file there is nothing to show: the window says so.
    }
    showHistory(history, QDate::currentDate(), g_SysParams.dailyWordTarget);
}

void WritingStatsWindow::showHistory(const WritingStats::History &history, const QDate &today, int target)
{
    m_history = history;
    m_today = today;
    m_target = target;
    if (m_history.isEmpty()) {
        m_stack->setCurrentIndex(0);
        return;
    }
    m_stack->setCurrentIndex(1);

    const QVector<int> month = m_history.growthPerDay(today.addDays(1 - kChartDays), today);
    const int todayGrowth = month.last();
    const QDate monday = today.addDays(1 - today.dayOfWeek());
    qint64 week = 0;
    qint64 monthTotal = 0;
    for (int i = 0; i < month.size(); ++i) {
        monthTotal += month.at(i);
        if (today.addDays(i - (kChartDays - 1)) >= monday)
            week += month.at(i);
    }
    QString summary = QStringLiteral("今天 %1 字　本周 %2 字　近 30 天 %3 字")
                          .arg(formatCount(todayGrowth), formatCount(week), formatCount(monthTotal));
    if (target > 0) {
        summary += todayGrowth >= target
                       ? QStringLiteral("　今日目标 %1 字已达成").arg(formatCount(target))
                       : QStringLiteral("　今日目标 %1 字，还差 %2 字").arg(formatCount(target), formatCount(target - todayGrowth));
    }
    m_labelSummary->setText(summary);
    const WritingStats::Streaks s = m_history.streaks(target, today);
    m_labelStreaks->setText(QStringLiteral("当前连续 %1 天　最长连续 %2 天（%3）　全部 %4 字")
                                .arg(s.current)
                                .arg(s.longest)
                                .arg(target > 0 ? QStringLiteral("达到每日目标的天数") : QStringLiteral("有写作的天数"),
                                     formatCount(m_history.total())));

    showChart(today, target);
    // Whole weeks, Monday on top, ending with the week of today.
    const QDate first = today.addDays(1 - today.dayOfWeek()).addDays(-7 * (52));
    m_heatMap->setDays(first, today, m_history.growthPerDay(first, today));
    showBooks();
    selectDay(m_history.growthOn(today) != 0 || !m_history.chaptersOn(today).isEmpty() ? today : m_history.lastDay());
}

void WritingStatsWindow::showChart(const QDate &today, int target)
{
    const QVector<int> values = m_history.growthPerDay(today.addDays(1 - kChartDays), today);
    QStringList categories;
    QList<qreal> gains;
    QList<qreal> losses;
    int low = 0;
    int high = target;
    for (int i = 0; i < values.size(); ++i) {
        const QDate day = today.addDays(i - (kChartDays - 1));
        // A bar is too narrow for more than the day of the month (longer labels are cut to "…"):
        // the title gives the months, the tooltips the dates.
        categories << QString::number(day.day());
        gains << qMax(0, values.at(i));
        losses << qMin(0, values.at(i));
        low = qMin(low, values.at(i));
        high = qMax(high, values.at(i));
    }
    m_gain->remove(0, m_gain->count());
    m_loss->remove(0, m_loss->count());
    m_gain->append(gains);
    m_loss->append(losses);
    const QDate first = today.addDays(1 - kChartDays);
    m_chart->setTitle(QStringLiteral("最近 30 天每日字数（%1月%2日 — %3月%4日）")
                          .arg(first.month())
                          .arg(first.day())
                          .arg(today.month())
                          .arg(today.day()));
    m_axisX->clear();
    m_axisX->append(categories);
    m_axisY->setRange(low, high > 0 ? high * 1.1 : 10);
    m_axisY->applyNiceNumbers();
    m_targetLine->clear();
    if (target > 0)
        m_targetLine->append(QList<QPointF>{QPointF(-0.5, target), QPointF(kChartDays - 0.5, target)});
    m_targetLine->setVisible(target > 0);
}

void WritingStatsWindow::showBooks()
{
    const QVector<WritingStats::BookTotal> totals = m_history.bookTotals();
    m_tableBooks->setRowCount(totals.size() + 1);
    int row = 0;
    for (const WritingStats::BookTotal &t : totals) {
        m_tableBooks->setItem(row, 0, new QTableWidgetItem(t.title.isEmpty() ? QStringLiteral("（已删除的书）") : t.title));
        m_tableBooks->setItem(row, 1, numberItem(t.growth));
        m_tableBooks->setItem(row, 2, numberItem(t.days));
        ++row;
    }
    int days = 0;
    for (int g : m_history.growthPerDay(m_history.firstDay(), m_history.lastDay()))
        days += g != 0 ? 1 : 0;
    auto *all = new QTableWidgetItem(QStringLiteral("全部"));
    QFont bold = all->font();
    bold.setBold(true);
    all->setFont(bold);
    m_tableBooks->setItem(row, 0, all);
    m_tableBooks->setItem(row, 1, numberItem(m_history.total()));
    m_tableBooks->setItem(row, 2, numberItem(days));
    m_tableBooks->item(row, 1)->setFont(bold);
    m_tableBooks->item(row, 2)->setFont(bold);
}

void WritingStatsWindow::selectDay(const QDate &day)
{
    m_selected = day;
    const QVector<WritingStats::ChapterGrowth> rows = m_history.chaptersOn(day);
    m_labelDay->setText(QStringLiteral("%1 的章节（共 %2 字）").arg(dayText(day), formatCount(m_history.growthOn(day))));
    m_tableDay->setRowCount(rows.size());
    for (int r = 0; r < rows.size(); ++r) {
        const WritingStats::ChapterGrowth &c = rows.at(r);
        QString title = c.title.isEmpty() ? QStringLiteral("（已删除的章节）") : c.title;
        if (c.deleted && !c.title.isEmpty())
            title += QStringLiteral("（已删除）");
        m_tableDay->setItem(r, 0, new QTableWidgetItem(title));
        m_tableDay->setItem(r, 1, new QTableWidgetItem(c.bookTitle));
        m_tableDay->setItem(r, 2, numberItem(c.growth));
        m_tableDay->setItem(r, 3, numberItem(c.count));
    }
}
