#include "book/TmpSaveWriter.h"

#include "book/TmpSaveFile.h"

#include <QFile>
#include <QFileInfo>
#include <QAbstractTextDocumentLayout>

#include <algorithm>

TmpSaveWriter::TmpSaveWriter(const QString &folder, QTextDocument *document, QObject *parent)
    : QObject(parent), m_folder(folder), m_document(document)
{
    // A document reports its changes only once it has a layout (an editor's always has).
    document->documentLayout();
    connect(document, &QTextDocument::contentsChange, this, &TmpSaveWriter::contentsChange);
}

void TmpSaveWriter::contentsChange(int, int charsRemoved, int charsAdded)
{
    // A change of format alone reports as many characters removed as added; whether the text
    // changed is settled against the last copy when the copy is due.
    Q_UNUSED(charsRemoved)
    Q_UNUSED(charsAdded)
    m_changed = true;
    m_changeTime = now();
}

void TmpSaveWriter::setChapter(const QString &chapterId)
{
    m_chapterId = chapterId;
    m_lastText = m_document ? m_document->toPlainText() : QString();
    m_changed = false;
}

bool TmpSaveWriter::writeTmpSave()
{
    if (!m_changed || m_chapterId.isEmpty() || !m_document || !m_document->isModified())
        return false;
    const QString text = m_document->toPlainText();
    if (text == m_lastText) {
        m_changed = false;
        return false;
    }
    const QDateTime time = m_changeTime.isValid() ? m_changeTime : now();
    QString error;
    const QString path = TmpSaveFile::write(m_folder, m_chapterId, text, time, &error);
    if (path.isEmpty()) {
        emit writeFailed(error);
        return false;
    }
    m_changed = false;
    m_lastText = text;
    m_lastTmpSaveTime = now();
    if (!m_files.contains(path))
        m_files.append(path);
    trim(m_chapterId);
    return true;
}

void TmpSaveWriter::trim(const QString &chapterId)
{
    // Per chapter: the copies kept for another chapter (whose save failed) stay.
    QStringList own;
    for (const QString &path : qAsConst(m_files))
        if (TmpSaveFile::isCopyOf(QFileInfo(path).fileName(), chapterId))
            own << path;
    if (own.size() <= kMaxCopiesPerChapter)
        return;
    // Oldest first: one chapter's names differ only in their time field.
    std::sort(own.begin(), own.end());
    for (int i = 0; i < own.size() - kMaxCopiesPerChapter; ++i) {
        const QString &path = own.at(i);
        if (!QFile::remove(path) && QFile::exists(path)) {
            emit removeFailed(path);
            continue;
        }
        m_files.removeOne(path);
    }
}

void TmpSaveWriter::removeTmpSaveFiles(const QString &chapterId)
{
    for (int i = m_files.size() - 1; i >= 0; --i) {
        const QString path = m_files.at(i);
        if (!TmpSaveFile::isCopyOf(QFileInfo(path).fileName(), chapterId))
            continue;
        if (!QFile::remove(path) && QFile::exists(path)) {
            emit removeFailed(path);
            continue;
        }
        m_files.removeAt(i);
    }
    if (chapterId == m_chapterId)
        setChapter(m_chapterId);
}
