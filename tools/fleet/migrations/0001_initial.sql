-- The first schema of the fleet store. Times are seconds since 1970 (UTC), days whole days
-- since 1970; text fields of a report are its fixed-width fields up to the first NUL.

-- One row per report. A resend of a report, and a text ingested again, adds no row; the
-- identity column says when two texts are the same report (see the README).
CREATE TABLE reports (
    identity          TEXT PRIMARY KEY,
    serial            TEXT NOT NULL,
    kind              TEXT NOT NULL,     -- crash, coreDump, headerOnly, softwareChange, periodic, undetermined
    is_crash          INTEGER NOT NULL,  -- 1 for crash, coreDump and undetermined
    ap_label          TEXT NOT NULL,     -- the release: ap_label, flex_version, fingerprint
    flex_version      TEXT NOT NULL,
    fingerprint       INTEGER NOT NULL,
    uptime_ms         BIGINT NOT NULL,   -- the header's 32-bit count, as sent
    received_at       BIGINT NOT NULL,
    day               BIGINT NOT NULL,
    arrival           BIGINT NOT NULL,   -- ingest order, breaks ties of received_at
    sender            TEXT,
    truncated         INTEGER NOT NULL,  -- 1: an e-mail text cut short; only the fields it holds
    call_time         BIGINT,
    event_time        BIGINT,            -- crash time stamp, core file time
    crash_id          BIGINT,
    signature         TEXT,              -- crash id, kernel pc, or task + library + offset
    prev_ap_label     TEXT,              -- software change: the release before
    prev_flex_version TEXT,
    text              TEXT NOT NULL      -- the report text as received
);

-- Every report text seen (its hash), stored or merged: a text ingested again is a duplicate.
CREATE TABLE messages (
    text_key TEXT PRIMARY KEY,
    identity TEXT NOT NULL
);

-- Texts that are no report, with the reason. Never dropped silently.
CREATE TABLE rejected (
    text_key    TEXT PRIMARY KEY,
    received_at BIGINT NOT NULL,
    sender      TEXT,
    source      TEXT NOT NULL,  -- file:line of the first sighting
    text        TEXT NOT NULL,
    reason      TEXT NOT NULL
);

-- A handset's time on a release: first and last report (by received time, then ingest order)
-- and the uptime between them with the 32-bit millisecond count unwrapped step by step.
CREATE TABLE spans (
    serial       TEXT NOT NULL,
    ap_label     TEXT NOT NULL,
    flex_version TEXT NOT NULL,
    fingerprint  INTEGER NOT NULL,
    first_at     BIGINT NOT NULL,
    first_up     BIGINT NOT NULL,
    last_at      BIGINT NOT NULL,
    last_up      BIGINT NOT NULL,
    span_ms      BIGINT NOT NULL,
    PRIMARY KEY (serial, ap_label, flex_version, fingerprint)
);

-- For the summary queries and the software-change resend lookup.
CREATE INDEX reports_crash_release ON reports (is_crash, ap_label, flex_version, fingerprint, received_at);
CREATE INDEX reports_signature ON reports (signature, received_at, serial) WHERE signature IS NOT NULL;
CREATE INDEX reports_kind_serial ON reports (kind, serial, received_at);
CREATE INDEX reports_serial ON reports (serial, received_at, arrival);
CREATE INDEX reports_day ON reports (day);
CREATE INDEX spans_release ON spans (ap_label, flex_version, fingerprint, last_at);
