#include "BookHost.h"

BookHost::BookHost()
{
    prompts.defaultAnswer = Ink::maYes;
    editor->setResetOnAsciiKey(true);
    book->loadTree();
}

QString BookHost::currentId() const
{
    const TreeNodeInfo *info = TreeNodeInfo::of(view->currentIndex());
    return info ? info->id : QString();
}

void BookHost::type(const QString &text)
{
    editor->moveCursor(QTextCursor::End);
    editor->insertPlainText(text);
}
