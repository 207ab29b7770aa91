-- The shared production record on PostgreSQL: run once, as the owner of an empty database,
--   psql -v ON_ERROR_STOP=1 -d kestrel -f record-postgresql.sql
-- then give each station's login the role kestrel_station, and a supervisor's the role
-- kestrel_supervisor:
--   CREATE ROLE station1 LOGIN IN ROLE kestrel_station;
--   CREATE ROLE anna LOGIN IN ROLE kestrel_station, kestrel_supervisor;
-- Stations add batches, tags, reservations and traffic, read everything, and change only rows their
-- own login added; they delete nothing and change no table. A supervisor may also release a
-- UID in doubt that another login holds.

BEGIN;

CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);

CREATE TABLE batch (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    uuid TEXT UNIQUE,
    started TEXT NOT NULL,
    stopped TEXT,
    station TEXT NOT NULL,
    port TEXT,
    options TEXT,
    blocks TEXT,
    first_uid TEXT,
    step TEXT,
    base TEXT,
    manual INTEGER NOT NULL DEFAULT 0,
    pid BIGINT,
    station_key TEXT,
    note TEXT,
    tags BIGINT,
    operator TEXT,
    login TEXT NOT NULL DEFAULT current_user
);

CREATE TABLE tag (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    uuid TEXT UNIQUE,
    batch_id BIGINT NOT NULL REFERENCES batch (id),
    started TEXT NOT NULL,
    ended TEXT,
    uid_asked TEXT,
    uid_read TEXT,
    uid_confirmed INTEGER NOT NULL DEFAULT 0,
    base TEXT,
    writes TEXT,
    password_written INTEGER NOT NULL DEFAULT 0,
    password_fingerprint TEXT,
    locked INTEGER NOT NULL DEFAULT 0,
    retries INTEGER NOT NULL DEFAULT 0,
    result TEXT NOT NULL,
    detail TEXT,
    login TEXT NOT NULL DEFAULT current_user
);
CREATE INDEX tag_uid_read ON tag (uid_read);
CREATE INDEX tag_uid_asked ON tag (uid_asked);
CREATE INDEX tag_batch ON tag (batch_id);

-- The keys are what keep two stations from ever holding one UID: its text and its tag ID (the
-- 40-bit number, whatever base it was asked in).
CREATE TABLE reservation (
    uid TEXT PRIMARY KEY,
    tag_id BIGINT UNIQUE,
    station TEXT NOT NULL,
    port TEXT NOT NULL DEFAULT '',
    station_key TEXT,
    batch_uuid TEXT,
    reserved TEXT NOT NULL,
    state TEXT NOT NULL DEFAULT 'sent',
    released TEXT,
    released_by TEXT,
    login TEXT NOT NULL DEFAULT current_user
);

-- The traffic with the box of batches that ran with a capture: a tag's lines (from the end of
-- the tag before it), or the batch's own between tags. Passwords are masked before they get
-- here.
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

-- The Line tab reads a shift's tags by when they ended.
CREATE INDEX tag_ended ON tag (ended);

-- A customer's list of IDs, loaded once by the first station that runs it, in order; the
-- reservations say which are taken.
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

INSERT INTO meta (key, value) VALUES
    ('schema_version', '6'),
    ('salt', md5(random()::text || clock_timestamp()::text));

DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'kestrel_station') THEN
        CREATE ROLE kestrel_station NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'kestrel_supervisor') THEN
        CREATE ROLE kestrel_supervisor NOLOGIN;
    END IF;
END
$$;

GRANT SELECT ON meta TO kestrel_station;
GRANT SELECT, INSERT, UPDATE ON batch, tag, reservation TO kestrel_station;
GRANT SELECT, UPDATE ON reservation TO kestrel_supervisor;
GRANT SELECT, INSERT ON traffic TO kestrel_station;
GRANT SELECT, INSERT ON uid_list, uid_list_id TO kestrel_station;

-- Every login reads the whole record; it changes only what it added itself.
ALTER TABLE batch ENABLE ROW LEVEL SECURITY;
ALTER TABLE tag ENABLE ROW LEVEL SECURITY;
ALTER TABLE reservation ENABLE ROW LEVEL SECURITY;
CREATE POLICY station_read ON batch FOR SELECT USING (true);
CREATE POLICY station_add ON batch FOR INSERT WITH CHECK (login = current_user);
CREATE POLICY station_change ON batch FOR UPDATE USING (login = current_user);
CREATE POLICY station_read ON tag FOR SELECT USING (true);
CREATE POLICY station_add ON tag FOR INSERT WITH CHECK (login = current_user);
CREATE POLICY station_change ON tag FOR UPDATE USING (login = current_user);
CREATE POLICY station_read ON reservation FOR SELECT USING (true);
CREATE POLICY station_add ON reservation FOR INSERT WITH CHECK (login = current_user);
CREATE POLICY station_change ON reservation FOR UPDATE USING (login = current_user);
ALTER TABLE traffic ENABLE ROW LEVEL SECURITY;
CREATE POLICY station_read ON traffic FOR SELECT USING (true);
CREATE POLICY station_add ON traffic FOR INSERT WITH CHECK (login = current_user);
ALTER TABLE uid_list ENABLE ROW LEVEL SECURITY;
ALTER TABLE uid_list_id ENABLE ROW LEVEL SECURITY;
CREATE POLICY station_read ON uid_list FOR SELECT USING (true);
CREATE POLICY station_add ON uid_list FOR INSERT WITH CHECK (login = current_user);
CREATE POLICY station_read ON uid_list_id FOR SELECT USING (true);
CREATE POLICY station_add ON uid_list_id FOR INSERT WITH CHECK (login = current_user);
-- A released UID may be taken by any station; a supervisor releases any held one. ('held':
-- reserved ahead, never sent; 'sent': a write of it may have reached a tag.)
CREATE POLICY station_take ON reservation FOR UPDATE TO kestrel_station
    USING (state = 'released') WITH CHECK (login = current_user);
CREATE POLICY supervisor_release ON reservation FOR UPDATE TO kestrel_supervisor
    USING (state IN ('held', 'sent')) WITH CHECK (state = 'released');

COMMIT;
