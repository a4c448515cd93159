#pragma once

#include "material/SmartLibrary.h"

#include <QMutex>
#include <QString>

#include <atomic>
#include <functional>

namespace material {

// What the editor last reported, shared by the editor slots (GUI thread) and the suggestion
// worker. Strings and time change together under one mutex; the flags are atomic. Every report
// rings the wake bell the worker sleeps on. Times come
// from a monotonic clock, so a clock set back does not hold the suggestions up.
class SmartSearchState
{
public:
    // Milliseconds of a monotonic clock; tests inject their own.
    using Clock = std::function<qint64()>;
    explicit SmartSearchState(Clock clock = Clock());

    struct Snapshot {
        QString input;
        QString combo;
        qint64 sinceInputMs = -1; // -1: no keystroke yet
        bool suppressed = false;
    };

    qint64 now() const;
    // A keystroke: the delay counts from here.
    void stampInput();
    // New strings from the editor: they clear the suppression.
    void publish(const QString &input, const QString &combo);
    // Forget the strings; the worker forgets the pair it searched. An editor reset also
    // suppresses searching until new strings arrive.
    void reset(bool suppress);
    // After a search found nothing: empties the strings unless newer ones arrived meanwhile.
    void clearIfStill(const QString &input, const QString &combo);

    // The author asks for the sentences holding key (Ctrl+W): searched at once, whatever the
    // switch and the delay. takeSentenceRequest() hands it to the worker once.
    void requestSentenceSearch(const QString &key);
    QString takeSentenceRequest();

    // The keyword search asks for the material texts in memory; the worker reads them once and
    // hands them over with setMaterialTexts (null after a failed read, so that a later search
    // asks again).
    void requestMaterialTexts();
    bool takeMaterialTextsRequest() { return m_textsPending.exchange(false); }
    void setMaterialTexts(std::shared_ptr<const LibraryTable> texts);
    std::shared_ptr<const LibraryTable> materialTexts() const;

    Snapshot take() const;
    bool takeResetPending() { return m_resetPending.exchange(false); }
    bool isSuppressed() const { return m_suppressed.load(); }

private:
    Clock m_clock;
    mutable QMutex m_mutex;
    QString m_input;
    QString m_combo;
    QString m_sentenceKey;
    qint64 m_inputAt = -1;
    std::atomic<bool> m_suppressed{false};
    std::atomic<bool> m_resetPending{false};
    std::shared_ptr<const LibraryTable> m_texts;
    bool m_textsAsked = false;
    std::atomic<bool> m_textsPending{false};
};

// When the worker may search: 0 now, a positive number of milliseconds to wait for the
// delay, -1 when there is nothing to search until the editor reports something.
struct SmartGate {
    bool switchOn = false;
    int delayMs = 0;
    QString lastInput; // the pair the worker searched last
    QString lastCombo;
    qint64 wait(const SmartSearchState::Snapshot &s) const;
};

} // namespace material
