<?php
// Sessions of signed-in clients: one active session per account; a later sign-in replaces it.
declare(strict_types=1);

namespace Inkboat;

final class Sessions
{
    /**
     * The user of uid/sid; "-3" when a later sign-in replaced the session, "-2" otherwise. With
     * $ticket ([tid, expires]) a web sign-in ticket of the session is stored too.
     */
    public static function check(Db $db, string $uid, string $sid, ?array $ticket = null): array
    {
        if (!Api::isToken($uid) || !Api::isToken($sid)) {
            throw new ApiError('-2', '登录已失效，请重新登录！');
        }
        $uid = strtolower($uid);
        $sid = strtolower($sid);
        $now = time();
        // One round trip: the session with its user and the schema check (every call of a
        // signed-in client starts here). On PostgreSQL the ticket comes in the same statement,
        // added where the session passes the checks below (spelled alike in SQL).
        $with = '';
        $args = [$sid];
        $inserted = $ticket !== null && $db->pgsql;
        if ($inserted) {
            $with = "WITH t AS (INSERT INTO web_tickets(tid, uid, sid, expires, used)
                SELECT ?, uid, sid, CAST(? AS BIGINT), 0 FROM sessions
                WHERE sid=? AND uid=? AND state='active' AND last_seen>=?)";
            $args = [$ticket[0], $ticket[1], $sid, $uid, $now - Config::SESSION_IDLE, $sid];
        }
        $s = $db->oneWithSchema('SELECT s.uid, s.state, s.last_seen, u.username, u.max_usn
            FROM sessions s JOIN users u ON u.uid=s.uid WHERE s.sid=?', $args, $with);
        if ($s === null || $s['uid'] !== $uid) {
            throw new ApiError('-2', '登录已失效，请重新登录！');
        }
        if ($s['state'] === 'replaced') {
            throw new ApiError('-3', '帐号已在其他地方登录！');
        }
        if ($s['state'] !== 'active' || $now - (int)$s['last_seen'] > Config::SESSION_IDLE) {
            throw new ApiError('-2', '登录已失效，请重新登录！');
        }
        if ($ticket !== null && !$inserted) {
            // (SQLite) one statement of its own, with no transaction around it
            $db->exec('INSERT INTO web_tickets(tid, uid, sid, expires, used) VALUES(?, ?, ?, ?, 0)',
                [$ticket[0], $uid, $sid, $ticket[1]]);
        }
        if ($now - (int)$s['last_seen'] >= 60) {
            $db->write(function (Db $d) use ($now, $sid) {
                $d->relaxedCommit();
                $d->exec('UPDATE sessions SET last_seen=? WHERE sid=?', [$now, $sid]);
            });
        }
        return ['uid' => $uid, 'username' => $s['username'], 'max_usn' => $s['max_usn'], 'sid' => $sid];
    }

    /** Inside write(): starts a new session for the user; the previous ones answer "-3" from now on. */
    public static function start(Db $db, string $uid, string $version): string
    {
        $sid = Api::token();
        $now = time();
        $db->lockUser($uid);   // two sign-ins at once still leave one active session
        $db->exec("UPDATE sessions SET state='replaced' WHERE uid=? AND state='active'", [$uid]);
        $db->housekeeping('sessions', fn (Db $d) => $d->exec('DELETE FROM sessions WHERE last_seen<?',
            [$now - 30 * 86400]));
        $db->exec("INSERT INTO sessions(sid, uid, state, version, created, last_seen) VALUES(?, ?, 'active', ?, ?, ?)",
            [$sid, $uid, substr($version, 0, 32), $now, $now]);
        return $sid;
    }
}
