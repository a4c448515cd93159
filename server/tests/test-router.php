<?php
// The service as the test harnesses start it under php -S: the fault hooks first, then the
// service's own router. Hosts start router.php or index.php, which never load the hooks.
declare(strict_types=1);

require_once __DIR__ . '/Faults.php';
require dirname(__DIR__) . '/router.php';
