#include "book/BookTransferController.h"

#include "book/BookController.h"
#include "book/BookTransfer.h"
#include "book/TreeNodeInfo.h"

BookTransferController::BookTransferController(BookController *book, QObject *parent)
    : QObject(parent), m_book(book)
{
}

QString BookTransferController::currentId() const
{
    const TreeNodeInfo *info = TreeNodeInfo::of(m_book->view()->currentSourceIndex());
    return info ? info->id : QString();
}

void BookTransferController::exportCurrent()
{
    // The files must hold what the author sees, not the last saved text.
    if (m_book->settleModifiedChapter())
        BookTransfer::exportNode(currentId(), m_folder);
}

void BookTransferController::importFolder()
{
    BookTransfer::ImportSteps steps;
    steps.prepare = [this]() { return m_book->settleModifiedChapter(); };
    steps.reload = [this]() { m_book->loadTree(true); };
    BookTransfer::importFolder(currentId(), m_folder, steps);
}
