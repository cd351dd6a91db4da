"""gainscan.analyse(): the record equals gainscan-batch's for every fixture,
the records array equals its --dump-records CSV, and bad arguments raise."""

import math
import os
from pathlib import Path

import numpy as np
import pytest

import gainscan
from conftest import FIXTURES, batch_record_dump, records_only, run_batch


@pytest.fixture(scope="module")
def batch_whole(all_files):
    return run_batch("-j", "1", *all_files)


@pytest.fixture(scope="module")
def batch_quick(all_files):
    return run_batch("-j", "1", "--quick", *all_files)


def test_whole_file_record_equals_gainscan_batch_for_every_fixture(all_files, batch_whole):
    assert len(batch_whole) == len(all_files)
    for path, expected in zip(all_files, batch_whole):
        record = gainscan.analyse(path).to_dict()
        assert record == expected, path
        assert list(record) == list(expected), f"{path}: field order"


def test_quick_record_equals_gainscan_batch_quick_for_every_fixture(all_files, batch_quick):
    assert len(batch_quick) == len(all_files)
    for path, expected in zip(all_files, batch_quick):
        record = gainscan.analyse(path, quick=True).to_dict()
        assert record == expected, path
        assert list(record) == list(expected), f"{path}: field order"


def test_files_compared_give_varied_records(batch_whole, batch_quick, stego_files):
    # The comparisons above mean little unless the records differ in what matters.
    assert {r["verdict"] for r in batch_quick if r["status"] == "ok"} == {"found", "none"}
    assert any(r["messages"] for r in batch_whole)
    assert any(r["later_messages"] for r in batch_whole)
    assert any(r["score"] is not None for r in batch_whole)
    assert any(r["score"] is None and r["status"] == "ok" for r in batch_whole)
    if not stego_files:
        pytest.skip("GAINSCAN_EMBED_LSB is not set: no flagged file was compared")
    assert any(r["flagged"] for r in batch_whole)
    assert any(not r["flagged"] and r["span"] is not None for r in batch_whole)


def test_to_json_is_the_line_gainscan_batch_prints(fixture_files):
    path = fixture_files[0]
    import subprocess

    from conftest import batch_program

    line = records_only(subprocess.run([batch_program(), "--format", "jsonl", "-q", path], stdout=subprocess.PIPE).stdout)
    assert gainscan.analyse(path).to_json() + "\n" == line.decode()


def test_report_attributes_agree_with_its_record(all_files):
    for path in all_files:
        report = gainscan.analyse(path)
        record = report.to_dict()
        assert report.file == record["file"]
        assert report.status == record["status"]
        assert report.ok == (record["status"] == "ok")
        assert report.error == record["error"]
        assert report.verdict == record["verdict"]
        assert report.flagged == record["flagged"]
        assert report.score == record["score"]
        assert report.whole_file == (record["total_records"] is not None)


def test_alpha_is_passed_to_the_decision(all_files):
    scored = [p for p in all_files if gainscan.analyse(p).p_value is not None]
    assert scored
    expected = run_batch("-j", "1", "--alpha", "0.999999", *scored)
    got = [gainscan.analyse(p, alpha=0.999999).to_dict() for p in scored]
    assert got == expected
    assert all(r["flagged"] == (r["p_value"] <= 0.999999) for r in got)


def test_bytes_are_analysed_like_the_file_under_the_given_name(all_files, batch_whole):
    for path, expected in zip(all_files, batch_whole):
        data = Path(path).read_bytes()
        for buffer in (data, bytearray(data), memoryview(data)):
            record = gainscan.analyse(buffer, name="upload.mp3").to_dict()
            # Bytes in memory have no modification time, as standard input has none.
            assert record == dict(expected, file="upload.mp3", mtime=None), path


def test_bytes_without_a_name_are_reported_as_bytes(fixture_files):
    assert gainscan.analyse(Path(fixture_files[0]).read_bytes()).file == "<bytes>"


def test_pathlib_path_gives_the_same_record_as_its_string(fixture_files):
    path = fixture_files[0]
    assert gainscan.analyse(Path(path)).to_dict() == gainscan.analyse(path).to_dict()


def test_missing_file_is_an_error_record_like_gainscan_batch(tmp_path):
    missing = str(tmp_path / "missing.mp3")
    record = gainscan.analyse(missing).to_dict()
    assert record == run_batch(missing)[0]
    assert record["status"] == "error" and record["error"]


def test_directory_is_an_error_record(tmp_path):
    report = gainscan.analyse(tmp_path)
    assert report.status == "error"
    assert report.error
    assert len(report.records) == 0


def test_empty_bytes_give_a_report_not_a_crash():
    record = gainscan.analyse(b"", name="empty").to_dict()
    assert record["file"] == "empty"
    assert record["flagged"] is False


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
    ],
)
def test_invalid_arguments_raise_with_a_clear_message(call, error, words):
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
        header, *rows = batch_record_dump(path, tmp_path / str(index))
        records = report.records
        assert list(records.dtype.names) == header
        assert len(records) == len(rows) == report.to_dict()["total_records"], path
        for row, record in zip(rows, records):
            assert [csv_cell(record[c], c) for c in header] == row, path
        compared += 1
    assert compared >= len(all_files) - 2


def test_records_mark_silence_as_nan_and_carriers_by_even_slot():
    records = gainscan.analyse(FIXTURES / "long_m1_44100_mono_cbr32_40s.mp3").records
    assert len(records) > 1000
    assert np.array_equal(records["carrier"], records["slot"] % 2 == 0)
    assert records.dtype["log2_energy"] == np.float32
    bands = [records[f"band{b}_log2_energy"] for b in range(8)]
    assert any(np.isnan(band).any() for band in bands)
    assert all(np.nanmin(band) > -1000 for band in bands if not np.isnan(band).all())


def test_quick_and_error_reports_have_empty_records_with_the_columns(fixture_files, tmp_path):
    for report in (gainscan.analyse(fixture_files[0], quick=True), gainscan.analyse(tmp_path / "missing")):
        assert len(report.records) == 0
        assert report.records.dtype == gainscan.RECORD_DTYPE


def test_repr_names_the_file_and_the_outcome(fixture_files, tmp_path):
    assert os.path.basename(fixture_files[0]) in repr(gainscan.analyse(fixture_files[0]))
    assert "error" in repr(gainscan.analyse(tmp_path / "missing"))
