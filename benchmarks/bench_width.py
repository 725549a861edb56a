"""The cost of group statistics must not grow with the width of the table: name2feature of 20
group statistics on 200,000 rows with 6 columns and with 200 extra columns (target: the wide
table within 1.5x of the narrow one), each next to the same names in the pandas formulation."""

from __future__ import annotations

import os
import sys

import numpy as np
import pandas as pd

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "src"))
sys.path.insert(0, os.path.join(here, "..", "tests"))
import orvalis  # noqa: E402,F401
import brevant  # noqa: E402
import group_formulation as ref  # noqa: E402
from common import Table, best_of  # noqa: E402

N = 200_000


def table(extra: int) -> pd.DataFrame:
    rng = np.random.default_rng(0)
    names = np.array([f"g{k}" for k in range(1_000)], dtype=object)
    cols = {
        "grp": names[rng.integers(0, 1_000, N)],
        "shop": names[rng.integers(0, 50, N)],
        "f1": rng.normal(size=N),
        "f2": rng.normal(size=N),
        "qty": rng.integers(0, 9, N),
        "user": rng.integers(0, 5_000, N),
    }
    for k in range(extra):
        cols[f"x{k}"] = rng.normal(size=N)
    return pd.DataFrame(cols)


NAMES = (
    ["count###grp$$$", "count###shop$$$", "crosscount###grp|||shop$$$", "nunique###user|||grp$$$"]
    + [f"aggregate###{s}|||{c}|||{g}$$$" for s in ref.STATS for c in ("f1", "f2")
       for g in ("grp",)]
    + [f"aggregate###{s}|||qty|||shop$$$" for s in ("min", "max", "mean", "median", "var", "mean")]
)[:20]


def by_pandas(df: pd.DataFrame, rec: dict) -> pd.DataFrame:
    for name in NAMES:
        op, rest = name.split("###", 1)
        args = rest[:-3].split("|||")
        if op == "count":
            df = ref.count(df, args[0], rec)
        elif op == "crosscount":
            df = ref.crosscount(df, args, rec)
        elif op == "nunique":
            df = ref.nunique(df, args[0], args[1], rec)
        else:
            df = ref.aggregate(df, args[1], args[2], [args[0]], rec)
    return df


def main() -> None:
    t = Table(f"20 group statistics through name2feature, {N:,} rows")
    t.header()
    narrow_native = None
    for extra in (0, 200):
        df = table(extra)
        got = brevant.name2feature(df, list(NAMES), {})
        pd.testing.assert_frame_equal(got, by_pandas(df.copy(), {}))
        native = best_of(lambda: brevant.name2feature(df, list(NAMES), {}), 3)
        reference = best_of(lambda: by_pandas(df, {}), 2)
        narrow_native = narrow_native or native
        target = "" if extra == 0 else f"wide/narrow {native / narrow_native:.2f} (target <= 1.5)"
        t.add(f"{6 + extra} columns", native, reference, target)


if __name__ == "__main__":
    main()
