-- Takes a shared production record of version 5 to version 6: UID lists that stations take
-- their IDs from in order. Run once, as the owner:
--   psql -v ON_ERROR_STOP=1 -d kestrel -f record-postgresql-upgrade-6.sql
-- Stations of the older tool refuse the record from then on; upgrade them together.

BEGIN;

DO $$
BEGIN
    IF (SELECT value FROM meta WHERE key = 'schema_version') <> '5' THEN
        RAISE EXCEPTION 'this record is not of version 5';
    END IF;
END
$$;

CREATE TABLE uid_list (
    key TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    base TEXT NOT NULL,
    ids BIGINT NOT NULL,
    loaded TEXT NOT NULL,
    login TEXT NOT NULL DEFAULT current_user
);
CREATE TABLE uid_list_id (
    list_key TEXT NOT NULL REFERENCES uid_list (key),
    position BIGINT NOT NULL,
    uid TEXT NOT NULL,
    tag_id BIGINT NOT NULL,
    login TEXT NOT NULL DEFAULT current_user,
    PRIMARY KEY (list_key, position)
);

CREATE INDEX tag_ended ON tag (ended);

GRANT SELECT, INSERT ON uid_list, uid_list_id TO kestrel_station;
ALTER TABLE uid_list ENABLE ROW LEVEL SECURITY;
ALTER TABLE uid_list_id ENABLE ROW LEVEL SECURITY;
CREATE POLICY station_read ON uid_list FOR SELECT USING (true);
CREATE POLICY station_add ON uid_list FOR INSERT WITH CHECK (login = current_user);
CREATE POLICY station_read ON uid_list_id FOR SELECT USING (true);
CREATE POLICY station_add ON uid_list_id FOR INSERT WITH CHECK (login = current_user);

UPDATE meta SET value = '6' WHERE key = 'schema_version';

COMMIT;
