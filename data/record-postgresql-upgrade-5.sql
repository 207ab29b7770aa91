-- Takes a shared production record of version 4 to version 5: the traffic with the box of
-- batches that ran with a capture, and who ran each batch. Run once, as the owner:
--   psql -v ON_ERROR_STOP=1 -d kestrel -f record-postgresql-upgrade-5.sql
-- Stations of the older tool refuse the record from then on; upgrade them together.

BEGIN;

DO $$
BEGIN
    IF (SELECT value FROM meta WHERE key = 'schema_version') <> '4' THEN
        RAISE EXCEPTION 'this record is not of version 4';
    END IF;
END
$$;

ALTER TABLE batch ADD COLUMN operator TEXT;

CREATE TABLE traffic (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    uuid TEXT NOT NULL UNIQUE,
    batch_uuid TEXT NOT NULL,
    tag_uuid TEXT,
    lines TEXT NOT NULL,
    login TEXT NOT NULL DEFAULT current_user
);
CREATE INDEX traffic_tag ON traffic (tag_uuid);
CREATE INDEX traffic_batch ON traffic (batch_uuid);

GRANT SELECT, INSERT ON traffic TO kestrel_station;
ALTER TABLE traffic ENABLE ROW LEVEL SECURITY;
CREATE POLICY station_read ON traffic FOR SELECT USING (true);
CREATE POLICY station_add ON traffic FOR INSERT WITH CHECK (login = current_user);

UPDATE meta SET value = '5' WHERE key = 'schema_version';

COMMIT;
