#pragma once

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTextDocument>

#include <functional>

// Writes recovery copies of the chapter in a document: a copy is due whenever the text changed
// since the last copy, however it changed (typing, paste, drop, replace, undo). Formatting alone
// needs none (the copy is plain text) and neither does a text equal to the last copy. The copy's
// name carries the time of the last change.
class TmpSaveWriter final : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxCopiesPerChapter = 10;

    TmpSaveWriter(const QString &folder, QTextDocument *document, QObject *parent = nullptr);

    QString folder() const { return m_folder; }
    // The time source of untyped changes and of lastTmpSaveTime (tests drive it).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // The chapter the document now holds; its text as it stands is no change.
    void setChapter(const QString &chapterId);
    QString chapterId() const { return m_chapterId; }
    // The time of the last change, when the caller knows it better (the input event's time).
    void setChangeTime(const QDateTime &time) { m_changeTime = time; }
    // The text changed since the last copy (possibly back to it).
    bool hasPendingChange() const { return m_changed; }

    // Writes the copy when one is due and the document is modified; true when a file was written.
    // A failure keeps the copy due (the next call tries again) and is reported by writeFailed.
    bool writeTmpSave();
    // Deletes the copies of the chapter written in this run. Those of the chapter in the document
    // go after a save or an undo back to the saved text: that text is the new baseline.
    void removeTmpSaveFiles(const QString &chapterId);

    QStringList tmpSaveFiles() const { return m_files; }
    QDateTime lastTmpSaveTime() const { return m_lastTmpSaveTime; }

signals:
    void writeFailed(const QString &message);
    void removeFailed(const QString &path);

private:
    void contentsChange(int position, int charsRemoved, int charsAdded);
    void trim(const QString &chapterId);
    QDateTime now() const { return m_clock ? m_clock() : QDateTime::currentDateTime(); }

    QString m_folder;
    QPointer<QTextDocument> m_document;
    std::function<QDateTime()> m_clock;
    QString m_chapterId;
    QString m_lastText;
    bool m_changed = false;
    QDateTime m_changeTime;
    QStringList m_files;
    QDateTime m_lastTmpSaveTime;
};
