"""ts_rank on long windows, windows that never fill, and a column written while it is ranked."""

from __future__ import annotations

import threading

import numpy as np
import pandas as pd
import pytest

from module.common import task_config


def values(n: int, seed: int) -> np.ndarray:
    """Ties (few distinct values in stretches), NaN runs, +-inf, signed zeros."""
    rng = np.random.default_rng(seed)
    x = np.round(rng.normal(size=n) * 50) / 4
    x[rng.random(n) < 0.2] = 0.0
    x[rng.integers(0, n, size=5)] = np.inf
    x[rng.integers(0, n, size=5)] = -np.inf
    x[rng.integers(0, n, size=5)] = -0.0
    for start in rng.integers(0, n, size=3):
        x[start:start + rng.integers(1, 4)] = np.nan
    return x


def rank_reference(df, w, group):
    ref = df.copy()
    if group is None:
        ref["r"] = df["x"].rolling(w).rank()
    else:
        ref["r"] = df.groupby(group)["x"].rolling(w).rank().reset_index(0, drop=True)
    return ref["r"].to_numpy()


@pytest.mark.parametrize("grouped", [False, True], ids=["whole", "grouped"])
def test_long_windows_match_pandas(brevant, grouped):
    """Windows past the length kept sorted, up to and past the series length."""
    n = 12_000
    df = pd.DataFrame({"x": values(n, 1), "g": np.random.default_rng(2).integers(0, 2, size=n)})
    group = "g" if grouped else None
    for w in [7, 4096, 4097, 5000, 5900, 6500, 11_999, 12_000, 12_001, 10**12]:
        work = df.copy()
        with task_config.active({"Feature": {"GroupIndex": group}}):
            brevant.ts_rank(work, "x", str(w))
        got = work[f"ts_rank###x|||{w}$$$"].to_numpy()
        if w > n:
            assert np.isnan(got).all()
            continue
        np.testing.assert_allclose(got, rank_reference(df, w, group), rtol=1e-12, equal_nan=True)


@pytest.mark.parametrize("w", [3, 150, 5000])
def test_windows_that_never_fill(brevant, w):
    """A missing value at least every w rows: no window holds w values."""
    x = np.arange(10_000, dtype=float)
    x[:: max(w - 1, 1)] = np.nan
    df = pd.DataFrame({"x": x})
    brevant.ts_rank(df, "x", str(w))
    got = df[f"ts_rank###x|||{w}$$$"].to_numpy()
    assert np.isnan(got).all()
    np.testing.assert_array_equal(np.isnan(got), np.isnan(df["x"].rolling(w).rank().to_numpy()))


@pytest.mark.parametrize("w", ["5", "5000"])
def test_column_written_while_ranked(brevant, w):
    """Another thread rewrites the column's own buffer while the kernel runs without the GIL:
    the ranks may mix old and new values, but each is a rank within the window or missing."""
    n = 200_000
    df = pd.DataFrame({"x": np.random.default_rng(3).normal(size=n)})
    buffer = np.asarray(df["x"])
    stop = threading.Event()

    def scribble():
        while not stop.is_set():
            np.negative(buffer, out=buffer)  # NumPy releases the GIL for the loop

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(3):
            brevant.ts_rank(df, "x", w)
            got = df[f"ts_rank###x|||{w}$$$"].to_numpy()
            present = got[~np.isnan(got)]
            assert ((present >= 1) & (present <= int(w))).all()
    finally:
        stop.set()
        writer.join()
