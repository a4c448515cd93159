#include "cloud/WebClient.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "log/Log.h"
#include "storage/DataAccess.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QHash>
#include <QMetaProperty>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QThread>
#include <QThreadStorage>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <memory>
#include <mutex>

void registerApiRecords()
{
    static std::once_flag once;
    std::call_once(once, [] {
        JsonSerializer::registerListConverters<BookItem>();
        JsonSerializer::registerListConverters<ActionLogItem>();
        JsonSerializer::registerListConverters<BookLogItem>();
        JsonSerializer::registerListConverters<ApiNews>();
        JsonSerializer::registerListConverters<ApiLink>();
    });
}

namespace web {

const char *const kRegister = "&a=register&username=%1&password=%2&email=%3&crypt=1";
const char *const kLogin = "&a=login&username=%1&password=%2&version=%3&rnd=%4&crypt=1";
const char *const kHeartbeat = "&a=heartbeat&uid=%1&username=%2&sid=%3&version=%4";
const char *const kLastNews = "&a=lastnews&uid=%1&username=%2&sid=%3&version=%4";
const char *const kLastNewsDone = "&a=lastnewsdone&uid=%1&username=%2&sid=%3&version=%4&lastid=%5";
const char *const kEshopLinks = "&a=eshoplinks";
const char *const kBeginPush = "&a=beginPush&uid=%1&sid=%2&usn=%3&us=%4&extparams=%5&version=%6";
const char *const kPushDetail = "&a=pushDetail&uid=%1&sid=%2&reqcode=%3";
const char *const kCommitPush = "&a=commitPush&uid=%1&sid=%2&reqcode=%3";
const char *const kBeginPull = "&a=beginPull&uid=%1&sid=%2&usn=%3&extparams=%4&version=%5";
const char *const kPullDetail = "&a=pullDetail&uid=%1&sid=%2&reqcode=%3&page=%4&pagesize=%5";
const char *const kFinishPull = "&a=finishPull&uid=%1&sid=%2&reqcode=%3";
const char *const kCancelSync = "&a=cancelSync&uid=%1&sid=%2&reqcode=%3";
const char *const kPushActionLog = "&a=pushActionLog&uid=%1&sid=%2";
const char *const kPushBookLog = "&a=pushBookLog&uid=%1&sid=%2";

QString apiUrl() { return Ink::serviceBaseUrl() + QStringLiteral("index.php?g=Inkboat&m=WebApi"); }
QString indexUrl() { return Ink::serviceBaseUrl() + QStringLiteral("index.php"); }
QString appUpdateDir() { return Ink::serviceBaseUrl() + QStringLiteral("app/"); }
QString appUpdateInfoUrl() { return appUpdateDir() + Ink::appUpgradeFileName().arg(Ink::majorVersion()); }
QString materialUpdateInfoUrl() { return appUpdateDir() + Ink::materialUpgradeFileName().arg(Ink::majorVersion()); }

QString loginByTidPage(const QString &tid)
{
    return Ink::serviceBaseUrl() + QStringLiteral("index.php?g=Inkboat&m=user&a=loginByTid&tid=%1").arg(tid);
}
QString articlePage(const QString &id)
{
    return Ink::serviceBaseUrl() + QStringLiteral("index.php?g=&m=article&a=index&id=%1").arg(id);
}
QString forgotPasswordPage() { return indexUrl() + QStringLiteral("?g=user&m=login&a=forgot_password"); }
QString shopRedirectPage() { return indexUrl() + QStringLiteral("?g=Inkboat&m=Redirect&a=redirecteshop"); }

QString urlEncode(const QString &text) { return QString::fromLatin1(QUrl::toPercentEncoding(text)); }

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

bool isSafeToken(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return re.match(text).hasMatch();
}

QString urlForLog(const QString &url)
{
    QUrl u(url);
    QUrlQuery query(u);
    if (!query.hasQueryItem(QStringLiteral("password")) && !query.hasQueryItem(QStringLiteral("sid")))
        return url;
    query.removeAllQueryItems(QStringLiteral("password"));
    query.removeAllQueryItems(QStringLiteral("sid"));
    u.setQuery(query);
    return u.toString();
}

namespace {

// Qt's error texts quote the URL, and the URLs carry the password cipher and the session id.
QString withoutSecrets(QString text, const QString &url)
{
    const QString safe = urlForLog(url);
    const QUrl u(url);
    for (const QString &form : {url, u.toString(), u.toDisplayString(), QString::fromLatin1(u.toEncoded())})
        if (!form.isEmpty())
            text.replace(form, safe);
    static const QRegularExpression secret(QStringLiteral("([?&])(password|sid)=[^&\\s#]*&?"));
    text.replace(secret, QStringLiteral("\\1"));
    return text;
}

std::mutex g_caMutex;
QList<QSslCertificate> g_extraCas;
int g_caGeneration = 0; // under g_caMutex: raised whenever g_extraCas changes
// Under g_caMutex: the last TLS session per "host:port", shared by all threads, so that a thread's
// new connection resumes it instead of a full handshake. Dropped with a change of trust.
QHash<QString, QByteArray> g_tlsSessions;

QString tlsSessionKey(const QUrl &url) { return url.host() + QLatin1Char(':') + QString::number(url.port(443)); }

// Each thread keeps one manager, so calls reuse its kept-alive connections (and their TLS
// sessions) instead of paying a connection and a handshake each. Qt deletes it when the thread
// ends (the GUI thread's with the application object).
struct ThreadClient {
    QNetworkAccessManager manager;
    int caGeneration = 0;
};
QThreadStorage<ThreadClient *> t_client;

// This thread's manager; with the trust changed since its last call it drops its connections
// first (a connection verified under the old trust must not serve the new one).
QNetworkAccessManager &threadManager(int caGeneration)
{
    if (!t_client.hasLocalData())
        t_client.setLocalData(new ThreadClient);
    ThreadClient *client = t_client.localData();
    if (client->caGeneration != caGeneration) {
        client->manager.clearConnectionCache();
        client->caGeneration = caGeneration;
    }
    return client->manager;
}

thread_local const std::atomic<bool> *t_cancelFlag = nullptr;

bool cancelRequested() { return t_cancelFlag && t_cancelFlag->load(); }

} // namespace

void setExtraCaCertificates(const QList<QSslCertificate> &certificates)
{
    std::lock_guard<std::mutex> lock(g_caMutex);
    g_extraCas = certificates;
    ++g_caGeneration;
    g_tlsSessions.clear();
}

CancelScope::CancelScope(const std::atomic<bool> *flag) : m_previous(t_cancelFlag) { t_cancelFlag = flag; }
CancelScope::~CancelScope() { t_cancelFlag = m_previous; }

QString webRequest(const QString &url, const QString &body, const QString &method, int timeoutMs)
{
    PerformanceLogger perf(QStringLiteral("Web访问：") + urlForLog(url));
    QNetworkRequest request{QUrl(url)};
    const bool https = request.url().scheme() == QLatin1String("https");
    int caGeneration = 0;
    {
        std::lock_guard<std::mutex> lock(g_caMutex);
        caGeneration = g_caGeneration;
        if (https) {
            QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
            if (!g_extraCas.isEmpty())
                tls.setCaCertificates(tls.caCertificates() + g_extraCas);
            // Qt keeps the session only when asked; it comes back with the reply (see below).
            tls.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
            tls.setSessionTicket(g_tlsSessions.value(tlsSessionKey(request.url())));
            request.setSslConfiguration(tls);
        }
    }
    QNetworkAccessManager &manager = threadManager(caGeneration);
    // The protocol carries its session in the query: a kept manager must not start keeping cookies.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // Every body the client posts is JSON; without the header Qt guesses a form and warns.
    if (method != QLatin1String("get"))
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json; charset=utf-8"));
    // Deleted here, not later: a worker thread may never return to an event loop that would.
    const std::unique_ptr<QNetworkReply> reply(method == QLatin1String("get") ? manager.get(request)
                                                                                : manager.post(request, body.toUtf8()));
    enum class End { Running, Finished, TimedOut, Interrupted, TooLarge } end = End::Running;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QTimer poll;
    poll.setInterval(100);
    auto finish = [&](End why) {
        if (end == End::Running)
            end = why;
        loop.quit();
    };
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, [&] { finish(End::Finished); });
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] { finish(End::TimedOut); });
    // A stop request must not wait for the service: the thread's owner waits only a few seconds.
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (QThread::currentThread()->isInterruptionRequested() || cancelRequested())
            finish(End::Interrupted);
    });
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64 total) {
        if (received > kMaxReplyBytes || total > kMaxReplyBytes)
            finish(End::TooLarge);
    });
    timer.start(timeoutMs);
    poll.start();
    if (QThread::currentThread()->isInterruptionRequested() || cancelRequested())
        end = End::Interrupted;
    else
        loop.exec();
    timer.stop();
    poll.stop();
    QObject::disconnect(reply.get(), nullptr, &loop, nullptr);

    if (end != End::Finished) {
        reply->abort();
        switch (end) {
        case End::Interrupted:
            throw EAbort();
        case End::TooLarge:
            throw Exception(QStringLiteral("服务应答数据过大！"), QStringLiteral("0"));
        default:
            throw Exception(QStringLiteral("请求服务超时！"), QStringLiteral("0"));
        }
    }
    if (reply->error() != QNetworkReply::NoError) {
        // Qt says only "SSL handshake failed": the author must learn which address is not trusted.
        // 429 is the web server's own limit on sign-ins and registrations per address.
        const QString message =
            reply->error() == QNetworkReply::SslHandshakeFailedError
                ? QStringLiteral("无法验证服务器 %1 的安全证书，连接已取消！").arg(QUrl(url).host())
            : reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 429
                ? QStringLiteral("请求过于频繁，请稍后再试！")
                : withoutSecrets(reply->errorString(), url);
        reply->abort();
        throw Exception(message, QStringLiteral("0"));
    }
    if (https) {
        const QByteArray session = reply->sslConfiguration().sessionTicket();
        std::lock_guard<std::mutex> lock(g_caMutex);
        if (!session.isEmpty() && caGeneration == g_caGeneration)
            g_tlsSessions.insert(tlsSessionKey(request.url()), session);
    }
    QByteArray bytes = reply->readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes);
}

QString webRequestWithParams(const QString &url, const QMap<QString, QString> &params, const QString &body,
                             const QString &method, int timeoutMs)
{
    QStringList items;
    for (auto it = params.constBegin(); it != params.constEnd(); ++it)
        items << it.key() + QLatin1Char('=') + urlEncode(it.value());
    const QString joined = items.join(QLatin1Char('&'));
    const QString full = url + (url.indexOf(QLatin1Char('?')) > 0 ? QLatin1Char('&') : QLatin1Char('?')) + joined;
    return webRequest(full, body, method, timeoutMs);
}

void markCrcFailure(ApiHead &head)
{
    head.errCode = QStringLiteral("API_ERROR_CRC");
    head.isError = true;
    head.errInfo = QStringLiteral("调用远程服务校验失败！");
}

QString queryChecksum(const QString &url)
{
    QString text;
    const QUrlQuery query{QUrl(url)};
    for (const auto &item : query.queryItems(QUrl::FullyDecoded))
        text += item.first + item.second;
    return md5Hex(text);
}

void checkResponseCrc(const QString &url, ApiHead &head)
{
    if (head.crc != queryChecksum(url))
        markCrcFailure(head);
}

void checkResponseCrc(const QString &url, const QMetaObject &mo, int typeId, void *record, ApiHead &head)
{
    static const QRegularExpression responseType(QStringLiteral("Api\\w+Response"));
    if (!responseType.match(QString::fromLatin1(QMetaType::typeName(typeId))).hasMatch())
        return;
    checkResponseCrc(url, head);
    if (head.errCode == QLatin1String("API_ERROR_CRC"))
        return;
    // The checksum authenticates nothing: values that go back into URLs unencoded must not be
    // able to add or cut query items.
    for (const char *name : {"uid", "sid", "reqcode", "tid"}) {
        const int index = mo.indexOfProperty(name);
        if (index < 0)
            continue;
        const QString value = mo.property(index).readOnGadget(record).toString();
        if (!value.isEmpty() && !isSafeToken(value)) {
            markCrcFailure(head);
            return;
        }
    }
}

} // namespace web
