#pragma once

#include "book/WritingStats.h"
#include "stats/HeatMapWidget.h"
#include "stats/StatsLook.h"

#include <QDate>
#include <QVector>
#include <QWidget>

class QLabel;
class QStackedWidget;
class QTableWidget;

namespace QtCharts {
class QBarCategoryAxis;
class QBarSet;
class QChart;
class QChartView;
class QLineSeries;
class QStackedBarSeries;
class QValueAxis;
} // namespace QtCharts

// "写作统计": the last 30 days as bars, a year as a heat map, streaks, totals per book and the
// chapters of a chosen day.
class WritingStatsWindow final : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kChartDays = 30;

    explicit WritingStatsWindow(QWidget *parent = nullptr);
    ~WritingStatsWindow() override;

    // Reads the history again and shows it as of today.
    void reload();
    void showHistory(const WritingStats::History &history, const QDate &today, int target);
    void selectDay(const QDate &day);
    QDate selectedDay() const { return m_selected; }

    QtCharts::QChart *chart() const { return m_chart; }

protected:
    void changeEvent(QEvent *event) override;

private:
    QWidget *buildChart();
    void applyChartColors();
    void showChart(const QDate &today, int target);
    void showBooks();

    WritingStats::History m_history;
    QDate m_today;
    QDate m_selected;
    int m_target = 0;
    QStackedWidget *m_stack;
    QLabel *m_labelSummary;
    QLabel *m_labelStreaks;
    QLabel *m_labelDay;
    QtCharts::QChartView *m_chartView = nullptr;
    QtCharts::QChart *m_chart = nullptr;
    QtCharts::QStackedBarSeries *m_bars = nullptr;
    QtCharts::QBarSet *m_gain = nullptr;
    QtCharts::QBarSet *m_loss = nullptr;
    QtCharts::QLineSeries *m_targetLine = nullptr;
    QtCharts::QBarCategoryAxis *m_axisX = nullptr;
    QtCharts::QValueAxis *m_axisY = nullptr;
    HeatMapWidget *m_heatMap;
    QTableWidget *m_tableBooks;
    QTableWidget *m_tableDay;
};
