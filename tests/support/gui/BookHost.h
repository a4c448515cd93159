#pragma once

#include "BookRows.h"
#include "ScriptedPrompter.h"

#include "app/App.h"
#include "book/BookController.h"
#include "book/MyTextEdit.h"
#include "book/TreeView.h"

#include <QWidget>

// The book tree and the editor on a plain widget, the tree loaded at construction. Questions
// are answered yes unless the test queues other answers in prompts.
struct BookHost {
    ScriptedPrompter prompts; // first in, last out: the widgets may still ask while they go
    QWidget window;
    TreeView *view = new TreeView(&window);
    MyTextEdit *editor = new MyTextEdit(&window);
    BookController *book = new BookController(view, editor, &window);

    BookHost();
    QModelIndex sourceOf(const QString &id) const { return book->findSourceIndex(id); }
    void select(const QString &id) { book->selectNode(id); }
    QString currentId() const;
    // Types text at the end of the chapter.
    void type(const QString &text);
};
