#!/usr/bin/env python3
"""How much any test on the energy residuals could detect, file by file.

  detection_bound.py SET_DIR [--half A|B] [--alpha A] [--build BUILD_DIR]

For every stego copy in SET_DIR (a set made by make_drive_set.py) and its
clean source, both read through the gainscan Python module:

- the change the payload made to each carrier's global_gain (stego minus
  clean: -1, 0 or +1 steps), taken from the two files;
- how that change moves each residual the evidence weighs: a gain step moves
  every band's log2 energy of its record by exactly 1/2, so a record's
  residual against its neighbours (the median over bands of
  middle - (before + after) / 2, in its channel and in the channels'
  difference) moves by 1/2 (d_mid - (d_before + d_after) / 2);
- the spread of those residuals in the clean file (1.4826 x the median
  absolute deviation, over the carriers).

A test that knew which carriers were changed, by how much and in which
direction, facing residuals spread as the clean file's with normal noise,
could do no better than z = sqrt(sum over residuals of (shift / spread)^2),
and detects with probability Phi(z - z_alpha) at level alpha. That is far
more than the real evidence knows: it learns neither which carriers were
changed nor by how much. The mean of that probability over the files is an
estimate of the most any statistic built on these residuals could detect;
where it stays below a target, no tuning of the statistic reaches it. The
estimate assumes independent channels and normal residuals; heavier tails
than normal could let a robust test gain a little.

The second test knows what the evidence knows, each carrier's parity in the
stego file, and weighs it against the residual's shift, sum(parity x shift /
spread) over the root of the carriers weighed in the span: the mean of the
correlation statistic gainscan computes, had it the true spread and no
control to pay for. It shows how much of the first bound a parity statistic
can reach at all.

Prints, per payload and duration band, the mean detection probability of
both tests at alpha, and the files counted.
"""
import argparse, collections, csv, math, os, sys, warnings, zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from evaluate_pvalues import BANDS, ROOT, STEGO, band_of  # the tables' bands and payload kinds

MIN_PART2_3_LENGTH = 40  # bits: the evidence treats records with less as silent


def normal_tail(z):
    return 0.5 * math.erfc(z / math.sqrt(2))


def z_for(alpha):
    lo, hi = 0.0, 10.0
    for _ in range(60):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if normal_tail(mid) > alpha else (lo, mid)
    return (lo + hi) / 2


def residuals(np, series):
    """Per middle point of a series (rows of band log2 energies, NaN silent):
    median over the bands all three have of middle - (before + after) / 2."""
    before, middle, after = series[:-2], series[1:-1], series[2:]
    d = middle - 0.5 * (before + after)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # a row with no band heard gives NaN, as meant
        out = np.nanmedian(d, axis=1) if len(d) else np.zeros(0)
    return out


def spread(np, values):
    v = values[~np.isnan(values)]
    if len(v) < 8:
        return None
    return 1.4826 * float(np.median(np.abs(v - np.median(v)))) + 1e-3


def bound_z(np, clean, stego, span):
    """z of the two tests on the first `span` carriers: (knows the changes,
    knows the parities), or None."""
    if len(clean) != len(stego) or len(clean) == 0:
        return None
    slots = clean["slot"]
    gains = stego["global_gain"].astype(np.int64)
    delta = gains - clean["global_gain"].astype(np.int64)
    carrier = slots % 2 == 0
    in_span = carrier & (slots // 2 < span)
    delta = np.where(in_span, delta, 0)
    parity = np.where(gains % 2 == 1, 1.0, -1.0)
    bands = np.stack([clean["band%d_log2_energy" % k] for k in range(8)], axis=1).astype(np.float64)
    bands[clean["part2_3_length"] < MIN_PART2_3_LENGTH] = np.nan
    known = 0.0
    tie, weighed = 0.0, 0

    def weigh(series, owner):
        # series: band energies of one series in time; owner: the record
        # each point belongs to (only carriers' residuals count).
        nonlocal known, tie, weighed
        if len(series) < 3:
            return
        r = residuals(np, series)
        d = delta[owner].astype(np.float64)
        shift = 0.5 * (d[1:-1] - 0.5 * (d[:-2] + d[2:]))
        mid = owner[1:-1]
        keep = carrier[mid] & ~np.isnan(r)
        s = spread(np, r[keep])
        if s is None:
            return
        known += float(np.sum((shift[keep] / s) ** 2))
        spanned = keep & in_span[mid]
        tie += float(np.sum(parity[mid][spanned] * shift[spanned] / s))
        weighed += int(spanned.sum())

    # Each channel's records in time.
    for ch in (0, 1):
        idx = np.nonzero(clean["channel"] == ch)[0]
        weigh(bands[idx], idx)
    # The channels' difference, per granule, belonging to the carrier.
    first = np.nonzero((clean["channel"] == 0) & carrier)[0]
    first = first[first + 1 < len(clean)]
    first = first[clean["channel"][first + 1] == 1]
    if len(first) >= 3:
        weigh(bands[first] - bands[first + 1], first)
    return math.sqrt(known), (tie / math.sqrt(weighed) if weighed else 0.0)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("set_dir")
    ap.add_argument("--half", default="B", choices=["A", "B"])
    ap.add_argument("--alpha", type=float, default=0.01)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    a = ap.parse_args()
    sys.path.insert(0, os.path.join(a.build, "python"))
    import numpy as np
    import gainscan

    half = 0 if a.half == "A" else 1
    with open(os.path.join(a.set_dir, "manifest.csv")) as f:
        manifest = [m for m in csv.DictReader(f) if zlib.crc32(m["source"].encode()) % 2 == half]
    clean_of = {m["source"]: m for m in manifest if m["kind"] == "clean"}
    za = z_for(a.alpha)
    power = collections.defaultdict(list)
    for m in manifest:
        kind = m["file"].rsplit("_", 1)[1].split(".")[0]
        if kind not in STEGO or m["source"] not in clean_of:
            continue
        band = band_of(m)
        stego = gainscan.analyse(os.path.join(a.set_dir, m["file"]))
        clean = gainscan.analyse(os.path.join(a.set_dir, clean_of[m["source"]]["file"]))
        span = stego.to_dict().get("span") or int(m["carriers"])
        z = bound_z(np, clean.records, stego.records, span)
        for test in (0, 1):
            p = 0.0 if z is None else 1 - normal_tail(z[test] - za)
            power[(test, kind, band)].append(p)
            power[(test, kind, "all")].append(p)
    print("Set %s, half %s: the most a test on the energy residuals could detect at alpha %g"
          % (a.set_dir, a.half, a.alpha))
    for test, title in ((0, "knowing which carriers changed, by how much"),
                        (1, "knowing the carriers' parities only, as the evidence does")):
        print("\nA test %s (files in brackets)\n" % title)
        print("| payload | all files | < 2 s | 2-20 s | > 20 s |")
        print("| --- | --- | --- | --- | --- |")
        for kind in STEGO:
            cells = []
            for band in ["all"] + [b[0] for b in BANDS]:
                v = power.get((test, kind, band), [])
                cells.append("%.1f %% (%d)" % (100 * sum(v) / len(v), len(v)) if v else "-")
            print("| %s | %s |" % (kind, " | ".join(cells)))


if __name__ == "__main__":
    main()
