<?php
// User names: the account key every registration and sign-in is looked up by, and the upgrade of
// a store whose keys were made by an older, looser rule.
declare(strict_types=1);

namespace Inkboat;

final class Users
{
    /** What the client's QString::trimmed() takes for space: every Unicode separator and the ASCII ones. */
    private const SPACE = '[\p{Z}\t\n\v\f\r\x{85}]';

    /** Longest user name the service accepts, in characters. */
    public const MAX_NAME = 50;

    public static function trim(string $name): string
    {
        return (string)preg_replace('/^' . self::SPACE . '+|' . self::SPACE . '+$/u', '', $name);
    }

    /**
     * The account key of a valid UTF-8 name: NFKC, outer spaces of every kind trimmed, simple case
     * folding. The client folds in the same steps (account::foldUserName), so both sides agree
     * whether two spellings ("u1", "U1　", "ｕ１") are one account. Simple folding, because full
     * folding ("ß" → "ss") is what Qt does not do.
     */
    public static function key(string $name): string
    {
        $nfkc = \Normalizer::normalize($name, \Normalizer::FORM_KC);
        return mb_convert_case(self::trim($nfkc === false ? $name : $nfkc), MB_CASE_FOLD_SIMPLE, 'UTF-8');
    }

    /**
     * Inside the schema upgrade: gives every account the key of key(). Accounts whose names now
     * fold together are never merged, as their rows belong to different sign-ins: the first
     * registered keeps its name, each later one is renamed "<name>#2", "#3", … to a name no other
     * account folds to, so its owner can still sign in once told. Each rename is logged and kept
     * for `admin.php renamed-users`. Returns the report lines.
     */
    public static function rekey(Db $db): array
    {
        $users = $db->all('SELECT uid, username FROM users ORDER BY created, uid');
        $natural = [];
        foreach ($users as $u) {
            $natural[self::key((string)$u['username'])] = true;
        }
        // Keys go out of the way first, so that no update meets the unique index halfway (no name
        // holds a control character).
        $db->exec('UPDATE users SET username_key = ? || uid', ["\x01"]);
        $owner = [];
        $report = [];
        foreach ($users as $u) {
            $name = (string)$u['username'];
            $key = self::key($name);
            if ($key === '' || isset($owner[$key])) {
                $base = self::trim($name) === '' ? '用户' : self::trim($name);
                for ($n = 2;; $n++) {
                    $candidate = mb_substr($base, 0, self::MAX_NAME - strlen("#$n"), 'UTF-8') . "#$n";
                    $candidateKey = self::key($candidate);
                    if (!isset($owner[$candidateKey]) && !isset($natural[$candidateKey])) {
                        break;
                    }
                }
                $line = "{$u['uid']}\t{$name}\t{$candidate}\t" . ($key === '' ? '' : $owner[$key]['username']);
                error_log("inkboat notice: account renamed, its name folds like an older account's: $line");
                $report[] = $line;
                [$name, $key] = [$candidate, $candidateKey];
            }
            $owner[$key] = ['uid' => $u['uid'], 'username' => $name];
            $db->exec('UPDATE users SET username=?, username_key=? WHERE uid=?', [$name, $key, $u['uid']]);
        }
        if ($report !== []) {
            $old = (string)$db->value("SELECT value FROM ink_meta WHERE name='report.renamed_users'");
            $db->exec("DELETE FROM ink_meta WHERE name='report.renamed_users'");
            $db->exec("INSERT INTO ink_meta(name, value) VALUES('report.renamed_users', ?)",
                [$old . implode("\n", $report) . "\n"]);
        }
        return $report;
    }
}
