"""gainscan.scan(): the reports of a multi-worker scan are gainscan-batch's
records, in its order, for files, directories, missing names and odd names."""

import os
import shutil
from pathlib import Path

import pytest

import gainscan
from conftest import FIXTURES, run_batch


def dicts(reports):
    return [r.to_dict() for r in reports]


@pytest.mark.parametrize("jobs", [1, 2, 3])
def test_scan_of_the_fixture_directory_equals_gainscan_batch(jobs):
    expected = run_batch("-j", "2", str(FIXTURES))
    assert len(expected) > 20
    assert dicts(gainscan.scan(str(FIXTURES), jobs=jobs)) == expected


def test_scan_of_files_with_hidden_bits_equals_gainscan_batch(all_files):
    expected = run_batch(*all_files)
    assert dicts(gainscan.scan(all_files, jobs=2)) == expected
    assert dicts(gainscan.scan(all_files, jobs=2, quick=True)) == run_batch("--quick", *all_files)


def test_quick_scan_equals_gainscan_batch_quick():
    expected = run_batch("--quick", str(FIXTURES))
    assert dicts(gainscan.scan([FIXTURES], jobs=2, quick=True)) == expected


def test_order_is_kept_over_many_more_files_than_the_window(fixture_files):
    # 16 reports per worker wait at most; this list wraps that window many times.
    names = (fixture_files[::-1] + fixture_files) * 4
    expected = run_batch("-j", "2", *names)
    got = dicts(gainscan.scan(names, jobs=2))
    assert [r["file"] for r in got] == names
    assert got == expected


def test_reports_finished_far_ahead_of_a_slow_file_wait_for_it(tmp_path, fixture_files):
    # One worker decodes a long file while the other races through a hundred
    # missing names, many more than the window of finished reports holds.
    slow = tmp_path / "slow.mp3"
    slow.write_bytes((FIXTURES / "long_m1_44100_mono_cbr32_40s.mp3").read_bytes() * 20)
    names = [str(slow)] + [str(tmp_path / f"missing{i:03}.mp3") for i in range(100)] + fixture_files[:2]
    got = dicts(gainscan.scan(names, jobs=2))
    assert [r["file"] for r in got] == names
    assert got == run_batch(*names)


def test_missing_names_and_directories_mixed_with_files_keep_their_places(fixture_files, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    nested = tmp_path / "nested" / "deeper"
    nested.mkdir(parents=True)
    shutil.copy(fixture_files[0], nested / "b.mp3")
    shutil.copy(fixture_files[1], tmp_path / "nested" / "a.mp3")
    names = [str(tmp_path / "missing.mp3"), str(empty), fixture_files[2], str(tmp_path / "nested"), str(empty)]
    expected = run_batch(*names)
    got = dicts(gainscan.scan(names, jobs=2))
    assert got == expected
    assert [r["status"] for r in got] == ["error", "ok", "ok", "ok"]


def test_many_empty_directories_do_not_stall_the_scan(tmp_path, fixture_files):
    # Names that produce no file must not leave the scan waiting for a report.
    names = []
    for i in range(100):
        (tmp_path / f"d{i:03}").mkdir()
        names.append(str(tmp_path / f"d{i:03}"))
    names.append(fixture_files[0])
    got = dicts(gainscan.scan(iter(names), jobs=2))
    assert [r["file"] for r in got] == [fixture_files[0]]


def test_a_name_that_is_not_utf8_is_reported_like_gainscan_batch(tmp_path, fixture_files):
    raw = os.fsencode(tmp_path) + b"/caf\xe9 \xff.mp3"
    shutil.copy(fixture_files[0], raw)
    expected = run_batch(str(tmp_path))
    (report,) = gainscan.scan(tmp_path, jobs=1)
    assert report.to_dict() == expected[0]
    assert report.to_dict()["file_b64"] is not None
    assert os.fsencode(report.file) == raw
    assert report.to_dict() == gainscan.analyse(os.fsdecode(raw)).to_dict()


def test_symbolic_links_are_followed_only_when_asked(tmp_path, fixture_files):
    os.symlink(fixture_files[0], tmp_path / "link.mp3")
    assert dicts(gainscan.scan(tmp_path, jobs=1)) == run_batch(str(tmp_path)) == []
    followed = dicts(gainscan.scan(tmp_path, jobs=1, follow_symlinks=True))
    assert followed == run_batch("-L", str(tmp_path))
    assert len(followed) == 1


def test_a_directory_loop_is_an_error_record_like_gainscan_batch(tmp_path, fixture_files):
    inner = tmp_path / "inner"
    inner.mkdir()
    shutil.copy(fixture_files[0], inner / "a.mp3")
    os.symlink(tmp_path, inner / "back")
    got = dicts(gainscan.scan(tmp_path, jobs=2, follow_symlinks=True))
    assert got == run_batch("-L", str(tmp_path))
    assert [r["status"] for r in got] == ["ok", "error"]
    assert "loop" in got[1]["error"]


def test_scan_reports_carry_the_same_records_as_analyse(fixture_files):
    for report in gainscan.scan(fixture_files, jobs=2):
        alone = gainscan.analyse(report.file)
        assert report.records.tobytes() == alone.records.tobytes(), report.file
        assert report.to_dict() == alone.to_dict()


def test_records_can_be_left_out_of_a_scan(fixture_files):
    reports = list(gainscan.scan(fixture_files[:3], jobs=2, records=False))
    assert all(r.whole_file for r in reports)
    assert all(len(r.records) == 0 for r in reports)


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
        for report in scan:
            got.append(report.file)
    assert got == fixture_files[:3]
    assert "after" not in read


def test_stopping_early_ends_the_workers(fixture_files):
    scan = gainscan.scan(fixture_files * 20, jobs=2)
    first = [next(scan).file for _ in range(3)]
    scan.close()
    assert first == fixture_files[:3]
    with pytest.raises(StopIteration):
        next(scan)


def test_abandoned_scan_is_cleaned_up_by_the_garbage_collector(fixture_files):
    scan = gainscan.scan(fixture_files * 20, jobs=2)
    next(scan)
    del scan  # the generator's finally stops and joins the threads
    assert dicts(gainscan.scan(fixture_files[:1], jobs=1)) == run_batch(fixture_files[0])


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        (dict(paths=5), TypeError, "iterable of paths"),
        (dict(paths=[], jobs=0), ValueError, "between 1 and 1024"),
        (dict(paths=[], jobs="2"), TypeError, "jobs must be an int"),
        (dict(paths=[], jobs=True), TypeError, "jobs must be an int"),
        (dict(paths=[], quick=1), TypeError, "quick must be a bool"),
        (dict(paths=[], alpha=1.5), ValueError, "between 0 and 1"),
    ],
)
def test_invalid_arguments_raise_when_scan_is_called(kwargs, error, words):
    with pytest.raises(error, match=words):
        gainscan.scan(**kwargs)


def test_a_name_with_a_nul_byte_raises_value_error(fixture_files):
    with pytest.raises(ValueError, match="NUL"):
        list(gainscan.scan([fixture_files[0], "a\0b"], jobs=1))


def test_empty_list_yields_nothing():
    assert list(gainscan.scan([], jobs=2)) == []
