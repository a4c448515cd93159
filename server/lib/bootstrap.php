<?php
declare(strict_types=1);

namespace Inkboat;

// A PHP warning must never end up inside an answer: warnings become exceptions, and those
// become error answers.
ini_set('display_errors', '0');
ini_set('log_errors', '1');
ini_set('html_errors', '0');
set_error_handler(function (int $no, string $msg, string $file, int $line): bool {
    if (!(error_reporting() & $no)) {
        return false;
    }
    throw new \ErrorException($msg, 0, $no, $file, $line);
});

require_once __DIR__ . '/Http.php';
// Each class from its own file on first use: a heartbeat needs a third of them.
spl_autoload_register(function (string $class): void {
    $name = substr($class, strlen(__NAMESPACE__) + 1);
    if (str_starts_with($class, __NAMESPACE__ . '\\') && ctype_alpha($name) && is_file($file = __DIR__ . "/$name.php")) {
        require $file;
    }
});

/**
 * The effects the test harness's fault hook gives this call ([effect => argument]). The hook
 * (tests/Faults.php) exists only where the harness loads it before the service
 * (auto_prepend_file); a deployment never does, so there every call has none.
 */
function testHooks(Request $req, string $action): array
{
    return class_exists(Faults::class, false) ? array_column(Faults::forCall($req, $action), 'arg', 'effect') : [];
}

function testHoldBegun(string $action): void
{
    class_exists(Faults::class, false) && Faults::noteHold($action);
}

function handleRequest(): void
{
    $req = Request::fromGlobals();
    $isApi = $req->get('m') === 'WebApi';
    try {
        // Paths are matched at their end so the service also works below a prefix (/inkboat/index.php).
        $appAt = strpos($req->path, '/app/');
        if ($appAt !== false) {
            // Rule "download=delay_ms=N": a slow line for the downloads of the client's tests.
            $effects = testHooks($req, 'download');
            Files::serve(substr($req->path, $appAt + 5), $req->method, $_SERVER, (int)($effects['delay_ms'] ?? 0));
            return;
        }
        if (!preg_match('#/(index\.php|router\.php)?$#', $req->path)) {
            Pages::plain(404, "Not found\n");
            return;
        }
        if ($isApi) {
            (new Api($req))->handle()->send();
            return;
        }
        Pages::handle($req, new Db())->send();
    } catch (\Throwable $e) {
        error_log('inkboat: ' . get_class($e) . ': ' . $e->getMessage() . ' at ' . $e->getFile() . ':' . $e->getLine());
        if (headers_sent()) {
            return;
        }
        header_remove();
        if ($isApi) {
            (new Api($req))->error($req->get('a'), 'SERVER_ERROR', '服务器内部错误！')->send();
        } else {
            Pages::plain(500, "Internal error\n");
        }
    }
}
