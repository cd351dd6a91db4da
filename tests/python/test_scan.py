"""gainscan.scan(): the reports of a multi-worker scan are gainscan-batch's
records, in its order, for files, directories, missing names and odd names."""

import os
import shutil

import pytest

import gainscan
from conftest import FIXTURES, LONG, run_batch


def dicts(reports):
    return [r.to_dict() for r in reports]


@pytest.mark.parametrize(
    "paths, jobs, quick", [(str(FIXTURES), 1, False), (str(FIXTURES), 2, False), ([FIXTURES], 3, False), ([FIXTURES], 2, True)]
)
def test_scan_of_the_fixture_directory_equals_gainscan_batch(paths, jobs, quick):
    expected = run_batch("-j", "2", *["--quick"][:quick], str(FIXTURES))
    assert len(expected) > 20
    assert dicts(gainscan.scan(paths, jobs=jobs, quick=quick)) == expected


@pytest.mark.parametrize("quick", [False, True])
def test_scan_of_every_file_equals_gainscan_batch_and_carries_the_records_of_analyse(all_files, batch_records, quick):
    reports = list(gainscan.scan(all_files, jobs=2, quick=quick))
    assert dicts(reports) == batch_records[quick]
    for report in reports:
        assert report.records.tobytes() == gainscan.analyse(report.file, quick=quick).records.tobytes(), report.file


def test_reports_wait_for_a_slow_file_and_keep_their_order_over_many_more_than_the_window(tmp_path, fixture_files):
    # One worker decodes a long file while the other races through a hundred
    # missing names, then both run through a list wrapping the window of 16
    # finished reports per worker many times.
    slow = tmp_path / "slow.mp3"
    slow.write_bytes(LONG.read_bytes() * 20)
    missing = [str(tmp_path / f"missing{i:03}.mp3") for i in range(100)]
    names = [str(slow), *missing, *(fixture_files[::-1] + fixture_files) * 4]
    got = dicts(gainscan.scan(names, jobs=2))
    assert [r["file"] for r in got] == names
    assert got == run_batch(*names)


def test_missing_names_and_directories_keep_their_places_and_empty_ones_do_not_stall(fixture_files, tmp_path):
    nested = tmp_path / "nested" / "deeper"
    nested.mkdir(parents=True)
    shutil.copy(fixture_files[0], nested / "b.mp3")
    shutil.copy(fixture_files[1], tmp_path / "nested" / "a.mp3")
    # Names that give no file must not leave the scan waiting for a report.
    empty = [str(tmp_path / f"empty{i:03}") for i in range(100)]
    for directory in empty:
        os.mkdir(directory)
    names = [*empty, str(tmp_path / "missing.mp3"), empty[0], fixture_files[2], str(tmp_path / "nested"), empty[1]]
    got = dicts(gainscan.scan(iter(names), jobs=2))
    assert got == run_batch(*names)
    assert [r["status"] for r in got] == ["error", "ok", "ok", "ok"]


def test_a_name_that_is_not_utf8_is_reported_like_gainscan_batch(tmp_path, fixture_files):
    raw = os.fsencode(tmp_path) + b"/caf\xe9 \xff.mp3"
    shutil.copy(fixture_files[0], raw)
    (report,) = gainscan.scan(tmp_path, jobs=1)
    assert report.to_dict() == run_batch(str(tmp_path))[0] == gainscan.analyse(os.fsdecode(raw)).to_dict()
    assert report.to_dict()["file_b64"] is not None and os.fsencode(report.file) == raw


def test_symbolic_links_are_followed_only_when_asked_and_a_loop_is_an_error_record(tmp_path, fixture_files):
    (tmp_path / "inner").mkdir()
    os.symlink(fixture_files[0], tmp_path / "inner" / "link.mp3")
    os.symlink(tmp_path, tmp_path / "inner" / "back")
    assert dicts(gainscan.scan(tmp_path, jobs=1)) == run_batch(str(tmp_path)) == []
    got = dicts(gainscan.scan(tmp_path, jobs=2, follow_symlinks=True))
    assert got == run_batch("-L", str(tmp_path))
    assert [r["status"] for r in got] == ["error", "ok"] and "loop" in got[0]["error"]


def test_records_can_be_left_out_of_a_scan(fixture_files):
    reports = list(gainscan.scan(fixture_files[:3], jobs=2, records=False))
    assert all(r.whole_file and len(r.records) == 0 for r in reports)


def test_paths_are_read_lazily_and_a_bad_item_raises_after_the_reports_before_it(fixture_files):
    read = []

    def names():
        for name in fixture_files[:3]:
            read.append(name)
            yield name
        yield 42
        read.append("after")
        yield fixture_files[0]

    scan = gainscan.scan(names(), jobs=2)
    assert read == []  # nothing is read before the first report is asked for
    got = []
    with pytest.raises(TypeError, match="paths item 3 must be str, bytes or os.PathLike, got int"):
        got.extend(report.file for report in scan)
    assert got == fixture_files[:3]
    assert "after" not in read


def test_stopping_early_or_abandoning_a_scan_ends_its_workers(fixture_files):
    scan = gainscan.scan(fixture_files * 20, jobs=2)
    assert [next(scan).file for _ in range(3)] == fixture_files[:3]
    scan.close()
    with pytest.raises(StopIteration):
        next(scan)
    abandoned = gainscan.scan(fixture_files * 20, jobs=2)
    next(abandoned)
    del abandoned  # the generator's finally stops and joins the threads
    assert dicts(gainscan.scan(fixture_files[:1], jobs=1)) == run_batch(fixture_files[0])


def test_a_name_with_a_nul_byte_raises_value_error_and_no_names_yield_nothing(fixture_files):
    with pytest.raises(ValueError, match="NUL"):
        list(gainscan.scan([fixture_files[0], "a\0b"], jobs=1))
    assert list(gainscan.scan([], jobs=2)) == []
