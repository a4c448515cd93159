<?php
// Wire format, accounts, sessions, hostile input, news and links, fault injection.
declare(strict_types=1);

require __DIR__ . '/lib.php';

runTests([
    'checksum_follows_the_raw_query' => function (Service $svc) {
        $info = 'a=postclientinfo&app_name=%E7%A0%9A%E8%88%9F%E5%86%99%E4%BD%9C&app_ver=4.31&attr0=StartUp'
            . '&attr1=%7B%22osProduct%22%3A%22Debian%22%7D&attr2=%7B%7D&attr3=m1&g=Inkboat&m=WebApi&os=windows&sid=';
        // [query, text the client hashes (after "gInkboatmWebApi" for an "&a=" tail), error code]
        $rows = [
            ['&a=eshoplinks&x=1&x=2', 'aeshoplinksx1x2', '0'], ['&a=eshoplinks&v=a+b%2Bc&w=x%2', 'aeshoplinksva+b+cwx%2', '0'],
            ['&a=eshoplinks&name=%E5%BC%A0%E4%B8%89', 'aeshoplinksname张三', '0'],
            ['&a=eshoplinks&flag&empty=&k=x%3Dy=z&&', 'aeshoplinksflagemptykx=y=z', '0'],
            ['&a=heartbeat&uid=12&username=%E6%9D%8E+4&sid=zz&version=4.31', 'aheartbeatuid12username李+4sidzzversion4.31', '-2'],
            ['&a=nosuch&a=eshoplinks', 'anosuchaeshoplinks', 'UNKNOWN_ACTION'],
            // client information goes out with its keys sorted, so "a" comes before "g"
            [$info, 'apostclientinfoapp_name砚舟写作app_ver4.31attr0StartUpattr1{"osProduct":"Debian"}attr2{}attr3m1'
                . 'gInkboatmWebApioswindowssid', '0'],
        ];
        foreach ($rows as [$query, $text, $code]) {
            $doc = $svc->api($query, null, false);
            same(md5(($query[0] === '&' ? 'gInkboatmWebApi' : '') . $text), $doc['head']['crc'], "checksum of $query");
            same($code, code($doc), "error code of $query");
        }
        same(['砚舟写作', 'StartUp', '{"osProduct":"Debian"}', 'windows'], $svc->db()
            ->query('SELECT app_name, attr0, attr1, os FROM client_info')->fetch(PDO::FETCH_NUM), 'stored client information');
    },

    'register_checks_name_email_and_password' => function (Service $svc) {
        // A name taken in one spelling is taken in all: case, width and outer spaces of any kind do not count.
        $spellings = ['  Writer Li  ' => 'writer LI', 'ＡＢＣ写手' => 'ａｂｃ写手', 'ÉCRIVAIN' => 'écrivain', 'ПИСАТЕЛЬ' => ' писатель',
            'u1' => "u1\u{3000}", "\u{A0}Ｕ２" => 'u2', 'STRAẞE' => "straße\u{2003}", 'ﬁle' => 'FILE'];
        foreach ($spellings as $name => $taken) {
            same(['0', 'USER_EXISTS'], [code($svc->register($name)), code($svc->register($taken))], "register '$name', then '$taken'");
        }
        // [user name, password, e-mail, error code]
        foreach ([['   ', 'secret1', 'a@b.cn', 'BAD_USERNAME'], ['新作者', 'short', 'a@b.cn', 'BAD_PASSWORD'],
                     ['新作者', 'secret1', 'not-an-email', 'BAD_EMAIL'], ['新作者', 'secret1', '', 'BAD_EMAIL'],
                     ['新作者', 'secret1', 'a@b', 'BAD_EMAIL'], ['六位密码', '123456', '作者@mail.example.cn', '0']] as [$name, $pw, $email, $code]) {
            same($code, code($svc->register($name, $pw, $email)), "register '$name' '$pw' '$email'");
        }
        // A password not encrypted the client's way (a fixed block that does not decrypt: a random one now and
        // then does), odd hex, not hex, plain text, or the wrong crypt flag.
        $raw = fn (string $pw, string $crypt = '1') => code($svc->api('&a=register&username=' . $svc->name('x')
            . "&email=a%40b.cn&password=$pw&crypt=$crypt"));
        $good = encryptPassword('secret1');
        same(['BAD_PASSWORD', 'BAD_PASSWORD', 'BAD_PASSWORD', 'BAD_PASSWORD', 'BAD_CRYPT', 'BAD_CRYPT'], [$raw(str_repeat('1', 32)), $raw('abc'),
            $raw(str_repeat('zz', 16)), $raw('secret1'), $raw($good, '0'), $raw($good, '')], 'refused passwords');
        $hash = (string)$svc->one("SELECT password_hash FROM users WHERE username='六位密码'");
        check(password_verify('123456', $hash) && !str_contains($hash, '123456'), 'only a hash is stored');
    },

    'login_and_heartbeat_sessions' => function (Service $svc) {
        $svc->register('Heart Beat', 'pass word 1');
        $a = $svc->login(' HEART beat ', 'pass word 1');
        check(preg_match('/^[0-9a-f]{32}$/', $a['uid']) && preg_match('/^[0-9a-f]{32}$/', $a['sid']), 'tokens are 32 hex');
        same(['Heart Beat', '0'], [$a['username'], $a['amt']], 'stored user name and amt returned');
        $login = fn (string $name, string $pw) => code($svc->signIn($name, $pw));
        same(array_fill(0, 3, 'LOGIN_FAILED'), [$login('Heart Beat', 'wrong pass'), $login('Heart Beat', 'x'),
            $login('nobody', 'pass word 1')], 'wrong passwords, unknown user');
        $hb = fn (array $s) => $svc->api("&a=heartbeat&uid={$s['uid']}&username=Heart%20Beat&sid={$s['sid']}&version=4.31");
        [$h1, $h2] = [$hb($a), $hb($a)];
        check(code($h1) === '0' && preg_match('/^[0-9a-f]{32}$/', $h1['tid']) && $h1['tid'] !== $h2['tid'], 'a fresh ticket each heartbeat');
        $b = $svc->login('heart beat', 'pass word 1');
        same(['-3', '-3', '0', '-2', '-2'], [code($hb($a)), code($svc->beginPull($a, 0)), code($hb($b)),
            code($hb(['uid' => $b['uid'], 'sid' => token()])), code($hb(['uid' => token(), 'sid' => $b['sid']]))],
            'replaced session (heartbeat, sync), new session, unknown session, session of another uid');
        // a session ends after two hours unseen: b a minute past them, c a minute before
        $idle = fn (array $s, int $seconds) => $svc->db()->exec("UPDATE sessions SET last_seen=last_seen-$seconds WHERE sid='{$s['sid']}'");
        [, $expired, $c] = [$idle($b, 7260), code($hb($b)), $svc->login('Heart Beat', 'pass word 1')];
        same(['-2', 1, '0', true, '-2', 'LOGIN_FAILED', '0'], [$expired, $idle($c, 7140), code($hb($c)), admin('reset-password',
            'HEART beat', 'new secret'), code($hb($c)), $login('Heart Beat', 'pass word 1'), code($hb($svc->login('Heart Beat', 'new secret')))],
            'idle sessions; the operator resets the password: sessions end, the old password fails, the new one signs in');
    },

    'web_sign_in_ticket_is_single_use' => function (Service $svc) {
        $s = $svc->newUser('web');
        $ticket = fn () => $svc->ok("&a=heartbeat&uid={$s['uid']}&username=x&sid={$s['sid']}&version=4.31")['tid'];
        $page = fn (string $t) => $svc->request('GET', "/index.php?g=Inkboat&m=user&a=loginByTid&tid=$t");
        $first = $page($used = $ticket());
        check($first['status'] === 200 && str_contains($first['body'], htmlspecialchars($s['username'])), 'ticket accepted');
        $svc->db()->exec("UPDATE web_tickets SET expires=expires-1000 WHERE tid='" . ($expired = $ticket()) . "'");
        foreach (['used twice' => $used, 'unknown' => token(), 'hostile' => "'%20OR%201=1--", 'expired' => $expired] as $what => $t) {
            same(403, $page($t)['status'], "$what ticket");
        }
        same([200, 200, 200], array_map(fn ($q) => $svc->request('GET', "/index.php?$q")['status'],
            ['g=user&m=login&a=forgot_password', 'g=Inkboat&m=Redirect&a=redirecteshop', '']), 'other pages');
    },

    'hostile_parameters_get_error_answers' => function (Service $svc) {
        $s = $svc->newUser('hostile');
        $evil = ["' OR '1'='1", "x'); DROP TABLE users; --", '%00', '%FF%FE', str_repeat('%E5%BC%A0', 3000), '-1', str_repeat('9', 31)];
        // Each action with good parameters; each in turn is replaced by each hostile value.
        [$u, $pw, $rc] = ["uid={$s['uid']}&sid={$s['sid']}", encryptPassword('secret1'), token()];
        $templates = ['register' => "username=x&password=$pw&email=a%40b.cn&crypt=1",
            'login' => "username=x&password=$pw&version=4.31&rnd=abcd&crypt=1", 'beginPull' => "$u&usn=0&extparams=&version=4.31",
            'heartbeat lastnews lastnewsdone' => "$u&username=x&version=4.31", 'beginPush' => "$u&usn=0&us=0&extparams=&version=4.31",
            'pullDetail' => "$u&reqcode=$rc&page=0&pagesize=10", 'commitPush finishPull cancelSync pushDetail' => "$u&reqcode=$rc",
            'pushActionLog pushBookLog' => $u,
            'postclientinfo' => "sid={$s['sid']}&app_name=x&app_ver=4.31&attr0=Quit&attr1={}&attr2={}&attr3=m&os=windows"];
        $bodies = ['pushDetail' => requestBody([bookItem("x'; DELETE FROM sync_rows; --", 1)]),
            'pushActionLog' => requestBody([['action' => "a' OR 1=1 --", 'adate' => '2026-12-06T00:00:00', 'triggerCount' => 1]]),
            'pushBookLog' => requestBody([['bookId' => "b\"); DROP TABLE book_logs; --", 'adate' => '2026-12-06T00:00:00']])];
        $actions = array_merge(...array_map(fn ($names, $query) => array_fill_keys(explode(' ', $names), $query),
            array_keys($templates), $templates));
        foreach ($actions as $action => $query) {
            foreach (explode('&', $query) as $i => $item) {
                foreach ($evil as $value) {
                    $items = explode('&', $query);
                    $items[$i] = ($key = strtok($item, '=')) . '=' . ($value[0] === '%' ? $value : rawurlencode($value));
                    $doc = $svc->api("&a=$action&" . implode('&', $items), $bodies[$action] ?? null);   // the wire checks inside
                    $mustFail = in_array($key, ['uid', 'sid', 'reqcode', 'page', 'pagesize', 'usn', 'password', 'crypt'], true)
                        && !in_array($action, ['lastnews', 'postclientinfo'], true);
                    check(!$mustFail || $doc['head']['isError'], "$action with $key=" . substr($value, 0, 20));
                }
            }
        }
        // Still intact afterwards, and quotes are stored as text.
        same('0', code($svc->call('heartbeat', $s, '&username=x&version=4.31')), 'session alive');
        foreach ($bodies as $action => $body) {
            $rest = $action === 'pushDetail' ? '&reqcode=' . $svc->beginPush($s, 0)['reqcode'] : '';
            same('0', code($svc->api("&a=$action&uid={$s['uid']}&sid={$s['sid']}$rest", $body)), "$action with quotes");
        }
        same(["a' OR 1=1 --", 1], [$svc->one("SELECT action FROM action_logs WHERE uid='{$s['uid']}'"),
            $svc->one('SELECT COUNT(*) FROM book_logs')], 'quotes stored as text, book logs intact');
        same(['-2', '-2', '-2', '-2'], array_map(fn ($tail) => code($svc->api($tail)), ["&a=beginPull&uid={$s['uid']}&usn=0",
            "&a=beginPull&sid={$s['sid']}&usn=0", "&a=pushActionLog&uid={$s['uid']}", "&a=lastnewsdone&uid={$s['uid']}&username=x"]),
            'missing sid or uid');
    },

    'malformed_bodies_are_refused' => function (Service $svc) {
        $s = $svc->newUser('body');
        $bodies = ['', '{', 'null', '[]', '"text"', '{"data":{}}', '{"data":"x"}', '{"data":[1]}', '{"data":[[]]}',
            '{"method":"","data":[{"datatype":"book"}]}', str_repeat('[', 200) . str_repeat(']', 200),
            "a=1&b=2&data[]=3", "\xEF\xBB\xBF{\"data\":[7]}", '{"data":[{"action":"x","adate":"2026-13-45"}]}',
            requestBody([['action' => 'act&x[]=1&' . str_repeat('a=b&', 500), 'adate' => '2026-12-06T00:00:00', 'triggerCount' => 1]])];
        foreach (['pushActionLog', 'pushBookLog'] as $action) {   // null: no body at all
            same(array_fill(0, count($bodies) + 1, true), array_map(fn ($body) => $svc->api("&a=$action&uid={$s['uid']}&sid={$s['sid']}",
                $body)['head']['isError'], [...$bodies, null]), "$action with each malformed body");
        }
        // Over 16 MiB is refused; a big body under the limit (beyond PHP's own form limit) is still read; text full of
        // "&" and "=" is not mistaken for a form.
        $log = fn (string $body) => code($svc->api("&a=pushActionLog&uid={$s['uid']}&sid={$s['sid']}", $body));
        same(['BODY_TOO_LARGE', '0', '0', 'act&x[]=1&a=b'], [$log('{"method":"","data":[' . str_repeat(' ', 16 * 1024 * 1024) . ']}'),
            $log('{"method":"","data":[' . str_repeat(' ', 9 * 1024 * 1024) . ']}'), $log(requestBody([['action' => 'act&x[]=1&a=b',
            'adate' => '2026-12-06T00:00:00', 'triggerCount' => 2, 'attribute1' => null, 'attribute2' => str_repeat('&nbsp;', 600),
            'create_time' => null, 'update_time' => '2026-12-06T10:00:00']])), $svc->one("SELECT action FROM action_logs WHERE uid='{$s['uid']}'")],
            'a huge body, a 9 MiB body read whole, form-like JSON accepted and stored verbatim');
    },

    'news_links_and_read_marks' => function (Service $svc) {
        foreach ([['news-add', '新版发布', '4.4 版发布了', "第一段\n第二段"], ['news-add', '写作大赛', '欢迎参加, "quoted"'],
                     ['link-add', '官网商城', 'https://shop.example.cn/a?b=1&c=2', '2'], ['link-add', '帮助', 'https://help.example.cn/', '1'],
                     ['shop-url', 'https://shop.example.cn/']] as $args) {
            check(admin(...$args), implode(' ', $args));
        }
        check(!admin('link-add', 'bad', 'javascript:alert(1)'), 'non-http link refused');
        same([['link_name' => '帮助', 'link_url' => 'https://help.example.cn/'], ['link_name' => '官网商城',
            'link_url' => 'https://shop.example.cn/a?b=1&c=2']], $svc->ok('&a=eshoplinks')['links'], 'links in order');

        $public = fn () => $svc->ok('&a=lastnews&uid=0&username=&sid=&version=4.31')['news'];
        same([['post_title' => '写作大赛', 'post_excerpt' => '欢迎参加, "quoted"', 'tid' => '2', 'smeta' => ''], '1'],
            [$public()[0], $public()[1]['tid']], 'public news, newest first');
        $s = $svc->newUser('reader');
        // lastnews carries the user name unencoded; the client's network layer escapes it on the wire.
        $tail = "&uid={$s['uid']}&username=%E8%AF%BB%20%E8%80%85&sid={$s['sid']}&version=4.31";
        $news = fn () => array_column($svc->ok("&a=lastnews$tail")['news'], 'tid');
        checks([['unread news', ['2', '1'], $news()], ['read news no longer offered', [], $svc->ok("&a=lastnewsdone$tail") ? $news() : null],
            ['public news unchanged', 2, count($public())], ['only the newer item', ['3'], admin('news-add', '第三条', '新消息') ? $news() : null]]);
        // Marked up to the newest item the client showed, never back, never beyond the newest there is:
        // [item added while the client shows 3, newest id shown, item added afterwards, unread then]
        foreach ([['四', '3', null, ['4']], [null, '1', null, ['4']], [null, '99', '五', ['5']]] as [$before, $shown, $after, $unread]) {
            $before && admin('news-add', $before, '');
            $svc->ok("&a=lastnewsdone$tail&lastid=$shown");
            $after && admin('news-add', $after, '');
            same($unread, $news(), "unread after marking up to $shown");
        }
        $get = fn (string $q) => $svc->request('GET', "/index.php?$q");
        [$article, $missing, $shop] = [$get('g=&m=article&a=index&id=1'), $get('g=&m=article&a=index&id=99'),
            $get('g=Inkboat&m=Redirect&a=redirecteshop')];
        same([200, true, 404, 302, 'https://shop.example.cn/'], [$article['status'], str_contains($article['body'], '<p>第二段</p>'),
            $missing['status'], $shop['status'], $shop['headers']['location'] ?? ''], 'article page, missing article, shop redirect');
    },

    'fault_rules_from_the_file_and_the_environment' => function (Service $svc) {
        $s = $svc->newUser('fault');
        $tail = "&a=heartbeat&uid={$s['uid']}&username=f&sid={$s['sid']}&version=4.31";
        $under = function (string $rules, callable $call) use ($svc) {
            $svc->setFaults($rules);
            return $call(microtime(true));
        };
        checks([['bad checksum', [false, '0'], $under('heartbeat=badcrc', fn () => [($d = $svc->api($tail, null, false))['head']['crc']
            === expectedCrc("g=Inkboat&m=WebApi$tail"), code($d)])],
            ['answer dropped', 500, $under('heartbeat=drop_after', fn () => $svc->request('GET', "/index.php?g=Inkboat&m=WebApi$tail")['status'])],
            ['delayed answer', ['0', true], $under('eshoplinks=delay_ms=300', fn ($t) => [code($svc->api('&a=eshoplinks')), microtime(true) - $t >= 0.3])],
            ['held once its session is valid', ['0', true], $under('heartbeat=hold_ms=300', fn ($t) => [code($svc->api($tail)), microtime(true) - $t >= 0.3])]]);
        // [rules, error codes of heartbeats in a row]; malformed rules are skipped, the ones around them still apply
        $rows = [["heartbeat=fail\n", ['FAULT_INJECTED', 'FAULT_INJECTED']],
            ["# note\n heartbeat : 2 = fail ; bogus rule,heartbeat:x=fail,=fail\nheartbeat=explode", ['0', 'FAULT_INJECTED', '0']],
            ['heartbeat=kick', ['-3']], ['', ['-3']]];
        foreach ($rows as [$rules, $codes]) {
            $svc->setFaults($rules);
            same($codes, array_map(fn () => code($svc->api($tail)), $codes), "heartbeats under '$rules'");
        }

        // Started as a host starts it (no hook loaded ahead), the service knows no fault rules, whatever the
        // environment says: a kick is no action and the rules do nothing.
        $rules = 'heartbeat=kick;eshoplinks=fail;kick=fail';
        $port = trim(shell_exec('php -r \'$s=stream_socket_server("tcp://127.0.0.1:0"); echo explode(":", stream_socket_get_name($s, false))[1];\''));
        $server = dirname(__DIR__);
        $proc = proc_open(['env', "INKBOAT_SERVICE_FAULTS=$rules", 'INKBOAT_SERVICE_FAULTS_FILE=', 'php', '-S', "127.0.0.1:$port", '-t',
            $server, "$server/router.php"], [['file', '/dev/null', 'r'], ['file', '/dev/null', 'w'], ['file', '/dev/null', 'w']], $pipes);
        try {
            $host = clone $svc;   // the same names and tokens in the transcript
            $host->base = "http://127.0.0.1:$port";
            for ($i = 0; $i < 100 && !@fsockopen('127.0.0.1', (int)$port); $i++) {
                usleep(50000);   // waiting for the port to open, not for an outcome
            }
            $s = $host->login($s['username']);
            same(['UNKNOWN_ACTION', '0', '0'], [code($host->api("&a=kick&uid={$s['uid']}")), code($host->api('&a=eshoplinks')),
                code($host->api("&a=heartbeat&uid={$s['uid']}&username=f&sid={$s['sid']}&version=4.31"))], 'production start');
        } finally {
            proc_terminate($proc);
            proc_close($proc);
        }
    },
]);
