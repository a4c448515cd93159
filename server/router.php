<?php
// Front controller for `php -S 127.0.0.1:8765 -t server server/router.php`; under a normal web
// server route every request (including /app/*) to this file or to index.php.
declare(strict_types=1);

require __DIR__ . '/lib/bootstrap.php';

Inkboat\handleRequest();
