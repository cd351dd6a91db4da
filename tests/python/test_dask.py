"""The README's Dask example, run on a LocalCluster of two worker processes
over the fixtures: every record equals gainscan-batch's."""

import json

import pytest

from conftest import run_batch

distributed = pytest.importorskip(
    "dask.distributed", reason="dask.distributed is not installed (Debian: python3-dask python3-distributed)"
)
import dask.bag as db  # noqa: E402

import gainscan  # noqa: E402


def analyse_record(path):
    return gainscan.analyse(path).to_dict()


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def test_dask_bag_scan_written_as_jsonl_equals_gainscan_batch(client, all_files, tmp_path):
    listing = tmp_path / "files.list"
    listing.write_text("".join(f"{p}\n" for p in all_files))

    # As in the README.
    paths = [line.rstrip("\n") for line in open(listing)]
    records = db.from_sequence(paths, npartitions=4).map(analyse_record)
    records.map(json.dumps).to_textfiles(str(tmp_path / "scan" / "*.jsonl"), name_function=lambda i: f"{i:05}")

    parts = sorted((tmp_path / "scan").glob("*.jsonl"))
    assert len(parts) == 4
    got = [json.loads(line) for part in parts for line in part.read_text().splitlines()]
    expected = run_batch("--files-from", str(listing))
    assert len(expected) == len(all_files)
    assert got == expected


def test_dask_records_ran_on_both_worker_processes(client, all_files):
    import os

    pids = db.from_sequence(all_files, npartitions=8).map(lambda p: (os.getpid(), analyse_record(p))).compute()
    assert [record for _, record in pids] == run_batch(*all_files)
    assert len({pid for pid, _ in pids}) == 2
    assert os.getpid() not in {pid for pid, _ in pids}
