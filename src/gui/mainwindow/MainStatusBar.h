#pragma once

#include <QFont>
#include <QObject>
#include <QPointer>

class BookController;
class MyTextEdit;
class QLabel;
class QStatusBar;
class QWidget;

// The main window's status bar: cursor position, word count, sign-in state, clock, the link to
// the web site, and in red what could not be saved (a chapter over the length limit, a failed
// autosave) until it is saved.
class MainStatusBar final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MainStatusBar)
public:
    // Tips about an over-long chapter pop up over tipParent.
    MainStatusBar(QStatusBar *bar, BookController *book, MyTextEdit *editor, QWidget *tipParent);
    ~MainStatusBar() override;

    QLabel *cursorPositionLabel() const { return m_labelCursorPosition; }
    QLabel *saveStateLabel() const { return m_labelSaveState; }
    // Filled by the text tools on every change of the text.
    QLabel *statisticsLabel() const { return m_labelStatistics; }
    // Today's words against the daily target; hidden while no target is set.
    QLabel *dailyTargetLabel() const { return m_labelDailyTarget; }

    // Each second.
    void updateClock();
    void showCursorPosition();
    void showSignedIn(bool signedIn);

signals:
    void websiteLinkActivated(const QString &link);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateSaveState();

    QPointer<MyTextEdit> m_editor;
    QWidget *m_tipParent;
    QLabel *m_labelLoginState = nullptr;
    QLabel *m_labelCursorPosition = nullptr;
    QLabel *m_labelStatistics = nullptr;
    QLabel *m_labelDailyTarget = nullptr;
    QLabel *m_labelClock = nullptr;
    QLabel *m_labelWebsite = nullptr;
    QLabel *m_labelSaveState = nullptr;
    QFont m_clockFont; // the font the clock's fixed size was measured in
    bool m_clockSized = false;
    QString m_overLengthText;
    QString m_autoSaveFailureText;
};
