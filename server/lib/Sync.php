<?php
// Cloud store per user: rows keyed by (uid, datatype, tid), never deleted (deletions are rows
// with flag "D"), each carrying the USN its client gave it. USNs of a user only grow.
declare(strict_types=1);

namespace Inkboat;

final class Sync
{
    private const STRINGS = ['ptid' => 64, 'title' => 65536, 'category' => 65536, 'rtf' => Config::MAX_BODY,
        'html' => Config::MAX_BODY, 'plaintext' => Config::MAX_BODY, 'attribute1' => 65536, 'attribute2' => 65536,
        'attribute3' => 65536, 'create_time' => 64, 'update_time' => 64, 'origtid' => 64, 'flag' => 8];

    /** Closes transfers idle for an hour and forgets long-closed ones. */
    public static function expire(Db $db): void
    {
        $db->housekeeping('expire', function (Db $db) {
            $now = time();
            $old = $now - Config::REQCODE_IDLE;
            $db->exec("DELETE FROM pull_rows WHERE reqcode IN
                (SELECT reqcode FROM reqcodes WHERE state='open' AND last_used<?)", [$old]);
            $db->exec("DELETE FROM push_rows WHERE reqcode IN
                (SELECT reqcode FROM reqcodes WHERE state='open' AND last_used<?)", [$old]);
            $db->exec("UPDATE reqcodes SET state='expired' WHERE state='open' AND last_used<?", [$old]);
            // The closed states by name: "<> 'open'" cannot use the index and read a week of codes each time.
            $db->exec("DELETE FROM reqcodes WHERE state IN ('committed', 'finished', 'canceled', 'expired') AND last_used<?",
                [$now - 7 * 86400]);
        });
    }

    /** Ends an open transfer and removes what it held: its pull snapshot or its staged rows. */
    public static function close(Db $db, string $reqcode, string $state): void
    {
        $db->exec('UPDATE reqcodes SET state=?, last_used=? WHERE reqcode=?', [$state, time(), $reqcode]);
        $db->exec('DELETE FROM pull_rows WHERE reqcode=?', [$reqcode]);
        $db->exec('DELETE FROM push_rows WHERE reqcode=?', [$reqcode]);
    }

    /**
     * Beyond the cap of open transfers per user the oldest expire: clients abandon transfers, never
     * hold many. (A code's "created" is in microseconds, so codes begun in one second keep their order.)
     */
    public static function capOpen(Db $db, string $uid): void
    {
        $open = $db->all("SELECT reqcode FROM reqcodes WHERE uid=? AND state='open' ORDER BY created DESC", [$uid]);
        foreach (array_slice($open, Config::limit('OPEN_TRANSFERS')) as $rc) {
            self::close($db, $rc['reqcode'], 'expired');
        }
    }

    /** The transfer $reqcode of this user; another user's code looks like an unknown one. */
    public static function reqcode(Db $db, string $reqcode, string $uid, ?string $kind): array
    {
        $rc = $db->one('SELECT reqcode, uid, kind, state, last_used FROM reqcodes WHERE reqcode=?', [$reqcode]);
        if ($rc === null || $rc['uid'] !== $uid) {
            throw new ApiError('REQCODE_UNKNOWN', '同步请求无效！');
        }
        if ($kind !== null && $rc['kind'] !== $kind) {
            throw new ApiError('REQCODE_KIND', '同步请求类型不正确！');
        }
        return $rc;
    }

    public static function requireOpen(array $rc): void
    {
        if ($rc['state'] === 'open' && time() - (int)$rc['last_used'] > Config::REQCODE_IDLE) {
            $rc['state'] = 'expired';
        }
        if ($rc['state'] === 'expired') {
            throw new ApiError('REQCODE_EXPIRED', '同步请求已过期，请重新同步！');
        }
        if ($rc['state'] !== 'open') {
            throw new ApiError('REQCODE_CLOSED', '同步请求已结束！');
        }
    }

    /** Keeps a transfer alive while it is paged; written at most once a minute. */
    public static function touch(Db $db, array $rc): void
    {
        $now = time();
        if ($now - (int)$rc['last_used'] >= 60) {
            $db->write(fn (Db $d) => $d->exec("UPDATE reqcodes SET last_used=? WHERE reqcode=? AND state='open'",
                [$now, $rc['reqcode']]));
        }
    }

    /** A stored row as the client's BookItem, with the record's JSON types. */
    public static function toItem(Db $db, array $r): array
    {
        $item = [];
        foreach (Db::ROW_COLUMNS as $c) {
            $item[$c] = match ($c) {
                'nodetype', 'level', 'usn' => (int)$r[$c],
                'sort' => (float)$r[$c],
                default => $db->fromStored((string)$r[$c]),
            };
        }
        return $item;
    }

    /** Checks one BookItem of a push; nulls stand for empty values as in the client's own decoding. */
    public static function fromItem(mixed $raw, int $index): array
    {
        $bad = fn (string $key) => new ApiError('BAD_DATA', sprintf('第%d条数据的%s不正确！', $index + 1, $key));
        if (!is_array($raw)) {
            throw $bad('格式');
        }
        $row = [];
        $datatype = $raw['datatype'] ?? null;
        if ($datatype !== 'book' && $datatype !== 'memo') {
            throw $bad('datatype');
        }
        $row['datatype'] = $datatype;
        $tid = $raw['tid'] ?? null;
        if (!is_string($tid) || $tid === '' || strlen($tid) > 64) {
            throw $bad('tid');
        }
        $row['tid'] = $tid;
        foreach (['nodetype', 'level'] as $k) {
            $row[$k] = self::intValue($raw[$k] ?? null, -2147483648, 2147483647) ?? throw $bad($k);
        }
        $sort = $raw['sort'] ?? 0;
        if (!is_int($sort) && !is_float($sort)) {
            throw $bad('sort');
        }
        $row['sort'] = (float)$sort;
        foreach (self::STRINGS as $k => $max) {
            $v = $raw[$k] ?? '';
            if (!is_string($v) || strlen($v) > $max) {
                throw $bad($k);
            }
            $row[$k] = $v;
        }
        if (!isset($raw['usn'])) {
            throw $bad('usn');
        }
        $row['usn'] = self::intValue($raw['usn'], 1, 2147483647) ?? throw $bad('usn');
        // A deletion is exempt: it only has to reach the devices, and it must stay possible for a
        // row stored before the limits existed.
        if ($row['level'] < 0) {
            throw $bad('level');
        }
        if ($row['flag'] !== 'D' && $row['level'] > Config::MAX_TREE_LEVEL) {
            throw new ApiError('BAD_DATA', sprintf('第%d条数据的层级超过%d层！', $index + 1, Config::MAX_TREE_LEVEL));
        }
        if ($row['flag'] !== 'D' && preg_match_all('/./su', $row['title']) > Config::MAX_TITLE_LENGTH) {
            throw new ApiError('BAD_DATA', sprintf('第%d条数据的标题超过%d个字符！', $index + 1, Config::MAX_TITLE_LENGTH));
        }
        $ordered = [];
        foreach (Db::ROW_COLUMNS as $c) {
            $ordered[$c] = $row[$c];
        }
        return $ordered;
    }

    private static function intValue(mixed $v, int $min, int $max): ?int
    {
        $v ??= 0;
        if (is_float($v) && floor($v) === $v && abs($v) < 4e18) {
            $v = (int)$v;
        }
        return is_int($v) && $v >= $min && $v <= $max ? $v : null;
    }

    /** The bytes of an item's texts as stored, counted against the user's quota. */
    private static function bytes(array $item): int
    {
        return array_sum(array_map(fn ($c) => strlen($item[$c]), Db::TEXT_COLUMNS));
    }

    /**
     * Stages the items of one pushDetail; a later item of the same key replaces an earlier one.
     * One code never stages more than the user's quota could take.
     */
    public static function stage(Db $db, string $reqcode, array $items): void
    {
        $rows = [];
        foreach ($items as $item) {
            foreach ($item as $c => $v) {
                is_string($v) && $item[$c] = $db->toStored($v);
            }
            $rows[$item['datatype'] . '/' . $item['tid']] = [$reqcode, self::bytes($item), ...array_values($item)];
        }
        if ($rows !== []) {
            // The batch in one statement; a key staged before is replaced.
            $cols = implode(', ', Db::ROW_COLUMNS);
            $marks = '(' . implode(', ', array_fill(0, count(Db::ROW_COLUMNS) + 2, '?')) . ')';
            $set = implode(', ', array_map(fn ($c) => "$c=excluded.$c", ['bytes', ...Db::ROW_COLUMNS]));
            $db->exec("INSERT INTO push_rows(reqcode, bytes, $cols) VALUES " . implode(', ', array_fill(0, count($rows), $marks))
                . " ON CONFLICT(reqcode, datatype, tid) DO UPDATE SET $set", array_merge(...array_values($rows)));
        }
        $st = $db->one('SELECT COUNT(*) n, COALESCE(SUM(bytes), 0) b FROM push_rows WHERE reqcode=?', [$reqcode]);
        if ((int)$st['n'] > Config::limit('QUOTA_ROWS') || (int)$st['b'] > Config::limit('QUOTA_BYTES')) {
            throw self::overQuota();
        }
    }

    private static function overQuota(): ApiError
    {
        return new ApiError('QUOTA_EXCEEDED', sprintf('云端空间已满（每位用户最多%d条数据、%d MB），本次上传未保存！',
            Config::limit('QUOTA_ROWS'), intdiv(Config::limit('QUOTA_BYTES'), 1048576)));
    }

    /**
     * Applies a staged push, inside the caller's write transaction. Refused when the lowest
     * staged USN does not follow the user's current maximum: another client committed since
     * this one last pulled, or it numbered its rows from a stale USN. The user's lock comes first,
     * so a second commit of the same user (or of the same code) sees this one's outcome.
     */
    public static function commit(Db $db, string $reqcode, string $uid): void
    {
        $user = $db->lockUser($uid);
        $rc = self::reqcode($db, $reqcode, $uid, 'push');
        if ($rc['state'] === 'committed') {
            return;   // a repeated commit (lost answer) changes nothing
        }
        self::requireOpen($rc);
        $st = $db->one('SELECT COUNT(*) n, COUNT(DISTINCT usn) d, MIN(usn) lo, MAX(usn) hi, COALESCE(SUM(bytes), 0) b
            FROM push_rows WHERE reqcode=?', [$reqcode]);
        $n = (int)$st['n'];
        if ($n > 0) {
            $max = (int)($user['max_usn'] ?? 0);
            if ((int)$st['lo'] - 1 < $max) {
                throw new ApiError('USN_CONFLICT', '云端数据已被其他客户端更新，请先同步下载后再上传！');
            }
            if ((int)$st['d'] !== $n) {
                throw new ApiError('USN_DUPLICATE', '上传数据的序号重复！');
            }
            // Rows this push replaces give their room back; a push that would end over the quota
            // is refused whole (the caller's transaction puts the deleted rows back).
            $old = $db->all('DELETE FROM sync_rows WHERE uid=? AND EXISTS (SELECT 1 FROM push_rows p
                WHERE p.reqcode=? AND p.datatype=sync_rows.datatype AND p.tid=sync_rows.tid) RETURNING bytes', [$uid, $reqcode]);
            $rows = (int)$user['used_rows'] + $n - count($old);
            $bytes = (int)$user['used_bytes'] + (int)$st['b'] - array_sum(array_map('intval', array_column($old, 'bytes')));
            if ($rows > Config::limit('QUOTA_ROWS') || $bytes > Config::limit('QUOTA_BYTES')) {
                throw self::overQuota();
            }
            $cols = implode(', ', Db::ROW_COLUMNS);
            $db->exec("INSERT INTO sync_rows(uid, bytes, $cols) SELECT ?, bytes, $cols FROM push_rows WHERE reqcode=?",
                [$uid, $reqcode]);
            $db->exec('UPDATE users SET max_usn=?, used_rows=?, used_bytes=? WHERE uid=?', [(int)$st['hi'], $rows, $bytes, $uid]);
        }
        $db->exec("UPDATE reqcodes SET state='committed', total=?, last_used=? WHERE reqcode=?", [$n, time(), $reqcode]);
        $db->exec('DELETE FROM push_rows WHERE reqcode=?', [$reqcode]);
    }
}
