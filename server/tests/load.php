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

/** A tiny event loop: fibers wait for an answer or for a moment, stream_select wakes them. */
final class Loop
{
    /** @var array<int,array{0:resource,1:Fiber,2:string}> */
    private array $reading = [];
    /** @var array<int,array{0:float,1:Fiber}> */
    private array $sleeping = [];
    /** @var array<int,array{0:resource,1:Fiber}> TLS handshakes under way */
    private array $handshaking = [];
    private string $host;
    private int $port;
    private bool $tls;

    public function __construct(string $base)
    {
        ['scheme' => $scheme, 'host' => $this->host, 'port' => $this->port] = parse_url($base);
        $this->tls = $scheme === 'https';
    }

    /**
     * Inside a fiber: one HTTP request on its own connection, as the desktop client makes them (a
     * new TLS handshake each time over https, verified with INKBOAT_TEST_CA); [status, body].
     */
    public function request(string $target, ?string $body = null): array
    {
        $s = @stream_socket_client("tcp://{$this->host}:{$this->port}", $errno, $err, 10, STREAM_CLIENT_CONNECT,
            // no Nagle delay between the handshake's last flight and the request (Qt sets the same)
            stream_context_create(['socket' => ['tcp_nodelay' => true],
                'ssl' => ['cafile' => getenv('INKBOAT_TEST_CA') ?: null, 'peer_name' => $this->host]]));
        if ($s === false) {
            return [0, "connect: $err"];
        }
        if ($this->tls) {
            stream_set_blocking($s, false);
            while (($done = @stream_socket_enable_crypto($s, true, STREAM_CRYPTO_METHOD_TLS_CLIENT)) === 0) {
                $this->handshaking[(int)$s] = [$s, Fiber::getCurrent()];
                Fiber::suspend();
            }
            if ($done !== true) {
                fclose($s);
                return [0, 'TLS handshake failed'];
            }
            stream_set_blocking($s, true);
        }
        $head = ($body === null ? 'GET' : 'POST') . " $target HTTP/1.1\r\nHost: {$this->host}:{$this->port}\r\n"
            . "Connection: close\r\n" . ($body === null ? '' : 'Content-Length: ' . strlen($body)
            . "\r\nContent-Type: application/x-www-form-urlencoded\r\n");
        fwrite($s, "$head\r\n" . ($body ?? ''));
        stream_set_blocking($s, false);
        $this->reading[(int)$s] = [$s, Fiber::getCurrent(), ''];
        $raw = Fiber::suspend();
        [$h, $b] = explode("\r\n\r\n", $raw, 2) + [1 => ''];
        return [(int)substr($h, 9, 3), $b];
    }

    public function sleepUntil(float $t): void
    {
        $this->sleeping[] = [$t, Fiber::getCurrent()];
        Fiber::suspend();
    }

    public function spawn(callable $fn): void
    {
        $f = new Fiber($fn);
        $f->start();
    }

    public function run(): void
    {
        while ($this->reading || $this->sleeping || $this->handshaking) {
            $now = microtime(true);
            $due = array_filter($this->sleeping, fn ($e) => $e[0] <= $now);
            if ($due) {
                $this->sleeping = array_values(array_filter($this->sleeping, fn ($e) => $e[0] > $now));
                foreach ($due as [, $f]) {
                    $f->resume();
                }
                continue;
            }
            $wait = $this->sleeping ? max(0.0, min(array_column($this->sleeping, 0)) - $now) : 1.0;
            $r = array_merge(array_column($this->reading, 0), array_column($this->handshaking, 0));
            // (a handshake waits for the server's reply: a socket is nearly always writable)
            $w = $e = null;
            if (!$r) {
                usleep((int)($wait * 1e6));
                continue;
            }
            if (stream_select($r, $w, $e, 0, (int)($wait * 1e6)) === 0) {
                continue;
            }
            foreach ($r as $s) {
                if (isset($this->handshaking[(int)$s])) {
                    $f = $this->handshaking[(int)$s][1];
                    unset($this->handshaking[(int)$s]);
                    $f->resume();
                    continue;
                }
                if (!isset($this->reading[(int)$s])) {
                    continue;
                }
                // drained: TLS may hold decrypted bytes that select() does not see
                while (($chunk = fread($s, 65536)) !== false && $chunk !== '') {
                    $this->reading[(int)$s][2] .= $chunk;
                }
                if (feof($s)) {
                    [, $f, $raw] = $this->reading[(int)$s];
                    unset($this->reading[(int)$s]);
                    fclose($s);
                    $f->resume($raw);
                }
            }
        }
    }
}

$loop = new Loop($base);
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
if ($seeded !== $syncing) {
    echo "service stack $label load: " . ($syncing - $seeded) . " of $syncing clients' rows not pushed: "
        . ($errors[0] ?? '') . " FAIL\n";
    exit(1);
}

// PHP completes a TLS handshake before it returns, even on a non-blocking socket: the clients are
// shared among INKBOAT_LOAD_PROCS processes (4) so that handshakes overlap as they do between
// separate desktop programs. Each process reports its figures back to this one.
$procs = max(1, (int)(getenv('INKBOAT_LOAD_PROCS') ?: 4));
$start = microtime(true) + 0.2;
$end = $start + $seconds;
$pipes = [];
for ($proc = 0; $proc < $procs; $proc++) {
    $pair = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
    if (($pid = pcntl_fork()) !== 0) {
        fclose($pair[1]);
        $pipes[$pid] = $pair[0];
        continue;
    }
    fclose($pair[0]);
    $loop = new Loop($base);
    $errors = [];
foreach (array_keys($clients) as $i) {
    if ($i % $procs !== $proc) {
        continue;
    }
    $loop->spawn(function () use ($i, $loop, $api, &$clients, &$stats, $start, $end) {
        $c = $clients[$i];
        $at = $start + mt_rand(0, 999) / 1000;
        for (; $at < $end; $at += 1.0) {
            $loop->sleepUntil($at);
            $t = microtime(true);
            $api("&a=heartbeat&uid={$c['uid']}&username=x&sid={$c['sid']}&version=4.31");
            $stats['heartbeat'][] = microtime(true) - $t;
        }
    });
}
for ($i = $proc; $i < $syncing; $i += $procs) {
    $loop->spawn(function () use ($i, $loop, $api, $push, &$clients, &$stats, $start, $end) {
        $loop->sleepUntil($start + mt_rand(0, 999) / 1000);
        while (microtime(true) < $end) {
            $c = $clients[$i];
            $s = "&uid={$c['uid']}&sid={$c['sid']}";
            $t = microtime(true);
            $b = $api("&a=beginPull$s&usn=" . ($c['usn'] - 100) . '&extparams=&version=4.31');
            if ($b !== null && $b['totalCount'] === 100) {
                $api("&a=pullDetail$s&reqcode={$b['reqcode']}&page=0&pagesize=100");
                $api("&a=finishPull$s&reqcode={$b['reqcode']}");
            } elseif ($b !== null) {
                $errors[] = "beginPull offered {$b['totalCount']} rows, not 100";
            }
            $stats['pull'][] = microtime(true) - $t;
            $t = microtime(true);
            $commit = null;
            $push($i, 10, $commit);
            $stats['push'][] = microtime(true) - $t;
            $commit !== null && $stats['commit'][] = $commit;
        }
    });
}
    $requests = 0;
    $loop->run();
    fwrite($pair[1], serialize([$stats, $requests, $errors]));
    exit(0);
}
$requests = 0;
foreach ($pipes as $pid => $pipe) {
    [$st, $n, $e] = unserialize((string)stream_get_contents($pipe)) ?: [[], 0, ['a load process gave no figures']];
    fclose($pipe);
    pcntl_waitpid($pid, $status);
    foreach ($st as $k => $values) {
        array_push($stats[$k], ...$values);
    }
    $requests += $n;
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
printf("service stack %s load: %d clients heartbeating, %d syncing, %.0f s: %d requests, %.0f per second; "
    . "heartbeat p50 %.1f ms, pull of 100 rows p50 %.0f ms, push of 10 rows p50 %.0f ms, %d pushes\n", $label,
    $clientCount, $syncing, $elapsed, $requests, $requests / $elapsed, p($stats['heartbeat'], 0.5),
    p($stats['pull'], 0.5), p($stats['push'], 0.5), count($stats['push']));
$line('load_errors', "$n errors", '0 errors', $n === 0 && count($stats['commit']) > 0);
$line('load_heartbeat_p99', sprintf('%.1f ms', p($stats['heartbeat'], 0.99)), '<= 100 ms', p($stats['heartbeat'], 0.99) <= 100);
$line('load_push_commit_p99', sprintf('%.1f ms', p($stats['commit'], 0.99)), '<= 250 ms', p($stats['commit'], 0.99) <= 250);
foreach (array_slice(array_unique($errors), 0, 5) as $e) {
    echo "  error: $e\n";
}
// For the ratios the bench prints across its runs (TLS against plain http, two hosts against one).
if ($file = getenv('INKBOAT_LOAD_RESULT')) {
    file_put_contents($file, json_encode(['rps' => $requests / $elapsed, 'heartbeat_p50' => p($stats['heartbeat'], 0.5),
        'heartbeat_p99' => p($stats['heartbeat'], 0.99), 'commit_p99' => p($stats['commit'], 0.99), 'errors' => $n]));
}
exit($compare || ($n === 0 && p($stats['heartbeat'], 0.99) <= 100 && p($stats['commit'], 0.99) <= 250) ? 0 : 1);
