#!/usr/bin/python3
"""Helper of scripts/demo: builds the demo site's database and its packet files.

Usage:
  demo_site.py database DB SCRIPT...   runs each SQL script on the SQLite file DB (made anew)
  demo_site.py pack XML PKT            writes the packet file of an XML packet
  demo_site.py queue DB PKT NAME SITENO
                                       queues a packet file in v7pkt, dated now
  demo_site.py unpack PKT              prints the XML text held by a packet file

The client keeps dates on SQLite as Julian day numbers (whole seconds); the scripts write
dates as format('dd/mm/yyyy', 'dd/mm/yyyy hh:nn:ss'), the client's own date template, so
the same function is provided here.
"""
import datetime
import os
import sqlite3
import struct
import sys
import zlib

JULIAN_OF_1899_12_30 = 2415018.5


def julian(moment):
    """The Julian day of a local date-time, computed as the client computes it."""
    days = (moment.date() - datetime.date(1899, 12, 30)).days
    seconds = moment.hour * 3600 + moment.minute * 60 + moment.second
    return (days + JULIAN_OF_1899_12_30) + seconds / 86400.0


def parse_date(text):
    text = text.strip()
    for form in ("%d/%m/%Y %H:%M:%S", "%d/%m/%Y %H:%M", "%d/%m/%Y"):
        try:
            return datetime.datetime.strptime(text, form)
        except ValueError:
            pass
    raise ValueError("'%s' is not a dd/mm/yyyy date" % text)


def sql_format(value, mask):
    # Only the direction the scripts use: a date text becomes the stored date.
    if value is None:
        return None
    if not any(t in mask.lower() for t in ("yy", "dd", "mm", "hh", "nn")):
        return value
    return julian(parse_date(str(value)))


def sql_now():
    return julian(datetime.datetime.now().replace(microsecond=0))


def open_db(path):
    db = sqlite3.connect(path, isolation_level=None)
    db.create_function("format", 2, sql_format)
    db.create_function("now", 0, sql_now)
    return db


def run_script(db, path):
    """One statement per ";" at a line end; lines starting with "--" are comments."""
    statement = ""
    with open(path, encoding="utf-8") as script:
        for line in script:
            trimmed = line.strip()
            if trimmed.startswith("--"):
                continue
            statement += line
            if trimmed.endswith(";"):
                try:
                    db.execute(statement)
                except sqlite3.Error as error:
                    sys.exit("%s: %s in: %s" % (path, error, statement.strip()))
                statement = ""
    if statement.strip():
        db.execute(statement)


def pack(xml_bytes):
    """A packet file: the XML's length (4 bytes, little-endian), then its zlib stream."""
    return struct.pack("<I", len(xml_bytes)) + zlib.compress(xml_bytes, 9)


def unpack(packet):
    (length,) = struct.unpack("<I", packet[:4])
    return zlib.decompressobj().decompress(packet[4:])[:length]


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    command, args = argv[1], argv[2:]
    if command == "database" and len(args) >= 2:
        if os.path.exists(args[0]):
            os.remove(args[0])
        db = open_db(args[0])
        for script in args[1:]:
            run_script(db, script)
        db.close()
    elif command == "pack" and len(args) == 2:
        with open(args[0], "rb") as xml, open(args[1], "wb") as out:
            out.write(pack(xml.read()))
    elif command == "queue" and len(args) == 4:
        db_path, packet_path, name, site_no = args
        with open(packet_path, "rb") as packet:
            blob = packet.read()
        db = open_db(db_path)
        db.execute("insert into v7pkt (name, pkt, siteno, pktdate) values (?, ?, ?, now())",
                   (name, blob, int(site_no)))
        db.close()
    elif command == "unpack" and len(args) == 1:
        with open(args[0], "rb") as packet:
            sys.stdout.write(unpack(packet.read()).decode("utf-8"))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
