#include "frame/FramelessHelper.h"

#include <QEvent>
#include <QMouseEvent>
#include <QRubberBand>
#include <QWidget>
#include <QWindow>

AbsFrameLessAutoSize::AbsFrameLessAutoSize(QWidget *target, QObject *parent)
    : QObject(parent ? parent : target), m_target(target)
{
}

AbsFrameLessAutoSize::~AbsFrameLessAutoSize() = default;

void AbsFrameLessAutoSize::setEnabled(bool on)
{
    m_enabled = on;
    if (!on)
        m_pressedEdges = Qt::Edges();
}

bool AbsFrameLessAutoSize::isActive() const
{
    return m_enabled && m_target && !m_target->isMaximized() && !m_target->isFullScreen();
}

Qt::Edges AbsFrameLessAutoSize::edgesAt(const QPoint &globalPos) const
{
    Qt::Edges edges;
    if (!m_target)
        return edges;
    const QRect r = m_target->frameGeometry();
    if (!r.contains(globalPos))
        return edges;
    const int b = kBorderWidth;
    if (globalPos.x() < r.left() + b)
        edges |= Qt::LeftEdge;
    else if (globalPos.x() > r.right() - b)
        edges |= Qt::RightEdge;
    if (globalPos.y() < r.top() + b)
        edges |= Qt::TopEdge;
    else if (globalPos.y() > r.bottom() - b)
        edges |= Qt::BottomEdge;
    return edges;
}

Qt::CursorShape AbsFrameLessAutoSize::cursorFor(Qt::Edges edges)
{
    const bool l = edges & Qt::LeftEdge, r = edges & Qt::RightEdge;
    const bool t = edges & Qt::TopEdge, b = edges & Qt::BottomEdge;
    if ((l && t) || (r && b))
        return Qt::SizeFDiagCursor;
    if ((r && t) || (l && b))
        return Qt::SizeBDiagCursor;
    if (l || r)
        return Qt::SizeHorCursor;
    if (t || b)
        return Qt::SizeVerCursor;
    return Qt::ArrowCursor;
}

QRect AbsFrameLessAutoSize::resizedGeometry(Qt::Edges edges, const QRect &start, const QPoint &delta,
                                            const QSize &minimum, const QSize &maximum)
{
    QRect g = start;
    const int minW = qMax(1, minimum.width()), minH = qMax(1, minimum.height());
    const int maxW = qMax(minW, maximum.width()), maxH = qMax(minH, maximum.height());
    if (edges & Qt::LeftEdge) {
        const int w = qBound(minW, start.width() - delta.x(), maxW);
        g.setLeft(start.right() - w + 1);
    } else if (edges & Qt::RightEdge) {
        g.setWidth(qBound(minW, start.width() + delta.x(), maxW));
    }
    if (edges & Qt::TopEdge) {
        const int h = qBound(minH, start.height() - delta.y(), maxH);
        g.setTop(start.bottom() - h + 1);
    } else if (edges & Qt::BottomEdge) {
        g.setHeight(qBound(minH, start.height() + delta.y(), maxH));
    }
    return g;
}

bool AbsFrameLessAutoSize::handleHover(QWidget *under, const QPoint &globalPos)
{
    if (!under || isResizing())
        return false;
    const Qt::Edges edges = isActive() ? edgesAt(globalPos) : Qt::Edges();
    if (edges)
        under->setCursor(cursorFor(edges));
    else
        under->unsetCursor();
    return edges != Qt::Edges();
}

bool AbsFrameLessAutoSize::handlePress(const QPoint &globalPos)
{
    if (!isActive())
        return false;
    const Qt::Edges edges = edgesAt(globalPos);
    if (!edges)
        return false;
    // The window manager resizes where it can; this also works on Wayland.
    if (QWindow *handle = m_target->windowHandle()) {
        if (handle->startSystemResize(edges))
            return true;
    }
    m_pressedEdges = edges;
    m_pressGlobal = globalPos;
    m_startGeometry = m_target->geometry();
    m_lastGeometry = m_startGeometry;
    return true;
}

bool AbsFrameLessAutoSize::handleMove(const QPoint &globalPos)
{
    if (!isResizing() || !m_target)
        return false;
    const QSize minimum = m_target->minimumSize().expandedTo(m_target->minimumSizeHint());
    m_lastGeometry =
        resizedGeometry(m_pressedEdges, m_startGeometry, globalPos - m_pressGlobal, minimum, m_target->maximumSize());
    showGeometry(m_lastGeometry);
    return true;
}

bool AbsFrameLessAutoSize::handleRelease(const QPoint &globalPos)
{
    if (!isResizing())
        return false;
    handleMove(globalPos);
    m_pressedEdges = Qt::Edges();
    applyGeometry(m_lastGeometry);
    return true;
}

FramelessHelper::FramelessHelper(QWidget *target) : AbsFrameLessAutoSize(target)
{
    for (QWidget *&grip : m_grips) {
        grip = new QWidget(target);
        grip->setObjectName(QStringLiteral("resizeGrip"));
        grip->setMouseTracking(true);
        grip->setAttribute(Qt::WA_NoSystemBackground);
        grip->installEventFilter(this);
    }
    target->installEventFilter(this);
    updateGrips();
}

FramelessHelper::~FramelessHelper() { delete m_rubberBand; }

QList<QWidget *> FramelessHelper::grips() const { return {m_grips[0], m_grips[1], m_grips[2], m_grips[3]}; }

void FramelessHelper::updateGrips()
{
    if (!m_target)
        return;
    const int b = kBorderWidth;
    const int w = m_target->width(), h = m_target->height();
    m_grips[0]->setGeometry(0, 0, w, b);
    m_grips[1]->setGeometry(0, h - b, w, b);
    m_grips[2]->setGeometry(0, b, b, h - 2 * b);
    m_grips[3]->setGeometry(w - b, b, b, h - 2 * b);
    const bool on = isActive();
    for (QWidget *grip : m_grips) {
        grip->setVisible(on);
        grip->raise();
    }
}

bool FramelessHelper::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_target) {
        switch (event->type()) {
        case QEvent::Resize:
        case QEvent::WindowStateChange:
        case QEvent::Show:
            updateGrips();
            break;
        default:
            break;
        }
        return false;
    }
    auto *grip = qobject_cast<QWidget *>(watched);
    switch (event->type()) {
    case QEvent::MouseMove: {
        auto *e = static_cast<QMouseEvent *>(event);
        if (e->buttons() & Qt::LeftButton)
            return handleMove(e->globalPos());
        handleHover(grip, e->globalPos());
        return true;
    }
    case QEvent::MouseButtonPress: {
        auto *e = static_cast<QMouseEvent *>(event);
        return e->button() == Qt::LeftButton && handlePress(e->globalPos());
    }
    case QEvent::MouseButtonRelease: {
        auto *e = static_cast<QMouseEvent *>(event);
        return e->button() == Qt::LeftButton && handleRelease(e->globalPos());
    }
    case QEvent::Leave:
        if (grip && !isResizing())
            grip->unsetCursor();
        break;
    default:
        break;
    }
    return false;
}

void FramelessHelper::showGeometry(const QRect &geometry)
{
    if (!m_useRubberBand) {
        m_target->setGeometry(geometry);
        return;
    }
    if (!m_rubberBand)
        m_rubberBand = new QRubberBand(QRubberBand::Rectangle);
    m_rubberBand->setGeometry(geometry);
    m_rubberBand->show();
}

void FramelessHelper::applyGeometry(const QRect &geometry)
{
    if (m_rubberBand)
        m_rubberBand->hide();
    if (m_target)
        m_target->setGeometry(geometry);
}
