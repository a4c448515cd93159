#pragma once

#include <QString>
#include <QStringList>

class BookController;

// Where the author left the book panel: the expanded nodes, the current node with its ancestors
// (root first, so a node deleted meanwhile falls back to the nearest one still there), and the
// cursor and scroll position in that node's text. Kept per profile in the parameter row "BookPlace".
struct BookPlace {
    QStringList expanded;
    QStringList currentPath;
    int cursor = -1;
    int scroll = 0;

    QString toJson() const;
    static BookPlace fromJson(const QString &json);

    // The place shown by the panel now.
    static BookPlace capture(const BookController *book);
    // Expands, selects (which opens the node) and scrolls as stored. False when no stored node
    // is left; the caller then chooses a node itself.
    bool restore(BookController *book) const;

    // Database failures are logged, never shown: the place is a convenience.
    static BookPlace load();
    void save() const;
};
