"""Shared helpers: the gainscan-batch program the module is compared with,
the fixture files, and that program's records for them."""

import json
import os
import subprocess
from pathlib import Path

import pytest

pytest.importorskip("numpy", reason="the gainscan module needs numpy (Debian: python3-numpy)")
pytest.importorskip("gainscan", reason="build it with -DGAINSCAN_PYTHON=ON and put build/python on PYTHONPATH")

FIXTURES = Path(os.environ.get("GAINSCAN_FIXTURES", Path(__file__).resolve().parents[1] / "fixtures"))
LONG = FIXTURES / "long_m1_44100_mono_cbr32_40s.mp3"


def batch_jsonl(*args: str) -> bytes:
    """gainscan-batch's jsonl for these arguments, without its leading {"scan": ...} line."""
    program = os.environ.get("GAINSCAN_BATCH") or pytest.skip("GAINSCAN_BATCH (gainscan-batch's path) is not set")
    done = subprocess.run([program, "--format", "jsonl", "-q", *args], capture_output=True, check=False)
    assert done.returncode in (0, 1, 2), done.stderr.decode(errors="replace")
    out = done.stdout
    return out[out.index(b"\n") + 1 :] if out.startswith(b'{"scan":') else out


def run_batch(*args: str) -> list:
    """gainscan-batch's jsonl records for these arguments, in its order."""
    return [json.loads(line) for line in batch_jsonl(*args).splitlines()]


@pytest.fixture(scope="session")
def fixture_files() -> list:
    files = sorted(str(p) for p in FIXTURES.iterdir() if p.suffix in (".mp3", ".mp2"))
    assert len(files) >= 20, f"expected the shipped fixtures in {FIXTURES}"
    return files


@pytest.fixture(scope="session")
def all_files(fixture_files, tmp_path_factory) -> list:
    """The fixtures, an empty file, the long fixture with 50 bytes cut out far
    past gainscan's 200 records (so its decoder messages are later_messages),
    and, when the test embedder is at hand, files with bits written into the
    carriers, so that flagged records, scores and spans are compared too."""
    out = tmp_path_factory.mktemp("made")
    (out / "empty.mp3").write_bytes(b"")
    data = LONG.read_bytes()
    (out / "cut_late.mp3").write_bytes(data[:80000] + data[80050:])
    made = ["empty.mp3", "cut_late.mp3"]
    embed = os.environ.get("GAINSCAN_EMBED_LSB")
    text = b"Meet at the north gate at nine; bring the documents."
    for name, options, source, bits in [
        ("text_mono.mp3", ["--bytes"], LONG, [str(len(text)), text.hex()]),
        ("shifted_mono.mp3", ["--shift", "1"], LONG, []),
        ("short_stereo.mp3", [], FIXTURES / "m1_44100_stereo_cbr64_2s.mp3", ["6", "2a"]),
    ] if embed else []:
        subprocess.run([embed, *options, str(source), str(out / name), *bits], check=True, capture_output=True)
        made.append(name)
    return fixture_files + [str(out / name) for name in made]


@pytest.fixture(scope="session")
def batch_lines(all_files) -> dict:
    """gainscan-batch's jsonl lines for all_files, whole files (False) and --quick (True)."""
    return {quick: batch_jsonl(*["--quick"][:quick], *all_files).decode().splitlines() for quick in (False, True)}


@pytest.fixture(scope="session")
def batch_records(batch_lines) -> dict:
    return {quick: [json.loads(line) for line in lines] for quick, lines in batch_lines.items()}
