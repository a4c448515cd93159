#include "settings/NoviceGuidance.h"

#include "settings/Tooltip.h"

#include <QFrame>
#include <QMouseEvent>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// Puts a widget's own style sheet back on every way out of a step.
class StyleSheetGuard
{
public:
    explicit StyleSheetGuard(QWidget *widget) : m_widget(widget), m_saved(widget->styleSheet()) {}
    ~StyleSheetGuard()
    {
        if (m_widget)
            m_widget->setStyleSheet(m_saved);
    }
    StyleSheetGuard(const StyleSheetGuard &) = delete;
    StyleSheetGuard &operator=(const StyleSheetGuard &) = delete;

private:
    QPointer<QWidget> m_widget;
    QString m_saved;
};

} // namespace

NoviceGuidance::NoviceGuidance(QWidget *window) : QWidget(window), m_frame(new QFrame(this))
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    m_frame->setObjectName(QStringLiteral("frame"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_frame);
    window->installEventFilter(this);
    hide();
}

QList<QPair<QString, QString>> NoviceGuidance::mainWindowSteps()
{
    return {
        {QStringLiteral("menuBar"), QStringLiteral("这是[菜单]栏，含主要的功能操作菜单")},
        {QStringLiteral("mainToolBar"), QStringLiteral("这是[主操作]工具栏，含系统菜单和编辑菜单中的快捷操作按钮")},
        {QStringLiteral("styleToolBar"), QStringLiteral("这是[编辑器样式]工具栏，含编辑文本样式相关功能的快捷操作按钮")},
        {QStringLiteral("advToolBar"), QStringLiteral("这是[高级]工具栏，含高级功能的快捷操作按钮")},
        {QStringLiteral("viewToolBar"), QStringLiteral("这是[视图]工具栏，含视图相关功能的快捷操作按钮")},
        {QStringLiteral("widgetBook"),
         QStringLiteral("这是[书籍目录]操作区，除了树状展示书籍目录外，可以进行查看、新增、编辑、删除移动书籍等操作区域")},
        {QStringLiteral("textEditor"), QStringLiteral("这是[编辑]区，是书籍内容的查看、编辑区域，是写作的主要区域")},
        {QStringLiteral("plainTextEditMaterialContent"),
         QStringLiteral("这是[素材内容]展示区，展示在[素材列表]或[智能搜索]列表选择的素材详细内容")},
        {QStringLiteral("widgetMaterial"), QStringLiteral("这是[素材]展示区，素材详细展示区域，包括自带素材和用户素材")},
        {QStringLiteral("widgetMaterialSearch"),
         QStringLiteral("这是[素材搜索]区，可以按关键字搜索自带素材和用户素材，并在[素材列表]展示区显示搜索的结果")},
        {QStringLiteral("tabWidgetMaterial"),
         QStringLiteral("这是[素材目录]展示区，树状展示素材的目录结构，包括自带素材和用户素材")},
        {QStringLiteral("listViewMaterial"),
         QStringLiteral("这是[素材列表]展示区，在素材结构展示区选择目录，目录下的素材列表展示区域")},
    };
}

void NoviceGuidance::addStep(QWidget *target, const QString &text) { m_steps.append({target, text}); }

void NoviceGuidance::addMainWindowSteps()
{
    QWidget *window = parentWidget();
    for (const auto &step : mainWindowSteps()) {
        if (auto *target = window->findChild<QWidget *>(step.first))
            addStep(target, step.second);
    }
}

bool NoviceGuidance::isTargetVisible(const QWidget *target)
{
    return target && target->isVisible() && !target->rect().isEmpty() && !target->visibleRegion().isEmpty();
}

QMargins NoviceGuidance::borderWidths(const QRect &t, const QSize &overlay)
{
    // A target at the overlay's edge would give a negative width: an invalid style.
    return QMargins(qMax(0, t.x() - 2), qMax(0, t.y() - 2), qMax(0, overlay.width() - (t.x() + t.width()) - 2),
                    qMax(0, overlay.height() - (t.y() + t.height()) - 2));
}

QString NoviceGuidance::frameStyle(const QMargins &w)
{
    return QStringLiteral("QFrame {border-color:rgba(0, 0, 0, 150);border-style:solid;border-top-width:%1px;"
                          "border-right-width:%2px;border-bottom-width:%3px;border-left-width:%4px;}")
        .arg(w.top())
        .arg(w.right())
        .arg(w.bottom())
        .arg(w.left());
}

bool NoviceGuidance::run()
{
    if (m_steps.isEmpty())
        return false;
    QPointer<NoviceGuidance> self(this);
    setGeometry(parentWidget()->rect());
    show();
    raise();
    for (const auto &step : m_steps) {
        if (!self || !isVisible())
            break; // closed by a right click
        if (!step.first || !isTargetVisible(step.first))
            continue;
        if (runStep(step.first, step.second))
            break;
    }
    if (self)
        close();
    return true;
}

bool NoviceGuidance::runStep(QWidget *target, const QString &text)
{
    StyleSheetGuard guard(target);
    target->setStyleSheet(QStringLiteral("#%1{border:2px solid red;}").arg(target->objectName()));
    m_current = target;
    target->installEventFilter(this);
    uncoverCurrent();
    Tooltip bubble(this);
    const bool stopped = bubble.showText(text, target->mapToGlobal(target->rect().center()));
    if (m_current)
        m_current->removeEventFilter(this);
    m_current = nullptr;
    return stopped;
}

void NoviceGuidance::uncoverCurrent()
{
    if (!m_current)
        return;
    const QRect r(mapFromGlobal(m_current->mapToGlobal(QPoint(0, 0))), m_current->size());
    m_frame->setStyleSheet(frameStyle(borderWidths(r, size())));
}

bool NoviceGuidance::eventFilter(QObject *watched, QEvent *event)
{
    // The window may be maximised or resized while the tour runs (a window manager often does
    // so right after the first show): the overlay and the uncovered area go with it, the latter
    // once the window's layout has placed the target.
    if (watched == parentWidget() && event->type() == QEvent::Resize) {
        setGeometry(parentWidget()->rect());
        QTimer::singleShot(0, this, &NoviceGuidance::uncoverCurrent);
    } else if (watched == m_current && (event->type() == QEvent::Resize || event->type() == QEvent::Move)) {
        uncoverCurrent();
    }
    return QWidget::eventFilter(watched, event);
}

void NoviceGuidance::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton)
        close();
    else if (event->button() == Qt::LeftButton)
        m_dragOffset = event->globalPos() - pos();
    QWidget::mousePressEvent(event);
}

void NoviceGuidance::mouseMoveEvent(QMouseEvent *event)
{
    if (event->buttons() & Qt::LeftButton)
        move(event->globalPos() - m_dragOffset);
    QWidget::mouseMoveEvent(event);
}
