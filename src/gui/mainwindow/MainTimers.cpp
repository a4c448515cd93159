#include "mainwindow/MainTimers.h"

#include "book/RecoveryController.h"
#include "mainwindow/MainWindow.h"
#include "params/SysParams.h"

#include <QTimer>

namespace {

constexpr int kMinAutoSaveSeconds = 10;

} // namespace

MainTimers::MainTimers(MainWindow *window) : QObject(window)
{
    m_timeTimer = new QTimer(this);
    m_timeTimer->setObjectName(QStringLiteral("timeTimer"));
    m_autoSaveTimer = new QTimer(this);
    m_autoSaveTimer->setObjectName(QStringLiteral("autoSaveTimer"));
    m_tmpSaveTimer = new QTimer(this);
    m_tmpSaveTimer->setObjectName(QStringLiteral("tmpSaveTimer"));
    m_smartCheckTimer = new QTimer(this);
    m_smartCheckTimer->setObjectName(QStringLiteral("smartCheckTimer"));
    connect(m_timeTimer, &QTimer::timeout, window, &MainWindow::timeTimerUpdate);
    connect(m_autoSaveTimer, &QTimer::timeout, window, &MainWindow::autoSaveTimerUpdate);
    connect(m_tmpSaveTimer, &QTimer::timeout, window, &MainWindow::tmpSaveTimerUpdate);
    connect(m_smartCheckTimer, &QTimer::timeout, window, &MainWindow::smartCheckTimeUpdate);
    m_timeTimer->setInterval(1000);
    m_tmpSaveTimer->setInterval(1000);
    m_smartCheckTimer->setInterval(3600000);
    applyIntervals();
    start();
}

void MainTimers::applyIntervals()
{
    // A stored interval below ten seconds would save on nearly every pause of the author.
    const int seconds = qMax(kMinAutoSaveSeconds, g_SysParams.saveBookInterval);
    m_autoSaveTimer->setInterval(seconds * 1000);
    followAutoSave();
}

void MainTimers::setUnsaved(bool unsaved)
{
    m_unsaved = unsaved;
    followAutoSave();
}

void MainTimers::followAutoSave()
{
    // Ticks only while the chapter holds unsaved text: a saved chapter gives an idle window
    // nothing to wake for, and the first edit starts the interval.
    if (!g_SysParams.autoSaveBook || !m_running || !m_unsaved)
        m_autoSaveTimer->stop();
    else if (!m_autoSaveTimer->isActive())
        m_autoSaveTimer->start();
}

void MainTimers::start()
{
    m_timeTimer->start();
    if (m_recovery)
        m_recovery->setTicking(true);
    else
        m_tmpSaveTimer->start();
    if (!m_smartCheckStopped)
        m_smartCheckTimer->start();
    m_running = true;
    followAutoSave();
}

void MainTimers::stop()
{
    m_running = false;
    for (QTimer *t : {m_timeTimer, m_autoSaveTimer, m_tmpSaveTimer, m_smartCheckTimer})
        t->stop();
    if (m_recovery)
        m_recovery->setTicking(false);
}

void MainTimers::stopSmartCheck()
{
    m_smartCheckStopped = true;
    m_smartCheckTimer->stop();
}
