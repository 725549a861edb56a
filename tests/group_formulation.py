"""The group statistics written directly in pandas: joins, group-bys, standardisation and median
fill, with the decided rules (a stale feature column is dropped before the join; missing keys
match nothing). The native operators must give exactly these tables and record entries."""

from __future__ import annotations

import pandas as pd

STATS = ["min", "max", "mean", "median", "var"]


def _join(df, table, on, name):
    if name in df.columns:
        df = df.drop(columns=[name])
    return df.merge(table, on=on, how="left")


def _finish(df, name, standardise=True):
    if standardise:
        df[name] = (df[name] - df[name].mean()) / df[name].std()
    return df.fillna(df.median(numeric_only=True))


def _counts(df, col, as_name):
    return df[col].value_counts(sort=False).rename_axis(col).reset_index(name=as_name)


def count(df, col, rec):
    name = f"count###{col}$$$"
    if rec.get(name) is None:
        t = rec[name] = _counts(df, col, name)
    else:
        b = _counts(df, col, name + "_2")
        t = pd.merge(rec[name], b, left_on=col, right_on=col, how="outer")
        t[name] = t[name].fillna(0) + t[name + "_2"].fillna(0)
        t = t.drop(columns=[name + "_2"])
    return _finish(_join(df, t, col, name), name)


def crosscount(df, cols, rec):
    name = "crosscount###" + "|||".join(cols) + "$$$"
    t = df.groupby(cols)[cols[1]].count()
    if rec.get(name) is None:
        t = rec[name] = t.rename(name)
    else:
        t = pd.merge(rec[name], t.rename(name + "_2"), left_on=cols, right_on=cols, how="outer")
        t[name] = t[name].fillna(0) + t[name + "_2"].fillna(0)
        t = t.drop(columns=[name + "_2"])
    return _finish(_join(df, t, cols, name), name)


def aggregate(df, num, g, stats, rec):
    for stat in stats:
        name = f"aggregate###{stat}|||{num}|||{g}$$$"
        a = df.groupby([g])[num].agg(stat).rename(name)
        stored = rec.get(name)
        if stored is None:
            rec[name] = a
            if stat == "mean":
                rec[name] = {"data": a, "length": _counts(df, g, g + "_count")}
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
            lb = _counts(df, g, g + "_count_2")
            lengths = pd.merge(stored["length"], lb, left_on=g, right_on=g, how="outer")
            w = pd.merge(a, lengths, left_on=g, right_on=g, how="outer").fillna(0)
            rec[name + "_mean_count"] = w.copy()
            n1, n2 = w[g + "_count"], w[g + "_count_2"]
            w[name] = (n2 * w[name + "_2"] + n1 * w[name]) / (n1 + n2)
            a = w.drop(columns=[name + "_2", g + "_count_2", g + "_count"])
        df = _join(df, a, g, name)
        df[name] = (df[name] - df[name].mean()) / df[name].std()
    return df.fillna(df.median(numeric_only=True))


def nunique(df, id_col, g, rec):
    name = f"nunique###{id_col}|||{g}$$$"
    a = rec.get(name)
    if a is None:
        a = rec[name] = df.groupby([g])[id_col].nunique().rename(name)
    return _finish(_join(df, a, [g], name), name, standardise=False)


def histstat(df, id_col, g, stats=STATS):
    name = f"histstat###{id_col}|||{g}$$$"
    tc = df.groupby(id_col)[id_col].transform("count")
    s = tc.groupby(df[g].to_numpy()).agg(list(stats))
    left = pd.DataFrame({g: df[g].to_numpy()})
    df[name] = left.merge(s, left_on=g, right_index=True, how="left")[s.columns[-1]].to_numpy()
    return df


def crossrank(df, c1, c2):
    df[f"crossrank###{c1}|||{c2}$$$"] = df.groupby(c1)[c2].transform("rank").to_numpy()
    return df
