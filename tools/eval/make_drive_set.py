#!/usr/bin/env python3
"""Builds a drive-scale evaluation set for the per-file p_value: thousands of
short to long clean files of every kind, gain-shifted and damaged copies, and
stego copies sized from the carriers each file really has.

  make_drive_set.py OUT_DIR [--sources N] [--seed S] [--build DIR] [--jobs J]

Per source (everything follows from the seed and the source number):
- length log-uniform from 0.3 s to 4 min; content: music, speech (espeak-ng),
  speech over music, noise bursts, near-silence, tones, chirps, medleys;
- sampling rate from all nine (8 to 48 kHz: MPEG-1, 2 and 2.5); mode mono,
  stereo, joint stereo or dual channel;
- encoder: lame CBR, VBR or ABR with -q 0 to 9, or shineenc CBR;
- `NNNNN_clean.mp3`; a fifth of the clean files are built differently: two
  encodings concatenated (`variant` concat), a leading ID3v2 tag (id3), or
  a few damaged frames (damaged);
- every fourth source (source % 4 == 1): `_p02/_p10/_p50/_p100` random
  payloads of 2, 10, 50 and 100 % of the carriers the file really has
  (embed_lsb --bytes), and `_text` an ASCII text payload of 5 to 100 %;
- source % 4 == 2: `_odd` every gain shifted by -3, -1, +1 or +3;
  source % 4 == 3: `_even` every gain shifted by -4, -2, +2 or +4.
manifest.csv: file, kind (clean, shifted, stego), group, variant, source,
content, encoder, setting, quality, mode, rate, seconds, carriers,
payload_bytes. The set is written outside the repository.
Needs: apt-get install -y sox espeak-ng lame shineenc
"""
import argparse, csv, math, multiprocessing, os, random, re, shutil, subprocess, sys, tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_eval_set import content as mixed_content, run  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RATES = [8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000]
KINDS = ["music", "speech", "speech_music", "noise", "near_silence", "tones", "chirp", "medley"]
FRACTIONS = [("p02", 0.02), ("p10", 0.10), ("p50", 0.50), ("p100", 1.00)]
WORDS = ["the", "data", "secret", "meeting", "at", "noon", "key", "is", "north", "gate", "bring", "cash", "ok",
         "42", "send", "word", "Report", "ALPHA", "route", "7:30", "agent", "drop", "box", "(confirmed)"]


def tones(rng, dur, rate, channels, path):
    freqs = ["%d" % rng.randint(60, rate // 2 - 200) for _ in range(rng.randint(1, 3))]
    args = ["synth", "%.3f" % dur] + [a for f in freqs for a in (rng.choice(["sine", "square", "triangle"]), f)]
    run(["sox", "-R", "-n", "-b", "16", "-r", str(rate), "-c", str(channels), path] + args +
        ["vol", "%.3f" % (10 ** rng.uniform(-2, -0.1))])


def chirp(rng, dur, rate, channels, path):
    lo, hi = rng.randint(40, 400), rng.randint(500, rate // 2 - 100)
    run(["sox", "-R", "-n", "-b", "16", "-r", str(rate), "-c", str(channels), path, "synth", "%.3f" % dur,
         rng.choice(["sine", "square", "sawtooth"]), "%d-%d" % (lo, hi), "vol", "%.3f" % rng.uniform(0.05, 0.8)])


POOL_ITEMS = 6          # long recordings per content kind, cut into every source
POOL_SECONDS = 240
POOL_RATE = 48000


def pool_item(job):
    """One long stereo recording of one content kind at 48 kHz, synthesised once per set."""
    out_dir, seed, kind, k = job
    rng = random.Random(seed * 7919 + KINDS.index(kind) * 101 + k)
    path = os.path.join(out_dir, "pool", "%s_%d.wav" % (kind, k))
    if os.path.exists(path):
        return path
    tmp = tempfile.mkdtemp(prefix="gs-pool-")
    try:
        if kind == "tones":
            tones(rng, POOL_SECONDS, POOL_RATE, 2, path + ".tmp.wav")
        elif kind == "chirp":
            chirp(rng, POOL_SECONDS, POOL_RATE, 2, path + ".tmp.wav")
        else:
            shutil.move(mixed_content(rng, kind, POOL_SECONDS, POOL_RATE, 2, tmp, "c"), path + ".tmp.wav")
        os.rename(path + ".tmp.wav", path)
    finally:
        shutil.rmtree(tmp)
    return path


def audio(rng, out_dir, kind, dur, rate, channels, tmp, tag):
    """`dur` seconds cut from a pool recording of `kind` (a medley: from several), at `rate` with `channels`."""
    out = os.path.join(tmp, tag + ".wav")
    pieces, left = [], dur
    while left > 0.01:
        k = rng.choice(KINDS[:7]) if kind == "medley" else kind
        seg = min(left, rng.uniform(0.5, 30)) if kind == "medley" else left
        item = os.path.join(out_dir, "pool", "%s_%d.wav" % (k, rng.randrange(POOL_ITEMS)))
        start = rng.uniform(0, max(0.0, POOL_SECONDS - seg - 0.1))
        pieces.append(os.path.join(tmp, "%s_%d.wav" % (tag, len(pieces))))
        gain = 10 ** rng.uniform(-1.5, 0) if rng.random() < 0.3 else 1.0
        run(["sox", "-R", item, "-b", "16", pieces[-1], "trim", "%.3f" % start, "%.3f" % seg, "vol", "%.4f" % gain])
        left -= seg
    remix = ["remix", "1"] if channels == 1 else []
    run(["sox", "-R"] + pieces + ["-b", "16", out] + remix + ["rate", "-q", str(rate)])
    return out


def encode(rng, wav, mp3, rate, mode):
    """One encoding; returns (encoder, setting, quality)."""
    mpeg1 = rate >= 32000
    if rng.random() < 0.2:
        b = rng.choice([32, 48, 64, 96, 128, 160, 192, 256, 320] if mpeg1 else [8, 16, 24, 32, 48, 64, 96, 128])
        flag = {"m": ["-m"], "s": [], "j": ["-j"], "d": ["-d"]}[mode]
        run(["shineenc", "-q", "-b", str(b)] + flag + [wav, mp3])
        return "shine", "cbr%d" % b, ""
    q = rng.randint(0, 9)
    r = rng.random()
    if r < 0.4:
        b = rng.choice([32, 48, 64, 96, 128, 160, 192, 256, 320] if mpeg1 else [8, 16, 24, 32, 48, 64, 96, 128])
        setting = ["-b", str(b)]
    elif r < 0.75:
        setting = ["-V", str(rng.randint(0, 9))]
    else:
        setting = ["--abr", str(rng.choice([24, 40, 64, 96, 128, 192] if mpeg1 else [8, 16, 24, 40, 64]))]
    run(["lame", "--quiet", "-q", str(q), "--resample", "%g" % (rate / 1000), "-m", mode] + setting + [wav, mp3])
    return "lame", {"-b": "cbr", "-V": "vbr", "--abr": "abr"}[setting[0]] + setting[1], str(q)


def carriers(embed, mp3, tmp):
    text = run([embed, "--bytes", mp3, os.path.join(tmp, "probe.mp3"), "1"])
    return int(re.search(r"of (\d+) carrying records", text).group(1))


def id3v2(rng):
    body = b"TIT2" + (9).to_bytes(4, "big") + b"\x00\x00\x03" + b"Untitled"
    body += b"\x00" * rng.randint(0, 3000)  # padding
    size = len(body)
    syncsafe = bytes([(size >> 21) & 127, (size >> 14) & 127, (size >> 7) & 127, size & 127])
    return b"ID3\x03\x00\x00" + syncsafe + body


def build_source(job):
    out_dir, build, seed, i = job
    rng = random.Random(seed * 1000003 + i)
    sid = "%05d" % i
    kind = KINDS[rng.randrange(len(KINDS))]
    dur = math.exp(rng.uniform(math.log(0.3), math.log(240)))
    rate = rng.choice(RATES)
    mode = rng.choice(["m", "s", "j", "j", "d"])
    channels = 1 if mode == "m" else 2
    variant = rng.choice(["plain"] * 16 + ["concat", "id3", "damaged", "damaged"])
    embed = build + "/tools/embed_lsb"
    tmp = tempfile.mkdtemp(prefix="gs-drive-")
    clean = os.path.join(out_dir, sid + "_clean.mp3")
    try:
        wav = audio(rng, out_dir, kind, dur, rate, channels, tmp, "a")
        encoder, setting, quality = encode(rng, wav, clean, rate, mode)
        if variant == "concat":
            # A second encoding of other content (another rate, mode and encoder) appended.
            rate2, mode2 = rng.choice(RATES), rng.choice(["m", "s", "j", "d"])
            dur2 = math.exp(rng.uniform(math.log(0.3), math.log(60)))
            wav2 = audio(rng, out_dir, rng.choice(KINDS[:7]), dur2, rate2, 1 if mode2 == "m" else 2, tmp, "b")
            second = os.path.join(tmp, "b.mp3")
            enc2, set2, _ = encode(rng, wav2, second, rate2, mode2)
            with open(clean, "ab") as f, open(second, "rb") as g:
                f.write(g.read())
            setting += "+%s_%s" % (enc2, set2)
            dur += dur2
        elif variant == "id3":
            with open(clean, "rb") as f:
                data = f.read()
            with open(clean, "wb") as f:
                f.write(id3v2(rng) + data)
        elif variant == "damaged":
            with open(clean, "rb") as f:
                data = bytearray(f.read())
            for _ in range(rng.randint(1, 4)):
                at = rng.randrange(len(data))
                for k in range(at, min(len(data), at + rng.randint(1, 200))):
                    data[k] = rng.randrange(256)
            with open(clean, "wb") as f:
                f.write(data)
        n_carriers = carriers(embed, clean, tmp)
    except subprocess.CalledProcessError:
        shutil.rmtree(tmp)
        return []
    finally:
        if os.path.isdir(tmp):
            shutil.rmtree(tmp)
    common = dict(source=sid, content=kind, encoder=encoder, setting=setting, quality=quality, mode=mode, rate=rate,
                  seconds="%.3f" % dur, carriers=n_carriers, variant=variant)
    rows = [dict(file=sid + "_clean.mp3", kind="clean", group="clean", payload_bytes=0, **common)]
    tmp = tempfile.mkdtemp(prefix="gs-drive-")
    try:
        if i % 4 == 1:
            for name, frac in FRACTIONS:
                # The bytes that fill `frac` of the carriers after the length field.
                n = max(1, (int(frac * n_carriers) - 6 - (int(frac * n_carriers) // 8).bit_length() + 1) // 8)
                run([embed, "--bytes", "--seed", str(rng.getrandbits(32)), clean,
                     os.path.join(out_dir, "%s_%s.mp3" % (sid, name)), str(n)])
                rows.append(dict(file="%s_%s.mp3" % (sid, name), kind="stego", group=name, payload_bytes=n, **common))
            room = max(1, (n_carriers - 20) // 8)
            text = " ".join(rng.choice(WORDS) for _ in range(room)).encode()
            n = max(1, min(room, round(rng.uniform(0.05, 1.0) * room)))
            text = (text * (1 + n // max(1, len(text))))[:n]
            run([embed, "--bytes", clean, os.path.join(out_dir, sid + "_text.mp3"), str(n), text.hex()])
            rows.append(dict(file=sid + "_text.mp3", kind="stego", group="text", payload_bytes=n, **common))
        elif i % 4 in (2, 3):
            odd = i % 4 == 2
            k = rng.choice([-3, -1, 1, 3] if odd else [-4, -2, 2, 4])
            name = "%s_%s.mp3" % (sid, "odd" if odd else "even")
            run([embed, "--shift", str(k), clean, os.path.join(out_dir, name)])
            rows.append(dict(file=name, kind="shifted", group="odd" if odd else "even", payload_bytes=0, **common))
    except subprocess.CalledProcessError:
        pass
    finally:
        shutil.rmtree(tmp)
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out_dir")
    ap.add_argument("--sources", type=int, default=5200)
    ap.add_argument("--first", type=int, default=0, help="first source number (to extend a set)")
    ap.add_argument("--seed", type=int, default=15)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    os.makedirs(a.out_dir, exist_ok=True)
    jobs = [(a.out_dir, os.path.abspath(a.build), a.seed, i) for i in range(a.first, a.first + a.sources)]
    os.makedirs(os.path.join(a.out_dir, "pool"), exist_ok=True)
    with multiprocessing.Pool(a.jobs) as pool:
        pool.map(pool_item, [(a.out_dir, a.seed, kind, k) for kind in KINDS[:7] for k in range(POOL_ITEMS)])
    manifest = os.path.join(a.out_dir, "manifest.csv")
    fields = ["file", "kind", "group", "variant", "source", "content", "encoder", "setting", "quality", "mode",
              "rate", "seconds", "carriers", "payload_bytes"]
    new = not os.path.exists(manifest)
    with open(manifest, "a", newline="") as f, multiprocessing.Pool(a.jobs) as pool:
        w = csv.DictWriter(f, fieldnames=fields)
        if new:
            w.writeheader()
        done = 0
        for rows in pool.imap(build_source, jobs, chunksize=4):
            w.writerows(rows)
            f.flush()
            done += 1
            if done % 200 == 0:
                print("%d sources" % done, flush=True)
    print("%d sources in %s" % (a.sources, a.out_dir))


if __name__ == "__main__":
    main()
