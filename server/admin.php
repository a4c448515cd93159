<?php
// Operator commands for the stand-in service: news, links, users, upgrade publishing.
declare(strict_types=1);

namespace Inkboat;

if (PHP_SAPI !== 'cli') {
    http_response_code(404);
    exit;
}
require __DIR__ . '/lib/bootstrap.php';

const USAGE = <<<'TXT'
usage: php server/admin.php COMMAND [ARGS]

  news-add TITLE EXCERPT [CONTENT] [SMETA]   add a news item (newest first in lastnews)
  news-list
  link-add NAME URL [SORT]                    add a web link (eshoplinks)
  link-remove ID
  link-list
  shop-url URL                                target of the shop redirect page
  users                                       list accounts
  renamed-users                               accounts renamed when their names came to fold like
                                              an older account's: uid, old name, new name, that account
  reset-password USER NEW_PASSWORD
  publish-app FILE VERSION NEWS [FORCE_VERSION] [APP_MAJOR]
        copy FILE into app/ and write app/updateV<APP_MAJOR, default the major of VERSION>.txt
        (the clients of major N read updateVN.txt: a new major for them needs APP_MAJOR N)
  publish-material FILE VERSION NEWS [FORCE_VERSION] [APP_MAJOR]
        copy a material archive into app/ and write app/updateMV<APP_MAJOR, default 4>.txt

The data folder is $INKBOAT_SERVER_DATA (default ~/.local/share/inkboat-service).

TXT;

function fail(string $msg): never
{
    fwrite(STDERR, "admin: $msg\n");
    exit(1);
}

function need(array $args, int $n): void
{
    if (count($args) < $n) {
        fwrite(STDERR, USAGE);
        exit(2);
    }
}

function utf8(string $s, string $what): string
{
    if (!preg_match('//u', $s)) {
        fail("$what is not UTF-8");
    }
    return $s;
}

function nextId(Db $db, string $table): int
{
    return (int)$db->value("SELECT MAX(id) FROM $table") + 1;
}

function main(array $argv): int
{
    $cmd = $argv[1] ?? '';
    $args = array_slice($argv, 2);
    if ($cmd === '' || $cmd === 'help' || $cmd === '--help') {
        echo USAGE;
        return $cmd === '' ? 2 : 0;
    }
    $db = new Db();
    switch ($cmd) {
        case 'news-add':
            need($args, 2);
            $id = $db->write(function (Db $db) use ($args) {
                $id = nextId($db, 'news');
                $db->exec('INSERT INTO news(id, post_title, post_excerpt, post_content, smeta, created) VALUES(?, ?, ?, ?, ?, ?)',
                    [$id, utf8($args[0], 'title'), utf8($args[1], 'excerpt'), utf8($args[2] ?? '', 'content'),
                        utf8($args[3] ?? '', 'smeta'), gmdate('c')]);
                return $id;
            });
            echo "news $id added\n";
            break;
        case 'news-list':
            foreach ($db->all('SELECT id, created, post_title, post_excerpt FROM news ORDER BY id') as $r) {
                echo "{$r['id']}\t{$r['created']}\t{$r['post_title']}\t{$r['post_excerpt']}\n";
            }
            break;
        case 'link-add':
            need($args, 2);
            if (!preg_match('#^https?://\S+$#i', $args[1])) {
                fail('the URL must start with http:// or https://');
            }
            $id = $db->write(function (Db $db) use ($args) {
                $id = nextId($db, 'links');
                $db->exec('INSERT INTO links(id, link_name, link_url, sort) VALUES(?, ?, ?, ?)',
                    [$id, utf8($args[0], 'name'), $args[1], (int)($args[2] ?? $id)]);
                return $id;
            });
            echo "link $id added\n";
            break;
        case 'link-remove':
            need($args, 1);
            $n = $db->write(fn (Db $db) => $db->exec('DELETE FROM links WHERE id=?', [(int)$args[0]]));
            echo $n ? "link removed\n" : "no such link\n";
            return $n ? 0 : 1;
        case 'link-list':
            foreach ($db->all('SELECT id, sort, link_name, link_url FROM links ORDER BY sort, id') as $r) {
                echo "{$r['id']}\t{$r['sort']}\t{$r['link_name']}\t{$r['link_url']}\n";
            }
            break;
        case 'shop-url':
            need($args, 1);
            if (!preg_match('#^https?://[^\s"<>]+$#i', $args[0])) {
                fail('the URL must start with http:// or https://');
            }
            $db->setSetting('shop_url', $args[0]);
            break;
        case 'users':
            foreach ($db->all('SELECT uid, username, email, max_usn, created FROM users ORDER BY created') as $r) {
                $rows = (int)$db->value('SELECT COUNT(*) FROM sync_rows WHERE uid=?', [$r['uid']]);
                echo "{$r['uid']}\t{$r['username']}\t{$r['email']}\tusn {$r['max_usn']}\trows $rows\t{$r['created']}\n";
            }
            break;
        case 'renamed-users':
            echo (string)$db->value("SELECT value FROM ink_meta WHERE name='report.renamed_users'");
            break;
        case 'reset-password':
            need($args, 2);
            if (strlen($args[1]) < 6 || strlen($args[1]) > 72) {
                fail('the password needs 6 to 72 bytes');
            }
            $hash = password_hash($args[1], PASSWORD_DEFAULT);
            $n = $db->write(function (Db $db) use ($args, $hash) {
                $n = $db->exec('UPDATE users SET password_hash=? WHERE username_key=?', [$hash, Users::key($args[0])]);
                // open sessions end with the old password
                $db->exec("UPDATE sessions SET state='ended' WHERE uid IN (SELECT uid FROM users WHERE username_key=?)",
                    [Users::key($args[0])]);
                return $n;
            });
            if (!$n) {
                fail("no user {$args[0]}");
            }
            echo "password changed\n";
            break;
        case 'publish-app':
        case 'publish-material':
            need($args, 3);
            $material = $cmd === 'publish-material';
            [$file, $version, $news] = $args;
            if (!preg_match('/^\d+(\.\d+)*$/', $version)) {
                fail("version '$version' is not a decimal number");
            }
            $force = $args[3] ?? '';
            if ($force !== '' && !preg_match('/^\d+(\.\d+)*$/', $force)) {
                fail("force version '$force' is not a decimal number");
            }
            $major = $args[4] ?? ($material ? '4' : explode('.', $version)[0]);
            if (!preg_match('/^\d{1,3}$/', $major)) {
                fail("app major '$major' is not a number");
            }
            try {
                $info = UpdateInfo::publish($file, $material, $major,
                    ['version' => $version, 'news' => utf8($news, 'news'), 'forceVersion' => $force]);
            } catch (\InvalidArgumentException | \RuntimeException $e) {
                fail($e->getMessage());
            }
            echo "published $info\n";
            break;
        default:
            fwrite(STDERR, USAGE);
            return 2;
    }
    return 0;
}

try {
    exit(main($argv));
} catch (\Throwable $e) {
    fail($e->getMessage());
}
