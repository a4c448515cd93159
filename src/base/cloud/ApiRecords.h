#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

// Records exchanged with the web service. Property names are the JSON keys, spelled as the
// service spells them; every answer is a JSON object with a "head" and the record's own keys.

class ApiHead
{
    Q_GADGET
    Q_PROPERTY(QString app MEMBER app)
    Q_PROPERTY(QString version MEMBER version)
    Q_PROPERTY(bool isError MEMBER isError)
    Q_PROPERTY(QString errCode MEMBER errCode)
    Q_PROPERTY(QString errInfo MEMBER errInfo)
    Q_PROPERTY(QString crc MEMBER crc)
public:
    QString app;
    QString version;
    bool isError = false;
    QString errCode;
    QString errInfo;
    QString crc;
};

class ApiBaseResponse
{
    Q_GADGET
    Q_PROPERTY(ApiHead head MEMBER head)
public:
    ApiHead head;
};

class ApiLoginResponse : public ApiBaseResponse
{
    Q_GADGET
    Q_PROPERTY(QString uid MEMBER uid)
    Q_PROPERTY(QString username MEMBER username)
    Q_PROPERTY(QString sid MEMBER sid)
    Q_PROPERTY(QString amt MEMBER amt)
public:
    QString uid;
    QString username;
    QString sid;
    QString amt;
};

class ApiHeartbeatResponse : public ApiBaseResponse
{
    Q_GADGET
    Q_PROPERTY(QString tid MEMBER tid)
public:
    QString tid;
};

class ApiBeginPushResponse : public ApiBaseResponse
{
    Q_GADGET
    Q_PROPERTY(QString reqcode MEMBER reqcode)
    Q_PROPERTY(bool shouldPull MEMBER shouldPull)
public:
    QString reqcode;
    bool shouldPull = false;
};

class ApiPushDetailResponse : public ApiBaseResponse
{
    Q_GADGET
};

class ApiCommitPushResponse : public ApiBaseResponse
{
    Q_GADGET
};

class ApiBeginPullResponse : public ApiBaseResponse
{
    Q_GADGET
    Q_PROPERTY(QString reqcode MEMBER reqcode)
    Q_PROPERTY(int totalCount MEMBER totalCount)
public:
    QString reqcode;
    int totalCount = 0;
};

class ApiFinshPullResponse : public ApiBaseResponse
{
    Q_GADGET
};

// One BookTree or MemoTree row in transit; the keys stay in this order.
class BookItem
{
    Q_GADGET
    Q_PROPERTY(QString datatype MEMBER datatype)
    Q_PROPERTY(QString tid MEMBER tid)
    Q_PROPERTY(QString ptid MEMBER ptid)
    Q_PROPERTY(int nodetype MEMBER nodetype)
    Q_PROPERTY(int level MEMBER level)
    Q_PROPERTY(double sort MEMBER sort)
    Q_PROPERTY(QString title MEMBER title)
    Q_PROPERTY(QString category MEMBER category)
    Q_PROPERTY(QString rtf MEMBER rtf)
    Q_PROPERTY(QString html MEMBER html)
    Q_PROPERTY(QString plaintext MEMBER plaintext)
    Q_PROPERTY(QString attribute1 MEMBER attribute1)
    Q_PROPERTY(QString attribute2 MEMBER attribute2)
    Q_PROPERTY(QString attribute3 MEMBER attribute3)
    Q_PROPERTY(QDateTime create_time MEMBER create_time)
    Q_PROPERTY(QDateTime update_time MEMBER update_time)
    Q_PROPERTY(QString origtid MEMBER origtid)
    Q_PROPERTY(int usn MEMBER usn)
    Q_PROPERTY(QString flag MEMBER flag)
public:
    QString datatype;
    QString tid;
    QString ptid;
    int nodetype = 0;
    int level = 0;
    double sort = 0;
    QString title;
    QString category;
    QString rtf;
    QString html;
    QString plaintext;
    QString attribute1;
    QString attribute2;
    QString attribute3;
    QDateTime create_time;
    QDateTime update_time;
    QString origtid;
    int usn = 0;
    QString flag;
};

class ApiPullDetailResponse : public ApiBaseResponse
{
    Q_GADGET
    Q_PROPERTY(QList<BookItem> data MEMBER data)
public:
    QList<BookItem> data;
};

class ActionLogItem
{
    Q_GADGET
    Q_PROPERTY(QString action MEMBER action)
    Q_PROPERTY(QDateTime adate MEMBER adate)
    Q_PROPERTY(int triggerCount MEMBER triggerCount)
    Q_PROPERTY(QString attribute1 MEMBER attribute1)
    Q_PROPERTY(QString attribute2 MEMBER attribute2)
    Q_PROPERTY(QString attribute3 MEMBER attribute3)
    Q_PROPERTY(QDateTime create_time MEMBER create_time)
    Q_PROPERTY(QDateTime update_time MEMBER update_time)
public:
    QString action;
    QDateTime adate;
    int triggerCount = 0;
    QString attribute1;
    QString attribute2;
    QString attribute3;
    QDateTime create_time;
    QDateTime update_time;
};

class BookLogItem
{
    Q_GADGET
    Q_PROPERTY(QString bookId MEMBER bookId)
    Q_PROPERTY(QDateTime adate MEMBER adate)
    Q_PROPERTY(int wordCount1 MEMBER wordCount1)
    Q_PROPERTY(int wordCount2 MEMBER wordCount2)
    Q_PROPERTY(QString attribute1 MEMBER attribute1)
    Q_PROPERTY(QString attribute2 MEMBER attribute2)
    Q_PROPERTY(QString attribute3 MEMBER attribute3)
    Q_PROPERTY(QDateTime create_time MEMBER create_time)
    Q_PROPERTY(QDateTime update_time MEMBER update_time)
public:
    QString bookId;
    QDateTime adate;
    int wordCount1 = 0;
    int wordCount2 = 0;
    QString attribute1;
    QString attribute2;
    QString attribute3;
    QDateTime create_time;
    QDateTime update_time;
};

class ApiNews
{
    Q_GADGET
    Q_PROPERTY(QString post_title MEMBER post_title)
    Q_PROPERTY(QString post_excerpt MEMBER post_excerpt)
    Q_PROPERTY(QString tid MEMBER tid)
    Q_PROPERTY(QString smeta MEMBER smeta)
public:
    QString post_title;
    QString post_excerpt;
    QString tid;
    QString smeta;
};

class ApiLink
{
    Q_GADGET
    Q_PROPERTY(QString link_name MEMBER link_name)
    Q_PROPERTY(QString link_url MEMBER link_url)
public:
    QString link_name;
    QString link_url;
};

class ApiNewsResponse : public ApiBaseResponse
{
    Q_GADGET
    Q_PROPERTY(QList<ApiNews> news MEMBER news)
public:
    QList<ApiNews> news;
};

class ApiLinkResponse : public ApiBaseResponse
{
    Q_GADGET
    Q_PROPERTY(QList<ApiLink> links MEMBER links)
public:
    QList<ApiLink> links;
};

class ApiBaseRequest
{
    Q_GADGET
    Q_PROPERTY(QString method MEMBER method)
public:
    QString method;
};

class ApiPushDetailRequest : public ApiBaseRequest
{
    Q_GADGET
    Q_PROPERTY(QList<BookItem> data MEMBER data)
public:
    QList<BookItem> data;
};

class ApiPushActionLogRequest : public ApiBaseRequest
{
    Q_GADGET
    Q_PROPERTY(QList<ActionLogItem> data MEMBER data)
public:
    QList<ActionLogItem> data;
};

class ApiPushBookLogRequest : public ApiBaseRequest
{
    Q_GADGET
    Q_PROPERTY(QList<BookLogItem> data MEMBER data)
public:
    QList<BookLogItem> data;
};

// Property setters compare before they write.
inline bool operator==(const ApiHead &a, const ApiHead &b)
{
    return a.app == b.app && a.version == b.version && a.isError == b.isError && a.errCode == b.errCode &&
           a.errInfo == b.errInfo && a.crc == b.crc;
}
inline bool operator!=(const ApiHead &a, const ApiHead &b) { return !(a == b); }
inline bool operator==(const BookItem &a, const BookItem &b)
{
    return a.datatype == b.datatype && a.tid == b.tid && a.ptid == b.ptid && a.nodetype == b.nodetype &&
           a.level == b.level && a.sort == b.sort && a.title == b.title && a.category == b.category &&
           a.rtf == b.rtf && a.html == b.html && a.plaintext == b.plaintext && a.attribute1 == b.attribute1 &&
           a.attribute2 == b.attribute2 && a.attribute3 == b.attribute3 && a.create_time == b.create_time &&
           a.update_time == b.update_time && a.origtid == b.origtid && a.usn == b.usn && a.flag == b.flag;
}
inline bool operator==(const ActionLogItem &a, const ActionLogItem &b)
{
    return a.action == b.action && a.adate == b.adate && a.triggerCount == b.triggerCount &&
           a.attribute1 == b.attribute1 && a.attribute2 == b.attribute2 && a.attribute3 == b.attribute3 &&
           a.create_time == b.create_time && a.update_time == b.update_time;
}
inline bool operator==(const BookLogItem &a, const BookLogItem &b)
{
    return a.bookId == b.bookId && a.adate == b.adate && a.wordCount1 == b.wordCount1 &&
           a.wordCount2 == b.wordCount2 && a.attribute1 == b.attribute1 && a.attribute2 == b.attribute2 &&
           a.attribute3 == b.attribute3 && a.create_time == b.create_time && a.update_time == b.update_time;
}
inline bool operator==(const ApiNews &a, const ApiNews &b)
{
    return a.post_title == b.post_title && a.post_excerpt == b.post_excerpt && a.tid == b.tid && a.smeta == b.smeta;
}
inline bool operator==(const ApiLink &a, const ApiLink &b)
{
    return a.link_name == b.link_name && a.link_url == b.link_url;
}

Q_DECLARE_METATYPE(ApiHead)
Q_DECLARE_METATYPE(ApiBaseResponse)
Q_DECLARE_METATYPE(ApiLoginResponse)
Q_DECLARE_METATYPE(ApiHeartbeatResponse)
Q_DECLARE_METATYPE(ApiBeginPushResponse)
Q_DECLARE_METATYPE(ApiPushDetailResponse)
Q_DECLARE_METATYPE(ApiCommitPushResponse)
Q_DECLARE_METATYPE(ApiBeginPullResponse)
Q_DECLARE_METATYPE(ApiFinshPullResponse)
Q_DECLARE_METATYPE(BookItem)
Q_DECLARE_METATYPE(ApiPullDetailResponse)
Q_DECLARE_METATYPE(ActionLogItem)
Q_DECLARE_METATYPE(BookLogItem)
Q_DECLARE_METATYPE(ApiNews)
Q_DECLARE_METATYPE(ApiLink)
Q_DECLARE_METATYPE(ApiNewsResponse)
Q_DECLARE_METATYPE(ApiLinkResponse)
Q_DECLARE_METATYPE(ApiBaseRequest)
Q_DECLARE_METATYPE(ApiPushDetailRequest)
Q_DECLARE_METATYPE(ApiPushActionLogRequest)
Q_DECLARE_METATYPE(ApiPushBookLogRequest)

// Registers the list types with the JSON mapping; idempotent and thread-safe.
void registerApiRecords();
