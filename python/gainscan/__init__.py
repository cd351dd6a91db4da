"""gainscan: find data hidden in the parity of MP3 ``global_gain`` fields.

The same per-file analysis as the ``gainscan-batch`` program, from Python:

    >>> import gainscan
    >>> report = gainscan.analyse("song.mp3")
    >>> report.flagged, report.score
    >>> report.to_dict()      # exactly the record gainscan-batch --format jsonl prints
    >>> report.records        # every granule record, a numpy structured array

    >>> for report in gainscan.scan(["/evidence"], jobs=4):
    ...     print(report.file, report.flagged)

``analyse`` works on the calling thread; ``scan`` runs native worker threads
and yields the reports in input order. Both release the interpreter lock
while the native code runs.
"""

from __future__ import annotations

import itertools
import math
import os
from typing import Iterable, Iterator, Optional, Union

from ._gainscan import DEFAULT_ALPHA, RECORD_DTYPE, Report, _Next, _Scanner
from ._gainscan import _analyse_buffer, _analyse_path

__all__ = ["analyse", "scan", "Report", "RECORD_DTYPE", "DEFAULT_ALPHA"]

__version__ = "1.2.0"

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def _check_alpha(function: str, alpha: object) -> float:
    if isinstance(alpha, bool) or not isinstance(alpha, (int, float)):
        raise TypeError(f"gainscan.{function}: alpha must be a number, got {type(alpha).__name__}")
    if not (0 < alpha < 1):
        raise ValueError(f"gainscan.{function}: alpha must be between 0 and 1, got {alpha!r}")
    return float(alpha)


def _path_bytes(function: str, path: object, what: str = "path") -> bytes:
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"gainscan.{function}: {what} must be str, bytes or os.PathLike, got {type(path).__name__}")
    raw = os.fsencode(path)
    if not raw:
        raise ValueError(f"gainscan.{function}: {what} is empty")
    if b"\0" in raw:
        raise ValueError(f"gainscan.{function}: {what} contains a NUL byte: {path!r}")
    return raw


def analyse(
    path_or_bytes: Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview],
    quick: bool = False,
    *,
    name: str = "<bytes>",
    alpha: float = DEFAULT_ALPHA,
) -> Report:
    """Analyse one file and return its Report.

    path_or_bytes: a path (str or os.PathLike), or the file's content as
        bytes, bytearray or memoryview (reported under ``name``). A path held
        in bytes must be given as os.fsdecode(path) or a pathlib.Path.
    quick: only what ``gainscan`` decides from the first 200 granule records
        (``flagged`` is then its verdict; no evidence, no records), as
        ``gainscan-batch --quick``.
    alpha: the false-alarm probability (``p_value``) at or below which the
        file is flagged (``gainscan-batch --alpha``).

    A file that cannot be read or decoded, or that is not a regular file
    (a directory: use scan()), gives a report with status 'error', as in
    gainscan-batch; wrong argument types raise TypeError,
    and bad values ValueError.
    """
    alpha = _check_alpha("analyse", alpha)
    if not isinstance(quick, bool):
        raise TypeError(f"gainscan.analyse: quick must be a bool, got {type(quick).__name__}")
    if isinstance(path_or_bytes, (bytes, bytearray, memoryview)):
        if not isinstance(name, str):
            raise TypeError(f"gainscan.analyse: name must be str, got {type(name).__name__}")
        return _analyse_buffer(path_or_bytes, os.fsencode(name), quick, alpha)
    if not isinstance(path_or_bytes, (str, os.PathLike)):
        raise TypeError(
            "gainscan.analyse: expected a path (str or os.PathLike) or the file's bytes, "
            f"got {type(path_or_bytes).__name__}"
        )
    return _analyse_path(_path_bytes("analyse", path_or_bytes), quick, alpha)


def scan(
    paths: Union[PathLike, Iterable[PathLike]],
    jobs: Optional[int] = None,
    quick: bool = False,
    *,
    alpha: float = DEFAULT_ALPHA,
    follow_symlinks: bool = False,
    records: bool = True,
) -> Iterator[Report]:
    """Analyse many files on native worker threads; yield their Reports in order.

    paths: one path, or an iterable of paths (str, bytes or os.PathLike),
        read lazily as the scan needs them. Directories are walked
        recursively as gainscan-batch walks them (entries in byte order of
        their names; only regular files; symbolic links only with
        ``follow_symlinks``), so the reports are the records gainscan-batch
        prints for the same arguments, in the same order.
    jobs: worker threads (default: os.cpu_count()).
    quick, alpha: as for analyse().
    records: keep every report's granule records (report.records); False
        saves memory when only the records' summaries are wanted.

    A file that cannot be analysed (missing, not a regular file, damaged)
    gives a report with status 'error' and the scan goes on. An item of
    ``paths`` that is not a path raises TypeError (ValueError when empty or
    holding a NUL byte) once the reports before it have been yielded.
    Arguments are checked when scan() is called. Memory stays bounded
    whatever the number of files. Stopping the iteration early (break,
    close(), an exception such as KeyboardInterrupt, which is delivered
    while the scan waits) stops the workers; it waits for the files being
    analysed and the directory being listed to be finished.
    """
    alpha = _check_alpha("scan", alpha)
    if jobs is None:
        jobs = os.cpu_count() or 1
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"gainscan.scan: jobs must be an int, got {type(jobs).__name__}")
    if not 1 <= jobs <= 1024:
        raise ValueError(f"gainscan.scan: jobs must be between 1 and 1024, got {jobs}")
    for flag, value in (("quick", quick), ("follow_symlinks", follow_symlinks), ("records", records)):
        if not isinstance(value, bool):
            raise TypeError(f"gainscan.scan: {flag} must be a bool, got {type(value).__name__}")
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    try:
        names = iter(paths)
    except TypeError:
        raise TypeError(
            f"gainscan.scan: paths must be a path or an iterable of paths, got {type(paths).__name__}"
        ) from None
    scanner = _Scanner(jobs, quick, alpha, follow_symlinks, records)
    return _reports(scanner, names)


def _reports(scanner: _Scanner, names: Iterator[object]) -> Iterator[Report]:
    position = 0
    failure: Optional[Exception] = None
    try:
        while True:
            step, report = scanner.next()
            if step == _Next.item:
                yield report
            elif step == _Next.need_names:
                handed = 0
                try:
                    for name in itertools.islice(names, scanner.chunk):
                        scanner.add(_path_bytes("scan", name, f"paths item {position}"))
                        position += 1
                        handed += 1
                except (TypeError, ValueError) as error:
                    # Reported after the reports of the names before it.
                    failure = error
                    scanner.close()
                    continue
                if handed < scanner.chunk:
                    scanner.close()
            else:
                break
    finally:
        scanner.stop()
    if failure is not None:
        raise failure
