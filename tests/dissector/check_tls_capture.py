#!/usr/bin/env python3
"""Checks a capture of the demo over TLS: nothing secret in it, and TLS in it.

Usage: check_tls_capture.py CAPTURE DISSECTOR TLS_PORT SCENARIO_FILE...

Secret are the demo users' passwords and every quoted text of the scenario
scripts (the chat texts among them), in GBK as the library sends them and in
UTF-8; also the protocol's field separator, which every plain packet but
the keep-alive carries. None of them may appear anywhere in the capture's
bytes. So that an empty or unrelated capture cannot pass, the capture must
hold the TLS handshakes of both IM programs and encrypted records in both
directions.
"""
import re
import subprocess
import sys

capture, dissector, port = sys.argv[1:4]
scenarios = sys.argv[4:]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


secrets = {"bob123", "alice123", "carol123", "!|!"}
for path in scenarios:
    with open(path, encoding="utf-8") as f:
        for line in f:
            for text in re.findall(r'"([^"]+)"', line):
                if len(text.encode("utf-8")) >= 4:
                    secrets.add(text)

raw = open(capture, "rb").read()
check(len(raw) > 0, "the capture is not empty")
for secret in sorted(secrets):
    forms = {secret.encode("utf-8")}
    try:
        forms.add(secret.encode("gbk"))
    except UnicodeEncodeError:
        pass
    check(not any(form in raw for form in forms), "not in the capture: " + secret)


def count(display_filter):
    run = subprocess.run(["tshark", "-n", "-r", capture, "-X", "lua_script:" + dissector, "-o",
                          "vexaim.tls_port:" + port, "-Y", display_filter],
                         capture_output=True, text=True, encoding="utf-8")
    if run.returncode != 0:
        sys.exit("tshark failed: " + run.stderr)
    return len([line for line in run.stdout.splitlines() if line.strip()])


hellos = count("tls.handshake.type == 1")
check(hellos >= 2, "a TLS handshake of each IM program (%d ClientHello)" % hellos)
to_server = count("tls.record.content_type == 23 && tcp.dstport == " + port)
from_server = count("tls.record.content_type == 23 && tcp.srcport == " + port)
check(to_server >= 10 and from_server >= 10,
      "encrypted records both ways (%d to the server, %d from it)" % (to_server, from_server))
old = count("tls.handshake.type == 2 && tls.handshake.version < 0x0303")
check(old == 0, "no session older than TLS 1.2")
if failures:
    sys.exit("%d check(s) failed" % len(failures))
print("the TLS capture holds no secret of the demo")
