<?php
// Load driver: many signed-in clients in one process (one fiber each, non-blocking sockets), with
// a fixed mix for INKBOAT_LOAD_SECONDS (60): every client sends a heartbeat once a second, and
// INKBOAT_LOAD_SYNCING of them (20) sync in a loop, each round a pull of 100 rows and a push of
// 10. Prints lines "service stack LABEL name: value unit (target: ...) PASS|FAIL"; with
// INKBOAT_LOAD_COMPARE set the lines carry no verdict (a stand-in measured for comparison).
declare(strict_types=1);

require __DIR__ . '/lib.php';

$base = getenv('INKBOAT_TEST_BASE') ?: exit(2);
$label = getenv('INKBOAT_LOAD_LABEL') ?: 'pgsql';
$compare = (bool)getenv('INKBOAT_LOAD_COMPARE');
$seconds = (int)(getenv('INKBOAT_LOAD_SECONDS') ?: 60);
$clientCount = (int)(getenv('INKBOAT_LOAD_CLIENTS') ?: 200);
$syncing = (int)(getenv('INKBOAT_LOAD_SYNCING') ?: 20);
// An answer that does not come within this many seconds is an error, never a hang of the run.
$timeout = (float)(getenv('INKBOAT_LOAD_TIMEOUT') ?: 10);
ini_set('default_socket_timeout', (string)(int)ceil($timeout));   // the TLS handshake and blocking writes

/**
 * A tiny event loop: fibers wait for an answer (at most $timeout seconds) or for a moment,
 * stream_select wakes them. Each fiber keeps one connection alive between its requests, as each
 * thread of the desktop client keeps its own (over https verified with INKBOAT_TEST_CA).
 */
final class Loop
{
    /** @var array<int,array{0:resource,1:Fiber,2:string,3:float}> socket, fiber, bytes read, deadline */
    private array $reading = [];
    /** @var array<int,array{0:float,1:Fiber}> */
    private array $sleeping = [];
    /** @var array<int,resource> each fiber's connection */
    private array $conns = [];
    public int $connections = 0;
    private string $host;
    private int $port;
    private bool $tls;

    public function __construct(string $base, private float $timeout)
    {
        ['scheme' => $scheme, 'host' => $this->host, 'port' => $this->port] = parse_url($base);
        $this->tls = $scheme === 'https';
    }

    /** Inside a fiber: opens its connection now (null) unless it has one, or says why not. */
    public function connect(): ?string
    {
        $id = spl_object_id(Fiber::getCurrent());
        if (isset($this->conns[$id])) {
            return null;
        }
        // (the TLS handshake blocks this process; no Nagle delay after its last flight, as Qt sets)
        $s = @stream_socket_client(($this->tls ? 'tls' : 'tcp') . "://{$this->host}:{$this->port}", $errno, $err, $this->timeout,
            STREAM_CLIENT_CONNECT, stream_context_create(['socket' => ['tcp_nodelay' => true],
                'ssl' => ['cafile' => getenv('INKBOAT_TEST_CA') ?: null, 'peer_name' => $this->host]]));
        if ($s === false) {
            return "connect: $err";
        }
        stream_set_timeout($s, (int)ceil($this->timeout));
        $this->connections++;
        $this->conns[$id] = $s;
        return null;
    }

    /** Inside a fiber: one HTTP/1.1 request on the fiber's connection; [status, body]. */
    public function request(string $target, ?string $body = null): array
    {
        $id = spl_object_id(Fiber::getCurrent());
        for ($retry = true;; $retry = false) {
            $reused = isset($this->conns[$id]);
            if (($err = $this->connect()) !== null) {
                return [0, $err];
            }
            $s = $this->conns[$id];
            $head = ($body === null ? 'GET' : 'POST') . " $target HTTP/1.1\r\nHost: {$this->host}:{$this->port}\r\n"
                . ($body === null ? '' : 'Content-Length: ' . strlen($body) . "\r\nContent-Type: application/json\r\n");
            stream_set_blocking($s, true);
            $sent = @fwrite($s, "$head\r\n" . ($body ?? ''));
            stream_set_blocking($s, false);
            $this->reading[(int)$s] = [$s, Fiber::getCurrent(), '', microtime(true) + $this->timeout];
            $answer = $sent ? Fiber::suspend() : null;
            unset($this->reading[(int)$s]);
            if ($answer === false) {
                // late bytes would be taken for the next answer: this connection is done
                fclose($s);
                unset($this->conns[$id]);
                return [0, "no answer within {$this->timeout} s"];
            }
            if ($answer !== null && !$answer[2]) {
                return [$answer[0], $answer[1]];
            }
            fclose($s);
            unset($this->conns[$id]);
            if ($answer !== null) {
                return [$answer[0], $answer[1]];
            }
            // a kept connection the server closed meanwhile: once more on a new one, as Qt does
            if (!$reused || !$retry) {
                return [0, 'connection closed without an answer'];
            }
        }
    }

    /** The answer in $buf once complete: [status, body, whether the server closes]; null while incomplete. */
    private static function answer(string $buf, bool $eof): ?array
    {
        if (($end = strpos($buf, "\r\n\r\n")) === false) {
            return null;
        }
        $head = substr($buf, 0, $end);
        $rest = substr($buf, $end + 4);
        $status = (int)substr($head, 9, 3);
        $close = str_starts_with($head, 'HTTP/1.0') || preg_match('/^connection:\s*close/im', $head);
        if (preg_match('/^content-length:\s*(\d+)/im', $head, $m)) {
            return strlen($rest) >= (int)$m[1] ? [$status, substr($rest, 0, (int)$m[1]), $close] : null;
        }
        if (!preg_match('/^transfer-encoding:\s*chunked/im', $head)) {
            return $eof ? [$status, $rest, true] : null;   // the body ends with the connection
        }
        for ($body = '', $at = 0; ($nl = strpos($rest, "\r\n", $at)) !== false; $at = $nl + 4 + $size) {
            $size = (int)hexdec(substr($rest, $at, $nl - $at));
            if (strlen($rest) < $nl + 4 + $size) {
                return null;
            }
            if ($size === 0) {
                return [$status, $body, $close];
            }
            $body .= substr($rest, $nl + 2, $size);
        }
        return null;
    }

    public function sleepUntil(float $t): void
    {
        $this->sleeping[] = [$t, Fiber::getCurrent()];
        Fiber::suspend();
    }

    public function spawn(callable $fn): Fiber
    {
        $f = new Fiber($fn);
        $f->start();
        return $f;
    }

    public function run(): void
    {
        while ($this->reading || $this->sleeping) {
            $now = microtime(true);
            $due = array_filter($this->sleeping, fn ($e) => $e[0] <= $now);
            if ($due) {
                $this->sleeping = array_values(array_filter($this->sleeping, fn ($e) => $e[0] > $now));
                foreach ($due as [, $f]) {
                    $f->resume();
                }
                continue;
            }
            foreach ($this->reading as $k => [, $f, , $deadline]) {
                if ($deadline <= $now) {
                    unset($this->reading[$k]);
                    $f->resume(false);
                    continue 2;
                }
            }
            $next = min([...array_column($this->sleeping, 0), ...array_column($this->reading, 3), $now + 1.0]);
            $wait = max(0.0, $next - $now);
            $r = array_column($this->reading, 0);
            $w = $e = null;
            if (!$r) {
                usleep((int)($wait * 1e6));
                continue;
            }
            if (stream_select($r, $w, $e, 0, (int)($wait * 1e6)) === 0) {
                continue;
            }
            foreach ($r as $s) {
                if (!isset($this->reading[(int)$s])) {
                    continue;
                }
                // drained: TLS may hold decrypted bytes that select() does not see
                while (($chunk = fread($s, 65536)) !== false && $chunk !== '') {
                    $this->reading[(int)$s][2] .= $chunk;
                }
                [, $f, $raw] = $this->reading[(int)$s];
                $answer = self::answer($raw, feof($s));
                if ($answer !== null || feof($s)) {
                    unset($this->reading[(int)$s]);
                    $f->resume($answer);
                }
            }
        }
    }
}

$loop = new Loop($base, $timeout);
$stats = ['heartbeat' => [], 'commit' => [], 'pull' => [], 'push' => []];
$requests = 0;
$errors = [];

/** Calls the API inside a fiber; the answer must be HTTP 200 JSON with errCode "0" and the right checksum. */
$api = function (string $tail, ?array $items = null) use (&$loop, &$requests, &$errors): ?array {
    $query = 'g=Inkboat&m=WebApi' . $tail;
    [$status, $body] = $loop->request("/index.php?$query", $items === null ? null : requestBody($items));
    $requests++;
    $doc = json_decode($body, true);
    if ($status !== 200 || !is_array($doc) || ($doc['head']['errCode'] ?? '') !== '0'
        || ($doc['head']['crc'] ?? '') !== expectedCrc($query)) {
        $errors[] = "$status " . substr(preg_replace('/\s+/', ' ', $body), 0, 160) . " for " . substr($tail, 0, 40);
        return null;
    }
    return $doc;
};

// Sign-in of every client, a few at a time (password hashing is the slow part).
$clients = [];
$queue = range(0, $clientCount - 1);
$prefix = 'load' . bin2hex(random_bytes(3));
for ($k = 0; $k < 8; $k++) {
    $loop->spawn(function () use (&$queue, &$clients, $api, $prefix) {
        while (($i = array_shift($queue)) !== null) {
            $name = "$prefix$i";
            $pw = encryptPassword('secret1');
            $api('&a=register&username=' . $name . "&password=$pw&email=w$i%40example.cn&crypt=1");
            $d = $api("&a=login&username=$name&password=$pw&version=4.31&rnd=aZ3q&crypt=1");
            $d !== null && $clients[$i] = ['uid' => $d['uid'], 'sid' => $d['sid'], 'usn' => 0];
        }
    });
}
$loop->run();
if (count($clients) !== $clientCount) {
    echo "service stack $label load: sign-in of $clientCount clients failed: " . ($errors[0] ?? '') . " FAIL\n";
    exit(1);
}

/** One client's push of $n rows numbered after its USN, in batches of 10. */
$push = function (int $i, int $n, ?array &$timing = null) use (&$clients, $api): bool {
    $c = &$clients[$i];
    $s = "&uid={$c['uid']}&sid={$c['sid']}";
    $b = $api("&a=beginPush$s&usn={$c['usn']}&us=100&extparams=&version=4.31");
    if ($b === null) {
        return false;
    }
    $items = [];
    for ($k = 1; $k <= $n; $k++) {
        $usn = $c['usn'] + $k;
        $text = str_repeat("夜雨敲窗，灯下的人还在写第{$usn}章。", 20);
        // 200 chapters written over and over: the store stays the same size
        $items[] = bookItem(sprintf('L%03d', $usn % 200), $usn, ['plaintext' => $text, 'html' => "<p>$text</p>"]);
    }
    foreach (array_chunk($items, 10) as $batch) {
        if ($api("&a=pushDetail$s&reqcode={$b['reqcode']}", $batch) === null) {
            return false;
        }
    }
    $t = microtime(true);
    $ok = $api("&a=commitPush$s&reqcode={$b['reqcode']}") !== null;
    $timing = microtime(true) - $t;
    $ok && $c['usn'] += $n;
    return $ok;
};

// Rows for the syncing clients to pull.
$seedQueue = range(0, $syncing - 1);
$seeded = 0;
for ($k = 0; $k < 4; $k++) {
    $loop->spawn(function () use (&$seedQueue, &$seeded, $push) {
        while (($i = array_shift($seedQueue)) !== null) {
            $push($i, 100) && $seeded++;
        }
    });
}
$loop->run();
// A client without its 100 rows would time an empty pull: the run measures nothing it claims.
// The service itself must offer each syncing client its 100 rows, not only have acknowledged them.
$stored = 0;
$loop->spawn(function () use ($syncing, &$clients, &$stored, $api) {
    for ($i = 0; $i < $syncing; $i++) {
        $s = "&uid={$clients[$i]['uid']}&sid={$clients[$i]['sid']}";
        $b = $api("&a=beginPull$s&usn=0&extparams=&version=4.31");
        if (($b['totalCount'] ?? 0) > 0 && $api("&a=finishPull$s&reqcode={$b['reqcode']}") !== null
            && $b['totalCount'] === 100 && $clients[$i]['usn'] === 100) {
            $stored++;
        }
    }
});
$loop->run();
if ($seeded !== $syncing || $stored !== $syncing) {
    echo "service stack $label load: $seeded of $syncing clients' rows pushed, $stored of them offered back: "
        . ($errors[0] ?? '') . " FAIL\n";
    exit(1);
}

/**
 * CPU time (ns) spent so far by the stack's processes: each master of $dir (PHP-FPM, nginx,
 * PostgreSQL) and every process below it, by program. Empty where the stack is unknown.
 */
function stackCpu(string $dir): array
{
    $masters = [];
    foreach ([...glob("$dir/php-fpm*.pid") ?: [], "$dir/nginx/nginx.pid", "$dir/postgres/data/postmaster.pid"] as $f) {
        is_readable($f) && $masters[(int)file_get_contents($f)] = str_contains($f, 'nginx') ? 'nginx'
            : (str_contains($f, 'postgres') ? 'PostgreSQL' : 'PHP-FPM');
    }
    $parent = [];
    foreach (glob('/proc/[0-9]*/stat') ?: [] as $f) {
        // the fields after the name, which may hold spaces and parentheses itself
        $stat = @file_get_contents($f);
        $stat !== false && $parent[(int)basename(dirname($f))] = (int)explode(' ', substr($stat, strrpos($stat, ')') + 2))[1];
    }
    $cpu = [];
    foreach (array_keys($parent) as $pid) {
        for ($p = $pid; $p > 1 && !isset($masters[$p]); $p = $parent[$p] ?? 0);
        if (isset($masters[$p]) && ($s = @file_get_contents("/proc/$pid/schedstat")) !== false) {
            $cpu[$masters[$p]] = ($cpu[$masters[$p]] ?? 0) + (int)explode(' ', $s)[0];
        }
    }
    return $cpu;
}

// What one heartbeat costs the stack: 400 in a row on one kept connection, nothing else running.
$stackDir = getenv('INKBOAT_TEST_STACK') ?: '';
$cpuLine = null;
if ($stackDir !== '' && stackCpu($stackDir) !== []) {
    $beats = 1000;
    $loop->spawn(function () use ($loop, $api, &$clients) {
        $loop->connect();   // the handshake is not the heartbeat's
    });
    $loop->run();
    $before = stackCpu($stackDir);
    $answered = 0;
    $loop->spawn(function () use ($api, &$clients, &$answered, $beats) {
        $c = $clients[0];
        for ($k = 0; $k < $beats; $k++) {
            $api("&a=heartbeat&uid={$c['uid']}&username=x&sid={$c['sid']}&version=4.31") !== null && $answered++;
        }
    });
    $loop->run();
    $after = stackCpu($stackDir);
    $per = array_map(fn ($k) => (($after[$k] ?? 0) - ($before[$k] ?? 0)) / $beats / 1e6, array_keys($after));
    $cpuLine = sprintf("service stack %s heartbeat_cpu: %.2f ms of server CPU per heartbeat (%s; %d in a row on one "
        . "connection, %d answered) (for comparison)\n", $label, array_sum($per), implode(', ', array_map(
            fn ($k, $v) => sprintf('%s %.2f', $k, $v), array_keys($after), $per)), $beats, $answered);
}

// PHP completes a TLS handshake before it returns, even on a non-blocking socket: the clients are
// shared among INKBOAT_LOAD_PROCS processes (4), and each client's connections are opened before
// the timed minute (as a desktop program's are open from its first call on). Each process reports
// its figures back to this one.
$procs = max(1, (int)(getenv('INKBOAT_LOAD_PROCS') ?: 4));
$start = $end = 0.0;
$pipes = [];
for ($proc = 0; $proc < $procs; $proc++) {
    $pair = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
    // (the per-request time-out is no limit for these: they wait through the set-up and the run)
    array_map(fn ($side) => stream_set_timeout($side, $seconds + 3600), $pair);
    if (($pid = pcntl_fork()) !== 0) {
        fclose($pair[1]);
        $pipes[$pid] = $pair[0];
        continue;
    }
    fclose($pair[0]);
    $loop = new Loop($base, $timeout);
    $errors = [];
    $fibers = [];
    foreach (array_keys($clients) as $i) {
        if ($i % $procs !== $proc) {
            continue;
        }
        $fibers[] = $loop->spawn(function () use ($i, $loop, $api, &$clients, &$stats, &$start, &$end) {
            $loop->connect();
            Fiber::suspend();   // until every process is ready
            $c = $clients[$i];
            for ($at = $start + mt_rand(0, 999) / 1000; $at < $end; $at += 1.0) {
                $loop->sleepUntil($at);
                $t = microtime(true);
                // a failed call counts among the errors, not among the latencies
                if ($api("&a=heartbeat&uid={$c['uid']}&username=x&sid={$c['sid']}&version=4.31") !== null) {
                    $stats['heartbeat'][] = microtime(true) - $t;
                }
            }
        });
    }
    for ($i = $proc; $i < $syncing; $i += $procs) {
        $fibers[] = $loop->spawn(function () use ($i, $loop, $api, $push, &$clients, &$stats, &$errors, &$start, &$end) {
            $loop->connect();
            Fiber::suspend();
            $loop->sleepUntil($start + mt_rand(0, 999) / 1000);
            while (microtime(true) < $end) {
                $c = $clients[$i];
                $s = "&uid={$c['uid']}&sid={$c['sid']}";
                $t = microtime(true);
                $b = $api("&a=beginPull$s&usn=" . ($c['usn'] - 100) . '&extparams=&version=4.31');
                if ($b !== null && $b['totalCount'] !== 100) {
                    $errors[] = "beginPull offered {$b['totalCount']} rows, not 100";
                } elseif ($b !== null && $api("&a=pullDetail$s&reqcode={$b['reqcode']}&page=0&pagesize=100") !== null
                    && $api("&a=finishPull$s&reqcode={$b['reqcode']}") !== null) {
                    $stats['pull'][] = microtime(true) - $t;
                }
                $t = microtime(true);
                $commit = null;
                if ($push($i, 10, $commit)) {
                    $stats['push'][] = microtime(true) - $t;
                    $stats['commit'][] = $commit;
                }
            }
        });
    }
    fwrite($pair[1], "ready\n");
    $start = (float)fgets($pair[1]);
    $end = $start + $seconds;
    $requests = 0;
    $opened = $loop->connections;
    foreach ($fibers as $f) {
        $f->resume();
    }
    $loop->run();
    fwrite($pair[1], serialize([$stats, $requests, $errors, $opened, $loop->connections - $opened]));
    exit(0);
}
foreach ($pipes as $pipe) {
    fgets($pipe);
}
$start = microtime(true) + 0.2;
$end = $start + $seconds;
foreach ($pipes as $pipe) {
    fwrite($pipe, "$start\n");
}
$requests = $opened = $reopened = 0;
foreach ($pipes as $pid => $pipe) {
    [$st, $n, $e, $o, $r] = unserialize((string)stream_get_contents($pipe)) ?: [[], 0, ['a load process gave no figures'], 0, 0];
    fclose($pipe);
    pcntl_waitpid($pid, $status);
    foreach ($st as $k => $values) {
        array_push($stats[$k], ...$values);
    }
    $requests += $n;
    $opened += $o;
    $reopened += $r;
    array_push($errors, ...$e);
}
$elapsed = microtime(true) - $start;

function p(array $values, float $q): float
{
    if (!$values) {
        return INF;
    }
    sort($values);
    return $values[min(count($values) - 1, (int)ceil($q * count($values)) - 1)] * 1000;
}

$line = function (string $name, string $value, string $target, bool $pass) use ($label, $compare) {
    echo "service stack $label $name: $value" . ($compare ? " (for comparison; target on the real stack: $target)\n"
        : " (target: $target) " . ($pass ? 'PASS' : 'FAIL') . "\n");
};
$n = count($errors);
// the mix must really have run: nearly every client's heartbeat each second, and pushes committed
$worked = count($stats['heartbeat']) >= 0.9 * $clientCount * $seconds && count($stats['commit']) > 0;
printf("service stack %s load: %d clients heartbeating, %d syncing, %.0f s: %d requests, %.0f per second on %d "
    . "kept connections (%d opened again while timed); heartbeat p50 %.1f ms, pull of 100 rows p50 %.0f ms, "
    . "push of 10 rows p50 %.0f ms, %d pushes\n", $label, $clientCount, $syncing, $elapsed, $requests,
    $requests / $elapsed, $opened, $reopened, p($stats['heartbeat'], 0.5), p($stats['pull'], 0.5), p($stats['push'], 0.5),
    count($stats['push']));
$line('load_errors', sprintf('%d errors, %d heartbeats answered', $n, count($stats['heartbeat'])),
    "0 errors, >= 90 % of $clientCount per second", $n === 0 && $worked);
$line('load_heartbeat_p99', sprintf('%.1f ms', p($stats['heartbeat'], 0.99)), '<= 100 ms', p($stats['heartbeat'], 0.99) <= 100);
$line('load_push_commit_p99', sprintf('%.1f ms', p($stats['commit'], 0.99)), '<= 250 ms', p($stats['commit'], 0.99) <= 250);
echo $cpuLine ?? '';
foreach (array_slice(array_unique($errors), 0, 5) as $e) {
    echo "  error: $e\n";
}
// For the ratios the bench prints across its runs (TLS against plain http, two hosts against one).
if ($file = getenv('INKBOAT_LOAD_RESULT')) {
    file_put_contents($file, json_encode(['rps' => $requests / $elapsed, 'heartbeat_p50' => p($stats['heartbeat'], 0.5),
        'heartbeat_p99' => p($stats['heartbeat'], 0.99), 'commit_p99' => p($stats['commit'], 0.99), 'errors' => $n]));
}
exit($compare || ($n === 0 && $worked && p($stats['heartbeat'], 0.99) <= 100 && p($stats['commit'], 0.99) <= 250) ? 0 : 1);
