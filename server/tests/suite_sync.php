<?php
// Cloud sync protocol: push and pull, snapshots, USN rules, reqcode life cycle, log uploads.
declare(strict_types=1);

require __DIR__ . '/lib.php';

$svc = serviceFromArgs($argv);

/** Rows numbered from $first: books first, then user materials, as the client sends them. */
function rows(int $first, int $books, int $memos = 0, string $prefix = 'R'): array
{
    $out = [];
    for ($i = 0; $i < $books + $memos; $i++) {
        $usn = $first + $i;
        $out[] = bookItem(sprintf('%s%04d', $prefix, $i), $usn, $i < $books ? [] : ['datatype' => 'memo', 'nodetype' => 1]);
    }
    return $out;
}

function seeded(Service $svc, int $n): array
{
    $s = $svc->newUser('sync');
    same(false, $svc->push($s, 0, rows(1, $n))['head']['isError'], "seed $n rows");
    return $s;
}

runTests([
    'push_then_pull_from_a_second_session_in_pages' => function (Service $svc) {
        $name = 'two' . bin2hex(random_bytes(3));
        $svc->register($name);
        $a = $svc->login($name);
        $items = rows(1, 20, 5);
        $items[3]['sort'] = 2.0;
        $items[4] = array_merge($items[4], ['title' => null, 'create_time' => null, 'rtf' => '{\rtf1 "中文" \par}']);
        $begin = $svc->beginPush($a, 0);
        same(false, $begin['shouldPull'], 'nothing to pull on an empty store');
        same(true, (bool)preg_match('/^[0-9a-f]{32}$/', $begin['reqcode']), 'reqcode is 32 hex');
        foreach (array_chunk($items, 10) as $batch) {
            same(false, $svc->pushDetail($a, $begin['reqcode'], $batch)['head']['isError'], 'batch staged');
        }
        same(false, $svc->commit($a, $begin['reqcode'])['head']['isError'], 'commit');

        $b = $svc->login($name);   // another machine signs in
        $pull = $svc->ok('&a=beginPull' . Service::auth($b) . '&usn=0&extparams=&version=4.31');
        same(25, $pull['totalCount'], 'totalCount');
        same('integer', gettype($pull['totalCount']), 'totalCount is a number');
        $got = [];
        foreach ([0 => 10, 1 => 10, 2 => 5, 3 => 0, 50 => 0] as $page => $count) {
            $data = $svc->ok('&a=pullDetail' . Service::auth($b) . "&reqcode={$pull['reqcode']}&page=$page&pagesize=10")['data'];
            same($count, count($data), "rows on page $page");
            $got = array_merge($got, $data);
        }
        $expected = $items;
        $expected[4] = array_merge($expected[4], ['title' => '', 'create_time' => '']);
        same($expected, $got, 'pulled rows equal pushed rows, in USN order, with their types');
        same('double', gettype($got[3]['sort']), 'sort stays a number with a fraction');
        same(false, $svc->api('&a=finishPull' . Service::auth($b) . "&reqcode={$pull['reqcode']}")['head']['isError'], 'finish');
        same(false, $svc->api('&a=finishPull' . Service::auth($b) . "&reqcode={$pull['reqcode']}")['head']['isError'], 'finish again');
        same(array_slice($items, 20), $svc->pull($b, 20), 'pull from USN 20');
        $empty = $svc->ok('&a=beginPull' . Service::auth($b) . '&usn=25&extparams=&version=4.31');
        same(0, $empty['totalCount'], 'nothing newer');
        same(true, $svc->beginPush($b, 3)['shouldPull'], 'a stale client must pull first');
        same(false, $svc->beginPush($b, 25)['shouldPull'], 'an up-to-date client may push');
        foreach (['0', '101', '-1', 'x', ''] as $size) {
            same('BAD_PARAM', $svc->api('&a=pullDetail' . Service::auth($b) . "&reqcode={$pull['reqcode']}&page=0&pagesize=$size")
                ['head']['errCode'], "page size '$size'");
        }
    },

    'a_commit_between_pages_does_not_make_the_pull_skip_rows' => function (Service $svc) {
        $s = seeded($svc, 25);
        $pull = $svc->ok('&a=beginPull' . Service::auth($s) . '&usn=0&extparams=&version=4.31');
        $page = fn (int $p) => $svc->ok('&a=pullDetail' . Service::auth($s) . "&reqcode={$pull['reqcode']}&page=$p&pagesize=10")['data'];
        $got = $page(0);
        // Another client moves rows of pages 0 and 1 to new USNs and adds two.
        $changed = [];
        foreach ([0, 1, 2, 3, 4, 12] as $k => $i) {
            $changed[] = bookItem(sprintf('R%04d', $i), 26 + $k, ['title' => 'changed']);
        }
        $changed[] = bookItem('NEW1', 32);
        $changed[] = bookItem('NEW2', 33);
        same(false, $svc->push($s, 25, $changed)['head']['isError'], 'concurrent commit');
        $got = array_merge($got, $page(1), $page(2), $page(3));
        same(25, count($got), 'rows pulled');
        same(array_map(fn ($i) => sprintf('R%04d', $i), range(0, 24)), array_column($got, 'tid'), 'every row once, none skipped');
        same(range(1, 25), array_column($got, 'usn'), 'the snapshot versions');
        $svc->ok('&a=finishPull' . Service::auth($s) . "&reqcode={$pull['reqcode']}");
        same(array_column($changed, 'tid'), array_column($svc->pull($s, 25), 'tid'), 'the next pull brings the changes');
    },

    'stale_and_concurrent_commits_are_refused' => function (Service $svc) {
        $s = seeded($svc, 5);
        // Two clients both up to date at USN 5 number their rows 6, 7.
        $r1 = $svc->beginPush($s, 5)['reqcode'];
        $r2 = $svc->beginPush($s, 5)['reqcode'];
        $svc->pushDetail($s, $r1, [bookItem('A', 6), bookItem('B', 7)]);
        $svc->pushDetail($s, $r2, [bookItem('A', 6, ['title' => 'second']), bookItem('C', 7)]);
        same(false, $svc->commit($s, $r1)['head']['isError'], 'first commit');
        same('USN_CONFLICT', $svc->commit($s, $r2)['head']['errCode'], 'second commit refused');
        $rows = $svc->pull($s, 5);
        same([['A', 6, '第6章 风起'], ['B', 7, '第7章 风起']],
            array_map(fn ($r) => [$r['tid'], $r['usn'], $r['title']], $rows), 'nothing of the refused commit applied');
        same('USN_CONFLICT', $svc->push($s, 3, [bookItem('D', 4)])['head']['errCode'], 'numbered from a stale USN');
        same(false, $svc->push($s, 7, [bookItem('C', 8)])['head']['isError'], 'after pulling, the push goes through');
        same('USN_DUPLICATE', $svc->push($s, 8, [bookItem('E', 9), bookItem('F', 9)])['head']['errCode'], 'repeated USN');
        same(false, $svc->push($s, 20, [bookItem('G', 21)])['head']['isError'], 'a gap is allowed');

        // Commits racing each other: exactly one of each pair wins.
        $max = 21;
        for ($round = 0; $round < 4; $round++) {
            $codes = [];
            foreach (['X', 'Y'] as $who) {
                $rc = $svc->beginPush($s, $max)['reqcode'];
                $svc->pushDetail($s, $rc, [bookItem("$who$round", $max + 1), bookItem("Z$round", $max + 2)]);
                $codes[] = $rc;
            }
            $answers = $svc->http->parallel(array_map(fn ($rc) => ['GET',
                "/index.php?g=Inkboat&m=WebApi&a=commitPush&uid={$s['uid']}&sid={$s['sid']}&reqcode=$rc"], $codes));
            $errors = array_map(fn ($r) => json_decode($r['body'], true)['head']['errCode'], $answers);
            sort($errors);
            same(['0', 'USN_CONFLICT'], $errors, "race $round");
            $max += 2;
        }
        same($max, (int)$svc->db()->query("SELECT max_usn FROM users WHERE uid='{$s['uid']}'")->fetchColumn(), 'maximum USN');
    },

    'commit_is_idempotent_and_cancel_never_undoes_it' => function (Service $svc) {
        $s = seeded($svc, 3);
        $rc = $svc->beginPush($s, 3)['reqcode'];
        $svc->pushDetail($s, $rc, [bookItem('K', 4)]);
        same(false, $svc->commit($s, $rc)['head']['isError'], 'commit');
        same(false, $svc->commit($s, $rc)['head']['isError'], 'second commit succeeds');
        $svc->api('&a=cancelSync' . Service::auth($s) . "&reqcode=$rc");
        same(['K'], array_column($svc->pull($s, 3), 'tid'), 'still committed after cancel');
        same('REQCODE_CLOSED', $svc->pushDetail($s, $rc, [bookItem('L', 5)])['head']['errCode'], 'no staging after commit');
        same(false, $svc->commit($s, $rc)['head']['isError'], 'commit after cancel still reports success');
        same(4, (int)$svc->db()->query("SELECT max_usn FROM users WHERE uid='{$s['uid']}'")->fetchColumn(), 'USN unchanged');

        // The answer to a commit gets lost: the work is done, and the retry changes nothing.
        $rc = $svc->beginPush($s, 4)['reqcode'];
        $svc->pushDetail($s, $rc, [bookItem('M', 5)]);
        $svc->setFaults('commitPush=drop_after');
        same(500, $svc->http->request('GET', "/index.php?g=Inkboat&m=WebApi&a=commitPush&uid={$s['uid']}&sid={$s['sid']}&reqcode=$rc")['status'],
            'lost answer');
        $svc->setFaults('');
        same(false, $svc->commit($s, $rc)['head']['isError'], 'retry');
        same(['M'], array_column($svc->pull($s, 4), 'tid'), 'applied once');
    },

    'cancel_closes_transfers' => function (Service $svc) {
        $s = seeded($svc, 12);
        $rc = $svc->beginPush($s, 12)['reqcode'];
        $svc->pushDetail($s, $rc, [bookItem('N', 13)]);
        same(false, $svc->api('&a=cancelSync' . Service::auth($s) . "&reqcode=$rc")['head']['isError'], 'cancel push');
        same(false, $svc->api('&a=cancelSync' . Service::auth($s) . "&reqcode=$rc")['head']['isError'], 'cancel twice');
        same('REQCODE_CLOSED', $svc->commit($s, $rc)['head']['errCode'], 'commit after cancel');
        same([], $svc->pull($s, 12), 'nothing applied');
        same(0, (int)$svc->db()->query("SELECT COUNT(*) FROM push_rows WHERE reqcode='$rc'")->fetchColumn(), 'staging dropped');

        $p = $svc->ok('&a=beginPull' . Service::auth($s) . '&usn=0&extparams=&version=4.31')['reqcode'];
        $svc->ok('&a=cancelSync' . Service::auth($s) . "&reqcode=$p");
        same('REQCODE_CLOSED', $svc->api('&a=pullDetail' . Service::auth($s) . "&reqcode=$p&page=0&pagesize=10")['head']['errCode'],
            'paging a cancelled pull');
        same('REQCODE_UNKNOWN', $svc->api('&a=cancelSync' . Service::auth($s) . '&reqcode=' . bin2hex(random_bytes(16)))
            ['head']['errCode'], 'unknown reqcode');
    },

    'usn_order_latest_version_and_deletions' => function (Service $svc) {
        $s = $svc->newUser('order');
        $svc->push($s, 0, [bookItem('a', 1), bookItem('b', 2), bookItem('a', 3, ['datatype' => 'memo'])]);
        $svc->push($s, 3, [bookItem('a', 4, ['flag' => 'D', 'title' => 'gone'])]);
        $rows = $svc->pull($s, 0);
        same([['b', 'book', 2, 'A'], ['a', 'memo', 3, 'A'], ['a', 'book', 4, 'D']],
            array_map(fn ($r) => [$r['tid'], $r['datatype'], $r['usn'], $r['flag']], $rows), 'USN order, one version per key');
        same([['a', 4]], array_map(fn ($r) => [$r['tid'], $r['usn']], $svc->pull($s, 3)), 'only what is newer');
    },

    'staging_rules' => function (Service $svc) {
        $s = $svc->newUser('stage');
        $rc = $svc->beginPush($s, 0)['reqcode'];
        $svc->pushDetail($s, $rc, [bookItem('X', 1, ['title' => 'old']), bookItem('Y', 2)]);
        $svc->pushDetail($s, $rc, [bookItem('X', 3, ['title' => 'new'])]);
        $bad = [
            ['datatype' => 'other'], ['datatype' => null], ['tid' => ''], ['tid' => str_repeat('t', 65)], ['tid' => 7],
            ['usn' => 0], ['usn' => null], ['usn' => '5'], ['usn' => 2147483648], ['nodetype' => 1.5], ['level' => 'x'],
            ['sort' => '1'], ['title' => 5], ['html' => ['x']], ['flag' => str_repeat('D', 9)], ['ptid' => true],
        ];
        foreach ($bad as $over) {
            $doc = $svc->pushDetail($s, $rc, [bookItem('Z', 9), bookItem('W', 10, $over)]);
            same('BAD_DATA', $doc['head']['errCode'], 'bad item ' . json_encode($over));
        }
        $item = bookItem('V', 11);
        unset($item['usn']);
        same('BAD_DATA', $svc->pushDetail($s, $rc, [$item])['head']['errCode'], 'missing usn');
        same('BATCH_TOO_LARGE', $svc->pushDetail($s, $rc, rows(100, 101))['head']['errCode'], 'over 100 items');
        same(false, $svc->commit($s, $rc)['head']['isError'], 'commit');
        $rows = $svc->pull($s, 0);
        same([['Y', 2, '第2章 风起'], ['X', 3, 'new']], array_map(fn ($r) => [$r['tid'], $r['usn'], $r['title']], $rows),
            'last write of a key wins; refused batches staged nothing');
    },

    'a_reqcode_belongs_to_one_user_and_one_hour' => function (Service $svc) {
        $a = seeded($svc, 3);
        $b = $svc->newUser('other');
        $push = $svc->beginPush($a, 3)['reqcode'];
        $pull = $svc->ok('&a=beginPull' . Service::auth($a) . '&usn=0&extparams=&version=4.31')['reqcode'];
        same('REQCODE_UNKNOWN', $svc->pushDetail($b, $push, [bookItem('H', 4)])['head']['errCode'], 'pushDetail');
        same('REQCODE_UNKNOWN', $svc->commit($b, $push)['head']['errCode'], 'commitPush');
        same('REQCODE_UNKNOWN', $svc->api('&a=cancelSync' . Service::auth($b) . "&reqcode=$push")['head']['errCode'], 'cancelSync');
        same('REQCODE_UNKNOWN', $svc->api('&a=pullDetail' . Service::auth($b) . "&reqcode=$pull&page=0&pagesize=10")['head']['errCode'], 'pullDetail');
        same('REQCODE_UNKNOWN', $svc->api('&a=finishPull' . Service::auth($b) . "&reqcode=$pull")['head']['errCode'], 'finishPull');
        same('REQCODE_KIND', $svc->commit($a, $pull)['head']['errCode'], 'commit of a pull');
        same(false, $svc->pushDetail($a, $push, [bookItem('H', 4)])['head']['isError'], 'owner continues');
        same(false, $svc->commit($a, $push)['head']['isError'], 'owner commits');
        same(3, count($svc->ok('&a=pullDetail' . Service::auth($a) . "&reqcode=$pull&page=0&pagesize=10")['data']), 'owner pages');

        $old = $svc->beginPush($a, 4)['reqcode'];
        $svc->pushDetail($a, $old, [bookItem('I', 5)]);
        $svc->db()->exec("UPDATE reqcodes SET last_used=last_used-3700 WHERE reqcode IN ('$old', '$pull')");
        same('REQCODE_EXPIRED', $svc->commit($a, $old)['head']['errCode'], 'idle push expired');
        same('REQCODE_EXPIRED', $svc->api('&a=pullDetail' . Service::auth($a) . "&reqcode=$pull&page=0&pagesize=10")['head']['errCode'],
            'idle pull expired');
        $svc->beginPush($a, 4);   // starting a transfer sweeps expired ones
        same(0, (int)$svc->db()->query("SELECT COUNT(*) FROM pull_rows WHERE reqcode='$pull'")->fetchColumn(), 'snapshot dropped');
    },

    'log_uploads_are_idempotent' => function (Service $svc) {
        $s = $svc->newUser('logs');
        $t = fn (int $h) => sprintf('2026-12-06T%02d:00:00', $h);
        $actions = [
            ['action' => 'actionBookNewBook', 'adate' => '2026-12-06T00:00:00', 'triggerCount' => 3, 'attribute1' => '',
                'attribute2' => '', 'attribute3' => '', 'create_time' => $t(8), 'update_time' => $t(9)],
            ['action' => 'actionBookNewBook', 'adate' => '2026-12-05T00:00:00', 'triggerCount' => 1, 'attribute1' => '',
                'attribute2' => '', 'attribute3' => '', 'create_time' => $t(8), 'update_time' => $t(8)],
            ['action' => 'actionEditFind', 'adate' => '2026-12-06T00:00:00', 'triggerCount' => 7, 'attribute1' => null,
                'attribute2' => null, 'attribute3' => null, 'create_time' => null, 'update_time' => $t(10)],
        ];
        $send = fn (array $rows) => $svc->api('&a=pushActionLog' . Service::auth($s), requestBody($rows));
        $table = fn () => $svc->db()->query("SELECT action, day, trigger_count FROM action_logs WHERE uid='{$s['uid']}'
            ORDER BY action, day")->fetchAll(PDO::FETCH_NUM);
        same(false, $send($actions)['head']['isError'], 'upload');
        $first = $table();
        same(false, $send($actions)['head']['isError'], 'upload again');
        same($first, $table(), 'a re-send changes nothing');
        same([['actionBookNewBook', '2026-12-05', 1], ['actionBookNewBook', '2026-12-06', 3], ['actionEditFind', '2026-12-06', 7]],
            $first, 'one row per action and day');
        $send([array_merge($actions[0], ['triggerCount' => 2, 'update_time' => $t(7)])]);
        same(3, $table()[1][2], 'an older value does not win');
        $send([array_merge($actions[0], ['triggerCount' => 5, 'update_time' => $t(11)])]);
        same(5, $table()[1][2], 'the newer value wins');

        $books = [['bookId' => 'B1', 'adate' => '2026-12-06T00:00:00', 'wordCount1' => 100, 'wordCount2' => 120,
            'attribute1' => '', 'attribute2' => '', 'attribute3' => '', 'create_time' => $t(8), 'update_time' => $t(9)]];
        for ($i = 0; $i < 2; $i++) {
            same(false, $svc->api('&a=pushBookLog' . Service::auth($s), requestBody($books))['head']['isError'], "book log $i");
        }
        same([['B1', '2026-12-06', 100, 120]], $svc->db()->query("SELECT book_id, day, word_count1, word_count2 FROM book_logs
            WHERE uid='{$s['uid']}'")->fetchAll(PDO::FETCH_NUM), 'one book row');
        same('BAD_DATA', $svc->api('&a=pushBookLog' . Service::auth($s), requestBody([array_merge($books[0], ['wordCount1' => -1])]))
            ['head']['errCode'], 'negative count');
    },
], $svc);
