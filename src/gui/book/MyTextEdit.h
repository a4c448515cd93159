#pragma once

#include <QDateTime>
#include <QTextCharFormat>
#include <QTextEdit>

class QMenu;

// The chapter editor. Besides editing it keeps what the author has just typed (the last input
// chunk and all chunks since the last reset) for the smart search, and reports every input.
class MyTextEdit final : public QTextEdit
{
    Q_OBJECT
public:
    explicit MyTextEdit(QWidget *parent = nullptr);

    QString lastInputString() const { return m_lastInputString; }
    QString lastComboInputString() const { return m_lastComboInputString; }
    bool resetOnAsciiKey() const { return m_resetOnAsciiKey; }
    void setResetOnAsciiKey(bool on) { m_resetOnAsciiKey = on; }
    QDateTime lastInputTime() const { return m_lastInputTime; }
    QMenu *contextMenu() const { return m_contextMenu; }

    void saveScrollInfo();
    void restoreScrollInfo();
    void restoreScrollPosition();

    // Cursor column in its paragraph and paragraph number, both from 0; constant time.
    QPoint cursorColumnLine() const;

signals:
    void signalLastInputStringReseted();
    void signalLastInputStringChanged(QString &lastInputString, QString &lastComboInputString);
    void signalLastInput();
    void signalKeyPressEvent(QKeyEvent *event);

public slots:
    void resetLastComboInputString();
    void resetLastInputString();
    void textSetBold(bool value);
    void textSetUnderline(bool value);
    void textSetSensitiveWord(bool value);
    void textSetUnderlineStyle(QTextCharFormat::UnderlineStyle style);
    void textSetUnderlineColor(const QColor &color);
    void textSetStrickout(bool value);
    void textSetOverline(bool value);
    void textSetItalic(bool value);
    void textSetFamily(const QString &f);
    void textSetSize(const QString &p);
    void textSetStyle(int styleIndex);
    void textSetColor(const QColor &color);
    void textSetBackColor(const QColor &color);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void mergeFormat(const QTextCharFormat &format);
    void emitPending();

    QString m_lastInputString;
    QString m_lastComboInputString;
    bool m_resetOnAsciiKey = false;
    bool m_resetPending = false;
    bool m_changedPending = false;
    QMenu *m_contextMenu;
    int m_savedPosition = 0;
    int m_savedSelectionStart = 0;
    int m_savedSelectionEnd = 0;
    int m_savedScroll = 0;
    QDateTime m_lastInputTime;
};
