#pragma once

#include <QDate>
#include <QHash>
#include <QMap>
#include <QString>
#include <QVector>

// How much the author wrote per day, from the day rows of L.BookLog (one row per chapter and day
// with the chapter's length at that day's last save). A day's growth is the sum over its rows of
// the growth against the same chapter's previous row; a chapter's first row counts from zero and
// a shortened chapter counts negative.
namespace WritingStats {

// The unit of every count here and of the daily target: Chinese characters and ASCII letters and
// digits, one each (the status bar's 中 plus 英数); punctuation, blanks and line feeds do not count.
int writtenCount(const QString &plainText);

struct ChapterGrowth {
    QString chapterId;
    QString title;
    QString bookTitle;
    int count = 0; // at the day's last save
    int growth = 0;
    bool deleted = false; // the chapter (or its volume or book) is deleted or gone
};

struct BookTotal {
    QString bookId;
    QString title;
    qint64 growth = 0;
    int days = 0; // days with a row of the book
};

struct Streaks {
    int current = 0;
    int longest = 0;
};

class History
{
public:
    // Every row of L.BookLog with the titles of the book tree.
    static History load();
    // Only the rows needed for one day's growth: that day's rows and the earlier rows of its chapters.
    static History loadDay(const QDate &day);

    bool isEmpty() const { return m_days.isEmpty(); }
    QDate firstDay() const;
    QDate lastDay() const;
    int growthOn(const QDate &day) const;
    // One value per day from first to last, both included.
    QVector<int> growthPerDay(const QDate &first, const QDate &last) const;
    // The chapters saved that day, largest growth first.
    QVector<ChapterGrowth> chaptersOn(const QDate &day) const;
    // Days meeting target (target <= 0: days with any growth). A today that does not meet it yet
    // leaves the current streak running from yesterday.
    Streaks streaks(int target, const QDate &today) const;
    // Largest first; chapters whose rows are gone from the tree count under an empty book id.
    QVector<BookTotal> bookTotals() const;
    qint64 total() const { return m_total; }

private:
    struct Entry {
        int chapter; // index into m_chapters
        int count;
        int growth;
    };
    struct Chapter {
        QString id;
        QString title;
        QString bookId;
        QString bookTitle;
        bool deleted = false;
    };
    // wholeTree: the book rows read in one pass; otherwise each one looked up when needed.
    static History read(const QString &where, bool wholeTree);

    QVector<Chapter> m_chapters;
    QMap<qint64, int> m_days; // Julian day -> growth
    QHash<qint64, QVector<Entry>> m_entries;
    qint64 m_total = 0;
};

} // namespace WritingStats
