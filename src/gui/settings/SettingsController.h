#pragma once

#include <QObject>
#include <QPointer>

class GuideWindow;
class QWidget;

// The settings and help dialogs of the main window.
class SettingsController : public QObject
{
    Q_OBJECT
public:
    explicit SettingsController(QWidget *window, QObject *parent = nullptr);

    // "参数设置"; true when the author stored new parameters (the window applies them).
    bool showOptions();
    void showAbout();
    // "帮助": the user guide in a window of its own, or the one already open brought forward.
    void showGuide();
    // The first-use tour over the window, any time; the parameter stays as it is.
    void showGuidance();
    // On the window's first show: the tour once per profile ("NoviceGuidance" "0" -> "1").
    void firstShowGuidance();

private:
    QPointer<QWidget> m_window;
    QPointer<GuideWindow> m_guide;
};
