#include "material/SmartSearchWorker.h"

#include "app/App.h"
#include "app/Exception.h"
#include "core/WakeBell.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/Connection.h"

#include <QThread>

using namespace material;

SmartSearchThreadWorker::SmartSearchThreadWorker(SmartSearchState *state, QObject *parent)
    : QObject(parent), m_state(state)
{
    qRegisterMetaType<material::SmartResult>("material::SmartResult");
    m_loader = [](const std::function<bool()> &interrupted) { return SmartLibraries::load(dbConnection(), interrupted); };
}

SmartGate SmartSearchThreadWorker::gate() const
{
    const EditorParams p = sysParamsSnapshot().editorParams;
    SmartGate g;
    g.switchOn = p.smartSentenceWord;
    g.delayMs = p.smartSentenceWordDelay;
    g.lastInput = m_lastInput;
    g.lastCombo = m_lastCombo;
    return g;
}

void SmartSearchThreadWorker::doSmartSearch()
{
    QThread *thread = QThread::currentThread();
    // Read at once (from their caches, usually), so the first suggestion does not wait for them.
    ensureLibraries();
    while (!thread->isInterruptionRequested()) {
        // Read before the pass: a report arriving during it rings after this and is not slept through.
        const quint64 seen = wakebell::rings();
        const qint64 wait = runOnce();
        if (wait != 0)
            wakebell::sleep(seen, wait); // idle (-1): until the editor reports or a stop
    }
}

qint64 SmartSearchThreadWorker::runOnce()
{
    if (m_state->takeResetPending()) {
        m_lastInput.clear();
        m_lastCombo.clear();
    }
    const QString sentenceKey = m_state->takeSentenceRequest();
    if (!sentenceKey.isEmpty()) {
        SmartResult result;
        if (ensureLibraries()) {
            result.libraries = m_libraries;
            result.rows = m_libraries->filter(sentenceKey, false, false);
        }
        emit sentencesFound(sentenceKey, result);
        return 0;
    }
    const SmartSearchState::Snapshot s = m_state->take();
    const qint64 wait = gate().wait(s);
    // Between suggestions: the read takes seconds and only the keyword search waits for it.
    if (wait != 0 && m_state->takeMaterialTextsRequest()) {
        loadMaterialTexts();
        return 0;
    }
    if (wait != 0)
        return wait;
    doSmartSearchWord(s.input, s.combo);
    return 0;
}

bool SmartSearchThreadWorker::ensureLibraries()
{
    if (m_libraries)
        return true;
    if (m_loadFailed && m_state->now() < m_nextLoadAt)
        return false;
    QThread *thread = QThread::currentThread();
    try {
        m_libraries = m_loader([thread] { return thread->isInterruptionRequested(); });
        m_loadFailed = false;
    } catch (const Exception &e) {
        logException(e);
        m_loadFailed = true;
    } catch (const std::exception &e) {
        writeLog(QStringLiteral("err"), QStringLiteral("读取智能搜索词库出错：%1").arg(QString::fromLocal8Bit(e.what())));
        m_loadFailed = true;
    }
    if (m_loadFailed)
        m_nextLoadAt = m_state->now() + kRetryLoadMs;
    return bool(m_libraries);
}

void SmartSearchThreadWorker::loadMaterialTexts()
{
    QThread *thread = QThread::currentThread();
    std::shared_ptr<const LibraryTable> texts;
    try {
        PerformanceLogger timing(QStringLiteral("SmartSearchThread::loadMaterialTexts"));
        texts = SmartLibraries::loadMaterialTexts(dbConnection(), [thread] { return thread->isInterruptionRequested(); });
    } catch (const Exception &e) {
        logException(e);
    }
    m_state->setMaterialTexts(std::move(texts));
}

bool SmartSearchThreadWorker::doSmartSearchWord(const QString &input, const QString &combo)
{
    SmartSearchState::Snapshot s = m_state->take();
    s.input = input;
    s.combo = combo;
    if (gate().wait(s) != 0 || !ensureLibraries())
        return false;
    writeTraceLog(QStringLiteral("thread"),
                  QStringLiteral("SmartSearchThread::doSmartSearchWord, ThreadId:%1, inputString:%2, comboInputString:%3")
                      .arg(quintptr(QThread::currentThreadId()))
                      .arg(input, combo));
    SmartResult result;
    {
        PerformanceLogger timing(QStringLiteral("SmartSearchThread::doSmartSearchWord,%1,%2").arg(input, combo));
        const EditorParams p = sysParamsSnapshot().editorParams;
        result.libraries = m_libraries;
        result.rows = m_libraries->filter(combo, p.smartSentenceWordIncMaterial, p.smartSentenceWordIncMemo);
    }
    if (result.rows.isEmpty()) {
        m_lastInput.clear();
        m_lastCombo.clear();
        m_state->clearIfStill(input, combo);
        emit resetSearchString();
    } else {
        m_lastInput = input;
        m_lastCombo = combo;
    }
    emit searchStringFinish(m_lastInput, m_lastCombo, result);
    return true;
}
