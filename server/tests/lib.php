<?php
// Test support: a raw HTTP client (the query string goes out exactly as written), the wire
// checks every answer must pass, and a small runner.
declare(strict_types=1);

if (PHP_SAPI !== 'cli') {
    exit;
}
error_reporting(E_ALL);
set_error_handler(function (int $no, string $msg, string $file, int $line): bool {
    if (!(error_reporting() & $no)) {
        return false;   // silenced with @
    }
    throw new ErrorException($msg, 0, $no, $file, $line);
});

const PASSWORD_KEY = '__QUILL__INKPOT_';

final class Http
{
    public function __construct(public string $host, public int $port)
    {
    }

    public static function fromBase(string $base): self
    {
        $u = parse_url($base);
        return new self($u['host'], $u['port']);
    }

    /** Sends one request; returns the socket so several can be in flight at once. */
    public function send(string $method, string $target, ?string $body = null, array $headers = [])
    {
        $s = stream_socket_client("tcp://{$this->host}:{$this->port}", $errno, $err, 10);
        if ($s === false) {
            throw new RuntimeException("connect: $err");
        }
        stream_set_timeout($s, 60);
        $req = "$method $target HTTP/1.1\r\nHost: {$this->host}:{$this->port}\r\nConnection: close\r\n";
        foreach ($headers as $k => $v) {
            $req .= "$k: $v\r\n";
        }
        if ($body !== null) {
            $req .= 'Content-Length: ' . strlen($body) . "\r\n";
        }
        $req .= "\r\n";
        fwrite($s, $req);
        if ($body !== null) {
            for ($off = 0; $off < strlen($body);) {
                $n = @fwrite($s, substr($body, $off, 1 << 20));
                if (!$n) {
                    break;   // the server may close early on a refused body
                }
                $off += $n;
            }
        }
        return $s;
    }

    /** @return array{status:int, headers:array<string,string>, body:string} */
    public static function receive($s): array
    {
        $raw = '';
        while (!feof($s)) {
            $chunk = fread($s, 65536);
            if ($chunk === false || ($chunk === '' && stream_get_meta_data($s)['timed_out'])) {
                break;
            }
            $raw .= $chunk;
        }
        fclose($s);
        $split = strpos($raw, "\r\n\r\n");
        if ($split === false) {
            throw new RuntimeException('no HTTP answer');
        }
        $lines = explode("\r\n", substr($raw, 0, $split));
        preg_match('#^HTTP/\d\.\d (\d{3})#', array_shift($lines), $m);
        $headers = [];
        foreach ($lines as $l) {
            [$k, $v] = array_map('trim', explode(':', $l, 2)) + [1 => ''];
            $headers[strtolower($k)] = $v;
        }
        $body = substr($raw, $split + 4);
        return ['status' => (int)($m[1] ?? 0), 'headers' => $headers, 'body' => $body];
    }

    public function request(string $method, string $target, ?string $body = null, array $headers = []): array
    {
        return self::receive($this->send($method, $target, $body, $headers));
    }

    /** Runs requests side by side; each is [method, target, body]. */
    public function parallel(array $requests): array
    {
        $socks = array_map(fn ($r) => $this->send($r[0], $r[1], $r[2] ?? null), $requests);
        return array_map([self::class, 'receive'], $socks);
    }
}

/** The client's checksum text: query items in URL order, percent-decoded, keys and values joined. */
function expectedCrc(string $query): string
{
    $text = '';
    foreach (explode('&', $query) as $item) {
        if ($item === '') {
            continue;
        }
        $kv = explode('=', $item, 2);
        $text .= rawurldecode($kv[0]) . rawurldecode($kv[1] ?? '');
    }
    return md5($text);
}

function encryptPassword(string $plain): string
{
    return bin2hex(openssl_encrypt($plain, 'aes-128-ecb', PASSWORD_KEY, OPENSSL_RAW_DATA));
}

final class Service
{
    public Http $http;

    public function __construct(public string $base, public string $dataDir)
    {
        $this->http = Http::fromBase($base);
    }

    /**
     * Calls an API action and checks what every answer must be: HTTP 200, JSON without BOM,
     * a head with the typed keys and the request's checksum.
     */
    public function api(string $tail, ?string $body = null, bool $checkCrc = true): array
    {
        $query = 'g=Inkboat&m=WebApi' . $tail;
        // Like the client: a POST without its own content type goes out as a form.
        $r = $this->http->request($body === null ? 'GET' : 'POST', '/index.php?' . $query, $body,
            $body === null ? [] : ['Content-Type' => 'application/x-www-form-urlencoded']);
        same(200, $r['status'], "HTTP status of $tail");
        check(str_starts_with($r['headers']['content-type'] ?? '', 'application/json'), "content type of $tail");
        check(!str_starts_with($r['body'], "\xEF\xBB\xBF"), "no BOM in $tail");
        $doc = json_decode($r['body'], true);
        check(is_array($doc) && is_array($doc['head'] ?? null), "JSON answer to $tail: " . substr($r['body'], 0, 200));
        $head = $doc['head'] ?? [];
        foreach (['app' => 'string', 'version' => 'string', 'isError' => 'boolean', 'errCode' => 'string',
                     'errInfo' => 'string', 'crc' => 'string'] as $k => $type) {
            same($type, gettype($head[$k] ?? null), "type of head.$k in $tail");
        }
        if ($checkCrc) {
            same(expectedCrc($query), $head['crc'] ?? null, "checksum of $tail");
        }
        return $doc;
    }

    public function ok(string $tail, ?string $body = null): array
    {
        $doc = $this->api($tail, $body);
        if ($doc['head']['isError'] ?? true) {
            throw new RuntimeException("$tail failed: " . json_encode($doc['head'], JSON_UNESCAPED_UNICODE));
        }
        return $doc;
    }

    public function fails(string $tail, ?string $body = null, ?string $code = null): array
    {
        $doc = $this->api($tail, $body);
        same(true, $doc['head']['isError'] ?? null, "$tail must fail");
        if ($code !== null) {
            same($code, $doc['head']['errCode'] ?? null, "error code of $tail");
        }
        return $doc;
    }

    public function register(string $name, string $password = 'secret1', string $email = 'writer@example.cn'): array
    {
        return $this->api('&a=register&username=' . rawurlencode($name) . '&password='
            . encryptPassword($password) . '&email=' . rawurlencode($email) . '&crypt=1');
    }

    /** Signs in; returns the session fields (uid, sid, username). */
    public function login(string $name, string $password = 'secret1'): array
    {
        $doc = $this->ok('&a=login&username=' . rawurlencode($name) . '&password=' . encryptPassword($password)
            . '&version=4.31&rnd=aZ3q&crypt=1');
        return ['uid' => $doc['uid'], 'sid' => $doc['sid'], 'username' => $doc['username']];
    }

    public function newUser(string $prefix = 'u'): array
    {
        $name = $prefix . bin2hex(random_bytes(4));
        $this->register($name);
        return $this->login($name);
    }

    public function db(): PDO
    {
        $pdo = new PDO('sqlite:' . $this->dataDir . '/inkboat-service.sqlite');
        $pdo->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_EXCEPTION);
        $pdo->setAttribute(PDO::ATTR_TIMEOUT, 20);
        return $pdo;
    }

    public function setFaults(string $rules): void
    {
        file_put_contents($this->dataDir . '/faults.txt', $rules);
    }

    // ---- sync helpers ----

    public static function auth(array $s): string
    {
        return "&uid={$s['uid']}&sid={$s['sid']}";
    }

    public function beginPush(array $s, int $usn): array
    {
        return $this->ok('&a=beginPush' . self::auth($s) . "&usn=$usn&us=100&extparams=&version=4.31");
    }

    public function pushDetail(array $s, string $reqcode, array $items): array
    {
        return $this->api('&a=pushDetail' . self::auth($s) . "&reqcode=$reqcode", requestBody($items));
    }

    public function commit(array $s, string $reqcode): array
    {
        return $this->api('&a=commitPush' . self::auth($s) . "&reqcode=$reqcode");
    }

    /** The client's whole push: begin, batches of 10, commit; the items carry their USNs already. */
    public function push(array $s, int $usn, array $items): array
    {
        $reqcode = $this->beginPush($s, $usn)['reqcode'];
        foreach (array_chunk($items, 10) as $batch) {
            $d = $this->pushDetail($s, $reqcode, $batch);
            if ($d['head']['isError']) {
                return $d;
            }
        }
        return $this->commit($s, $reqcode);
    }

    /** The client's whole pull: begin, every page, finish; returns the rows. */
    public function pull(array $s, int $usn, int $pageSize = 10): array
    {
        $b = $this->ok('&a=beginPull' . self::auth($s) . "&usn=$usn&extparams=&version=4.31");
        $rows = [];
        for ($page = 0; $page * $pageSize < $b['totalCount']; $page++) {
            $d = $this->ok('&a=pullDetail' . self::auth($s) . "&reqcode={$b['reqcode']}&page=$page&pagesize=$pageSize");
            $rows = array_merge($rows, $d['data']);
        }
        if ($b['totalCount'] > 0) {
            $this->ok('&a=finishPull' . self::auth($s) . "&reqcode={$b['reqcode']}");
        }
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
    if ($expected !== $actual) {
        $GLOBALS['failures']++;
        fwrite(STDERR, "FAIL [{$GLOBALS['current']}] $what: expected " . var_export($expected, true)
            . ', got ' . var_export($actual, true) . "\n");
    }
}

/** @param array<string,callable> $tests */
function runTests(array $tests, Service $svc): never
{
    $ran = 0;
    foreach ($tests as $name => $fn) {
        $GLOBALS['current'] = $name;
        $before = $GLOBALS['failures'];
        try {
            $fn($svc);
        } catch (Throwable $e) {
            $GLOBALS['failures']++;
            fwrite(STDERR, "FAIL [$name] " . get_class($e) . ': ' . $e->getMessage() . ' at line ' . $e->getLine() . "\n");
        }
        $svc->setFaults('');
        $ran++;
        echo ($GLOBALS['failures'] === $before ? 'PASS' : 'FAIL') . " $name\n";
    }
    echo "$ran tests, {$GLOBALS['failures']} failed checks\n";
    exit($GLOBALS['failures'] === 0 ? 0 : 1);
}

function serviceFromArgs(array $argv): Service
{
    if (count($argv) < 3) {
        fwrite(STDERR, "usage: php {$argv[0]} BASE_URL DATA_DIR\n");
        exit(2);
    }
    return new Service(rtrim($argv[1], '/'), $argv[2]);
}
