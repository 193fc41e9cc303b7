-- The demo site's own tables, run after the site schema (CONTROL, CONNECTINFO, the
-- currency table, dual): the outgoing packet queue and a small customer table whose rows
-- the incoming packets and the patch change.

create table v7pkt (
  name varchar(60),
  pkt blob,
  siteno integer,
  pktdate date
);

create table customer (
  customerid numeric primary key,
  customername varchar(60),
  city varchar(40),
  balance numeric,
  since date
);

insert into customer (customerid, customername, city, balance, since)
  values (101, 'Acme Stores', 'Pune', 1200, format('01/04/2026', 'dd/mm/yyyy hh:nn:ss'));
insert into customer (customerid, customername, city, balance, since)
  values (102, 'Blue Lotus Traders', 'Mumbai', 350, format('15/06/2026', 'dd/mm/yyyy hh:nn:ss'));
insert into customer (customerid, customername, city, balance, since)
  values (103, 'Coastal Foods', 'Chennai', 0, format('02/09/2026', 'dd/mm/yyyy hh:nn:ss'));
