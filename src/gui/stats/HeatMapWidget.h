#pragma once

#include <QDate>
#include <QVector>
#include <QWidget>

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
