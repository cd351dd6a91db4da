"""gainscan.analyse(): the record equals gainscan-batch's for every fixture,
the records array equals its --dump-records CSV, and bad arguments to it and
to scan() raise at once."""

import csv
import json
import math
import os
from pathlib import Path

import numpy as np
import pytest

import gainscan
from conftest import LONG, run_batch

SAME_AS_RECORD = ("file", "status", "error", "verdict", "flagged", "score")


@pytest.mark.parametrize("quick", [False, True])
def test_report_is_the_record_gainscan_batch_prints_for_every_fixture(all_files, batch_lines, quick):
    assert len(batch_lines[quick]) == len(all_files)
    for path, line in zip(all_files, batch_lines[quick]):
        report = gainscan.analyse(path, quick=quick)
        record = report.to_dict()
        assert report.to_json() == line, path
        assert list(record.items()) == list(json.loads(line).items()), f"{path}: values or field order"
        assert [getattr(report, key) for key in SAME_AS_RECORD] == [record[key] for key in SAME_AS_RECORD]
        assert report.ok == (record["status"] == "ok") and Path(path).name in repr(report)
        assert report.whole_file == (record["total_records"] is not None)
        # Quick and error reports have no records, but the columns all the same.
        assert len(report.records) == (record["total_records"] or 0), path
        assert report.records.dtype == gainscan.RECORD_DTYPE


def test_files_compared_give_varied_records(batch_records):
    # The comparisons above mean little unless the records differ in what matters.
    whole, quick = batch_records[False], batch_records[True]
    assert {r["verdict"] for r in quick if r["status"] == "ok"} == {"found", "none"}
    assert any(r["messages"] for r in whole) and any(r["later_messages"] for r in whole)
    assert any(r["score"] is not None for r in whole)
    assert any(r["score"] is None and r["status"] == "ok" for r in whole)
    if not os.environ.get("GAINSCAN_EMBED_LSB"):
        pytest.skip("GAINSCAN_EMBED_LSB is not set: no flagged file was compared")
    assert any(r["flagged"] for r in whole)
    assert any(not r["flagged"] and r["span"] is not None for r in whole)


def test_alpha_is_passed_to_the_decision(batch_records):
    scored = [r["file"] for r in batch_records[False] if r["p_value"] is not None]
    assert scored
    got = [gainscan.analyse(p, alpha=0.999999).to_dict() for p in scored]
    assert got == run_batch("--alpha", "0.999999", *scored)
    assert all(r["flagged"] == (r["p_value"] <= 0.999999) for r in got)


def test_bytes_and_path_objects_are_analysed_like_the_file(all_files, batch_records):
    for path, expected in zip(all_files, batch_records[False]):
        data = Path(path).read_bytes()
        for buffer in (data, bytearray(data), memoryview(data)):
            record = gainscan.analyse(buffer, name="upload.mp3").to_dict()
            # Bytes in memory have no modification time, as standard input has none.
            assert record == dict(expected, file="upload.mp3", mtime=None), path
    assert gainscan.analyse(data).file == "<bytes>"
    assert gainscan.analyse(Path(path)).to_dict() == expected


def test_missing_file_and_directory_are_error_reports(tmp_path):
    missing = str(tmp_path / "missing.mp3")
    assert gainscan.analyse(missing).to_dict() == run_batch(missing)[0]
    for report in (gainscan.analyse(missing), gainscan.analyse(tmp_path)):
        assert report.status == "error" and report.error and not report.ok
        assert "error" in repr(report) and str(tmp_path) in repr(report)
        assert len(report.records) == 0 and report.records.dtype == gainscan.RECORD_DTYPE


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda: gainscan.analyse(42), TypeError, "expected a path"),
        (lambda: gainscan.analyse(None), TypeError, "expected a path"),
        (lambda: gainscan.analyse("a\0b"), ValueError, "NUL"),
        (lambda: gainscan.analyse(""), ValueError, "empty"),
        (lambda: gainscan.analyse("x.mp3", alpha=float("nan")), ValueError, "between 0 and 1"),
        (lambda: gainscan.analyse("x.mp3", alpha="2"), TypeError, "alpha"),
        (lambda: gainscan.analyse("x.mp3", quick="yes"), TypeError, "quick"),
        (lambda: gainscan.analyse(b"", name=3), TypeError, "name"),
        (lambda: gainscan.scan(5), TypeError, "iterable of paths"),
        (lambda: gainscan.scan([], jobs=0), ValueError, "between 1 and 1024"),
        (lambda: gainscan.scan([], jobs="2"), TypeError, "jobs must be an int"),
        (lambda: gainscan.scan([], jobs=True), TypeError, "jobs must be an int"),
        (lambda: gainscan.scan([], quick=1), TypeError, "quick must be a bool"),
        (lambda: gainscan.scan([], alpha=1.5), ValueError, "between 0 and 1"),
    ],
)
def test_invalid_arguments_raise_when_analyse_or_scan_is_called(call, error, words):
    with pytest.raises(error, match=words):
        call()


def csv_cell(value, column):
    """A records array value written the way the --dump-records CSV writes it."""
    if column.endswith("log2_energy"):
        return "" if math.isnan(value) else "%.4f" % float(value)
    return str(int(value))


def test_records_equal_the_dump_records_csv_for_every_fixture(all_files, tmp_path):
    compared = 0
    for index, path in enumerate(all_files):
        report = gainscan.analyse(path)
        if not report.whole_file:
            continue
        (tmp_path / str(index)).mkdir()
        run_batch("--dump-records", str(tmp_path / str(index)), path)
        (dump,) = (tmp_path / str(index)).iterdir()
        with open(dump, newline="") as handle:
            header, *rows = csv.reader(handle)
        assert list(report.records.dtype.names) == header
        assert [[csv_cell(record[c], c) for c in header] for record in report.records] == rows, path
        compared += 1
    assert compared >= len(all_files) - 2


def test_records_mark_silence_as_nan_and_carriers_by_even_slot():
    records = gainscan.analyse(LONG).records
    assert np.array_equal(records["carrier"], records["slot"] % 2 == 0)
    assert records.dtype["log2_energy"] == np.float32
    bands = [records[f"band{b}_log2_energy"] for b in range(8)]
    assert any(np.isnan(band).any() for band in bands)
    assert all(np.nanmin(band) > -1000 for band in bands if not np.isnan(band).all())
