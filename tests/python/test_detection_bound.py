"""tools/eval/detection_bound.py's arithmetic on made-up records: the README's
bounds on what any statistic could detect come from it, so a wrong shift or
spread there would misstate them."""

import math
import runpy
import types
from pathlib import Path

import numpy as np
import pytest

import gainscan

# The script's functions, loaded as a module would be (its main() not run).
bound = types.SimpleNamespace(**runpy.run_path(
    str(Path(__file__).resolve().parents[2] / "tools" / "eval" / "detection_bound.py")))


def made_up_file(records: int, noise: float, seed: int = 1, channels: int = 1) -> np.ndarray:
    """A file: every band of a record at one loudness with normal jitter, the
    channels of a granule alternating."""
    rng = np.random.default_rng(seed)
    r = np.zeros(records, dtype=np.dtype(gainscan.RECORD_DTYPE))
    r["slot"] = np.arange(records)
    r["channel"] = r["slot"] % channels
    r["carrier"] = r["slot"] % 2 == 0
    r["global_gain"] = 150
    r["part2_3_length"] = 800
    loud = 10 + noise * rng.standard_normal(records)
    for k in range(8):
        r["band%d_log2_energy" % k] = loud - 0.7 * k
    return r


def with_changes(clean: np.ndarray, carriers: dict) -> np.ndarray:
    """The stego copy: the named carriers' gains moved by the given steps
    (the energies are the clean file's: the bound reads them from it)."""
    stego = clean.copy()
    for carrier, step in carriers.items():
        stego["global_gain"][2 * carrier] += step
    return stego


def test_an_unchanged_file_gives_nothing_to_find():
    clean = made_up_file(2000, 0.3)
    assert bound.bound_z(np, clean, clean.copy(), 1000) == (0.0, 0.0)


@pytest.mark.parametrize("noise", [0.1, 0.3, 1.0])
def test_known_changes_weigh_as_their_count_over_the_spread(noise):
    # Changed carriers far apart: each moves its own residual by 1/2 and no
    # other carrier's (its neighbours in time are the records between).
    # The residual of jitter sd `noise` against two neighbours has sd
    # noise * sqrt(1.5); the spread is estimated from 1,000 of them.
    clean = made_up_file(2000, noise)
    changes = {c: 1 for c in range(100, 900, 40)}  # 20 carriers
    known, _ = bound.bound_z(np, clean, with_changes(clean, changes), 1000)
    expected = 0.5 * math.sqrt(len(changes)) / (noise * math.sqrt(1.5))
    assert known == pytest.approx(expected, rel=0.12)


def test_in_stereo_a_change_moves_its_neighbours_and_the_channels_difference():
    # Channel 0 carries every bit: a changed carrier moves its own residual
    # by 1/2 and its two neighbours' (carriers too) by -1/4 each, in its
    # channel (residual sd noise * sqrt(1.5)) and in the difference between
    # the channels (jitter sd noise * sqrt(2), residual sd noise * sqrt(3)).
    noise = 0.3
    clean = made_up_file(4000, noise, channels=2)
    changes = {c: 1 for c in range(100, 900, 40)}
    known, _ = bound.bound_z(np, clean, with_changes(clean, changes), 2000)
    moved = 0.25 + 2 * 0.0625
    expected = math.sqrt(len(changes) * moved * (1 / 1.5 + 1 / 3)) / noise
    assert known == pytest.approx(expected, rel=0.12)


def test_the_parity_test_sees_a_change_only_through_the_parity_it_leaves():
    # A +1 step leaves an odd gain (the clean gains are even): the parity
    # test weighs +1 x +1/2 per changed carrier, over the root of all the
    # carriers it weighs in the span.
    clean = made_up_file(2000, 0.3)
    changes = {c: 1 for c in range(100, 900, 40)}
    known, parity = bound.bound_z(np, clean, with_changes(clean, changes), 1000)
    spread = bound.spread(np, bound.residuals(np, np.stack(
        [clean["band%d_log2_energy" % k] for k in range(8)], axis=1).astype(np.float64))[1::2])
    assert parity == pytest.approx(0.5 * len(changes) / spread / math.sqrt(999), rel=0.12)
    # Changes beyond the span count for neither test.
    assert bound.bound_z(np, clean, with_changes(clean, changes), 50) == (0.0, pytest.approx(0.0, abs=1e-9))


def test_power_at_alpha_follows_the_normal_tail():
    assert bound.normal_tail(bound.z_for(0.01)) == pytest.approx(0.01, rel=1e-6)
    assert bound.z_for(0.001) == pytest.approx(3.0902, abs=1e-3)
