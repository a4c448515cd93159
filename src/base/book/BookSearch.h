#pragma once

#include <QString>
#include <QVector>

#include <atomic>
#include <functional>

// Search in the text (and optionally the titles) of whole books. The chapters' plain text is
// held in memory, read from BookTree once and kept current through the connection's change
// notifications: every write to BookTree, whichever code path made it, marks its row to be read
// again before the next search. The copy is derived data only; the rows stay the truth.
namespace BookSearch {

enum class Scope { AllBooks, Book, Volume };

struct Query {
    QString key;
    bool matchCase = false; // Latin letters; CJK text has no case
    bool titles = false;    // chapter titles are searched as well
    Scope scope = Scope::AllBooks;
    QString scopeId; // the book or volume for Scope::Book / Scope::Volume
    // The open chapter's text as the editor holds it, searched instead of its stored row, so a
    // word typed a moment ago is found before any save.
    QString editedId;
    QString editedText;
};

struct Match {
    int offset = -1;       // in the chapter's plain text (or its title when inTitle)
    int length = 0;
    bool inTitle = false;
    QString context;       // the line around the match, shortened
    int contextOffset = 0; // where the match begins in context
};

struct ChapterHits {
    QString chapterId;
    QString path; // 书 / 卷 / 章
    QVector<Match> matches;
};

struct Result {
    QVector<ChapterHits> chapters; // in tree order
    int matchCount = 0;            // all matches, also those past the listed ones
    int chapterCount = 0;
    bool truncated = false; // more matches than listed
    bool cancelled = false;
};

// Matches listed at most; the count goes on.
constexpr int kMaxListedMatches = 5000;

// Where key occurs in text by the find's rules: a no-break space is a space, case is ignored
// unless matchCase, matches do not overlap. Offsets in text.
QVector<int> findAll(const QString &text, const QString &key, bool matchCase);
// How the key compares: a key without cased letters (CJK) is compared exactly, which finds the
// same matches faster.
Qt::CaseSensitivity caseSensitivity(const QString &key, bool matchCase);
// True when text at offset is key by the same rules.
bool matchesAt(const QString &text, int offset, const QString &key, bool matchCase);

// Reads the rows changed since the last call (all rows the first time, or when the connection
// is new or the count of rows no longer agrees), in short pieces so that other threads get the
// connection in between. Called by search; callable alone to fill the copy ahead of time.
// Returns false when cancelled.
bool refresh(const std::atomic<int> *generation = nullptr, int wanted = 0);

// Searches; `partial` (optional) gets the chapters found so far while the search goes on, first
// soon and then in batches, and returns false to stop. The search stops early (cancelled) when
// *generation no longer equals wanted. Throws Exception when the rows cannot be read.
Result search(const Query &query, const std::function<bool(const Result &)> &partial = nullptr,
              const std::atomic<int> *generation = nullptr, int wanted = 0);

// Forgets the copy; the next search reads every row again.
void reset();

// The path of a node, "书 / 卷 / 章"; empty when unknown. From the copy (call after a search).
QString pathOf(const QString &id);

} // namespace BookSearch
