-- Creates the service's role and database. Run once as the database superuser:
--   sudo -u postgres psql -X -v password='a long secret' -f postgres-setup.sql
-- The service creates and upgrades its tables itself on first use.
\set ON_ERROR_STOP on
SELECT format('CREATE ROLE inkboat LOGIN PASSWORD %L', :'password') \gexec
CREATE DATABASE inkboat OWNER inkboat ENCODING 'UTF8' LC_COLLATE 'C.UTF-8' LC_CTYPE 'C.UTF-8' TEMPLATE template0;
REVOKE ALL ON DATABASE inkboat FROM PUBLIC;
GRANT CONNECT, TEMPORARY ON DATABASE inkboat TO inkboat;
