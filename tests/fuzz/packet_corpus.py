"""Seeds of the packet fuzz target, written at fuzz time into the folder given: the sample
packets of tests/fixtures/packets and of this target's corpus, packed as the sites and the test
fixtures pack them (a 4-byte little-endian length, then the zlib stream of the XML), and the
shapes of broken packets the tests build: trailing bytes, lengths of 0, shorter and longer than
the text, one beyond what a packet may unpack to, and a stream that holds far more than its
length declares.

Usage: packet_corpus.py SOURCE_ROOT FOLDER"""

import glob
import os
import struct
import sys
import zlib

# What one packet may unpack to by default (TCompress).
MAX_PACKET_BYTES = 64 << 20


def packet(xml, length=None, trailing=b"", level=1):
    size = len(xml) if length is None else length
    return struct.pack("<I", size) + zlib.compress(xml, level) + trailing


def main():
    root, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    samples = {}
    for pattern in ("tests/fixtures/packets/*.xml", "tests/fuzz/corpus/packet_fuzz/*.xml"):
        for path in sorted(glob.glob(os.path.join(root, pattern))):
            with open(path, "rb") as f:
                samples[os.path.splitext(os.path.basename(path))[0]] = f.read()
    rows = b"".join(b'<row recordid="%d"><itemid type="n">%d</itemid><itemname type="c">Item %d'
                    b'</itemname><price type="n">%d.25</price></row>' % (i, i, i, i % 97)
                    for i in range(1, 301))
    samples["rows"] = b'<?xml version="1.0"?><rows table="item">' + rows + b"</rows>"
    seeds = {}
    for name, xml in samples.items():
        seeds[name] = packet(xml)
        seeds[name + "-trailing"] = packet(xml, trailing=b"TRAILING GARBAGE")
        seeds[name + "-cut"] = packet(xml, length=len(xml) // 2)
        seeds[name + "-longer"] = packet(xml, length=len(xml) + 1)
        seeds[name + "-zero"] = packet(xml, length=0)
        seeds[name + "-beyond-limit"] = packet(xml, length=MAX_PACKET_BYTES + 1)
    seeds["inflates-past-its-length"] = packet(b"<rows table=\"item\">" + b" " * (2 << 20), 1000,
                                              level=9)
    for name, data in seeds.items():
        with open(os.path.join(folder, "seed-" + name + ".pkt"), "wb") as f:
            f.write(data[:4096])


if __name__ == "__main__":
    main()
