<?php
// Limits against abuse and bounded storage, with the limits of the test's service set low
// (INKBOAT_LIMIT_* in the test's environment; see CMakeLists.txt).
declare(strict_types=1);

require __DIR__ . '/lib.php';

$limit = fn (string $name) => (int)getenv("INKBOAT_LIMIT_$name");

runTests([
    'wrong_passwords_lock_the_account_name_until_the_wait_is_over' => function (Service $svc) use ($limit) {
        $svc->register($name = $svc->name('guess'));
        $login = fn (string $pw, string $who) => code($svc->signIn($who, $pw));
        $n = $limit('LOGIN_FAILURES');
        // [name, passwords tried, answers]; past the limit even the right password is refused unread
        foreach ([[$name, array_fill(0, 200, 'wrong pass'), [...array_fill(0, $n, 'LOGIN_FAILED'), ...array_fill(0, 200 - $n, 'LOGIN_LIMITED')]],
                     [$name, ['secret1'], ['LOGIN_LIMITED']], ['nobody-' . $name, array_fill(0, $n + 1, 'x'),
                     [...array_fill(0, $n, 'LOGIN_FAILED'), 'LOGIN_LIMITED']]] as [$who, $passwords, $codes]) {
            same($codes, array_map(fn ($pw) => $login($pw, $who), $passwords), "sign-ins of $who");
        }
        same('UNKNOWN_ACTION', code($svc->api('&a=%6Cogin&username=x&password=' . encryptPassword('x') . '&crypt=1')),
            'an action in escapes (past the limit of the web server)');
        $svc->db()->exec('UPDATE limits SET locked_until=' . (time() - 1));   // the wait is over
        same(['0', 'LOGIN_FAILED'], [$login('secret1', $name), $login('wrong pass', $name)], 'after the wait');
    },

    'registrations_per_address_and_hour' => function (Service $svc) use ($limit) {
        $svc->from = '127.0.0.2';
        $codes = array_map(fn () => code($svc->register($svc->name('mass'))), range(0, $limit('REGISTER_PER_HOUR')));
        same([...array_fill(0, $limit('REGISTER_PER_HOUR'), '0'), 'REGISTER_LIMITED'], $codes, 'registrations from one address');
        $svc->from = '127.0.0.1';
        same('0', code($svc->register($svc->name('other'))), 'another address');
    },

    'open_transfers_are_capped_and_snapshots_removed' => function (Service $svc) use ($limit) {
        $s = $svc->newUser('codes');
        same('0', code($svc->push($s, 0, [bookItem('a', 1), bookItem('b', 2)])), 'seed');
        $codes = array_map(fn () => $svc->beginPush($s, 2)['reqcode'], range(0, $limit('OPEN_TRANSFERS') + 1));
        same(['REQCODE_EXPIRED', 'REQCODE_EXPIRED', ...array_fill(0, $limit('OPEN_TRANSFERS'), '0')],
            array_map(fn ($rc) => code($svc->pushDetail($s, $rc, [bookItem('c', 3)])), $codes), 'oldest codes closed');
        $snapshot = fn () => (int)$svc->one('SELECT COUNT(*) FROM pull_rows');
        $pull = $svc->beginPull($s, 0)['reqcode'];
        same([2, '0', 0], [$snapshot(), code($svc->call('finishPull', $s, "&reqcode=$pull")), $snapshot()], 'snapshot of a pull, finished');
        $svc->db()->exec("UPDATE reqcodes SET last_used=last_used-" . 8 * 86400);
        same([2, 1], [$svc->beginPull($s, 0)['totalCount'], (int)$svc->one('SELECT COUNT(*) FROM reqcodes')], 'codes of a week ago forgotten');
    },

    'quota_refuses_a_push_whole' => function (Service $svc) use ($limit) {
        $s = $svc->newUser('quota');
        $rows = $limit('QUOTA_ROWS');
        $items = fn (string $p, int $n) => fn (int $usn) => array_map(fn ($i) => bookItem("$p$i", $usn + $i), range(0, $n - 1));
        // [items numbered after the user's USN, answer, rows stored afterwards]
        foreach ([[$items('r', $rows - 5), '0', $rows - 5], [$items('n', 10), 'QUOTA_EXCEEDED', $rows - 5],
                     [$items('r', 10), '0', $rows - 5], [$items('n', 5), '0', $rows], [$items('y', 1), 'QUOTA_EXCEEDED', $rows],
                     [$items('x', $rows + 1), 'QUOTA_EXCEEDED', $rows]] as $k => [$make, $code, $stored]) {
            $max = (int)$svc->one("SELECT max_usn FROM users WHERE uid='{$s['uid']}'");
            $push = $make($max + 1);
            same($code, code($svc->push($s, $max, $push)), "push $k");
            same([$stored, $code === '0' ? $max + count($push) : $max], [(int)$svc->one("SELECT COUNT(*) FROM sync_rows
                WHERE uid='{$s['uid']}'"), (int)$svc->one("SELECT max_usn FROM users WHERE uid='{$s['uid']}'")], "stored after push $k");
        }
        // r0 made big, then grown to fill the byte quota exactly, then by one byte more
        $used = fn () => (int)$svc->one("SELECT used_bytes FROM users WHERE uid='{$s['uid']}'");
        $r0 = fn (string $text) => code($svc->push($s, $m = (int)$svc->one("SELECT max_usn FROM users WHERE uid='{$s['uid']}'"),
            [bookItem('r0', $m + 1, ['plaintext' => $text])]));
        $big = $r0($text = str_repeat('字', intdiv($limit('QUOTA_BYTES'), 5)));
        $text .= str_repeat('a', $limit('QUOTA_BYTES') - $used());
        same(['0', '0', $limit('QUOTA_BYTES'), 'QUOTA_EXCEEDED'], [$big, $r0($text), $used(), $r0("{$text}a")],
            'a big row, grown to the byte quota, one byte more');
    },

    'staging_is_capped_per_request_code' => function (Service $svc) use ($limit) {
        $s = $svc->newUser('stage');
        $rc = $svc->beginPush($s, 0)['reqcode'];
        $batches = intdiv($limit('QUOTA_ROWS'), 10);
        // full batches up to the quota, then one row more
        $batch = fn (int $k) => array_map(fn ($i) => bookItem("s$k-$i", $k * 10 + $i + 1), range(1, $k < $batches ? 10 : 1));
        same([...array_fill(0, $batches, '0'), 'QUOTA_EXCEEDED'],
            array_map(fn ($k) => code($svc->pushDetail($s, $rc, $batch($k))), range(0, $batches)), 'batches of one code');
        same($batches * 10, (int)$svc->one("SELECT COUNT(*) FROM push_rows WHERE reqcode='$rc'"), 'rows staged');
    },

    'client_information_is_capped_per_machine_and_address_and_pruned_by_age' => function (Service $svc) use ($limit) {
        $post = fn (string $machine) => $svc->ok("&a=postclientinfo&sid=&app_name=x&app_ver=4.31&attr0=StartUp&attr1=%7B%7D"
            . "&attr2=%7B%7D&attr3=$machine&os=linux");
        $count = fn (string $where) => (int)$svc->one("SELECT COUNT(*) FROM client_info WHERE $where");
        array_map(fn () => $post('m1'), range(1, $limit('CLIENTINFO_PER_MACHINE') + 2));
        $machine = $count("attr3='m1'");
        array_map(fn ($i) => $post("m-$i"), range(1, $limit('CLIENTINFO_PER_ADDRESS') + 2));
        $address = $count('1=1');
        $svc->db()->exec('UPDATE client_info SET received=received-' . (91 * 86400));
        $post('m1');
        same([$limit('CLIENTINFO_PER_MACHINE'), $limit('CLIENTINFO_PER_ADDRESS'), 1], [$machine, $address, $count('1=1')],
            'rows of one machine, of one address, after 91 days');
    },
]);
