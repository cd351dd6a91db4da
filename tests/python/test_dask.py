"""The README's Dask example, run on a LocalCluster of two worker processes
over the fixtures: every record equals gainscan-batch's, byte for byte."""

import json
import os

import pytest

from conftest import batch_jsonl, run_batch

distributed = pytest.importorskip(
    "dask.distributed", reason="dask.distributed is not installed (Debian: python3-dask python3-distributed)"
)
import dask.bag as db  # noqa: E402

import gainscan  # noqa: E402


def jsonl_line(path):
    return gainscan.analyse(path).to_json()


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def test_dask_bag_scan_written_as_jsonl_is_gainscan_batch_output(client, all_files, tmp_path):
    listing = tmp_path / "files.list"
    listing.write_text("".join(f"{p}\n" for p in all_files))

    # As in the README.
    paths = [line.rstrip("\n") for line in open(listing)]
    lines = db.from_sequence(paths, npartitions=4).map(jsonl_line)
    lines.to_textfiles(str(tmp_path / "scan" / "*.jsonl"), name_function=lambda i: f"{i:05}", last_endline=True)

    parts = sorted((tmp_path / "scan").glob("*.jsonl"))
    assert len(parts) == 4
    merged = b"".join(part.read_bytes() for part in parts)  # as `cat scan/*.jsonl` would
    expected = batch_jsonl("--files-from", str(listing))
    assert len(expected.splitlines()) == len(all_files)
    assert merged == expected


def test_dask_records_as_dicts_ran_on_both_worker_processes(client, all_files):
    results = (
        db.from_sequence(all_files, npartitions=8).map(lambda p: (os.getpid(), json.loads(jsonl_line(p)))).compute()
    )
    assert [record for _, record in results] == run_batch(*all_files)
    pids = {pid for pid, _ in results}
    assert len(pids) == 2
    assert os.getpid() not in pids
