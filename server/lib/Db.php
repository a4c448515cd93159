<?php
// PDO store on SQLite (one machine) or PostgreSQL (many FPM workers and hosts). Statements stay
// within SQL both accept; what differs per driver (locking, schema types, housekeeping) lives here.
declare(strict_types=1);

namespace Inkboat;

use PDO;

final class Db
{
    public const SCHEMA_VERSION = '5';

    public const ROW_COLUMNS = ['datatype', 'tid', 'ptid', 'nodetype', 'level', 'sort', 'title', 'category',
        'rtf', 'html', 'plaintext', 'attribute1', 'attribute2', 'attribute3', 'create_time', 'update_time',
        'origtid', 'usn', 'flag'];

    /** How long a worker waits for another worker's SQLite lock before it gives up. */
    private const BUSY_SECONDS = 20;

    public PDO $pdo;
    public bool $sqlite;
    public bool $pgsql;
    private bool $inTx = false;
    /** Whether this request has seen the schema at SCHEMA_VERSION (or brought it there). */
    private bool $schemaChecked = false;

    public function __construct(?string $dsn = null)
    {
        $dsn ??= Config::dsn();
        $this->sqlite = str_starts_with($dsn, 'sqlite:');
        $this->pgsql = str_starts_with($dsn, 'pgsql:');
        $this->pdo = new PDO($dsn, Config::dbUser(), Config::dbPassword(), [
            PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
            PDO::ATTR_DEFAULT_FETCH_MODE => PDO::FETCH_ASSOC,
            PDO::ATTR_TIMEOUT => self::BUSY_SECONDS,   // SQLite busy wait while another worker writes
            // Each worker keeps its connection: closing the last connection to a WAL file
            // checkpoints it, which would cost every request a full sync.
            PDO::ATTR_PERSISTENT => true,
        ] + ($this->pgsql ? [
            // One round trip per statement with its values sent apart (PQexecParams), not a
            // prepare, an execute and later a deallocate: most statements here run once per request.
            PDO::PGSQL_ATTR_DISABLE_PREPARES => true,
        ] : []));
        // A request that died inside a transaction must not leave it open for the next one.
        if ($this->sqlite) {
            try {
                $this->pdo->exec('ROLLBACK');
            } catch (\PDOException) {
            }
        } elseif ($this->pdo->inTransaction()) {
            $this->pdo->rollBack();
        }
    }

    /** A statement run once the schema is known to be current (checked on a request's first one). */
    private function run(string $sql, array $args): \PDOStatement
    {
        $this->schemaChecked || $this->ensureSchema();
        $st = $this->pdo->prepare($sql);
        $st->execute($args);
        return $st;
    }

    /** @return array<int,array<string,mixed>> */
    public function all(string $sql, array $args = []): array
    {
        return $this->run($sql, $args)->fetchAll();
    }

    public function one(string $sql, array $args = []): ?array
    {
        $st = $this->run($sql, $args);
        $row = $st->fetch();
        $st->closeCursor();
        return $row === false ? null : $row;
    }

    /**
     * The row of $sql (at most one; a row of nulls counts as none) read together with the schema
     * version: a request whose first statement this is makes no round trip of its own for the
     * check. $with: a WITH clause put ahead (its arguments first in $args).
     */
    public function oneWithSchema(string $sql, array $args = [], string $with = ''): ?array
    {
        try {
            $st = $this->pdo->prepare("$with SELECT m.value AS schema_version, q.* FROM ink_meta m
                LEFT JOIN ($sql) q ON 1=1 WHERE m.name='schema'");
            $st->execute($args);
            $row = $st->fetch();
            $st->closeCursor();
        } catch (\PDOException $e) {
            if ($this->schemaChecked) {
                throw $e;
            }
            $row = false;   // a new store: no tables yet
        }
        if ($row === false || (string)$row['schema_version'] !== self::SCHEMA_VERSION) {
            if ($this->schemaChecked) {
                throw new \RuntimeException('schema version ' . ($row['schema_version'] ?? 'none') . ' after the upgrade');
            }
            $this->ensureSchema();
            return $this->oneWithSchema($sql, $args, $with);
        }
        $this->schemaChecked = true;
        unset($row['schema_version']);
        return array_filter($row, fn ($v) => $v !== null) === [] ? null : $row;
    }

    public function value(string $sql, array $args = []): mixed
    {
        $row = $this->one($sql, $args);
        return $row === null ? null : reset($row);
    }

    public function exec(string $sql, array $args = []): int
    {
        return $this->run($sql, $args)->rowCount();
    }

    /**
     * Runs $fn inside a write transaction. SQLite takes the one write lock at BEGIN IMMEDIATE, so
     * two workers never both read a state and then race to change it. PostgreSQL runs writes side
     * by side (READ COMMITTED); what must not interleave takes a row lock with lockUser().
     */
    public function write(callable $fn): mixed
    {
        if ($this->inTx) {
            return $fn($this);
        }
        $this->schemaChecked || $this->ensureSchema();
        if ($this->sqlite) {
            $this->pdo->exec('BEGIN IMMEDIATE');
        } else {
            $this->pdo->beginTransaction();
        }
        $this->inTx = true;
        try {
            $result = $fn($this);
            $this->sqlite ? $this->pdo->exec('COMMIT') : $this->pdo->commit();
            $this->inTx = false;
            return $result;
        } catch (\Throwable $e) {
            $this->inTx = false;
            try {
                $this->sqlite ? $this->pdo->exec('ROLLBACK') : $this->pdo->rollBack();
            } catch (\Throwable) {
                // the transaction may already be gone (the driver rolls back on some errors)
            }
            throw $e;
        }
    }

    /**
     * Inside write(): serializes the writes of one user. The commit rule reads the user's maximum
     * USN and then raises it; a row lock on the user (SELECT ... FOR UPDATE) makes a second commit
     * of the same user wait and then read the raised value, while other users commit side by side.
     * Chosen over SERIALIZABLE because it needs no retry loop and never fails a request. SQLite
     * holds its single write lock already. Returns the user's row (null for an unknown user).
     */
    public function lockUser(string $uid): ?array
    {
        return $this->one('SELECT uid, max_usn, used_rows, used_bytes FROM users WHERE uid=?' . ($this->sqlite ? '' : ' FOR UPDATE'), [$uid]);
    }

    /**
     * Inside write(): runs clean-up $fn unless another worker is already doing the same clean-up.
     * On PostgreSQL concurrent deletes of the same old rows would only wait on each other.
     */
    public function housekeeping(string $name, callable $fn): void
    {
        if ($this->pgsql && !$this->value('SELECT pg_try_advisory_xact_lock(?)', [crc32("inkboat.$name")])) {
            return;
        }
        $fn($this);
    }

    /**
     * Inside write(): the transaction need not wait for its disk flush. For what a crash may lose
     * without harm (sign-in tickets of the web site, last-seen times); never for synced data.
     */
    public function relaxedCommit(): void
    {
        if ($this->pgsql) {
            $this->pdo->exec('SET LOCAL synchronous_commit TO OFF');
        }
    }

    /**
     * PostgreSQL text cannot hold NUL bytes (the driver would cut the value there): there such
     * values, and any that start like an encoded one, are stored base64-encoded behind a mark.
     */
    private const ENCODED = "\x1Bb64:";

    public function toStored(string $v): string
    {
        return $this->pgsql && (str_contains($v, "\0") || str_starts_with($v, self::ENCODED))
            ? self::ENCODED . base64_encode($v) : $v;
    }

    public function fromStored(string $v): string
    {
        return $this->pgsql && str_starts_with($v, self::ENCODED)
            ? (string)base64_decode(substr($v, strlen(self::ENCODED)), true) : $v;
    }

    public function setting(string $name): ?string
    {
        $v = $this->value('SELECT value FROM ink_meta WHERE name=?', ["setting.$name"]);
        return $v === null ? null : (string)$v;
    }

    public function setSetting(string $name, string $value): void
    {
        $this->write(function (Db $db) use ($name, $value) {
            $db->exec('DELETE FROM ink_meta WHERE name=?', ["setting.$name"]);
            $db->exec('INSERT INTO ink_meta(name, value) VALUES(?, ?)', ["setting.$name", $value]);
        });
    }

    private function ensureSchema(): void
    {
        // (its own statements must not come back here)
        $this->schemaChecked = true;
        try {
            $this->upgradeSchema();
        } catch (\Throwable $e) {
            $this->schemaChecked = false;
            throw $e;
        }
    }

    private function upgradeSchema(): void
    {
        if ($this->schemaVersion(false) === self::SCHEMA_VERSION) {
            return;
        }
        if ($this->sqlite) {
            $this->useWal();
            $this->pdo->exec('BEGIN IMMEDIATE');
        } else {
            $this->pdo->beginTransaction();
            // Workers starting together on an empty database create the schema once.
            $this->pdo->exec('SELECT pg_advisory_xact_lock(' . crc32('inkboat.schema') . ')');
        }
        try {
            $version = $this->schemaVersion(true);
            if ($version === null) {
                // A new store gets the tables of version 3 and then the upgrades after it.
                foreach (self::schema($this->pgsql) as $sql) {
                    $this->pdo->exec($sql);
                }
                $this->exec("INSERT INTO ink_meta(name, value) VALUES('schema', '3')");
                $version = '3';
            }
            if ($version !== self::SCHEMA_VERSION) {
                foreach ($this->upgrades() as $from => $statements) {
                    if ((int)$version <= $from) {
                        foreach ($statements as $sql) {
                            $this->upgradeStep($sql);
                        }
                    }
                }
                if ((int)$version <= 2) {
                    Users::rekey($this);   // user names fold by NFKC, Unicode spaces and case since version 3
                }
                $this->exec("UPDATE ink_meta SET value=? WHERE name='schema'", [self::SCHEMA_VERSION]);
            }
            $this->sqlite ? $this->pdo->exec('COMMIT') : $this->pdo->commit();
        } catch (\Throwable $e) {
            $this->sqlite ? $this->pdo->exec('ROLLBACK') : $this->pdo->rollBack();
            throw $e;
        }
    }

    /**
     * WAL lets readers page a pull while another worker commits a push. SQLite takes the exclusive
     * lock for the switch without calling its busy handler, so a worker starting while another one
     * holds a transaction would fail at once: the switch is retried here for the busy timeout.
     */
    private function useWal(): void
    {
        $deadline = microtime(true) + self::BUSY_SECONDS;
        for ($pause = 1000;; $pause = min(2 * $pause, 50000)) {
            try {
                $this->pdo->exec('PRAGMA journal_mode=WAL');
                return;
            } catch (\PDOException $e) {
                // 5 and 6: SQLITE_BUSY and SQLITE_LOCKED; anything else is a real fault
                if (!in_array($e->errorInfo[1] ?? null, [5, 6], true) || microtime(true) > $deadline) {
                    throw $e;
                }
            }
            usleep($pause);
        }
    }

    /** One upgrade statement; a column the table has already (a store restored over a newer one) is left. */
    private function upgradeStep(string $sql): void
    {
        if (preg_match('/^ALTER TABLE (\w+) ADD COLUMN (\w+)/', $sql, $m)) {
            $st = $this->pdo->query("SELECT * FROM $m[1] LIMIT 0");
            for ($i = 0; $i < $st->columnCount(); $i++) {
                if ($st->getColumnMeta($i)['name'] === $m[2]) {
                    return;
                }
            }
        }
        $this->pdo->exec($sql);
    }

    private function schemaVersion(bool $inTransaction): ?string
    {
        if ($this->pgsql && $inTransaction) {
            // a failed statement would abort the transaction, so ask the catalogue first
            if ((int)$this->value("SELECT COUNT(*) FROM pg_tables WHERE schemaname=current_schema() AND tablename='ink_meta'") === 0) {
                return null;
            }
        }
        try {
            $v = $this->value("SELECT value FROM ink_meta WHERE name='schema'");
            return $v === null ? null : (string)$v;
        } catch (\PDOException) {
            return null;   // no schema yet
        }
    }

    /** Text columns of a synced row whose bytes count against the user's quota. */
    public const TEXT_COLUMNS = ['title', 'category', 'rtf', 'html', 'plaintext', 'attribute1', 'attribute2', 'attribute3'];

    /** Statements that bring a store of schema version N (the key) to the next version. */
    private function upgrades(): array
    {
        $octets = implode(' + ', array_map(fn ($c) => $this->pgsql ? "OCTET_LENGTH($c)" : "LENGTH(CAST($c AS BLOB))",
            self::TEXT_COLUMNS));
        return [
            // The last line of defence of the commit rule: no USN twice for one user.
            1 => ['CREATE UNIQUE INDEX IF NOT EXISTS sync_rows_unique_usn ON sync_rows(uid, datatype, usn)'],
            // Counters against abuse, quotas, and what bounds the tables anyone may fill.
            3 => [
                'CREATE TABLE IF NOT EXISTS limits (name VARCHAR(300) NOT NULL PRIMARY KEY, hits INTEGER NOT NULL,
                    since BIGINT NOT NULL, locked_until BIGINT NOT NULL)',
                'ALTER TABLE sync_rows ADD COLUMN bytes BIGINT NOT NULL DEFAULT 0',
                'ALTER TABLE push_rows ADD COLUMN bytes BIGINT NOT NULL DEFAULT 0',
                'ALTER TABLE users ADD COLUMN used_rows BIGINT NOT NULL DEFAULT 0',
                'ALTER TABLE users ADD COLUMN used_bytes BIGINT NOT NULL DEFAULT 0',
                "UPDATE sync_rows SET bytes = $octets",
                'UPDATE users SET used_rows = (SELECT COUNT(*) FROM sync_rows s WHERE s.uid=users.uid),
                    used_bytes = (SELECT COALESCE(SUM(bytes), 0) FROM sync_rows s WHERE s.uid=users.uid)',
                'CREATE INDEX IF NOT EXISTS reqcodes_user ON reqcodes(uid, state)',
                // SQLite has its rowid; PostgreSQL needs a column to tell the newest rows apart.
                ...($this->pgsql ? ['ALTER TABLE client_info ADD COLUMN rowid BIGSERIAL'] : []),
                // (an SQLite index holds the rowid already)
                'CREATE INDEX IF NOT EXISTS client_info_machine ON client_info(attr3' . ($this->pgsql ? ', rowid)' : ')'),
                'CREATE INDEX IF NOT EXISTS client_info_address ON client_info(remote_addr' . ($this->pgsql ? ', rowid)' : ')'),
                'CREATE INDEX IF NOT EXISTS client_info_received ON client_info(received)',
            ],
            // Sign-in tickets of the web site live minutes: not worth a write-ahead log and its flush.
            4 => $this->pgsql ? ['ALTER TABLE web_tickets SET UNLOGGED'] : [],
        ];
    }

    /** @return string[] */
    private static function schema(bool $pgsql): array
    {
        // On PostgreSQL the short texts of a row are TEXT: an encoded value (see toStored) is
        // longer than the limit the service checks on the way in.
        $row = 'datatype VARCHAR(16) NOT NULL, tid VARCHAR(64) NOT NULL, ptid VARCHAR(64) NOT NULL,
            nodetype INTEGER NOT NULL, level INTEGER NOT NULL, sort DOUBLE PRECISION NOT NULL,
            title TEXT NOT NULL, category TEXT NOT NULL, rtf TEXT NOT NULL, html TEXT NOT NULL,
            plaintext TEXT NOT NULL, attribute1 TEXT NOT NULL, attribute2 TEXT NOT NULL,
            attribute3 TEXT NOT NULL, create_time VARCHAR(64) NOT NULL, update_time VARCHAR(64) NOT NULL,
            origtid VARCHAR(64) NOT NULL, usn INTEGER NOT NULL, flag VARCHAR(8) NOT NULL';
        if ($pgsql) {
            $row = preg_replace('/VARCHAR\(\d+\)/', 'TEXT', $row);
        }
        return [
            'CREATE TABLE IF NOT EXISTS ink_meta (name VARCHAR(64) NOT NULL PRIMARY KEY, value TEXT)',
            'CREATE TABLE IF NOT EXISTS users (uid VARCHAR(32) NOT NULL PRIMARY KEY,
                username VARCHAR(200) NOT NULL, username_key VARCHAR(200) NOT NULL UNIQUE,
                email VARCHAR(254) NOT NULL, password_hash VARCHAR(255) NOT NULL,
                max_usn INTEGER NOT NULL, created VARCHAR(32) NOT NULL)',
            'CREATE TABLE IF NOT EXISTS sessions (sid VARCHAR(32) NOT NULL PRIMARY KEY, uid VARCHAR(32) NOT NULL,
                state VARCHAR(16) NOT NULL, version VARCHAR(32) NOT NULL, created BIGINT NOT NULL,
                last_seen BIGINT NOT NULL)',
            'CREATE INDEX sessions_uid ON sessions(uid, state)',
            'CREATE TABLE IF NOT EXISTS web_tickets (tid VARCHAR(32) NOT NULL PRIMARY KEY, uid VARCHAR(32) NOT NULL,
                sid VARCHAR(32) NOT NULL, expires BIGINT NOT NULL, used INTEGER NOT NULL)',
            'CREATE INDEX web_tickets_expires ON web_tickets(expires)',
            "CREATE TABLE IF NOT EXISTS sync_rows (uid VARCHAR(32) NOT NULL, $row, PRIMARY KEY(uid, datatype, tid))",
            'CREATE INDEX sync_rows_usn ON sync_rows(uid, usn)',
            'CREATE UNIQUE INDEX sync_rows_unique_usn ON sync_rows(uid, datatype, usn)',
            'CREATE TABLE IF NOT EXISTS reqcodes (reqcode VARCHAR(32) NOT NULL PRIMARY KEY, uid VARCHAR(32) NOT NULL,
                kind VARCHAR(8) NOT NULL, state VARCHAR(16) NOT NULL, client_usn INTEGER NOT NULL,
                total INTEGER NOT NULL, created BIGINT NOT NULL, last_used BIGINT NOT NULL)',
            'CREATE INDEX reqcodes_used ON reqcodes(state, last_used)',
            "CREATE TABLE IF NOT EXISTS pull_rows (reqcode VARCHAR(32) NOT NULL, pos INTEGER NOT NULL, $row,
                PRIMARY KEY(reqcode, pos))",
            "CREATE TABLE IF NOT EXISTS push_rows (reqcode VARCHAR(32) NOT NULL, $row, PRIMARY KEY(reqcode, datatype, tid))",
            'CREATE TABLE IF NOT EXISTS action_logs (uid VARCHAR(32) NOT NULL, action VARCHAR(200) NOT NULL,
                day VARCHAR(10) NOT NULL, adate VARCHAR(64) NOT NULL, trigger_count INTEGER NOT NULL,
                attribute1 TEXT NOT NULL, attribute2 TEXT NOT NULL, attribute3 TEXT NOT NULL,
                create_time VARCHAR(64) NOT NULL, update_time VARCHAR(64) NOT NULL, received BIGINT NOT NULL,
                PRIMARY KEY(uid, action, day))',
            'CREATE TABLE IF NOT EXISTS book_logs (uid VARCHAR(32) NOT NULL, book_id VARCHAR(64) NOT NULL,
                day VARCHAR(10) NOT NULL, adate VARCHAR(64) NOT NULL, word_count1 INTEGER NOT NULL,
                word_count2 INTEGER NOT NULL, attribute1 TEXT NOT NULL, attribute2 TEXT NOT NULL,
                attribute3 TEXT NOT NULL, create_time VARCHAR(64) NOT NULL, update_time VARCHAR(64) NOT NULL,
                received BIGINT NOT NULL, PRIMARY KEY(uid, book_id, day))',
            'CREATE TABLE IF NOT EXISTS news (id INTEGER NOT NULL PRIMARY KEY, post_title TEXT NOT NULL,
                post_excerpt TEXT NOT NULL, post_content TEXT NOT NULL, smeta TEXT NOT NULL,
                created VARCHAR(32) NOT NULL)',
            'CREATE TABLE IF NOT EXISTS news_marks (uid VARCHAR(32) NOT NULL PRIMARY KEY, last_news_id INTEGER NOT NULL)',
            'CREATE TABLE IF NOT EXISTS links (id INTEGER NOT NULL PRIMARY KEY, link_name TEXT NOT NULL,
                link_url TEXT NOT NULL, sort INTEGER NOT NULL)',
            'CREATE TABLE IF NOT EXISTS client_info (received BIGINT NOT NULL, remote_addr VARCHAR(64) NOT NULL,
                sid VARCHAR(64) NOT NULL, app_name TEXT NOT NULL, app_ver TEXT NOT NULL, attr0 TEXT NOT NULL,
                attr1 TEXT NOT NULL, attr2 TEXT NOT NULL, attr3 TEXT NOT NULL, os TEXT NOT NULL)',
        ];
    }
}
