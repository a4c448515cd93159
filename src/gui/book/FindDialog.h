#pragma once

#include "book/TextSearchWidget.h"

namespace Ui {
class FindDialog;
}

// The non-blocking find dialog ("查找") over the chapter editor.
class FindDialog : public TextSearchWidget
{
    Q_OBJECT
public:
    explicit FindDialog(QWidget *parent = nullptr);
    ~FindDialog() override;

private:
    Ui::FindDialog *ui;
};
