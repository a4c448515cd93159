<?php
// Upgrade files: publishing with admin.php, and downloads with HEAD and resumable ranges.
declare(strict_types=1);

require __DIR__ . '/lib.php';

runTests([
    'publishing_writes_the_update_information' => function (Service $svc) {
        mkdir($work = $svc->dataDir . '/work');
        file_put_contents("$work/Inkboat-4.40.zip", $zip = random_bytes(1000));
        foreach (['Inkboat-5.0.zip', 'material-2.1.zip', '素材.zip'] as $file) {
            file_put_contents("$work/$file", 'PK');
        }
        $info = fn (string $file) => (string)@file_get_contents("{$svc->dataDir}/app/$file");
        $material = "version=\"2.1\"\nsetupfile=\"material-2.1.zip\"\nnews=\"Materials\"\nforceVersion=\"\"\n";
        // [what, expected, actual], in order: a new major reaches the clients of the old one only through their file
        checks([['publish-app', true, admin('publish-app', "$work/Inkboat-4.40.zip", '4.40', "新版4.4, 修复\"导出\"\n第2行", '4.35')],
            ['updateV4.txt', "version=\"4.40\"\nsetupfile=\"Inkboat-4.40.zip\"\nnews=\"\\x65b0\\x7248\\x34.4, \\x4fee\\x590d\\\"\\x5bfc"
                . "\\x51fa\\\"\\n\\x7b2c\\x32\\x884c\"\nforceVersion=\"4.35\"\n", $info('updateV4.txt')],
            ['file copied', $zip, $info('Inkboat-4.40.zip')],
            ['5.0 published, in updateV5.txt', [true, true], [admin('publish-app', "$work/Inkboat-5.0.zip", '5.0', 'n'),
                str_contains($info('updateV5.txt'), 'version="5.0"')]],
            ['5.0 published for 4, in updateV4.txt; major ../4 refused', [true, true, false],
                [admin('publish-app', "$work/Inkboat-5.0.zip", '5.0', 'n', '', '4'), str_contains($info('updateV4.txt'), 'version="5.0"'),
                admin('publish-app', "$work/Inkboat-5.0.zip", '5.0', 'n', '', '../4')]],
            ['publish-material, updateMV4.txt, served', [true, $material, "200 $material"], [admin('publish-material',
                "$work/material-2.1.zip", '2.1', 'Materials'), $info('updateMV4.txt'), implode(' ', [($r = $svc->request('GET',
                '/app/updateMV4.txt'))['status'], $r['body']])]],
            ['refused: a file name not ASCII, a version not numeric, a missing file', [false, false, false], [admin('publish-material',
                "$work/素材.zip", '2.2', 'x'), admin('publish-material', "$work/material-2.1.zip", 'v2', 'x'),
                admin('publish-material', "$work/none.zip", '2.3', 'x')]]]);
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
        // [Range, status, first byte, last byte, If-Range]: a 416 names the size; a range not understood brings the whole
        // file, and so does one of a file that changed meanwhile (If-Range); an interrupted download resumes from what it holds
        $rows = [['bytes=0-99', 206, 0, 99], ['bytes=100-', 206, 100, $size - 1], ['bytes=-50', 206, $size - 50, $size - 1],
            ['bytes=0-' . ($size * 10), 206, 0, $size - 1], ['bytes=' . ($size - 1) . '-', 206, $size - 1, $size - 1],
            ["bytes=$size-", 416], ['bytes=' . ($size + 10) . '-' . ($size + 20), 416], ['bytes=-0', 416], ['bytes=10-5', 200],
            ['bytes=0-1,5-6', 200], ['items=0-1', 200], ['bytes=10-', 200, 0, 0, '"old-etag"'],
            ['bytes=10-', 206, 10, $size - 1, $full['headers']['etag'] ?? '']];
        foreach ($rows as $row) {
            [$range, $status, $first, $last, $ifRange] = $row + [2 => 0, 3 => 0, 4 => null];
            $r = $get(['Range' => $range] + ($ifRange === null ? [] : ['If-Range' => $ifRange]));
            same([$status, [206 => "bytes $first-$last/$size", 416 => "bytes */$size", 200 => null][$status], true], [$r['status'],
                $r['headers']['content-range'] ?? null, $r['body'] === [206 => substr($data, $first, $last - $first + 1),
                416 => '', 200 => $data][$status]], "$range $ifRange");
        }
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
