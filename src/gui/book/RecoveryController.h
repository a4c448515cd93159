#pragma once

#include <QObject>
#include <QPointer>

class BookController;
class QStatusBar;
class QTimer;
class TmpSaveWriter;

// Crash protection of the chapter in the editor: every tick of tmpSaveTimer writes a recovery
// copy when the text changed since the last one; saves and undo back to the saved text remove
// the copies; opening a chapter that has copies (a crash, a failed save) offers them in
// TmpSaveProcDialog before its text loads.
class RecoveryController final : public QObject
{
    Q_OBJECT
public:
    RecoveryController(BookController *book, const QString &folder, QTimer *tmpSaveTimer,
                       QStatusBar *statusBar = nullptr, QObject *parent = nullptr);

    TmpSaveWriter *writer() const { return m_writer; }
    static QString writeFailedText() { return QStringLiteral("临时保存文件写入失败，请检查磁盘空间！"); }

    // Timer tick: a copy of the editor's chapter when one is due. Nothing while a chapter loads
    // or a switch is under way (its question or the recovery dialog is open). A tick that leaves
    // nothing pending stops the timer; the next change of the text starts it again.
    void tmpSaveTimerUpdate();
    // Whether the window lets the timer run at all (false while it closes).
    void setTicking(bool on);
    // A copy now when the text changed since the last one (before a question, after a failed save).
    void writeTmpSaveNow(const QString &chapterId);
    // Before a chapter's text loads: its copies, when it has any, in the recovery dialog.
    // Returns the dialog's outcome, or -1 when there was nothing to offer.
    int checkTmpSaves(const QString &chapterId);

signals:
    // The first failure of a run to write or delete a copy (shown once in the status bar).
    void warning(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void syncChapter();
    void reportFailure(const QString &logText);

    QPointer<BookController> m_book;
    QString m_folder;
    QPointer<QStatusBar> m_statusBar;
    TmpSaveWriter *m_writer;
    QPointer<QTimer> m_timer;
    bool m_ticking = true;
    bool m_warned = false;
    bool m_failing = false;
    // Input events: a text change made by a key or an input method takes that event's time.
    bool m_inInputEvent = false;
    quint64 m_changes = 0;
    quint64 m_changesAtInput = 0;
};
