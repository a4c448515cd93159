<?php
// Cloud sync protocol: push and pull, snapshots, USN rules, reqcode life cycle, log uploads.
declare(strict_types=1);

require __DIR__ . '/lib.php';

/** Rows numbered from $first: books first, then user materials, as the client sends them. */
function rows(int $first, int $books, int $memos = 0): array
{
    return array_map(fn ($i) => bookItem(sprintf('R%04d', $i), $first + $i, $i < $books ? [] : ['datatype' => 'memo', 'nodetype' => 1]),
        range(0, $books + $memos - 1));
}

function seeded(Service $svc, int $n): array
{
    $s = $svc->newUser('sync');
    same('0', code($svc->push($s, 0, rows(1, $n))), "seed $n rows");
    return $s;
}

/** "tid usn title" of each row */
function brief(array $rows): array
{
    return array_map(fn ($r) => "{$r['tid']} {$r['usn']} {$r['title']}", $rows);
}

runTests([
    'pushed_rows_come_back_whole_in_pages_to_another_session' => function (Service $svc) {
        $a = $svc->newUser('two');
        $items = rows(1, 20, 5);
        $items[3]['sort'] = 2.0;
        $items[4] = array_merge($items[4], ['title' => null, 'create_time' => null, 'rtf' => '{\rtf1 "中文" \par}']);
        // NUL bytes and a text that looks like the store's own encoding of them come back unchanged
        $items[5] = array_merge($items[5], ['title' => "a\0b", 'ptid' => str_repeat("\0", 64), 'html' => "\x1Bb64:YQ=="]);
        $empty = $svc->beginPush($a, 0)['shouldPull'];
        same('0', code($svc->push($a, 0, $items)), 'push in batches of 10');
        $b = $svc->login($a['username']);   // another machine signs in
        $pull = $svc->beginPull($b, 0);
        $page = fn (int $p, string $size = '10') => $svc->call('pullDetail', $b, "&reqcode={$pull['reqcode']}&page=$p&pagesize=$size");
        $pages = array_map(fn ($p) => $page($p)['data'], [0, 1, 2, 3, 50]);
        $items[4] = array_merge($items[4], ['title' => '', 'create_time' => '']);   // nulls come back empty
        $finish = fn () => code($svc->call('finishPull', $b, "&reqcode={$pull['reqcode']}"));
        checks([['nothing to pull on an empty store', false, $empty], ['totalCount', 25, $pull['totalCount']],
            ['rows on pages 0, 1, 2, 3 and 50', [10, 10, 5, 0, 0], array_map('count', $pages)],
            ['pulled rows equal pushed rows, in USN order, with their types (2.0 stays a fraction)', $items, array_merge(...$pages)],
            ['page sizes 0, 101, -1, x, none', array_fill(0, 5, 'BAD_PARAM'), array_map(fn ($size) => code($page(0, $size)), ['0', '101', '-1', 'x', ''])],
            ['finish twice', ['0', '0'], [$finish(), $finish()]], ['pull from USN 20', array_slice($items, 20), $svc->pull($b, 20)],
            ['nothing newer', 0, $svc->beginPull($b, 25)['totalCount']],
            ['a stale client must pull first; an up-to-date one may push', [true, false],
                [$svc->beginPush($b, 3)['shouldPull'], $svc->beginPush($b, 25)['shouldPull']]]]);
    },

    'a_commit_between_pages_does_not_make_the_pull_skip_rows' => function (Service $svc) {
        $s = seeded($svc, 25);
        $pull = $svc->beginPull($s, 0);
        $page = fn (int $p) => $svc->call('pullDetail', $s, "&reqcode={$pull['reqcode']}&page=$p&pagesize=10")['data'];
        $got = $page(0);
        // Another client moves rows of pages 0 and 1 to new USNs and adds two.
        $changed = [...array_map(fn ($k, $i) => bookItem(sprintf('R%04d', $i), 26 + $k, ['title' => 'changed']),
            range(0, 5), [0, 1, 2, 3, 4, 12]), bookItem('NEW1', 32), bookItem('NEW2', 33)];
        same('0', code($svc->push($s, 25, $changed)), 'concurrent commit');
        $got = array_merge($got, $page(1), $page(2), $page(3));
        same(array_map(fn ($i) => sprintf('R%04d %d 第%d章 风起', $i, $i + 1, $i + 1), range(0, 24)), brief($got),
            'every row once, none skipped, in its snapshot version');
        $svc->call('finishPull', $s, "&reqcode={$pull['reqcode']}");
        same(array_column($changed, 'tid'), array_column($svc->pull($s, 25), 'tid'), 'the next pull brings the changes');
    },

    'stale_and_concurrent_commits_are_refused' => function (Service $svc) {
        $s = seeded($svc, 5);
        // Two clients both up to date at USN 5 number their rows 6, 7.
        [$r1, $r2] = [$svc->beginPush($s, 5)['reqcode'], $svc->beginPush($s, 5)['reqcode']];
        $svc->pushDetail($s, $r1, [bookItem('A', 6), bookItem('B', 7)]);
        $svc->pushDetail($s, $r2, [bookItem('A', 6, ['title' => 'second']), bookItem('C', 7)]);
        same(['0', 'USN_CONFLICT'], [code($svc->commit($s, $r1)), code($svc->commit($s, $r2))], 'the second commit is refused');
        same(['A 6 第6章 风起', 'B 7 第7章 风起'], brief($svc->pull($s, 5)), 'nothing of the refused commit applied');
        // [USN the client pulled to, its rows' USNs, error code]: stale, up to date, repeated USN, a gap, one commit behind
        foreach ([[3, [4], 'USN_CONFLICT'], [7, [8], '0'], [8, [9, 9], 'USN_DUPLICATE'], [20, [21], '0'], [20, [21], 'USN_CONFLICT']]
                 as [$from, $usns, $code]) {
            same($code, code($svc->push($s, $from, array_map(fn ($u, $i) => bookItem("D$from$i", $u), $usns, array_keys($usns)))),
                "push from $from");
        }
        // Commits racing each other: exactly one of each pair wins.
        for ($max = 21; $max < 29; $max += 2) {
            $codes = array_map(function ($who) use ($svc, $s, $max) {
                $svc->pushDetail($s, $rc = $svc->beginPush($s, $max)['reqcode'], [bookItem("$who$max", $max + 1), bookItem("Z$max", $max + 2)]);
                return ['GET', "/index.php?g=Inkboat&m=WebApi&a=commitPush&uid={$s['uid']}&sid={$s['sid']}&reqcode=$rc"];
            }, ['X', 'Y']);
            $errors = array_map(fn ($r) => json_decode($r['body'], true)['head']['errCode'], $svc->requests($codes));
            sort($errors);
            same(['0', 'USN_CONFLICT'], $errors, "race at $max");
        }
        same(29, $svc->one("SELECT max_usn FROM users WHERE uid='{$s['uid']}'"), 'maximum USN');
    },

    // A commit counts once: repeated, retried after a lost answer or followed by a cancel. A cancel
    // before it drops the staging; a code is its owner's only, for an idle hour.
    'request_codes_from_begin_to_commit_cancel_or_expiry' => function (Service $svc) {
        [$s, $b] = [seeded($svc, 3), $svc->newUser('other')];
        $maxUsn = fn () => $svc->one("SELECT max_usn FROM users WHERE uid='{$s['uid']}'");
        $cancel = fn (string $rc, array $who = []) => code($svc->call('cancelSync', $who ?: $s, "&reqcode=$rc"));
        $staged = function (int $usn, string $tid) use ($svc, $s) {
            $svc->pushDetail($s, $rc = $svc->beginPush($s, $usn)['reqcode'], [bookItem($tid, $usn + 1)]);
            return $rc;
        };
        $commitUrl = fn (string $rc) => "/index.php?g=Inkboat&m=WebApi&a=commitPush&uid={$s['uid']}&sid={$s['sid']}&reqcode=$rc";
        $rc = $staged(3, 'K');
        checks([['commit twice, cancel, commit again', ['0', '0', '0', '0'], [code($svc->commit($s, $rc)), code($svc->commit($s, $rc)),
            $cancel($rc), code($svc->commit($s, $rc))]], ['still committed after cancel', ['K'], array_column($svc->pull($s, 3), 'tid')],
            ['no staging after commit', 'REQCODE_CLOSED', code($svc->pushDetail($s, $rc, [bookItem('L', 5)]))], ['USN', 4, $maxUsn()]]);
        // The answer to a commit gets lost: the work is done, and the retry changes nothing.
        $rc = $staged(4, 'M');
        $svc->setFaults('commitPush=drop_after');
        $lost = $svc->request('GET', $commitUrl($rc))['status'];
        $svc->setFaults('');
        checks([['lost answer, retry', [500, '0'], [$lost, code($svc->commit($s, $rc))]], ['applied once', ['M'], array_column($svc->pull($s, 4), 'tid')]]);

        $rc = $staged(5, 'N');
        $pull = $svc->beginPull($s, 0)['reqcode'];
        $pullDetail = fn (array $who, string $rc) => code($svc->call('pullDetail', $who, "&reqcode=$rc&page=0&pagesize=10"));
        checks([['codes of another user: pushDetail, commitPush, cancelSync, pullDetail, finishPull', array_fill(0, 5, 'REQCODE_UNKNOWN'),
            [code($svc->pushDetail($b, $rc, [bookItem('H', 4)])), code($svc->commit($b, $rc)), $cancel($rc, $b), $pullDetail($b, $pull),
                code($svc->call('finishPull', $b, "&reqcode=$pull"))]],
            ['commit of a pull', 'REQCODE_KIND', code($svc->commit($s, $pull))], ['owner pages', 5, count($svc->call('pullDetail', $s,
                "&reqcode=$pull&page=0&pagesize=10")['data'])],
            ['cancel twice, then commit', ['0', '0', 'REQCODE_CLOSED'], [$cancel($rc), $cancel($rc), code($svc->commit($s, $rc))]],
            ['nothing of the cancelled push', [[], 0], [$svc->pull($s, 5), $svc->one("SELECT COUNT(*) FROM push_rows WHERE reqcode='$rc'")]],
            ['cancel pull, then page it', ['0', 'REQCODE_CLOSED'], [$cancel($pull), $pullDetail($s, $pull)]],
            ['unknown reqcode', 'REQCODE_UNKNOWN', $cancel(token())]]);

        [$old, $pull] = [$staged(5, 'I'), $svc->beginPull($s, 0)['reqcode']];
        $svc->db()->exec("UPDATE reqcodes SET last_used=last_used-3700 WHERE reqcode IN ('$old', '$pull')");
        $expired = [code($svc->commit($s, $old)), $pullDetail($s, $pull)];
        $svc->beginPush($s, 5);   // starting a transfer sweeps expired ones
        checks([['idle push and pull', ['REQCODE_EXPIRED', 'REQCODE_EXPIRED'], $expired],
            ['snapshot dropped', 0, $svc->one("SELECT COUNT(*) FROM pull_rows WHERE reqcode='$pull'")]]);
    },

    'staging_rules_usn_order_and_deletions' => function (Service $svc) {
        $s = $svc->newUser('stage');
        $rc = $svc->beginPush($s, 0)['reqcode'];
        $deepest = str_repeat('题', 400);
        $svc->pushDetail($s, $rc, [bookItem('X', 1, ['title' => 'old']), bookItem('Y', 2, ['title' => $deepest, 'level' => 16])]);
        $svc->pushDetail($s, $rc, [bookItem('X', 3, ['title' => 'new'])]);
        $noUsn = bookItem('V', 11);
        unset($noUsn['usn']);
        $bad = [
            ['datatype' => 'other'], ['datatype' => null], ['tid' => ''], ['tid' => str_repeat('t', 65)], ['tid' => 7],
            ['usn' => 0], ['usn' => null], ['usn' => '5'], ['usn' => 2147483648], ['nodetype' => 1.5], ['level' => 'x'],
            ['sort' => '1'], ['title' => 5], ['html' => ['x']], ['flag' => str_repeat('D', 9)], ['ptid' => true],
            ['level' => 17], ['level' => -1], ['title' => str_repeat('题', 401)],   // rows no client may pull
        ];
        foreach ([...array_map(fn ($over) => [bookItem('Z', 9), bookItem('W', 10, $over)], $bad), [$noUsn]] as $batch) {
            same('BAD_DATA', code($svc->pushDetail($s, $rc, $batch)), 'bad item ' . json_encode(end($batch)));
        }
        same(['BATCH_TOO_LARGE', '0'], [code($svc->pushDetail($s, $rc, rows(100, 101))), code($svc->commit($s, $rc))], 'over 100 items, commit');
        // a deletion passes beyond the depth limit: a folder made too deep before the limits can go
        $svc->push($s, 3, [bookItem('X', 4, ['datatype' => 'memo'])]);
        $svc->push($s, 4, [bookItem('X', 5, ['flag' => 'D', 'title' => 'gone', 'level' => 18])]);
        same(["Y book 2 A $deepest", 'X memo 4 A 第4章 风起', 'X book 5 D gone'], array_map(fn ($r) => "{$r['tid']} {$r['datatype']} "
            . "{$r['usn']} {$r['flag']} {$r['title']}", $svc->pull($s, 0)), 'last write of a key wins (the type is part of the key), '
            . 'refused batches staged nothing, USN order');
        same(['X 5 gone'], brief($svc->pull($s, 4)), 'only what is newer');
    },

    'another_users_session_and_rows_stay_out_of_reach' => function (Service $svc) {
        // A and B hold rows, log rows and read marks under the same keys; what B does must leave A's alone.
        [$a, $b] = [seeded($svc, 3), seeded($svc, 3)];
        check(admin('news-add', '资讯一', '摘要') && admin('news-add', '资讯二', '摘要'), 'news');
        $logs = fn (array $s, int $n) => [code($svc->call('pushActionLog', $s, '', $item = [['action' => 'actionEditFind',
            'bookId' => 'B1', 'adate' => '2026-12-06T00:00:00', 'triggerCount' => $n, 'wordCount1' => $n,
            'update_time' => "2026-12-06T0$n:00:00"]])), code($svc->call('pushBookLog', $s, '', $item))];
        $news = fn (array $s, string $call = 'lastnews') => $svc->call($call, $s, '&username=x&version=4.31' . ($call === 'lastnews' ? '' : '&lastid=1'));
        $forged = ['uid' => $a['uid'], 'sid' => $b['sid']];   // B's valid session sent with A's uid
        same(['0', ['0', '0'], ['0', '0']], [code($svc->push($b, 3, [bookItem('R0000', 4, ['flag' => 'D'])])), $logs($a, 5), $logs($b, 1)],
            "B deletes its R0000; A, then B upload logs");
        $news($b, 'lastnewsdone');   // B has read news 1, then A all news (as a client that sends no id)
        $svc->call('lastnewsdone', $a, '&username=x&version=4.31');
        checks([['heartbeat with A\'s uid', '-2', code($svc->call('heartbeat', $forged, '&username=x&version=4.31'))],
            ['pull with A\'s uid', '-2', code($svc->beginPull($forged, 0))], ['log uploads with A\'s uid', ['-2', '-2'], $logs($forged, 9)],
            ['read mark with A\'s uid', '-2', code($svc->call('lastnewsdone', $forged, '&username=x&version=4.31'))],
            ['A\'s rows after B deleted the same key', [3, 'A'], [count($p = $svc->pull($a, 0)), $p[0]['flag'] ?? null]],
            ['A may push after B\'s commit', false, $svc->beginPush($a, 3)['shouldPull']],
            ['B\'s pull snapshot holds B\'s rows only', 3, $svc->beginPull($b, 0)['totalCount']],
            ['A\'s log rows after B\'s of the same day', [5, 5], [$svc->one("SELECT trigger_count FROM action_logs WHERE uid='{$a['uid']}'"),
                $svc->one("SELECT word_count1 FROM book_logs WHERE uid='{$a['uid']}'")]],
            ['unread news of A and B', [0, 1], [count($news($a)['news']), count($news($b)['news'])]]]);
    },

    'an_older_store_is_upgraded_and_never_holds_a_usn_twice' => function (Service $svc) {
        $s = seeded($svc, 2);
        $pdo = $svc->db();
        $pdo->exec('DROP INDEX sync_rows_unique_usn');
        // Two later accounts whose names the older rule kept apart from s's: they are renamed, not merged.
        $name = $s['username'];
        $later = [[token(), "$name\u{3000}", "$name#2"], [token(), "\u{A0}$name", "$name#3"]];
        foreach ($later as $i => [$uid, $old]) {
            $pdo->prepare('INSERT INTO users(uid, username, username_key, email, password_hash, max_usn, created)
                SELECT ?, ?, ?, email, password_hash, 0, ? FROM users WHERE uid=?')->execute([$uid, $old, $old, "9999-$i", $s['uid']]);
        }
        $pdo->exec("UPDATE ink_meta SET value='1' WHERE name='schema'");
        checks([['the first call on the older store', 2, $svc->beginPull($s, 0)['totalCount']],
            ['schema version', '5', $svc->one("SELECT value FROM ink_meta WHERE name='schema'")],
            ['each account signs in by its name after the renaming', [$s['uid'], $later[0][0], $later[1][0]],
                array_map(fn ($n) => $svc->login($n)["uid"], [$name, ...array_column($later, 2)])],
            ['the renamings reported', implode('', array_map(fn ($l) => "$l[0]\t$l[1]\t$l[2]\t$name\n", $later)),
                $svc->one("SELECT value FROM ink_meta WHERE name='report.renamed_users'")]]);
        try {
            $pdo->exec("UPDATE sync_rows SET usn=1 WHERE uid='{$s['uid']}' AND usn=2");
            check(false, 'a USN stored twice');
        } catch (PDOException) {
        }
    },

    'log_uploads_are_idempotent_and_the_newer_value_wins' => function (Service $svc) {
        $s = $svc->newUser('logs');
        $log = fn (string $action, string $day, int $count, string $hour, ?string $empty = '') => ['action' => $action,
            'adate' => "{$day}T00:00:00", 'triggerCount' => $count, 'attribute1' => $empty, 'attribute2' => $empty, 'attribute3' => $empty,
            'create_time' => $empty === null ? null : '2026-12-06T08:00:00', 'update_time' => "2026-12-06T$hour:00:00"];
        $actions = [$log('actionBookNewBook', '2026-12-06', 3, '09'), $log('actionBookNewBook', '2026-12-05', 1, '08'),
            $log('actionEditFind', '2026-12-06', 7, '10', null)];
        $push = fn (array $rows) => code($svc->call('pushActionLog', $s, '', $rows));
        $table = fn () => implode(' ', array_map(fn ($r) => implode('|', $r), $svc->db()->query("SELECT action, day, trigger_count
            FROM action_logs WHERE uid='{$s['uid']}' ORDER BY action, day")->fetchAll(PDO::FETCH_NUM)));
        $expected = 'actionBookNewBook|2026-12-05|1 actionBookNewBook|2026-12-06|%d actionEditFind|2026-12-06|7';
        $book = ['bookId' => 'B1', 'adate' => '2026-12-06T00:00:00', 'wordCount1' => 100, 'wordCount2' => 120, 'attribute1' => '',
            'attribute2' => '', 'attribute3' => '', 'create_time' => '2026-12-06T08:00:00', 'update_time' => '2026-12-06T09:00:00'];
        $books = fn (array $book) => code($svc->call('pushBookLog', $s, '', [$book]));
        checks([['one row per action and day, also after a re-send', ['0', sprintf($expected, 3), '0', sprintf($expected, 3)],
            [$push($actions), $table(), $push($actions), $table()]],
            ['an older value does not win', '0' . sprintf($expected, 3), $push([$log('actionBookNewBook', '2026-12-06', 2, '07')]) . $table()],
            ['the newer value wins', '0' . sprintf($expected, 5), $push([$log('actionBookNewBook', '2026-12-06', 5, '11')]) . $table()],
            ['book log twice, then a negative count', ['0', '0', 'BAD_DATA'], [$books($book), $books($book), $books(['wordCount1' => -1] + $book)]],
            ['one book row', [['B1', '2026-12-06', 100, 120]], $svc->db()->query("SELECT book_id, day, word_count1, word_count2 FROM book_logs
                WHERE uid='{$s['uid']}'")->fetchAll(PDO::FETCH_NUM)]]);
    },
]);
