"""Rolling-window operators: native against the pandas form of the same statement, same table.

Grouped and whole-table windows on 1,000,000 rows (10,000 groups, window 7); the operators whose
pandas form runs a Python function per window on 100,000 rows; ts_rank with windows longer than
the table and a quarter of it, on 200,000 and 1,000,000 rows. Then the peak memory each native
operator adds above the table, measured in a child process from the kernel's resident high-water
mark (which also sees C++ allocations), next to the pandas form's.
"""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

import orvalis  # noqa: E402,F401  (puts the package folder on sys.path)
import brevant  # noqa: E402
from common import Table, best_of  # noqa: E402
from module.common import task_config  # noqa: E402

N, GROUPS, W = 1_000_000, 10_000, 7
N_APPLY = 100_000


def make_table(n: int, groups: int, seed: int = 0) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    x[rng.random(n) < 0.01] = np.nan
    return pd.DataFrame({"g": rng.integers(0, groups, size=n), "x": x, "y": rng.normal(size=n)})


def decay(w: int):
    weights = np.linspace(0.1, 1, w)
    return lambda s: (s * weights).sum()


def pair_grouped(df: pd.DataFrame, method: str, w: int) -> pd.Series:
    # Per group, x paired with y: the pairwise grouped form, then the (x, y) entry of each row.
    r = getattr(df.groupby("g")[["x", "y"]].rolling(w), method)()
    return r.xs("x", level=-1)["y"].reset_index(0, drop=True)


GROUPED = {
    "tsum": lambda df, w: df.groupby("g")["x"].rolling(w).sum().reset_index(0, drop=True),
    "ts_mean": lambda df, w: df.groupby("g")["x"].rolling(w).mean().reset_index(0, drop=True),
    "ts_max": lambda df, w: df.groupby("g")["x"].rolling(w).max().reset_index(0, drop=True),
    "ts_min": lambda df, w: df.groupby("g")["x"].rolling(w).min().reset_index(0, drop=True),
    "stddev": lambda df, w: df.groupby("g")["x"].rolling(w).std().reset_index(0, drop=True),
    "ts_rank": lambda df, w: df.groupby("g")["x"].rolling(w).rank().reset_index(0, drop=True),
    "tcorrelation": lambda df, w: pair_grouped(df, "corr", w),
    "tcorvariance": lambda df, w: pair_grouped(df, "cov", w),
    "delay": lambda df, w: df.groupby("g")["x"].shift(w).reset_index(0, drop=True),
    "delta": lambda df, w: df.groupby("g")["x"].diff(w),
}

WHOLE = {
    "tsum": lambda df, w: df["x"].rolling(w).sum(),
    "ts_mean": lambda df, w: df["x"].rolling(w).mean(),
    "ts_max": lambda df, w: df["x"].rolling(w).max(),
    "ts_min": lambda df, w: df["x"].rolling(w).min(),
    "stddev": lambda df, w: df["x"].rolling(w).std(),
    "ts_rank": lambda df, w: df["x"].rolling(w).rank(),
    "tcorrelation": lambda df, w: df["x"].rolling(w).corr(df["y"]),
    "tcorvariance": lambda df, w: df["x"].rolling(w).cov(df["y"]),
    "delay": lambda df, w: df["x"].shift(w),
    "delta": lambda df, w: df["x"] - df["x"].shift(w),
}

APPLIED = {
    "product": lambda df, w: df["x"].rolling(w).apply(lambda s: s.prod()),
    "ts_argmax": lambda df, w: df["x"].rolling(w).apply(lambda s: s.argmax()),
    "ts_argmin": lambda df, w: df["x"].rolling(w).apply(lambda s: s.argmin()),
    "decay_linear": lambda df, w: df["x"].rolling(w).apply(decay(w)),
}


def native_call(op: str, df: pd.DataFrame) -> pd.DataFrame:
    fn = getattr(brevant, op)
    return fn(df, "x", "y", str(W)) if op.startswith("tc") else fn(df, "x", str(W))


def feature(op: str) -> str:
    args = ["x", "y", str(W)] if op.startswith("tc") else ["x", str(W)]
    return f"{op}###{'|||'.join(args)}$$$"


def compare(title: str, forms: dict, df: pd.DataFrame, group, repeat_ref: int, target: str) -> None:
    table = Table(title)
    table.header()
    for op, form in forms.items():
        name = feature(op)
        with task_config.active({"Feature": {"GroupIndex": group}}):
            native = best_of(lambda: native_call(op, df), repeat=5)
        got = df.pop(name).to_numpy()

        def reference():
            df[name] = form(df, W)

        ref = best_of(reference, repeat=repeat_ref)
        want = df.pop(name).to_numpy(dtype="float64")
        agree = np.allclose(got, want, rtol=1e-9, atol=0, equal_nan=True)
        table.add(op, native, ref, target + ("" if agree else "  RESULTS DIFFER"))


def long_rank() -> None:
    """ts_rank with windows far longer than usual: longer than the table (no window ever fills),
    a quarter of the table on x (a missing value in every hundred rows, so no window fills
    either) and on y (no missing value: every window from row n/4 on is ranked)."""
    table = Table("ts_rank, long windows, whole table")
    table.header()
    for n in [200_000, 1_000_000]:
        df = make_table(n, GROUPS)
        for col, w, label in [("x", 2 * n, "window 2n"), ("x", n // 4, "window n/4, gaps"),
                              ("y", n // 4, "window n/4, full")]:
            name = f"ts_rank###{col}|||{w}$$$"
            native = best_of(lambda: brevant.ts_rank(df, col, str(w)), repeat=3)
            got = df.pop(name).to_numpy()

            def reference():
                df[name] = df[col].rolling(w).rank()

            ref = best_of(reference, repeat=1)
            want = df.pop(name).to_numpy()
            agree = np.allclose(got, want, rtol=1e-12, atol=0, equal_nan=True)
            table.add(f"{n:,} rows, {label}", native, ref,
                      ">= 1x" + ("" if agree else "  RESULTS DIFFER"))


# ---- memory -------------------------------------------------------------------------------------


def _status() -> dict[str, int]:
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("VmHWM", "VmRSS")):
                key, value = line.split(":")
                out[key] = int(value.split()[0]) * 1024
    return out


def _reset_peak() -> None:
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def _peak_above(fn) -> int:
    _reset_peak()
    before = _status()["VmRSS"]
    fn()
    return _status()["VmHWM"] - before


def memory_child() -> None:
    """Runs in a fresh process: peak resident memory added by each operator above the table."""
    df = make_table(N, GROUPS)
    column = df["x"].nbytes
    small = make_table(1000, 10)
    for group in [None, "g"]:
        for op in GROUPED:
            with task_config.active({"Feature": {"GroupIndex": group}}):
                native_call(op, small.copy())
            forms = GROUPED if group else WHOLE
            forms[op](small, W)
    print(f"\n## Peak memory above the table, {N:,} rows (bound: input column + 2 outputs"
          f" = {3 * column / 2**20:.1f} MiB)")
    print(f"  {'case':<34} {'native':>10} {'pandas':>10}")
    for group in [None, "g"]:
        forms = GROUPED if group else WHOLE
        for op in ["tsum", "stddev", "ts_rank", "ts_max", "tcorrelation", "delay"]:
            # A fresh consolidated copy each time, so that no case pays for consolidating
            # the columns the previous ones added and removed.
            work = df.copy()
            with task_config.active({"Feature": {"GroupIndex": group}}):
                native = _peak_above(lambda: native_call(op, work))
            work = df.copy()

            def reference():
                work[feature(op)] = forms[op](work, W)

            ref = _peak_above(reference)
            del work
            case = f"{op} ({'grouped' if group else 'whole'})"
            print(f"  {case:<34} {native / 2**20:8.1f}Mi {ref / 2**20:8.1f}Mi", flush=True)


def main() -> None:
    df = make_table(N, GROUPS)
    compare(f"grouped, {N:,} rows, {GROUPS:,} groups, window {W}", GROUPED, df, "g", 2, ">= 5x")
    compare(f"whole table, {N:,} rows, window {W}", WHOLE, df, None, 3, ">= 1x")
    small = make_table(N_APPLY, GROUPS // 10)
    compare(f"Python function per window in pandas, {N_APPLY:,} rows, window {W}", APPLIED,
            small, None, 1, ">= 300x")
    long_rank()
    subprocess.run([sys.executable, os.path.abspath(__file__), "--memory"], check=True)


if __name__ == "__main__":
    if sys.argv[1:] == ["--memory"]:
        memory_child()
    else:
        main()
