# Type stubs of the gainscan package (the pure-Python functions and the
# native Report).
import os
from typing import Any, Dict, Iterable, Iterator, Optional, Union

import numpy as np
import numpy.typing as npt

__version__: str
DEFAULT_ALPHA: float
# The columns of gainscan-batch --dump-records: slot, frame_index,
# frame_offset, granule, channel, carrier, global_gain, part2_3_length,
# big_values, block_type, scalefac_compress, log2_energy,
# band0_log2_energy .. band7_log2_energy.
RECORD_DTYPE: np.dtype[np.void]

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class Report:
    """The report of one file: gainscan-batch's record for it and its granule records."""

    @property
    def file(self) -> str: ...
    @property
    def status(self) -> str: ...
    @property
    def ok(self) -> bool: ...
    @property
    def error(self) -> Optional[str]: ...
    @property
    def verdict(self) -> Optional[str]: ...
    @property
    def flagged(self) -> bool: ...
    @property
    def score(self) -> Optional[float]: ...
    @property
    def p_value(self) -> Optional[float]: ...
    @property
    def whole_file(self) -> bool: ...
    @property
    def records(self) -> npt.NDArray[np.void]: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def to_json(self) -> str: ...

def analyse(
    path_or_bytes: Union[str, os.PathLike[str], os.PathLike[bytes], bytes, bytearray, memoryview],
    quick: bool = ...,
    *,
    name: str = ...,
    alpha: float = ...,
) -> Report: ...
def scan(
    paths: Union[_Path, Iterable[_Path]],
    jobs: Optional[int] = ...,
    quick: bool = ...,
    *,
    alpha: float = ...,
    follow_symlinks: bool = ...,
    records: bool = ...,
) -> Iterator[Report]: ...
