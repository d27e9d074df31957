-- Indexes that keep the summaries interactive at a million reports: the newest report without
-- a scan, reports per day from the day index alone, and the per-release figures and the
-- roll-out read from the spans' indexes instead of pages scattered through a large file.
CREATE INDEX reports_received ON reports (received_at);
DROP INDEX spans_release;
CREATE INDEX spans_release ON spans (ap_label, flex_version, fingerprint, last_at, span_ms);
CREATE INDEX spans_rollout ON spans (ap_label, flex_version, fingerprint, first_at);
CREATE INDEX reports_software_change ON reports (kind, day, prev_ap_label, prev_flex_version, ap_label, flex_version)
    WHERE kind = 'softwareChange';
