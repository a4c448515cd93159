// Window states (normal, maximised, full screen, hidden tooltip) and the look each one gets.
#include "frame/FramelessWindow.h"

#include "frame/FramelessHelper.h"
#include "ui_FramelessWindow.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QStyle>

#include <cmath>

Q_LOGGING_CATEGORY(lcFrame, "inkboat.frame", QtInfoMsg)

namespace {

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

} // namespace

int FramelessWindow::shadowMargin() const { return m_roundLook ? kShadowMargin : 0; }
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
