-- Takes a shared production record of version 3 to version 4: reservations by tag ID, batch
-- and station key, held until released, and a supervisor role. Run once, as the owner:
--   psql -v ON_ERROR_STOP=1 -d kestrel -f record-postgresql-upgrade-4.sql
-- Every reservation of version 3 counts as in doubt ('sent') until a supervisor releases it.

BEGIN;

DO $$
BEGIN
    IF (SELECT value FROM meta WHERE key = 'schema_version') <> '3' THEN
        RAISE EXCEPTION 'this record is not of version 3';
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'kestrel_supervisor') THEN
        CREATE ROLE kestrel_supervisor NOLOGIN;
    END IF;
END
$$;

ALTER TABLE batch ADD COLUMN station_key TEXT, ADD COLUMN note TEXT, ADD COLUMN tags BIGINT;
ALTER TABLE reservation
    ADD COLUMN tag_id BIGINT UNIQUE,
    ADD COLUMN station_key TEXT,
    ADD COLUMN state TEXT NOT NULL DEFAULT 'sent',
    ADD COLUMN released TEXT,
    ADD COLUMN released_by TEXT;

GRANT SELECT, UPDATE ON reservation TO kestrel_supervisor;
CREATE POLICY station_take ON reservation FOR UPDATE TO kestrel_station
    USING (state = 'released') WITH CHECK (login = current_user);
CREATE POLICY supervisor_release ON reservation FOR UPDATE TO kestrel_supervisor
    USING (state IN ('held', 'sent')) WITH CHECK (state = 'released');

UPDATE meta SET value = '4' WHERE key = 'schema_version';

COMMIT;
