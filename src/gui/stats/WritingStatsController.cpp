#include "stats/WritingStatsController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "book/BookController.h"
#include "book/MyTextEdit.h"
#include "book/WritingStats.h"
#include "frame/Frames.h"
#include "frame/Toast.h"
#include "params/SysParams.h"
#include "stats/WritingStatsWindow.h"

#include <QLabel>
#include <QMenu>
#include <QTimer>

WritingStatsController::WritingStatsController(BookController *book, MyTextEdit *editor, QLabel *targetLabel,
                                               QWidget *tipParent)
    : QObject(tipParent), m_book(book), m_editor(editor), m_label(targetLabel), m_tipParent(tipParent)
{
    // Counting a long chapter on every key press would slow typing: at most once a second.
    m_typingTimer = new QTimer(this);
    m_typingTimer->setSingleShot(true);
    m_typingTimer->setInterval(1000);
    connect(m_typingTimer, &QTimer::timeout, this, &WritingStatsController::showCount);
    connect(editor, &QTextEdit::textChanged, this, [this]() {
        if (g_SysParams.dailyWordTarget > 0 && !m_typingTimer->isActive())
            m_typingTimer->start();
    });
    connect(book, &BookController::chapterOpened, this, [this]() {
        m_baseline = editorCount();
        showCount();
    });
    connect(book, &BookController::chapterSaved, this, [this]() {
        m_baseline = editorCount();
        refresh();
        if (m_window)
            m_window->reload();
    });
    m_baseline = editorCount();
    m_label->hide();
}

WritingStatsController::~WritingStatsController() = default;

WritingStatsWindow *WritingStatsController::window() const { return m_window; }

void WritingStatsController::showWindow()
{
    if (m_window) {
        m_window->window()->raise();
        m_window->window()->activateWindow();
        return;
    }
    m_window = new WritingStatsWindow;
    m_window->reload();
    Frames::showFramed(m_window, Ink::foParentMain | Ink::foResizable);
}

int WritingStatsController::editorCount() const
{
    if (!m_editor || !m_book || m_book->currentChapterId().isEmpty())
        return 0;
    return WritingStats::writtenCount(m_editor->toPlainText());
}

int WritingStatsController::todayCount() const { return m_saved + editorCount() - m_baseline; }

void WritingStatsController::reloadSaved()
{
    m_day = QDate::currentDate();
    try {
        m_saved = WritingStats::History::loadDay(m_day).growthOn(m_day);
    } catch (const Exception &) {
        // The count is a convenience: without the log it starts from the editor alone.
        m_saved = 0;
    }
}

void WritingStatsController::refresh()
{
    reloadSaved();
    showCount();
}

void WritingStatsController::followTarget()
{
    if (g_SysParams.dailyWordTarget != m_shownTarget || QDate::currentDate() != m_day)
        refresh();
}

void WritingStatsController::showCount()
{
    const int target = g_SysParams.dailyWordTarget;
    m_shownTarget = target;
    if (target <= 0) {
        m_label->hide();
        return;
    }
    if (!m_day.isValid())
        reloadSaved();
    const int today = todayCount();
    m_label->setText(QStringLiteral("今日：%1 / %2 字").arg(formatCount(today), formatCount(target)));
    m_label->show();
    // Only a crossing seen here is news: a target met before the program started stays quiet.
    if (today < target) {
        m_belowDay = m_day;
    } else if (m_toastDay != m_day && m_belowDay == m_day) {
        m_toastDay = m_day;
        Toast::showTip(QStringLiteral("今日目标达成：%1 字").arg(formatCount(today)), m_tipParent, 4000);
    }
}

void WritingStatsController::addMenuAction(QMenu *menu, QTimer *clock)
{
    setObjectName(QStringLiteral("writingStats"));
    QAction *action = menu->addAction(QStringLiteral("写作统计"), this, &WritingStatsController::showWindow);
    action->setObjectName(QStringLiteral("actionAdvanceWritingStats"));
    connect(clock, &QTimer::timeout, this, &WritingStatsController::followTarget);
}
