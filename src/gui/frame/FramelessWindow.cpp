#include "frame/FramelessWindow.h"

#include "app/App.h"
#include "frame/FramelessHelper.h"
#include "frame/MouseButtonSignaler.h"
#include "ui_FramelessWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include <cmath>
#include <vector>

#ifdef INKBOAT_HAVE_XCB
#include <xcb/xcb.h>
#endif

Q_LOGGING_CATEGORY(lcFrame, "inkboat.frame", QtInfoMsg)

namespace {

int s_translucencyOverride = -1;
int s_modalCount = 0;
constexpr int kCornerRadius = 5;
constexpr int kShadowBlur = 9;

// Title bar and its buttons; the look of each state is chosen through the
// dynamic properties, so the sheet is set once and only the properties change.
const char kTitlebarSheet[] = R"(
#windowTitlebar{border:0px none palette(shadow); border-top-left-radius:5px; border-top-right-radius:5px; background-color:palette(shadow); min-height:20px;}
#windowTitlebar[frameActive="false"]{background-color:palette(dark);}
#windowTitlebar[frameRound="false"]{border-top-left-radius:0px; border-top-right-radius:0px;}
#titleText{color:rgb(153,153,153); padding-left:5px; background:transparent;}
#titleText[titleContrast="light"]{color:#ffffff;}
#titleText[titleContrast="dark"]{color:#000000;}
#icon{background:transparent;}
QToolButton{border:none; padding:4px; background-color:transparent; min-width:16px; min-height:16px;}
QToolButton:hover{background-color:palette(alternate-base);}
#minimizeButton{image:url(:/images/icon_window_minimize.png);}
#restoreButton{image:url(:/images/icon_window_restore.png);}
#maximizeButton{image:url(:/images/icon_window_maximize.png);}
#closeButton{image:url(:/images/icon_window_close.png);}
)";

#ifdef INKBOAT_HAVE_XCB
bool x11CompositorRunning()
{
    int screen = 0;
    xcb_connection_t *conn = xcb_connect(nullptr, &screen);
    if (!conn || xcb_connection_has_error(conn)) {
        if (conn)
            xcb_disconnect(conn);
        return false;
    }
    // A compositing manager owns the selection _NET_WM_CM_S<screen>.
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
    bool running = false;
    xcb_intern_atom_reply_t *atom =
        xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 1, uint16_t(name.size()), name.constData()), nullptr);
    if (atom && atom->atom != XCB_ATOM_NONE) {
        xcb_get_selection_owner_reply_t *owner =
            xcb_get_selection_owner_reply(conn, xcb_get_selection_owner(conn, atom->atom), nullptr);
        running = owner && owner->owner != XCB_NONE;
        free(owner);
    }
    free(atom);
    xcb_disconnect(conn);
    return running;
}
#endif

double luminance(const QColor &c)
{
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

// The title text keeps its grey where that reads well (dark bars); on the mid-grey
// bars of light palettes it switches to white or black, whichever reads better.
QString titleContrastFor(const QColor &bar)
{
    const QColor grey(153, 153, 153);
    if (contrast(grey, bar) >= 3.0)
        return QStringLiteral("normal");
    return contrast(Qt::white, bar) >= contrast(Qt::black, bar) ? QStringLiteral("light") : QStringLiteral("dark");
}

bool detectTranslucency()
{
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(QLatin1String("wayland")) || platform == QLatin1String("offscreen"))
        return true;
#ifdef INKBOAT_HAVE_XCB
    if (platform == QLatin1String("xcb"))
        return x11CompositorRunning();
#endif
    return false;
}

// Three box-blur passes over the alpha channel approximate a Gaussian blur.
void blurAlpha(QImage &image, int radius)
{
    const int w = image.width(), h = image.height();
    std::vector<int> a(size_t(w) * h), tmp(size_t(w) * h);
    for (int y = 0; y < h; ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            a[size_t(y) * w + x] = qAlpha(line[x]);
    }
    const int r = qMax(1, radius / 3);
    auto pass = [&](std::vector<int> &src, std::vector<int> &dst, bool horizontal) {
        const int n = horizontal ? w : h, lines = horizontal ? h : w;
        for (int l = 0; l < lines; ++l) {
            auto at = [&](int i) -> int & {
                return horizontal ? src[size_t(l) * w + i] : src[size_t(i) * w + l];
            };
            int sum = 0;
            for (int i = -r; i <= r; ++i)
                sum += (i >= 0 && i < n) ? at(i) : 0;
            for (int i = 0; i < n; ++i) {
                (horizontal ? dst[size_t(l) * w + i] : dst[size_t(i) * w + l]) = sum / (2 * r + 1);
                const int out = i - r, in = i + r + 1;
                sum -= (out >= 0) ? at(out) : 0;
                sum += (in < n) ? at(in) : 0;
            }
        }
    };
    for (int k = 0; k < 3; ++k) {
        pass(a, tmp, true);
        pass(tmp, a, false);
    }
    for (int y = 0; y < h; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const QRgb c = line[x];
            const int alpha = a[size_t(y) * w + x];
            // The source colour is premultiplied with its own alpha; rescale to the blurred one.
            const int oa = qMax(1, qAlpha(c));
            line[x] = qRgba(qRed(c) * alpha / oa, qGreen(c) * alpha / oa, qBlue(c) * alpha / oa, alpha);
        }
    }
}

} // namespace

FramelessWindow::FramelessWindow(QWidget *parent, Qt::WindowFlags extraFlags)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | extraFlags),
      ui(new Ui::FramelessWindow)
{
    m_translucent = translucencyAvailable();
    // Without a compositor a translucent margin shows as a black border on X11.
    if (m_translucent)
        setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    ui->setupUi(this);
    m_formReady = true;
    ui->windowTitlebar->setStyleSheet(QString::fromLatin1(kTitlebarSheet));
    ui->minimizeButton->setToolTip(QStringLiteral("最小化"));
    ui->restoreButton->setToolTip(QStringLiteral("还原"));
    ui->maximizeButton->setToolTip(QStringLiteral("最大化"));
    ui->closeButton->setToolTip(QStringLiteral("关闭"));

    m_iconSignaler = new MouseButtonSignaler(this);
    m_iconSignaler->installOn(ui->icon);
    connect(m_iconSignaler, &MouseButtonSignaler::mouseButtonEvent, this, &FramelessWindow::iconMouseEvent);

    // The label's width is only known after the layout ran; elide again whenever it changes.
    ui->titleText->installEventFilter(this);
    setWindowIcon(QIcon());

    m_helper = new FramelessHelper(this);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, &FramelessWindow::on_applicationStateChanged);
    m_activeLook = !(QGuiApplication::applicationState() == Qt::ApplicationActive); // forces the first apply
    applyLook();
}

FramelessWindow::~FramelessWindow()
{
    // The content may still be a child; it must not call back into a half-destroyed frame.
    if (m_content) {
        m_content->removeEventFilter(this);
        disconnect(m_content, nullptr, this, nullptr);
    }
    delete ui;
}

FramelessWindow *FramelessWindow::frameOf(const QWidget *widget)
{
    const QWidget *w = widget;
    while (w && !w->isWindow())
        w = w->parentWidget();
    return qobject_cast<FramelessWindow *>(const_cast<QWidget *>(w));
}

bool FramelessWindow::translucencyAvailable()
{
    if (s_translucencyOverride >= 0)
        return s_translucencyOverride != 0;
    static const bool detected = detectTranslucency();
    return detected;
}

void FramelessWindow::setTranslucencyOverride(int value) { s_translucencyOverride = value; }

int FramelessWindow::modalCount() { return s_modalCount; }

int FramelessWindow::shadowMargin() const { return m_roundLook ? kShadowMargin : 0; }

void FramelessWindow::setContent(QWidget *widget)
{
    if (!widget || widget == m_content)
        return;
    if (m_content)
        takeContent();
    QSize size = widget->testAttribute(Qt::WA_Resized) ? widget->size() : widget->sizeHint();
    size = size.expandedTo(widget->minimumSizeHint()).expandedTo(widget->minimumSize());

    m_content = widget;
    m_contentParent = widget->parentWidget();
    m_contentFlags = widget->windowFlags();
    // Moving into another window clears the focus the content chose for itself (the password
    // field of a dialog that knows the user name): give it back once the content is inside.
    QWidget *chosenFocus = widget->focusWidget();
    widget->setParent(ui->windowContent);
    ui->verticalLayoutContent->addWidget(widget);
    widget->installEventFilter(this);
    connect(widget, &QObject::destroyed, this, [this]() {
        if (isVisible())
            close();
    });

    setWindowTitle(widget->windowTitle());
    setWindowIcon(widget->windowIcon());
    setObjectName(widget->objectName());
    widget->show();
    if (chosenFocus && chosenFocus != widget && widget->isAncestorOf(chosenFocus))
        chosenFocus->setFocus();

    // Size the frame around the widget's own size.
    const QSize oldMinimum = widget->minimumSize();
    widget->setMinimumSize(size);
    layout()->activate();
    resize(layout()->minimumSize());
    widget->setMinimumSize(oldMinimum);
    m_helper->updateGrips();
}

QWidget *FramelessWindow::takeContent()
{
    QWidget *widget = m_content;
    if (!widget)
        return nullptr;
    widget->removeEventFilter(this);
    disconnect(widget, nullptr, this, nullptr);
    disconnect(this, nullptr, widget, nullptr);
    ui->verticalLayoutContent->removeWidget(widget);
    widget->hide();
    widget->setParent(m_contentParent, m_contentFlags);
    m_content = nullptr;
    m_contentParent = nullptr;
    return widget;
}

void FramelessWindow::setResizable(bool on)
{
    m_resizable = on;
    m_helper->setEnabled(on);
    updateButtons();
    m_helper->updateGrips();
}

void FramelessWindow::setWindowTitle(const QString &title)
{
    QWidget::setWindowTitle(title);
    m_title = title;
    updateTitleText();
}

void FramelessWindow::setWindowIcon(const QIcon &icon)
{
    // A window without an icon of its own shows the program's.
    const QIcon shown = icon.isNull() ? QIcon(QStringLiteral(":/res/icons/Writer128.png")) : icon;
    QWidget::setWindowIcon(shown);
    ui->icon->setPixmap(shown.pixmap(QSize(16, 16)));
}

void FramelessWindow::updateTitleText()
{
    // Elide instead of clipping: the label's width follows the frame.
    // Before the frame is shown the label has no real width yet; its resize on show elides.
    const int room = ui->titleText->isVisible() ? ui->titleText->width() - 8 : 0;
    const QString shown =
        room > 0 ? ui->titleText->fontMetrics().elidedText(m_title, Qt::ElideRight, room) : m_title;
    ui->titleText->setText(shown);
    ui->titleText->setToolTip(shown == m_title ? QString() : m_title);
}

void FramelessWindow::changeToolTip(Qt::ApplicationState state)
{
    // A tooltip-style frame stays on top of everything: hide it while another
    // application is in front, bring it back when the program is active again.
    if (state == Qt::ApplicationActive) {
        if (m_hiddenForToolTip) {
            m_hiddenForToolTip = false;
            show();
        }
    } else if (isVisible()) {
        m_hiddenForToolTip = true;
        hide();
    }
}

void FramelessWindow::setWindowMaximize()
{
    ui->verticalLayoutOuter->setContentsMargins(0, 0, 0, 0);
    ui->maximizeButton->setVisible(false);
    ui->restoreButton->setVisible(m_resizable);
    setWindowState((windowState() & ~(Qt::WindowMinimized | Qt::WindowFullScreen)) | Qt::WindowMaximized);
    applyLook();
}

void FramelessWindow::setWindowNoState()
{
    setWindowState(Qt::WindowNoState);
    applyLook();
}

void FramelessWindow::setWindowFullScreen()
{
    ui->verticalLayoutOuter->setContentsMargins(0, 0, 0, 0);
    ui->maximizeButton->setVisible(false);
    ui->restoreButton->setVisible(m_resizable);
    setWindowState((windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized)) | Qt::WindowFullScreen);
    applyLook();
}

void FramelessWindow::on_applicationStateChanged(Qt::ApplicationState state)
{
    applyLook(state == Qt::ApplicationActive);
}

void FramelessWindow::on_minimizeButton_clicked() { setWindowState(windowState() | Qt::WindowMinimized); }

void FramelessWindow::on_restoreButton_clicked() { setWindowNoState(); }

void FramelessWindow::on_maximizeButton_clicked() { setWindowMaximize(); }

void FramelessWindow::on_closeButton_clicked() { close(); }

void FramelessWindow::on_windowTitlebar_doubleClicked()
{
    if (!m_resizable)
        return;
    if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))
        setWindowNoState();
    else
        setWindowMaximize();
}

void FramelessWindow::iconMouseEvent(QWidget *, QMouseEvent *event)
{
    if (event->type() == QEvent::MouseButtonDblClick) {
        emit windowIconDblClick();
    } else if (event->type() == QEvent::MouseButtonPress) {
        if (event->button() == Qt::LeftButton)
            emit windowIconLeftClicked();
        else if (event->button() == Qt::RightButton)
            emit windowIconRightClicked();
    }
}

void FramelessWindow::updateButtons()
{
    const bool full = windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen);
    ui->maximizeButton->setVisible(m_resizable && !full);
    ui->restoreButton->setVisible(m_resizable && full);
    const bool toolLike = (windowFlags() & Qt::WindowType_Mask) == Qt::Tool ||
                          (windowFlags() & Qt::WindowType_Mask) == Qt::ToolTip;
    ui->minimizeButton->setVisible(!toolLike && !isModal());
}

void FramelessWindow::applyLook() { applyLook(QGuiApplication::applicationState() == Qt::ApplicationActive); }

void FramelessWindow::applyLook(bool active)
{
    const bool normal = !(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen));
    const bool round = m_translucent && normal;
    const int margin = round ? kShadowMargin : 0;
    ui->verticalLayoutOuter->setContentsMargins(margin, margin, margin, margin);
    updateButtons();
    const QString titleContrast =
        titleContrastFor(palette().color(active ? QPalette::Shadow : QPalette::Dark));
    if (active != m_activeLook || round != m_roundLook || titleContrast != m_titleContrast) {
        m_activeLook = active;
        m_roundLook = round;
        m_titleContrast = titleContrast;
        QWidget *bar = ui->windowTitlebar;
        bar->setProperty("frameActive", active);
        bar->setProperty("frameRound", round);
        ui->titleText->setProperty("titleContrast", titleContrast);
        // Re-polishing only these two re-evaluates their property selectors; nothing else is touched.
        for (QWidget *w : {bar, static_cast<QWidget *>(ui->titleText)}) {
            w->style()->unpolish(w);
            w->style()->polish(w);
        }
        bar->update();
        update();
    }
    m_helper->updateGrips();
    qCDebug(lcFrame) << "frame" << objectName() << "state" << windowState() << "application"
                     << QGuiApplication::applicationState();
}

void FramelessWindow::changeEvent(QEvent *event)
{
    if (!m_formReady) { // setupUi sets the title before the labels exist
        QWidget::changeEvent(event);
        return;
    }
    switch (event->type()) {
    case QEvent::WindowStateChange:
        applyLook();
        break;
    case QEvent::PaletteChange:
        m_shadowCache = QPixmap();
        applyLook();
        update();
        break;
    case QEvent::FontChange:
        updateTitleText();
        break;
    case QEvent::WindowTitleChange:
        // Also reached through QWidget::setWindowTitle on a plain QWidget pointer.
        m_title = windowTitle();
        updateTitleText();
        break;
    case QEvent::WindowIconChange:
        ui->icon->setPixmap(windowIcon().pixmap(QSize(16, 16)));
        break;
    default:
        break;
    }
    QWidget::changeEvent(event);
}

void FramelessWindow::closeEvent(QCloseEvent *event)
{
    // The content decides first (it may ask the user and refuse).
    static const QMetaMethod querySignal = QMetaMethod::fromSignal(&FramelessWindow::windowCloseQuery);
    if (m_content && !m_content->isHidden() && isSignalConnected(querySignal)) {
        emit windowCloseQuery();
        if (m_content && !m_content->isHidden()) {
            event->ignore();
            return;
        }
    }
    event->accept();
    if (!m_closeEmitted) {
        m_closeEmitted = true;
        emit windowClose();
    }
}

void FramelessWindow::showEvent(QShowEvent *event)
{
    m_closeEmitted = false;
    QWidget::showEvent(event);
    applyLook();
    emit windowShow();
}

void FramelessWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    updateTitleText();
}

bool FramelessWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->titleText && event->type() == QEvent::Resize)
        updateTitleText();
    if (watched == m_content) {
        switch (event->type()) {
        case QEvent::Hide:
            // The content closed or hid itself (a dialog finished): the frame goes with it.
            if (m_content->isHidden() && isVisible())
                close();
            break;
        case QEvent::WindowTitleChange:
            setWindowTitle(m_content->windowTitle());
            break;
        case QEvent::WindowIconChange:
            setWindowIcon(m_content->windowIcon());
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FramelessWindow::drawShadow(QPainter &painter, const QRect &frameRect, const QColor &color)
{
    const int m = kShadowMargin;
    const int corner = m + kCornerRadius + 1; // tile size at each corner
    const int side = 2 * corner + 1;
    const qreal dpr = devicePixelRatioF();
    if (m_shadowCache.isNull() || m_shadowCacheColor != color || !qFuzzyCompare(m_shadowCacheDpr, dpr)) {
        QImage image(QSize(side, side) * dpr, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter p(&image);
            p.setRenderHint(QPainter::Antialiasing);
            p.scale(dpr, dpr);
            p.setPen(Qt::NoPen);
            p.setBrush(color);
            p.drawRoundedRect(QRectF(m, m, side - 2 * m, side - 2 * m), kCornerRadius, kCornerRadius);
        }
        blurAlpha(image, qRound(kShadowBlur * dpr));
        m_shadowCache = QPixmap::fromImage(image);
        m_shadowCacheColor = color;
        m_shadowCacheDpr = dpr;
    }
    // Nine-patch: corners as they are, edges stretched; the middle lies under the frame.
    const QRect outer = frameRect.adjusted(-m, -m, m, m);
    const qreal c = corner * dpr, s = side * dpr;
    const QRectF src[8] = {
        {0, 0, c, c},         {s - c, 0, c, c},     {0, s - c, c, c}, {s - c, s - c, c, c}, // corners
        {c, 0, s - 2 * c, c}, {c, s - c, s - 2 * c, c},                                     // top, bottom
        {0, c, c, s - 2 * c}, {s - c, c, c, s - 2 * c}};                                    // left, right
    const int w = outer.width(), h = outer.height();
    const QRectF dst[8] = {{qreal(outer.left()), qreal(outer.top()), qreal(corner), qreal(corner)},
                           {qreal(outer.right() + 1 - corner), qreal(outer.top()), qreal(corner), qreal(corner)},
                           {qreal(outer.left()), qreal(outer.bottom() + 1 - corner), qreal(corner), qreal(corner)},
                           {qreal(outer.right() + 1 - corner), qreal(outer.bottom() + 1 - corner), qreal(corner),
                            qreal(corner)},
                           {qreal(outer.left() + corner), qreal(outer.top()), qreal(w - 2 * corner), qreal(corner)},
                           {qreal(outer.left() + corner), qreal(outer.bottom() + 1 - corner),
                            qreal(w - 2 * corner), qreal(corner)},
                           {qreal(outer.left()), qreal(outer.top() + corner), qreal(corner), qreal(h - 2 * corner)},
                           {qreal(outer.right() + 1 - corner), qreal(outer.top() + corner), qreal(corner),
                            qreal(h - 2 * corner)}};
    for (int i = 0; i < 8; ++i) {
        if (dst[i].width() > 0 && dst[i].height() > 0)
            painter.drawPixmap(dst[i], m_shadowCache, src[i]);
    }
}

void FramelessWindow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect frameRect = ui->windowFrame->geometry();
    const QPalette &pal = palette();
    if (shadowMargin() > 0)
        drawShadow(painter, frameRect, m_activeLook ? pal.color(QPalette::Highlight) : pal.color(QPalette::Shadow));
    QColor border;
    if (m_roundLook)
        border = m_activeLook ? pal.color(QPalette::Highlight) : QColor(Qt::black);
    else
        border = m_activeLook ? pal.color(QPalette::Dark) : pal.color(QPalette::Shadow);
    painter.setPen(QPen(border, 1));
    painter.setBrush(pal.color(QPalette::Window));
    const QRectF r = QRectF(frameRect).adjusted(0.5, 0.5, -0.5, -0.5);
    if (m_roundLook) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.drawRoundedRect(r, kCornerRadius, kCornerRadius);
    } else {
        painter.drawRect(r);
    }
    if (!m_firstPaintSeen) {
        m_firstPaintSeen = true;
        // Work hooked to the first paint (loading the main window) runs after the paint, not inside it.
        QTimer::singleShot(0, this, &FramelessWindow::windowPaint);
    }
}

int FramelessWindow::showWidget(QWidget *widget, int options, QWidget *mainFrame)
{
    if (!widget)
        return -1;
    QWidget *parent = (options & Ink::foParentMain) ? mainFrame : nullptr;
    // A modal dialog opened from a modal dialog belongs over that dialog, not beside it over the
    // main window. (Non-modal frames stay with the main window: the dialog's frame goes soon.)
    if (parent && (options & Ink::foModal)) {
        if (QWidget *modal = QApplication::activeModalWidget())
            parent = modal;
    }
    if (parent == widget || (parent && widget->isAncestorOf(parent)))
        parent = nullptr;
    Qt::WindowFlags extra;
    if (options & Ink::foToolTip)
        extra = Qt::ToolTip;
    else if (options & Ink::foTool)
        extra = Qt::Tool;
    auto *frame = new FramelessWindow(parent, extra);
    connect(frame, &FramelessWindow::windowCloseQuery, widget, &QWidget::close);
    frame->setContent(widget);
    frame->setResizable(options & Ink::foResizable);
    if (options & Ink::foToolTip)
        connect(qApp, &QGuiApplication::applicationStateChanged, frame, &FramelessWindow::changeToolTip);

    // Centre over the main window when it is up, else over the screen.
    QRect area;
    QWidget *over = parent ? parent : mainFrame;
    if (over && over != widget && over->isVisible())
        area = over->frameGeometry();
    QScreen *screen = area.isValid() ? QGuiApplication::screenAt(area.center()) : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    if (!area.isValid())
        area = available;
    QRect g(QPoint(0, 0), frame->size());
    g.moveCenter(area.center());
    g.moveLeft(qBound(available.left(), g.left(), qMax(available.left(), available.right() - g.width() + 1)));
    g.moveTop(qBound(available.top(), g.top(), qMax(available.top(), available.bottom() - g.height() + 1)));
    frame->move(g.topLeft());

    auto *dialog = qobject_cast<QDialog *>(widget);
    if (!(options & Ink::foModal) || !dialog) {
        if (options & Ink::foModal)
            frame->setWindowModality(Qt::ApplicationModal);
        frame->show();
        frame->raise();
        frame->activateWindow();
        return 0;
    }

    // Modal dialog: the frame is deleted here and only here, after the dialog has been
    // taken back out of it, so the caller still owns (and may delete) the dialog.
    frame->setAttribute(Qt::WA_DeleteOnClose, false);
    frame->setWindowModality(Qt::ApplicationModal);
    QPointer<FramelessWindow> frameGuard(frame);
    QPointer<QDialog> dialogGuard(dialog);
    int result = -1;
    connect(dialog, &QDialog::finished, frame, [&result](int r) { result = r; });
    frame->show();
    frame->raise();
    frame->activateWindow();

    ++s_modalCount;
    QEventLoop loop;
    connect(frame, &FramelessWindow::windowClose, &loop, &QEventLoop::quit);
    connect(frame, &QObject::destroyed, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::DialogExec);
    --s_modalCount;

    if (dialogGuard)
        result = dialogGuard->result();
    if (frameGuard) {
        frameGuard->takeContent();
        delete frameGuard.data();
    }
    if (mainFrame && mainFrame->isVisible())
        mainFrame->activateWindow();
    return result;
}
