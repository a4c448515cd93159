#include "material/SmartSearchState.h"

#include "core/WakeBell.h"

#include <QElapsedTimer>

#include <utility>

namespace material {

namespace {

qint64 monotonicMs()
{
    static const QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed();
}

} // namespace

SmartSearchState::SmartSearchState(Clock clock) : m_clock(clock ? std::move(clock) : Clock(monotonicMs)) {}

qint64 SmartSearchState::now() const { return m_clock(); }

void SmartSearchState::stampInput()
{
    const qint64 at = now();
    QMutexLocker lock(&m_mutex);
    m_inputAt = at;
    lock.unlock();
    wakebell::ring();
}

void SmartSearchState::publish(const QString &input, const QString &combo)
{
    QMutexLocker lock(&m_mutex);
    m_suppressed = false;
    m_input = input;
    m_combo = combo;
    lock.unlock();
    wakebell::ring();
}

void SmartSearchState::reset(bool suppress)
{
    QMutexLocker lock(&m_mutex);
    if (suppress)
        m_suppressed = true;
    m_resetPending = true;
    m_input.clear();
    m_combo.clear();
    lock.unlock();
    wakebell::ring();
}

void SmartSearchState::clearIfStill(const QString &input, const QString &combo)
{
    QMutexLocker lock(&m_mutex);
    if (m_input == input && m_combo == combo) {
        m_input.clear();
        m_combo.clear();
    }
}

void SmartSearchState::requestSentenceSearch(const QString &key)
{
    QMutexLocker lock(&m_mutex);
    m_sentenceKey = key;
    lock.unlock();
    wakebell::ring();
}

void SmartSearchState::requestMaterialTexts()
{
    {
        QMutexLocker lock(&m_mutex);
        if (std::exchange(m_textsAsked, true))
            return;
    }
    m_textsPending = true;
    wakebell::ring();
}

void SmartSearchState::setMaterialTexts(std::shared_ptr<const LibraryTable> texts)
{
    QMutexLocker lock(&m_mutex);
    m_textsAsked = bool(texts);
    m_texts = std::move(texts);
}

std::shared_ptr<const LibraryTable> SmartSearchState::materialTexts() const
{
    QMutexLocker lock(&m_mutex);
    return m_texts;
}

QString SmartSearchState::takeSentenceRequest()
{
    QMutexLocker lock(&m_mutex);
    return std::exchange(m_sentenceKey, QString());
}

SmartSearchState::Snapshot SmartSearchState::take() const
{
    const qint64 at = now();
    QMutexLocker lock(&m_mutex);
    Snapshot s;
    s.input = m_input;
    s.combo = m_combo;
    s.sinceInputMs = m_inputAt < 0 ? -1 : at - m_inputAt;
    s.suppressed = m_suppressed;
    return s;
}

qint64 SmartGate::wait(const SmartSearchState::Snapshot &s) const
{
    if (!switchOn || s.suppressed || s.combo.isEmpty() || s.sinceInputMs < 0)
        return -1;
    if (s.input == lastInput && s.combo == lastCombo)
        return -1;
    return qMax<qint64>(0, delayMs - s.sinceInputMs);
}

} // namespace material
