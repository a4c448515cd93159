<?php
// Fault injection for the tests: lost answers, failures, bad checksums, delays and kicked
// sessions on demand. Only the test harnesses load this file, ahead of the service
// (php -d auto_prepend_file=...); the rules come from INKBOAT_SERVICE_FAULTS(_FILE).
declare(strict_types=1);

namespace Inkboat;

final class Faults
{
    public const EFFECTS = ['drop_after', 'fail', 'badcrc', 'kick', 'delay_ms', 'hold_ms'];

    /** @return array<int,array{action:string,nth:?int,effect:string,arg:int}> */
    public static function parse(string $text): array
    {
        $rules = [];
        foreach (preg_split('/[,;\r\n]+/', $text) ?: [] as $item) {
            $item = preg_replace('/\s+/', '', $item);
            if ($item === '' || $item[0] === '#') {
                continue;
            }
            if (!preg_match('/^([A-Za-z_*]+)(?::(\d{1,9}))?=(drop_after|fail|badcrc|kick|(delay_ms|hold_ms)=(\d{1,6}))$/', $item, $m)) {
                error_log("inkboat faults: ignored rule '$item'");
                continue;
            }
            $rules[] = [
                'action' => $m[1],
                'nth' => ($m[2] ?? '') === '' ? null : (int)$m[2],
                'effect' => ($m[4] ?? '') !== '' ? $m[4] : $m[3],
                'arg' => isset($m[5]) ? min((int)$m[5], 60000) : 0,
            ];
        }
        return $rules;
    }

    public static function configured(): string
    {
        $text = (string)getenv('INKBOAT_SERVICE_FAULTS');
        $file = getenv('INKBOAT_SERVICE_FAULTS_FILE');
        if ($file !== false && $file !== '' && is_file($file)) {
            $text .= "\n" . (string)@file_get_contents($file);
        }
        return $text;
    }

    /**
     * The effects that apply to this call of $action. A rule "action:n=effect" applies to the
     * n-th call only; calls are counted across workers in a locked file, afresh whenever the rules change.
     * @return array<int,array{effect:string,arg:int}>
     */
    public static function forCall(Request $req, string $action): array
    {
        $text = self::configured();
        if (trim($text) === '') {
            return [];
        }
        $rules = array_values(array_filter(self::parse($text),
            fn ($r) => $r['action'] === $action || $r['action'] === '*'));
        if (!$rules) {
            return [];
        }
        $n = null;
        foreach ($rules as $r) {
            if ($r['nth'] !== null) {
                $n = self::count($action, md5($text));
                break;
            }
        }
        $out = [];
        foreach ($rules as $r) {
            if ($r['nth'] === null || $r['nth'] === $n) {
                $out[] = ['effect' => $r['effect'], 'arg' => $r['arg']];
            }
        }
        return $out;
    }

    /** Counts a hold that has begun (as "action@held"): a test waits for it, not for a guessed time. */
    public static function noteHold(string $action): void
    {
        self::count($action . '@held', md5(self::configured()));
    }

    private static function count(string $action, string $hash): int
    {
        $path = Config::dataDir() . '/fault-counters.json';
        $fp = fopen($path, 'c+');
        if ($fp === false) {
            return 0;
        }
        try {
            flock($fp, LOCK_EX);
            $state = json_decode((string)stream_get_contents($fp), true);
            if (!is_array($state) || ($state['hash'] ?? '') !== $hash || !is_array($state['counts'] ?? null)) {
                $state = ['hash' => $hash, 'counts' => []];
            }
            $n = (int)($state['counts'][$action] ?? 0) + 1;
            $state['counts'][$action] = $n;
            ftruncate($fp, 0);
            rewind($fp);
            fwrite($fp, json_encode($state));
            fflush($fp);
            return $n;
        } finally {
            flock($fp, LOCK_UN);
            fclose($fp);
        }
    }
}
