<?php
// Service benchmark: paged pull of 10,000 rows, batched push of 1,000 rows, and 20 clients
// sending heartbeats side by side for 30 seconds (INKBOAT_BENCH_HEARTBEAT_SECONDS, 0 leaves them
// out). Prints "name: value unit (target: ...) PASS|FAIL", names after INKBOAT_BENCH_LABEL if set.
declare(strict_types=1);

require __DIR__ . '/lib.php';

$svc = new Service(getenv('INKBOAT_TEST_BASE') ?: exit(2), getenv('INKBOAT_TEST_DATA') ?: exit(2));
$seconds = getenv('INKBOAT_BENCH_HEARTBEAT_SECONDS');
$seconds = $seconds === false || $seconds === '' ? 30 : (int)$seconds;
$failed = false;

function report(string $name, float $value, string $unit, string $target, bool $pass): void
{
    global $failed;
    $failed = $failed || !$pass;
    $label = getenv('INKBOAT_BENCH_LABEL');
    printf("%s: %s %s (target: %s) %s\n", $label ? "$label $name" : $name, $unit === 's' ? sprintf('%.2f', $value) : (string)$value, $unit,
        $target, $pass ? 'PASS' : 'FAIL');
}

function chapter(string $tid, int $usn): array
{
    $text = str_repeat("夜雨敲窗，灯下的人还在写第{$usn}章。", 20);
    return bookItem($tid, $usn, ['plaintext' => $text, 'html' => "<p>$text</p>"]);
}

$s = $svc->newUser('bench');

// Seed 10,000 rows quickly (batches of 100), then pull them the way the client does.
$rc = $svc->beginPush($s, 0)['reqcode'];
for ($i = 0; $i < 10000; $i += 100) {
    $batch = [];
    for ($j = $i; $j < $i + 100; $j++) {
        $batch[] = chapter(sprintf('S%05d', $j), $j + 1);
    }
    $svc->pushDetail($s, $rc, $batch);
}
$svc->commit($s, $rc);

$t = microtime(true);
$rows = $svc->pull($s, 0, 10);
$elapsed = microtime(true) - $t;
report('service_pull_10000_rows_pages_of_10', $elapsed, 's', '< 10 s', $elapsed < 10 && count($rows) === 10000);

$t = microtime(true);
$items = [];
for ($j = 0; $j < 1000; $j++) {
    $items[] = chapter(sprintf('P%05d', $j), 10001 + $j);
}
$answer = $svc->push($s, 10000, $items);
$elapsed = microtime(true) - $t;
// The pushed rows must come back from the service, not only an answer without an error.
$stored = count(array_filter($svc->pull($s, 10000, 100), fn($r) => str_starts_with($r['tid'], 'P')));
report('service_push_1000_rows_batches_of_10', $elapsed, 's', '< 10 s',
    $elapsed < 10 && !$answer['head']['isError'] && $stored === 1000);

// Sign-ins refused past the limit of wrong passwords must cost no bcrypt: timed against wrong
// passwords that are still checked, in the same run.
$svc->register($victim = $svc->name('guessed'));
$wrong = fn () => code($svc->api('&a=login&username=' . $victim . '&password=' . encryptPassword('wrong pass')
    . '&version=4.31&rnd=abcd&crypt=1'));
$t = microtime(true);
for ($checked = []; count($checked) < 10 && ($c = $wrong()) === 'LOGIN_FAILED';) {
    $checked[] = $c;
}
$perChecked = (microtime(true) - $t) / max(1, count($checked)) * 1000;
$t = microtime(true);
$refused = array_map(fn () => $wrong(), range(1, 100));
$perRefused = (microtime(true) - $t) / 100 * 1000;
// the cheapest call there is, for the cost of the round trip itself on this machine now
$t = microtime(true);
array_map(fn () => $svc->api('&a=eshoplinks'), range(1, 100));
$perLinks = (microtime(true) - $t) / 100 * 1000;
report('service_login_refused_past_limit', round($perRefused, 2), 'ms', sprintf('<= 5 ms each; x%.2f of a call '
    . 'of eshoplinks (%.1f ms), a checked wrong password took %.1f ms', $perRefused / $perLinks, $perLinks, $perChecked),
    $perRefused <= 5 && array_unique($refused) === ['LOGIN_LIMITED']);

if ($seconds === 0) {
    exit($failed ? 1 : 0);
}

// 20 clients, each its own account and process, heartbeats back to back.
$clients = [];
for ($i = 0; $i < 20; $i++) {
    $clients[] = $svc->newUser("hb$i");
}
$pipes = [];
foreach ($clients as $i => $c) {
    $pair = stream_socket_pair(STREAM_PF_UNIX, STREAM_SOCK_STREAM, STREAM_IPPROTO_IP);
    $pid = pcntl_fork();
    if ($pid === 0) {
        fclose($pair[0]);
        $ok = $errors = 0;
        $end = microtime(true) + $seconds;
        $tail = "&a=heartbeat&uid={$c['uid']}&username=hb$i&sid={$c['sid']}&version=4.31";
        $crc = expectedCrc('g=Inkboat&m=WebApi' . $tail);
        while (microtime(true) < $end) {
            try {
                $r = $svc->request('GET', '/index.php?g=Inkboat&m=WebApi' . $tail);
                $doc = json_decode($r['body'], true);
                $good = $r['status'] === 200 && ($doc['head']['errCode'] ?? '') === '0' && ($doc['head']['crc'] ?? '') === $crc
                    && strlen($doc['tid'] ?? '') === 32;
            } catch (Throwable) {
                $good = false;
            }
            $good ? $ok++ : $errors++;
        }
        fwrite($pair[1], "$ok $errors");
        exit(0);
    }
    fclose($pair[1]);
    $pipes[$pid] = $pair[0];
}
$ok = $errors = 0;
foreach ($pipes as $pid => $pipe) {
    [$o, $e] = array_map('intval', explode(' ', (string)stream_get_contents($pipe)) + [1 => 1]);
    fclose($pipe);
    pcntl_waitpid($pid, $status);
    $ok += $o;
    $errors += $e;
}
echo "service_heartbeat_20_clients: " . ($ok + $errors) . " requests in {$seconds} s, "
    . round(($ok + $errors) / max(1, $seconds)) . " per second\n";
report("service_heartbeat_20_clients_{$seconds}s_errors", $errors, 'errors', '0 errors', $errors === 0 && $ok > 0);
exit($failed ? 1 : 0);
