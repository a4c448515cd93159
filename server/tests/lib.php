<?php
// Test support: a raw HTTP client (the query string goes out exactly as written), the wire
// checks every answer must pass, and a small runner.
declare(strict_types=1);

PHP_SAPI === 'cli' || exit;
error_reporting(E_ALL);
set_error_handler(fn (int $no, string $msg, string $file, int $line): bool => (error_reporting() & $no)
    ? throw new ErrorException($msg, 0, $no, $file, $line) : false);   // false: silenced with @

/** The client's checksum: md5 of the query items in URL order, percent-decoded, keys and values joined. */
function expectedCrc(string $query): string
{
    return md5(implode('', array_map(fn ($item) => implode('', array_map('rawurldecode', explode('=', $item, 2))),
        array_filter(explode('&', $query), 'strlen'))));
}

/** The password as the client sends it: AES-128-ECB with the client's key, in hex. */
function encryptPassword(string $plain): string
{
    return bin2hex(openssl_encrypt($plain, 'aes-128-ecb', '__QUILL__INKPOT_', OPENSSL_RAW_DATA));
}

function token(): string
{
    return bin2hex(random_bytes(16));
}

/** The error code of an API answer; "0" means success. */
function code(array $doc): string
{
    return $doc['head']['errCode'];
}

/** The answer if it is a success, else an exception naming the refusal. */
function sure(array $doc, string $what): array
{
    return code($doc) === '0' ? $doc : throw new RuntimeException("$what failed: " . json_encode($doc['head'], JSON_UNESCAPED_UNICODE));
}

function admin(string ...$args): bool
{
    exec('php ' . escapeshellarg(dirname(__DIR__) . '/admin.php') . ' '
        . implode(' ', array_map('escapeshellarg', $args)) . ' 2>&1', $out, $rc);
    return $rc === 0;
}

final class Service
{
    /** The loopback address requests come from ("127.0.0.2": another caller for limits per address). */
    public string $from = '127.0.0.1';

    public function __construct(public string $base, public string $dataDir)
    {
    }

    /** Sends requests side by side, each [method, target, body, headers]; answers [status, headers (lower case), body]. */
    public function requests(array $requests): array
    {
        ['scheme' => $scheme, 'host' => $host, 'port' => $port] = parse_url($this->base);
        // https: verified against the test's CA (INKBOAT_TEST_CA), as a client verifies a host
        $context = ['socket' => ['bindto' => "{$this->from}:0"], 'ssl' => ['cafile' => getenv('INKBOAT_TEST_CA') ?: null,
            'verify_peer' => true, 'peer_name' => $host]];
        $socks = [];
        foreach ($requests as $r) {
            [$method, $target, $body, $headers] = $r + [2 => null, 3 => []];
            $s = stream_socket_client(($scheme === 'https' ? 'tls' : 'tcp') . "://$host:$port", $errno, $err, 10,
                STREAM_CLIENT_CONNECT, stream_context_create($context));
            stream_set_timeout($s, 60);
            $head = "$method $target HTTP/1.1\r\nHost: $host:$port\r\nConnection: close\r\n";
            foreach ($headers + ($body === null ? [] : ['Content-Length' => strlen($body)]) as $k => $v) {
                $head .= "$k: $v\r\n";
            }
            @fwrite($s, "$head\r\n$body");   // the service may close early on a refused body
            $socks[] = $s;
        }
        return array_map(function ($s) {
            [$head, $body] = explode("\r\n\r\n", (string)stream_get_contents($s), 2) + [1 => null];
            fclose($s);
            preg_match_all('/^([\w-]+):[ \t]*(.*?)\s*$/m', $head, $h);
            return ['status' => (int)substr($head, 9, 3), 'headers' => array_combine(array_map('strtolower', $h[1]), $h[2]),
                'body' => $body ?? throw new RuntimeException('no HTTP answer')];
        }, $socks);
    }

    public function request(string $method, string $target, ?string $body = null, array $headers = []): array
    {
        return $this->requests([[$method, $target, $body, $headers]])[0];
    }

    /**
     * Calls the API and checks what every answer must be: HTTP 200, JSON (a BOM fails decoding), a typed head, isError
     * exactly when errCode is not "0", and the checksum. A tail "&a=..." follows "g=Inkboat&m=WebApi", else it is the query.
     */
    public function api(string $tail, ?string $body = null, bool $checkCrc = true): array
    {
        $query = $tail[0] === '&' ? 'g=Inkboat&m=WebApi' . $tail : $tail;
        // Like the client: a POST without its own content type goes out as a form.
        $r = $this->request($body === null ? 'GET' : 'POST', "/index.php?$query", $body,
            $body === null ? [] : ['Content-Type' => 'application/x-www-form-urlencoded']);
        $this->record($query, $body, $r['body']);
        $doc = json_decode($r['body'], true);
        $head = $doc['head'] ?? null;
        check($r['status'] === 200 && str_starts_with($r['headers']['content-type'] ?? '', 'application/json')
            && is_array($head), "HTTP 200 and a JSON answer to $tail: " . substr($r['body'], 0, 200));
        same(['string', 'string', 'boolean', 'string', 'string', 'string'], array_map(fn ($k) => gettype($head[$k] ?? null),
            ['app', 'version', 'isError', 'errCode', 'errInfo', 'crc']), "types in the head of $tail");
        same(($head['errCode'] ?? '0') !== '0', $head['isError'] ?? null, "isError of $tail");
        $checkCrc && same(expectedCrc($query), $head['crc'] ?? null, "checksum of $tail");
        return $doc;
    }

    /** @var array<string,string> random values of a run and the names they get in its transcript */
    private array $aliases = [];

    /**
     * With INKBOAT_TEST_TRANSCRIPT set, each call and its answer are written there, random names and
     * tokens numbered in order of appearance: runs on two stores must give the same transcript.
     */
    private function record(string $query, ?string $body, string $answer): void
    {
        if ($file = getenv('INKBOAT_TEST_TRANSCRIPT')) {
            $text = str_replace(array_keys($this->aliases), array_values($this->aliases), "$query\n$body\n$answer\n");
            file_put_contents($file, preg_replace_callback('/[0-9a-f]{32}/', fn ($m) => $this->aliases[$m[0]] ??= 'token'
                . count($this->aliases), $text), FILE_APPEND);
        }
    }

    public function ok(string $tail, ?string $body = null): array
    {
        return sure($this->api($tail, $body), $tail);
    }

    public function register(string $name, string $password = 'secret1', string $email = 'writer@example.cn'): array
    {
        return $this->api('&a=register&username=' . rawurlencode($name) . '&password='
            . encryptPassword($password) . '&email=' . rawurlencode($email) . '&crypt=1');
    }

    /** A sign-in's answer (uid, sid, username, amt). */
    public function signIn(string $name, string $password = 'secret1'): array
    {
        return $this->api('&a=login&username=' . rawurlencode($name) . '&password=' . encryptPassword($password)
            . '&version=4.31&rnd=aZ3q&crypt=1');
    }

    public function login(string $name, string $password = 'secret1'): array
    {
        return sure($this->signIn($name, $password), "login of $name");
    }

    /** A new random user name (numbered in the transcript). */
    public function name(string $prefix): string
    {
        $this->aliases[$name = $prefix . bin2hex(random_bytes(4))] = 'name' . count($this->aliases);
        return $name;
    }

    public function newUser(string $prefix = 'u'): array
    {
        $this->register($name = $this->name($prefix));
        return $this->login($name);
    }

    /** The service's own store, as the service's variables name it. */
    public function db(): PDO
    {
        $dsn = getenv('INKBOAT_SERVER_DSN') ?: 'sqlite:' . $this->dataDir . '/inkboat-service.sqlite';
        return new PDO($dsn, getenv('INKBOAT_SERVER_DB_USER') ?: null, getenv('INKBOAT_SERVER_DB_PASSWORD') ?: null,
            [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_TIMEOUT => 20]);
    }

    public function one(string $sql): mixed
    {
        return $this->db()->query($sql)->fetchColumn();
    }

    public function setFaults(string $rules): void
    {
        file_put_contents($this->dataDir . '/faults.txt', $rules);
    }

    // ---- sync: an action of session $s (uid, sid); $items go out as the client's request record ----

    public function call(string $action, array $s, string $rest = '', ?array $items = null): array
    {
        return $this->api("&a=$action&uid={$s['uid']}&sid={$s['sid']}$rest", $items === null ? null : requestBody($items));
    }

    public function beginPush(array $s, int $usn): array
    {
        return $this->call('beginPush', $s, "&usn=$usn&us=100&extparams=&version=4.31");
    }

    public function beginPull(array $s, int $usn): array
    {
        return $this->call('beginPull', $s, "&usn=$usn&extparams=&version=4.31");
    }

    public function pushDetail(array $s, string $reqcode, array $items): array
    {
        return $this->call('pushDetail', $s, "&reqcode=$reqcode", $items);
    }

    public function commit(array $s, string $reqcode): array
    {
        return $this->call('commitPush', $s, "&reqcode=$reqcode");
    }

    /** The client's whole push: begin, batches of 10, commit; the items carry their USNs already. */
    public function push(array $s, int $usn, array $items): array
    {
        $reqcode = $this->beginPush($s, $usn)['reqcode'];
        foreach (array_chunk($items, 10) as $batch) {
            if (code($d = $this->pushDetail($s, $reqcode, $batch)) !== '0') {
                return $d;
            }
        }
        return $this->commit($s, $reqcode);
    }

    /** The client's whole pull: begin, every page, finish; returns the rows. Throws on a refusal. */
    public function pull(array $s, int $usn, int $pageSize = 10): array
    {
        $b = sure($this->beginPull($s, $usn), 'beginPull');
        $rows = [];
        for ($page = 0; $page * $pageSize < $b['totalCount']; $page++) {
            $rows = array_merge($rows, sure($this->call('pullDetail', $s, "&reqcode={$b['reqcode']}&page=$page&pagesize=$pageSize"),
                'pullDetail')['data']);
        }
        $b['totalCount'] > 0 && sure($this->call('finishPull', $s, "&reqcode={$b['reqcode']}"), 'finishPull');
        return $rows;
    }
}

function bookItem(string $tid, int $usn, array $over = []): array
{
    return array_merge([
        'datatype' => 'book', 'tid' => $tid, 'ptid' => 'ROOT', 'nodetype' => 2, 'level' => 1, 'sort' => 1.5,
        'title' => "第{$usn}章 风起", 'category' => '', 'rtf' => '', 'html' => '<p>夜&nbsp;雨</p>',
        'plaintext' => "夜雨 \"quoted\" & 'single' $usn", 'attribute1' => '', 'attribute2' => '', 'attribute3' => '',
        'create_time' => '2026-12-01T08:00:00', 'update_time' => '2026-12-06T21:00:00', 'origtid' => '',
        'usn' => $usn, 'flag' => 'A',
    ], $over);
}

/** The client's request record: indented JSON with an empty method. */
function requestBody(array $items): string
{
    return json_encode(['method' => '', 'data' => $items], JSON_PRETTY_PRINT | JSON_UNESCAPED_UNICODE);
}

// ---- runner ----

$GLOBALS['failures'] = 0;
$GLOBALS['current'] = '';

function check(bool $cond, string $what): void
{
    if (!$cond) {
        $GLOBALS['failures']++;
        fwrite(STDERR, "FAIL [{$GLOBALS['current']}] $what\n");
    }
}

function same(mixed $expected, mixed $actual, string $what): void
{
    $expected === $actual || check(false, "$what: expected " . var_export($expected, true) . ', got ' . var_export($actual, true));
}

/** A table of checks, each [what, expected, actual]; the actual values were taken in order, as the rows list them. */
function checks(array $rows): void
{
    foreach ($rows as [$what, $expected, $actual]) {
        same($expected, $actual, $what);
    }
}

/** Runs each test against the service given as BASE_URL DATA_DIR; the fault rules are cleared after each. */
function runTests(array $tests): never
{
    global $argv;
    $svc = new Service($argv[1] ?? exit(2), $argv[2] ?? exit(2));
    foreach ($tests as $name => $fn) {
        $GLOBALS['current'] = $name;
        $before = $GLOBALS['failures'];
        try {
            $fn($svc);
        } catch (Throwable $e) {
            check(false, get_class($e) . ': ' . $e->getMessage() . ' at line ' . $e->getLine());
        }
        $svc->setFaults('');
        echo ($GLOBALS['failures'] === $before ? 'PASS' : 'FAIL') . " $name\n";
    }
    echo count($tests) . " tests, {$GLOBALS['failures']} failed checks\n";
    exit($GLOBALS['failures'] === 0 ? 0 : 1);
}
