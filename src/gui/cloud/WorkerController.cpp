#include "cloud/WorkerController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "app/WorkerHost.h"
#include "cloud/ClientInfo.h"
#include "cloud/CloudLocks.h"
#include "cloud/CloudSync.h"
#include "cloud/CommonThreadWorker.h"
#include "cloud/MyHttpDownload.h"
#include "cloud/NewsViewDialog.h"
#include "cloud/QZipFile.h"
#include "frame/Frames.h"
#include "log/Log.h"
#include "params/SysParams.h"

#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace {

void installDownloaded(const QString &fileName, const QString &downloadFlag)
{
    if (downloadFlag == QLatin1String("APP")) {
        g_App.exitForInstall(fileName);
        return;
    }
    try {
        installMaterialUpgrade(fileName, g_App.appDataPath());
        QFile::remove(fileName);
        g_App.showInfo(QStringLiteral("素材升级完成，确认后将重启应用生效！"));
        g_App.restart();
    } catch (const Exception &e) {
        g_App.showError(QStringLiteral("素材升级异常，异常原因：") + e.message());
    }
}

} // namespace

WorkerController::WorkerController(WorkerHost *host, QStatusBar *statusBar, Hooks hooks, QObject *parent)
    : QObject(parent), m_statusBar(statusBar), m_hooks(std::move(hooks))
{
    g_App.setDownloadFinishedHandler(installDownloaded);
    static const char *const names[3] = {"appInit", "heartbeat", "loopProc"};
    for (int i = 0; i < 3; ++i) {
        m_threads[i] = new QThread;
        m_threads[i]->setObjectName(QString::fromLatin1(names[i])); // the name top -H and gdb show
        m_workers[i] = new CommonThreadWorker;
        m_workers[i]->moveToThread(m_threads[i]);
        if (host)
            host->registerThread(m_threads[i]);
        m_threads[i]->start(QThread::InheritPriority);
    }
    // A running thread is never deleted (nor its worker); a finished one goes with us.
    connect(this, &QObject::destroyed, [threads = QList<QThread *>{m_threads[0], m_threads[1], m_threads[2]},
                                        workers = QList<QObject *>{m_workers[0], m_workers[1], m_workers[2]}] {
        for (int i = 0; i < threads.size(); ++i)
            if (threads[i]->isFinished()) {
                delete workers[i];
                delete threads[i];
            }
    });
}

bool WorkerController::closing() const { return g_App.guiSnapshot().closing.load() || g_App.isQuitting(); }

void WorkerController::showStatus(const QString &text)
{
    if (m_statusBar)
        m_statusBar->showMessage(text, kStatusMs);
}

void WorkerController::commomThreadWorkerSignal(const QString &signalGroup, const QString &signalValue, bool sucess,
                                                const QString &signalDetail)
{
    if (signalGroup == QLatin1String("appInitWorker")) {
        if (signalValue == QLatin1String("links")) {
            addLinkLabels();
        } else if (signalValue == QLatin1String("appUpgrade")) {
            enqueuePrompt([] { showUpgrade(upgrade::App); });
        } else if (signalValue == QLatin1String("materialUpgrade")) {
            enqueuePrompt([] { showUpgrade(upgrade::Material); });
        } else if (signalValue == QLatin1String("logined")) {
            showStatus(sucess ? QStringLiteral("自动登录成功！") : QStringLiteral("自动登录失败！"));
            if (m_hooks.refreshButtons)
                m_hooks.refreshButtons();
        } else if (signalValue == QLatin1String("news")) {
            if (!clientinfo::news().isEmpty())
                enqueuePrompt([] {
                    auto *dialog = new NewsViewDialog(clientinfo::news(), g_App.account().session().isLogined);
                    Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain | Ink::foResizable);
                    delete dialog;
                });
        } else if (signalValue == QLatin1String("appInited")) {
            startUpSync();
            // In line behind the prompts: a toast laid over an open download dialog would cover
            // its buttons and take the author's click.
            if (m_hooks.reminders)
                QTimer::singleShot(reminderDelayMs, this, [this] { enqueuePrompt(m_hooks.reminders); });
        }
    } else if (signalGroup == QLatin1String("heartbeatWorker")) {
        if (signalValue == QLatin1String("message"))
            showStatus(g_App.account().heartbeatMessage());
    } else if (signalGroup == QLatin1String("loopProcWorker")) {
        if (signalValue == QLatin1String("syncStart")) {
            showStatus(signalDetail);
        } else if (signalValue == QLatin1String("sync")) {
            showStatus(signalDetail);
            if (sucess && !closing() && m_hooks.reloadBookTree)
                m_hooks.reloadBookTree();
        }
    }
}

void WorkerController::addLinkLabels()
{
    if (!m_statusBar)
        return;
    for (const ApiLink &link : clientinfo::links()) {
        const QString text = clientinfo::linkLabelText(link);
        if (text.isEmpty())
            continue;
        auto *label = new QLabel(text, m_statusBar);
        label->setObjectName(QStringLiteral("labelLink"));
        label->setTextFormat(Qt::RichText);
        label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
        connect(label, &QLabel::linkActivated, label, [](const QString &address) {
            const QUrl url(address);
            if (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
                QDesktopServices::openUrl(url);
        });
        m_statusBar->addPermanentWidget(label);
    }
}

void WorkerController::startUpSync()
{
    const SysParams params = sysParamsSnapshot();
    if (closing() || !params.cloudSyncParams.syncAtStartUp || !params.cloudSyncParams.active ||
        !g_App.account().session().isLogined || (m_hooks.editorModified && m_hooks.editorModified()))
        return;
    // Another cloud operation (a sign-in, a manual sync) has the store now.
    CloudOperationScope operation;
    if (!operation.started())
        return;
    QString text;
    int pulled = 0;
    const bool ok = syncroutine::startup([this, &text](const QString &status) {
        text = status;
        showStatus(status);
    }, &pulled);
    // Rows a failed sync committed still belong in the trees.
    if ((ok || pulled > 0) && !closing() && m_hooks.reloadBookTree)
        m_hooks.reloadBookTree();
    if (ok)
        return;
    enqueuePrompt([text] { g_App.showError(text); });
}

void WorkerController::enqueuePrompt(std::function<void()> prompt)
{
    if (closing())
        return;
    m_prompts.enqueue(std::move(prompt));
    if (!m_prompting)
        QTimer::singleShot(0, this, &WorkerController::runPrompts);
}

void WorkerController::runPrompts()
{
    if (m_prompting)
        return;
    m_prompting = true;
    while (!m_prompts.isEmpty()) {
        const auto prompt = m_prompts.dequeue();
        if (closing())
            continue;
        try {
            prompt();
        } catch (const Exception &e) {
            logException(e);
        }
    }
    m_prompting = false;
}

void WorkerController::showUpgrade(upgrade::Kind kind)
{
    const UpgradeInfo info = upgrade::upgradeState(kind);
    const QString folder = g_App.tmpPath();
    const QString fileName = info.available() ? upgrade::downloadFileName(info) : QString();
    if (!fileName.isEmpty())
        QFile::remove(folder + fileName);
    auto *dialog = new MyHttpDownload(upgrade::downloadUrl(info), fileName, folder,
                                      kind == upgrade::App ? QStringLiteral("APP") : QStringLiteral("MATERIAL"),
                                      info.news, info.localVersion, info.version, upgrade::noticeText(kind, info.level),
                                      info.level);
    QString doneFile, doneFlag;
    connect(dialog, &MyHttpDownload::signalFinished, dialog, [&](const QString &file, const QString &flag) {
        doneFile = file;
        doneFlag = flag;
    });
    Frames::showFramed(dialog, Ink::foModal | Ink::foParentMain);
    delete dialog;
    // Installing or restarting only once the dialog has gone.
    if (!doneFile.isEmpty())
        g_App.onDownloadFinished(doneFile, doneFlag);
}

void WorkerController::postQuitInfo() { clientinfo::postClientInfo(false, 3000); }
