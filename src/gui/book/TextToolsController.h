#pragma once

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class BookController;
class FindDialog;
class MyTextEdit;
class QStatusBar;
class ReplaceDialog;
class TreeView;

// The chapter editor's text tools: live statistics and length alerts, sensitive-word marks,
// auto-format, the insert commands, and the find and replace dialogs. The work on the text
// itself is TextTools and TextFinder; this class connects it to the editor and the window.
class TextToolsController final : public QObject
{
    Q_OBJECT
public:
    struct Widgets {
        MyTextEdit *editor = nullptr;
        TreeView *treeViewBook = nullptr;
        BookController *book = nullptr;
        QStatusBar *statusBar = nullptr;       // gets the length-alert label (optional)
        QLabel *labelStatistics = nullptr;     // optional
        QWidget *window = nullptr;             // toasts and dialogs belong to it
    };

    TextToolsController(const Widgets &widgets, QObject *parent = nullptr);
    ~TextToolsController() override;

    // Texts go into the editor through this (the window's insertEditorText); without it straight
    // into a writable editor.
    void setInsertHandler(std::function<void(const QString &, bool)> handler) { m_insert = std::move(handler); }

    int lastTextLength() const { return m_lastTextLength; }
    QLabel *alertLabel() const { return m_alertLabel; }
    FindDialog *findDialog() const;
    ReplaceDialog *replaceDialog() const;

public slots:
    // On every text change: the statistics label and debug lines, then the length alert.
    void updateWordStatistics();
    // Marks the sensitive words. Silent (on opening a chapter): no message, and the chapter stays
    // unmodified with nothing to undo. Otherwise one undo step and "一共发现%1个敏感词，请留意！".
    // Returns the number marked.
    int checkSensitiveWords(bool silent);
    void clearSensitiveWords();
    void autoFormat();
    void insertDateTime();
    void insertLine();
    void selectionAsNodeTitle();
    void copyAll();
    void showFindDialog();
    void showReplaceDialog();

signals:
    void wordCountAlert(int threshold);

private:
    void insertText(const QString &text);
    void showWordCountAlert(int threshold);
    bool chapterEditable() const;

    QPointer<MyTextEdit> m_editor;
    QPointer<TreeView> m_view;
    QPointer<BookController> m_book;
    QPointer<QLabel> m_labelStatistics;
    QPointer<QWidget> m_window;
    QPointer<QLabel> m_alertLabel;
    QTimer m_alertTimer;
    QPointer<FindDialog> m_findDialog;
    QPointer<ReplaceDialog> m_replaceDialog;
    std::function<void(const QString &, bool)> m_insert;
    int m_lastTextLength = 0;
};
