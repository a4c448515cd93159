<?php
// After a protocol run on the stack (INKBOAT_TEST_STACK): signs in and out of trouble once more,
// then no log the stack wrote may hold a password cipher or a session id of the run.
declare(strict_types=1);

require __DIR__ . '/lib.php';

$GLOBALS['current'] = 'no_secrets_in_any_log';
$svc = new Service(getenv('INKBOAT_TEST_TLS_BASE') ?: exit(2), getenv('INKBOAT_TEST_DATA') ?: exit(2));
$stack = getenv('INKBOAT_TEST_STACK') ?: exit(2);
$svc->register($name = $svc->name('logs'), 'log secret 1');
$s = $svc->login($name, 'log secret 1');
// [call, what it ends in]: errors are where a service tends to write the request down
$svc->signIn($name, 'wrong secret');
$svc->call('heartbeat', $s, '&username=x&version=4.31');
$svc->call('pushDetail', $s, '&reqcode=' . $svc->beginPush($s, 0)['reqcode'], [['datatype' => 'bogus']]);
$svc->call('pullDetail', $s, '&reqcode=' . token() . '&page=0&pagesize=10');
$svc->request('GET', "/nothing.php?uid={$s['uid']}&sid={$s['sid']}");
$svc->request('GET', "/index.php?g=Inkboat&m=WebApi&a=heartbeat&uid={$s['uid']}&sid={$s['sid']}&x=" . str_repeat('A', 9000));

$secrets = array_merge(array_map('encryptPassword', ['log secret 1', 'wrong secret', 'secret1', 'wrong pass']),
    $svc->db()->query('SELECT sid FROM sessions')->fetchAll(PDO::FETCH_COLUMN));
check(count($secrets) > 5, 'the run left sessions to look for');
$logs = 0;
$files = new RecursiveIteratorIterator(new RecursiveDirectoryIterator($stack, FilesystemIterator::SKIP_DOTS));
foreach ($files as $file) {
    // the stores and the certificates are no logs
    if (!$file->isFile() || preg_match('#/(postgres/data|data|tls|nginx/tmp)/#', $file->getPathname())) {
        continue;
    }
    $logs++;
    $text = (string)file_get_contents($file->getPathname());
    foreach ($secrets as $secret) {
        check(!str_contains($text, $secret), "{$file->getPathname()} holds $secret");
    }
}
check($logs >= 5 && filesize("$stack/nginx/inkboat-access.log") > 0, "logs found: $logs");
echo ($GLOBALS['failures'] === 0 ? 'PASS' : 'FAIL') . " no_secrets_in_any_log ($logs files)\n";
exit($GLOBALS['failures'] === 0 ? 0 : 1);
