#include "frame/FramelessWindow.h"

#include "frame/FramelessHelper.h"
#include "frame/MouseButtonSignaler.h"
#include "ui_FramelessWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMetaMethod>
#include <QMouseEvent>

namespace {

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
