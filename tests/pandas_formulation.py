"""The whole feature engine written directly in pandas: names parsed, missing engineered arguments
built first and dropped afterwards, every operator its plain pandas/NumPy expression (element-wise
and rolling ones as their own tests state them, group statistics as in group_formulation). A
table that name2feature returns must equal, column for column and dtype for dtype, the table this
gives. The benchmarks time it as the pure pandas form of a feature list."""

from __future__ import annotations

import numpy as np
import pandas as pd

import group_formulation as groups
from test_elementwise import REFERENCE as TWO_COLUMNS
from test_elementwise import REFERENCE1 as ONE_COLUMN
from test_rolling import GROUPED, UNGROUPED, pair_expected

import brevant

PAIRS = ["tcorrelation", "tcorvariance"]


def _rolling(df, op, col, w, group):
    if group is None:
        return UNGROUPED[op](df[col], w)
    return GROUPED[op](df.groupby(group)[col], w)


def _one(df, name, temp, rec, group):
    op, args = temp[0], temp[1:]
    if op == "count":
        return groups.count(df, args[0], rec)
    if op == "crosscount":
        return groups.crosscount(df, args[:2], rec)
    if op == "aggregate":
        return groups.aggregate(df, args[1], args[2], [args[0]], rec)
    if op == "nunique":
        return groups.nunique(df, args[0], args[1], rec)
    if op == "histstat":
        return groups.histstat(df, args[0], args[1])
    if op == "crossrank":
        return groups.crossrank(df, args[0], args[1])
    if op in TWO_COLUMNS:
        df[name] = TWO_COLUMNS[op](df[args[0]], df[args[1]])
    elif op in ONE_COLUMN:
        df[name] = ONE_COLUMN[op](df[args[0]])
    elif op in PAIRS:
        # grouped: the statistic on each group's rows alone (pandas' grouped rolling corr/cov
        # cannot align its result with the other column)
        df[name] = pair_expected(df, op, args[0], args[1], args[2], group)
    elif op in UNGROUPED:
        df[name] = _rolling(df, op, args[0], int(args[1]), group)
    else:
        raise RuntimeError("Do not support this OP: " + name)
    return df


def name2feature(df: pd.DataFrame, names: list[str], rec: dict, group: str | None = None):
    """The feature list on `df` (grouped rolling windows by `group`), the record updated."""
    for name in names:
        temp = brevant.split_features(name)
        built = []
        for part in temp[1:]:
            if brevant.is_combination_feature(part) and part not in df.columns:
                df = name2feature(df, [part], rec, group)
                built.append(part)
        df = _one(df, name, temp, rec, group)
        df.drop(columns=built, inplace=True)
    return df


def random_table(seed: int, n: int, groups_: int = 12) -> pd.DataFrame:
    """Text, integer and float keys (some missing), NaN runs, a constant column and a complete
    text series key `series` for the grouped windows; RangeIndex as the inference side builds."""
    rng = np.random.default_rng(seed)
    shops = np.array([f"s{k}" for k in range(groups_)], dtype=object)
    price = rng.normal(50, 10, n).round(2)
    price[rng.random(n) < 0.05] = np.nan
    if n > 10:
        price[3:7] = np.nan
    shop = shops[rng.integers(0, groups_, n)]
    shop[rng.random(n) < 0.03] = None
    rate = rng.normal(size=n)
    rate[rng.random(n) < 0.1] = np.nan
    return pd.DataFrame(
        {
            "series": shops[rng.integers(0, max(groups_ // 3, 1), n)],
            "shop": shop,
            "item": rng.integers(0, 20, n),
            "price": price,
            "qty": rng.integers(1, 9, n),
            "rate": rate,
            "user": rng.integers(0, max(n // 4, 1), n).astype(float),
            "const": np.full(n, 1.5),
            "flag": rng.random(n) < 0.5,
        }
    )


# Every family, nested arguments of every family, a name listed twice and one that already has
# its engineered argument as a column after an earlier name.
MIXED_60 = [
    "count###shop$$$", "count###item$$$", "crosscount###shop|||item$$$",
    "aggregate###min|||price|||shop$$$", "aggregate###max|||price|||shop$$$",
    "aggregate###mean|||price|||shop$$$", "aggregate###median|||price|||shop$$$",
    "aggregate###var|||price|||shop$$$", "aggregate###mean|||qty|||item$$$",
    "aggregate###max|||qty|||shop$$$", "nunique###user|||shop$$$", "nunique###item|||series$$$",
    "histstat###user|||shop$$$", "crossrank###shop|||price$$$", "crossrank###item|||rate$$$",
    "add###price|||qty$$$", "subtract###price|||rate$$$", "multiply###price|||rate$$$",
    "divide###qty|||rate$$$", "minimize###price|||rate$$$", "maximize###qty|||rate$$$",
    "bigger###price|||qty$$$", "smaller###rate|||const$$$", "equal###qty|||item$$$",
    "orop###price|||rate$$$", "combine###shop|||item$$$", "sine###rate$$$", "cosine###price$$$",
    "square_root###price$$$", "percentile###rate$$$", "quadratic###qty$$$", "log###price$$$",
    "round###rate$$$", "sigmoid###rate$$$", "residual###price$$$", "entropy###item$$$",
    "delay###price|||3$$$", "delta###qty|||2$$$", "ts_o###rate|||1$$$", "tsum###price|||7$$$",
    "ts_mean###rate|||7$$$", "ts_max###qty|||5$$$", "ts_min###price|||7$$$",
    "stddev###rate|||4$$$", "ts_rank###price|||7$$$", "product###rate|||3$$$",
    "ts_argmax###price|||5$$$", "ts_argmin###rate|||5$$$", "decay_linear###price|||4$$$",
    "tcorrelation###price|||rate|||7$$$", "tcorvariance###qty|||rate|||5$$$",
    "count###combine###series|||item$$$$$$", "aggregate###mean|||log###qty$$$|||shop$$$",
    "ts_mean###multiply###qty|||rate$$$|||3$$$", "sine###count###series$$$$$$",
    "nunique###item|||combine###shop|||item$$$$$$", "ts_mean###add###price|||qty$$$|||3$$$",
    "delay###aggregate###min|||rate|||series$$$|||2$$$", "tsum###price|||7$$$",
    "add###log###rate$$$|||log###rate$$$$$$", "crossrank###shop|||subtract###qty|||price$$$$$$",
]


def sixty_feature_run(rows: int, train_rows: int, groups_: int, time_budget: float):
    """A labelled table of `rows` rows (`groups_` text groups): its first `train_rows` rows to
    train a folder of the sixty names on, the others held out without the label, and the
    training task: (train, holdout, task)."""
    table = random_table(11, rows, groups_)
    rng = np.random.default_rng(11)
    score = table["price"].fillna(50) / 10 + table["rate"].fillna(0) + table["qty"] / 3
    table["label"] = (score + rng.normal(size=len(table)) > 8.2).astype(int)
    train, holdout = table.iloc[:train_rows], table.iloc[train_rows:].drop(columns=["label"])
    task = {
        "TargetName": "label",
        "TaskType": "classification",
        "FeatureName": [c for c in table.columns if c != "label"],
        "GroupIndex": "series",
        "SplitType": "random",
        "TestSize": 0.25,
        "RandomSeed": 7,
        "features": list(MIXED_60),
        "estimators": ["lgbm"],
        "time_budget": time_budget,
    }
    return train, holdout.reset_index(drop=True), task
