#pragma once

#include <QIcon>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

namespace Ui {
class FramelessWindow;
}
class FramelessHelper;
class MouseButtonSignaler;
class QMouseEvent;

// The frame every top-level window of the program is shown in: own title bar,
// rounded border, drop shadow (drawn here from a cached nine-patch, only where a
// compositor can show translucency) and edge resizing.
class FramelessWindow final : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kShadowMargin = 15;

    explicit FramelessWindow(QWidget *parent = nullptr, Qt::WindowFlags extraFlags = Qt::WindowFlags());
    ~FramelessWindow() override;

    // Puts `widget` into the frame, copies its title, icon and object name and
    // sizes the frame around the widget's current size.
    void setContent(QWidget *widget);
    QWidget *content() const { return m_content; }
    // Gives the content back: hidden, with the parent and window flags it had before.
    QWidget *takeContent();

    void setResizable(bool on);
    bool isResizable() const { return m_resizable; }
    FramelessHelper *helper() const { return m_helper; }

    // Outer margin in the current state: room for the shadow, or 0.
    int shadowMargin() const;
    bool hasActiveLook() const { return m_activeLook; }
    bool hasRoundLook() const { return m_roundLook; }
    QString titleText() const { return m_title; }

    // The frame `widget` is shown in (nearest enclosing one), or null.
    static FramelessWindow *frameOf(const QWidget *widget);

    // Whether windows can have translucent margins here (a compositor runs).
    static bool translucencyAvailable();
    // Tests: -1 detects, 0 forces no translucency, 1 forces translucency.
    static void setTranslucencyOverride(int value);

    // Shows `widget` in a new frame. `options` are Ink::FrameOption flags; `mainFrame`
    // is the window dialogs are centred over (and parented to with foParentMain).
    // Modal dialogs block in a local event loop and return the dialog's result; the
    // widget comes back out of the frame and stays the caller's. Otherwise returns 0.
    static int showWidget(QWidget *widget, int options, QWidget *mainFrame);
    // Number of framed modal dialogs currently running.
    static int modalCount();

    // Re-applies the look for the application's state (connected to the application).
    void on_applicationStateChanged(Qt::ApplicationState state);

signals:
    void windowIconLeftClicked();
    void windowIconRightClicked();
    void windowIconDblClick();
    void windowCloseQuery();
    void windowClose();
    void windowShow();
    void windowPaint();

public slots:
    void setWindowTitle(const QString &title);
    void setWindowIcon(const QIcon &icon);
    void changeToolTip(Qt::ApplicationState state);
    void setWindowMaximize();
    void setWindowNoState();
    void setWindowFullScreen();

private slots:
    void on_minimizeButton_clicked();
    void on_restoreButton_clicked();
    void on_maximizeButton_clicked();
    void on_closeButton_clicked();
    void on_windowTitlebar_doubleClicked();
    void iconMouseEvent(QWidget *widget, QMouseEvent *event);

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyLook();
    void applyLook(bool active);
    void updateButtons();
    void updateTitleText();
    void drawShadow(QPainter &painter, const QRect &frameRect, const QColor &color);

    Ui::FramelessWindow *ui;
    FramelessHelper *m_helper = nullptr;
    MouseButtonSignaler *m_iconSignaler = nullptr;
    QPointer<QWidget> m_content;
    QPointer<QWidget> m_contentParent;
    Qt::WindowFlags m_contentFlags;
    QString m_title;
    QString m_titleContrast;
    bool m_formReady = false;
    bool m_translucent = false;
    bool m_resizable = true;
    bool m_activeLook = true;
    bool m_roundLook = true;
    bool m_firstPaintSeen = false;
    bool m_hiddenForToolTip = false;
    bool m_closeEmitted = false;
    QPixmap m_shadowCache;
    QColor m_shadowCacheColor;
    qreal m_shadowCacheDpr = 0;
};
