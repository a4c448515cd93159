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

using Rows = QMap<QString, QJsonObject>; // "book:ID" → row

// One sync client: a synccli process with a profile of its own, driven by JSON lines.
class Client
{
public:
    explicit Client(const QString &name) : tag(name) {}
    ~Client()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        send({{"cmd", "quit"}});
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }
    const QString tag;

    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_dir.path());
        for (const QString kind : {"data", "config", "cache"})
            env.insert("XDG_" + kind.toUpper() + "_HOME", m_dir.path() + "/" + kind);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(INKBOAT_BUILD_DIR "/tests/synccli"), QStringList());
        return m_process.waitForStarted(10000);
    }
    void send(const QJsonObject &cmd) { m_process.write(QJsonDocument(cmd).toJson(QJsonDocument::Compact) + "\n"); }
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
    QJsonObject op(const QJsonObject &o) { return cmd({{"cmd", "op"}, {"op", o}}); }
    Rows rows() { return rowsOf(cmd({{"cmd", "dump"}})); }

    // A client's dump: rows under "book" and "memo".
    static Rows rowsOf(const QJsonObject &dump)
    {
        Rows out;
        for (const QString kind : {"book", "memo"})
            for (const QJsonValue &v : dump.value(kind).toArray())
                out.insert(kind + ":" + v.toObject().value("ID").toString(), v.toObject());
        return out;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};

QString text(const QJsonValue &v) { return v.isDouble() ? QString::number(v.toDouble()) : v.toVariant().toString(); }
QString field(const QJsonObject &row, const char *name) { return text(row.value(name)); }

const char *const kCompared[] = {"pID", "NodeType", "Level", "Sort", "Title", "PlainText", "HTML",
                                 "OrigID", "Flag", "Usn", "Updated"};

// A client just before a sync: the rows it waits to send, its conflict copies, its LastUsn.
struct Before {
    QSet<QString> waiting;
    QMap<QString, QString> copies; // copy → the row it was made of
    int lastUsn = 0;
};

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
    template <class T> T any(const QList<T> &list) { return list.at(pick(list.size())); }
    QJsonObject transfer(const QString &how = "sync") { return {{"cmd", how}, {"user", m_user}}; }
    bool owns(const Client &c, const QString &key, bool disjoint) { return !disjoint || m_owner.value(key) == c.tag; }

    // A row the author edits while the sync runs counts as waiting: it may meet a pulled twin.
    Before stateOf(Client &c, const QString &editedDuringSync = QString())
    {
        const QJsonObject dump = c.cmd({{"cmd", "dump"}, {"texts", false}});
        const Rows rows = Client::rowsOf(dump);
        Before out;
        if (!editedDuringSync.isEmpty())
            out.waiting.insert(editedDuringSync);
        for (auto it = rows.begin(); it != rows.end(); ++it) {
            if (field(*it, "Synced") != "1")
                out.waiting.insert(it.key());
            if (!field(*it, "OrigID").isEmpty())
                out.copies.insert(it.key(), it.key().section(':', 0, 0) + ":" + field(*it, "OrigID"));
        }
        out.lastUsn = dump.value("lastUsn").toString().toInt();
        return out;
    }

    // The service's rows of the account from its store: "book:ID" → USN, or with `full`
    // the rows named as in a client's dump.
    Rows serviceRows(bool full = false)
    {
        Rows out;
        if (!full) {
            for (const QVariantList &r : m_service.query("SELECT datatype, tid, usn FROM sync_rows WHERE uid IN "
                                                         "(SELECT uid FROM users WHERE username=?)", {m_user}))
                out.insert(r.at(0).toString() + ":" + r.at(1).toString(), {{"Usn", r.at(2).toInt()}});
            return out;
        }
        for (const BookItem &it : OtherClient::signIn(m_user).pullAll())
            out.insert(it.datatype + ":" + it.tid,
                       {{"ID", it.tid}, {"pID", it.ptid}, {"NodeType", it.nodetype}, {"Level", it.level}, {"Sort", it.sort},
                        {"Title", it.title}, {"PlainText", it.plaintext}, {"HTML", it.html}, {"OrigID", it.origtid},
                        {"Flag", it.flag}, {"Usn", it.usn}, {"Updated", it.update_time.toString("yyyy-MM-dd hh:mm:ss")}});
        return out;
    }

    // A copy is owed only for a waiting row that the service changed since the client's LastUsn,
    // or that the rival running at the same time may still send.
    static int copyBound(const Before &c, const Rows &service, const Before *rival)
    {
        int n = 0;
        for (const QString &key : c.waiting)
            n += (service.value(key).value("Usn").toInt() > c.lastUsn || (rival && rival->waiting.contains(key))) ? 1 : 0;
        return n;
    }

    // Copies c holds now that neither it nor the service held before (nor `other` earlier,
    // uploading it only now): the ones its syncs made.
    QMap<QString, QString> newCopies(Client &c, const Before &before, const Rows &service, const Before &other = {})
    {
        QMap<QString, QString> out = stateOf(c).copies;
        for (const QString &key : out.keys())
            if (before.copies.contains(key) || service.contains(key) || other.copies.contains(key))
                out.remove(key);
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
        const Rows service = serviceRows();
        const Before before = stateOf(c, &c == m_editor ? m_editKey : QString());
        c.cmd(transfer(how));
        checkCopies(c.tag + " " + how, newCopies(c, before, service), copyBound(before, service, nullptr));
    }

    // The usage counts both clients uploaded, as the service stored them. In the shared mode both
    // write the book log of a shared chapter (the later day row wins there), so only actions compare.
    QString checkLogs(Client &a, Client &b, bool disjoint)
    {
        QSet<QString> local, stored;
        for (Client *c : {&a, &b}) {
            if (!c->cmd(transfer("uploadLogs")).value("ok").toBool())
                return c->tag + ": the log upload failed";
            for (const QJsonValue &v : c->cmd({{"cmd", "dump"}, {"texts", false}}).value("logs").toArray())
                if (disjoint || field(v.toObject(), "Row").startsWith("a "))
                    local << field(v.toObject(), "Row");
        }
        const QString mine = " WHERE uid IN (SELECT uid FROM users WHERE username=?)";
        for (const QVariantList &r : m_service.query("SELECT 'a', action, day, trigger_count, 0 FROM action_logs" + mine +
                                                     " UNION ALL SELECT 'b', book_id, day, word_count1, word_count2 FROM book_logs" + mine, {m_user, m_user}))
            if (disjoint || r.at(0) == "a")
                stored << QStringLiteral("%1 %2 %3 %4/%5 1").arg(r.at(0).toString(), r.at(1).toString(), r.at(2).toString(),
                                                                  r.at(3).toString(), r.at(4).toString());
        return local == stored ? QString() : QStringLiteral("usage logs differ: local %1, service %2")
                                                 .arg(QStringList(local.values()).join(", "), QStringList(stored.values()).join(", "));
    }

    // One random operation of client c through the program's data functions.
    void randomOp(Client &c, const Rows &rows, bool disjoint, int round, int index, Client *twin)
    {
        const QString token = QStringLiteral("⟦%1-r%2-o%3⟧").arg(c.tag).arg(round).arg(index);
        QStringList chapters, volumes, books, memos, folders, childless;
        QSet<QString> parents;
        for (const QJsonObject &r : rows)
            if (field(r, "Flag") == "A")
                parents.insert(field(r, "pID"));
        for (auto it = rows.begin(); it != rows.end(); ++it) {
            const QString id = field(*it, "ID");
            const int type = it->value("NodeType").toInt();
            const bool book = it.key().startsWith("book:");
            if (field(*it, "Flag") != "A" || !owns(c, it.key(), disjoint))
                continue;
            (book ? (type == 3 ? chapters : type == 2 ? volumes : books) : (type == 3 ? memos : folders)) << id;
            if (book && !parents.contains(id) && !(disjoint && type == 1) && field(*it, "PlainText").size() < 6000)
                childless << id;
        }
        const int w = pick(100);
        QJsonObject op;
        QString key;
        if (w < 30 && !chapters.isEmpty()) {
            const QString id = any(chapters);
            if (field(rows.value("book:" + id), "PlainText").size() > 7000)
                return;
            op = {{"kind", "text"}, {"id", id}, {"token", token}};
            key = "book:" + id;
        } else if (w < 45) {
            // In the disjoint mode a new book would renumber the other client's book too.
            const bool newBook = !disjoint && (books.isEmpty() || pick(3) == 0);
            const int type = newBook ? 1 : volumes.isEmpty() || pick(2) == 0 ? 2 : 3;
            op = {{"kind", "add"}, {"parent", type == 1 ? QString() : any(type == 2 ? books : volumes)},
                  {"nodeType", type}, {"title", token}};
        } else if (w < 55 && !chapters.isEmpty()) {
            key = "book:" + any(chapters);
            op = {{"kind", "rename"}, {"id", key.mid(5)}, {"token", token}};
        } else if (w < 65 && !childless.isEmpty()) {
            op = {{"kind", "delete"}, {"id", any(childless)}};
        } else if (w < 85) {
            if (folders.isEmpty() || pick(8) == 0)
                op = {{"kind", "memoFolder"}, {"parent", folders.isEmpty() ? QString() : any(folders)}};
            else if (memos.isEmpty() || pick(3) == 0)
                op = {{"kind", "memoAdd"}, {"parent", any(folders)}, {"title", token}, {"text", token}};
            else if (pick(4) == 0)
                op = {{"kind", "memoDelete"}, {"id", any(memos)}};
            else {
                key = "memo:" + any(memos);
                op = {{"kind", "memoEdit"}, {"id", key.mid(5)}, {"token", token}};
            }
        } else if (w < 95 && chapters.size() > 1) {
            const QString id = any(chapters), target = any(chapters);
            if (target == id)
                return;
            op = {{"kind", "move"}, {"id", id}, {"target", target}, {"above", pick(2) == 0}};
        } else if (twin && !chapters.isEmpty()) {
            // The same row edited on both sides before either syncs.
            key = "book:" + any(chapters);
            op = {{"kind", "text"}, {"id", key.mid(5)}, {"token", token}};
            const QString other = token + "~" + twin->tag;
            if (twin->op({{"kind", "text"}, {"id", key.mid(5)}, {"token", other}}).value("ok").toBool())
                m_tokens[key] << other;
        } else {
            return;
        }
        apply(c, op, key, token);
    }

    // Runs op on c and records the token it wrote; answers the row's key, empty when refused.
    QString apply(Client &c, const QJsonObject &op, QString key, const QString &token)
    {
        const QJsonObject answer = c.op(op);
        if (!answer.value("ok").toBool())
            return QString();
        if (answer.contains("id"))
            m_owner[key = (op.value("kind").toString().startsWith("memo") ? "memo:" : "book:") + field(answer, "id")] = c.tag;
        if (!key.isEmpty() && op.value("kind").toString() != "memoFolder")
            m_tokens[key] << token;
        return key;
    }

    // Returns once c's call of action is held at the service, or c answered without one.
    void untilHeld(Client &c, const QString &action)
    {
        QElapsedTimer clock;
        clock.start();
        while (!c.answered(20) && m_service.faultCalls(action + "@held") == 0 && clock.elapsed() < 60000) {
        }
    }

    // Starts c's sync with its commit held after its session check until the gate opens; returns
    // once the commit waits there (the gate is open again when the sync ended without one).
    void startHeldSync(Client &c, const QString &rules)
    {
        m_service.setGate("commitPush", true);
        m_service.setFaults(rules + ",commitPush:1=hold_ms=1");
        c.send(transfer());
        untilHeld(c, "commitPush");
        if (m_service.faultCalls("commitPush@held") == 0)
            m_service.setGate("commitPush", false);
    }

    QString checkInvariants(Client &a, Client &b, bool disjoint)
    {
        const QJsonObject da = a.cmd({{"cmd", "dump"}}), db = b.cmd({{"cmd", "dump"}});
        const Rows ra = Client::rowsOf(da), rb = Client::rowsOf(db), rs = serviceRows(true);
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
                const QString x = field(ra[key], col), y = field(rb[key], col), z = field(rs[key], col);
                if (x != y || x != z)
                    return QStringLiteral("%1.%2 differs: A '%3' B '%4' service '%5'").arg(key, col, x.left(80), y.left(80), z.left(80));
            }
        for (const Rows *rows : {&ra, &rb})
            for (auto it = rows->begin(); it != rows->end(); ++it) {
                const QString id = field(*it, "ID"), pid = field(*it, "pID");
                if (field(*it, "Synced") != "1")
                    return QStringLiteral("%1 still waiting").arg(id);
                if (!pid.isEmpty() && !rows->contains(it.key().section(':', 0, 0) + ":" + pid))
                    return QStringLiteral("%1 names a missing parent").arg(id);
                if (disjoint && !field(*it, "OrigID").isEmpty())
                    return QStringLiteral("conflict copy %1 of %2 in the disjoint mode ('%3' / '%4')")
                        .arg(id, field(*it, "OrigID"), field(*it, "Title"), field(*it, "PlainText").right(120));
            }
        for (const QJsonObject &d : {da, db}) {
            int own = 0;
            for (const QJsonObject &r : Client::rowsOf(d))
                own = qMax(own, r.value("Usn").toInt());
            if (d.value("lastUsn").toString().toInt() != maxUsn || own != maxUsn)
                return QStringLiteral("LastUsn %1, own maximum %2, service %3").arg(d.value("lastUsn").toString()).arg(own).arg(maxUsn);
        }
        // Every token is in its row, or in a conflict copy that leads back to it.
        for (auto it = m_tokens.begin(); it != m_tokens.end(); ++it)
            for (const QString &token : it.value()) {
                bool found = false;
                for (auto r = ra.begin(); r != ra.end() && !found; ++r) {
                    QString chain = r.key();
                    for (int hop = 0; hop < 10 && chain != it.key() && !field(ra.value(chain), "OrigID").isEmpty(); ++hop)
                        chain = chain.section(':', 0, 0) + ":" + field(ra.value(chain), "OrigID");
                    found = chain == it.key() && (field(*r, "PlainText").contains(token) || field(*r, "Title").contains(token));
                }
                if (!found)
                    return QStringLiteral("token %1 of %2 is lost (now '%3' / '%4')")
                        .arg(token, it.key(), field(ra.value(it.key()), "Title"), field(ra.value(it.key()), "PlainText").right(200));
            }
        return QString();
    }

    // Before the round's syncs: a fault in about one round of four; besides, the author often
    // types during a transfer (the edit then counts once its step came). Answers the mid-edit.
    QPair<QString, QString> arrangeTrouble(Client &first, bool disjoint, int round)
    {
        int fault = pick(4) == 0 ? pick(6) : -1;
        if (fault < 0 && pick(3) == 0)
            fault = 5;
        const char *const rules[] = {"commitPush:1=drop_after", "pullDetail:2=fail", "pushDetail:1=kick"};
        if (fault >= 0 && fault < 3)
            m_service.setFaults(rules[fault]);
        else if (fault == 3)
            first.cmd({{"cmd", "crash-after"}, {"step", "afterCommitPush"}});
        else if (fault == 4)
            first.cmd({{"cmd", "cansync-false-at"}, {"step", "afterCopy"}});
        if (fault != 5)
            return {};
        // A waiting chapter if there is one: the edit then meets its own upload.
        QStringList chapters, waiting;
        for (const QJsonObject &r : first.rows())
            if (r.value("NodeType").toInt() == 3 && field(r, "Flag") == "A" && owns(first, "book:" + field(r, "ID"), disjoint))
                (field(r, "Synced") == "1" ? chapters : waiting) << field(r, "ID");
        if (!waiting.isEmpty())
            chapters = waiting;
        if (chapters.isEmpty())
            return {};
        const QString id = any(chapters), token = QStringLiteral("⟦%1-r%2-mid⟧").arg(first.tag).arg(round);
        first.cmd({{"cmd", "edit-at"}, {"step", pick(2) ? "afterCopy" : "beforeLocalCommit"},
                   {"op", QJsonObject{{"kind", "text"}, {"id", id}, {"token", token}}}});
        m_editor = &first;
        m_editKey = "book:" + id;
        return {m_editKey, token};
    }

    // Both clients' syncs at once: each sign-in replaces the other's session mid-transfer, or
    // the first one's commit has passed its session check and waits while the second syncs.
    void concurrentSyncs(Client &first, Client &second)
    {
        const Rows service = serviceRows();
        const Before bf = stateOf(first, m_editKey), bs = stateOf(second);
        if (pick(2) == 0) {
            first.send(transfer());
            second.send(transfer());
            first.receive();
            second.receive();
        } else {
            startHeldSync(first, m_service.faults());
            second.cmd(transfer());
            m_service.setGate("commitPush", false);
            first.receive();
        }
        // A copy one made and the other pulled is counted once.
        QMap<QString, QString> made = newCopies(first, bf, service, bs);
        made.insert(newCopies(second, bs, service, bf));
        checkCopies("the concurrent syncs", made, copyBound(bf, service, &bs) + copyBound(bs, service, &bf));
    }

private slots:
    void initTestCase() { QVERIFY(QFile::exists(INKBOAT_BUILD_DIR "/tests/synccli") && m_service.start()); }

    void converge_data()
    {
        QTest::addColumn<bool>("disjoint");
        for (bool disjoint : {false, true})
            QTest::newRow(disjoint ? "disjoint" : "shared") << disjoint;
    }
    void converge()
    {
        QFETCH(bool, disjoint);
        const QByteArray seedText = qgetenv("INKBOAT_CONVERGE_SEED");
        m_seed = seedText.isEmpty() ? QRandomGenerator::global()->generate() : seedText.toUInt();
        m_rng.seed(m_seed);
        bool roundsSet = false;
        const int rounds = qEnvironmentVariableIntValue("INKBOAT_CONVERGE_ROUNDS", &roundsSet);
        qInfo("seed %u, %d rounds", m_seed, roundsSet ? rounds : 40);
        m_tokens.clear(), m_owner.clear(), m_violation.clear(), m_editKey.clear();
        m_editor = nullptr;
        m_user = QStringLiteral("cv%1x%2").arg(++m_serial).arg(m_seed);
        Client a("A"), b("B");
        QVERIFY(a.start() && b.start());
        QVERIFY(a.cmd({{"cmd", "register"}, {"user", m_user}}).value("ok").toBool());
        if (disjoint) {
            // Each client's own book and folder, made one after the other.
            for (Client *c : {&a, &b}) {
                sync(*c);
                for (const QJsonObject &op : {QJsonObject{{"kind", "add"}, {"parent", ""}, {"nodeType", 1}, {"title", c->tag}},
                                              QJsonObject{{"kind", "memoFolder"}, {"parent", ""}}})
                    QVERIFY(!apply(*c, op, QString(), c->tag).isEmpty());
                sync(*c);
            }
            sync(a);
        }
        for (m_round = 0; m_round < (roundsSet ? rounds : 40); ++m_round) {
            const int round = m_round;
            if (!m_violation.isEmpty())
                QFAIL(qPrintable(QStringLiteral("seed %1: %2").arg(m_seed).arg(m_violation)));
            m_service.setFaults(QString());
            for (Client *c : {&a, &b}) {
                Client *twin = disjoint ? nullptr : c == &a ? &b : &a;
                const Rows rows = c->rows();
                for (int i = 0, ops = pick(6); i < ops; ++i)
                    randomOp(*c, rows, disjoint, round, i, twin);
                if (twin && round % 5 == 4) // a row edited on both sides at least once every five rounds
                    randomOp(*c, rows, false, round, 9, twin);
                c->op({{"kind", "action"}, {"name", "act" + c->tag}});
            }
            Client &first = pick(2) ? a : b;
            Client &second = &first == &a ? b : a;
            const QPair<QString, QString> midEdit = arrangeTrouble(first, disjoint, round);
            const int mode = pick(4);
            if (mode < 2) {
                sync(first);
                sync(second);
            } else if (mode == 2) {
                concurrentSyncs(first, second);
            } else if (mode == 3) {
                sync(first, "push");
            }
            m_editor = nullptr;
            m_editKey.clear();
            for (Client *c : {&a, &b}) {
                // A scripted edit counts once it was written (its step may not have come).
                if (c->cmd({{"cmd", "clear-hook"}}).value("done").toBool() && c == &first)
                    m_tokens[midEdit.first] << midEdit.second;
                c->cmd(transfer("uploadLogs"));
            }
        }
        m_service.setFaults(QString());
        QString failure = "not quiet";
        for (int attempt = 0; attempt < 3 && !failure.isEmpty(); ++attempt) {
            sync(a);
            sync(b);
            sync(a);
            failure = checkInvariants(a, b, disjoint);
        }
        if (failure.isEmpty()) // copies beyond what was owed, then the usage logs
            failure = m_violation.isEmpty() ? checkLogs(a, b, disjoint) : m_violation;
        if (!failure.isEmpty())
            QFAIL(qPrintable(QStringLiteral("seed %1: %2").arg(m_seed).arg(failure)));
    }
};

QTEST_GUILESS_MAIN(TstSyncConverge)
#include "tst_syncconverge.moc"
