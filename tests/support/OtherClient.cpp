#include "OtherClient.h"

#include "app/App.h"
#include "cloud/WebClient.h"

namespace {

// "&o=1" tells its requests apart from the program's in the service's and the client's logs.
template <class T>
T call(const QString &tail, const QString &body = QString(), const QString &method = QStringLiteral("get"))
{
    return web::callApi<T>(web::apiUrl() + tail + QStringLiteral("&o=1"), body, method, web::kTimeoutMs);
}

QString arg(const char *templ) { return QString::fromLatin1(templ); }

} // namespace

OtherClient OtherClient::ofProgram() { return {g_App.account().session().uid, g_App.account().session().sid}; }

OtherClient OtherClient::signIn(const QString &name, const QString &password)
{
    const auto r = call<ApiLoginResponse>(
        arg(web::kLogin).arg(web::urlEncode(name), web::urlEncode(AccountService::encryptPassword(password)), "4.31", "zzzz"));
    return {r.uid, r.sid};
}

BookItem bookItem(const QString &id, const QString &pid, int nodeType, const QString &title, const QString &text)
{
    BookItem it;
    it.datatype = QStringLiteral("book");
    it.tid = id;
    it.ptid = pid;
    it.nodetype = nodeType;
    it.level = nodeType - 1;
    it.sort = 1;
    it.title = title;
    it.plaintext = it.html = text.isEmpty() ? title : text;
    it.flag = QStringLiteral("A");
    it.create_time = it.update_time = QDateTime::currentDateTime();
    return it;
}

QString OtherClient::heartbeat() const
{
    return call<ApiHeartbeatResponse>(arg(web::kHeartbeat).arg(uid, "x", sid, "4.31")).head.errCode;
}

QList<BookItem> OtherClient::pullAll() const
{
    const auto begin = call<ApiBeginPullResponse>(arg(web::kBeginPull).arg(uid, sid, "0", "", "4.31"));
    QList<BookItem> rows;
    for (int page = 0; page * 100 < begin.totalCount; ++page)
        rows += call<ApiPullDetailResponse>(
                    arg(web::kPullDetail).arg(uid, sid, begin.reqcode, QString::number(page), "100"))
                    .data;
    if (begin.totalCount > 0)
        call<ApiFinshPullResponse>(arg(web::kFinishPull).arg(uid, sid, begin.reqcode));
    return rows;
}

int OtherClient::maxUsn() const
{
    int max = 0;
    for (const BookItem &it : pullAll())
        max = qMax(max, it.usn);
    return max;
}

bool OtherClient::push(QList<BookItem> items) const
{
    int usn = maxUsn();
    const auto begin =
        call<ApiBeginPushResponse>(arg(web::kBeginPush).arg(uid, sid, QString::number(usn), "0", "", "4.31"));
    ApiPushDetailRequest request;
    for (BookItem &it : items) {
        it.usn = ++usn;
        request.data << it;
    }
    call<ApiPushDetailResponse>(arg(web::kPushDetail).arg(uid, sid, begin.reqcode), web::requestBody(request),
                                QStringLiteral("post"));
    return !call<ApiCommitPushResponse>(arg(web::kCommitPush).arg(uid, sid, begin.reqcode)).head.isError;
}

BookItem OtherClient::find(const QString &id) const
{
    for (const BookItem &it : pullAll())
        if (it.tid == id)
            return it;
    return BookItem();
}
