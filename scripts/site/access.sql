-- The tables the site client itself needs in the site database of an "access" site (an
-- SQLite 3 file). Run once on a new database file:
--
--   sqlite3 /srv/site07/data/site07.mdb < scripts/site/access.sql
--
-- then set the site's own number and company in CONTROL (below). The product's own tables
-- (transaction types, documents, masters) come from the product, not from here.
--
-- Dates are stored as Julian day numbers (SQLite's julianday()), the form the client writes
-- and compares; a program that queues packets writes pktdate the same way: julianday('now').

-- The site's control values: one row, the first counts. An empty table is site 0; a row
-- with an empty siteno is site 1.
create table if not exists control (
  siteno integer,
  basecurrencyid numeric,
  millions varchar(1),
  finyrst date,
  finyred date,
  afinyrst date,
  afinyred date,
  companyname varchar(60),
  dbrep varchar(30),
  crrep varchar(30)
);

-- Currencies; CONTROL.basecurrencyid names the site's own.
create table if not exists "currency" (
  currencyid numeric primary key,
  maincurr varchar(20),
  subcurr varchar(20),
  decimals integer
);

-- One row per connection number, kept by the client: ACTIVE is 'T' while a client holds the
-- number, LASTUPDATED frees a number left active for more than a day.
create table if not exists connectinfo (
  connectno integer primary key,
  lastnumber numeric,
  lastupdated timestamp,
  active varchar(1)
);

-- The outgoing queue, filled by the site's own programs: one row per packet file (name
-- without ".pkt", the packet's bytes, the destination site's number, when it was queued).
-- The client uploads the rows in pktdate order and deletes each one after its upload.
create table if not exists v7pkt (
  name varchar(60),
  pkt blob,
  siteno integer,
  pktdate date
);

-- The new documents saved by packets (recordid="0"), one row from the commit of the save
-- until the client has recorded the packet as handled, so that a client stopped in between
-- does not save the document again: the packet's digest and name, the document's record id.
create table if not exists v7applied (
  packet varchar(600) not null primary key,
  recordid varchar(30)
);

-- The uploads a client recorded in the transaction that deleted their rows from v7pkt, one
-- row until the packet is published: only the client that removed a row publishes it.
create table if not exists v7sent (
  upload varchar(600) not null primary key
);

insert into "currency" (currencyid, maincurr, subcurr, decimals)
  select 1, 'Rupees', 'Paise', 2 where not exists (select 1 from "currency");

-- Change 7 to this site's number (and the company, the financial years) before the first run.
insert into control (siteno, basecurrencyid, millions, finyrst, finyred, afinyrst, afinyred,
                     companyname, dbrep, crrep)
  select 7, 1, 'F', julianday('2026-04-01'), julianday('2027-03-31'),
         julianday('2026-04-01'), julianday('2027-03-31'), 'My Company', 'Dr', 'Cr'
  where not exists (select 1 from control);
