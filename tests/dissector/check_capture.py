#!/usr/bin/env python3
"""Decodes a capture with the VexaIM dissector and checks what it shows.

Usage: check_capture.py CAPTURE DISSECTOR PORT [TRAFFIC_LOG]

What went over the wire is taken twice, independently of the dissector: from
the TCP payloads in the capture, cut into packets here, and (when given) from
the log of the program that made the traffic. The dissector must decode
every one of those packets, with its code named. With a traffic log, the
conversation of tests/dissector/traffic_main.cpp is known, and its fields,
elements and GBK texts are checked as well.
"""
import collections
import subprocess
import sys

capture, dissector, port = sys.argv[1:4]
traffic_log = sys.argv[4] if len(sys.argv) > 4 else None
failures = []


def tshark(*args):
    cmd = ["tshark", "-n", "-r", capture, "-X", "lua_script:" + dissector, "-o", "vexaim.port:" + port, *args]
    run = subprocess.run(cmd, capture_output=True, text=True, encoding="utf-8")
    if run.returncode != 0:
        print(run.stderr)
        sys.exit("tshark failed")
    if "Lua: Error" in run.stderr or "Lua: Error" in run.stdout:
        sys.exit("dissector error:\n" + run.stderr + run.stdout)
    return run.stdout


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def wire_packets():
    """Packets cut from the raw TCP payloads of each direction of each
    connection, in capture order (loopback: no loss, no reordering)."""
    out = subprocess.run(["tshark", "-n", "-r", capture, "-o", "tcp.desegment_tcp_streams:FALSE", "-Y",
                          "tcp.len > 0", "-T", "fields", "-e", "tcp.stream", "-e", "tcp.srcport", "-e",
                          "tcp.payload"], capture_output=True, text=True, check=True).stdout
    streams = collections.defaultdict(bytes)
    for row in out.splitlines():
        stream, src, payload = row.split("\t")
        streams[(stream, src == port)] += bytes.fromhex(payload.replace(":", ""))
    found = collections.Counter()
    for (stream, server), data in streams.items():
        extra = 5 if server else 4
        while len(data) >= 8:
            length = int(data[:4])
            found[("answer" if server else "request", int(data[4:8]))] += 1
            data = data[length + extra:]
    return found


sent = wire_packets()
if traffic_log:
    logged = collections.Counter()
    for line in open(traffic_log):
        side, code = line.split()
        logged[("request" if side == "C" else "answer", int(code))] += 1
    check(logged == sent, "the capture holds every packet the traffic program sent and received")

# What the dissector found: one direction, code and name per packet.
decoded = collections.Counter()
names = {}
out = tshark("-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,", "-e", "vexaim.direction",
             "-e", "vexaim.code", "-e", "vexaim.code_name", "-Y", "vexaim")
for row in out.splitlines():
    dirs, codes, code_names = row.split("\t")
    for d, c, n in zip(dirs.split(","), codes.split(","), code_names.split(",")):
        decoded[(d, int(c))] += 1
        names[(d, int(c))] = n

print("on the wire:", ", ".join(f"{d} {c} x{n}" for (d, c), n in sorted(sent.items())))
check(decoded == sent, "every packet on the wire is decoded once, with its code and direction")
for key in sorted(sent):
    check(names.get(key, "unknown") != "unknown", f"{key[0]} code {key[1]} is named ({names.get(key)})")


def count(flt):
    return len([l for l in tshark("-Y", flt, "-T", "fields", "-e", "frame.number").splitlines() if l])


answers = sum(n for (d, c), n in sent.items() if d == "answer")
trailers = tshark("-Y", 'vexaim.direction == "answer"', "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=,",
                  "-e", "vexaim.trailer")
check(sum(len(l.split(",")) for l in trailers.splitlines() if l) == answers, "every answer shows its trailing byte")
check(count('vexaim.direction == "request" && vexaim.trailer') == 0, "requests carry no trailing byte")
check(count("_ws.malformed || _ws.expert.severity >= error") == 0, "nothing malformed")
if not traffic_log:
    print("%s: %d failure(s)" % ("FAILED" if failures else "PASSED", len(failures)))
    sys.exit(1 if failures else 0)

requests = {c for d, c in sent if d == "request"}
check(requests == {1, 3, 7, 21, 23, 24, 25, 29, 31, 32, 33, 34, 36, 40, 41, 43, 44, 99},
      "every request code went over the wire")


# Decoded fields, elements and GBK text: (display filter, what it shows).
cases = [
    ('vexaim.code == 1 && vexaim.direction == "request" && vexaim.field == "10002" && vexaim.field == "bob123"',
     "login fields split at !|!"),
    ('vexaim.code == 2 && vexaim.direction == "answer" && vexaim.field == "0"', "login answer 0 (success)"),
    ('vexaim.code == 7 && vexaim.field == "Keepalive"', "keep-alive text"),
    ('vexaim.code == 3 && vexaim.direction == "request" && vexaim.field == "SYSTEMDATE"', "chat date field"),
    ('vexaim.code == 3 && vexaim.direction == "request" && vexaim.element.name == "cnt" '
     '&& vexaim.element.value == "你好，鲍勃"', "chat text decoded from GBK inside <msg><cnt>"),
    ('vexaim.code == 3 && vexaim.direction == "answer" && vexaim.element.value == "你好，鲍勃"',
     "chat delivered to bob, GBK decoded"),
    ('vexaim.code == 23 && vexaim.direction == "request" && vexaim.field == "加个好友吧"', "friend request text"),
    ('vexaim.code == 22 && vexaim.element.name == "user" && vexaim.element.name == "nickname" '
     '&& vexaim.element.value == "鲍勃"', "friend list records nested, nickname decoded"),
    ('vexaim.code == 32 && vexaim.direction == "request" && vexaim.field == "我在开会"', "status note"),
    ('vexaim.code == 33 && vexaim.direction == "request" && vexaim.element.name == "pos3" '
     '&& vexaim.element.value == "40"', "position elements"),
    ('vexaim.code == 34 && vexaim.element.name == "nickname" && vexaim.element.value == "新昵称"',
     "user record element in GBK"),
    ('vexaim.direction == "answer" && vexaim.trailer == 0', "server trailing byte shown"),
    ('vexaim.code == 3 && vexaim.direction == "request" && vexaim.element.name == "file" '
     '&& vexaim.file_item == "报告亊|~.doc" && vexaim.file_item == "2048" && vexaim.file_item == "7"',
     "file items split at ~|~ only where a character begins"),
]
for flt, what in cases:
    check(count(flt) > 0, what)

print(f"{'FAILED' if failures else 'PASSED'}: {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
