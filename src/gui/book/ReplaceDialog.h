#pragma once

#include "book/TextSearchWidget.h"

namespace Ui {
class ReplaceDialog;
}

// The non-blocking replace dialog ("替换") over the chapter editor. A read-only editor (no
// chapter open) is searched but never changed.
class ReplaceDialog : public TextSearchWidget
{
    Q_OBJECT
public:
    explicit ReplaceDialog(QWidget *parent = nullptr);
    ~ReplaceDialog() override;

    void setReplaceText(const QString &text);
    QString replaceText() const;

    // Replaces the selection when it is exactly the find text (case-sensitive).
    bool replaceCurrent();
    // Replaces from the selection on in the search direction, in one undo step; the count.
    int replaceAll();

public slots:
    void on_pushButtonReplace_clicked();
    void on_pushButtonReplaceAll_clicked();

private:
    bool canEdit() const;

    Ui::ReplaceDialog *ui;
};
