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
        file_put_contents("$work/material-2.1.zip", 'PK');
        check(admin('publish-material', "$work/material-2.1.zip", '2.1', 'Materials'), 'publish-material');
        same("version=\"2.1\"\nsetupfile=\"material-2.1.zip\"\nnews=\"Materials\"\nforceVersion=\"\"\n",
            @file_get_contents($svc->dataDir . '/app/updateMV4.txt'), 'updateMV4.txt');
        $r = $svc->request('GET', '/app/updateMV4.txt');
        same([200, "version=\"2.1\"\nsetupfile=\"material-2.1.zip\"\nnews=\"Materials\"\nforceVersion=\"\"\n"],
            [$r['status'], $r['body']], 'served');
        copy("$work/material-2.1.zip", "$work/素材.zip");
        foreach ([["$work/素材.zip", '2.2'], ["$work/material-2.1.zip", 'v2'], ["$work/none.zip", '2.3']] as [$file, $v]) {
            check(!admin('publish-material', $file, $v, 'x'), "refused: $file $v");
        }
    },

    'downloads_support_head_and_ranges' => function (Service $svc) {
        $data = random_bytes(300000);
        $size = strlen($data);
        file_put_contents($svc->dataDir . '/app/setup.bin', $data);
        $get = fn (array $h = [], string $m = 'GET') => $svc->request($m, '/app/setup.bin', null, $h);
        $full = $get();
        same([200, $data], [$full['status'], $full['body']], 'whole file');
        same((string)$size, $full['headers']['content-length'] ?? null, 'Content-Length');
        same('bytes', $full['headers']['accept-ranges'] ?? null, 'Accept-Ranges');
        same(gmdate('D, d M Y H:i:s', filemtime($svc->dataDir . '/app/setup.bin')) . ' GMT',
            $full['headers']['last-modified'] ?? null, 'Last-Modified');
        $head = $get([], 'HEAD');
        same([200, (string)$size, ''], [$head['status'], $head['headers']['content-length'] ?? null, $head['body']], 'HEAD');

        // [Range header, status, first byte, last byte]
        $rows = [
            ['bytes=0-99', 206, 0, 99],
            ['bytes=100-', 206, 100, $size - 1],
            ['bytes=-50', 206, $size - 50, $size - 1],
            ["bytes=0-" . ($size * 10), 206, 0, $size - 1],
            ["bytes=" . ($size - 1) . '-', 206, $size - 1, $size - 1],
            ["bytes=$size-", 416, 0, 0],
            ['bytes=' . ($size + 10) . '-' . ($size + 20), 416, 0, 0],
            ['bytes=-0', 416, 0, 0],
            ['bytes=10-5', 200, 0, $size - 1],
            ['bytes=0-1,5-6', 200, 0, $size - 1],
            ['items=0-1', 200, 0, $size - 1],
        ];
        foreach ($rows as [$range, $status, $first, $last]) {
            $r = $get(['Range' => $range]);
            same($status, $r['status'], "status for $range");
            if ($status === 206) {
                same("bytes $first-$last/$size", $r['headers']['content-range'] ?? null, "Content-Range for $range");
                same(substr($data, $first, $last - $first + 1) === $r['body'], true, "bytes for $range");
            } elseif ($status === 416) {
                same(["bytes */$size", ''], [$r['headers']['content-range'] ?? null, $r['body']], "416 for $range");
            } else {
                same(true, $r['body'] === $data, "whole file for $range");
            }
        }
        // An interrupted download resumes from the size of what it holds.
        $part = substr($full['body'], 0, 123457);
        $rest = $get(['Range' => 'bytes=' . strlen($part) . '-']);
        same(true, $part . $rest['body'] === $data, 'resumed download is identical');
        // The file changed meanwhile: If-Range makes the service send it whole again.
        $r = $get(['Range' => 'bytes=10-', 'If-Range' => '"old-etag"']);
        same([200, true], [$r['status'], $r['body'] === $data], 'If-Range mismatch');
        $r = $get(['Range' => 'bytes=10-', 'If-Range' => $full['headers']['etag'] ?? '']);
        same(206, $r['status'], 'If-Range match');
        same(405, $get([], 'POST')['status'], 'POST refused');
    },

    'the_data_folder_never_lies_in_the_source_tree' => function (Service $svc) {
        $inside = dirname(__DIR__, 2) . '/data/service-' . bin2hex(random_bytes(4));
        foreach ([$inside, dirname(__DIR__) . '/../' . basename(dirname(__DIR__)) . '/x' . bin2hex(random_bytes(4))] as $dir) {
            exec('INKBOAT_SERVER_DATA=' . escapeshellarg($dir) . ' php ' . escapeshellarg(dirname(__DIR__) . '/admin.php')
                . ' users 2>&1', $out, $rc);
            same(1, $rc, "refused: $dir");
            check(!file_exists($dir), "not created: $dir");
            if (is_dir($dir)) {
                rmdir($dir);
            }
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
