<?php
// Eight clients of one account push and pull at once for a while (INKBOAT_TEST_SECONDS, 30 by
// default), each in its own process, the way the desktop client does: pull up to the cloud's USN,
// number new rows from there, push, and pull again when the commit is refused. Afterwards the
// commit rule must have held: USNs unique and gap-free in commit order, every committed row pulled
// by every client, nothing of a refused commit applied, no answer other than success or a refusal.
declare(strict_types=1);

require __DIR__ . '/lib.php';
require dirname(__DIR__) . '/lib/bootstrap.php';

// Workers starting on an SQLite store in rollback-journal mode (new, or copied in) while another
// process writes to it: each waits, then switches the store to WAL; none fails.
$GLOBALS['current'] = 'workers_open_a_busy_store';
$file = tempnam(sys_get_temp_dir(), 'inkboat-busy');
$workers = [];
for ($n = 0; $n < 4; $n++) {
    $pair = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
    if (($pid = pcntl_fork()) === 0) {
        // (forked before the writer connects: SQLite's lock bookkeeping must not be inherited)
        fgets($pair[1]);
        try {
            (new Inkboat\Db("sqlite:$file"))->setSetting("worker$n", 'started');
            fwrite($pair[1], 'ok');
        } catch (Throwable $e) {
            fwrite($pair[1], $e->getMessage());
        }
        exit(0);
    }
    fclose($pair[1]);
    $workers[$pid] = $pair[0];
}
$writer = new PDO("sqlite:$file", null, null, [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION]);
$writer->exec('CREATE TABLE held (x INTEGER)');
$writer->exec('BEGIN IMMEDIATE; INSERT INTO held VALUES (1)');
foreach ($workers as $pipe) {
    fwrite($pipe, "open\n");
}
usleep(300000);   // the write lock stays held while the workers open the store
$writer->exec('COMMIT');
foreach ($workers as $pid => $pipe) {
    same('ok', stream_get_contents($pipe), 'a worker opening a store another process writes to');
    pcntl_waitpid($pid, $status);
}
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

/** One client's run; returns what it saw and did. $settled waits until no client pushes any more. */
function client(Service $svc, array $s, int $n, float $end, callable $settled): array
{
    $usn = 0;
    $view = [];          // tid => [usn, attribute1] as pulled
    $commits = [];       // [lo, hi, [tid => attribute1]]
    $refused = [];       // attribute1 marks of refused pushes
    $errors = [];
    $pull = function () use ($svc, $s, &$usn, &$view, &$errors) {
        $b = $svc->beginPull($s, $usn);
        if (code($b) !== '0') {
            $errors[] = 'beginPull ' . code($b);
            return;
        }
        for ($page = 0; $page * 10 < $b['totalCount']; $page++) {
            $d = $svc->call('pullDetail', $s, "&reqcode={$b['reqcode']}&page=$page&pagesize=10");
            if (code($d) !== '0') {
                $errors[] = 'pullDetail ' . code($d);
                return;
            }
            foreach ($d['data'] as $row) {
                $view[$row['tid']] = [$row['usn'], $row['attribute1']];
                $usn = max($usn, $row['usn']);
            }
        }
        if ($b['totalCount'] > 0 && code($f = $svc->call('finishPull', $s, "&reqcode={$b['reqcode']}")) !== '0') {
            $errors[] = 'finishPull ' . code($f);
        }
    };
    for ($round = 0; microtime(true) < $end; $round++) {
        $pull();
        // new rows of this client, and now and then a row of another client written again
        $items = [];
        $mark = "c$n-r$round";
        for ($k = 0; $k < 3; $k++) {
            $items[] = bookItem("c$n-" . ($round * 3 + $k), $usn + $k + 1, ['attribute1' => $mark]);
        }
        $others = array_keys($view);
        if ($others && $round % 2 === 1) {
            $items[] = bookItem($others[random_int(0, count($others) - 1)], $usn + 4, ['attribute1' => $mark]);
        }
        $answer = $svc->push($s, $usn, $items);
        if (code($answer) === '0') {
            $commits[] = [$usn + 1, $usn + count($items), array_fill_keys(array_column($items, 'tid'), $mark)];
            // the client's own rows count as pulled up to here only once it pulls them back
        } elseif (code($answer) === 'USN_CONFLICT') {
            $refused[] = $mark;
        } else {
            $errors[] = 'push ' . code($answer) . ' ' . $answer['head']['errInfo'];
        }
    }
    $settled();
    $pull();
    return ['view' => $view, 'usn' => $usn, 'commits' => $commits, 'refused' => $refused, 'errors' => $errors];
}

$end = microtime(true) + $seconds;
$pipes = [];
for ($n = 0; $n < $clients; $n++) {
    $pair = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
    $pid = pcntl_fork();
    if ($pid === 0) {
        fclose($pair[0]);
        $settled = function () use ($pair) {
            fwrite($pair[1], "pushed\n");
            fgets($pair[1]);
        };
        try {
            $result = client($svc, $session, $n, $end, $settled);
        } catch (Throwable $e) {
            $result = ['errors' => [get_class($e) . ': ' . $e->getMessage()]];
        }
        fwrite($pair[1], serialize($result));
        exit(0);
    }
    fclose($pair[1]);
    $pipes[$pid] = $pair[0];
}
// The last pulls start once every client has stopped pushing.
foreach ($pipes as $pipe) {
    fgets($pipe);
}
foreach ($pipes as $pipe) {
    fwrite($pipe, "pull\n");
}
$results = [];
foreach ($pipes as $pid => $pipe) {
    $results[] = unserialize((string)stream_get_contents($pipe));
    fclose($pipe);
    pcntl_waitpid($pid, $status);
}

// Every client must have been able to work: only successes and refusals.
foreach ($results as $i => $r) {
    same([], array_slice($r['errors'] ?? ['no result'], 0, 5), "client $i: answers other than success or refusal");
}
$commits = array_merge(...array_map(fn ($r) => $r['commits'] ?? [], $results));
$refused = array_merge(...array_map(fn ($r) => $r['refused'] ?? [], $results));
usort($commits, fn ($a, $b) => $a[0] <=> $b[0]);
check(count($commits) >= $clients, 'commits went through: ' . count($commits));
check(count($refused) > 0, 'clients raced each other (some commits refused)');

// Gap-free and unique in commit order: each commit starts right after the one before it.
$next = 1;
foreach ($commits as [$lo, $hi]) {
    if ($lo !== $next) {
        check(false, "commit of USNs $lo..$hi follows USN " . ($next - 1));
        break;
    }
    $next = $hi + 1;
}
$pdo = $svc->db();
$uid = $session['uid'];
same($next - 1, (int)$pdo->query("SELECT max_usn FROM users WHERE uid='$uid'")->fetchColumn(), "the account's USN");
same(0, (int)$pdo->query("SELECT COUNT(*) FROM (SELECT usn FROM sync_rows WHERE uid='$uid' GROUP BY usn
    HAVING COUNT(*) > 1) d")->fetchColumn(), 'stored USNs unique');

// The store holds exactly the latest committed version of each row, and nothing of a refusal.
$expected = [];
foreach ($commits as [$lo, $hi, $rows]) {
    foreach ($rows as $tid => $mark) {
        $expected[$tid] = [$lo + array_search($tid, array_keys($rows), true), $mark];
    }
}
ksort($expected);
$stored = [];
foreach ($pdo->query("SELECT tid, usn, attribute1 FROM sync_rows WHERE uid='$uid'") as $row) {
    $stored[$row['tid']] = [(int)$row['usn'], $row['attribute1']];
}
ksort($stored);
same(count($expected), count($stored), 'stored rows');
check($stored === $expected, 'stored rows are the latest committed versions');
$leaked = array_intersect(array_column($stored, 1), $refused);
same([], array_values($leaked), 'rows of refused commits');

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
