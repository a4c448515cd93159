<?php
// nginx's own limit on sign-ins and registrations per address, through the shipped stack with its
// rate set to one a minute (STACK_AUTH_RATE): the burst of the shipped site passes, the next is refused.
declare(strict_types=1);

require __DIR__ . '/lib.php';

runTests([
    'sign_ins_and_registrations_past_the_burst_of_an_address_are_refused' => function (Service $svc) {
        preg_match('/zone=inkboat_auth burst=(\d+)/', (string)file_get_contents(dirname(__DIR__) . '/deploy/nginx-inkboat.conf'), $m);
        $burst = (int)($m[1] ?? 0);
        check($burst > 0, 'burst of the shipped site');
        // without a name the service answers at once (no bcrypt); nginx counts the request all the same
        $status = fn (string $action) => $svc->request('GET', "/index.php?g=Inkboat&m=WebApi&a=$action")['status'];
        // [address, actions in a row, HTTP status of each]
        foreach ([['127.0.0.2', array_fill(0, $burst + 2, 'login'), [...array_fill(0, $burst + 1, 200), 429]],
                     ['127.0.0.2', ['register', 'eshoplinks'], [429, 200]],
                     ['127.0.0.3', ['register', 'login'], [200, 200]]] as [$from, $actions, $expected]) {
            $svc->from = $from;
            same($expected, array_map($status, $actions), implode(' ', $actions) . " from $from");
        }
    },
]);
