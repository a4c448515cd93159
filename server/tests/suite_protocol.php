<?php
// Wire format, accounts, sessions, hostile input, news and links, fault injection.
declare(strict_types=1);

require __DIR__ . '/lib.php';

$svc = serviceFromArgs($argv);
$admin = fn (string ...$args) => exec('php ' . escapeshellarg(dirname(__DIR__) . '/admin.php') . ' '
    . implode(' ', array_map('escapeshellarg', $args)) . ' 2>&1', $out, $rc) !== false && $rc === 0;

runTests([
    'checksum_follows_the_raw_query' => function (Service $svc) {
        // [query after the API address, text the client hashes (after gInkboatmWebApi), error expected]
        $rows = [
            ['&a=eshoplinks', 'aeshoplinks', false],
            ['&a=eshoplinks&x=1&x=2', 'aeshoplinksx1x2', false],
            ['&a=eshoplinks&v=a+b%2Bc', 'aeshoplinksva+b+c', false],
            ['&a=eshoplinks&name=%E5%BC%A0%E4%B8%89', 'aeshoplinksname张三', false],
            ['&a=eshoplinks&flag&empty=', 'aeshoplinksflagempty', false],
            ['&a=eshoplinks&k=x%3Dy=z', 'aeshoplinkskx=y=z', false],
            ['&a=eshoplinks&&', 'aeshoplinks', false],
            ['&a=heartbeat&uid=12&username=%E6%9D%8E+4&sid=zz&version=4.31',
                'aheartbeatuid12username李+4sidzzversion4.31', true],
            ['&a=nosuch&a=eshoplinks', 'anosuchaeshoplinks', true],
        ];
        foreach ($rows as [$tail, $text, $isError]) {
            $doc = $svc->api($tail, null, false);
            same(md5('gInkboatmWebApi' . $text), $doc['head']['crc'], "checksum of $tail");
            same($isError, $doc['head']['isError'], "isError of $tail");
        }
        // Client information goes to index.php with its keys sorted, so "a" comes before "g".
        $q = 'a=postclientinfo&app_name=%E7%A0%9A%E8%88%9F%E5%86%99%E4%BD%9C&app_ver=4.31&attr0=StartUp'
            . '&attr1=%7B%22osProduct%22%3A%22Debian%22%7D&attr2=%7B%7D&attr3=m1&g=Inkboat&m=WebApi&os=windows&sid=';
        $r = $svc->http->request('GET', "/index.php?$q");
        $doc = json_decode($r['body'], true);
        same(200, $r['status'], 'client information status');
        same(false, $doc['head']['isError'] ?? null, 'client information accepted');
        same(md5('apostclientinfoapp_name砚舟写作app_ver4.31attr0StartUpattr1{"osProduct":"Debian"}attr2{}attr3m1'
            . 'gInkboatmWebApioswindowssid'), $doc['head']['crc'] ?? null, 'client information checksum');
        $row = $svc->db()->query('SELECT app_name, attr0, attr1, os FROM client_info')->fetch(PDO::FETCH_ASSOC);
        same(['app_name' => '砚舟写作', 'attr0' => 'StartUp', 'attr1' => '{"osProduct":"Debian"}', 'os' => 'windows'],
            $row, 'stored client information');
    },

    'register_checks_name_email_and_password' => function (Service $svc) {
        foreach (['  Writer Li  ', 'ＡＢＣ写手', 'ÉCRIVAIN', 'ПИСАТЕЛЬ'] as $name) {
            same(false, $svc->register($name)['head']['isError'], "first registration of '$name'");
        }
        $rows = [
            // [user name, password, e-mail, expected error code]
            ['writer LI', 'secret1', 'a@b.cn', 'USER_EXISTS'],
            ['ａｂｃ写手', 'secret1', 'a@b.cn', 'USER_EXISTS'],
            ['écrivain', 'secret1', 'a@b.cn', 'USER_EXISTS'],
            [' писатель', 'secret1', 'a@b.cn', 'USER_EXISTS'],
            ['   ', 'secret1', 'a@b.cn', 'BAD_USERNAME'],
            ['新作者', 'short', 'a@b.cn', 'BAD_PASSWORD'],
            ['新作者', 'secret1', 'not-an-email', 'BAD_EMAIL'],
            ['新作者', 'secret1', '', 'BAD_EMAIL'],
            ['新作者', 'secret1', 'a@b', 'BAD_EMAIL'],
        ];
        foreach ($rows as [$name, $pw, $email, $code]) {
            same($code, $svc->register($name, $pw, $email)['head']['errCode'], "register '$name' '$pw' '$email'");
        }
        $base = '&a=register&username=x' . bin2hex(random_bytes(3)) . '&email=a%40b.cn';
        // [password parameter, crypt parameter]: undecryptable, odd hex, not hex, plain text, wrong crypt flag
        foreach ([[bin2hex(random_bytes(16)), '1'], ['abc', '1'], [str_repeat('zz', 16), '1'],
                     ['secret1', '1'], [encryptPassword('secret1'), '0'], [encryptPassword('secret1'), '']] as [$pw, $crypt]) {
            $doc = $svc->api("$base&password=$pw&crypt=$crypt");
            check($doc['head']['isError'] && in_array($doc['head']['errCode'], ['BAD_PASSWORD', 'BAD_CRYPT'], true),
                "password '$pw' crypt '$crypt' refused");
        }
        same(false, $svc->register('六位密码', '123456', '作者@mail.example.cn')['head']['isError'], '6 characters accepted');
        $hash = $svc->db()->query("SELECT password_hash FROM users WHERE username='六位密码'")->fetchColumn();
        check(password_verify('123456', (string)$hash) && !str_contains((string)$hash, '123456'), 'only a hash is stored');
    },

    'login_and_heartbeat_sessions' => function (Service $svc) use ($admin) {
        $svc->register('Heart Beat', 'pass word 1');
        $a = $svc->ok('&a=login&username=' . rawurlencode(' HEART beat ') . '&password=' . encryptPassword('pass word 1')
            . '&version=4.31&rnd=x+y%2&crypt=1');
        foreach (['uid', 'sid', 'username', 'amt'] as $k) {
            same('string', gettype($a[$k] ?? null), "type of login.$k");
        }
        check((bool)preg_match('/^[0-9a-f]{32}$/', $a['uid']) && (bool)preg_match('/^[0-9a-f]{32}$/', $a['sid']), 'tokens are 32 hex');
        same('Heart Beat', $a['username'], 'stored user name returned');
        same('0', $a['amt'], 'amt');
        foreach (['wrong pass', ''] as $pw) {
            same('LOGIN_FAILED', $svc->api('&a=login&username=Heart%20Beat&password=' . ($pw === '' ? encryptPassword('x') : encryptPassword($pw))
                . '&version=4.31&rnd=abcd&crypt=1')['head']['errCode'], "wrong password '$pw'");
        }
        same('LOGIN_FAILED', $svc->api('&a=login&username=nobody&password=' . encryptPassword('pass word 1')
            . '&version=4.31&rnd=abcd&crypt=1')['head']['errCode'], 'unknown user');

        $hb = fn (array $s) => $svc->api("&a=heartbeat&uid={$s['uid']}&username=Heart%20Beat&sid={$s['sid']}&version=4.31");
        $h1 = $hb($a);
        $h2 = $hb($a);
        same(['0', false], [$h1['head']['errCode'], $h1['head']['isError']], 'heartbeat succeeds');
        check((bool)preg_match('/^[0-9a-f]{32}$/', $h1['tid']) && $h1['tid'] !== $h2['tid'], 'a fresh ticket each time');

        $b = $svc->login('heart beat', 'pass word 1');
        same('-3', $hb($a)['head']['errCode'], 'replaced session');
        same(true, $hb($a)['head']['isError'], 'replaced session is an error');
        same('0', $hb($b)['head']['errCode'], 'new session alive');
        same('-3', $svc->api('&a=beginPull' . Service::auth($a) . '&usn=0&extparams=&version=4.31')['head']['errCode'],
            'replaced session cannot sync');
        same('-2', $hb(['uid' => $b['uid'], 'sid' => bin2hex(random_bytes(16))])['head']['errCode'], 'unknown session');
        same('-2', $hb(['uid' => bin2hex(random_bytes(16)), 'sid' => $b['sid']])['head']['errCode'], 'session of another uid');
        $svc->db()->exec("UPDATE sessions SET last_seen=last_seen-100000 WHERE sid='{$b['sid']}'");
        same('-2', $hb($b)['head']['errCode'], 'expired session');
        $c = $svc->login('Heart Beat', 'pass word 1');
        check($admin('reset-password', 'HEART beat', 'new secret'), 'operator resets the password');
        same('-2', $hb($c)['head']['errCode'], 'sessions end with the old password');
        same('LOGIN_FAILED', $svc->api('&a=login&username=Heart%20Beat&password=' . encryptPassword('pass word 1')
            . '&version=4.31&rnd=abcd&crypt=1')['head']['errCode'], 'old password');
        same('0', $hb($svc->login('Heart Beat', 'new secret'))['head']['errCode'], 'new password');
    },

    'web_sign_in_ticket_is_single_use' => function (Service $svc) {
        $s = $svc->newUser('web');
        $tid = $svc->ok("&a=heartbeat&uid={$s['uid']}&username=x&sid={$s['sid']}&version=4.31")['tid'];
        $page = fn (string $t) => $svc->http->request('GET', "/index.php?g=Inkboat&m=user&a=loginByTid&tid=$t");
        $first = $page($tid);
        same(200, $first['status'], 'ticket accepted');
        check(str_contains($first['body'], htmlspecialchars($s['username'])), 'page names the user');
        same(403, $page($tid)['status'], 'ticket used twice');
        same(403, $page(bin2hex(random_bytes(16)))['status'], 'unknown ticket');
        same(403, $page("'%20OR%201=1--")['status'], 'hostile ticket');
        $tid2 = $svc->ok("&a=heartbeat&uid={$s['uid']}&username=x&sid={$s['sid']}&version=4.31")['tid'];
        $svc->db()->exec("UPDATE web_tickets SET expires=expires-1000 WHERE tid='$tid2'");
        same(403, $page($tid2)['status'], 'expired ticket');
        foreach (['g=user&m=login&a=forgot_password', 'g=Inkboat&m=Redirect&a=redirecteshop', ''] as $q) {
            same(200, $svc->http->request('GET', "/index.php?$q")['status'], "page '$q'");
        }
    },

    'hostile_parameters_get_error_answers' => function (Service $svc) {
        $s = $svc->newUser('hostile');
        $evil = ["' OR '1'='1", "x'); DROP TABLE users; --", '%00', '%FF%FE', str_repeat('%E5%BC%A0', 3000), '-1', '9' . str_repeat('9', 30)];
        $templates = [
            'register' => ['username', 'password', 'email', 'crypt'],
            'login' => ['username', 'password', 'version', 'rnd', 'crypt'],
            'heartbeat' => ['uid', 'username', 'sid', 'version'],
            'lastnews' => ['uid', 'username', 'sid', 'version'],
            'lastnewsdone' => ['uid', 'username', 'sid', 'version'],
            'beginPush' => ['uid', 'sid', 'usn', 'us', 'extparams', 'version'],
            'commitPush' => ['uid', 'sid', 'reqcode'],
            'beginPull' => ['uid', 'sid', 'usn', 'extparams', 'version'],
            'pullDetail' => ['uid', 'sid', 'reqcode', 'page', 'pagesize'],
            'finishPull' => ['uid', 'sid', 'reqcode'],
            'cancelSync' => ['uid', 'sid', 'reqcode'],
            'pushDetail' => ['uid', 'sid', 'reqcode'],
            'pushActionLog' => ['uid', 'sid'],
            'pushBookLog' => ['uid', 'sid'],
            'postclientinfo' => ['sid', 'app_name', 'app_ver', 'attr0', 'attr1', 'attr2', 'attr3', 'os'],
        ];
        $bodies = [
            'pushDetail' => requestBody([bookItem("x'; DELETE FROM sync_rows; --", 1)]),
            'pushActionLog' => requestBody([['action' => "a' OR 1=1 --", 'adate' => '2026-12-06T00:00:00', 'triggerCount' => 1]]),
            'pushBookLog' => requestBody([['bookId' => "b\"); DROP TABLE book_logs; --", 'adate' => '2026-12-06T00:00:00']]),
        ];
        $good = ['app_name' => 'x', 'app_ver' => '4.31', 'attr0' => 'Quit', 'attr1' => '{}', 'attr2' => '{}', 'attr3' => 'm',
            'os' => 'windows', 'uid' => $s['uid'], 'sid' => $s['sid'], 'username' => 'x', 'password' => encryptPassword('secret1'),
            'email' => 'a%40b.cn', 'crypt' => '1', 'version' => '4.31', 'rnd' => 'abcd', 'usn' => '0', 'us' => '0',
            'extparams' => '', 'reqcode' => bin2hex(random_bytes(16)), 'page' => '0', 'pagesize' => '10'];
        foreach ($templates as $action => $params) {
            foreach ($params as $bad) {
                foreach ($evil as $value) {
                    $tail = "&a=$action";
                    foreach ($params as $p) {
                        $tail .= "&$p=" . ($p === $bad ? (str_starts_with($value, '%') ? $value : rawurlencode($value)) : $good[$p]);
                    }
                    $doc = $svc->api($tail, $bodies[$action] ?? null);   // 200, JSON, typed head and checksum checked inside
                    if (in_array($bad, ['uid', 'sid', 'reqcode', 'page', 'pagesize', 'usn', 'password', 'crypt'], true)
                        && !in_array($action, ['lastnews', 'postclientinfo'], true)) {
                        same(true, $doc['head']['isError'], "$action with $bad=" . substr($value, 0, 20));
                    }
                }
            }
        }
        // Still intact afterwards.
        same(false, $svc->api('&a=heartbeat' . Service::auth($s) . '&username=x&version=4.31')['head']['isError'], 'session alive');
        check((int)$svc->db()->query('SELECT COUNT(*) FROM users')->fetchColumn() > 0, 'users table intact');
        foreach ($bodies as $action => $body) {
            same(false, $svc->api("&a=$action" . Service::auth($s) . ($action === 'pushDetail'
                ? '&reqcode=' . $svc->beginPush($s, 0)['reqcode'] : ''), $body)['head']['isError'], "$action with quotes");
        }
        same("a' OR 1=1 --", $svc->db()->query("SELECT action FROM action_logs WHERE uid='{$s['uid']}'")->fetchColumn(),
            'quotes stored as text');
        same(1, (int)$svc->db()->query('SELECT COUNT(*) FROM book_logs')->fetchColumn(), 'book logs intact');
        // Missing sid or uid.
        foreach (['&a=beginPull&uid=' . $s['uid'] . '&usn=0', '&a=beginPull&sid=' . $s['sid'] . '&usn=0',
                     '&a=pushActionLog&uid=' . $s['uid'], '&a=lastnewsdone&uid=' . $s['uid'] . '&username=x'] as $tail) {
            same('-2', $svc->api($tail)['head']['errCode'], "no session: $tail");
        }
    },

    'malformed_bodies_are_refused' => function (Service $svc) {
        $s = $svc->newUser('body');
        $bodies = ['', '{', 'null', '[]', '"text"', '{"data":{}}', '{"data":"x"}', '{"data":[1]}', '{"data":[[]]}',
            '{"method":"","data":[{"datatype":"book"}]}', str_repeat('[', 200) . str_repeat(']', 200),
            "a=1&b=2&data[]=3", "\xEF\xBB\xBF{\"data\":[7]}", '{"data":[{"action":"x","adate":"2026-13-45"}]}'];
        foreach (['pushActionLog', 'pushBookLog'] as $action) {
            foreach ($bodies as $body) {
                $doc = $svc->api("&a=$action" . Service::auth($s), $body);
                same(true, $doc['head']['isError'], "$action with body " . substr($body, 0, 30));
            }
            same(true, $svc->api("&a=$action" . Service::auth($s))['head']['isError'], "$action without a body");
        }
        // Over 16 MiB is refused; a big body under the limit (beyond PHP's own form limit) is still read.
        $huge = '{"method":"","data":[' . str_repeat(' ', 16 * 1024 * 1024) . ']}';
        same('BODY_TOO_LARGE', $svc->api('&a=pushActionLog' . Service::auth($s), $huge)['head']['errCode'], 'huge body');
        $big = '{"method":"","data":[' . str_repeat(' ', 9 * 1024 * 1024) . ']}';
        same(false, $svc->api('&a=pushActionLog' . Service::auth($s), $big)['head']['isError'], '9 MiB body read whole');
        // Chapter text full of "&" and "=" must not be mistaken for a form.
        $rows = [];
        for ($i = 0; $i < 3; $i++) {
            $rows[] = ['action' => "act$i&x[]=1&" . str_repeat('a=b&', 500), 'adate' => '2026-12-06T00:00:00',
                'triggerCount' => $i, 'create_time' => '', 'update_time' => ''];
        }
        same(true, $svc->api('&a=pushActionLog' . Service::auth($s), requestBody($rows))['head']['isError'],
            'over-long action names refused');
        $rows = [['action' => 'act&x[]=1&a=b', 'adate' => '2026-12-06T00:00:00', 'triggerCount' => 2, 'attribute1' => null,
            'attribute2' => str_repeat('&nbsp;', 600), 'create_time' => null, 'update_time' => '2026-12-06T10:00:00']];
        same(false, $svc->api('&a=pushActionLog' . Service::auth($s), requestBody($rows))['head']['isError'],
            'form-like JSON accepted');
        same('act&x[]=1&a=b', $svc->db()->query("SELECT action FROM action_logs WHERE uid='{$s['uid']}'")->fetchColumn(),
            'stored verbatim');
    },

    'news_links_and_read_marks' => function (Service $svc) use ($admin) {
        check($admin('news-add', '新版发布', '4.4 版发布了', "第一段\n第二段"), 'news 1');
        check($admin('news-add', '写作大赛', '欢迎参加, "quoted"'), 'news 2');
        check($admin('link-add', '官网商城', 'https://shop.example.cn/a?b=1&c=2', '2'), 'link 1');
        check($admin('link-add', '帮助', 'https://help.example.cn/', '1'), 'link 2');
        check(!$admin('link-add', 'bad', 'javascript:alert(1)'), 'non-http link refused');
        $links = $svc->ok('&a=eshoplinks')['links'];
        same([['link_name' => '帮助', 'link_url' => 'https://help.example.cn/'],
            ['link_name' => '官网商城', 'link_url' => 'https://shop.example.cn/a?b=1&c=2']], $links, 'links in order');

        $public = $svc->ok('&a=lastnews&uid=0&username=&sid=&version=4.31')['news'];
        same(['2', '1'], array_column($public, 'tid'), 'public news, newest first');
        same(['post_title' => '写作大赛', 'post_excerpt' => '欢迎参加, "quoted"', 'tid' => '2', 'smeta' => ''], $public[0], 'news record');
        $s = $svc->newUser('reader');
        // lastnews carries the user name unencoded; the client's network layer escapes it on the wire.
        $news = fn () => $svc->ok("&a=lastnews&uid={$s['uid']}&username=%E8%AF%BB%20%E8%80%85&sid={$s['sid']}&version=4.31")['news'];
        same(2, count($news()), 'unread news');
        $svc->ok("&a=lastnewsdone&uid={$s['uid']}&username=%E8%AF%BB%20%E8%80%85&sid={$s['sid']}&version=4.31");
        same([], $news(), 'read news no longer offered');
        same(2, count($svc->ok('&a=lastnews&uid=0&username=&sid=&version=4.31')['news']), 'public news unchanged');
        check($admin('news-add', '第三条', '新消息'), 'news 3');
        same(['3'], array_column($news(), 'tid'), 'only the newer item');
        $page = $svc->http->request('GET', '/index.php?g=&m=article&a=index&id=1');
        check($page['status'] === 200 && str_contains($page['body'], '<p>第二段</p>'), 'article page');
        same(404, $svc->http->request('GET', '/index.php?g=&m=article&a=index&id=99')['status'], 'missing article');
        check($admin('shop-url', 'https://shop.example.cn/'), 'shop url');
        $r = $svc->http->request('GET', '/index.php?g=Inkboat&m=Redirect&a=redirecteshop');
        same([302, 'https://shop.example.cn/'], [$r['status'], $r['headers']['location'] ?? ''], 'shop redirect');
    },

    'fault_rule_syntax' => function (Service $svc) {
        require_once dirname(__DIR__) . '/lib/bootstrap.php';
        ini_set('error_log', '/dev/null');
        $rows = [
            ['commitPush:2=drop_after', [['commitPush', 2, 'drop_after', 0]]],
            ["heartbeat=delay_ms=250;\n# note\nbeginPull=kick", [['heartbeat', null, 'delay_ms', 250], ['beginPull', null, 'kick', 0]]],
            [' pushDetail = fail , pullDetail:1=badcrc ', [['pushDetail', null, 'fail', 0], ['pullDetail', 1, 'badcrc', 0]]],
            ['heartbeat=explode,=fail,heartbeat:x=fail', []],
        ];
        foreach ($rows as [$text, $expected]) {
            $got = array_map(fn ($r) => [$r['action'], $r['nth'], $r['effect'], $r['arg']], @Inkboat\Faults::parse($text));
            same($expected, $got, "rules '$text'");
        }
        // Rules from the environment apply to loopback callers only.
        putenv('INKBOAT_SERVICE_FAULTS=heartbeat=fail');
        $call = fn (string $from, string $to) => array_column(Inkboat\Faults::forCall(
            new Inkboat\Request('a=heartbeat', 'GET', '/', $from, $to), 'heartbeat'), 'effect');
        same(['fail'], $call('127.0.0.1', '127.0.0.1'), 'loopback');
        same(['fail'], $call('::1', '::1'), 'IPv6 loopback');
        same([], $call('192.168.1.20', '192.168.1.2'), 'remote caller');
        same([], $call('127.0.0.1', '10.0.0.2'), 'service on a public address');
        putenv('INKBOAT_SERVICE_FAULTS');
        same([], $call('127.0.0.1', '127.0.0.1'), 'off by default');
        restore_error_handler();
    },

    'fault_rules_from_the_file' => function (Service $svc) {
        $s = $svc->newUser('fault');
        $hb = "&a=heartbeat&uid={$s['uid']}&username=f&sid={$s['sid']}&version=4.31";
        $svc->setFaults("heartbeat=fail\n");
        same('FAULT_INJECTED', $svc->api($hb)['head']['errCode'], 'fail (checksum still right)');
        $svc->setFaults('heartbeat=badcrc');
        $doc = $svc->api($hb, null, false);
        check($doc['head']['crc'] !== expectedCrc('g=Inkboat&m=WebApi' . $hb) && !$doc['head']['isError'], 'bad checksum');
        $svc->setFaults('heartbeat:2=fail, eshoplinks=delay_ms=50, bogus rule');
        same(['0', 'FAULT_INJECTED', '0'], [$svc->api($hb)['head']['errCode'], $svc->api($hb)['head']['errCode'],
            $svc->api($hb)['head']['errCode']], 'only the second call fails');
        same(false, $svc->api('&a=eshoplinks')['head']['isError'], 'delayed answer');
        $svc->setFaults('heartbeat=drop_after');
        same(500, $svc->http->request('GET', '/index.php?g=Inkboat&m=WebApi' . $hb)['status'], 'answer dropped');
        $svc->setFaults('heartbeat=kick');
        same('-3', $svc->api($hb)['head']['errCode'], 'kicked');
        $svc->setFaults('');
        same('-3', $svc->api($hb)['head']['errCode'], 'stays kicked');
    },
], $svc);
