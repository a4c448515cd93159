#include "cloud/MyHttpDownload.h"

#include "cloud/DownLoadManager.h"
#include "cloud/Upgrade.h"

#include <QDebug>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel *plainLabel(const QString &text, const QString &name, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setObjectName(name);
    return label;
}

} // namespace

MyHttpDownload::MyHttpDownload(const QString &url, const QString &fileName, const QString &downloadFolder,
                               const QString &downloadFlag, const QString &news, const QString &localVersion,
                               const QString &remoteVersion, const QString &notice, int level, QWidget *parent)
    : Dialog(parent), m_url(url), m_fileName(fileName), m_folder(downloadFolder), m_downloadFlag(downloadFlag)
{
    setWindowTitle(downloadFlag == QLatin1String("MATERIAL") ? QStringLiteral("素材升级") : QStringLiteral("应用升级"));
    auto *form = new QFormLayout;
    auto *noticeLabel = plainLabel(notice, QStringLiteral("labelNotice"), this);
    auto *newsLabel = plainLabel(news, QStringLiteral("labelNews"), this);
    newsLabel->setWordWrap(true);
    m_labelFileSize = plainLabel(QString(), QStringLiteral("labelFileSize"), this);
    m_labelCurrentDownload = plainLabel(QString(), QStringLiteral("labelCurrentDownload"), this);
    m_labelSpeed = plainLabel(QString(), QStringLiteral("labelSpeed"), this);
    m_labelRemainTime = plainLabel(QString(), QStringLiteral("labelRemainTime"), this);
    m_labelStatus = plainLabel(QString(), QStringLiteral("labelStatus"), this);
    form->addRow(QStringLiteral("本地版本："), plainLabel(localVersion, QStringLiteral("labelLocalVersion"), this));
    form->addRow(QStringLiteral("最新版本："), plainLabel(remoteVersion, QStringLiteral("labelRemoteVersion"), this));
    form->addRow(QStringLiteral("最新版本修改说明："), newsLabel);
    form->addRow(QStringLiteral("文件大小："), m_labelFileSize);
    form->addRow(QStringLiteral("当前下载大小："), m_labelCurrentDownload);
    form->addRow(QStringLiteral("下载速度："), m_labelSpeed);
    form->addRow(QStringLiteral("剩余时间："), m_labelRemainTime);
    form->addRow(QStringLiteral("下载状态："), m_labelStatus);
    m_progress = new QProgressBar(this);
    m_start = new QPushButton(QStringLiteral("马上升级"), this);
    m_start->setObjectName(QStringLiteral("pushButtonStart"));
    m_stop = new QPushButton(QStringLiteral("暂停下载"), this);
    m_stop->setObjectName(QStringLiteral("pushButtonStop"));
    m_close = new QPushButton(QStringLiteral("暂时不升级"), this);
    m_close->setObjectName(QStringLiteral("pushButtonClose"));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_start);
    buttons->addWidget(m_stop);
    buttons->addWidget(m_close);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(noticeLabel);
    layout->addLayout(form);
    layout->addWidget(m_progress);
    layout->addLayout(buttons);
    connect(m_start, &QPushButton::clicked, this, &MyHttpDownload::onStartDownload);
    connect(m_stop, &QPushButton::clicked, this, &MyHttpDownload::onStopDownload);
    connect(m_close, &QPushButton::clicked, this, &MyHttpDownload::onCloseDownload);
    const bool offered = level == 1 || level == 2;
    m_start->setEnabled(offered);
    m_stop->setEnabled(false);
    resetLabels();
    setStatus(QStringLiteral("就绪"));
}

MyHttpDownload::~MyHttpDownload() = default;

QString MyHttpDownload::status() const { return m_labelStatus->text(); }

void MyHttpDownload::setStatus(const QString &text) { m_labelStatus->setText(text); }

void MyHttpDownload::resetLabels()
{
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_labelSpeed->setText(QStringLiteral("0 KB/S"));
    m_labelRemainTime->setText(upgrade::timeText(0));
    m_labelFileSize->setText(upgrade::sizeText(0));
    m_labelCurrentDownload->setText(upgrade::sizeText(0));
}

void MyHttpDownload::onStartDownload()
{
    if (!m_manager) {
        m_manager = new DownLoadManager(this);
        connect(m_manager, &DownLoadManager::signalDownloadProcess, this, &MyHttpDownload::onDownloadProcess);
        connect(m_manager, &DownLoadManager::signalReplyFinished, this, &MyHttpDownload::onReplyFinished);
    }
    if (!m_manager->isIdle())
        return;
    m_manager->setDownInto(m_folder);
    if (m_url != m_lastUrl) {
        m_lastReceived = 0;
        m_countedBytes = 0;
        m_lastUrl = m_url;
    }
    m_manager->setSupportBreakpoint(true);
    m_manager->downloadFile(QUrl(m_url), m_fileName);
    m_refresh.start();
    m_countedBytes = 0;
    m_start->setEnabled(false);
    m_stop->setEnabled(true);
    setStatus(QStringLiteral("正在下载"));
}

void MyHttpDownload::onStopDownload()
{
    setStatus(QStringLiteral("停止下载"));
    if (m_manager)
        m_manager->stopWork(false);
    m_labelSpeed->setText(QStringLiteral("0 KB/S"));
    m_labelRemainTime->setText(upgrade::timeText(0));
    m_start->setEnabled(true);
    m_stop->setEnabled(false);
    setStatus(QStringLiteral("停止下载"));
}

void MyHttpDownload::onCloseDownload()
{
    if (m_closing)
        return;
    m_closing = true;
    if (m_manager)
        m_manager->stopWork(true);
    resetLabels();
    setStatus(QStringLiteral("关闭下载"));
    Dialog::reject();
}

void MyHttpDownload::reject() { onCloseDownload(); }

void MyHttpDownload::onDownloadProcess(qint64 bytesReceived, qint64 bytesTotal)
{
    // The bar counts KiB: a file over 2 GiB would overflow its int range.
    if (bytesTotal > 0) {
        m_progress->setRange(0, int(bytesTotal >> 10));
        m_progress->setValue(int(bytesReceived >> 10));
    } else {
        m_progress->setRange(0, 0); // size unknown: a busy bar
    }
    m_countedBytes += qMax<qint64>(0, bytesReceived - m_lastReceived);
    m_lastReceived = bytesReceived;
    const qint64 elapsed = m_refresh.isValid() ? m_refresh.elapsed() : 0;
    if (elapsed < 301)
        return;
    const qint64 speed = m_countedBytes * 1000 / elapsed;
    m_labelSpeed->setText(upgrade::sizeText(speed, true));
    m_labelRemainTime->setText(upgrade::timeText(speed > 0 && bytesTotal > bytesReceived
                                                     ? (bytesTotal - bytesReceived) / speed
                                                     : 0));
    m_labelCurrentDownload->setText(upgrade::sizeText(bytesReceived));
    m_labelFileSize->setText(upgrade::sizeText(bytesTotal));
    m_countedBytes = 0;
    m_refresh.restart();
}

void MyHttpDownload::onReplyFinished(int statusCode)
{
    if (m_closing || status() == QLatin1String("停止下载"))
        return;
    m_start->setEnabled(true);
    m_stop->setEnabled(false);
    if (!m_manager || !m_manager->succeeded()) {
        setStatus(QStringLiteral("下载异常"));
        // Nothing moves any more: the last rate and time left would say otherwise.
        m_labelSpeed->setText(QStringLiteral("0 KB/S"));
        m_labelRemainTime->setText(upgrade::timeText(0));
        qDebug().noquote() << "Download Failed, statusCode:" << statusCode << (m_manager ? m_manager->lastError() : QString());
        return;
    }
    setStatus(QStringLiteral("下载完成"));
    qDebug().noquote() << "Download Success, statusCode:" << statusCode;
    emit signalFinished(m_manager->finalFilePath(), m_downloadFlag);
    m_closing = true;
    accept();
}
