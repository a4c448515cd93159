// One sync client for the convergence test: the session and the connection are process-wide,
// so each client is a process of its own (own XDG_DATA_HOME). Commands arrive as JSON lines on
// stdin; every command is answered with one JSON line on stdout.
#include "app/App.h"
#include "app/Constants.h"
#include "app/Exception.h"
#include "book/BookStore.h"
#include "cloud/AsyncHelper.h"
#include "cloud/CloudSync.h"
#include "material/UserMaterialStore.h"
#include "params/SysParams.h"
#include "storage/DataAccess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlRecord>

#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

namespace {

// Whether the scripted step ran (and its edit was written) since the last "clear-hook".
bool g_hookDone = false;

QJsonObject applyOp(const QJsonObject &op)
{
    const QString kind = op.value("kind").toString();
    const QString id = op.value("id").toString();
    QJsonObject out{{"ok", true}};
    if (kind == "text") {
        const BookStore::Chapter c = BookStore::readChapter(id);
        if (!c.found)
            return {{"ok", false}, {"error", "gone"}};
        const QString token = op.value("token").toString();
        BookStore::saveChapter(id, c.html + token, c.plainText + token);
    } else if (kind == "add") {
        const QString parent = op.value("parent").toString();
        const int nodeType = op.value("nodeType").toInt();
        out["id"] = BookStore::insertNode(parent, nodeType, nodeType - 1, op.value("title").toString(), 1e6,
                                          QString())
                        .id;
    } else if (kind == "rename") {
        // Appends to the title as it is now: an edit never replaces a token.
        const QVector<QSqlRecord> r = execQuery("SELECT Title FROM BookTree WHERE ID=" + quoteSql(id));
        if (r.isEmpty() || !BookStore::renameNode(id, r.first().value(0).toString() + op.value("token").toString()))
            return {{"ok", false}, {"error", "gone"}};
    } else if (kind == "delete") {
        BookStore::deleteNode(id);
    } else if (kind == "move") {
        BookStore::moveNode(id, op.value("target").toString(), op.value("above").toBool());
    } else if (kind == "memoAdd") {
        out["id"] = UserMaterialStore::saveMaterial(QString(), op.value("parent").toString(),
                                                    op.value("title").toString(), op.value("text").toString());
    } else if (kind == "memoFolder") {
        out["id"] = UserMaterialStore::addFolder(op.value("parent").toString()).id;
    } else if (kind == "memoEdit") {
        const QVector<QSqlRecord> r = execQuery("SELECT pID,Title,PlainText FROM MemoTree WHERE ID=" + quoteSql(id));
        if (r.isEmpty())
            return {{"ok", false}, {"error", "gone"}};
        UserMaterialStore::saveMaterial(id, r.first().value(0).toString(),
                                        r.first().value(1).toString() + op.value("titleToken").toString(),
                                        r.first().value(2).toString() + op.value("token").toString());
    } else if (kind == "memoDelete") {
        UserMaterialStore::deleteMaterials({id});
    } else if (kind == "action") {
        AsyncHelper::saveActionLogNow(op.value("name").toString());
    } else {
        return {{"ok", false}, {"error", "unknown op"}};
    }
    return out;
}

QJsonArray rows(const QString &sql)
{
    QJsonArray out;
    for (const QSqlRecord &r : execQuery(sql)) {
        QJsonObject o;
        for (int i = 0; i < r.count(); ++i)
            o[r.fieldName(i)] = QJsonValue::fromVariant(r.value(i));
        out.append(o);
    }
    return out;
}

// A transfer as the window ("sync") or the worker ("push", "uploadLogs") runs it.
QJsonObject transfer(const QString &name)
{
    CloudSync sync(name != "sync", false);
    if (name == "push") { // the window lets the worker commit
        GuiSnapshot &g = g_App.guiSnapshot();
        g.cloudSyncOn = g.signedIn = true;
        g.lastInputMsecs = 1;
    }
    const bool ok = name == "sync" ? sync.sync() : name == "push" ? sync.push() : sync.uploadLogs();
    return {{"ok", ok}, {"errCode", sync.errCode}, {"errInfo", sync.errInfo}, {"pulled", sync.pulledRows()}};
}

QJsonObject run(const QJsonObject &cmd)
{
    const QString name = cmd.value("cmd").toString(), user = cmd.value("user").toString();
    if (name == "register")
        return {{"ok", g_App.account().registerUser(user, "secret1", user + "@example.com", true)}};
    // A transfer signs in first: the other client's sign-in may have ended this session.
    if (!user.isEmpty() && !g_App.account().login(user, "secret1", true))
        return {{"ok", false}, {"errCode", "login"}};
    if (name == "op")
        return applyOp(cmd.value("op").toObject());
    if (name == "sync" || name == "push" || name == "uploadLogs")
        return transfer(name);
    if (name == "crash-after" || name == "edit-at" || name == "cansync-false-at") {
        const std::string step = cmd.value("step").toString().toStdString();
        const QJsonObject op = cmd.value("op").toObject();
        auto fired = std::make_shared<bool>(false);
        CloudSync::setTestHook([name, step, op, fired](const char *point) {
            if (*fired || step != point)
                return;
            *fired = true;
            if (name == "crash-after")
                _exit(3);
            if (name == "edit-at")
                g_hookDone = applyOp(op).value("ok").toBool();
            else
                g_App.guiSnapshot().lastInputMsecs = QDateTime::currentMSecsSinceEpoch();
        });
        return {{"ok", true}};
    }
    if (name == "clear-hook") {
        CloudSync::setTestHook(nullptr);
        const bool done = g_hookDone;
        g_hookDone = false;
        return {{"ok", true}, {"done", done}};
    }
    if (name == "dump") {
        // Without the texts when only the bookkeeping is wanted: they are the bulk of it.
        const QString cols = QStringLiteral("ID,pID,NodeType,Level,Sort,Title,%1OrigID,Flag,Usn,Synced,substr(Updated,1,19) "
                                            "Updated").arg(cmd.value("texts").toBool(true) ? "PlainText,HTML," : "");
        return {{"ok", true},
                {"book", rows("SELECT " + cols + " FROM BookTree ORDER BY ID")},
                {"memo", rows("SELECT " + cols + " FROM MemoTree ORDER BY ID")},
                {"lastUsn", getSysParam("Sync.LastUsn", "0")},
                {"logs", rows("SELECT 'a '||Action||' '||substr(ADate,1,10)||' '||triggerCount||'/0 '||IFNULL(Synced,0) Row "
                              "FROM L.ActionLog UNION ALL SELECT 'b '||BookID||' '||substr(ADate,1,10)||' '||IFNULL(WordCount1,'')"
                              "||'/'||IFNULL(WordCount2,'')||' '||IFNULL(Synced,0) FROM L.BookLog")}};
    }
    return {{"ok", false}, {"error", "unknown command"}};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    QCoreApplication app(argc, argv);
    if (!g_App.init())
        return 2;
    setSysParam("NoviceGuidance", "1");
    std::string line;
    while (std::getline(std::cin, line)) {
        const QJsonObject cmd = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (cmd.value("cmd").toString() == "quit")
            break;
        QJsonObject answer;
        try {
            answer = run(cmd);
        } catch (const Exception &e) {
            answer = {{"ok", false}, {"exception", true}, {"errCode", e.code()}, {"errInfo", e.message()}};
        }
        std::cout << QJsonDocument(answer).toJson(QJsonDocument::Compact).toStdString() << std::endl;
    }
    g_App.deinit();
    return 0;
}
