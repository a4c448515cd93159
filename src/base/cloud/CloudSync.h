#pragma once

#include <QObject>
#include <QString>

// The sync component. Sign-in depends on two of its rules: a user change must not lose rows
// that wait for upload, and a new user starts from an empty local store.
class CloudSync : public QObject
{
    Q_OBJECT
public:
    explicit CloudSync(bool showProgress = false, QObject *parent = nullptr);

    // True when newUserName may sign in without losing rows that wait for upload.
    bool canChangeUser(const QString &newUserName);
    // Records the signed-in user; another user's local data goes when nothing waits for upload,
    // else false with changeUserRefusedText() and nothing changed. Holds "CloudSync" throughout.
    bool userLogined(const QString &uid, const QString &userName);
    // A full sync; provided by the sync component.
    bool sync();

    // The background form the loop worker uses (backgroundMode true, no progress dialog), its
    // upload and the usage-log upload.
    CloudSync(bool backgroundMode, bool showProgress, QObject *parent = nullptr);
    bool push();
    bool uploadLogs();

    QString errorCode() const { return m_errorCode; }
    QString errorText() const { return m_errorText; }
    bool showProgress() const { return m_showProgress; }

    static QString changeUserRefusedText(const QString &currentUserCode);

private:
    bool m_showProgress;
    QString m_errorCode;
    QString m_errorText;
};
