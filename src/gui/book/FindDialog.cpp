#include "book/FindDialog.h"

#include "ui_FindDialog.h"

FindDialog::FindDialog(QWidget *parent) : TextSearchWidget(parent), ui(new Ui::FindDialog)
{
    ui->setupUi(this);
    bindForm(ui->lineEditFind, ui->checkBoxCaseSensitive, ui->checkBoxWholeWords, ui->checkBoxBackward);
}

FindDialog::~FindDialog() { delete ui; }
