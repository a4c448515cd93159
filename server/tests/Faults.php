<?php
// Fault injection for the tests: lost answers, failures, bad checksums, delays and kicked
// sessions on demand. Only the test harnesses load this file, ahead of the service
// (php -d auto_prepend_file=...); the rules come from INKBOAT_SERVICE_FAULTS(_FILE).
declare(strict_types=1);

namespace Inkboat;

final class Faults
{
    /**
     * Rules "action[:n]=effect", separated by , ; or new lines; "#" starts a note.
     * @return array<int,array{action:string,nth:?int,effect:string,arg:int}>
     */
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
            $rules[] = ['action' => $m[1], 'nth' => ($m[2] ?? '') === '' ? null : (int)$m[2],
                'effect' => ($m[4] ?? '') !== '' ? $m[4] : $m[3], 'arg' => isset($m[5]) ? min((int)$m[5], 60000) : 0];
        }
        return $rules;
    }

    public static function configured(): string
    {
        $file = getenv('INKBOAT_SERVICE_FAULTS_FILE');
        return getenv('INKBOAT_SERVICE_FAULTS') . "\n" . ($file !== false && $file !== '' && is_file($file) ? (string)@file_get_contents($file) : '');
    }

    /**
     * The effects that apply to this call of $action. A rule "action:n=effect" applies to the
     * n-th call only; calls are counted across workers in a locked file, afresh whenever the rules change.
     * @return array<int,array{effect:string,arg:int}>
     */
    public static function forCall(Request $req, string $action): array
    {
        $text = self::configured();
        $rules = trim($text) === '' ? [] : array_filter(self::parse($text), fn ($r) => $r['action'] === $action || $r['action'] === '*');
        $n = array_filter($rules, fn ($r) => $r['nth'] !== null) ? self::count($action, md5($text)) : null;
        return array_values(array_map(fn ($r) => ['effect' => $r['effect'], 'arg' => $r['arg']],
            array_filter($rules, fn ($r) => $r['nth'] === null || $r['nth'] === $n)));
    }

    /**
     * Counts a hold that has begun (as "action@held"): a test waits for it, not for a guessed time.
     * While the file "gate-<action>" is in the data folder the hold goes on (a minute at most).
     */
    public static function noteHold(string $action): void
    {
        self::count($action . '@held', md5(self::configured()));
        for ($end = microtime(true) + 60; is_file(Config::dataDir() . "/gate-$action") && microtime(true) < $end;) {
            usleep(2000);
            clearstatcache();
        }
    }

    private static function count(string $action, string $hash): int
    {
        if (($fp = fopen(Config::dataDir() . '/fault-counters.json', 'c+')) === false) {
            return 0;
        }
        try {
            flock($fp, LOCK_EX);
            $state = json_decode((string)stream_get_contents($fp), true);
            if (!is_array($state) || ($state['hash'] ?? '') !== $hash || !is_array($state['counts'] ?? null)) {
                $state = ['hash' => $hash, 'counts' => []];
            }
            $n = $state['counts'][$action] = (int)($state['counts'][$action] ?? 0) + 1;
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
