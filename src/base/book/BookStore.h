#pragma once

#include <QDateTime>
#include <QString>

// The book rows in BookTree and the day's word counts in L.BookLog. Every write stamps the
// bookkeeping columns like prepareRecord (Updated, Flag, Usn 0, Synced 0) and throws Exception
// with the user's message on failure, leaving no transaction open.
namespace BookStore {

struct NewNode {
    QString id;
    QString updated;
};

// Inserts a live node below parentId at position sort and renumbers its siblings.
NewNode insertNode(const QString &parentId, int nodeType, int level, const QString &title, double sort,
                   const QString &html);
// Stores a new title; returns the new Updated text. False when the row is gone; a title over
// the title limit is refused.
bool renameNode(const QString &id, const QString &title, QString *updated = nullptr);
// Marks the node deleted and renumbers its former siblings; returns the parent id.
QString deleteNode(const QString &id);
// Moves `id` just above or below `targetId` and renumbers the siblings of both parents.
void moveNode(const QString &id, const QString &targetId, bool above);

struct Chapter {
    bool found = false;
    QString title;
    QString html;
    QString plainText;
    QString attribute1;
};
// The live row of a chapter (found false when it is gone or deleted).
Chapter readChapter(const QString &id);

// The day's BookLog row of the chapter gets its new length; inside the caller's transaction.
void logChapterLength(const QString &id, const QString &plainText, const QDateTime &now);

// Saves the chapter's text and the day's BookLog row in one transaction; returns the Updated
// text written. Refuses text over the chapter limit, a missing row and a deleted row.
QString saveChapter(const QString &id, const QString &html, const QString &plainText);

} // namespace BookStore
