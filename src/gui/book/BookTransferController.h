#pragma once

#include <QObject>
#include <QString>

class BookController;

// The book export and import commands on the book panel: the current node, the chapter in the
// editor, and the tree shown again after an import.
class BookTransferController final : public QObject
{
    Q_OBJECT
public:
    explicit BookTransferController(BookController *book, QObject *parent = nullptr);

    // The current node and its live descendants to a folder.
    void exportCurrent();
    // A folder's text files into the tree. A modified chapter is saved first (no question); the
    // tree is reloaded and the chapter in the editor read again, as the import may have rewritten it.
    void importFolder();

private:
    QString currentId() const;

    BookController *m_book;
    QString m_folder; // where the next folder choice starts
};
