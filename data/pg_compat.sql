-- The objects a PostgreSQL site database needs for the statements of the client's
-- "postgre" dialect: the format(text, text) date template, day arithmetic on dates and the
-- one-row table "dual". The client applies this script when it connects to a database that
-- lacks them (or has an older version); an operator may run it first with
--   psql -v ON_ERROR_STOP=1 -d <database> -f pg_compat.sql
-- so that site scripts that use format() load into an empty database.
-- A date text read by the date style of an Access mask (day, month or year first).
create or replace function v7_timestamp_dmy(value text) returns timestamp
  language sql stable strict set datestyle to 'ISO, DMY' as $$ select value::timestamp $$;
create or replace function v7_timestamp_mdy(value text) returns timestamp
  language sql stable strict set datestyle to 'ISO, MDY' as $$ select value::timestamp $$;
create or replace function v7_timestamp_ymd(value text) returns timestamp
  language sql stable strict set datestyle to 'ISO, YMD' as $$ select value::timestamp $$;

-- The dialect's date template: format('31/12/2005 10:30:00', 'dd/mm/yyyy hh:nn:ss').
-- It takes the place of the built-in format() for two texts in this database, so a mask
-- that holds no date token is refused with a message rather than read as a date.
create or replace function format(value text, mask text) returns timestamp
  language plpgsql stable strict as $$
declare
  m text := lower(mask);
  d int := position('d' in m);
  mo int := position('m' in m);
  y int := position('y' in m);
begin
  if m !~ '(dd|mm|yy|hh|nn|ss)' then
    raise exception 'format(''%'', ''%''): the mask holds no date; in this database format() of two texts reads a date (pg_catalog.format formats text)', value, mask;
  end if;
  if y > 0 and (mo = 0 or y < mo) and (d = 0 or y < d) then
    return v7_timestamp_ymd(value);
  end if;
  if mo > 0 and d > 0 and mo < d then
    return v7_timestamp_mdy(value);
  end if;
  return v7_timestamp_dmy(value);
end $$;

-- A difference of two dates compared with a number of days: now()-LASTUPDATED > 1.
create or replace function v7_interval_days(span interval) returns double precision
  language sql immutable strict as $$ select extract(epoch from span)::double precision / 86400 $$;
create or replace function v7_interval_gt(span interval, days double precision) returns boolean
  language sql immutable strict as $$ select v7_interval_days(span) > days $$;
create or replace function v7_interval_ge(span interval, days double precision) returns boolean
  language sql immutable strict as $$ select v7_interval_days(span) >= days $$;
create or replace function v7_interval_lt(span interval, days double precision) returns boolean
  language sql immutable strict as $$ select v7_interval_days(span) < days $$;
create or replace function v7_interval_le(span interval, days double precision) returns boolean
  language sql immutable strict as $$ select v7_interval_days(span) <= days $$;
-- Made only where missing: a statement of the database may already use them.
do $$
declare
  op record;
begin
  for op in select * from (values ('>', 'v7_interval_gt'), ('>=', 'v7_interval_ge'),
                                  ('<', 'v7_interval_lt'), ('<=', 'v7_interval_le')) as o(name, fn)
  loop
    if not exists (select 1 from pg_operator
                   where oprname = op.name and oprleft = 'interval'::regtype
                     and oprright = 'double precision'::regtype) then
      execute pg_catalog.format('create operator %s (leftarg = interval, rightarg = double precision, '
                                'function = %I)', op.name, op.fn);
    end if;
  end loop;
end $$;

-- The server-date statement and constants read from a one-row table "dual", as on the
-- other engines (a site script may make it too).
create table if not exists dual (dummy varchar(1));
insert into dual (dummy) select 'X' where not exists (select 1 from dual);

-- Made last, so that a database that has it has everything above. Raise the number when
-- this script changes: clients apply the script again where the number is lower.
create or replace function v7_compat_version() returns integer
  language sql immutable as $$ select 1 $$;
