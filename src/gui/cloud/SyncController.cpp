#include "cloud/SyncController.h"

#include "app/App.h"
#include "app/Exception.h"
#include "cloud/CloudLocks.h"
#include "cloud/CloudSync.h"
#include "frame/Toast.h"
#include "params/SysParams.h"

#include <QApplication>
#include <QProgressDialog>
#include <QScreen>
#include <QStatusBar>
#include <QThread>

namespace {

// The transfer's modal progress dialog. Held through a QPointer: the dialog can be gone (a
// negotiation pull closes it) while the transfer still holds the view.
class ProgressDialogView : public SyncProgressView
{
public:
    ProgressDialogView(const QString &operation, int maximum, std::atomic<bool> *canceled)
    {
        QWidget *parent = QApplication::activeWindow();
        m_dialog = new QProgressDialog(QStringLiteral("正在进行%1...").arg(operation), QStringLiteral("取消"), 0,
                                       maximum, parent, Qt::Dialog | Qt::FramelessWindowHint);
        m_dialog->setObjectName(QStringLiteral("syncProgressDialog"));
        m_dialog->setWindowTitle(QStringLiteral("请稍后"));
        m_dialog->setWindowModality(Qt::ApplicationModal);
        m_dialog->setStyleSheet(QStringLiteral("QProgressDialog{border:1px solid palette(highlight);border-radius:5px "
                                               "5px 5px 5px;background-color:palette(Window);}"));
        m_dialog->setAutoClose(false);
        m_dialog->setAutoReset(false);
        m_dialog->setMinimumDuration(0);
        // The flag is read by the web call in flight too: the wait ends at once.
        QObject::connect(m_dialog, &QProgressDialog::canceled, m_dialog, [canceled] { *canceled = true; });
        m_dialog->adjustSize();
        const QRect area = parent ? parent->frameGeometry() : QGuiApplication::primaryScreen()->availableGeometry();
        m_dialog->move(area.center() - m_dialog->rect().center());
        m_dialog->show();
        QApplication::processEvents();
    }
    ~ProgressDialogView() override { close(); }
    void setValue(int value) override
    {
        if (m_dialog && !m_dialog->wasCanceled())
            m_dialog->setValue(value);
    }
    void close() override
    {
        if (m_dialog) {
            m_dialog->hide();
            delete m_dialog.data();
        }
    }

private:
    QPointer<QProgressDialog> m_dialog;
};

} // namespace

SyncController::SyncController(QWidget *window, QStatusBar *statusBar, std::function<void()> reloadTrees,
                               QObject *parent)
    : QObject(parent), m_window(window), m_statusBar(statusBar), m_reloadTrees(std::move(reloadTrees))
{
    CloudSync::setProgressFactory(
        [](const QString &operation, int maximum, std::atomic<bool> *canceled) -> SyncProgressView * {
            // Widgets live on the GUI thread only.
            if (!qApp || QThread::currentThread() != qApp->thread())
                return nullptr;
            return new ProgressDialogView(operation, maximum, canceled);
        });
    // Rows a transfer left out are told where the author looks, from whichever thread it ran on.
    QPointer<SyncController> self(this);
    CloudSync::setNoticeHandler([self](const QString &text) {
        QMetaObject::invokeMethod(qApp, [self, text] {
            if (!self)
                return;
            self->showStatus(text);
            Toast::showTip(text, self->m_window, kStatusMs, Qt::AlignBottom);
        }, Qt::QueuedConnection);
    });
}

SyncController::~SyncController()
{
    CloudSync::setProgressFactory(nullptr);
    CloudSync::setNoticeHandler(nullptr);
}

void SyncController::showStatus(const QString &text)
{
    if (m_statusBar)
        m_statusBar->showMessage(text, kStatusMs);
}

void SyncController::manualSync()
{
    CloudOperationScope scope;
    if (!scope.started())
        return;
    emit busyChanged();
    showStatus(QStringLiteral("手工云同步中..."));
    CloudSync sync(false, true);
    QString failure;
    // A manual sync stops only for the chapter being edited: the pulled rows would replace its
    // unsaved text. The author is told so, and what to do.
    const bool ok = sync.syncReporting(
        QStringLiteral("当前章节有未保存的修改，本次云同步未进行。请先保存（Ctrl+S），再手工云同步。"), &failure);
    if ((ok || sync.pulledRows() > 0) && m_reloadTrees)
        m_reloadTrees();
    if (ok) {
        showStatus(QStringLiteral("手工云同步成功！"));
    } else {
        const QString text = QStringLiteral("手工云同步失败！错误信息：%0").replace(QLatin1String("%0"), failure);
        showStatus(text);
        if (sync.errCode != QLatin1String("CANCELED_BY_USER"))
            g_App.showError(text);
        // The account was signed in on another computer: this session is over now, not only at
        // the next heartbeat, so that signing in again is offered at once.
        if (sync.errCode == QLatin1String("-3"))
            g_App.account().markLoggedOut(true);
    }
    QMetaObject::invokeMethod(this, &SyncController::busyChanged, Qt::QueuedConnection);
}

void SyncController::uploadAtExit(bool documentModified)
{
    const CloudSyncParams p = g_SysParams.cloudSyncParams;
    if (!p.active || !p.syncAtExit || !g_App.account().session().isLogined || documentModified)
        return;
    CloudSync sync(false, false);
    if (!sync.hasUnsyncedRows())
        return;
    if (g_App.ask(QStringLiteral("本地有修改的内容上传到云空间，需要马上上传吗？")) != Ink::maYes)
        return;
    CloudOperationScope scope;
    showStatus(QStringLiteral("修改的内容上传中..."));
    bool ok = false;
    try {
        ok = sync.push();
    } catch (const Exception &e) {
        sync.errInfo = e.message();
    }
    if (ok && sync.errCode != QLatin1String("ABORT_SYNC"))
        showStatus(QStringLiteral("修改的内容上传成功！"));
    else
        g_App.showError(QStringLiteral("上传失败，错误信息：") + sync.errInfo);
}
