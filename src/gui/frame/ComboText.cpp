#include "frame/ComboText.h"

#include <QComboBox>
#include <QLineEdit>

void showTextStart(QComboBox *box)
{
    QLineEdit *edit = box->lineEdit();
    if (!edit)
        return;
    auto home = [edit] {
        if (!edit->hasFocus())
            edit->setCursorPosition(0);
    };
    home();
    QObject::connect(box, &QComboBox::currentTextChanged, edit, home);
}

void showTextStart(QLineEdit *edit)
{
    auto home = [edit] {
        edit->setToolTip(edit->text());
        if (!edit->hasFocus())
            edit->setCursorPosition(0);
    };
    home();
    QObject::connect(edit, &QLineEdit::textChanged, edit, home);
}
