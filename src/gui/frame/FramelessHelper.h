#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>

class QRubberBand;
class QWidget;

// Edge-resizing logic for a frameless window: which edges the cursor is within
// `borderWidth()` pixels of, the matching cursor, and the geometry a drag from
// those edges gives. Subclasses decide where the events come from and where the
// new geometry goes.
class AbsFrameLessAutoSize : public QObject
{
    Q_OBJECT
public:
    explicit AbsFrameLessAutoSize(QWidget *target, QObject *parent = nullptr);
    ~AbsFrameLessAutoSize() override;

    static constexpr int kBorderWidth = 5;
    int borderWidth() const { return kBorderWidth; }

    QWidget *target() const { return m_target; }
    void setEnabled(bool on);
    // False while the window is maximized or full-screen: nothing is offered there.
    bool isActive() const;

    // Edges within the border of the target's frame geometry; empty outside the window.
    Qt::Edges edgesAt(const QPoint &globalPos) const;
    static Qt::CursorShape cursorFor(Qt::Edges edges);
    // The geometry after dragging `edges` of `start` by `delta`, never below `minimum`
    // and never above `maximum`; the opposite edges stay put.
    static QRect resizedGeometry(Qt::Edges edges, const QRect &start, const QPoint &delta, const QSize &minimum,
                                 const QSize &maximum);

    bool isResizing() const { return m_pressedEdges != Qt::Edges(); }

protected:
    // Mouse handling in global coordinates; each returns true when it used the event.
    bool handleHover(QWidget *under, const QPoint &globalPos);
    bool handlePress(const QPoint &globalPos);
    bool handleMove(const QPoint &globalPos);
    bool handleRelease(const QPoint &globalPos);

    virtual void showGeometry(const QRect &geometry) = 0; // while the button is held
    virtual void applyGeometry(const QRect &geometry) = 0; // on release

    QPointer<QWidget> m_target;

private:
    bool m_enabled = true;
    Qt::Edges m_pressedEdges;
    QPoint m_pressGlobal;
    QRect m_startGeometry;
    QRect m_lastGeometry;
};

// Installs edge resizing on a frameless widget: thin invisible grips along its
// edges take the mouse, the window manager resizes where it can
// (startSystemResize), otherwise the window (or a rubber band) follows the mouse.
class FramelessHelper final : public AbsFrameLessAutoSize
{
    Q_OBJECT
public:
    explicit FramelessHelper(QWidget *target);
    ~FramelessHelper() override;

    void setRubberBandOnResize(bool on) { m_useRubberBand = on; }
    bool rubberBandOnResize() const { return m_useRubberBand; }
    // Places the grips along the current edges and above every other child.
    void updateGrips();
    QList<QWidget *> grips() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showGeometry(const QRect &geometry) override;
    void applyGeometry(const QRect &geometry) override;

private:
    QWidget *m_grips[4] = {nullptr, nullptr, nullptr, nullptr};
    QRubberBand *m_rubberBand = nullptr;
    bool m_useRubberBand = false;
};
