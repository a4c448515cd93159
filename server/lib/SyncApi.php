<?php
// Cloud sync endpoints (pull in pages from a snapshot, push staged in batches and committed at
// once) and the usage logs; the rules they share live in Sync and Logs.
declare(strict_types=1);

namespace Inkboat;

final class SyncApi
{
    public function __construct(private Api $api)
    {
    }

    public function beginPull(): array
    {
        $user = $this->api->session();
        $usn = $this->api->intParam('usn', 0, 2147483647);
        $reqcode = Api::token();
        $cols = implode(', ', Db::ROW_COLUMNS);
        $total = $this->api->db()->write(function (Db $db) use ($user, $usn, $reqcode, $cols) {
            Sync::expire($db);
            [$now, $created] = [time(), (int)(microtime(true) * 1e6)];
            // The snapshot: later commits of other clients cannot shift rows between pages.
            $db->exec("INSERT INTO pull_rows(reqcode, pos, $cols)
                SELECT ?, ROW_NUMBER() OVER (ORDER BY usn, datatype, tid) - 1, $cols
                FROM sync_rows WHERE uid=? AND usn>?", [$reqcode, $user['uid'], $usn]);
            $total = (int)$db->value('SELECT COUNT(*) FROM pull_rows WHERE reqcode=?', [$reqcode]);
            // An empty pull is never finished by the client, so it starts closed.
            $db->exec('INSERT INTO reqcodes(reqcode, uid, kind, state, client_usn, total, created, last_used)
                VALUES(?, ?, ?, ?, ?, ?, ?, ?)',
                [$reqcode, $user['uid'], 'pull', $total > 0 ? 'open' : 'finished', $usn, $total, $created, $now]);
            Sync::capOpen($db, $user['uid']);
            return $total;
        });
        return ['reqcode' => $reqcode, 'totalCount' => $total];
    }

    public function pullDetail(): array
    {
        $user = $this->api->session();
        $reqcode = $this->api->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $page = $this->api->intParam('page', 0, 100000000);
        $size = $this->api->intParam('pagesize', 1, Config::MAX_PAGE_SIZE);
        $db = $this->api->db();
        $rc = Sync::reqcode($db, $reqcode, $user['uid'], 'pull');
        Sync::requireOpen($rc);
        $cols = implode(', ', Db::ROW_COLUMNS);
        $rows = $db->all("SELECT $cols FROM pull_rows WHERE reqcode=? AND pos>=? AND pos<? ORDER BY pos",
            [$reqcode, $page * $size, ($page + 1) * $size]);
        Sync::touch($db, $rc);
        return ['data' => array_map(fn (array $r) => Sync::toItem($db, $r), $rows)];
    }

    public function finishPull(): array
    {
        $user = $this->api->session();
        $reqcode = $this->api->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $this->api->db()->write(function (Db $db) use ($reqcode, $user) {
            $rc = Sync::reqcode($db, $reqcode, $user['uid'], 'pull');
            if ($rc['state'] === 'open') {
                Sync::close($db, $reqcode, 'finished');
            }
        });
        return [];
    }

    public function beginPush(): array
    {
        $user = $this->api->session();
        $usn = $this->api->intParam('usn', 0, 2147483647);
        if ($this->api->req->get('us') !== '') {
            $this->api->intParam('us', 0, PHP_INT_MAX);
        }
        $reqcode = Api::token();
        $this->api->db()->write(function (Db $db) use ($user, $usn, $reqcode) {
            Sync::expire($db);
            [$now, $created] = [time(), (int)(microtime(true) * 1e6)];
            $db->exec("INSERT INTO reqcodes(reqcode, uid, kind, state, client_usn, total, created, last_used)
                VALUES(?, ?, 'push', 'open', ?, 0, ?, ?)", [$reqcode, $user['uid'], $usn, $created, $now]);
            Sync::capOpen($db, $user['uid']);
        });
        // (the maximum read with the session: the commit rule, not this hint, guards the rows)
        return ['reqcode' => $reqcode, 'shouldPull' => $usn < (int)$user['max_usn']];
    }

    public function pushDetail(): array
    {
        $user = $this->api->session();
        $reqcode = $this->api->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $db = $this->api->db();
        Sync::requireOpen(Sync::reqcode($db, $reqcode, $user['uid'], 'push'));
        $data = $this->api->jsonBody();
        if (count($data) > Config::MAX_BATCH) {
            throw new ApiError('BATCH_TOO_LARGE', '一次上传的数据过多！');
        }
        $items = [];
        foreach ($data as $i => $raw) {
            $items[] = Sync::fromItem($raw, $i);
        }
        $db->write(function (Db $db) use ($reqcode, $user, $items) {
            // The state may have changed since the first look (a commit or cancel in between).
            $db->lockUser($user['uid']);
            $rc = Sync::reqcode($db, $reqcode, $user['uid'], 'push');
            Sync::requireOpen($rc);
            Sync::stage($db, $reqcode, $items);
            $db->exec('UPDATE reqcodes SET last_used=? WHERE reqcode=?', [time(), $reqcode]);
        });
        return [];
    }

    public function commitPush(): array
    {
        $user = $this->api->session();
        $reqcode = $this->api->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $this->api->db()->write(fn (Db $db) => Sync::commit($db, $reqcode, $user['uid']));
        return [];
    }

    public function cancelSync(): array
    {
        $user = $this->api->session();
        $reqcode = $this->api->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $this->api->db()->write(function (Db $db) use ($reqcode, $user) {
            $db->lockUser($user['uid']);
            $rc = Sync::reqcode($db, $reqcode, $user['uid'], null);
            // Only an open transfer is cancelled: a commit that went through is never undone.
            if ($rc['state'] === 'open') {
                Sync::close($db, $reqcode, 'canceled');
            }
        });
        return [];
    }

    public function pushActionLog(): array
    {
        $user = $this->api->session();
        $items = Logs::actionItems($this->api->jsonBody());
        $this->api->db()->write(fn (Db $db) => Logs::storeActions($db, $user['uid'], $items));
        return [];
    }

    public function pushBookLog(): array
    {
        $user = $this->api->session();
        $items = Logs::bookItems($this->api->jsonBody());
        $this->api->db()->write(fn (Db $db) => Logs::storeBooks($db, $user['uid'], $items));
        return [];
    }
}
