#include "settings/SettingsController.h"

#include "app/App.h"
#include "frame/Frames.h"
#include "storage/DataAccess.h"
#include "settings/AboutDialog.h"
#include "settings/GuideWindow.h"
#include "settings/NoviceGuidance.h"
#include "settings/SysParamDialog.h"

#include <QFileInfo>

SettingsController::SettingsController(QWidget *window, QObject *parent) : QObject(parent), m_window(window) {}

bool SettingsController::showOptions()
{
    SysParamDialog dialog(m_window);
    return Frames::showFramed(&dialog, Ink::foModal | Ink::foParentMain) == QDialog::Accepted;
}

void SettingsController::showGuide()
{
    if (m_guide) {
        m_guide->window()->raise();
        m_guide->window()->activateWindow();
        return;
    }
    // Under share/inkboat/, not share/doc/, which small installations leave out.
    const QString path = g_App.shippedPath(QStringLiteral("guide/guide.md"));
    if (!QFileInfo(path).isFile()) {
        g_App.showError(QStringLiteral("找不到使用指南，请重新安装砚舟写作。"));
        return;
    }
    m_guide = new GuideWindow(path);
    Frames::showFramed(m_guide, Ink::foParentMain | Ink::foResizable);
}

void SettingsController::showGuidance()
{
    if (!m_window)
        return;
    auto *guidance = new NoviceGuidance(m_window);
    guidance->addMainWindowSteps();
    guidance->run();
    delete guidance;
}

void SettingsController::firstShowGuidance()
{
    if (getSysParam(QStringLiteral("NoviceGuidance"), QStringLiteral("0")) != QLatin1String("0"))
        return;
    showGuidance();
    // Also when the author stopped early: the tour is offered once, the help menu has it again.
    setSysParam(QStringLiteral("NoviceGuidance"), QStringLiteral("1"));
}

void SettingsController::showAbout()
{
    AboutDialog dialog(m_window);
    Frames::showFramed(&dialog, Ink::foModal | Ink::foParentMain);
}
