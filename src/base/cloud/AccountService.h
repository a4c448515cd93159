#pragma once

#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

// The one signed-in session. Several threads read and write it, so it is copied out whole under
// the account's mutex: a URL never mixes the uid of one sign-in with the sid of another.
struct Session {
    QString uid;
    QString sid;
    QString username;
    QString amt;
    QString tid;
    bool isLogined = false;
    QDateTime loginTime;
    bool heartbeatOk = false;
    QString heartbeatErrCode;
    QString heartbeatErrInfo;
    QDateTime lastHeartbeatTime;
    QString heartbeatMessage;
    bool sessionActive = false;
    bool autoRelogin = false;
    QString lastLoginUser;     // memory only
    QString lastLoginPassword; // memory only, never written anywhere
};

// The user account of this program: registration, sign-in, heartbeat and the silent re-sign-in,
// and the session they leave. Callable from any thread.
class AccountService final : public QObject
{
    Q_OBJECT
public:
    // Outcome texts of a sign-in or registration that is not silent.
    using Reporter = std::function<void(bool isError, const QString &text)>;

    // `signedIn` mirrors the session for readers that must not take the mutex (workers).
    explicit AccountService(std::atomic<bool> &signedIn, Reporter reporter, QObject *parent = nullptr);

    Session session() const;
    QString heartbeatMessage() const;
    bool registerUser(const QString &userName, const QString &password, const QString &email, bool silent);
    bool login(const QString &userName, const QString &password, bool silent);
    bool relogin();
    // Never throws; heartbeatErrCode is "-1" while it runs.
    void heartbeat();
    void markLoggedOut(bool full);
    void clearSession();
    // Starts the session of a successful sign-in answer (login step 3).
    void startSession(const QString &uid, const QString &sid, const QString &username, const QString &amt);
    // The start-up sign-in: silent, with the saved user and password, when autoLogin is set.
    bool startupLogin();
    // The heartbeat worker's re-sign-in after a failed heartbeat; reports "logout" and "message".
    void reloginAfterFailedHeartbeat(const std::function<void(const QString &value)> &report);
    // AES-128-ECB/PKCS#7 of the UTF-8 password under the web key, lower-case hex.
    static QString encryptPassword(const QString &password);
    // Something shown of the user changed outside a sign-in (a remembered name).
    void userInfoChanged() { emit userChanged(); }

signals:
    // The signed-in user changed (sign-in, sign-out, a change of user), or something shown of
    // the user did.
    void userChanged();

private:
    Q_DISABLE_COPY(AccountService)
    bool signIn(const QString &userName, const QString &password, bool silent, bool *transportFailure);
    void tell(bool isError, const QString &text) const;

    std::atomic<bool> &m_signedIn;
    Reporter m_reporter;
    mutable QMutex m_sessionMutex;
    Session m_session;
    bool m_reloginTransportFailure = false; // only the heartbeat worker re-signs in
};
