<?php
// Accounts: registration, sign-in and the heartbeat of a signed-in client.
declare(strict_types=1);

namespace Inkboat;

final class AccountApi
{
    private const PASSWORD_KEY = '__QUILL__INKPOT_';

    public function __construct(private Api $api)
    {
    }

    private function decryptPassword(): string
    {
        $req = $this->api->req;
        if ($req->get('crypt') !== '1') {
            throw new ApiError('BAD_CRYPT', '不支持的密码格式！');
        }
        $hex = $req->get('password');
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
        $name = $this->api->req->get('username');
        if (!preg_match('//u', $name)) {
            throw new ApiError('BAD_USERNAME', '用户名不正确！');
        }
        $name = Users::trim($name);
        if ($name === '' || Users::key($name) === '') {
            throw new ApiError('BAD_USERNAME', '用户名不能为空！');
        }
        if (preg_match('/[\x00-\x1F\x7F]/', $name) || Api::charCount($name) > Users::MAX_NAME) {
            throw new ApiError('BAD_USERNAME', '用户名不正确！');
        }
        return $name;
    }

    public function register(): array
    {
        $name = $this->userName();
        $email = trim($this->api->req->get('email'));
        if ($email === '') {
            throw new ApiError('BAD_EMAIL', '邮箱不能为空！');
        }
        if (strlen($email) > 254 || !preg_match('/^[^\s@\x00-\x1F]+@[A-Za-z0-9_-]+(\.[A-Za-z0-9_-]+)+$/u', $email)) {
            throw new ApiError('BAD_EMAIL', '邮箱不正确，请输入正在使用的有效邮箱地址！');
        }
        $password = $this->decryptPassword();
        if (Api::charCount($password) < 6) {
            throw new ApiError('BAD_PASSWORD', '密码长度不能低于6位！');
        }
        $db = $this->api->db();
        // Every attempt that gets this far costs a bcrypt, so each counts against the address.
        $limit = 'register:' . $this->api->req->remoteAddr;
        Limits::refuseIfLocked($db, $limit, 'REGISTER_LIMITED', '注册过于频繁，请%d分钟后再试！');
        Limits::count($db, $limit, Config::limit('REGISTER_PER_HOUR'), 3600, 3600);
        $hash = password_hash($password, PASSWORD_DEFAULT);
        try {
            $db->write(function (Db $db) use ($name, $email, $hash) {
                if ($db->value('SELECT uid FROM users WHERE username_key=?', [Users::key($name)]) !== null) {
                    throw new ApiError('USER_EXISTS', '用户名已存在！');
                }
                $db->exec('INSERT INTO users(uid, username, username_key, email, password_hash, max_usn, created)
                    VALUES(?, ?, ?, ?, ?, 0, ?)', [Api::token(), $name, Users::key($name), $email, $hash, gmdate('c')]);
            });
        } catch (\PDOException $e) {
            if ($db->value('SELECT uid FROM users WHERE username_key=?', [Users::key($name)]) !== null) {
                throw new ApiError('USER_EXISTS', '用户名已存在！');
            }
            throw $e;
        }
        return [];
    }

    public function login(): array
    {
        $name = $this->userName();
        $password = $this->decryptPassword();
        $db = $this->api->db();
        // Counted per account name, known or not, so the refusal tells nothing about which names exist.
        $limit = 'login:' . Users::key($name);
        $counted = Limits::refuseIfLocked($db, $limit, 'LOGIN_LIMITED', '密码错误次数过多，请%d分钟后再试！');
        $user = $db->one('SELECT uid, username, password_hash FROM users WHERE username_key=?', [Users::key($name)]);
        // Verify against a dummy hash for unknown names so timing does not tell which names exist.
        $hash = $user['password_hash'] ?? '$2y$10$OyGlDZAjanZaVDJiqMBR4OtoV1nryi5FAhR3RYf6mt8DBhJYHOQem';
        if (!password_verify($password, $hash) || $user === null) {
            $wait = Config::limit('LOGIN_WAIT');
            Limits::count($db, $limit, Config::limit('LOGIN_FAILURES'), $wait, $wait);
            throw new ApiError('LOGIN_FAILED', '用户名或密码错误！');
        }
        $counted && Limits::clear($db, $limit);
        $version = $this->api->req->get('version');
        $sid = $db->write(fn (Db $db) => Sessions::start($db, $user['uid'], $version));
        return ['uid' => $user['uid'], 'username' => $user['username'], 'sid' => $sid, 'amt' => '0'];
    }

    public function heartbeat(): array
    {
        $tid = Api::token();
        $now = time();
        $this->api->session([$tid, $now + Config::TICKET_LIFE]);
        // Expired tickets are refused anyway: clearing them out once in a hundred heartbeats
        // keeps the table small without a delete (and a lock attempt) in every one.
        random_int(0, 99) === 0 && $this->api->db()->write(fn (Db $db) => $db->housekeeping('tickets',
            fn (Db $d) => $d->exec('DELETE FROM web_tickets WHERE expires<?', [$now])));
        return ['tid' => $tid];
    }
}
