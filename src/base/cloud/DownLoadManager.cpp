#include "cloud/DownLoadManager.h"

#include "log/Log.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRegularExpression>

DownLoadManager::DownLoadManager(QObject *parent) : QObject(parent), m_manager(new QNetworkAccessManager(this)) {}

DownLoadManager::~DownLoadManager()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

QString DownLoadManager::finalFilePath() const { return QDir(m_folder).filePath(m_fileName); }
QString DownLoadManager::tempFilePath() const { return finalFilePath() + QStringLiteral("_tmp"); }

void DownLoadManager::downloadFile(const QUrl &url, const QString &fileName)
{
    if (!m_idle)
        return;
    m_fileName = fileName.isEmpty() ? url.fileName() : fileName;
    m_redirects = 0;
    m_succeeded = false;
    m_lastError.clear();
    if (!m_supportBreakpoint)
        QFile::remove(tempFilePath());
    startRequest(url);
}

void DownLoadManager::startRequest(const QUrl &url)
{
    m_idle = false;
    m_stopping = false;
    m_bodyChecked = false;
    m_bodyWanted = false;
    m_expectedTotal = -1;
    m_url = url;
    const QFileInfo partial(tempFilePath());
    m_bytesCurrentReceived = partial.exists() ? partial.size() : 0;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (m_bytesCurrentReceived > 0)
        request.setRawHeader("Range", QStringLiteral("bytes=%1-").arg(m_bytesCurrentReceived).toLatin1());
    m_reply = m_manager->get(request);
    // Small pieces keep each write short, so the window stays responsive during a large file.
    m_reply->setReadBufferSize(256 * 1024);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &DownLoadManager::onDownloadProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &DownLoadManager::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &DownLoadManager::onFinished);
}

bool DownLoadManager::prepareFile()
{
    if (m_bodyChecked)
        return m_bodyWanted;
    m_bodyChecked = true;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 206 && m_bytesCurrentReceived > 0) {
        // The part must continue exactly where the file ends.
        static const QRegularExpression re(QStringLiteral("^bytes\\s+(\\d+)-(\\d+)/(\\d+|\\*)$"));
        const auto m = re.match(QString::fromLatin1(m_reply->rawHeader("Content-Range")).trimmed());
        if (!m.hasMatch() || m.captured(1).toLongLong() != m_bytesCurrentReceived) {
            fail(QStringLiteral("Content-Range does not continue the partial file"));
            return false;
        }
        if (m.captured(3) != QLatin1String("*"))
            m_expectedTotal = m.captured(3).toLongLong();
        m_file.setFileName(tempFilePath());
        m_bodyWanted = m_file.open(QIODevice::WriteOnly | QIODevice::Append);
    } else if (status == 200) {
        // The whole file, whatever was asked for: start it again.
        m_bytesCurrentReceived = 0;
        const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            m_expectedTotal = length.toLongLong();
        m_file.setFileName(tempFilePath());
        m_bodyWanted = m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
    if ((status == 200 || status == 206) && !m_bodyWanted)
        fail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(tempFilePath())));
    return m_bodyWanted;
}

void DownLoadManager::onReadyRead()
{
    if (m_idle || !m_reply)
        return;
    if (!prepareFile()) {
        m_reply->readAll();
        return;
    }
    const QByteArray data = m_reply->readAll();
    if (m_file.write(data) != data.size())
        fail(QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(tempFilePath())));
}

void DownLoadManager::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (m_idle || !m_reply || !m_bodyWanted)
        return;
    emit signalDownloadProcess(bytesReceived + m_bytesCurrentReceived,
                               bytesTotal < 0 ? -1 : bytesTotal + m_bytesCurrentReceived);
}

void DownLoadManager::fail(const QString &why)
{
    m_lastError = why;
    if (m_reply)
        m_reply->abort(); // finished follows with the error
}

void DownLoadManager::stopWork(bool discard)
{
    m_stopping = true;
    if (m_reply && !m_idle)
        m_reply->abort();
    m_file.close();
    if (discard)
        QFile::remove(tempFilePath());
}

void DownLoadManager::finishWith(int statusCode)
{
    m_idle = true;
    if (!m_succeeded)
        emit signalDownloadError();
    emit signalReplyFinished(statusCode);
}

void DownLoadManager::onFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && m_lastError.isEmpty() && !m_stopping)
        prepareFile(); // an empty body never called readyRead
    reply->deleteLater();
    m_reply = nullptr;
    m_file.close();
    if (m_stopping) {
        m_lastError = QStringLiteral("stopped");
        finishWith(status);
        return;
    }
    if (reply->error() != QNetworkReply::NoError || !m_lastError.isEmpty()) {
        if (m_lastError.isEmpty())
            m_lastError = reply->errorString();
        qDebug().noquote() << "__________" << m_lastError;
        if (status == 416)
            QFile::remove(tempFilePath()); // the partial file is no beginning of this file
        finishWith(status);
        return;
    }
    if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
        const QUrl target = reply->url().resolved(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
        const QString scheme = target.scheme().toLower();
        if (++m_redirects > kMaxRedirects || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
            m_lastError = QStringLiteral("redirect refused: %1").arg(target.toString());
            finishWith(status);
            return;
        }
        qDebug().noquote() << "redirected to" << target.toString();
        startRequest(target);
        return;
    }
    if (status != 200 && status != 206) {
        m_lastError = QStringLiteral("HTTP status %1").arg(status);
        finishWith(status);
        return;
    }
    const qint64 size = QFileInfo(tempFilePath()).size();
    if (m_expectedTotal >= 0 && size != m_expectedTotal) {
        m_lastError = QStringLiteral("incomplete: %1 of %2 bytes").arg(size).arg(m_expectedTotal);
        finishWith(status);
        return;
    }
    QFile::remove(finalFilePath());
    if (!QFile::rename(tempFilePath(), finalFilePath())) {
        m_lastError = QStringLiteral("cannot rename %1").arg(QDir::toNativeSeparators(tempFilePath()));
        finishWith(status);
        return;
    }
    m_succeeded = true;
    finishWith(status);
}
