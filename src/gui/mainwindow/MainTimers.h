#pragma once

#include <QObject>

class MainWindow;
class QTimer;
class RecoveryController;

// The window's four clocks: the status-bar clock, the chapter's autosave, the recovery copy and
// the hourly reminder check. Each tick goes to the window's slot of the timer's name.
class MainTimers final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(MainTimers)
public:
    explicit MainTimers(MainWindow *window);

    QTimer *timeTimer() const { return m_timeTimer; }
    QTimer *autoSaveTimer() const { return m_autoSaveTimer; }
    QTimer *tmpSaveTimer() const { return m_tmpSaveTimer; }
    QTimer *smartCheckTimer() const { return m_smartCheckTimer; }

    // Once it exists the recovery copy's timer is started and stopped through its controller.
    void setRecovery(RecoveryController *recovery) { m_recovery = recovery; }
    // Autosave on or off and its interval from the parameters; stopped timers stay stopped.
    void applyIntervals();
    void start();
    void stop();
    // The chapter holds unsaved text: only then does the autosave tick.
    void setUnsaved(bool unsaved);
    // The author went to the options from a reminder: no more checks in this run.
    void stopSmartCheck();

private:
    void followAutoSave();

    RecoveryController *m_recovery = nullptr;
    QTimer *m_timeTimer = nullptr;
    QTimer *m_autoSaveTimer = nullptr;
    QTimer *m_tmpSaveTimer = nullptr;
    QTimer *m_smartCheckTimer = nullptr;
    bool m_smartCheckStopped = false;
    bool m_running = false;
    bool m_unsaved = false;
};
