#pragma once

#include <QList>
#include <QMargins>
#include <QPair>
#include <QPointer>
#include <QWidget>

class QFrame;

// The first-use tour: a dark overlay over the main window that leaves one target at a time
// uncovered, outlines it in red and explains it in a bubble.
class NoviceGuidance : public QWidget
{
    Q_OBJECT
public:
    explicit NoviceGuidance(QWidget *window);

    void addStep(QWidget *target, const QString &text);
    // The main window's twelve steps, by the targets' object names.
    void addMainWindowSteps();
    // False when there are no steps.
    bool run();

    // Visible: shown, not empty and some part on screen (a collapsed splitter part is not).
    static bool isTargetVisible(const QWidget *target);
    // Border widths (top, right, bottom, left as QMargins) that leave target + 2 px uncovered.
    static QMargins borderWidths(const QRect &target, const QSize &overlay);
    static QString frameStyle(const QMargins &widths);

    // The main window's steps: target object names and texts, in order.
    static QList<QPair<QString, QString>> mainWindowSteps();

protected:
    // Follows the window's size and the current target's place while a step is shown.
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    // True when the author stopped the tour at this step.
    bool runStep(QWidget *target, const QString &text);
    void uncoverCurrent();

    QFrame *m_frame;
    QList<QPair<QPointer<QWidget>, QString>> m_steps;
    QPointer<QWidget> m_current;
    QPoint m_dragOffset;
};
