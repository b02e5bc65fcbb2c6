#!/usr/bin/env python3
"""The dissector on a made capture of awkward and hostile traffic.

Writes a pcap by hand (no capture needed) with: a request cut into three TCP
segments, two requests in one segment, a server packet whose trailing byte is
not zero, records nested deeper than the dissector follows, and a length
field that is no number. Then decodes it with tshark and checks each case.

Usage: hostile_capture.py DISSECTOR WORKDIR
"""
import os
import struct
import subprocess
import sys

dissector, work = sys.argv[1:3]
os.makedirs(work, exist_ok=True)
pcap = os.path.join(work, "hostile.pcap")
PORT = 4321  # not the default: the port is the user's choice
CLIENT = 50000
failures = []

packets = []
seq = {"c": 1000, "s": 5000}


def segment(from_client, payload, flags=0x18):
    src, dst = (CLIENT, PORT) if from_client else (PORT, CLIENT)
    me, other = ("c", "s") if from_client else ("s", "c")
    tcp = struct.pack("!HHIIBBHHH", src, dst, seq[me], seq[other], 5 << 4, flags, 65535, 0, 0)
    seq[me] += len(payload) + (1 if flags & 0x02 else 0)
    ip_src, ip_dst = (b"\x7f\x00\x00\x01", b"\x7f\x00\x00\x02") if from_client else (b"\x7f\x00\x00\x02",
                                                                                         b"\x7f\x00\x00\x01")
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp) + len(payload), 0, 0x4000, 64, 6, 0, ip_src, ip_dst)
    eth = b"\x00" * 12 + b"\x08\x00"
    packets.append(eth + ip + tcp + payload)


segment(True, b"", 0x02)   # SYN
segment(False, b"", 0x12)  # SYN, ACK
segment(True, b"", 0x10)   # ACK
# 1. A login request in three pieces.
for piece in (b"00", b"200001100", b"01!|!alice123"):
    segment(True, piece)
# 2. Two requests in one segment.
segment(True, b"00130007Keepalive" + b"0009009910001")
# 3. A server packet whose trailing byte is not zero.
segment(False, b"000500020\x07")
# 4. Records nested twenty deep.
nested = b"".join(b"<e%d>" % i for i in range(20)) + b"x" + b"".join(b"</e%d>" % i for i in reversed(range(20)))
segment(False, b"%04d0022" % (len(nested) + 4) + nested + b"\x00")
# 5. A length field that is no number.
segment(False, b"ab1200020\x00")

with open(pcap, "wb") as out:
    out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
    for i, frame in enumerate(packets):
        out.write(struct.pack("<IIII", 1700000000 + i, 0, len(frame), len(frame)) + frame)


def tshark(*args, port=PORT):
    cmd = ["tshark", "-n", "-r", pcap, "-X", "lua_script:" + dissector, "-o", "tcp.check_checksum:FALSE"]
    if port:
        cmd += ["-o", "vexaim.port:%d" % port]
    run = subprocess.run(cmd + list(args), capture_output=True, text=True, encoding="utf-8")
    if run.returncode != 0 or "Lua: Error" in run.stderr + run.stdout:
        sys.exit("tshark or the dissector failed:\n" + run.stderr + run.stdout)
    return run.stdout


def check(ok, what, got=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  (got %r)" % (got,)))
    if not ok:
        failures.append(what)


def rows(flt, *fields):
    out = tshark("-Y", flt, "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,",
                 *sum([["-e", f] for f in fields], []))
    return [line.split("\t") for line in out.splitlines() if line]


got = rows('vexaim.code == 1', "vexaim.field")
check(len(got) == 1 and got[0][0] == "10001,alice123", "a request cut into three segments is put together", got)
got = rows('vexaim.code == 7', "vexaim.code_name")
check(len(got) == 1 and got[0][0] == "KeepAlive,Exit", "two requests in one segment are both decoded", got)
got = rows('vexaim.code == 2 && vexaim.direction == "answer"', "vexaim.trailer", "_ws.expert.message")
check(len(got) == 1 and got[0][0] == "0x07" and "Trailing byte is not zero" in got[0][1],
      "a trailing byte that is not zero is shown and flagged", got)
got = rows('vexaim.code == 22', "vexaim.element.name")
check(len(got) == 1 and got[0][0] == ",".join("e%d" % i for i in range(8)),
      "records are followed eight deep, no further", got)
got = rows('vexaim.length == 0 && vexaim.direction == "answer"', "_ws.expert.message")
check(len(got) == 1 and "not a decimal number" in got[0][0], "a length field that is no number is flagged", got)
got = tshark("-Y", "vexaim", port=None)
check(got.strip() == "", "nothing is decoded on another port than the one chosen", got)

print("%s: %d failure(s)" % ("FAILED" if failures else "PASSED", len(failures)))
sys.exit(1 if failures else 0)
