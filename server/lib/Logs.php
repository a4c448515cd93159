<?php
// Usage logs arrive as absolute per-day values, so storing is an upsert by (user, key, day) where
// the newer update_time wins: a batch sent twice, or out of order, leaves the same result.
declare(strict_types=1);

namespace Inkboat;

final class Logs
{
    public static function actionItems(array $data): array
    {
        return self::items($data, 'action', 200, ['triggerCount']);
    }

    public static function bookItems(array $data): array
    {
        return self::items($data, 'bookId', 64, ['wordCount1', 'wordCount2']);
    }

    private static function items(array $data, string $keyName, int $keyMax, array $counts): array
    {
        if (count($data) > Config::MAX_LOG_BATCH) {
            throw new ApiError('BATCH_TOO_LARGE', '一次上传的数据过多！');
        }
        $items = [];
        foreach ($data as $i => $raw) {
            $bad = fn (string $k) => new ApiError('BAD_DATA', sprintf('第%d条数据的%s不正确！', $i + 1, $k));
            if (!is_array($raw)) {
                throw $bad('格式');
            }
            $item = [];
            $key = $raw[$keyName] ?? null;
            if (!is_string($key) || $key === '' || strlen($key) > $keyMax) {
                throw $bad($keyName);
            }
            $item['key'] = $key;
            $adate = $raw['adate'] ?? null;
            if (!is_string($adate) || strlen($adate) > 64 || !preg_match('/^(\d{4})-(\d{2})-(\d{2})/', $adate, $m)
                || !checkdate((int)$m[2], (int)$m[3], (int)$m[1])) {
                throw $bad('adate');
            }
            $item['adate'] = $adate;
            $item['day'] = substr($adate, 0, 10);
            foreach ($counts as $c) {
                $v = $raw[$c] ?? 0;
                if (is_float($v) && floor($v) === $v) {
                    $v = (int)$v;
                }
                if (!is_int($v) || $v < 0 || $v > 2147483647) {
                    throw $bad($c);
                }
                $item[$c] = $v;
            }
            foreach (['attribute1', 'attribute2', 'attribute3', 'create_time', 'update_time'] as $k) {
                $v = $raw[$k] ?? '';
                if (!is_string($v) || strlen($v) > ($k[0] === 'a' ? 4096 : 64)) {
                    throw $bad($k);
                }
                $item[$k] = $v;
            }
            $items[] = $item;
        }
        return $items;
    }

    /** Date-time texts compare as text once the separator is the same. */
    private static function newer(string $incoming, ?string $stored): bool
    {
        return $stored === null || strcmp(str_replace('T', ' ', $incoming), str_replace('T', ' ', $stored)) >= 0;
    }

    public static function storeActions(Db $db, string $uid, array $items): void
    {
        $db->lockUser($uid);   // a replaced day row is deleted and inserted again
        foreach ($items as $it) {
            $k = [$uid, $it['key'], $it['day']];
            $stored = $db->value('SELECT update_time FROM action_logs WHERE uid=? AND action=? AND day=?', $k);
            if (!self::newer($it['update_time'], $stored === null ? null : (string)$stored)) {
                continue;
            }
            $db->exec('DELETE FROM action_logs WHERE uid=? AND action=? AND day=?', $k);
            $db->exec('INSERT INTO action_logs(uid, action, day, adate, trigger_count, attribute1, attribute2, attribute3,
                create_time, update_time, received) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)',
                array_merge($k, [$it['adate'], $it['triggerCount'], $it['attribute1'], $it['attribute2'],
                    $it['attribute3'], $it['create_time'], $it['update_time'], time()]));
        }
    }

    public static function storeBooks(Db $db, string $uid, array $items): void
    {
        $db->lockUser($uid);   // a replaced day row is deleted and inserted again
        foreach ($items as $it) {
            $k = [$uid, $it['key'], $it['day']];
            $stored = $db->value('SELECT update_time FROM book_logs WHERE uid=? AND book_id=? AND day=?', $k);
            if (!self::newer($it['update_time'], $stored === null ? null : (string)$stored)) {
                continue;
            }
            $db->exec('DELETE FROM book_logs WHERE uid=? AND book_id=? AND day=?', $k);
            $db->exec('INSERT INTO book_logs(uid, book_id, day, adate, word_count1, word_count2, attribute1, attribute2,
                attribute3, create_time, update_time, received) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)',
                array_merge($k, [$it['adate'], $it['wordCount1'], $it['wordCount2'], $it['attribute1'],
                    $it['attribute2'], $it['attribute3'], $it['create_time'], $it['update_time'], time()]));
        }
    }
}
