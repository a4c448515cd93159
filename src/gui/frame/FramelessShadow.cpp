// The drop shadow and whether one can be shown: a translucent margin needs a compositor.
#include "frame/FramelessWindow.h"

#include "ui_FramelessWindow.h"

#include <QGuiApplication>
#include <QPainter>
#include <QTimer>

#include <vector>

#ifdef INKBOAT_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace {

int s_translucencyOverride = -1;
constexpr int kCornerRadius = 5;
constexpr int kShadowBlur = 9;

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

bool FramelessWindow::translucencyAvailable()
{
    if (s_translucencyOverride >= 0)
        return s_translucencyOverride != 0;
    static const bool detected = detectTranslucency();
    return detected;
}

void FramelessWindow::setTranslucencyOverride(int value) { s_translucencyOverride = value; }

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
