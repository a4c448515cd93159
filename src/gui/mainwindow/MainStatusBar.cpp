#include "mainwindow/MainStatusBar.h"

#include "app/Constants.h"
#include "book/BookController.h"
#include "book/MyTextEdit.h"
#include "frame/ElidingLabel.h"
#include "frame/Toast.h"

#include <QDateTime>
#include <QEvent>
#include <QLabel>
#include <QStatusBar>

namespace {

QString overLengthMessage(int length)
{
    return QStringLiteral("文章已有%1个字符，超过最大字符长度%2，不能保存，请删减！").arg(length).arg(Ink::maxArticleLength);
}

} // namespace

MainStatusBar::MainStatusBar(QStatusBar *bar, BookController *book, MyTextEdit *editor, QWidget *tipParent)
    : QObject(bar), m_editor(editor), m_tipParent(tipParent)
{
    bar->showMessage(QStringLiteral("准备就绪!"), 5000);
    // Only the counts and the save state may shrink (elided) when the window is narrow.
    auto label = [bar](const QString &text, const char *name, bool mayShrink = false) {
        QLabel *l = mayShrink ? new ElidingLabel(text, bar) : new QLabel(text, bar);
        l->setObjectName(QLatin1String(name));
        l->setFrameShape(QFrame::Box);
        l->setFrameShadow(QFrame::Plain);
        l->setContentsMargins(4, 0, 4, 0);
        return l;
    };
    m_labelLoginState = label(QStringLiteral("登录状态"), "labelLoginState");
    m_labelCursorPosition = label(QStringLiteral("光标位置"), "labelCursorPosition");
    m_labelStatistics = label(QStringLiteral("统计"), "labelStatistics", true);
    m_labelDailyTarget = label(QString(), "labelDailyTarget", true);
    m_labelClock = label(QString(), "labelClock");
    // Repainted every second: opaque and plain, a tick paints this box alone, not the status bar
    // and the window beneath it, and its text is never parsed for markup.
    m_labelClock->setTextFormat(Qt::PlainText);
    m_labelClock->setAutoFillBackground(true);
    m_labelWebsite = label(QStringLiteral("<a href=\"%1\">官网</a>").arg(Ink::serviceBaseUrl()), "labelWebsite");
    m_labelWebsite->setTextFormat(Qt::RichText);
    m_labelWebsite->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(m_labelWebsite, &QLabel::linkActivated, this, &MainStatusBar::websiteLinkActivated);
    for (QLabel *l : {m_labelCursorPosition, m_labelStatistics, m_labelDailyTarget, m_labelLoginState, m_labelClock,
                      m_labelWebsite})
        bar->addPermanentWidget(l);
    m_labelSaveState = new ElidingLabel(bar);
    m_labelSaveState->setObjectName(QStringLiteral("labelSaveState"));
    m_labelSaveState->setStyleSheet(QStringLiteral("QLabel { color: red; }"));
    m_labelSaveState->hide();
    bar->insertPermanentWidget(0, m_labelSaveState);
    m_labelClock->installEventFilter(this);
    updateClock(); // the clock's box stays empty until its first tick otherwise

    connect(book, &BookController::overLengthChanged, this, [this](int length, bool byEdit) {
        m_overLengthText = length > 0 ? overLengthMessage(length) : QString();
        if (byEdit)
            Toast::showTip(m_overLengthText, m_tipParent, 5000, Qt::AlignCenter);
        updateSaveState();
    });
    connect(book, &BookController::autoSaveFailed, this, [this](const QString &, const QString &message) {
        m_autoSaveFailureText = QStringLiteral("自动保存失败：%1").arg(message);
        updateSaveState();
    });
    for (auto signal : {&BookController::chapterSaved, &BookController::chapterOpened}) {
        connect(book, signal, this, [this]() {
            m_autoSaveFailureText.clear();
            updateSaveState();
        });
    }
}

MainStatusBar::~MainStatusBar() = default;

void MainStatusBar::updateClock()
{
    // Sized for its widest digits once per font: a new text then repaints the label alone,
    // with no layout pass of the status bar every second.
    if (!m_clockSized || m_labelClock->font() != m_clockFont) {
        m_clockSized = true;
        m_clockFont = m_labelClock->font();
        m_labelClock->setMinimumSize(0, 0);
        m_labelClock->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        QSize widest;
        for (char digit = '0'; digit <= '9'; ++digit) {
            m_labelClock->setText(QStringLiteral("0000-00-00 00:00:00").replace(QLatin1Char('0'), QLatin1Char(digit)));
            widest = widest.expandedTo(m_labelClock->sizeHint());
        }
        m_labelClock->setFixedSize(widest);
    }
    m_labelClock->setText(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
}

bool MainStatusBar::eventFilter(QObject *watched, QEvent *event)
{
    // A new style sheet may pad the label: measure the clock again at the next tick.
    if (watched == m_labelClock && (event->type() == QEvent::StyleChange || event->type() == QEvent::FontChange))
        m_clockSized = false;
    return QObject::eventFilter(watched, event);
}

void MainStatusBar::showCursorPosition()
{
    const QPoint pos = m_editor->cursorColumnLine();
    m_labelCursorPosition->setText(QStringLiteral("%1,%2").arg(pos.x()).arg(pos.y()));
}

void MainStatusBar::showSignedIn(bool signedIn)
{
    m_labelLoginState->setText(signedIn ? QStringLiteral("已登录") : QStringLiteral("未登录"));
}

void MainStatusBar::updateSaveState()
{
    const QString text = m_overLengthText.isEmpty() ? m_autoSaveFailureText : m_overLengthText;
    m_labelSaveState->setText(text);
    m_labelSaveState->setToolTip(text);
    m_labelSaveState->setVisible(!text.isEmpty());
}
