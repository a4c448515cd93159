#pragma once

#include "app/App.h"

#include <QObject>
#include <QHash>
#include <QString>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>

class BookItem;

// What the transfer needs of its progress dialog; the window supplies the dialog itself.
class SyncProgressView
{
public:
    virtual ~SyncProgressView() = default;
    virtual void setValue(int value) = 0;
    // Closes the dialog at once (it may be gone already).
    virtual void close() = 0;
};
// Makes a progress view for label and maximum; its cancel button sets *canceled.
using SyncProgressFactory =
    std::function<SyncProgressView *(const QString &label, int maximum, std::atomic<bool> *canceled)>;

// One sync of BookTree and MemoTree with the cloud store, and the upload of the usage logs.
// A short-lived object per operation; callable from the GUI thread and from worker threads.
class CloudSync final : public QObject
{
    Q_OBJECT
public:
    explicit CloudSync(bool backgroundMode = false, bool showProgress = false, QObject *parent = nullptr);
    ~CloudSync() override;

    // True when newUserName may sign in without losing rows that wait for upload.
    bool canChangeUser(const QString &newUserName);
    // Records the signed-in user; another user's local data goes when nothing waits for upload,
    // else false with changeUserRefusedText() and nothing changed. Holds "CloudSync" throughout.
    bool userLogined(const QString &uid, const QString &userName);

    // pull, then push when it succeeded; the result of the last one run.
    bool sync();
    bool pull();
    bool push();
    // Both true also with errCode "ABORT_SYNC" (nothing committed locally). A network failure
    // throws; everything of the transfer is undone and the request code cancelled first.
    // sync() for a caller that reports one text: a stop with "ABORT_SYNC" is a failure told by
    // abortText, and a thrown Exception a failure with its message; errCode stays as sync left it.
    bool syncReporting(const QString &abortText, QString *failure);

    bool hasUnsyncedRows();
    int unsyncedSize();
    void cancelSync(int timeoutMs = 30000);
    void finish();

    // The usage logs: pushActionLog, then pushBookLog when it succeeded.
    bool uploadLogs();
    bool pushActionLog();
    bool pushBookLog();

    bool isError = false;
    QString errInfo;
    QString errCode = QStringLiteral("0");
    QString reqcode;
    bool backgroundMode;
    bool showProgress;
    bool canceled = false;

    QString errorCode() const { return errCode; }
    QString errorText() const { return errInfo; }
    // Rows a pull of this object committed locally (any run, whatever the result): the
    // callers reload the trees when it is above 0.
    int pulledRows() const { return m_pulledRows; }

    static QString changeUserRefusedText(const QString &currentUserCode);
    static void setProgressFactory(SyncProgressFactory factory);
    // Receives the notices of rows a transfer left out (over the limits); called on the
    // transfer's thread. Without one they are only logged.
    static void setNoticeHandler(std::function<void(const QString &text)> handler);
    // Tests only: called at "afterCopy", "afterNegotiationPull", "afterCommitPush", "beforeLocalCommit".
    static void setTestHook(std::function<void(const char *)> hook);

private:
    void openProgress(const QString &operation, int maximum);
    bool setProgress(int value);
    void closeProgress();
    void resetError();
    bool pullLocked();
    bool pushLocked();
    template <class F>
    bool guarded(F body);
    template <class T>
    T callApi(const QString &url, const QString &body = QString(), const QString &method = QStringLiteral("get"),
              int timeoutMs = 30000);
    void takeHead(const class ApiHead &head);
    bool validatePage(const QList<BookItem> &items, int sentUsn, int pageSize, int page, int pageCount,
                      int totalCount, QList<BookItem> *accepted);
    // Logs and tells the waiting rows the limits keep here, each once in a run.
    void tellHeldBackRows();
    void savePage(const QList<BookItem> &items);
    void applyPull();
    void applyPush();
    bool pushLog(bool actions);
    void testHook(const char *point);
    bool canCommitNow() const;

    Session m_session;
    int m_depth = 0; // nesting of pull inside push, on this object
    int m_pulledRows = 0;
    std::atomic<bool> m_cancelFlag{false};
    std::unique_ptr<SyncProgressView> m_progress;
    QString m_outerReqcode; // the push's request code while its negotiation pulls
    // Rows of this pull that are this client's own upload whose local bookkeeping never
    // happened (a lost commit answer, a crash): keys "DataType/ID".
    QHash<QString, QString> m_pendingDigests;
    QVector<QPair<QString, QString>> m_ownRows;
    // Pulled rows left out by this pull; their USNs still count as seen.
    struct Skipped {
        QString datatype, id, title, why;
        int usn = 0;
    };
    QVector<Skipped> m_skipped;
    int m_skippedMaxUsn = 0;
};

// The automatic sync routines; each reports its status texts through status (called on the
// calling thread) and returns success. *pulledRows tells the caller to reload its trees.
namespace syncroutine {
using Status = std::function<void(const QString &text)>;
// At start-up, after the workers' "appInited": a full sync without a dialog.
bool startup(const Status &status, int *pulledRows);
} // namespace syncroutine
