#pragma once

#include "cloud/ApiRecords.h"
#include "storage/JsonSerializer.h"

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QSslCertificate>
#include <QString>

#include <atomic>

// The synchronous client of the web service. Every call blocks the calling thread in a local
// event loop of its own; reply, loop and timers are gone when the call returns, and each thread
// keeps one network manager of its own (its kept-alive connections serve the thread's next calls),
// so the GUI thread and the workers share nothing but the address strings.
namespace web {

constexpr int kTimeoutMs = 30000;
// Answers beyond this size are refused: the service never sends more.
constexpr qint64 kMaxReplyBytes = 64LL * 1024 * 1024;

// Addresses, all built from Ink::serviceBaseUrl().
QString apiUrl();                // base + "index.php?g=Inkboat&m=WebApi"
QString indexUrl();              // base + "index.php"
QString appUpdateDir();          // base + "app/"
QString appUpdateInfoUrl();      // appUpdateDir + "updateV<major>.txt"
QString materialUpdateInfoUrl(); // appUpdateDir + "updateMV<major>.txt"

// Templates appended to apiUrl(); filled with one multi-argument arg() each, never chained
// (an encoded "+" is "%2B", which a second arg() would take for placeholder %2).
extern const char *const kRegister;
extern const char *const kLogin;
extern const char *const kHeartbeat;
extern const char *const kLastNews;
extern const char *const kLastNewsDone;
extern const char *const kEshopLinks;
extern const char *const kBeginPush;
extern const char *const kPushDetail;
extern const char *const kCommitPush;
extern const char *const kBeginPull;
extern const char *const kPullDetail;
extern const char *const kFinishPull;
extern const char *const kCancelSync;
extern const char *const kPushActionLog;
extern const char *const kPushBookLog;

// Pages for the browser.
QString loginByTidPage(const QString &tid);
QString articlePage(const QString &id);
QString forgotPasswordPage();
QString shopRedirectPage();

// url as the client's own logs and messages show it: without the password cipher and the session id.
QString urlForLog(const QString &url);

// Certificate authorities trusted besides the system's, for https addresses: a test's own CA. Never
// set by the program, so a service is verified with the system's trust store alone.
void setExtraCaCertificates(const QList<QSslCertificate> &certificates);

// Percent-encoding of the UTF-8 bytes; only letters, digits, "-", ".", "_" and "~" stay.
QString urlEncode(const QString &text);
// MD5 of the UTF-8 bytes, 32 lower-case hex digits.
QString md5Hex(const QString &text);
// Session values and request codes that go into URLs unencoded must look like this.
bool isSafeToken(const QString &text);

// One request. Exactly "get" sends a GET; anything else a POST of body as UTF-8, with no header
// set. Returns the body as UTF-8 up to the first NUL. Throws Exception (code "0") on a network
// error (a certificate that does not verify names the host), a time-out ("请求服务超时！") or an answer beyond kMaxReplyBytes, and EAbort when the
// calling thread is asked to stop.
QString webRequest(const QString &url, const QString &body, const QString &method, int timeoutMs);
// While it exists, a request of this thread also ends with EAbort as soon as *flag turns true
// (a cancel button pressed during the wait); scopes nest.
class CancelScope final
{
public:
    explicit CancelScope(const std::atomic<bool> *flag);
    ~CancelScope();
    Q_DISABLE_COPY(CancelScope)

private:
    const std::atomic<bool> *m_previous;
};
// Appends key=urlEncode(value) items in key order after "&" (url holds a "?" after its start)
// or "?" and calls webRequest.
QString webRequestWithParams(const QString &url, const QMap<QString, QString> &params, const QString &body,
                             const QString &method, int timeoutMs);

// Marks the answer as failed with "API_ERROR_CRC" / "调用远程服务校验失败！".
void markCrcFailure(ApiHead &head);
// The checksum of url's query: MD5 of key and value of each item, fully decoded, in URL order.
QString queryChecksum(const QString &url);
// Fails head when its crc is not exactly the checksum of url, whatever isError says.
void checkResponseCrc(const QString &url, ApiHead &head);
// For response records (type name "Api…Response"): the checksum above, and every uid, sid,
// reqcode and tid the answer carries must be a safe token.
void checkResponseCrc(const QString &url, const QMetaObject &mo, int typeId, void *record, ApiHead &head);

template <class T>
void checkResponseCrc(const QString &url, T &response)
{
    checkResponseCrc(url, T::staticMetaObject, qMetaTypeId<T>(), &response, response.head);
}

// webRequest, the answer decoded into T (nulls and missing keys give defaults; an answer that
// does not fit gives a default T), then checkResponseCrc. Exceptions of webRequest pass through.
template <class T>
T callApi(const QString &url, const QString &body, const QString &method, int timeoutMs)
{
    registerApiRecords();
    const QString text = webRequest(url, body, method, timeoutMs);
    T response;
    JsonSerializer serializer;
    serializer.setAllowDefaultNull(true);
    if (!serializer.deserialize(text.toUtf8(), response))
        response = T();
    checkResponseCrc(url, response);
    return response;
}

// A request record as the service reads it: indented JSON, date-times without milliseconds.
template <class T>
QString requestBody(const T &request)
{
    registerApiRecords();
    JsonSerializer serializer;
    serializer.setDateTimeSeconds(true);
    return QString::fromUtf8(serializer.serialize(request, QJsonDocument::Indented));
}

} // namespace web
