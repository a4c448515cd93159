<?php
// Counters against abuse, kept in the database so that every front end shares them: wrong
// passwords per account name, registrations per address. A counter that reaches its maximum
// within its window locks its key for a wait; a locked key is refused before any bcrypt.
declare(strict_types=1);

namespace Inkboat;

final class Limits
{
    /** Throws $code while $key is locked; whether $key has a counter. The check costs one indexed read. */
    public static function refuseIfLocked(Db $db, string $key, string $code, string $info): bool
    {
        $until = $db->value('SELECT locked_until FROM limits WHERE name=?', [$key]);
        if ((int)$until > time()) {
            throw new ApiError($code, sprintf($info, (int)ceil(((int)$until - time()) / 60)));
        }
        return $until !== null;
    }

    /** Counts one event of $key; the $max-th within $window seconds locks the key for $wait seconds. */
    public static function count(Db $db, string $key, int $max, int $window, int $wait): void
    {
        $db->write(function (Db $db) use ($key, $max, $window, $wait) {
            $now = time();
            $db->housekeeping('limits', fn (Db $d) => $d->exec('DELETE FROM limits WHERE locked_until<? AND since<?',
                [$now, $now - max($window, 86400)]));
            $db->exec('INSERT INTO limits(name, hits, since, locked_until) VALUES(?, 0, ?, 0) ON CONFLICT(name) DO NOTHING',
                [$key, $now]);
            $row = $db->one('SELECT hits, since FROM limits WHERE name=?' . ($db->sqlite ? '' : ' FOR UPDATE'), [$key]);
            $fresh = (int)$row['since'] < $now - $window;
            $hits = ($fresh ? 0 : (int)$row['hits']) + 1;
            $locked = $hits >= $max;
            $db->exec('UPDATE limits SET hits=?, since=?, locked_until=? WHERE name=?',
                [$locked ? 0 : $hits, $fresh || $locked ? $now : (int)$row['since'], $locked ? $now + $wait : 0, $key]);
        });
    }

    public static function clear(Db $db, string $key): void
    {
        $db->write(fn (Db $db) => $db->exec('DELETE FROM limits WHERE name=?', [$key]));
    }
}
