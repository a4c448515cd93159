<?php
// Settings come from the environment only, so the same code runs under `php -S` and PHP-FPM.
declare(strict_types=1);

namespace Inkboat;

final class Config
{
    public const APP = 'Inkboat';
    public const SERVICE_VERSION = '1.0';
    public const MAX_BODY = 16 * 1024 * 1024;
    public const SESSION_IDLE = 7200;       // a session unseen for two hours must sign in again
    public const TICKET_LIFE = 300;         // web sign-in tickets are short-lived and single-use
    public const REQCODE_IDLE = 3600;       // open transfers expire after an idle hour
    public const MAX_PAGE_SIZE = 100;
    public const MAX_BATCH = 100;
    public const MAX_LOG_BATCH = 1000;
    // Every live book or user-material row: Level 0..16, a title of at most 400 characters (code
    // points). The client refuses to pull rows beyond them, so none may be stored.
    public const MAX_TREE_LEVEL = 16;
    public const MAX_TITLE_LENGTH = 400;

    /**
     * Limits against abuse and quotas, each overridable by the variable INKBOAT_LIMIT_<NAME>. The
     * defaults are far above what a writing group does; a host for thousands may lower them.
     */
    public const LIMITS = [
        'LOGIN_FAILURES' => 10,           // wrong passwords for one account name before it must wait
        'LOGIN_WAIT' => 900,              // seconds of that wait
        'REGISTER_PER_HOUR' => 20,        // new accounts from one address per hour
        'OPEN_TRANSFERS' => 16,           // open request codes per user; the oldest close beyond it
        'QUOTA_ROWS' => 200000,           // synced rows per user
        'QUOTA_BYTES' => 1073741824,      // bytes of text per user (1 GiB)
        'CLIENTINFO_DAYS' => 90,          // client information is kept this long
        'CLIENTINFO_PER_MACHINE' => 50,   // newest rows kept per machine
        'CLIENTINFO_PER_ADDRESS' => 500,  // newest rows kept per address
    ];

    private static ?string $dataDir = null;

    public static function limit(string $name): int
    {
        $v = getenv("INKBOAT_LIMIT_$name");
        return $v !== false && preg_match('/^\d{1,12}$/', $v) ? (int)$v : self::LIMITS[$name];
    }

    public static function sourceRoot(): string
    {
        return dirname(__DIR__, 2);
    }

    public static function dataDir(): string
    {
        if (self::$dataDir !== null) {
            return self::$dataDir;
        }
        $dir = getenv('INKBOAT_SERVER_DATA');
        if ($dir === false || $dir === '') {
            $home = getenv('HOME');
            if ($home === false || $home === '') {
                $info = function_exists('posix_getpwuid') ? posix_getpwuid(posix_geteuid()) : false;
                $home = is_array($info) ? $info['dir'] : sys_get_temp_dir();
            }
            $dir = rtrim($home, '/') . '/.local/share/inkboat-service';
        }
        // The service's data must never land in the source tree (it would end up in commits):
        // checked before the folder is created, and again once links are resolved.
        $dir = self::normalize($dir);
        if (self::insideSource($dir)) {
            throw new \RuntimeException("data folder $dir lies inside the source tree");
        }
        if (!is_dir($dir) && !@mkdir($dir, 0700, true) && !is_dir($dir)) {
            throw new \RuntimeException("cannot create data folder $dir");
        }
        $real = realpath($dir);
        if ($real === false || self::insideSource($real)) {
            throw new \RuntimeException("data folder $dir lies inside the source tree");
        }
        return self::$dataDir = $real;
    }

    private static function normalize(string $path): string
    {
        if ($path[0] !== '/') {
            $path = getcwd() . '/' . $path;
        }
        $parts = [];
        foreach (explode('/', $path) as $p) {
            if ($p === '..') {
                array_pop($parts);
            } elseif ($p !== '' && $p !== '.') {
                $parts[] = $p;
            }
        }
        return '/' . implode('/', $parts);
    }

    private static function insideSource(string $path): bool
    {
        $root = realpath(self::sourceRoot());
        return $root !== false && ($path === $root || str_starts_with($path . '/', $root . '/'));
    }

    public static function appDir(): string
    {
        $dir = self::dataDir() . '/app';
        if (!is_dir($dir)) {
            @mkdir($dir, 0755, true);
        }
        return $dir;
    }

    public static function dsn(): string
    {
        $dsn = getenv('INKBOAT_SERVER_DSN');
        if ($dsn !== false && $dsn !== '') {
            return $dsn;
        }
        return 'sqlite:' . self::dataDir() . '/inkboat-service.sqlite';
    }

    public static function dbUser(): ?string
    {
        $v = getenv('INKBOAT_SERVER_DB_USER');
        return $v === false ? null : $v;
    }

    public static function dbPassword(): ?string
    {
        $v = getenv('INKBOAT_SERVER_DB_PASSWORD');
        return $v === false ? null : $v;
    }
}
