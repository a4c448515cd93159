<?php
// Entry for a web server with PHP-FPM (index.php?g=Inkboat&m=WebApi&a=...).
declare(strict_types=1);

require __DIR__ . '/lib/bootstrap.php';

Inkboat\handleRequest();
