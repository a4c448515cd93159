#pragma once

#include <QPointer>
#include <QTextDocument>
#include <QTextEdit>
#include <QWidget>

class QCheckBox;
class QLineEdit;

// What the find and the replace dialog share: the target editor (held by a guarded pointer,
// so a dialog outliving it does nothing), the find box with its three options, finding the next
// match, Return and Esc, and the focus coming back to the dialog after each click.
class TextSearchWidget : public QWidget
{
    Q_OBJECT
public:
    explicit TextSearchWidget(QWidget *parent = nullptr);

    void setEditor(QTextEdit *editor) { m_editor = editor; }
    QTextEdit *editor() const { return m_editor; }
    void setFindText(const QString &text);
    QString findText() const;
    QTextDocument::FindFlags findFlags() const;
    // Puts the focus into the find box, its text selected.
    void focusFindBox();

    // Selects the next match in the editor and brings it into view; false (selection kept,
    // nothing said) when there is none. The search does not wrap.
    bool findNext();

public slots:
    void on_pushButtonFind_clicked();
    void on_pushButtonClose_clicked();

protected:
    // Called by the dialogs once their form is set up.
    void bindForm(QLineEdit *find, QCheckBox *caseSensitive, QCheckBox *wholeWords, QCheckBox *backward);
    bool eventFilter(QObject *watched, QEvent *event) override;
    // Keyboard focus goes back to the dialog's window shortly after a click.
    void reactivateLater();
    // Scrolls the editor (or, failing that, moves the dialog) so the selection is not hidden
    // behind the dialog.
    void revealSelection();
    // After a backward replacement the cursor sits at the start of the new text; the next backward
    // search must not reach into it. Remembered until the cursor or the document changes.
    void rememberReplacedStart(int position);
    int replacedLimit() const;

    QPointer<QTextEdit> m_editor;

private:
    QLineEdit *m_find = nullptr;
    QCheckBox *m_caseSensitive = nullptr;
    QCheckBox *m_wholeWords = nullptr;
    QCheckBox *m_backward = nullptr;
    int m_replacedStart = -1;
    int m_replacedRevision = -1;
};
