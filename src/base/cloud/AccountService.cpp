#include "cloud/AccountService.h"

#include "app/Constants.h"
#include "app/Exception.h"
#include "core/WakeBell.h"
#include "cloud/CloudSync.h"
#include "cloud/WebClient.h"
#include "log/Log.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QMutexLocker>
#include <QThread>

#include <nettle/aes.h>

namespace {

template <class T>
T failedAnswer(const QString &info)
{
    T answer;
    answer.head.isError = true;
    answer.head.errCode = QStringLiteral("0");
    answer.head.errInfo = info;
    return answer;
}

// A failure of the transport (no answer, time-out, checksum), as opposed to a refusal the
// service stated in a valid answer.
bool isTransportFailure(const ApiHead &head)
{
    return head.isError && (head.errCode == QLatin1String("0") || head.errCode == QLatin1String("API_ERROR_CRC") ||
                            head.errCode == QLatin1String("EXCEPTION"));
}

template <class T>
T callSafely(const QString &url)
{
    try {
        return web::callApi<T>(url, QString(), QStringLiteral("get"), web::kTimeoutMs);
    } catch (const EAbort &) {
        throw;
    } catch (const Exception &e) {
        T answer = failedAnswer<T>(e.message());
        answer.head.errCode = QStringLiteral("EXCEPTION");
        return answer;
    } catch (...) {
        T answer = failedAnswer<T>(QStringLiteral("未知错误！"));
        answer.head.errCode = QStringLiteral("EXCEPTION");
        return answer;
    }
}

} // namespace

AccountService::AccountService(std::atomic<bool> &signedIn, Reporter reporter, QObject *parent)
    : QObject(parent), m_signedIn(signedIn), m_reporter(std::move(reporter))
{
}

void AccountService::tell(bool isError, const QString &text) const
{
    if (m_reporter)
        m_reporter(isError, text);
}

QString AccountService::encryptPassword(const QString &password)
{
    const QByteArray key = Ink::webKey().toLatin1();
    QByteArray plain = password.toUtf8();
    const int pad = AES_BLOCK_SIZE - plain.size() % AES_BLOCK_SIZE;
    plain.append(QByteArray(pad, char(pad)));
    QByteArray out(plain.size(), Qt::Uninitialized);
    aes128_ctx ctx;
    aes128_set_encrypt_key(&ctx, reinterpret_cast<const uint8_t *>(key.constData()));
    aes128_encrypt(&ctx, size_t(plain.size()), reinterpret_cast<uint8_t *>(out.data()),
                   reinterpret_cast<const uint8_t *>(plain.constData()));
    return QString::fromLatin1(out.toHex());
}

Session AccountService::session() const
{
    QMutexLocker lock(&m_sessionMutex);
    return m_session;
}

QString AccountService::heartbeatMessage() const
{
    QMutexLocker lock(&m_sessionMutex);
    return m_session.heartbeatMessage;
}

void AccountService::clearSession()
{
    {
        QMutexLocker lock(&m_sessionMutex);
        m_session.uid.clear();
        m_session.sid.clear();
        m_session.username.clear();
        m_session.amt = QStringLiteral("0");
        m_session.heartbeatErrCode = QStringLiteral("0");
        m_session.isLogined = false;
        m_session.heartbeatOk = false;
        m_session.sessionActive = false;
        m_session.autoRelogin = false;
    }
    m_signedIn = false;
}

void AccountService::startSession(const QString &uid, const QString &sid, const QString &username, const QString &amt)
{
    {
        QMutexLocker lock(&m_sessionMutex);
        m_session.uid = uid;
        m_session.sid = sid;
        m_session.username = username;
        m_session.amt = amt;
        m_session.isLogined = true;
        m_session.loginTime = QDateTime::currentDateTime();
        m_session.heartbeatErrCode = QStringLiteral("0");
        m_session.heartbeatOk = true;
        m_session.sessionActive = true;
        m_session.autoRelogin = true;
    }
    m_signedIn = true;
    wakebell::ring(); // the loop worker's log upload starts with a session
}

void AccountService::markLoggedOut(bool full)
{
    {
        QMutexLocker lock(&m_sessionMutex);
        m_session.isLogined = false;
        m_session.amt = QStringLiteral("0");
        if (full) {
            m_session.autoRelogin = false;
            m_session.sessionActive = false;
        }
    }
    m_signedIn = false;
    emit userChanged();
}

bool AccountService::registerUser(const QString &userName, const QString &password, const QString &email, bool silent)
{
    const QString url = web::apiUrl() + QString::fromLatin1(web::kRegister)
                                            .arg(web::urlEncode(userName), web::urlEncode(encryptPassword(password)),
                                                 web::urlEncode(email));
    const ApiBaseResponse answer = callSafely<ApiBaseResponse>(url);
    if (!silent) {
        if (answer.head.isError)
            tell(true, QStringLiteral("用户注册失败，错误信息：") + answer.head.errInfo);
        else
            tell(false, QStringLiteral("用户注册成功！"));
    }
    return !answer.head.isError;
}

bool AccountService::login(const QString &userName, const QString &password, bool silent)
{
    return signIn(userName, password, silent, nullptr);
}

bool AccountService::signIn(const QString &userName, const QString &password, bool silent, bool *transportFailure)
{
    clearSession();
    const QString url = web::apiUrl() + QString::fromLatin1(web::kLogin)
                                            .arg(web::urlEncode(userName), web::urlEncode(encryptPassword(password)),
                                                 Ink::appVersion(), randomString(4));
    ApiLoginResponse answer = callSafely<ApiLoginResponse>(url);
    if (!answer.head.isError && (answer.uid.isEmpty() || answer.sid.isEmpty()))
        web::markCrcFailure(answer.head);
    if (!answer.head.isError) {
        startSession(answer.uid, answer.sid, answer.username, answer.amt);
        CloudSync sync(silent, !silent);
        bool ok = false;
        QString failure;
        try {
            ok = sync.userLogined(answer.uid, userName);
            failure = sync.errorText();
        } catch (const Exception &e) {
            failure = e.message();
        }
        if (!ok) {
            clearSession();
            answer.head.isError = true;
            answer.head.errCode = QStringLiteral("USER_CHANGE");
            answer.head.errInfo = failure.isEmpty() ? QStringLiteral("未知错误！") : failure;
        }
    }
    if (transportFailure)
        *transportFailure = isTransportFailure(answer.head);
    if (!answer.head.isError) {
        QMutexLocker lock(&m_sessionMutex);
        m_session.lastLoginUser = userName;
        m_session.lastLoginPassword = password;
    }
    if (!silent) {
        if (answer.head.isError)
            tell(true, QStringLiteral("用户登录失败，错误信息：") + answer.head.errInfo);
        else
            tell(false, QStringLiteral("用户登录成功！"));
    }
    emit userChanged();
    return !answer.head.isError;
}

bool AccountService::relogin()
{
    const Session s = session();
    const bool ok = signIn(s.lastLoginUser, s.lastLoginPassword, true, &m_reloginTransportFailure);
    emit userChanged();
    return ok;
}

void AccountService::heartbeat()
{
    const Session s = [this] {
        QMutexLocker lock(&m_sessionMutex);
        m_session.heartbeatErrCode = QStringLiteral("-1");
        m_session.heartbeatErrInfo.clear();
        return m_session;
    }();
    try {
        const QString url = web::apiUrl() + QString::fromLatin1(web::kHeartbeat)
                                                .arg(s.uid, web::urlEncode(s.username), s.sid, Ink::appVersion());
        const ApiHeartbeatResponse answer =
            web::callApi<ApiHeartbeatResponse>(url, QString(), QStringLiteral("get"), web::kTimeoutMs);
        QMutexLocker lock(&m_sessionMutex);
        // A sign-in that happened meanwhile owns the fields now.
        if (m_session.sid != s.sid)
            return;
        m_session.heartbeatErrCode = answer.head.errCode;
        m_session.heartbeatErrInfo = answer.head.errInfo;
        m_session.tid = answer.tid;
        m_session.heartbeatOk = answer.head.errCode == QLatin1String("0") && !answer.head.isError;
        if (m_session.heartbeatOk)
            m_session.lastHeartbeatTime = QDateTime::currentDateTime();
    } catch (...) {
        QMutexLocker lock(&m_sessionMutex);
        m_session.heartbeatOk = false;
    }
}

bool AccountService::startupLogin()
{
    const LoginParams params = sysParamsSnapshot().loginParams;
    if (!params.autoLogin || params.userID.isEmpty() || params.password.isEmpty())
        return false;
    return login(params.userID, params.password, true);
}

void AccountService::reloginAfterFailedHeartbeat(const std::function<void(const QString &)> &report)
{
    const Session before = session();
    if (!before.autoRelogin)
        return;
    // The heartbeat that brought us here said the account was signed in elsewhere: signing in
    // again would only throw the other machine out.
    const bool replaced = before.heartbeatErrCode == QLatin1String("-3");
    markLoggedOut(false);
    report(QStringLiteral("logout"));
    bool transportFailure = false;
    if (!replaced) {
        if (relogin())
            heartbeat();
        else
            transportFailure = m_reloginTransportFailure;
    }
    QString message;
    {
        QMutexLocker lock(&m_sessionMutex);
        if (!replaced && m_session.heartbeatOk) {
            message = QStringLiteral("注意：检测到登录断开过，已重新登录成功！");
        } else if (replaced || m_session.heartbeatErrCode == QLatin1String("-3")) {
            message = QStringLiteral("注意：检测到帐号多地登录，如非本人登录，为了安全起见，建议到官网修改密码！");
            m_session.amt = QStringLiteral("0");
            m_session.autoRelogin = false;
            m_session.sessionActive = false;
        } else {
            message = QStringLiteral("注意：检测登录已断开，请手工重新登录或15秒自动重连！");
            m_session.amt = QStringLiteral("0");
            // An outage must not end the automatic attempts the notice promises; a refusal in a
            // valid answer does.
            if (transportFailure) {
                m_session.sessionActive = true;
                m_session.autoRelogin = true;
            }
        }
        m_session.heartbeatMessage = message;
    }
    report(QStringLiteral("message"));
}
