<?php
// Eight clients of one account push and pull at once for a while (INKBOAT_TEST_SECONDS, 30 by
// default), each in its own process, the way the desktop client does: pull up to the cloud's USN,
// number new rows from there, push, and pull again when the commit is refused. Afterwards the
// commit rule must have held: USNs unique and gap-free in commit order, every committed row pulled
// by every client, nothing of a refused commit applied, no answer other than success or a refusal.
declare(strict_types=1);

require __DIR__ . '/lib.php';
require dirname(__DIR__) . '/lib/bootstrap.php';

/** Forks $n children, each running $child($i, its end of a socket pair); returns [pid => the parent's end]. */
function forkEach(int $n, callable $child): array
{
    $ends = [];
    for ($i = 0; $i < $n; $i++) {
        [$mine, $theirs] = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
        if (($pid = pcntl_fork()) === 0) {
            fclose($mine);
            $child($i, $theirs);
            exit(0);
        }
        fclose($theirs);
        $ends[$pid] = $mine;
    }
    return $ends;
}

/** What each child wrote last; the children reaped. */
function collect(array $ends): array
{
    return array_map(function ($pid) use ($ends) {
        $text = stream_get_contents($ends[$pid]);
        pcntl_waitpid($pid, $status);
        return $text;
    }, array_keys($ends));
}

// Workers starting on an SQLite store in rollback-journal mode (new, or copied in) while another
// process writes to it: each waits, then switches the store to WAL; none fails.
$GLOBALS['current'] = 'workers_open_a_busy_store';
$file = tempnam(sys_get_temp_dir(), 'inkboat-busy');
// (forked before the writer connects: SQLite's lock bookkeeping must not be inherited)
$workers = forkEach(4, function (int $n, $end) use ($file) {
    fgets($end);
    try {
        (new Inkboat\Db("sqlite:$file"))->setSetting("worker$n", 'started');
        fwrite($end, 'ok');
    } catch (Throwable $e) {
        fwrite($end, $e->getMessage());
    }
});
$writer = new PDO("sqlite:$file", null, null, [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION]);
$writer->exec('CREATE TABLE held (x INTEGER); BEGIN IMMEDIATE; INSERT INTO held VALUES (1)');
array_map(fn ($end) => fwrite($end, "open\n"), $workers);
// The lock goes once every worker has answered or been seen sleeping between its tries for it.
for ($left = $workers, $until = microtime(true) + 20; $left && microtime(true) < $until; usleep(1000)) {
    [$read, $none] = [array_values($left), null];
    stream_select($read, $none, $none, 0);
    $left = array_filter($left, fn ($end, $pid) => !in_array($end, $read, true)
        && !str_contains((string)@file_get_contents("/proc/$pid/wchan"), 'nanosleep'), ARRAY_FILTER_USE_BOTH);
}
check(!$left, 'every worker met the held write lock');
$writer->exec('COMMIT');
same(array_fill(0, 4, 'ok'), collect($workers), 'workers opening a store another process writes to');
$writer = null;
same('wal', (new PDO("sqlite:$file"))->query('PRAGMA journal_mode')->fetchColumn(), 'journal mode');
array_map('unlink', glob("$file*"));
echo ($GLOBALS['failures'] === 0 ? 'PASS' : 'FAIL') . " workers_open_a_busy_store\n";

$svc = new Service(getenv('INKBOAT_TEST_BASE') ?: exit(2), getenv('INKBOAT_TEST_DATA') ?: exit(2));
$seconds = (int)(getenv('INKBOAT_TEST_SECONDS') ?: 30);
$clients = 8;
$GLOBALS['current'] = 'concurrent_clients_of_one_account';
$svc->register($name = 'many' . bin2hex(random_bytes(4)));
// One account signed in once: every client uses the same session, as copies of one profile would.
$session = $svc->login($name);

/**
 * One client until $end: pull, number new rows from the pulled USN (now and then a row of another
 * client written again), push. Then, once the parent says no client pushes any more, a last pull.
 */
function client(Service $svc, array $s, int $n, float $end, $parent): array
{
    $r = ['usn' => 0, 'view' => [], 'commits' => [], 'refused' => [], 'errors' => []];   // view: tid => [usn, attribute1]
    $pull = function () use ($svc, $s, &$r) {
        foreach ($svc->pull($s, $r['usn']) as $row) {
            $r['view'][$row['tid']] = [$row['usn'], $row['attribute1']];
            $r['usn'] = max($r['usn'], $row['usn']);
        }
    };
    $safely = function (callable $step) use (&$r) {
        try {
            $step();
        } catch (Throwable $e) {   // a refused pull, a push that could not begin
            $r['errors'][] = get_class($e) . ': ' . $e->getMessage();
        }
    };
    $safely(function () use ($svc, $s, $n, $end, $pull, &$r) {
        for ($round = 0; microtime(true) < $end; $round++) {
            $pull();
            [$usn, $mark, $others] = [$r['usn'], "c$n-r$round", array_keys($r['view'])];
            $items = array_map(fn ($k) => bookItem("c$n-" . ($round * 3 + $k), $usn + $k + 1, ['attribute1' => $mark]), range(0, 2));
            if ($others && $round % 2 === 1) {
                $items[] = bookItem($others[random_int(0, count($others) - 1)], $usn + 4, ['attribute1' => $mark]);
            }
            $answer = $svc->push($s, $usn, $items);
            match (code($answer)) {
                '0' => $r['commits'][] = [$usn + 1, $usn + count($items), array_fill_keys(array_column($items, 'tid'), $mark)],
                'USN_CONFLICT' => $r['refused'][] = $mark,
                default => $r['errors'][] = 'push ' . code($answer) . ' ' . $answer['head']['errInfo'],
            };
        }
    });
    fwrite($parent, "pushed\n");
    fgets($parent);
    $safely($pull);
    return $r;
}

$end = microtime(true) + $seconds;
$ends = forkEach($clients, fn (int $n, $parent) => fwrite($parent, serialize(client($svc, $session, $n, $end, $parent))));
// The last pulls start once every client has stopped pushing.
array_map('fgets', $ends);
array_map(fn ($e) => fwrite($e, "pull\n"), $ends);
$results = array_map(fn ($text) => unserialize((string)$text) ?: [], collect($ends));

// Every client must have been able to work: only successes and refusals.
foreach ($results as $i => $r) {
    same([], array_slice($r['errors'] ?? ['no result'], 0, 5), "client $i: answers other than success or refusal");
}
[$commits, $refused] = array_map(fn ($k) => array_merge(...array_map(fn ($r) => $r[$k] ?? [], $results)), ['commits', 'refused']);
usort($commits, fn ($a, $b) => $a[0] <=> $b[0]);
check(count($commits) >= $clients && count($refused) > 0, 'commits went through, and some were refused (the clients raced): '
    . count($commits) . ', ' . count($refused));

// Gap-free and unique in commit order: each commit starts right after the one before it. The store
// holds exactly the latest committed version of each row, and nothing of a refusal.
$next = 1;
$expected = $stored = [];
foreach ($commits as [$lo, $hi, $rows]) {
    $lo === $next || check(false, "commit of USNs $lo..$hi follows USN " . ($next - 1));
    $next = $hi + 1;
    foreach (array_keys($rows) as $k => $tid) {
        $expected[$tid] = [$lo + $k, $rows[$tid]];
    }
}
$uid = $session['uid'];
foreach ($svc->db()->query("SELECT tid, usn, attribute1 FROM sync_rows WHERE uid='$uid'") as $row) {
    $stored[$row['tid']] = [(int)$row['usn'], $row['attribute1']];
}
ksort($expected);
ksort($stored);
checks([["the account's USN", $next - 1, (int)$svc->one("SELECT max_usn FROM users WHERE uid='$uid'")],
    ['stored USNs unique', 0, (int)$svc->one("SELECT COUNT(*) FROM (SELECT usn FROM sync_rows WHERE uid='$uid' GROUP BY usn
        HAVING COUNT(*) > 1) d")], ['rows of refused commits', [], array_values(array_intersect(array_column($stored, 1), $refused))]]);
check($stored === $expected, 'stored rows are the latest committed versions: ' . count($stored) . ' of ' . count($expected));
// Every client ends with every committed row, pulled.
foreach ($results as $i => $r) {
    $view = $r['view'] ?? [];
    ksort($view);
    check($view === $expected, "client $i pulled every committed row (" . count($view) . ' of ' . count($expected) . ')');
}
// With several PHP-FPM hosts, requests must have landed on each (the access log names the host).
if (($pools = (int)getenv('INKBOAT_TEST_POOLS')) > 1) {
    preg_match_all('/ (unix:\S+)$/m', (string)file_get_contents(getenv('INKBOAT_TEST_STACK') . '/nginx/inkboat-access.log'), $m);
    $hosts = array_count_values($m[1]);
    check(count($hosts) === $pools && min($hosts) > count($m[1]) / (3 * $pools), 'requests per host: ' . json_encode($hosts));
}
printf("%d clients, %d s: %d commits, %d refused, USN %d\n", $clients, $seconds, count($commits), count($refused), $next - 1);
echo ($GLOBALS['failures'] === 0 ? 'PASS' : 'FAIL') . " concurrent_clients_of_one_account\n";
exit($GLOBALS['failures'] === 0 ? 0 : 1);
