#pragma once

#include "cloud/CommonThreadWorker.h"
#include "cloud/Upgrade.h"

#include <QObject>
#include <QPointer>
#include <QQueue>

#include <functional>

class QStatusBar;
class QThread;
class QWidget;
class WorkerHost;

// The window's side of the background workers: it starts their threads and turns their reports
// into status texts, link labels and dialogs. Dialogs wait in line and open one at a time; once
// the window is closing only status texts are shown.
class WorkerController final : public QObject
{
    Q_OBJECT
public:
    static constexpr int kStatusMs = 10000;
    // From the start-up work's end to the reminders; tests shorten it.
    int reminderDelayMs = 10000;

    struct Hooks {
        std::function<void()> reloadBookTree;
        std::function<void()> refreshButtons;
        std::function<void()> reminders;       // after the start-up work, reminderDelayMs later
        std::function<bool()> editorModified;
    };

    // The threads register with host.
    WorkerController(WorkerHost *host, QStatusBar *statusBar, Hooks hooks, QObject *parent = nullptr);

    // The window's start signals run the workers' jobs; their reports come to its slot.
    template <class Window>
    void attach(Window *window)
    {
        connect(window, &Window::startAppInit, m_workers[0], &CommonThreadWorker::appInitWorker);
        connect(window, &Window::startHeartbeat, m_workers[1], &CommonThreadWorker::heartbeatWorker);
        connect(window, &Window::startLoopProc, m_workers[2], &CommonThreadWorker::loopProcWorker);
        for (CommonThreadWorker *worker : m_workers)
            connect(worker, &CommonThreadWorker::threadWorkerSignal, window, &Window::commomThreadWorkerSignal);
    }

    CommonThreadWorker *worker(int index) const { return m_workers[index]; }
    QThread *thread(int index) const { return m_threads[index]; }

    void commomThreadWorkerSignal(const QString &signalGroup, const QString &signalValue, bool sucess,
                                  const QString &signalDetail);
    // The client information at close: a short wait, the author is leaving.
    static void postQuitInfo();

    // Opens the download dialog for the last check of kind; a finished download is installed
    // after the dialog has closed.
    static void showUpgrade(upgrade::Kind kind);
    // A prompt waits until the ones before it have closed.
    void enqueuePrompt(std::function<void()> prompt);
    int pendingPrompts() const { return m_prompts.size() + (m_prompting ? 1 : 0); }

private:
    void showStatus(const QString &text);
    void addLinkLabels();
    void startUpSync();
    void runPrompts();
    bool closing() const;

    QPointer<QStatusBar> m_statusBar;
    Hooks m_hooks;
    CommonThreadWorker *m_workers[3] = {};
    QThread *m_threads[3] = {};
    QQueue<std::function<void()>> m_prompts;
    bool m_prompting = false;
};
