#include "cloud/ClientInfo.h"

#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "cloud/WebClient.h"
#include "log/Log.h"
#include "storage/DataAccess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUrl>

namespace clientinfo {

namespace {

// QJsonObject sorts its keys; the service is sent the fields in their declared order.
QString orderedJson(const QList<QPair<QString, QString>> &fields)
{
    QStringList items;
    for (const auto &f : fields) {
        const QByteArray pair = QJsonDocument(QJsonArray{f.first, f.second}).toJson(QJsonDocument::Compact);
        // "[\"key\",\"value\"]" → "\"key\":\"value\""
        QString text = QString::fromUtf8(pair.mid(1, pair.size() - 2));
        const int comma = QJsonDocument(QJsonArray{f.first}).toJson(QJsonDocument::Compact).size() - 2;
        text[comma] = QLatin1Char(':');
        items << text;
    }
    return QLatin1Char('{') + items.join(QLatin1Char(',')) + QLatin1Char('}');
}

QString procField(const QString &text, const QString &name)
{
    const QRegularExpression re(QStringLiteral("^%1\\s*:\\s*(.*)$").arg(QRegularExpression::escape(name)),
                                QRegularExpression::MultilineOption);
    const auto m = re.match(text);
    return m.hasMatch() ? m.captured(1).trimmed() : QString();
}

QString readProc(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

struct Hardware {
    QString frequency, vendor, name, logical, physical, totalMemory;
};

// /proc is read once a run; unreadable fields stay empty.
const Hardware &hardware()
{
    static const Hardware h = [] {
        Hardware h;
        const QString cpu = readProc(QStringLiteral("/proc/cpuinfo"));
        h.frequency = procField(cpu, QStringLiteral("cpu MHz"));
        h.vendor = procField(cpu, QStringLiteral("vendor_id"));
        h.name = procField(cpu, QStringLiteral("model name"));
        const int processors = cpu.count(QRegularExpression(QStringLiteral("^processor\\s*:"), QRegularExpression::MultilineOption));
        h.logical = processors > 0 ? QString::number(processors) : QString();
        h.physical = procField(cpu, QStringLiteral("cpu cores"));
        h.totalMemory = procField(readProc(QStringLiteral("/proc/meminfo")), QStringLiteral("MemTotal"));
        return h;
    }();
    return h;
}

} // namespace

QString osInfoJson()
{
    return orderedJson({{QStringLiteral("osProductType"), QSysInfo::productType()},
                        {QStringLiteral("osProduct"), QSysInfo::prettyProductName()},
                        {QStringLiteral("osVerion"), QSysInfo::productVersion()},
                        {QStringLiteral("osEdition"), QSysInfo::kernelType() + QLatin1Char(' ') + QSysInfo::kernelVersion()}});
}

QString hardwareInfoJson()
{
    const Hardware &h = hardware();
    const QString freeMemory = procField(readProc(QStringLiteral("/proc/meminfo")), QStringLiteral("MemAvailable"));
    return orderedJson({{QStringLiteral("cpuArchitecture"), QSysInfo::currentCpuArchitecture()},
                        {QStringLiteral("cpuFrequencyInfo"), h.frequency},
                        {QStringLiteral("cpuVendorIDString"), h.vendor},
                        {QStringLiteral("cpuManufacturer"), h.vendor},
                        {QStringLiteral("cpuName"), h.name},
                        {QStringLiteral("cpuLogicalCore"), h.logical},
                        {QStringLiteral("cpuPhysicalCore"), h.physical},
                        {QStringLiteral("totalMemory"), h.totalMemory},
                        {QStringLiteral("freeMemory"), freeMemory},
                        {QStringLiteral("machineUniqueId"), getSysParam(QStringLiteral("Sys.MachineUniqueId"))},
                        {QStringLiteral("machineHostName"), QSysInfo::machineHostName()}});
}

QMap<QString, QString> clientInfoParams(bool startUp)
{
    return {{QStringLiteral("g"), Ink::applicationName()},
            {QStringLiteral("m"), QStringLiteral("WebApi")},
            {QStringLiteral("a"), QStringLiteral("postclientinfo")},
            {QStringLiteral("sid"), g_App.account().session().sid},
            {QStringLiteral("app_name"), Ink::productName()},
            {QStringLiteral("app_ver"), Ink::appVersion()},
            {QStringLiteral("attr0"), startUp ? QStringLiteral("StartUp") : QStringLiteral("Quit")},
            {QStringLiteral("attr1"), osInfoJson()},
            {QStringLiteral("attr2"), hardwareInfoJson()},
            {QStringLiteral("attr3"), getSysParam(QStringLiteral("Sys.MachineUniqueId"))},
            {QStringLiteral("os"), QStringLiteral("linux")}};
}

void postClientInfo(bool startUp, int timeoutMs)
{
    PerformanceLogger perf(QStringLiteral("上传客户端信息"));
    try {
        web::webRequestWithParams(web::indexUrl(), clientInfoParams(startUp), QString(), QStringLiteral("get"), timeoutMs);
    } catch (...) {
        // Nobody waits for this answer.
    }
}

QList<ApiLink> links()
{
    QList<ApiLink> list;
    for (const QVariant &v : g_App.sharedValue(QStringLiteral("links")).toList()) {
        const QVariantMap m = v.toMap();
        ApiLink l;
        l.link_name = m.value(QStringLiteral("link_name")).toString();
        l.link_url = m.value(QStringLiteral("link_url")).toString();
        list << l;
    }
    return list;
}

void setLinks(const QList<ApiLink> &links)
{
    QVariantList list;
    for (const ApiLink &l : links)
        list << QVariantMap{{QStringLiteral("link_name"), l.link_name}, {QStringLiteral("link_url"), l.link_url}};
    g_App.setSharedValue(QStringLiteral("links"), list);
}

QList<ApiNews> news()
{
    QList<ApiNews> list;
    for (const QVariant &v : g_App.sharedValue(QStringLiteral("news")).toList()) {
        const QVariantMap m = v.toMap();
        ApiNews n;
        n.post_title = m.value(QStringLiteral("post_title")).toString();
        n.post_excerpt = m.value(QStringLiteral("post_excerpt")).toString();
        n.tid = m.value(QStringLiteral("tid")).toString();
        n.smeta = m.value(QStringLiteral("smeta")).toString();
        list << n;
    }
    return list;
}

void setNews(const QList<ApiNews> &news)
{
    QVariantList list;
    for (const ApiNews &n : news)
        list << QVariantMap{{QStringLiteral("post_title"), n.post_title}, {QStringLiteral("post_excerpt"), n.post_excerpt},
                            {QStringLiteral("tid"), n.tid}, {QStringLiteral("smeta"), n.smeta}};
    g_App.setSharedValue(QStringLiteral("news"), list);
}

void fetchLinks()
{
    try {
        const auto answer = web::callApi<ApiLinkResponse>(web::apiUrl() + QString::fromLatin1(web::kEshopLinks), QString(),
                                                          QStringLiteral("get"), web::kTimeoutMs);
        if (!answer.head.isError)
            setLinks(answer.links);
    } catch (const Exception &e) {
        if (!e.isAbort())
            writeLog(QStringLiteral("err"), QStringLiteral("读取链接失败：%1").arg(e.message()));
    }
    if (links().isEmpty()) {
        ApiLink shop;
        shop.link_name = QStringLiteral("官方淘宝店");
        shop.link_url = web::shopRedirectPage();
        setLinks({shop});
    }
}

QString lastNewsUrl()
{
    const Session s = g_App.account().session();
    // These characters would cut the query or change its checksum; any other name goes as it is.
    QString name;
    for (const QChar c : s.username)
        name += QStringLiteral("&#+%").contains(c) ? web::urlEncode(QString(c)) : QString(c);
    return web::apiUrl() + QString::fromLatin1(web::kLastNews)
                               .arg(s.uid.isEmpty() ? QStringLiteral("0") : s.uid, name, s.sid, Ink::appVersion());
}

void fetchNews()
{
    try {
        const auto answer = web::callApi<ApiNewsResponse>(lastNewsUrl(), QString(), QStringLiteral("get"), web::kTimeoutMs);
        if (!answer.head.isError)
            setNews(answer.news);
    } catch (const Exception &e) {
        if (!e.isAbort())
            writeLog(QStringLiteral("err"), QStringLiteral("读取资讯失败：%1").arg(e.message()));
    }
}

bool newsDone(bool silent, qint64 lastShownId)
{
    const Session s = g_App.account().session();
    const QString url = web::apiUrl() + QString::fromLatin1(web::kLastNewsDone)
                                            .arg(s.uid, web::urlEncode(s.username), s.sid, Ink::appVersion(),
                                                 QString::number(lastShownId));
    ApiBaseResponse answer;
    try {
        answer = web::callApi<ApiBaseResponse>(url, QString(), QStringLiteral("get"), web::kTimeoutMs);
    } catch (const Exception &e) {
        answer.head.isError = true;
        answer.head.errInfo = e.message();
    }
    if (answer.head.isError && !silent)
        g_App.showError(QStringLiteral("忽略失败，错误信息：\n") + answer.head.errInfo);
    return !answer.head.isError;
}

QString linkLabelText(const ApiLink &link)
{
    const QUrl url(link.link_url, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) || url.host().isEmpty())
        return QString();
    QString address = link.link_url;
    address.replace(QLatin1Char('\''), QStringLiteral("%27"));
    return QStringLiteral("<a href='") + address + QStringLiteral("'>") + link.link_name.toHtmlEscaped() +
           QStringLiteral("</a>");
}

} // namespace clientinfo
