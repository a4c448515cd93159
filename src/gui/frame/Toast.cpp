#include "frame/Toast.h"

#include <QApplication>
#include <QFont>
#include <QPointer>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QScreen>
#include <QTimer>

namespace {
int s_live = 0;
int s_serial = 0;
constexpr int kPadding = 14;
} // namespace

Toast::Toast(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus)
{
    setObjectName(QStringLiteral("Toast"));
    // The author keeps typing while a notice shows.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setFocusPolicy(Qt::NoFocus);
    resize(170, 30);
    setMinimumHeight(30);
    setMaximumHeight(30);
    if (QScreen *screen = QGuiApplication::primaryScreen())
        setMaximumWidth(screen->geometry().width());

    // The sheet names the Windows font; let it resolve to an installed CJK font.
    QFont::insertSubstitutions(QStringLiteral("microsoft yahei"),
                               {QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Micro Hei"),
                                QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC")});

    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("label"));
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setFocusPolicy(Qt::NoFocus);
    m_label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    // Dark text and links on the golden ground: white would fall far below a legible contrast.
    m_label->setStyleSheet(QStringLiteral("background-color: GoldenRod;\ncolor: #000000;\nfont-family: microsoft "
                                          "yahei;\nfont-size: 12px;\nborder-width: 1px;\nborder-style: "
                                          "solid;\nborder-color: black;\npadding-left: %1px;\npadding-right: %1px;")
                               .arg(kPadding));
    QPalette pal = m_label->palette();
    pal.setColor(QPalette::Link, QColor(0, 0, 139));
    m_label->setPalette(pal);
    connect(m_label, &QLabel::linkActivated, this, &Toast::labelLinkActivated);
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(0);
    grid->addWidget(m_label, 0, 0);

    ++s_live;
    m_serial = ++s_serial;
}

Toast::~Toast()
{
    if (--s_live == 0)
        s_serial = 0;
}

int Toast::liveCount() { return s_live; }
int Toast::currentSerial() { return s_serial; }

void Toast::setText(const QString &text)
{
    m_label->setText(text);
    const int w = qMin(qMax(170, m_label->sizeHint().width()), maximumWidth());
    resize(w, 30);
}

QString Toast::text() const { return m_label->text(); }

void Toast::labelLinkActivated(const QString &link) { emit linkActivated(link); }

QPoint Toast::placeIn(const QRect &area, const QSize &size, int placement, int serial)
{
    const int x = area.left() + (area.width() - size.width()) / 2;
    int y;
    if (placement == Qt::AlignTop)
        y = area.height() / 5;
    else if (placement == Qt::AlignCenter)
        y = (area.height() - size.height()) / 2;
    else
        y = area.height() * 8 / 10;
    y += area.top();
    y -= size.height() * ((qMax(1, serial) - 1) % kStackPlaces);
    return {x, y};
}

void Toast::showFor(int timeMs, int placement)
{
    m_placement = placement;
    QRect area;
    if (QWidget *p = parentWidget())
        area = QRect(p->mapToGlobal(QPoint(0, 0)), p->size());
    else if (QScreen *screen = QGuiApplication::primaryScreen())
        area = screen->geometry();
    move(placeIn(area, size(), placement, m_serial));

    setWindowOpacity(0.0);
    auto *fadeIn = new QPropertyAnimation(this, "windowOpacity", this);
    fadeIn->setDuration(kFadeMs);
    fadeIn->setStartValue(0.0);
    fadeIn->setEndValue(1.0);
    // Some platforms activate every new window whatever its hints say; give the
    // activation back so the author's typing keeps going where it was.
    m_previousActive = QApplication::activeWindow();
    show();
    m_fadeIn = fadeIn;
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);
    QTimer::singleShot(qMax(0, timeMs), this, &Toast::fadeOut);
}

void Toast::fadeOut()
{
    if (m_fadeIn)
        m_fadeIn->stop();
    auto *anim = new QPropertyAnimation(this, "windowOpacity", this);
    anim->setDuration(kFadeMs);
    anim->setStartValue(windowOpacity());
    anim->setEndValue(0.0);
    connect(anim, &QPropertyAnimation::finished, this, &QWidget::close);
    anim->start(QAbstractAnimation::DeleteWhenStopped);
}

Toast *Toast::showTip(const QString &text, QWidget *parent, int timeMs, int placement)
{
    auto *toast = new Toast(parent);
    toast->setText(text);
    toast->showFor(timeMs, placement);
    return toast;
}

bool Toast::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate && m_previousActive && m_previousActive != this)
        m_previousActive->activateWindow();
    return QWidget::event(event);
}

void Toast::paintEvent(QPaintEvent *)
{
    // Only the label paints; the window itself stays fully transparent.
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
}
