-- A job store as the programs of schema version 1 made it, with a job of
-- two addresses: one done (550, outcome rejected), one never checked.
-- {id} {n} {b} {t} stand for the dialect's column types and B('...') for a
-- bytes value; the test fills them in for SQLite and PostgreSQL.
CREATE TABLE verimex_meta(name {t} PRIMARY KEY, value {t} NOT NULL);
CREATE TABLE verimex_jobs(id {id}, name {b} NOT NULL UNIQUE, created_at {n} NOT NULL);
CREATE TABLE verimex_addresses(
  id {id},
  job_id {n} NOT NULL REFERENCES verimex_jobs(id) ON DELETE CASCADE,
  address {b} NOT NULL,
  domain {b} NOT NULL,
  state {n} NOT NULL DEFAULT 0,
  due_at {n} NOT NULL,
  lease_key {b},
  lease_token {b},
  lease_owner {b},
  attempts {n} NOT NULL DEFAULT 0,
  checked_at {n},
  outcome {n},
  returnvar {b},
  transcript {b},
  error {b},
  UNIQUE(job_id, address));
CREATE INDEX verimex_addresses_due ON verimex_addresses(job_id, due_at, id) WHERE state < 2;
CREATE INDEX verimex_addresses_due_any ON verimex_addresses(due_at, id) WHERE state < 2;
CREATE INDEX verimex_addresses_leased ON verimex_addresses(lease_key, due_at) WHERE state = 1;
CREATE TABLE verimex_mx(domain {b} PRIMARY KEY, key {b} NOT NULL);
CREATE TABLE verimex_key_starts(key {b} PRIMARY KEY, last_start {n} NOT NULL);
INSERT INTO verimex_meta(name, value) VALUES ('schema_version', '1');
INSERT INTO verimex_jobs(name, created_at) VALUES (B('old'), 1765300000000);
INSERT INTO verimex_addresses(job_id, address, domain, state, due_at, attempts, checked_at, outcome, returnvar, transcript)
  VALUES (1, B('bob@x.test'), B('x.test'), 2, 1765300000500, 1, 1765300000500, 1, B('550 5.1.1 unknown'), B('telnet: mx.x.test'));
INSERT INTO verimex_addresses(job_id, address, domain, due_at) VALUES (1, B('alice@x.test'), B('x.test'), 1765300000000);
