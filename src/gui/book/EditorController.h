#pragma once

#include <QObject>
#include <QPointer>

class MyTextEdit;
class QAction;
class QActionGroup;
class QComboBox;
class QFontComboBox;
class QTextCharFormat;
class QToolBar;
class QWidget;

// The chapter editor's formatting and editing actions: the style, font and size boxes, bold to
// strike-out, colours, alignment, cut/copy/paste, undo/redo and the save action follow the
// editor's state, and the actions act on the editor.
class EditorController final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(EditorController)
public:
    struct Actions {
        QAction *bold = nullptr;
        QAction *italic = nullptr;
        QAction *underline = nullptr;
        QAction *strikeOut = nullptr;
        QAction *color = nullptr;
        QAction *backColor = nullptr;
        QAction *alignLeft = nullptr;
        QAction *alignCenter = nullptr;
        QAction *alignRight = nullptr;
        QAction *alignJustify = nullptr;
        QAction *cut = nullptr;
        QAction *copy = nullptr;
        QAction *paste = nullptr;
        QAction *selectAll = nullptr;
        QAction *undo = nullptr;
        QAction *redo = nullptr;
        QAction *save = nullptr;
        QAction *smartSentenceWord = nullptr;
    };

    // The boxes go in front of the style tool bar's actions; colour dialogs open over dialogParent,
    // which owns the controller.
    EditorController(MyTextEdit *editor, QToolBar *styleToolBar, const Actions &actions, QWidget *dialogParent);
    ~EditorController() override;

    QComboBox *styleBox() const { return m_comboStyle; }
    QFontComboBox *fontBox() const { return m_comboFont; }
    QComboBox *sizeBox() const { return m_comboSize; }

    // The checked states of the format actions.
    void setBold();
    void setItalic();
    void setUnderline();
    void setStrikeOut();
    // Colour dialogs; nothing changes when the author cancels.
    void chooseColor();
    void chooseBackColor();
    // The smart sentence-and-word suggestions follow their switch (kept in the parameters).
    void applySmartSentenceWordSwitch();

    // The boxes and actions show the format at the cursor.
    void showCharFormat(const QTextCharFormat &format);
    void showAlignment();
    void showSelection();
    // The empty editor before any chapter: the author's default font, in red.
    void applyDefaultFormat();

private:
    void buildStyleBoxes(QToolBar *styleToolBar);
    void bindDocumentState();

    QPointer<MyTextEdit> m_editor;
    Actions m_actions;
    QWidget *m_dialogParent;
    QComboBox *m_comboStyle = nullptr;
    QFontComboBox *m_comboFont = nullptr;
    QComboBox *m_comboSize = nullptr;
    QActionGroup *m_alignGroup = nullptr;
};
