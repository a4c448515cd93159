#pragma once

#include <QDate>
#include <QObject>
#include <QPointer>

class BookController;
class MyTextEdit;
class QLabel;
class QMenu;
class QTimer;
class QWidget;
class WritingStatsWindow;

// Writing progress: today's count against the daily target in the status bar (with a quiet toast
// once a day when it is reached) and the one statistics window.
class WritingStatsController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(WritingStatsController)
public:
    // Toasts pop up over tipParent, which owns the controller.
    WritingStatsController(BookController *book, MyTextEdit *editor, QLabel *targetLabel, QWidget *tipParent);
    ~WritingStatsController() override;

    // "写作统计": opens the window, or brings back the one already open.
    void showWindow();
    // 写作统计 at the end of menu; the daily target follows clock's ticks.
    void addMenuAction(QMenu *menu, QTimer *clock);
    WritingStatsWindow *window() const;

    // Today's saved growth plus the editor's unsaved growth.
    int todayCount() const;
    // Re-reads today's saved growth and shows the count now.
    void refresh();
    // Each second: follows a changed target and the change of day.
    void followTarget();

private:
    void showCount();
    void reloadSaved();
    int editorCount() const;

    QPointer<BookController> m_book;
    QPointer<MyTextEdit> m_editor;
    QLabel *m_label;
    QWidget *m_tipParent;
    QTimer *m_typingTimer;
    QPointer<WritingStatsWindow> m_window;
    QDate m_day;
    int m_saved = 0;    // today's growth of the saved chapters
    int m_baseline = 0; // the editor's count when its chapter was opened or last saved
    int m_shownTarget = -1;
    QDate m_belowDay; // a count below the target was shown on that day
    QDate m_toastDay;
};
