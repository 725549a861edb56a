"""Element-wise operators and the name parser against their pandas / pure-Python forms.

Each case runs the operator and the pandas expression of the same feature on the same
1,000,000-row table in this process; the ratio is pandas time / native time.
"""

from __future__ import annotations

import os
import random
import sys

import numpy as np
import pandas as pd
from common import Table, best_of
from scipy import stats
from sklearn.preprocessing import LabelEncoder

import orvalis  # noqa: F401
import brevant  # noqa: E402

# the plain-Python transcription of the name scan that the tests check the parser against
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from test_grammar import reference_split as python_split  # noqa: E402

N = 1_000_000
rng = np.random.default_rng(0)
base = pd.DataFrame(
    {
        "x": rng.normal(size=N),
        "y": rng.normal(size=N) + 3,
        "g1": rng.integers(0, 1000, size=N),
        "g2": rng.integers(0, 100, size=N),
        "k": rng.integers(0, 50, size=N),
    }
)
base.loc[base.sample(frac=0.05, random_state=1).index, "x"] = np.nan


def std(s):
    return (s - s.mean()) / s.std()


def pandas_form(op, df):
    x, y = df["x"], df["y"]
    if op == "add":
        df["r"] = x + y
        df["r"] = (df["r"] - df["r"].mean()) / df["r"].std()
    elif op == "subtract":
        df["r"] = x - y
        df["r"] = (df["r"] - df["r"].mean()) / df["r"].std()
    elif op == "multiply":
        df["r"] = x * y
        df["r"] = (df["r"] - df["r"].mean()) / df["r"].std()
    elif op == "divide":
        df["r"] = x / y
        df["r"] = df["r"].replace(np.inf, 1e12).replace(-np.inf, -1e12).fillna(0)
        df["r"] = (df["r"] - df["r"].mean()) / df["r"].std()
    elif op == "minimize":
        df["r"] = np.min([x, y], axis=0)
    elif op == "maximize":
        df["r"] = np.max([x, y], axis=0)
    elif op == "bigger":
        df["r"] = x > y
    elif op == "smaller":
        df["r"] = x < y
    elif op == "equal":
        df["r"] = x == y
    elif op == "orop":
        m = (x + y).mean()
        df["r"] = (x > m) | (y > m)
    elif op == "combine":
        df["r"] = df["g1"].apply(str) + "_" + df["g2"].apply(str)
    elif op == "combine(float)":
        df["r"] = df["x"].apply(str) + "_" + df["g2"].apply(str)
    elif op == "sine":
        df["r"] = np.sin(x)
    elif op == "cosine":
        df["r"] = np.cos(x)
    elif op == "square_root":
        df["r"] = np.sqrt(x - x.min())
    elif op == "percentile":
        df["r"] = x.rank(pct=True)
    elif op == "quadratic":
        df["r"] = x**2
    elif op == "log":
        df["r"] = np.log(1e-06 + x - x.min())
    elif op == "round":
        df["r"] = np.round(x)
    elif op == "sigmoid":
        df["r"] = x.apply(lambda v: 1 / (1 + np.exp(-v)))
    elif op == "residual":
        df["r"] = np.modf(x)[0]
    elif op == "entropy":
        df["r"] = stats.entropy(LabelEncoder().fit_transform(df["k"]))
    elif op == "softmax":
        v = np.array(y)
        e = np.exp(v - np.max(v))
        df["r"] = e / e.sum()


TWO = [
    "add",
    "subtract",
    "multiply",
    "divide",
    "minimize",
    "maximize",
    "bigger",
    "smaller",
    "equal",
    "orop",
]
ONE = ["sine", "cosine", "square_root", "percentile", "quadratic", "log", "round", "residual"]

table = Table(f"element-wise operators, {N:,} rows (seconds, best of 3)")
table.header()
for op in TWO + ["combine", "combine(float)"] + ONE + ["sigmoid", "entropy", "softmax"]:
    df = base.copy()
    if op == "combine":
        native = lambda: brevant.combine(df, "g1", "g2")  # noqa: E731
    elif op == "combine(float)":
        native = lambda: brevant.combine(df, "x", "g2")  # noqa: E731
    elif op in TWO:
        native = lambda op=op: getattr(brevant, op)(df, "x", "y")  # noqa: E731
    elif op == "entropy":
        native = lambda: brevant.entropy(df, "k")  # noqa: E731
    elif op == "softmax":
        native = lambda: brevant.softmax(df, "y")  # noqa: E731
    else:
        native = lambda op=op: getattr(brevant, op)(df, "x")  # noqa: E731
    repeat = 1 if op in ("sigmoid", "combine", "combine(float)") else 3

    def fresh():
        # each run writes a new column, as the first computation of a feature does
        df.drop(columns=[c for c in df.columns if c not in base.columns], inplace=True)

    t_native = best_of(native, repeat=3, setup=fresh)
    t_pandas = best_of(lambda op=op: pandas_form(op, df), repeat=repeat, setup=fresh)
    target = ">= 20x" if op in ("combine", "combine(float)", "sigmoid") else ">= 0.9x"
    table.add(op, t_native, t_pandas, target)


def nested_names(depth, count, seed=1):
    """Names like add###log###col_3|||col_7$$$|||ts_mean###c2$$$|||7$$$, nested `depth` deep."""
    r = random.Random(seed)
    ops = ["add", "log", "ts_mean", "aggregate", "combine"]

    def name(level):
        if level == 0:
            return f"col_{r.randint(0, 99)}"
        return f"{r.choice(ops)}###{name(level - 1)}|||{name(level - 1)}$$$"

    return [f"{r.choice(ops)}###{name(depth - 1)}|||{name(1)}|||7$$$" for _ in range(count)]


parse = Table("split_features over 100,000 nested names", reference="python")
parse.header()
for depth in (2, 3):
    names = nested_names(depth, 100_000)
    sample = names[:2000]
    assert [brevant.split_features(k) for k in sample] == [python_split(k) for k in sample]
    mean_len = sum(map(len, names)) / len(names)
    parse.add(
        f"depth {depth} (~{mean_len:.0f} characters)",
        best_of(lambda: [brevant.split_features(k) for k in names]),
        best_of(lambda: [python_split(k) for k in names], repeat=2),
        ">= 20x",
    )
