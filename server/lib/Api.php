<?php
// The web API under index.php?g=Inkboat&m=WebApi&a=...: every answer is HTTP 200 with a JSON
// envelope whose head carries the request checksum, errors included.
declare(strict_types=1);

namespace Inkboat;

final class Api
{
    /** Own keys of each answer with their empty values, so error answers keep the record's types. */
    private const DEFAULTS = [
        'login' => ['uid' => '', 'username' => '', 'sid' => '', 'amt' => '0'],
        'heartbeat' => ['tid' => ''],
        'beginPush' => ['reqcode' => '', 'shouldPull' => false],
        'beginPull' => ['reqcode' => '', 'totalCount' => 0],
        'pullDetail' => ['data' => []],
        'lastnews' => ['news' => []],
        'eshoplinks' => ['links' => []],
    ];

    private const ACTIONS = ['register', 'login', 'heartbeat', 'lastnews', 'lastnewsdone', 'eshoplinks',
        'beginPush', 'pushDetail', 'commitPush', 'beginPull', 'pullDetail', 'finishPull', 'cancelSync',
        'pushActionLog', 'pushBookLog', 'postclientinfo'];

    private const PASSWORD_KEY = '__QUILL__INKPOT_';

    private ?Db $db = null;
    private ?array $user = null;
    /** A fault: the call waits this long once its session is found valid. */
    private int $holdMs = 0;

    public function __construct(private Request $req)
    {
    }

    public static function encode(array $value): string
    {
        return json_encode($value, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES
            | JSON_INVALID_UTF8_SUBSTITUTE | JSON_PRESERVE_ZERO_FRACTION | JSON_THROW_ON_ERROR);
    }

    public function answer(array $own = [], string $errCode = '0', string $errInfo = '', bool $isError = false): Response
    {
        $head = [
            'app' => Config::APP,
            'version' => Config::SERVICE_VERSION,
            'isError' => $isError,
            'errCode' => $errCode,
            'errInfo' => $errInfo,
            'crc' => queryChecksum($this->req->query),
        ];
        return new Response(200, ['Content-Type' => 'application/json',
            'Cache-Control' => 'no-store'], '', ['head' => $head] + $own);
    }

    public function error(string $action, string $code, string $info): Response
    {
        return $this->answer(self::DEFAULTS[$action] ?? [], $code, $info, true);
    }

    public function handle(): Response
    {
        $action = $this->req->get('a');
        if ($this->req->get('g') !== Config::APP) {
            return $this->error($action, 'UNKNOWN_APP', '未知的应用！');
        }
        if (!in_array($action, self::ACTIONS, true)) {
            return $this->error($action, 'UNKNOWN_ACTION', '未知的服务请求！');
        }
        $faults = Faults::forCall($this->req, $action);
        $effects = array_column($faults, 'arg', 'effect');
        $this->holdMs = (int)($effects['hold_ms'] ?? 0);
        try {
            if (isset($effects['delay_ms'])) {
                usleep($effects['delay_ms'] * 1000);
            }
            if (isset($effects['kick'])) {
                $this->kick();
            }
            if (isset($effects['fail'])) {
                return $this->error($action, 'FAULT_INJECTED', '服务故障（测试）！');
            }
            $response = $this->answer($this->$action() + (self::DEFAULTS[$action] ?? []));
        } catch (ApiError $e) {
            $response = $this->error($action, $e->errCode, $e->getMessage());
        }
        if (isset($effects['badcrc'])) {
            $response->json['head']['crc'] = strrev($response->json['head']['crc']) === $response->json['head']['crc']
                ? str_repeat('0', 32) : strrev($response->json['head']['crc']);
        }
        if (isset($effects['drop_after'])) {
            return new Response(500, ['Content-Type' => 'text/plain; charset=utf-8'], "fault injected\n");
        }
        return $response;
    }

    private function db(): Db
    {
        return $this->db ??= new Db();
    }

    // ---- input helpers -------------------------------------------------------------------

    public static function token(): string
    {
        return bin2hex(random_bytes(16));
    }

    private static function isToken(string $s): bool
    {
        return strlen($s) === 32 && ctype_xdigit($s);
    }

    private function tokenParam(string $key, string $code = 'BAD_PARAM'): string
    {
        $v = $this->req->get($key);
        if (!self::isToken($v)) {
            throw new ApiError($code, "参数{$key}不正确！");
        }
        return strtolower($v);
    }

    private function intParam(string $key, int $min, int $max, ?int $default = null): int
    {
        $v = $this->req->get($key, $default === null ? '' : (string)$default);
        if ($v === '' && $default !== null) {
            return $default;
        }
        if (!preg_match('/^-?\d{1,10}$/', $v) || (int)$v < $min || (int)$v > $max) {
            throw new ApiError('BAD_PARAM', "参数{$key}不正确！");
        }
        return (int)$v;
    }

    private static function charCount(string $s): int
    {
        return preg_match('//u', $s) ? (int)preg_match_all('/./us', $s) : strlen($s);
    }

    private function decryptPassword(): string
    {
        if ($this->req->get('crypt') !== '1') {
            throw new ApiError('BAD_CRYPT', '不支持的密码格式！');
        }
        $hex = $this->req->get('password');
        if ($hex === '' || strlen($hex) % 32 !== 0 || strlen($hex) > 512 || !ctype_xdigit($hex)) {
            throw new ApiError('BAD_PASSWORD', '密码格式不正确！');
        }
        $plain = openssl_decrypt((string)hex2bin($hex), 'aes-128-ecb', self::PASSWORD_KEY, OPENSSL_RAW_DATA);
        if ($plain === false || $plain === '' || str_contains($plain, "\0") || strlen($plain) > 72) {
            throw new ApiError('BAD_PASSWORD', '密码格式不正确！');
        }
        return $plain;
    }

    private function userName(): string
    {
        $name = $this->req->get('username');
        if (!preg_match('//u', $name)) {
            throw new ApiError('BAD_USERNAME', '用户名不正确！');
        }
        $name = Users::trim($name);
        if ($name === '' || Users::key($name) === '') {
            throw new ApiError('BAD_USERNAME', '用户名不能为空！');
        }
        if (preg_match('/[\x00-\x1F\x7F]/', $name) || self::charCount($name) > Users::MAX_NAME) {
            throw new ApiError('BAD_USERNAME', '用户名不正确！');
        }
        return $name;
    }

    /** The signed-in user of uid/sid; "-3" when a later sign-in replaced the session, "-2" otherwise. */
    private function session(): array
    {
        if ($this->user !== null) {
            return $this->user;
        }
        $uid = $this->req->get('uid');
        $sid = $this->req->get('sid');
        if (!self::isToken($uid) || !self::isToken($sid)) {
            throw new ApiError('-2', '登录已失效，请重新登录！');
        }
        $uid = strtolower($uid);
        $sid = strtolower($sid);
        $db = $this->db();
        $s = $db->one('SELECT uid, state, last_seen FROM sessions WHERE sid=?', [$sid]);
        if ($s === null || $s['uid'] !== $uid) {
            throw new ApiError('-2', '登录已失效，请重新登录！');
        }
        if ($s['state'] === 'replaced') {
            throw new ApiError('-3', '帐号已在其他地方登录！');
        }
        $now = time();
        if ($s['state'] !== 'active' || $now - (int)$s['last_seen'] > Config::SESSION_IDLE) {
            throw new ApiError('-2', '登录已失效，请重新登录！');
        }
        $user = $db->one('SELECT uid, username, max_usn FROM users WHERE uid=?', [$uid]);
        if ($user === null) {
            throw new ApiError('-2', '登录已失效，请重新登录！');
        }
        if ($now - (int)$s['last_seen'] >= 60) {
            $db->write(function (Db $d) use ($now, $sid) {
                $d->relaxedCommit();
                $d->exec('UPDATE sessions SET last_seen=? WHERE sid=?', [$now, $sid]);
            });
        }
        $user['sid'] = $sid;
        if ($this->holdMs > 0) {
            // Like a request already under way when the account signs in elsewhere: it goes on.
            Faults::noteHold($this->req->get('a'));
            usleep($this->holdMs * 1000);
            $this->holdMs = 0;
        }
        return $this->user = $user;
    }

    /** Starts a new session for the user; the previous ones answer "-3" from now on. */
    private static function newSession(Db $db, string $uid, string $version): string
    {
        $sid = self::token();
        $now = time();
        $db->lockUser($uid);   // two sign-ins at once still leave one active session
        $db->exec("UPDATE sessions SET state='replaced' WHERE uid=? AND state='active'", [$uid]);
        $db->housekeeping('sessions', fn (Db $d) => $d->exec('DELETE FROM sessions WHERE last_seen<?',
            [$now - 30 * 86400]));
        $db->exec("INSERT INTO sessions(sid, uid, state, version, created, last_seen) VALUES(?, ?, 'active', ?, ?, ?)",
            [$sid, $uid, substr($version, 0, 32), $now, $now]);
        return $sid;
    }

    private function kick(): void
    {
        $uid = strtolower($this->req->get('uid'));
        if (self::isToken($uid)) {
            $this->db()->write(fn (Db $db) => self::newSession($db, $uid, 'kick'));
        }
    }

    private function jsonBody(): array
    {
        $body = $this->req->body();
        if (str_starts_with($body, "\xEF\xBB\xBF")) {
            $body = substr($body, 3);
        }
        try {
            // Decoded as objects first, so that {} and [] stay apart where a list is expected.
            $doc = json_decode($body, false, 32, JSON_THROW_ON_ERROR);
        } catch (\JsonException) {
            throw new ApiError('BAD_JSON', '请求数据格式不正确！');
        }
        if (!$doc instanceof \stdClass || !isset($doc->data) || !is_array($doc->data)) {
            throw new ApiError('BAD_JSON', '请求数据格式不正确！');
        }
        return array_map(fn ($item) => $item instanceof \stdClass ? get_object_vars($item) : null, $doc->data);
    }

    // ---- accounts --------------------------------------------------------------------------

    private function register(): array
    {
        $name = $this->userName();
        $email = trim($this->req->get('email'));
        if ($email === '') {
            throw new ApiError('BAD_EMAIL', '邮箱不能为空！');
        }
        if (strlen($email) > 254 || !preg_match('/^[^\s@\x00-\x1F]+@[A-Za-z0-9_-]+(\.[A-Za-z0-9_-]+)+$/u', $email)) {
            throw new ApiError('BAD_EMAIL', '邮箱不正确，请输入正在使用的有效邮箱地址！');
        }
        $password = $this->decryptPassword();
        if (self::charCount($password) < 6) {
            throw new ApiError('BAD_PASSWORD', '密码长度不能低于6位！');
        }
        $hash = password_hash($password, PASSWORD_DEFAULT);
        try {
            $this->db()->write(function (Db $db) use ($name, $email, $hash) {
                if ($db->value('SELECT uid FROM users WHERE username_key=?', [Users::key($name)]) !== null) {
                    throw new ApiError('USER_EXISTS', '用户名已存在！');
                }
                $db->exec('INSERT INTO users(uid, username, username_key, email, password_hash, max_usn, created)
                    VALUES(?, ?, ?, ?, ?, 0, ?)', [self::token(), $name, Users::key($name), $email, $hash, gmdate('c')]);
            });
        } catch (\PDOException $e) {
            if ($this->db()->value('SELECT uid FROM users WHERE username_key=?', [Users::key($name)]) !== null) {
                throw new ApiError('USER_EXISTS', '用户名已存在！');
            }
            throw $e;
        }
        return [];
    }

    private function login(): array
    {
        $name = $this->userName();
        $password = $this->decryptPassword();
        $user = $this->db()->one('SELECT uid, username, password_hash FROM users WHERE username_key=?',
            [Users::key($name)]);
        // Verify against a dummy hash for unknown names so timing does not tell which names exist.
        $hash = $user['password_hash'] ?? '$2y$10$OyGlDZAjanZaVDJiqMBR4OtoV1nryi5FAhR3RYf6mt8DBhJYHOQem';
        if (!password_verify($password, $hash) || $user === null) {
            throw new ApiError('LOGIN_FAILED', '用户名或密码错误！');
        }
        $version = $this->req->get('version');
        $sid = $this->db()->write(fn (Db $db) => self::newSession($db, $user['uid'], $version));
        return ['uid' => $user['uid'], 'username' => $user['username'], 'sid' => $sid, 'amt' => '0'];
    }

    private function heartbeat(): array
    {
        $user = $this->session();
        $tid = self::token();
        $now = time();
        $this->db()->write(function (Db $db) use ($user, $tid, $now) {
            $db->relaxedCommit();
            $db->housekeeping('tickets', fn (Db $d) => $d->exec('DELETE FROM web_tickets WHERE expires<?', [$now]));
            $db->exec('INSERT INTO web_tickets(tid, uid, sid, expires, used) VALUES(?, ?, ?, ?, 0)',
                [$tid, $user['uid'], $user['sid'], $now + Config::TICKET_LIFE]);
        });
        return ['tid' => $tid];
    }

    // ---- news, links, client information ------------------------------------------------------

    private function lastnews(): array
    {
        $uid = $this->req->get('uid');
        $mark = 0;
        if ($uid !== '' && $uid !== '0') {
            $user = $this->session();
            $mark = (int)$this->db()->value('SELECT last_news_id FROM news_marks WHERE uid=?', [$user['uid']]);
        }
        $rows = $this->db()->all('SELECT id, post_title, post_excerpt, smeta FROM news WHERE id>? ORDER BY id DESC LIMIT 10',
            [$mark]);
        return ['news' => array_map(fn ($r) => ['post_title' => (string)$r['post_title'],
            'post_excerpt' => (string)$r['post_excerpt'], 'tid' => (string)$r['id'], 'smeta' => (string)$r['smeta']], $rows)];
    }

    /**
     * Marks as read the news up to "lastid", the newest item the client showed: items it never
     * showed (added since, or beyond the ten offered) stay unread. A mark never moves back and
     * never past the newest item there is. A client that sends no id gets every item marked, as
     * clients did before they sent one.
     */
    private function lastnewsdone(): array
    {
        $user = $this->session();
        $shown = $this->req->get('lastid') === '' ? null : $this->intParam('lastid', 0, 2147483647);
        $this->db()->write(function (Db $db) use ($user, $shown) {
            $db->lockUser($user['uid']);
            $newest = (int)$db->value('SELECT MAX(id) FROM news');
            $mark = (int)$db->value('SELECT last_news_id FROM news_marks WHERE uid=?', [$user['uid']]);
            $last = max($mark, min($shown ?? $newest, $newest));
            $db->exec('DELETE FROM news_marks WHERE uid=?', [$user['uid']]);
            $db->exec('INSERT INTO news_marks(uid, last_news_id) VALUES(?, ?)', [$user['uid'], $last]);
        });
        return [];
    }

    private function eshoplinks(): array
    {
        $rows = $this->db()->all('SELECT link_name, link_url FROM links ORDER BY sort, id');
        return ['links' => array_map(fn ($r) => ['link_name' => (string)$r['link_name'],
            'link_url' => (string)$r['link_url']], $rows)];
    }

    private function postclientinfo(): array
    {
        $fields = ['sid' => 64, 'app_name' => 200, 'app_ver' => 64, 'attr0' => 64, 'attr1' => 8192,
            'attr2' => 8192, 'attr3' => 256, 'os' => 64];
        $values = [];
        foreach ($fields as $key => $max) {
            $v = $this->req->get($key);
            if (strlen($v) > $max || !preg_match('//u', $v)) {
                throw new ApiError('BAD_PARAM', "参数{$key}不正确！");
            }
            $values[] = $v;
        }
        $this->db()->write(fn (Db $db) => $db->exec('INSERT INTO client_info(received, remote_addr, sid, app_name,
            app_ver, attr0, attr1, attr2, attr3, os) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)',
            array_merge([time(), substr($this->req->remoteAddr, 0, 64)], $values)));
        return [];
    }

    // ---- cloud sync ----------------------------------------------------------------------------

    private function beginPull(): array
    {
        $user = $this->session();
        $usn = $this->intParam('usn', 0, 2147483647);
        $reqcode = self::token();
        $cols = implode(', ', Db::ROW_COLUMNS);
        $total = $this->db()->write(function (Db $db) use ($user, $usn, $reqcode, $cols) {
            Sync::expire($db);
            $now = time();
            // The snapshot: later commits of other clients cannot shift rows between pages.
            $db->exec("INSERT INTO pull_rows(reqcode, pos, $cols)
                SELECT ?, ROW_NUMBER() OVER (ORDER BY usn, datatype, tid) - 1, $cols
                FROM sync_rows WHERE uid=? AND usn>?", [$reqcode, $user['uid'], $usn]);
            $total = (int)$db->value('SELECT COUNT(*) FROM pull_rows WHERE reqcode=?', [$reqcode]);
            // An empty pull is never finished by the client, so it starts closed.
            $db->exec('INSERT INTO reqcodes(reqcode, uid, kind, state, client_usn, total, created, last_used)
                VALUES(?, ?, ?, ?, ?, ?, ?, ?)',
                [$reqcode, $user['uid'], 'pull', $total > 0 ? 'open' : 'finished', $usn, $total, $now, $now]);
            return $total;
        });
        return ['reqcode' => $reqcode, 'totalCount' => $total];
    }

    private function pullDetail(): array
    {
        $user = $this->session();
        $reqcode = $this->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $page = $this->intParam('page', 0, 100000000);
        $size = $this->intParam('pagesize', 1, Config::MAX_PAGE_SIZE);
        $db = $this->db();
        $rc = Sync::reqcode($db, $reqcode, $user['uid'], 'pull');
        Sync::requireOpen($rc);
        $cols = implode(', ', Db::ROW_COLUMNS);
        $rows = $db->all("SELECT $cols FROM pull_rows WHERE reqcode=? AND pos>=? AND pos<? ORDER BY pos",
            [$reqcode, $page * $size, ($page + 1) * $size]);
        Sync::touch($db, $rc);
        return ['data' => array_map(fn (array $r) => Sync::toItem($db, $r), $rows)];
    }

    private function finishPull(): array
    {
        $user = $this->session();
        $reqcode = $this->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $this->db()->write(function (Db $db) use ($reqcode, $user) {
            $rc = Sync::reqcode($db, $reqcode, $user['uid'], 'pull');
            if ($rc['state'] === 'open') {
                $db->exec("UPDATE reqcodes SET state='finished', last_used=? WHERE reqcode=?", [time(), $reqcode]);
                $db->exec('DELETE FROM pull_rows WHERE reqcode=?', [$reqcode]);
            }
        });
        return [];
    }

    private function beginPush(): array
    {
        $user = $this->session();
        $usn = $this->intParam('usn', 0, 2147483647);
        if ($this->req->get('us') !== '') {
            $this->intParam('us', 0, PHP_INT_MAX);
        }
        $reqcode = self::token();
        $max = $this->db()->write(function (Db $db) use ($user, $usn, $reqcode) {
            Sync::expire($db);
            $now = time();
            $db->exec("INSERT INTO reqcodes(reqcode, uid, kind, state, client_usn, total, created, last_used)
                VALUES(?, ?, 'push', 'open', ?, 0, ?, ?)", [$reqcode, $user['uid'], $usn, $now, $now]);
            return (int)$db->value('SELECT max_usn FROM users WHERE uid=?', [$user['uid']]);
        });
        return ['reqcode' => $reqcode, 'shouldPull' => $usn < $max];
    }

    private function pushDetail(): array
    {
        $user = $this->session();
        $reqcode = $this->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $db = $this->db();
        Sync::requireOpen(Sync::reqcode($db, $reqcode, $user['uid'], 'push'));
        $data = $this->jsonBody();
        if (count($data) > Config::MAX_BATCH) {
            throw new ApiError('BATCH_TOO_LARGE', '一次上传的数据过多！');
        }
        $items = [];
        foreach ($data as $i => $raw) {
            $items[] = Sync::fromItem($raw, $i);
        }
        $db->write(function (Db $db) use ($reqcode, $user, $items) {
            // The state may have changed since the first look (a commit or cancel in between).
            $db->lockUser($user['uid']);
            $rc = Sync::reqcode($db, $reqcode, $user['uid'], 'push');
            Sync::requireOpen($rc);
            Sync::stage($db, $reqcode, $items);
            $db->exec('UPDATE reqcodes SET last_used=? WHERE reqcode=?', [time(), $reqcode]);
        });
        return [];
    }

    private function commitPush(): array
    {
        $user = $this->session();
        $reqcode = $this->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $this->db()->write(fn (Db $db) => Sync::commit($db, $reqcode, $user['uid']));
        return [];
    }

    private function cancelSync(): array
    {
        $user = $this->session();
        $reqcode = $this->tokenParam('reqcode', 'REQCODE_UNKNOWN');
        $this->db()->write(function (Db $db) use ($reqcode, $user) {
            $db->lockUser($user['uid']);
            $rc = Sync::reqcode($db, $reqcode, $user['uid'], null);
            // Only an open transfer is cancelled: a commit that went through is never undone.
            if ($rc['state'] === 'open') {
                $db->exec("UPDATE reqcodes SET state='canceled', last_used=? WHERE reqcode=?", [time(), $reqcode]);
                $db->exec('DELETE FROM pull_rows WHERE reqcode=?', [$reqcode]);
                $db->exec('DELETE FROM push_rows WHERE reqcode=?', [$reqcode]);
            }
        });
        return [];
    }

    // ---- usage logs ----------------------------------------------------------------------------

    private function pushActionLog(): array
    {
        $user = $this->session();
        $items = Logs::actionItems($this->jsonBody());
        $this->db()->write(fn (Db $db) => Logs::storeActions($db, $user['uid'], $items));
        return [];
    }

    private function pushBookLog(): array
    {
        $user = $this->session();
        $items = Logs::bookItems($this->jsonBody());
        $this->db()->write(fn (Db $db) => Logs::storeBooks($db, $user['uid'], $items));
        return [];
    }
}
