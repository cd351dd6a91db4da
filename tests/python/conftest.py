"""Shared helpers: the gainscan-batch program the module is compared with,
and the fixture files."""

import csv
import io
import json
import os
import subprocess
from pathlib import Path

import pytest

pytest.importorskip("numpy", reason="the gainscan module needs numpy (Debian: python3-numpy)")
try:
    import gainscan  # noqa: F401
except ImportError as error:  # pragma: no cover - only without a built module
    pytest.skip(
        f"the gainscan module is not importable ({error}); build it with -DGAINSCAN_PYTHON=ON "
        "and put build/python on PYTHONPATH",
        allow_module_level=True,
    )

FIXTURES = Path(os.environ.get("GAINSCAN_FIXTURES", Path(__file__).resolve().parents[1] / "fixtures"))


def batch_program() -> str:
    program = os.environ.get("GAINSCAN_BATCH")
    if not program:
        pytest.skip("GAINSCAN_BATCH (the path of gainscan-batch) is not set; ctest sets it")
    return program


def run_batch(*args: str, stdin: bytes = b"") -> list:
    """gainscan-batch's jsonl records for these arguments, in its order."""
    done = subprocess.run(
        [batch_program(), "--format", "jsonl", "-q", *args],
        input=stdin,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        check=False,
    )
    assert done.returncode in (0, 1, 2), done.stderr.decode(errors="replace")
    return [json.loads(line) for line in records_only(done.stdout).decode().splitlines()]


def records_only(jsonl: bytes) -> bytes:
    """gainscan-batch's jsonl without its leading {"scan": ...} line."""
    if jsonl.startswith(b'{"scan":'):
        return jsonl[jsonl.index(b"\n") + 1 :]
    return jsonl


def batch_record_dump(path: str, into: Path) -> list:
    """The rows of the CSV gainscan-batch --dump-records writes for one file."""
    into.mkdir()
    run_batch("--dump-records", str(into), path)
    (dump,) = into.iterdir()
    with open(dump, newline="") as handle:
        return list(csv.reader(io.StringIO(handle.read())))


@pytest.fixture(scope="session")
def fixture_files() -> list:
    files = sorted(str(p) for p in FIXTURES.iterdir() if p.suffix in (".mp3", ".mp2"))
    assert len(files) >= 20, f"expected the shipped fixtures in {FIXTURES}"
    return files


@pytest.fixture(scope="session")
def stego_files(tmp_path_factory) -> list:
    """Files with bits written into the carriers by the test embedder, so that
    flagged records, scores and spans are compared too."""
    embed = os.environ.get("GAINSCAN_EMBED_LSB")
    if not embed:
        return []
    out = tmp_path_factory.mktemp("stego")
    text = b"Meet at the north gate at nine; bring the documents."
    made = []
    for name, source, args in [
        ("text_mono.mp3", "long_m1_44100_mono_cbr32_40s.mp3", ["--bytes", None, None, str(len(text)), text.hex()]),
        ("shifted_mono.mp3", "long_m1_44100_mono_cbr32_40s.mp3", ["--shift", "1", None, None]),
        ("short_stereo.mp3", "m1_44100_stereo_cbr64_2s.mp3", [None, None, "6", "2a"]),
    ]:
        paths = [str(FIXTURES / source), str(out / name)]
        command = [embed] + [a if a is not None else paths.pop(0) for a in args]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        made.append(str(out / name))
    return made


@pytest.fixture(scope="session")
def damaged_late(tmp_path_factory) -> str:
    """The long fixture with 50 bytes cut out far past gainscan's 200 records:
    its decoder messages come after that point (later_messages)."""
    data = (FIXTURES / "long_m1_44100_mono_cbr32_40s.mp3").read_bytes()
    path = tmp_path_factory.mktemp("damaged") / "cut_late.mp3"
    path.write_bytes(data[:80000] + data[80050:])
    return str(path)


@pytest.fixture(scope="session")
def all_files(fixture_files, damaged_late, stego_files) -> list:
    return fixture_files + [damaged_late] + stego_files
