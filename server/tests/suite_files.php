<?php
// Upgrade files: publishing with admin.php, and downloads with HEAD and resumable ranges.
declare(strict_types=1);

require __DIR__ . '/lib.php';

runTests([
    'publishing_writes_the_update_information' => function (Service $svc) {
        mkdir($work = $svc->dataDir . '/work');
        file_put_contents("$work/Inkboat-4.40.zip", random_bytes(1000));
        check(admin('publish-app', "$work/Inkboat-4.40.zip", '4.40', "新版4.4, 修复\"导出\"\n第2行", '4.35'), 'publish-app');
        same("version=\"4.40\"\nsetupfile=\"Inkboat-4.40.zip\"\n"
            . "news=\"\\x65b0\\x7248\\x34.4, \\x4fee\\x590d\\\"\\x5bfc\\x51fa\\\"\\n\\x7b2c\\x32\\x884c\"\nforceVersion=\"4.35\"\n",
            @file_get_contents($svc->dataDir . '/app/updateV4.txt'), 'updateV4.txt');
        same(file_get_contents("$work/Inkboat-4.40.zip"), @file_get_contents($svc->dataDir . '/app/Inkboat-4.40.zip'), 'file copied');
        // A new major reaches the clients of the old one only through their file.
        file_put_contents("$work/Inkboat-5.0.zip", 'PK');
        check(admin('publish-app', "$work/Inkboat-5.0.zip", '5.0', 'n'), 'publish-app 5.0');
        check(str_contains((string)@file_get_contents($svc->dataDir . '/app/updateV5.txt'), 'version="5.0"'), 'updateV5.txt');
        check(admin('publish-app', "$work/Inkboat-5.0.zip", '5.0', 'n', '', '4'), 'publish-app 5.0 for 4');
        check(str_contains((string)@file_get_contents($svc->dataDir . '/app/updateV4.txt'), 'version="5.0"'), 'updateV4.txt of 5.0');
        check(!admin('publish-app', "$work/Inkboat-5.0.zip", '5.0', 'n', '', '../4'), 'refused major');
        file_put_contents("$work/material-2.1.zip", 'PK');
        check(admin('publish-material', "$work/material-2.1.zip", '2.1', 'Materials'), 'publish-material');
        $info = "version=\"2.1\"\nsetupfile=\"material-2.1.zip\"\nnews=\"Materials\"\nforceVersion=\"\"\n";
        same($info, @file_get_contents($svc->dataDir . '/app/updateMV4.txt'), 'updateMV4.txt');
        $r = $svc->request('GET', '/app/updateMV4.txt');
        same([200, $info], [$r['status'], $r['body']], 'served');
        copy("$work/material-2.1.zip", "$work/素材.zip");
        foreach ([["$work/素材.zip", '2.2'], ["$work/material-2.1.zip", 'v2'], ["$work/none.zip", '2.3']] as [$file, $v]) {
            check(!admin('publish-material', $file, $v, 'x'), "refused: $file $v");
        }
    },

    'downloads_support_head_and_ranges' => function (Service $svc) {
        file_put_contents($file = $svc->dataDir . '/app/setup.bin', $data = random_bytes($size = 300000));
        $get = fn (array $h = [], string $m = 'GET') => $svc->request($m, '/app/setup.bin', null, $h);
        [$full, $head] = [$get(), $get([], 'HEAD')];
        $modified = gmdate('D, d M Y H:i:s', filemtime($file)) . ' GMT';
        foreach (['GET' => [$full, $data], 'HEAD' => [$head, '']] as $m => [$r, $body]) {
            $h = $r['headers'];
            same([200, true, (string)$size, 'bytes', $modified], [$r['status'], $r['body'] === $body, $h['content-length'] ?? null,
                $h['accept-ranges'] ?? null, $h['last-modified'] ?? null], "$m of the whole file");
        }
        $etag = $full['headers']['etag'] ?? '';
        // [request headers, status, first byte, last byte]: a 416 names the size; a range not understood brings the whole file
        $rows = [
            [['Range' => 'bytes=0-99'], 206, 0, 99],
            [['Range' => 'bytes=100-'], 206, 100, $size - 1],
            [['Range' => 'bytes=-50'], 206, $size - 50, $size - 1],
            [['Range' => 'bytes=0-' . ($size * 10)], 206, 0, $size - 1],
            [['Range' => 'bytes=' . ($size - 1) . '-'], 206, $size - 1, $size - 1],
            [['Range' => "bytes=$size-"], 416, 0, 0],
            [['Range' => 'bytes=' . ($size + 10) . '-' . ($size + 20)], 416, 0, 0],
            [['Range' => 'bytes=-0'], 416, 0, 0],
            [['Range' => 'bytes=10-5'], 200, 0, $size - 1],
            [['Range' => 'bytes=0-1,5-6'], 200, 0, $size - 1],
            [['Range' => 'items=0-1'], 200, 0, $size - 1],
            // the file changed meanwhile: If-Range makes the service send it whole again
            [['Range' => 'bytes=10-', 'If-Range' => '"old-etag"'], 200, 0, $size - 1],
            [['Range' => 'bytes=10-', 'If-Range' => $etag], 206, 10, $size - 1],
        ];
        foreach ($rows as [$headers, $status, $first, $last]) {
            $r = $get($headers);
            $range = [206 => "bytes $first-$last/$size", 416 => "bytes */$size", 200 => null][$status];
            $body = [206 => substr($data, $first, $last - $first + 1), 416 => '', 200 => $data][$status];
            same([$status, $range, true], [$r['status'], $r['headers']['content-range'] ?? null, $r['body'] === $body],
                implode(', ', $headers));
        }
        // An interrupted download resumes from the size of what it holds.
        same(true, substr($full['body'], 0, 123457) . $get(['Range' => 'bytes=123457-'])['body'] === $data, 'resumed download identical');
        same(405, $get([], 'POST')['status'], 'POST refused');
    },

    'the_data_folder_never_lies_in_the_source_tree' => function (Service $svc) {
        $inside = dirname(__DIR__, 2) . '/data/service-' . bin2hex(random_bytes(4));
        foreach ([$inside, dirname(__DIR__) . '/../' . basename(dirname(__DIR__)) . '/x' . bin2hex(random_bytes(4))] as $dir) {
            // on the default store, which lives in the data folder (a database server needs none)
            exec('INKBOAT_SERVER_DSN= INKBOAT_SERVER_DATA=' . escapeshellarg($dir) . ' php ' . escapeshellarg(dirname(__DIR__) . '/admin.php')
                . ' users 2>&1', $out, $rc);
            same(1, $rc, "refused: $dir");
            check(!file_exists($dir), "not created: $dir");
            is_dir($dir) && rmdir($dir);
        }
    },

    'nothing_outside_app_is_served' => function (Service $svc) {
        file_put_contents($svc->dataDir . '/secret.txt', 'secret');
        file_put_contents($svc->dataDir . '/app/.hidden', 'hidden');
        foreach (['/app/../secret.txt', '/app/%2e%2e/secret.txt', '/app/..%2fsecret.txt', '/app/.hidden', '/app/',
                     '/app/nosuch.zip', '/app/a/../../secret.txt', '/lib/Api.php', '/admin.php', '/tests/lib.php',
                     '/router.php/x', '/app/setup.bin%00.txt'] as $path) {
            $r = $svc->request('GET', $path);
            same(404, $r['status'], "status of $path");
            check(!str_contains($r['body'], 'secret') && !str_contains($r['body'], '<?php'), "no content from $path");
        }
    },
]);
