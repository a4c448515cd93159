<?php
// Upgrade files under app/, served from the data folder with Range support so that an
// interrupted download resumes where it stopped.
declare(strict_types=1);

namespace Inkboat;

final class Files
{
    private const TYPES = ['txt' => 'text/plain; charset=utf-8', 'zip' => 'application/zip',
        'json' => 'application/json', 'html' => 'text/html; charset=utf-8', 'gz' => 'application/gzip'];

    /** Resolves a path below app/ or returns null for anything that could leave the folder. */
    public static function resolve(string $rel): ?string
    {
        $parts = explode('/', $rel);
        foreach ($parts as $p) {
            if (!preg_match('/^[A-Za-z0-9][A-Za-z0-9._-]{0,199}$/', $p)) {
                return null;
            }
        }
        $base = realpath(Config::appDir());
        $path = realpath($base . '/' . $rel);
        if ($base === false || $path === false || !str_starts_with($path, $base . '/') || !is_file($path)) {
            return null;
        }
        return $path;
    }

    /**
     * The byte range asked for: [start, end] inclusive, null to send the whole file (no or an
     * unusable Range header), or false when the range cannot be satisfied.
     */
    public static function range(?string $header, int $size): array|null|false
    {
        if ($header === null || !preg_match('/^\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*$/i', $header, $m)) {
            return null;   // absent, malformed or several ranges: the whole file is a valid answer
        }
        [$from, $to] = [$m[1], $m[2]];
        if ($from === '' && $to === '') {
            return null;
        }
        if ($from === '') {
            $n = (int)$to;
            return $n === 0 || $size === 0 ? false : [max(0, $size - $n), $size - 1];
        }
        $start = (int)$from;
        if (strlen($from) > 18 || $start >= $size) {
            return false;
        }
        $end = ($to === '' || strlen($to) > 18) ? $size - 1 : min((int)$to, $size - 1);
        return $end < $start ? null : [$start, $end];
    }

    /** $chunkDelayMs: a pause after each 64 KiB (the fault hook's slow line for loopback tests). */
    public static function serve(string $rel, string $method, array $server, int $chunkDelayMs = 0): void
    {
        if ($method !== 'GET' && $method !== 'HEAD') {
            http_response_code(405);
            header('Allow: GET, HEAD');
            header('Content-Length: 0');
            return;
        }
        $path = self::resolve($rel);
        if ($path === null) {
            Pages::plain(404, "Not found\n");
            return;
        }
        clearstatcache(true, $path);
        $size = (int)filesize($path);
        $mtime = (int)filemtime($path);
        $lastModified = gmdate('D, d M Y H:i:s', $mtime) . ' GMT';
        $etag = sprintf('"%x-%x"', $size, $mtime);
        $ext = strtolower(pathinfo($path, PATHINFO_EXTENSION));
        header('Content-Type: ' . (self::TYPES[$ext] ?? 'application/octet-stream'));
        header('Accept-Ranges: bytes');
        header("Last-Modified: $lastModified");
        header("ETag: $etag");

        $range = self::range($server['HTTP_RANGE'] ?? null, $size);
        $ifRange = $server['HTTP_IF_RANGE'] ?? null;
        if ($range !== null && $ifRange !== null && $ifRange !== $etag && $ifRange !== $lastModified) {
            $range = null;   // the file changed since the part the client holds: send it whole
        }
        if ($range === false) {
            http_response_code(416);
            header("Content-Range: bytes */$size");
            header('Content-Length: 0');
            return;
        }
        [$start, $end] = $range ?? [0, $size - 1];
        if ($range !== null) {
            http_response_code(206);
            header("Content-Range: bytes $start-$end/$size");
        }
        $length = $end - $start + 1;
        header('Content-Length: ' . $length);
        if ($method === 'HEAD' || $length <= 0) {
            return;
        }
        set_time_limit(0);
        $fp = fopen($path, 'rb');
        if ($fp === false) {
            return;
        }
        fseek($fp, $start);
        while ($length > 0 && !feof($fp) && !connection_aborted()) {
            $chunk = fread($fp, min(65536, $length));
            if ($chunk === false || $chunk === '') {
                break;
            }
            echo $chunk;
            $length -= strlen($chunk);
            flush();
            if ($chunkDelayMs > 0 && $length > 0) {
                usleep($chunkDelayMs * 1000);
            }
        }
        fclose($fp);
    }
}
