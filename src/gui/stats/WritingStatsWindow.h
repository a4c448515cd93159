#pragma once

#include "book/WritingStats.h"

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

// "1,234": counts are read at a glance with group separators, in every locale.
QString formatCount(qint64 value);

// A year of days as a calendar grid, one column per week (Monday on top), darker for more words.
class HeatMapWidget final : public QWidget
{
    Q_OBJECT
public:
    explicit HeatMapWidget(QWidget *parent = nullptr);

    // Growth per day from first (a Monday) to last.
    void setDays(const QDate &first, const QDate &last, const QVector<int> &growth);
    QDate dayAt(const QPoint &pos) const;
    QRect cellRect(const QDate &day) const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void dayClicked(const QDate &day);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    int level(int growth) const;

    QDate m_first;
    QDate m_last;
    QVector<int> m_growth;
    QVector<int> m_levels; // growth at the top of levels 1..3 (level 4 above)
};

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
