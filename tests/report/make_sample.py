#!/usr/bin/env python3
"""Writes sample.jsonl, the made-up gainscan-batch report the report tests read.

The records are invented (no scan produced them): they cover every kind of
record the report must show (flagged with and without evidence points, an
error, files that are not MPEG audio, too little to tell, records of an older
gainscan-batch without the newer fields) and names that try to break the page.
The evidence points are drawn from a fixed pseudo-random sequence so that the
file is the same on every run: python3 tests/report/make_sample.py > tests/report/sample.jsonl
"""
import base64
import hashlib
import json
import sys


def noise(seed):
    """A fixed sequence of roughly normal numbers (sum of uniforms)."""
    state = seed
    while True:
        total = 0.0
        for _ in range(4):
            state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
            total += (state >> 11) / 2**53
        yield (total - 2.0) * 0.35


def plot(points, seconds_per_carrier, span, effect, seed):
    """Carriers along the file; inside `span` the odd ones are louder by `effect`."""
    n = noise(seed)
    seconds, residual, odd = [], [], []
    parity = noise(seed + 1)
    for i in range(points):
        t = round(i * seconds_per_carrier, 4)
        is_odd = 1 if next(parity) > 0 else 0
        r = next(n)
        if span[0] <= t <= span[1]:
            r += effect / 2 if is_odd else -effect / 2
        seconds.append(t)
        residual.append(round(r, 4))
        odd.append(is_odd)
    return {"seconds": seconds, "residual": residual, "odd": odd, "span_seconds": list(span)}


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def record(name, **fields):
    base = {
        "file": name, "file_b64": None, "status": "ok", "error": None, "verdict": "none", "length": None,
        "nbits": 5, "capacity": 120, "frames": 50, "records": 200, "messages": [], "flagged": False,
        "bytes": 480000, "score": 0.3, "carriers": 1800, "span": None, "total_frames": 900,
        "total_records": 3600, "later_messages": [], "payload_file": None, "payload_bytes": None,
        "payload_complete": None, "payload_sha256": None, "payload_mime": None, "payload_type": None,
        "write_errors": [], "format": "layer3", "evidence": "measured", "evidence_reason": None,
        "p_value": 0.4, "sha256": sha(name), "md5": None, "records_file": None, "seconds": 23.5,
        "payload_head": None, "plot": None,
    }
    base.update(fields)
    return base


secret = b'Meet me at the old harbour at 06:00.\nBring the <key> & the "map".\n'
png = bytes.fromhex("89504e470d0a1a0a0000000d49484452000000100000001008060000001ff3ff61")

lines = [{"scan": {
    "tool": "gainscan-batch", "version": "1.1.0", "started": "2026-12-07T16:00:00Z", "host": "lab-07",
    "options": {"mode": "whole-file", "alpha": 0.001, "hash": ["sha256"], "jobs": 4,
                "extract": "out/payloads", "dump_records": "out/records"}}}]
lines += [
    record("music/clean_a.mp3", verdict="found", length=17, score=0.82, p_value=0.31),
    record("music/harbour.mp3", verdict="found", length=len(secret), span=6 + 4 + 8 * len(secret),
           flagged=True, score=9.41, p_value=2.3e-11, payload_file="out/payloads/harbour.mp3.payload",
           payload_bytes=len(secret), payload_complete=True, payload_sha256=hashlib.sha256(secret).hexdigest(),
           payload_mime="text/plain", payload_type="ASCII text", md5=hashlib.md5(b"harbour").hexdigest(),
           records_file="out/records/harbour.mp3.records.csv", payload_head=secret.hex(),
           plot=plot(400, 0.0522, (0.10, 14.2), 0.9, 11)),
    record("evidence/<script>alert(\"x\")</script> & 'quoted' \"name\".mp3", verdict="found", length=4096,
           flagged=True, score=4.12, p_value=3.1e-5, span=6 + 4 + 8 * 4096, payload_bytes=610, payload_complete=False,
           payload_mime="image/png", payload_type="PNG image data, 16 x 16, 8-bit/color RGBA, non-interlaced",
           payload_sha256=hashlib.sha256(png).hexdigest(), payload_head=png.hex(),
           records_file="out/records/<script>&.records.csv",
           plot=plot(480, 0.0261, (2.0, 11.5), 0.45, 23)),
    record("evidence/no_points.mp3", verdict="found", length=40, flagged=True, score=3.3, p_value=0.0004,
           plot=None),
    record("speech/quiet.mp3", evidence="insufficient", evidence_reason="too few carriers in the span (7 < 12)",
           score=None, p_value=None, verdict="found", length=2),
    record("docs/report.pdf", format="not_mpeg_audio", verdict="none", score=None, p_value=None, nbits=0,
           capacity=0, frames=0, records=0, evidence="insufficient", evidence_reason="not Layer III audio",
           messages=["Error: header junk\n"], seconds=None),
    record("empty.mp3", format="empty", bytes=0, score=None, p_value=None, verdict="none", evidence="insufficient",
           evidence_reason="empty file", seconds=None),
    record("radio/layer2.mp2", format="mpeg_audio_other", score=None, p_value=None, evidence="insufficient",
           evidence_reason="Layer II audio"),
    record("locked/secret.mp3", status="error", error="Permission denied", verdict=None, nbits=None,
           capacity=None, frames=None, records=None, bytes=None, score=None, carriers=None, total_frames=None,
           total_records=None, later_messages=None, format=None, evidence=None, p_value=None, sha256=None,
           seconds=None),
    record("caf\u00e9/\u03a9\u03bc\u03ad\u03b3\u03b1 \u2013 \u042e\u043d\u0438\u043a\u043e\u0434 \u20ac \ufffd.mp3",
           file_b64=base64.b64encode("caf\u00e9/\u03a9\u03bc\u03ad\u03b3\u03b1 \u2013 \u042e\u043d\u0438\u043a\u043e\u0434 \u20ac ".encode()
                                     + b"\xff.mp3").decode(), score=-1.7,
           p_value=0.97),
    record("trick\u202egpj.mp3", score=1.1, p_value=0.13),
    record("line\nbreak.mp3", score=-0.2, p_value=0.58),
]
# A record from a gainscan-batch before format, p_value, sha256 and the plot: only today's fields.
old = record("old/before_the_new_fields.mp3", verdict="found", length=9, score=2.2)
for key in ("format", "evidence", "evidence_reason", "p_value", "sha256", "md5", "records_file", "seconds",
            "payload_head", "plot"):
    del old[key]
lines.append(old)
lines.append({"summary": {"files": 13, "analysed": 11, "flagged": 3, "errors": 1, "bytes": 5280000,
                          "elapsed_seconds": 4.2, "ended": "2026-12-07T16:00:04Z", "alpha": 0.001,
                          "by_format": {"layer3": 8, "not_mpeg_audio": 1, "empty": 1, "mpeg_audio_other": 1}}})
for line in lines:
    sys.stdout.write(json.dumps(line, ensure_ascii=False) + "\n")
