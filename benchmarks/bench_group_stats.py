"""Group statistics on 1,000,000 rows / 1,000 text groups: each operator next to the same operation
written directly in pandas (same joins, group-bys, standardisation and median fill), first call
(empty record) and incremental call (record built from another batch of the same size)."""

from __future__ import annotations

import os
import sys

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))
import orvalis  # noqa: E402,F401  (puts the package folder on sys.path)
import brevant  # noqa: E402
from common import Table, best_of  # noqa: E402

N = 1_000_000
GROUPS = 1_000
REPEAT = 5


def table(seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    names = np.array([f"s{k}" for k in range(GROUPS)], dtype=object)
    price = rng.normal(50, 10, N)
    price[rng.random(N) < 0.05] = np.nan
    return pd.DataFrame(
        {
            "shop": names[rng.integers(0, GROUPS, N)],
            "item": rng.integers(0, 20, N),
            "price": price,
            "user": rng.integers(0, 200_000, N),
        }
    )


# ---- the same operations in plain pandas --------------------------------------------------------


def _finish(df, name, standardise=True):
    if standardise:
        df[name] = (df[name] - df[name].mean()) / df[name].std()
    return df.fillna(df.median(numeric_only=True))


def pd_count(df, col, rec):
    name = f"count###{col}$$$"
    t = df[col].value_counts(sort=False).rename_axis(col).reset_index(name=name)
    if rec.get(name) is None:
        rec[name] = t
    else:
        b = t.rename(columns={name: name + "_2"})
        t = pd.merge(rec[name], b, left_on=col, right_on=col, how="outer")
        t[name] = t[name].fillna(0) + t[name + "_2"].fillna(0)
        t = t.drop(columns=[name + "_2"])
    return _finish(df.merge(t, on=col, how="left"), name)


def pd_crosscount(df, cols, rec):
    name = "crosscount###" + "|||".join(cols) + "$$$"
    t = df.groupby(cols)[cols[1]].count().rename(name)
    if rec.get(name) is None:
        rec[name] = t
    else:
        t = pd.merge(rec[name], t.rename(name + "_2"), left_on=cols, right_on=cols, how="outer")
        t[name] = t[name].fillna(0) + t[name + "_2"].fillna(0)
        t = t.drop(columns=[name + "_2"])
    return _finish(df.merge(t, on=cols, how="left"), name)


def pd_aggregate(df, num, g, stat, rec):
    name = f"aggregate###{stat}|||{num}|||{g}$$$"
    a = df.groupby([g])[num].agg(stat).rename(name)
    stored = rec.get(name)
    if stored is None:
        rec[name] = a
        if stat == "mean":
            counts = df[g].value_counts(sort=False).rename_axis(g)
            rec[name] = {"data": a, "length": counts.reset_index(name=g + "_count")}
    elif stat in ("min", "max"):
        a = pd.merge(stored, a.rename(name + "_2"), left_on=g, right_on=g, how="outer")
        a[name] = getattr(a[[name, name + "_2"]], stat)(axis=1)
        a = a.drop(columns=[name + "_2"])
    elif stat == "median":
        a = pd.merge(stored, a.rename(name + "_2"), left_on=g, right_on=g, how="outer")
        a[name] = (a[name] + a[name + "_2"]) / 2
        a = a.drop(columns=[name + "_2"])
    elif stat == "var":
        a = stored
    else:
        a = pd.merge(stored["data"], a.rename(name + "_2"), left_on=g, right_on=g, how="outer")
        lb = df[g].value_counts(sort=False).rename_axis(g).reset_index(name=g + "_count_2")
        lengths = pd.merge(stored["length"], lb, left_on=g, right_on=g, how="outer")
        w = pd.merge(a, lengths, left_on=g, right_on=g, how="outer").fillna(0)
        rec[name + "_mean_count"] = w.copy()
        n1, n2 = w[g + "_count"], w[g + "_count_2"]
        w[name] = (n2 * w[name + "_2"] + n1 * w[name]) / (n1 + n2)
        a = w.drop(columns=[name + "_2", g + "_count_2", g + "_count"])
    return _finish(df.merge(a, on=g, how="left"), name)


def pd_nunique(df, id_col, g, rec):
    name = f"nunique###{id_col}|||{g}$$$"
    a = rec.get(name)
    if a is None:
        a = rec[name] = df.groupby([g])[id_col].nunique().rename(name)
    return _finish(df.merge(a, on=[g], how="left"), name, standardise=False)


def pd_histstat(df, id_col, g):
    name = f"histstat###{id_col}|||{g}$$$"
    tc = df.groupby(id_col)[id_col].transform("count")
    s = tc.groupby(df[g]).agg(list(brevant.AGGREGATE_TYPE))
    df[name] = df[[g]].merge(s, left_on=g, right_index=True, how="left")[s.columns[-1]].to_numpy()
    return df


def pd_crossrank(df, c1, c2):
    df[f"crossrank###{c1}|||{c2}$$$"] = df.groupby(c1)[c2].transform("rank")
    return df


def main() -> None:
    train, batch = table(1), table(2)
    cases = [
        ("count", lambda d, r: brevant.count(d, "shop", r), lambda d, r: pd_count(d, "shop", r)),
        ("crosscount", lambda d, r: brevant.crosscount(d, ["shop", "item"], r),
         lambda d, r: pd_crosscount(d, ["shop", "item"], r)),
    ]
    for stat in ["min", "max", "mean", "median", "var"]:
        cases.append((f"aggregate {stat}",
                      lambda d, r, s=stat: brevant.aggregate(d, "price", "shop", [s], r),
                      lambda d, r, s=stat: pd_aggregate(d, "price", "shop", s, r)))
    cases.append(("nunique", lambda d, r: brevant.nunique(d, "user", "shop", r),
                  lambda d, r: pd_nunique(d, "user", "shop", r)))

    t = Table(f"group statistics, {N:,} rows, {GROUPS:,} groups")
    t.header()
    held: dict = {}

    def timed(fn, record=None):
        # the table copy (and the record copy) are made untimed before every run
        def setup():
            held["df"] = batch.copy()
            held["rec"] = {} if record is None else dict(record)

        return best_of(lambda: fn(held["df"], held["rec"]), REPEAT, setup)

    for case, native, reference in cases:
        trained_native: dict = {}
        trained_reference: dict = {}
        native(train.copy(), trained_native)
        reference(train.copy(), trained_reference)
        runs = [(None, None, "first"), (trained_native, trained_reference, "incremental")]
        for record_n, record_r, when in runs:
            got = native(batch.copy(), {} if record_n is None else dict(record_n))
            want = reference(batch.copy(), {} if record_r is None else dict(record_r))
            pd.testing.assert_frame_equal(got, want)  # the same result, or the timing means nothing
            t.add(f"{case} {when}", timed(native, record_n), timed(reference, record_r), ">= 10x")

    for case, native, reference in [
        ("histstat (five statistics)", lambda d, r: brevant.histstat(d, "user", "shop"),
         lambda d, r: pd_histstat(d, "user", "shop")),
        ("crossrank", lambda d, r: brevant.crossrank(d, "shop", "price"),
         lambda d, r: pd_crossrank(d, "shop", "price")),
    ]:
        pd.testing.assert_frame_equal(native(batch.copy(), None), reference(batch.copy(), None))
        t.add(case, timed(native), timed(reference), ">= 10x")


if __name__ == "__main__":
    main()
