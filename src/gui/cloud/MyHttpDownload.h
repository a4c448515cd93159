#pragma once

#include "frame/Dialog.h"

#include <QElapsedTimer>

class DownLoadManager;
class QLabel;
class QProgressBar;
class QPushButton;

// The upgrade download dialog: the versions, what is new, and a resumable transfer with its
// progress. Service texts are shown as plain text.
class MyHttpDownload : public Dialog
{
    Q_OBJECT
public:
    // downloadFlag "APP" or "MATERIAL"; levels 1 and 2 enable the download controls.
    MyHttpDownload(const QString &url, const QString &fileName, const QString &downloadFolder,
                   const QString &downloadFlag, const QString &news, const QString &localVersion,
                   const QString &remoteVersion, const QString &notice, int level, QWidget *parent = nullptr);
    ~MyHttpDownload() override;

    QString status() const;
    DownLoadManager *manager() const { return m_manager; }

signals:
    void signalFinished(QString fileName, QString downloadFlag);

public slots:
    void onStartDownload();
    void onStopDownload();
    void onCloseDownload();
    void onDownloadProcess(qint64 bytesReceived, qint64 bytesTotal);
    void onReplyFinished(int statusCode);
    // The frame's close button is "暂时不升级".
    void reject() override;

private:
    void setStatus(const QString &text);
    void resetLabels();

    QString m_url;
    QString m_lastUrl;
    QString m_fileName;
    QString m_folder;
    QString m_downloadFlag;
    DownLoadManager *m_manager = nullptr;
    QElapsedTimer m_refresh;
    qint64 m_countedBytes = 0;
    qint64 m_lastReceived = 0;
    bool m_closing = false;

    QLabel *m_labelFileSize;
    QLabel *m_labelCurrentDownload;
    QLabel *m_labelSpeed;
    QLabel *m_labelRemainTime;
    QLabel *m_labelStatus;
    QProgressBar *m_progress;
    QPushButton *m_start;
    QPushButton *m_stop;
    QPushButton *m_close;
};
