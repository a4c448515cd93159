#pragma once

#include <QFile>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkAccessManager;

// One resumable download into a folder: the body goes to "<name>_tmp" and becomes "<name>" only
// when the transfer is complete and verified.
class DownLoadManager final : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxRedirects = 5;

    explicit DownLoadManager(QObject *parent = nullptr);
    ~DownLoadManager() override;

    void setDownInto(const QString &folder) { m_folder = folder; }
    void setSupportBreakpoint(bool on) { m_supportBreakpoint = on; }
    bool isIdle() const { return m_idle; }
    // Starts when idle; an empty name is the URL's file name. A redirect keeps the name.
    void downloadFile(const QUrl &url, const QString &fileName);
    // Ends the transfer: the partial file stays for a later resume, or is deleted with discard.
    void stopWork(bool discard = false);

    QString tempFilePath() const;
    QString finalFilePath() const;
    // The outcome of the last transfer: true only for a complete, renamed file.
    bool succeeded() const { return m_succeeded; }
    QString lastError() const { return m_lastError; }
    qint64 bytesCurrentReceived() const { return m_bytesCurrentReceived; }

signals:
    void signalDownloadProcess(qint64 bytesReceived, qint64 bytesTotal);
    void signalReplyFinished(int statusCode);
    void signalDownloadError();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onFinished();

private:
    void startRequest(const QUrl &url);
    // Decides, once the status is known, how the body is written; false when it is not written.
    bool prepareFile();
    void fail(const QString &why);
    void finishWith(int statusCode);

    QNetworkAccessManager *m_manager;
    QPointer<QNetworkReply> m_reply;
    QUrl m_url;
    QString m_folder = QStringLiteral(".");
    QString m_fileName;
    QFile m_file;
    bool m_supportBreakpoint = false;
    bool m_idle = true;
    bool m_stopping = false;
    bool m_bodyChecked = false;
    bool m_bodyWanted = false;
    bool m_succeeded = false;
    int m_redirects = 0;
    qint64 m_bytesCurrentReceived = 0;
    qint64 m_expectedTotal = -1;
    QString m_lastError;
};
