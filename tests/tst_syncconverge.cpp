// Two clients of one account edit, sync and fail in random rounds; afterwards both and the
// service must hold the same rows, nothing may wait, and no written token may be lost.
// INKBOAT_CONVERGE_SEED replays a run, INKBOAT_CONVERGE_ROUNDS sets its length (a run of more
// than five minutes needs QTEST_FUNCTION_TIMEOUT in ms, or QtTest's watchdog ends it).
#include "OtherClient.h"
#include "TestService.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray compact(const QJsonObject &o) { return QJsonDocument(o).toJson(QJsonDocument::Compact); }

class Client
{
public:
    explicit Client(const QString &name) : tag(name) {}
    ~Client() { stop(); }
    const QString tag;

    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_dir.path());
        env.insert("XDG_DATA_HOME", m_dir.path() + "/data");
        env.insert("XDG_CONFIG_HOME", m_dir.path() + "/config");
        env.insert("XDG_CACHE_HOME", m_dir.path() + "/cache");
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(INKBOAT_BUILD_DIR "/tests/synccli"), QStringList());
        return m_process.waitForStarted(10000);
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.write("{\"cmd\":\"quit\"}\n");
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
    void send(const QJsonObject &cmd) { m_process.write(compact(cmd) + "\n"); }
    // The next answer; a client that died answers {"crashed":true} and is started again.
    QJsonObject receive()
    {
        while (!m_process.canReadLine()) {
            if (m_process.state() == QProcess::NotRunning || !m_process.waitForReadyRead(60000)) {
                if (m_process.state() == QProcess::Running)
                    return {{"timeout", true}};
                m_process.waitForFinished(1000);
                start();
                return {{"crashed", true}};
            }
        }
        return QJsonDocument::fromJson(m_process.readLine()).object();
    }
    // Whether an answer is there, waiting at most ms for it.
    bool answered(int ms) { return m_process.canReadLine() || (m_process.waitForReadyRead(ms) && m_process.canReadLine()); }
    QJsonObject cmd(const QJsonObject &c)
    {
        send(c);
        return receive();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

QString text(const QJsonValue &v) { return v.isDouble() ? QString::number(v.toDouble()) : v.toVariant().toString(); }

using Rows = QMap<QString, QJsonObject>; // "book:ID" → row

// A client's dump: rows under "book" and "memo".
Rows rowsOf(const QJsonObject &dump)
{
    Rows out;
    for (const char *kind : {"book", "memo"})
        for (const QJsonValue &v : dump.value(kind).toArray())
            out.insert(QString(kind) + ":" + v.toObject().value("ID").toString(), v.toObject());
    return out;
}

// Every row the service holds for the account, named as in a client's dump.
Rows serviceRows(const QString &user)
{
    Rows out;
    for (const BookItem &it : OtherClient::signIn(user).pullAll())
        out.insert(it.datatype + ":" + it.tid,
                   {{"ID", it.tid}, {"pID", it.ptid}, {"NodeType", it.nodetype}, {"Level", it.level}, {"Sort", it.sort},
                    {"Title", it.title}, {"PlainText", it.plaintext}, {"HTML", it.html}, {"OrigID", it.origtid},
                    {"Flag", it.flag}, {"Usn", it.usn}, {"Updated", it.update_time.toString("yyyy-MM-dd hh:mm:ss")}});
    return out;
}

const char *const kCompared[] = {"pID", "NodeType", "Level", "Sort", "Title", "PlainText", "HTML",
                                 "OrigID", "Flag", "Usn", "Updated"};

} // namespace

class TstSyncConverge : public QObject
{
    Q_OBJECT
    TestService m_service;
    QRandomGenerator m_rng;
    quint32 m_seed = 0;
    int m_serial = 0;
    QString m_user;
    // Tokens written per row key; a token must survive in the row or in a copy of it.
    QMap<QString, QStringList> m_tokens;
    QMap<QString, QString> m_owner; // row key → client tag, for the disjoint mode
    QString m_violation; // the first sync that made more conflict copies than it was owed
    Client *m_editor = nullptr; // whose sync this round edits m_editKey mid-transfer
    QString m_editKey;
    int m_round = -1;

    int pick(int n) { return n <= 0 ? 0 : int(m_rng.bounded(quint32(n))); }

    // A client just before a sync: the rows it waits to send, its conflict copies, its LastUsn.
    struct Before
    {
        QSet<QString> waiting;
        QMap<QString, QString> copies; // copy → the row it was made of
        int lastUsn = 0;
    };

    // A row the author edits while the sync runs counts as waiting: it may meet a pulled twin.
    Before stateOf(Client &c, const QString &editedDuringSync = QString())
    {
        const QJsonObject s = c.cmd({{"cmd", "state"}});
        Before out;
        if (!editedDuringSync.isEmpty())
            out.waiting.insert(editedDuringSync);
        for (const QJsonValue &v : s.value("waiting").toArray())
            out.waiting.insert(v.toString());
        for (const QJsonValue &v : s.value("copies").toArray())
            out.copies.insert(v.toArray().at(0).toString(), v.toArray().at(1).toString());
        out.lastUsn = s.value("lastUsn").toInt();
        return out;
    }

    // "book:ID" → USN of every row the service holds for the account, read from its store.
    QMap<QString, int> serviceUsns()
    {
        QMap<QString, int> out;
        for (const QVariantList &r : m_service.query("SELECT datatype, tid, usn FROM sync_rows WHERE uid IN "
                                                     "(SELECT uid FROM users WHERE username=?)",
                                                     {m_user}))
            out.insert(r.at(0).toString() + ":" + r.at(1).toString(), r.at(2).toInt());
        return out;
    }

    // A copy is owed only for a waiting row that the service changed since the client's LastUsn,
    // or that the rival running at the same time may still send.
    static int copyBound(const Before &c, const QMap<QString, int> &service, const Before *rival)
    {
        int n = 0;
        for (const QString &key : c.waiting)
            n += (service.value(key, 0) > c.lastUsn || (rival && rival->waiting.contains(key))) ? 1 : 0;
        return n;
    }

    // Copies c holds now that neither it nor the service held before: the ones its syncs made.
    QMap<QString, QString> newCopies(Client &c, const Before &before, const QMap<QString, int> &service)
    {
        QMap<QString, QString> out;
        const QMap<QString, QString> now = stateOf(c).copies;
        for (auto it = now.begin(); it != now.end(); ++it)
            if (!before.copies.contains(it.key()) && !service.contains(it.key()))
                out.insert(it.key(), it.value());
        return out;
    }

    void checkCopies(const QString &what, const QMap<QString, QString> &made, int bound)
    {
        if (made.size() > bound && m_violation.isEmpty())
            m_violation = QStringLiteral("round %1, %2 made %3 conflict copies, at most %4 were owed: copies of %5")
                              .arg(m_round).arg(what).arg(made.size()).arg(bound).arg(QStringList(made.values()).join(' '));
    }

    void sync(Client &c, const QString &how = "sync")
    {
        const QMap<QString, int> service = serviceUsns();
        const Before before = stateOf(c, &c == m_editor ? m_editKey : QString());
        c.cmd({{"cmd", "login"}, {"user", m_user}});
        c.cmd({{"cmd", how}});
        checkCopies(c.tag + " " + how, newCopies(c, before, service), copyBound(before, service, nullptr));
    }

    // Each client's usage counts, uploaded, against what the service stored for the account.
    QString checkLogs(Client &a, Client &b, bool disjoint)
    {
        const char *const dumps[] = {"actions", "books"};
        const char *const sql[] = {"SELECT action, day, trigger_count, 0 FROM action_logs",
                                   "SELECT book_id, day, word_count1, word_count2 FROM book_logs"};
        QMap<QString, QString> local[2];
        for (Client *c : {&a, &b}) {
            c->cmd({{"cmd", "login"}, {"user", m_user}});
            if (!c->cmd({{"cmd", "uploadLogs"}}).value("ok").toBool())
                return c->tag + ": the log upload failed";
            const QJsonObject logs = c->cmd({{"cmd", "logs"}});
            for (int t = 0; t < 2; ++t)
                for (const QJsonValue &v : logs.value(dumps[t]).toArray()) {
                    const QJsonObject r = v.toObject();
                    if (text(r.value("Synced")) != "1")
                        return QStringLiteral("%1: log row %2 %3 not sent").arg(c->tag, text(r.value("Name")), text(r.value("Day")));
                    local[t].insert(text(r.value("Name")) + " " + text(r.value("Day")),
                                    text(r.value("Count1")) + "/" + text(r.value("Count2")));
                }
        }
        // Both clients write the book log of a shared chapter; the later day row wins there.
        for (int t = 0; t < (disjoint ? 2 : 1); ++t) {
            QMap<QString, QString> stored;
            for (const QVariantList &r : m_service.query(QString(sql[t]) + " WHERE uid IN (SELECT uid FROM users WHERE username=?)", {m_user}))
                stored.insert(r.at(0).toString() + " " + r.at(1).toString(), r.at(2).toString() + "/" + r.at(3).toString());
            for (const QString &k : local[t].keys() + stored.keys())
                if (local[t].value(k) != stored.value(k))
                    return QStringLiteral("%1 counts differ: %2 local '%3' service '%4'").arg(dumps[t], k, local[t].value(k), stored.value(k));
        }
        return QString();
    }

    // One random operation of client c through the program's data functions.
    void randomOp(Client &c, const Rows &rows, bool disjoint, int round, int index, Client *twin)
    {
        const QString token = QStringLiteral("⟦%1-r%2-o%3⟧").arg(c.tag).arg(round).arg(index);
        QStringList chapters, volumes, books, memos, folders, childless;
        QSet<QString> parents;
        for (const QJsonObject &r : rows)
            if (r.value("Flag").toString() == "A")
                parents.insert(r.value("pID").toString());
        for (auto it = rows.begin(); it != rows.end(); ++it) {
            const QJsonObject &r = it.value();
            if (r.value("Flag").toString() != "A" || (disjoint && m_owner.value(it.key()) != c.tag))
                continue;
            const QString id = r.value("ID").toString();
            const int type = r.value("NodeType").toInt();
            QStringList &list = it.key().startsWith("memo:") ? (type == 3 ? memos : folders)
                                                             : (type == 3 ? chapters : type == 2 ? volumes : books);
            list << id;
            if (!parents.contains(id) && it.key().startsWith("book:") && !(disjoint && type == 1) &&
                r.value("PlainText").toString().size() < 6000)
                childless << id;
        }
        const int w = pick(100);
        QJsonObject op;
        QString key;
        if (w < 30 && !chapters.isEmpty()) {
            const QString id = chapters.at(pick(chapters.size()));
            if (rows.value("book:" + id).value("PlainText").toString().size() > 7000)
                return;
            op = {{"kind", "text"}, {"id", id}, {"token", token}};
            key = "book:" + id;
        } else if (w < 45) {
            // In the disjoint mode a new book would renumber the other client's book too.
            if (!disjoint && (books.isEmpty() || pick(3) == 0))
                op = {{"kind", "add"}, {"parent", ""}, {"nodeType", 1}, {"title", token}};
            else if (volumes.isEmpty() || pick(2) == 0)
                op = {{"kind", "add"}, {"parent", books.at(pick(books.size()))}, {"nodeType", 2}, {"title", token}};
            else
                op = {{"kind", "add"}, {"parent", volumes.at(pick(volumes.size()))}, {"nodeType", 3}, {"title", token}};
        } else if (w < 55 && !chapters.isEmpty()) {
            const QString id = chapters.at(pick(chapters.size()));
            op = {{"kind", "rename"}, {"id", id}, {"token", token}};
            key = "book:" + id;
        } else if (w < 65 && !childless.isEmpty()) {
            op = {{"kind", "delete"}, {"id", childless.at(pick(childless.size()))}};
        } else if (w < 85) {
            if (folders.isEmpty())
                op = {{"kind", "memoFolder"}, {"parent", ""}};
            else if (pick(8) == 0)
                op = {{"kind", "memoFolder"}, {"parent", folders.at(pick(folders.size()))}};
            else if (memos.isEmpty() || pick(3) == 0)
                op = {{"kind", "memoAdd"}, {"parent", folders.at(pick(folders.size()))}, {"title", token},
                      {"text", token}};
            else if (pick(4) == 0) {
                op = {{"kind", "memoDelete"}, {"id", memos.at(pick(memos.size()))}};
            } else {
                const QString id = memos.at(pick(memos.size()));
                op = {{"kind", "memoEdit"}, {"id", id}, {"token", token}};
                key = "memo:" + id;
            }
        } else if (w < 95 && chapters.size() > 1) {
            const QString id = chapters.at(pick(chapters.size()));
            QString target = chapters.at(pick(chapters.size()));
            if (target == id)
                return;
            op = {{"kind", "move"}, {"id", id}, {"target", target}, {"above", pick(2) == 0}};
        } else if (twin && !chapters.isEmpty()) {
            // The same row edited on both sides before either syncs.
            const QString id = chapters.at(pick(chapters.size()));
            const QString other = token + "~" + twin->tag;
            if (twin->cmd({{"cmd", "op"}, {"op", QJsonObject{{"kind", "text"}, {"id", id}, {"token", other}}}})
                    .value("ok")
                    .toBool())
                m_tokens["book:" + id] << other;
            op = {{"kind", "text"}, {"id", id}, {"token", token}};
            key = "book:" + id;
        } else {
            return;
        }
        apply(c, op, key, token);
    }

    // Runs op on c and records the token it wrote; answers the row's key, empty when refused.
    QString apply(Client &c, const QJsonObject &op, QString key, const QString &token)
    {
        const QJsonObject answer = c.cmd({{"cmd", "op"}, {"op", op}});
        if (!answer.value("ok").toBool())
            return QString();
        if (answer.contains("id")) {
            const QString kind = op.value("kind").toString().startsWith("memo") ? "memo:" : "book:";
            key = kind + answer.value("id").toString();
            m_owner[key] = c.tag;
        }
        if (!key.isEmpty() && op.value("kind").toString() != "memoFolder")
            m_tokens[key] << token;
        return key;
    }

    // Starts c's sync under rules that hold its commit, and returns once the commit waits after
    // its session check (or the sync ended without one).
    void startHeldSync(Client &c, const QString &rules)
    {
        m_service.setFaults(rules);
        c.cmd({{"cmd", "login"}, {"user", m_user}});
        c.send({{"cmd", "sync"}});
        QElapsedTimer clock;
        clock.start();
        // Until the commit has passed its session check and is held (or the sync ended without one).
        while (!c.answered(20) && m_service.faultCalls("commitPush@held") == 0 && clock.elapsed() < 60000) {
        }
    }

    // The second pulls more than a page while the first's commit rewrites the rows of its first
    // page: the pages after the commit must still be the rows the pull began with, else the
    // rows pushed out of reach are never pulled. Answers false when c has no folder to write in.
    bool pullAcrossCommit(Client &first, Client &second, bool disjoint, int round)
    {
        sync(first);
        sync(second);
        m_service.setFaults(QString());
        QStringList folders;
        const Rows rows = rowsOf(first.cmd({{"cmd", "dump"}}));
        for (auto it = rows.begin(); it != rows.end(); ++it)
            if (it.key().startsWith("memo:") && it.value().value("NodeType").toInt() != 3 &&
                it.value().value("Flag").toString() == "A" && (!disjoint || m_owner.value(it.key()) == first.tag))
                folders << it.value().value("ID").toString();
        if (folders.isEmpty())
            return false;
        QStringList added;
        for (int i = 0; i < 11; ++i) {
            const QString token = QStringLiteral("⟦%1-r%2-p%3⟧").arg(first.tag).arg(round).arg(i);
            const QString key = apply(first, {{"kind", "memoAdd"}, {"parent", folders.at(pick(folders.size()))},
                                              {"title", token}, {"text", token}}, QString(), token);
            if (!key.isEmpty())
                added << key;
        }
        sync(first);
        for (int i = 0; i < added.size(); ++i) {
            const QString token = QStringLiteral("⟦%1-r%2-q%3⟧").arg(first.tag).arg(round).arg(i);
            apply(first, {{"kind", "memoEdit"}, {"id", added.at(i).mid(5)}, {"token", token}}, added.at(i), token);
        }
        startHeldSync(first, "commitPush:1=hold_ms=800");
        // New rules count calls afresh: the second's page 1 waits until the commit is in.
        m_service.setFaults("pullDetail:2=hold_ms=1600");
        second.cmd({{"cmd", "login"}, {"user", m_user}});
        second.cmd({{"cmd", "sync"}});
        first.receive();
        return true;
    }

    QString checkInvariants(Client &a, Client &b, bool disjoint)
    {
        const QJsonObject da = a.cmd({{"cmd", "dump"}}), db = b.cmd({{"cmd", "dump"}});
        const Rows ra = rowsOf(da), rb = rowsOf(db), rs = serviceRows(m_user);
        if (ra.keys() != rb.keys() || ra.keys() != rs.keys())
            return QStringLiteral("row sets differ: A %1, B %2, service %3").arg(ra.size()).arg(rb.size()).arg(rs.size());
        int maxUsn = 0;
        QSet<int> usns;
        for (const QJsonObject &r : rs) {
            const int usn = r.value("Usn").toInt();
            if (usns.contains(usn))
                return QStringLiteral("USN %1 twice on the service").arg(usn);
            usns.insert(usn);
            maxUsn = qMax(maxUsn, usn);
        }
        for (const QString &key : ra.keys())
            for (const char *col : kCompared) {
                const QString x = text(ra[key].value(col)), y = text(rb[key].value(col)), z = text(rs[key].value(col));
                if (x != y || x != z)
                    return QStringLiteral("%1.%2 differs: A '%3' B '%4' service '%5'").arg(key, col, x.left(80), y.left(80), z.left(80));
            }
        for (const auto *rows : {&ra, &rb})
            for (const QJsonObject &r : *rows) {
                if (text(r.value("Synced")) != "1")
                    return QStringLiteral("%1 still waiting").arg(r.value("ID").toString());
                const QString pid = r.value("pID").toString();
                const QString table = rows->contains("book:" + r.value("ID").toString()) ? "book:" : "memo:";
                if (!pid.isEmpty() && !rows->contains(table + pid))
                    return QStringLiteral("%1 names a missing parent").arg(r.value("ID").toString());
                if (disjoint && !r.value("OrigID").toString().isEmpty())
                    return QStringLiteral("conflict copy %1 of %2 in the disjoint mode ('%3' / '%4')")
                        .arg(r.value("ID").toString(), r.value("OrigID").toString(), r.value("Title").toString(),
                             r.value("PlainText").toString().right(120));
            }
        for (const QJsonObject &d : {da, db}) {
            int own = 0;
            for (const QJsonObject &r : rowsOf(d))
                own = qMax(own, r.value("Usn").toInt());
            if (d.value("lastUsn").toString().toInt() != maxUsn || own != maxUsn)
                return QStringLiteral("LastUsn %1, own maximum %2, service %3")
                    .arg(d.value("lastUsn").toString()).arg(own).arg(maxUsn);
        }
        // Every token is in its row, or in a conflict copy that leads back to it.
        for (auto it = m_tokens.begin(); it != m_tokens.end(); ++it)
            for (const QString &token : it.value()) {
                bool found = false;
                for (auto r = ra.begin(); r != ra.end() && !found; ++r) {
                    QString chain = r.key();
                    for (int hop = 0; hop < 10 && chain != it.key(); ++hop) {
                        const QString orig = ra.value(chain).value("OrigID").toString();
                        if (orig.isEmpty())
                            break;
                        chain = chain.section(':', 0, 0) + ":" + orig;
                    }
                    found = chain == it.key() &&
                            (r.value().value("PlainText").toString().contains(token) ||
                             r.value().value("Title").toString().contains(token));
                }
                if (!found) {
                    const QJsonObject r = ra.value(it.key());
                    return QStringLiteral("token %1 of %2 is lost (now '%3' / '%4')")
                        .arg(token, it.key(), r.value("Title").toString(), r.value("PlainText").toString().right(200));
                }
            }
        return QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(INKBOAT_BUILD_DIR "/tests/synccli"));
        QVERIFY(m_service.start());
    }

    void converge_data()
    {
        QTest::addColumn<bool>("disjoint");
        QTest::newRow("shared") << false;
        QTest::newRow("disjoint") << true;
    }
    void converge()
    {
        QFETCH(bool, disjoint);
        const QByteArray seedText = qgetenv("INKBOAT_CONVERGE_SEED");
        m_seed = seedText.isEmpty() ? QRandomGenerator::global()->generate() : seedText.toUInt();
        m_rng.seed(m_seed);
        const int rounds = qEnvironmentVariableIsSet("INKBOAT_CONVERGE_ROUNDS")
                               ? qEnvironmentVariableIntValue("INKBOAT_CONVERGE_ROUNDS")
                               : 40;
        qInfo("seed %u, %d rounds", m_seed, rounds);
        m_tokens.clear();
        m_owner.clear();
        m_violation.clear();
        m_editor = nullptr;
        m_editKey.clear();
        m_user = QStringLiteral("cv%1x%2").arg(++m_serial).arg(m_seed);
        Client a("A"), b("B");
        QVERIFY(a.start() && b.start());
        QVERIFY(a.cmd({{"cmd", "register"}, {"user", m_user}}).value("ok").toBool());
        if (disjoint) {
            // Each client's own book and folder, made one after the other.
            for (Client *c : {&a, &b}) {
                sync(*c);
                for (const QJsonObject &op : {QJsonObject{{"kind", "add"}, {"parent", ""}, {"nodeType", 1}, {"title", c->tag}},
                                              QJsonObject{{"kind", "memoFolder"}, {"parent", ""}}}) {
                    const QJsonObject answer = c->cmd({{"cmd", "op"}, {"op", op}});
                    QVERIFY(answer.value("ok").toBool());
                    m_owner[(op.value("kind").toString() == "add" ? "book:" : "memo:") + answer.value("id").toString()] = c->tag;
                }
                sync(*c);
            }
            sync(a);
        }
        for (int round = 0; round < rounds; ++round) {
            m_round = round;
            if (!m_violation.isEmpty())
                QFAIL(qPrintable(QStringLiteral("seed %1: %2").arg(m_seed).arg(m_violation)));
            m_service.setFaults(QString());
            for (Client *c : {&a, &b}) {
                const Rows rows = rowsOf(c->cmd({{"cmd", "dump"}}));
                const int ops = pick(6);
                for (int i = 0; i < ops; ++i)
                    randomOp(*c, rows, disjoint, round, i, disjoint ? nullptr : (c == &a ? &b : &a));
                // A row edited on both sides at least once every five rounds.
                if (!disjoint && round % 5 == 4)
                    randomOp(*c, rows, false, round, 9, c == &a ? &b : &a);
                c->cmd({{"cmd", "op"}, {"op", QJsonObject{{"kind", "action"}, {"name", "act" + c->tag}}}});
            }
            QPair<QString, QString> midEdit;
            Client &first = pick(2) ? a : b;
            Client &second = &first == &a ? b : a;
            // Faults in about one round of four; besides, the author often types during a transfer.
            int fault = pick(4) == 0 ? pick(6) : -1;
            if (fault < 0 && pick(3) == 0)
                fault = 5;
            if (fault >= 0) {
                switch (fault) {
                case 0: m_service.setFaults("commitPush:1=drop_after"); break;
                case 1: m_service.setFaults("pullDetail:2=fail"); break;
                case 2: m_service.setFaults("pushDetail:1=kick"); break;
                case 3: first.cmd({{"cmd", "crash-after"}, {"step", "afterCommitPush"}}); break;
                case 4: first.cmd({{"cmd", "cansync-false-at"}, {"step", "afterCopy"}}); break;
                default: {
                    const Rows rows = rowsOf(first.cmd({{"cmd", "dump"}}));
                    // A waiting chapter if there is one: the edit then meets its own upload.
                    QStringList chapters, waiting;
                    for (const QJsonObject &r : rows)
                        if (r.value("NodeType").toInt() == 3 && r.value("Flag").toString() == "A" &&
                            (!disjoint || m_owner.value("book:" + r.value("ID").toString()) == first.tag))
                            (text(r.value("Synced")) == "1" ? chapters : waiting) << r.value("ID").toString();
                    if (!waiting.isEmpty())
                        chapters = waiting;
                    if (!chapters.isEmpty()) {
                        const QString id = chapters.at(pick(chapters.size()));
                        const QString token = QStringLiteral("⟦%1-r%2-mid⟧").arg(first.tag).arg(round);
                        first.cmd({{"cmd", "edit-at"}, {"step", pick(2) ? "afterCopy" : "beforeLocalCommit"},
                                   {"op", QJsonObject{{"kind", "text"}, {"id", id}, {"token", token}}}});
                        midEdit = {"book:" + id, token};
                        m_editor = &first;
                        m_editKey = midEdit.first;
                    }
                }
                }
            }
            switch (pick(4)) {
            case 0:
            case 1:
                sync(first);
                sync(second);
                break;
            case 2: {
                if (pick(3) == 0 && pullAcrossCommit(first, second, disjoint, round))
                    break;
                const QMap<QString, int> service = serviceUsns();
                const Before bf = stateOf(first, m_editKey), bs = stateOf(second);
                if (pick(2) == 0) {
                    // Both at once: each sign-in replaces the other's session mid-transfer.
                    for (Client *c : {&first, &second}) {
                        c->send({{"cmd", "login"}, {"user", m_user}});
                        c->send({{"cmd", "sync"}});
                    }
                    for (Client *c : {&first, &first, &second, &second})
                        c->receive();
                } else {
                    // The first one's commit has passed its session check and waits; the second
                    // signs in meanwhile and syncs, so both transfers really overlap.
                    startHeldSync(first, m_service.faults() + ",commitPush:1=hold_ms=" + QString::number(400 + pick(1200)));
                    second.cmd({{"cmd", "login"}, {"user", m_user}});
                    second.cmd({{"cmd", "sync"}});
                    first.receive();
                }
                // A copy one made and the other pulled is counted once.
                QMap<QString, QString> made = newCopies(first, bf, service);
                QMap<QString, QString> bySecond = newCopies(second, bs, service);
                // A copy the other one made earlier and only now uploads (its commit was refused
                // then) is not made by these syncs.
                for (const QString &key : bs.copies.keys())
                    made.remove(key);
                for (const QString &key : bf.copies.keys())
                    bySecond.remove(key);
                made.insert(bySecond);
                checkCopies("the concurrent syncs", made, copyBound(bf, service, &bs) + copyBound(bs, service, &bf));
                break;
            }
            default:
                sync(first, "push");
                break;
            }
            m_editor = nullptr;
            m_editKey.clear();
            for (Client *c : {&a, &b}) {
                // A scripted edit counts once it was written (its step may not have come).
                if (c->cmd({{"cmd", "clear-hook"}}).value("done").toBool() && c == &first)
                    m_tokens[midEdit.first] << midEdit.second;
                c->cmd({{"cmd", "login"}, {"user", m_user}});
                c->cmd({{"cmd", "uploadLogs"}});
            }
        }
        m_service.setFaults(QString());
        for (Client *c : {&a, &b})
            c->cmd({{"cmd", "clear-hook"}});
        m_round = rounds;
        QString failure = "not quiet";
        for (int attempt = 0; attempt < 3 && !failure.isEmpty(); ++attempt) {
            sync(a);
            sync(b);
            sync(a);
            failure = checkInvariants(a, b, disjoint);
        }
        if (failure.isEmpty())
            failure = m_violation;
        if (failure.isEmpty())
            failure = checkLogs(a, b, disjoint);
        if (!failure.isEmpty())
            QFAIL(qPrintable(QStringLiteral("seed %1: %2").arg(m_seed).arg(failure)));
    }
};

QTEST_GUILESS_MAIN(TstSyncConverge)
#include "tst_syncconverge.moc"
