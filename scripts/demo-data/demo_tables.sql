-- The demo site's own tables and rows, run after the site schema (CONTROL, CONNECTINFO, the
-- currency table, dual) and the sample product (its metadata, document tables and masters):
-- the outgoing packet queue, and the sample customer master with a "since" date, whose rows
-- the incoming packets, the patch and the incoming sales invoice change.

create table v7pkt (
  name varchar(60),
  pkt blob,
  siteno integer,
  pktdate date
);

alter table customer add column since date;

update customer set custname = 'Acme Stores', city = 'Pune', balance = 1200,
  since = format('01/04/2026', 'dd/mm/yyyy hh:nn:ss') where customerid = 101;
update customer set custname = 'Blue Lotus Traders', city = 'Mumbai', balance = 350,
  since = format('15/06/2026', 'dd/mm/yyyy hh:nn:ss') where customerid = 102;
update customer set custname = 'Coastal Foods', city = 'Chennai', balance = 0,
  since = format('02/09/2026', 'dd/mm/yyyy hh:nn:ss') where customerid = 103;
