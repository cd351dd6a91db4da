#!/usr/bin/env python3
"""Measures gainscan-batch's p_value on a set built by make_drive_set.py.

  evaluate_pvalues.py SET_DIR [--batch PATH] [--half A|B] [--alpha A] [--jobs J]

Runs gainscan-batch over every file of SET_DIR/manifest.csv (saved as
SET_DIR/results.jsonl; delete it to measure again) and, for the clean and
gain-shifted files, once more with --span-all (every carrier weighed,
whatever the length field says; SET_DIR/results_span_all.jsonl), which shows
whether p_value holds as a probability on every clean file rather than only
on the few whose length field fits.

Sources are split into halves by CRC-32 of the source id (every copy of a
source in the same half); anything chosen was chosen on half A, and the
tables report half B (--half A to look at the other). Tables, per duration
band (under 2 s, 2-20 s, over 20 s) and per encoder:
1. clean and gain-shifted files: share with p_value <= 0.1, 0.01, 0.001 (of
   all files; a file without a p_value counts as not flagged) and flagged at
   the default alpha;
2. the same with every carrier weighed (--span-all), of the files measured;
3. stego files: measured, detected at alpha 0.01 and at the default alpha.
"""
import argparse, csv, json, os, subprocess, sys, zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BANDS = [("< 2 s", 0, 2), ("2-20 s", 2, 20), ("> 20 s", 20, 1e9)]
STEGO = ["p02", "p10", "p50", "p100", "text"]


def run_batch(batch, files, extra, out_path, jobs):
    with open(out_path + ".tmp", "w") as out:
        for i in range(0, len(files), 2000):
            proc = subprocess.run([batch, "-q", "--format", "jsonl", "-j", str(jobs)] + extra + files[i:i + 2000],
                                  stdout=out, stderr=subprocess.DEVNULL)
            if proc.returncode not in (0, 1, 2):
                sys.exit("evaluate_pvalues: %s exited with status %d" % (batch, proc.returncode))
    os.rename(out_path + ".tmp", out_path)


def load(path):
    out = {}
    with open(path) as f:
        for line in f:
            r = json.loads(line)
            if "file" in r:
                out[os.path.basename(r["file"])] = r
    return out


def encoder_of(m):
    if m["encoder"] == "shine":
        return "shineenc"
    return "lame " + "".join(c for c in m["setting"].split("+")[0] if c.isalpha())


def band_of(m):
    s = float(m["seconds"])
    return next(name for name, lo, hi in BANDS if lo <= s < hi)


def share(rows, pred):
    return "%.2f %%" % (100.0 * sum(1 for r in rows if pred(r)) / len(rows)) if rows else "-"


def table(title, head, lines):
    print("\n" + title + "\n")
    print("| " + " | ".join(head) + " |")
    print("|" + " --- |" * len(head))
    for cells in lines:
        print("| " + " | ".join(cells) + " |")


def groups(rows):
    """(label, rows) per band, per encoder, and all."""
    out = [(name, [r for r in rows if r["band"] == name]) for name, _, _ in BANDS]
    for enc in sorted({r["encoder"] for r in rows}):
        out.append((enc, [r for r in rows if r["encoder"] == enc]))
    out.append(("all", rows))
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("set_dir")
    ap.add_argument("--batch", default=os.path.join(ROOT, "build", "batch", "gainscan-batch"))
    ap.add_argument("--half", default="B", choices=["A", "B"])
    ap.add_argument("--alpha", type=float, default=0.001, help="the default alpha the program ships with")
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    with open(os.path.join(a.set_dir, "manifest.csv"), newline="") as f:
        manifest = list(csv.DictReader(f))
    results = os.path.join(a.set_dir, "results.jsonl")
    span_all = os.path.join(a.set_dir, "results_span_all.jsonl")
    if not os.path.exists(results):
        run_batch(a.batch, [os.path.join(a.set_dir, m["file"]) for m in manifest], [], results, a.jobs)
    if not os.path.exists(span_all):
        run_batch(a.batch, [os.path.join(a.set_dir, m["file"]) for m in manifest if m["kind"] != "stego"],
                  ["--span-all"], span_all, a.jobs)
    recs, recs_all = load(results), load(span_all)
    half = 0 if a.half == "A" else 1
    rows = []
    for m in manifest:
        if zlib.crc32(m["source"].encode()) % 2 != half or m["file"] not in recs:
            continue
        r, ra = recs[m["file"]], recs_all.get(m["file"], {})
        rows.append(dict(group=m["group"], kind=m["kind"], band=band_of(m), encoder=encoder_of(m), p=r.get("p_value"),
                         p_all=ra.get("p_value"), evidence=r.get("evidence"), format=r.get("format"),
                         flagged=bool(r.get("flagged"))))
    le = lambda key, alpha: (lambda r: r[key] is not None and r[key] <= alpha)
    print("Set %s, half %s: %d files (%d sources in the manifest); default alpha %g."
          % (a.set_dir, a.half, len(rows), len({m["source"] for m in manifest}), a.alpha))
    formats = {}
    for r in rows:
        formats[r["format"]] = formats.get(r["format"], 0) + 1
    print("Formats reported: " + ", ".join("%s %d" % kv for kv in sorted(formats.items())))
    head = ["files", "group", "n", "measured", "p <= 0.1", "p <= 0.01", "p <= 0.001", "flagged (default alpha)"]
    lines = []
    for kind, label in [("clean", "clean"), ("odd", "every gain shifted by an odd step"),
                        ("even", "every gain shifted by an even step")]:
        for g, sel in groups([r for r in rows if r["group"] == kind]):
            lines.append([label, g, str(len(sel)), share(sel, lambda r: r["p"] is not None), share(sel, le("p", .1)),
                          share(sel, le("p", .01)), share(sel, le("p", .001)), share(sel, lambda r: r["flagged"])])
    table("1. Clean and gain-shifted files (a file without a p_value is not flagged)", head, lines)
    head = ["files", "group", "n with p_value", "p <= 0.1", "p <= 0.01", "p <= 0.001"]
    lines = []
    for kind, label in [("clean", "clean"), ("odd", "shifted, odd step"), ("even", "shifted, even step")]:
        for g, sel in groups([r for r in rows if r["group"] == kind]):
            sel = [r for r in sel if r["p_all"] is not None]
            lines.append([label, g, str(len(sel)), share(sel, le("p_all", .1)), share(sel, le("p_all", .01)),
                          share(sel, le("p_all", .001))])
    table("2. Every carrier weighed (--span-all): share of the files measured", head, lines)
    head = ["payload", "group", "n", "measured", "detected at alpha 0.01", "detected at default alpha",
            "detected at 0.01, of measured"]
    lines = []
    for kind in STEGO:
        for g, sel in groups([r for r in rows if r["group"] == kind]):
            measured = [r for r in sel if r["p"] is not None]
            lines.append([kind, g, str(len(sel)), share(sel, lambda r: r["p"] is not None), share(sel, le("p", .01)),
                          share(sel, le("p", a.alpha)), share(measured, le("p", .01))])
    table("3. Stego copies (payload of 2, 10, 50, 100 % of the carriers the file has; text)", head, lines)


if __name__ == "__main__":
    main()
