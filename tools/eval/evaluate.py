#!/usr/bin/env python3
"""Measures gainscan-batch's detector on a set built by make_eval_set.py.

  evaluate.py SET_DIR [--batch PATH | --jsonl FILE | --scores CSV] [--threshold T] [--gate] [--fpr F]

Scores come from running `gainscan-batch --format jsonl` over the set's files
(default), from a saved jsonl output (--jsonl), or from a CSV with columns
file,score and optionally flagged,verdict (--scores). Records are joined with
SET_DIR/manifest.csv by file name.

Sources (not files) are split into two halves by a hash of the source id, so
that every copy of one source lands in the same half. The threshold is chosen
on half A as the smallest score threshold that flags at most F (default
0.5 %) of the clean files and at most F of the gain-shifted files of half A;
all figures are measured on half B. With --gate a file counts as flagged only
when the length rule also finds a length field (verdict found), as the
program's decision does. The shipped threshold is --threshold, or else the
records' own `flagged` field. The length rule's figures (verdict found) stand
beside. Prints a markdown table.
"""
import argparse, csv, json, math, os, subprocess, sys, zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GROUPS = [("2 %", "0.02"), ("10 %", "0.1"), ("50 %", "0.5"), ("100 %", "1.0"), ("text", "text")]


def records_from_jsonl(lines):
    out = {}
    for line in lines:
        line = line.strip()
        if not line:
            continue
        r = json.loads(line)
        if isinstance(r, dict) and r.get("file") is not None and r.get("type", "file") != "summary":
            out[os.path.basename(r["file"])] = r
    return out


def records_from_csv(path):
    out = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f):
            rec = {"file": r["file"], "score": float(r["score"]) if r.get("score") not in (None, "") else None}
            if r.get("flagged") not in (None, ""):
                rec["flagged"] = r["flagged"].strip().lower() in ("1", "true", "yes")
            if r.get("verdict"):
                rec["verdict"] = r["verdict"]
            out[os.path.basename(r["file"])] = rec
    return out


def load_records(a, manifest):
    if a.scores:
        return records_from_csv(a.scores)
    if a.jsonl:
        with open(a.jsonl) as f:
            return records_from_jsonl(f)
    files = [os.path.join(a.set_dir, m["file"]) for m in manifest]
    run = subprocess.run([a.batch, "--format", "jsonl"] + files, stdout=subprocess.PIPE, text=True)
    if run.returncode not in (0, 1, 2):
        sys.exit("evaluate: %s exited with status %d" % (a.batch, run.returncode))
    return records_from_jsonl(run.stdout.splitlines())


def half(source):
    return zlib.crc32(source.encode()) % 2  # 0: half A (threshold), 1: half B (measurement)


def auc(neg, pos):
    """Probability that a positive scores above a negative (ties count half)."""
    if not neg or not pos:
        return float("nan")
    ranked = sorted([(s, 0) for s in neg] + [(s, 1) for s in pos])
    rank_sum, i = 0.0, 0
    while i < len(ranked):
        j = i
        while j < len(ranked) and ranked[j][0] == ranked[i][0]:
            j += 1
        rank_sum += sum(1 for k in range(i, j) if ranked[k][1]) * (i + j + 1) / 2
        i = j
    return (rank_sum - len(pos) * (len(pos) + 1) / 2) / (len(neg) * len(pos))


def choose_threshold(rows, fpr):
    """Smallest threshold t (flag when score >= t) with at most fpr of the clean and of the shifted rows flagged."""
    def fine(t):
        for kind in ("clean", "shifted"):
            neg = [r["score"] for r in rows if r["kind"] == kind]
            if neg and sum(s >= t for s in neg) > fpr * len(neg):
                return False
        return True
    for t in sorted({r["score"] for r in rows if math.isfinite(r["score"])}):
        if fine(t):
            return t
    return math.inf


def rate(rows, flag):
    return sum(1 for r in rows if flag(r)) / len(rows) if rows else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("set_dir")
    ap.add_argument("--batch", default=os.path.join(ROOT, "build", "batch", "gainscan-batch"))
    ap.add_argument("--jsonl")
    ap.add_argument("--scores")
    ap.add_argument("--threshold", type=float)
    ap.add_argument("--gate", action="store_true", help="flag only files whose length rule says found")
    ap.add_argument("--fpr", type=float, default=0.005)
    a = ap.parse_args()
    with open(os.path.join(a.set_dir, "manifest.csv"), newline="") as f:
        manifest = list(csv.DictReader(f))
    recs = load_records(a, manifest)
    rows, missing = [], 0
    for m in manifest:
        r = recs.get(m["file"])
        if r is None:
            missing += 1
            continue
        score = r.get("score")
        found = r.get("verdict") == "found"
        score = -math.inf if score is None or (a.gate and not found) else float(score)
        group = "text" if m["file"].endswith("_text.mp3") else m["fraction"] if m["kind"] == "stego" else m["kind"]
        rows.append(dict(kind=m["kind"], group=group, source=m["source"], score=score, found=found,
                         flagged=r.get("flagged")))
    A = [r for r in rows if half(r["source"]) == 0]
    B = [r for r in rows if half(r["source"]) == 1]
    t = choose_threshold(A, a.fpr)
    shipped = (lambda r: r["score"] >= a.threshold) if a.threshold is not None else \
        (lambda r: bool(r["flagged"])) if any(r["flagged"] is not None for r in rows) else None
    chosen = lambda r: r["score"] >= t
    rule = lambda r: r["found"]
    clean_b = [r["score"] for r in B if r["kind"] == "clean"]
    print("Set %s: %d files joined (%d without a record), %d sources; half A %d files, half B %d files."
          % (a.set_dir, len(rows), missing, len({r["source"] for r in rows}), len(A), len(B)))
    print("Threshold chosen on half A: %.4g (smallest with at most %.1f %% of clean and of shifted files flagged%s);"
          " figures below are measured on half B.\n" % (t, 100 * a.fpr, ", length rule as gate" if a.gate else ""))
    head = ["files (half B)", "n", "ROC AUC", "flagged at chosen threshold"]
    head += ["flagged as shipped (%s)" % ("score >= %g" % a.threshold if a.threshold is not None else "records")] \
        if shipped else []
    print("| " + " | ".join(head + ["length rule found"]) + " |")
    print("|" + " --- |" * (len(head) + 1))
    for label, g in [("clean", "clean"), ("gain-shifted", "shifted")] + [("payload " + l, g) for l, g in GROUPS]:
        sel = [r for r in B if r["group"] == g]
        area = "" if g in ("clean", "shifted") else "%.3f" % auc(clean_b, [r["score"] for r in sel])
        cells = [label, str(len(sel)), area, "%.1f %%" % (100 * rate(sel, chosen))]
        cells += ["%.1f %%" % (100 * rate(sel, shipped))] if shipped else []
        print("| " + " | ".join(cells + ["%.1f %%" % (100 * rate(sel, rule))]) + " |")


if __name__ == "__main__":
    main()
