#!/usr/bin/env python3
"""Builds the detector evaluation set: clean MP3 files of varied content, stego
copies written by embed_lsb and gain-shifted copies, plus manifest.csv.

  make_eval_set.py OUT_DIR [--sources N] [--seed S] [--build DIR] [--jobs J]

Content (sox and espeak-ng): synthesised music (melody, bass, chords, drums,
varied timbres), speech, speech over music, noise bursts, near-silence and
medleys of these; 8 to 60 s. Encoders: lame (CBR and VBR) and shineenc (CBR);
mono, stereo and joint stereo; MPEG-1 and MPEG-2 rates. Per source: the clean
file, random payloads of 2, 10, 50 and 100 % of the capacity gainscan prints,
one ASCII text payload, and for every third source a copy with every
global_gain shifted by an odd step. Everything follows from the seed.
Needs: apt-get install -y sox espeak-ng lame shineenc
"""
import argparse, csv, multiprocessing, os, random, re, shutil, subprocess, tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KINDS = ["music", "speech", "speech_music", "noise", "near_silence", "music", "medley"]
TIMBRES = ["sine", "square", "triangle", "sawtooth", "trapezium", "pluck", "exp"]
VOICES = ["en", "en-us+f2", "de+m3", "fr+f1", "es", "it+m1", "nl", "pl", "sv+f3"]
FRACTIONS = [("p02", 0.02), ("p10", 0.10), ("p50", 0.50), ("p100", 1.00)]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, **kw).stdout


def sox_chain(rng, dur, timbre, low, high, note_lengths, vol):
    """One monophonic voice: a ':'-separated chain of synth notes and rests."""
    chain, t = [], 0.0
    while t < dur:
        length = min(rng.choice(note_lengths), dur - t + 0.01)
        if rng.random() < 0.15:
            chain.append(["synth", "%.3f" % length, "sine", "0", "vol", "0"])
        else:
            freq = 440 * 2 ** ((rng.randint(low, high) - 69) / 12)
            chain.append(["synth", "%.3f" % length, timbre, "%.1f" % freq, "fade", "0.005", "%.3f" % length,
                          "%.3f" % (length * rng.uniform(0.05, 0.5)), "vol", "%.3f" % vol])
        t += length
    return [a for i, c in enumerate(chain) for a in ([":"] if i else []) + c]


def voice(rng, dur, rate, path, kind):
    base = ["sox", "-R", "-n", "-b", "16", "-r", str(rate), "-c", "1", path]
    beat = rng.choice([0.1, 0.125, 0.15, 0.2, 0.25])
    if kind == "melody":
        args = sox_chain(rng, dur, rng.choice(TIMBRES), 60, 84, [beat, 2 * beat, 4 * beat], rng.uniform(0.1, 0.5))
    elif kind == "bass":
        args = sox_chain(rng, dur, rng.choice(TIMBRES), 36, 55, [2 * beat, 4 * beat], rng.uniform(0.1, 0.4))
    elif kind == "chord":
        root = rng.randint(48, 64)
        args = ["synth", "%.2f" % dur] + [a for n in (root, root + 4, root + 7) for a in
                                          (rng.choice(TIMBRES), "%.1f" % (440 * 2 ** ((n - 69) / 12)))]
        args += ["remix", "-", "tremolo", "%.1f" % rng.uniform(1, 8), "%d" % rng.randint(10, 60),
                 "vol", "%.3f" % rng.uniform(0.05, 0.25)]
    elif kind == "drums":
        args = sox_chain(rng, dur, rng.choice(["whitenoise", "pinknoise", "brownnoise"]), 60, 61, [beat, 2 * beat],
                         rng.uniform(0.1, 0.5))
    elif kind == "noise":
        args, t = [], 0.0
        while t < dur:
            length = rng.uniform(0.05, 2.0)
            loud = rng.choice([0, 0.01, 0.1, 0.5, 0.9])
            args += ([":"] if args else []) + ["synth", "%.3f" % length, rng.choice(["whitenoise", "pinknoise",
                                               "brownnoise"]), "vol", "%.3f" % loud]
            t += length
    elif kind == "near_silence":
        args = ["synth", "%.2f" % dur, rng.choice(["pinknoise", "whitenoise", "sine"]), "%d" % rng.randint(50, 5000),
                "vol", "%.6f" % (10 ** rng.uniform(-5.5, -3))]
    else:  # speech
        words = " ".join("".join(rng.choice("bdfgklmnprstvz") + rng.choice("aeiou") for _ in range(rng.randint(1, 3)))
                         + rng.choice(["", ",", "."]) for _ in range(int(dur * 4)))
        run(["espeak-ng", "-v", rng.choice(VOICES), "-s", str(rng.randint(120, 220)), "-p", str(rng.randint(20, 80)),
             "-w", path + ".es.wav", words])
        run(["sox", "-R", path + ".es.wav", "-b", "16", "-r", str(rate), "-c", "1", path, "trim", "0", "%.2f" % dur,
             "pad", "0", "%.2f" % dur, "trim", "0", "%.2f" % dur])
        return
    run(base + args)


def content(rng, kind, dur, rate, channels, tmp, tag):
    """Writes tmp/tag.wav with `channels` channels; returns its path."""
    parts = {"music": ["melody", "bass"] + (["chord"] if rng.random() < 0.6 else []) +
             (["drums"] if rng.random() < 0.5 else []), "speech": ["speech"], "speech_music": ["speech", "melody",
             "chord"], "noise": ["noise"], "near_silence": ["near_silence"]}[kind]
    files = []
    for i, p in enumerate(parts):
        files.append(os.path.join(tmp, "%s_%d.wav" % (tag, i)))
        voice(rng, dur, rate, files[-1], p)
    out = os.path.join(tmp, tag + ".wav")
    sides = []
    for side in range(channels):
        mix = ["sox", "-R", "-m"] if len(files) > 1 else ["sox", "-R"]
        for i, f in enumerate(files):
            gain = 1.0 if (kind == "speech_music" and i == 0) else rng.uniform(0.3, 1.0)
            mix += (["-v", "%.3f" % gain] if len(files) > 1 else []) + [f]
        sides.append(os.path.join(tmp, "%s_side%d.wav" % (tag, side)))
        run(mix + ["-b", "16", sides[-1], "trim", "0", "%.2f" % dur] +
            (["reverb", "%d" % rng.randint(10, 70)] if rng.random() < 0.3 else []))
    run(["sox", "-R"] + (["-M"] if channels == 2 else []) + sides + ["-b", "16", "-c", str(channels), out,
        "trim", "0", "%.2f" % dur])
    return out


def encode(rng, wav, mp3, rate, mode):
    mpeg1 = rate >= 32000
    if rng.random() < 0.3 and rate not in (32000, 16000):  # shineenc 3.1.1 writes broken streams at these
        rates = [64, 96, 128, 160, 192] if mpeg1 else [24, 32, 48, 64, 96]
        b = rng.choice(rates)
        run(["shineenc", "-q", "-b", str(b)] + (["-j"] if mode == "j" else []) + [wav, mp3])
        return "shine", "cbr%d" % b
    if rng.random() < 0.5:
        b = rng.choice([48, 64, 96, 128, 160, 192, 256, 320] if mpeg1 else [16, 24, 32, 48, 64, 96, 128])
        setting = ["-b", str(b)]
    else:
        setting = ["-V", str(rng.randint(0, 9))]
    run(["lame", "--quiet", "--resample", str(rate / 1000), "-m", mode] + setting + [wav, mp3])
    return "lame", ("cbr" if setting[0] == "-b" else "vbr") + setting[1]


def build_source(job):
    out_dir, build, seed, i = job
    rng = random.Random(seed * 100003 + i)
    sid = "s%03d" % i
    kind = KINDS[i % len(KINDS)]
    dur = 8 + 52 * rng.random() ** 1.7
    rate = rng.choice([44100, 48000, 32000, 44100, 22050, 24000, 16000])
    mode = rng.choice(["m", "s", "j", "j"])
    channels = 1 if mode == "m" else 2
    tmp = tempfile.mkdtemp(prefix="gs-eval-")
    try:
        if kind == "medley":
            segs, left = [], dur
            while left > 0.5:
                seg = min(left, rng.uniform(3, 15))
                segs.append(content(rng, rng.choice(KINDS[:5]), seg, rate, channels, tmp, "m%d" % len(segs)))
                left -= seg
            wav = os.path.join(tmp, "all.wav")
            run(["sox"] + segs + [wav])
        else:
            wav = content(rng, kind, dur, rate, channels, tmp, "c")
        clean = os.path.join(out_dir, sid + "_clean.mp3")
        encoder, setting = encode(rng, wav, clean, rate, mode)
    finally:
        shutil.rmtree(tmp)
    cap = int(re.search(r"capacity: about (\d+) bytes", run([build + "/analyser/gainscan", clean])).group(1))
    common = dict(source=sid, content=kind, encoder=encoder, setting=setting, mode=mode, rate=rate,
                  seconds="%.1f" % dur, capacity=cap)
    rows = [dict(file=sid + "_clean.mp3", kind="clean", fraction=0, payload_bytes=0, **common)]
    embed = build + "/tools/embed_lsb"
    for name, frac in FRACTIONS:
        n = max(1, round(frac * cap))
        run([embed, "--bytes", "--seed", str(rng.getrandbits(32)), clean, os.path.join(out_dir, "%s_%s.mp3" %
            (sid, name)), str(n)])
        rows.append(dict(file="%s_%s.mp3" % (sid, name), kind="stego", fraction=frac, payload_bytes=n, **common))
    text = " ".join(rng.choice(["the", "data", "secret", "meeting", "at", "noon", "key", "is", "north", "gate",
                                "bring", "cash", "ok", "42", "send", "word"]) for _ in range(cap)).encode()
    n = max(1, min(len(text), round(rng.uniform(0.05, 0.9) * cap)))
    run([embed, "--bytes", clean, os.path.join(out_dir, sid + "_text.mp3"), str(n), text[:n].hex()])
    rows.append(dict(file=sid + "_text.mp3", kind="stego", fraction=round(n / max(cap, 1), 3), payload_bytes=n,
                     **common))
    if i % 3 == 0:
        k = rng.choice([-3, -1, 1, 1, 3])
        run([embed, "--shift", str(k), clean, os.path.join(out_dir, sid + "_shift.mp3")])
        rows.append(dict(file=sid + "_shift.mp3", kind="shifted", fraction=0, payload_bytes=0, **common))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out_dir")
    ap.add_argument("--sources", type=int, default=252)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    os.makedirs(a.out_dir, exist_ok=True)
    jobs = [(a.out_dir, os.path.abspath(a.build), a.seed, i) for i in range(a.sources)]
    with multiprocessing.Pool(a.jobs) as pool:
        rows = [r for rows in pool.imap(build_source, jobs) for r in rows]
    with open(os.path.join(a.out_dir, "manifest.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=list(rows[0]))
        w.writeheader()
        w.writerows(rows)
    print("%d files from %d sources in %s" % (len(rows), a.sources, a.out_dir))


if __name__ == "__main__":
    main()
