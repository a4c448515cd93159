<?php
declare(strict_types=1);

namespace Inkboat;

/** A failure reported to the client in the answer head (the HTTP status stays 200). */
final class ApiError extends \Exception
{
    public function __construct(public readonly string $errCode, string $errInfo)
    {
        parent::__construct($errInfo);
    }
}

final class Request
{
    /** @var array<int,array{0:string,1:string}> query items in URL order, repeated keys kept */
    public array $pairs = [];
    /** @var array<string,string> first value of each key */
    public array $params = [];
    private ?string $body = null;

    public function __construct(
        public string $query,
        public string $method = 'GET',
        public string $path = '/',
        public string $remoteAddr = '',
        public ?int $contentLength = null,
    ) {
        foreach (explode('&', $query) as $item) {
            if ($item === '') {
                continue;
            }
            $eq = strpos($item, '=');
            $key = rawurldecode($eq === false ? $item : substr($item, 0, $eq));
            $value = $eq === false ? '' : rawurldecode(substr($item, $eq + 1));
            $this->pairs[] = [$key, $value];
            if (!array_key_exists($key, $this->params)) {
                $this->params[$key] = $value;
            }
        }
    }

    public static function fromGlobals(): self
    {
        $uri = $_SERVER['REQUEST_URI'] ?? '/';
        $path = parse_url('http://h' . $uri, PHP_URL_PATH);
        $len = $_SERVER['CONTENT_LENGTH'] ?? ($_SERVER['HTTP_CONTENT_LENGTH'] ?? null);
        return new self(
            (string)($_SERVER['QUERY_STRING'] ?? ''),
            strtoupper((string)($_SERVER['REQUEST_METHOD'] ?? 'GET')),
            is_string($path) ? rawurldecode($path) : '/',
            (string)($_SERVER['REMOTE_ADDR'] ?? ''),
            ($len !== null && ctype_digit((string)$len)) ? (int)$len : null,
        );
    }

    public function get(string $key, string $default = ''): string
    {
        return $this->params[$key] ?? $default;
    }

    public function has(string $key): bool
    {
        return array_key_exists($key, $this->params);
    }

    /**
     * The raw body whatever its content type: the client posts JSON without a content-type
     * header, so PHP's form parsing would mangle it.
     */
    public function body(): string
    {
        if ($this->body !== null) {
            return $this->body;
        }
        if ($this->contentLength !== null && $this->contentLength > Config::MAX_BODY) {
            throw new ApiError('BODY_TOO_LARGE', '请求数据过大！');
        }
        $in = @fopen('php://input', 'rb');
        $data = $in === false ? '' : (string)stream_get_contents($in, Config::MAX_BODY + 1);
        if ($in !== false) {
            fclose($in);
        }
        if (strlen($data) > Config::MAX_BODY) {
            throw new ApiError('BODY_TOO_LARGE', '请求数据过大！');
        }
        return $this->body = $data;
    }

    public function setBody(string $body): void
    {
        $this->body = $body;
    }
}

final class Response
{
    /** @param array<string,string> $headers */
    public function __construct(
        public int $status = 200,
        public array $headers = [],
        public string $body = '',
        public ?array $json = null,
    ) {
    }

    public function send(): void
    {
        if ($this->json !== null) {
            $this->body = Api::encode($this->json);
        }
        http_response_code($this->status);
        foreach ($this->headers as $name => $value) {
            header("$name: $value");
        }
        header('Content-Length: ' . strlen($this->body));
        echo $this->body;
    }
}

/**
 * The answer checksum: the raw query split on "&", each item at its first "=", key and value
 * percent-decoded ("+" stays "+"), concatenated in URL order with repeated keys, MD5 in hex.
 */
function queryChecksum(string $query): string
{
    $text = '';
    foreach (explode('&', $query) as $item) {
        if ($item === '') {
            continue;
        }
        $eq = strpos($item, '=');
        $text .= $eq === false ? rawurldecode($item)
            : rawurldecode(substr($item, 0, $eq)) . rawurldecode(substr($item, $eq + 1));
    }
    return md5($text);
}
