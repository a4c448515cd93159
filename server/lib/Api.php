<?php
// The web API under index.php?g=Inkboat&m=WebApi&a=...: the action table, the answer envelope
// (every answer is HTTP 200 with a JSON head carrying the request checksum, errors included) and
// the checks of parameters shared by the endpoints of AccountApi, NewsApi and SyncApi.
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

    /** Each action and the class whose method of the same name answers it. */
    private const ACTIONS = ['register' => AccountApi::class, 'login' => AccountApi::class,
        'heartbeat' => AccountApi::class, 'lastnews' => NewsApi::class, 'lastnewsdone' => NewsApi::class,
        'eshoplinks' => NewsApi::class, 'postclientinfo' => NewsApi::class, 'beginPush' => SyncApi::class,
        'pushDetail' => SyncApi::class, 'commitPush' => SyncApi::class, 'beginPull' => SyncApi::class,
        'pullDetail' => SyncApi::class, 'finishPull' => SyncApi::class, 'cancelSync' => SyncApi::class,
        'pushActionLog' => SyncApi::class, 'pushBookLog' => SyncApi::class];

    private ?Db $db = null;
    private ?array $user = null;
    /** A test hook: the call waits this long once its session is found valid. */
    private int $holdMs = 0;

    public function __construct(public readonly Request $req)
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
        // nginx limits sign-ins per address by the literal "a=login" (and "a=register"): a name
        // spelled in percent escapes would slip past it.
        if (!isset(self::ACTIONS[$action]) || (($action === 'login' || $action === 'register')
                && !in_array("a=$action", explode('&', $this->req->query), true))) {
            return $this->error($action, 'UNKNOWN_ACTION', '未知的服务请求！');
        }
        $effects = testHooks($this->req, $action);
        $this->holdMs = (int)($effects['hold_ms'] ?? 0);
        try {
            if (isset($effects['delay_ms'])) {
                usleep($effects['delay_ms'] * 1000);
            }
            if (isset($effects['kick'])) {
                $uid = strtolower($this->req->get('uid'));
                self::isToken($uid) && $this->db()->write(fn (Db $db) => Sessions::start($db, $uid, 'kick'));
            }
            if (isset($effects['fail'])) {
                return $this->error($action, 'FAULT_INJECTED', '服务故障（测试）！');
            }
            $handler = new (self::ACTIONS[$action])($this);
            $response = $this->answer($handler->$action() + (self::DEFAULTS[$action] ?? []));
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

    public function db(): Db
    {
        return $this->db ??= new Db();
    }

    /**
     * The signed-in user of the call's uid/sid (see Sessions::check, also for $ticket), looked up
     * once per request.
     */
    public function session(?array $ticket = null): array
    {
        if ($this->user !== null) {
            return $this->user;
        }
        $user = Sessions::check($this->db(), $this->req->get('uid'), $this->req->get('sid'), $ticket);
        if ($this->holdMs > 0) {
            // Like a request already under way when the account signs in elsewhere: it goes on.
            testHoldBegun($this->req->get('a'));
            usleep($this->holdMs * 1000);
            $this->holdMs = 0;
        }
        return $this->user = $user;
    }

    // ---- parameters ----------------------------------------------------------------------

    public static function token(): string
    {
        return bin2hex(random_bytes(16));
    }

    public static function isToken(string $s): bool
    {
        return strlen($s) === 32 && ctype_xdigit($s);
    }

    public function tokenParam(string $key, string $code = 'BAD_PARAM'): string
    {
        $v = $this->req->get($key);
        if (!self::isToken($v)) {
            throw new ApiError($code, "参数{$key}不正确！");
        }
        return strtolower($v);
    }

    public function intParam(string $key, int $min, int $max, ?int $default = null): int
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

    public static function charCount(string $s): int
    {
        return preg_match('//u', $s) ? (int)preg_match_all('/./us', $s) : strlen($s);
    }

    /** The "data" list of the posted request record, its items as arrays (null where not an object). */
    public function jsonBody(): array
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
}
