#include "frame/TitleBar.h"

#include "frame/WindowDragger.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QStyle>

TitleBar::TitleBar(QWidget *parent) : QWidget(parent)
{
    setFixedHeight(30);
    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("titleLabel"));
    m_minimize = new QPushButton(this);
    m_maximize = new QPushButton(this);
    m_close = new QPushButton(this);
    m_minimize->setObjectName(QStringLiteral("minimizeButton"));
    m_maximize->setObjectName(QStringLiteral("maximizeButton"));
    m_close->setObjectName(QStringLiteral("closeButton"));
    m_minimize->setToolTip(QStringLiteral("Minimize"));
    m_maximize->setToolTip(QStringLiteral("Maximize"));
    m_close->setToolTip(QStringLiteral("Close"));
    m_maximize->setProperty("maximizeProperty", QStringLiteral("maximize"));
    m_minimize->setIcon(QIcon(QStringLiteral(":/images/icon_window_minimize.png")));
    m_maximize->setIcon(QIcon(QStringLiteral(":/images/icon_window_maximize.png")));
    m_close->setIcon(QIcon(QStringLiteral(":/images/icon_window_close.png")));
    for (QPushButton *b : {m_minimize, m_maximize, m_close}) {
        b->setFlat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setFixedSize(27, 22);
        connect(b, &QPushButton::clicked, this, &TitleBar::onClicked);
    }
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(5, 0, 5, 0);
    layout->setSpacing(0);
    layout->addWidget(m_title, 1);
    layout->addWidget(m_minimize);
    layout->addWidget(m_maximize);
    layout->addWidget(m_close);
    if (parent)
        window()->installEventFilter(this);
}

void TitleBar::setTitle(const QString &text) { m_title->setText(text); }

void TitleBar::onClicked()
{
    QWidget *top = window();
    QObject *button = sender();
    if (button == m_minimize) {
        top->showMinimized();
    } else if (button == m_maximize) {
        if (top->isMaximized())
            top->showNormal();
        else
            top->showMaximized();
    } else if (button == m_close) {
        top->close();
    }
}

void TitleBar::updateMaximize()
{
    const bool maximized = window()->isMaximized();
    m_maximize->setProperty("maximizeProperty", maximized ? QStringLiteral("restore") : QStringLiteral("maximize"));
    m_maximize->setToolTip(maximized ? QStringLiteral("Restore") : QStringLiteral("Maximize"));
    m_maximize->setIcon(QIcon(maximized ? QStringLiteral(":/images/icon_window_restore.png")
                                        : QStringLiteral(":/images/icon_window_maximize.png")));
    m_maximize->style()->unpolish(m_maximize);
    m_maximize->style()->polish(m_maximize);
}

bool TitleBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window()) {
        if (event->type() == QEvent::WindowStateChange || event->type() == QEvent::Resize)
            updateMaximize();
        else if (event->type() == QEvent::WindowTitleChange)
            setTitle(window()->windowTitle());
    }
    return QWidget::eventFilter(watched, event);
}

void TitleBar::mousePressEvent(QMouseEvent *event)
{
    m_manualMove = false;
    if (event->button() == Qt::LeftButton && window()->isWindow() && !window()->isMaximized()) {
        // Let the window manager move the window; without that support move it by hand.
        if (!startSystemMoveOf(this)) {
            m_manualMove = true;
            m_pressGlobal = event->globalPos();
            m_windowStart = window()->pos();
            event->accept();
            return;
        }
    }
    event->ignore();
}

void TitleBar::mouseMoveEvent(QMouseEvent *event)
{
    if (m_manualMove && (event->buttons() & Qt::LeftButton))
        window()->move(m_windowStart + event->globalPos() - m_pressGlobal);
    QWidget::mouseMoveEvent(event);
}

void TitleBar::mouseReleaseEvent(QMouseEvent *event)
{
    m_manualMove = false;
    QWidget::mouseReleaseEvent(event);
}

void TitleBar::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        m_maximize->click();
    QWidget::mouseDoubleClickEvent(event);
}
