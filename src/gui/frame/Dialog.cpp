#include "frame/Dialog.h"

#include "frame/FramelessWindow.h"

#include <QDialogButtonBox>
#include <QPushButton>

Dialog::Dialog(QWidget *parent, Qt::WindowFlags flags) : QDialog(parent, flags) {}

FramelessWindow *Dialog::frame() const { return FramelessWindow::frameOf(this); }

void Dialog::done(int r)
{
    m_doneCode = r;
    // The dialog finishes first (result set, hidden); the frame watches finished() and
    // closes around it. Closing the frame first would run the content's own close check
    // (closeEvent -> reject) and turn an accepted dialog into a rejected one.
    QDialog::done(r);
}

void nameButtons(QDialogButtonBox *box)
{
    static const std::pair<QDialogButtonBox::StandardButton, const char16_t *> names[] = {
        {QDialogButtonBox::Ok, u"确定"}, {QDialogButtonBox::Cancel, u"取消"}, {QDialogButtonBox::Help, u"帮助"},
        {QDialogButtonBox::Yes, u"是"},   {QDialogButtonBox::No, u"否"},     {QDialogButtonBox::Close, u"关闭"}};
    for (const auto &[which, name] : names)
        if (QPushButton *button = box->button(which))
            button->setText(QString::fromUtf16(name));
}
