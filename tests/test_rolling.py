"""Rolling-window operators: native results against the pandas expressions they stand for."""

from __future__ import annotations

import contextlib
import inspect

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from module.common import task_config

SINGLE = ["delay", "delta", "ts_o", "tsum", "ts_mean", "ts_max", "ts_min", "stddev", "ts_rank",
          "product", "ts_argmax", "ts_argmin", "decay_linear"]
PAIR = ["tcorrelation", "tcorvariance"]
SHIFTS = ["delay", "delta", "ts_o"]
ROLLING = [op for op in SINGLE if op not in SHIFTS]
APPLIED = ["product", "ts_argmax", "ts_argmin", "decay_linear"]


def decay(w):
    weights = np.linspace(0.1, 1, w)
    return lambda x: (x * weights).sum()


# The ungrouped pandas form of each one-column operator, on a Series and an integer window.
UNGROUPED = {
    "delay": lambda s, w: s.shift(w),
    "delta": lambda s, w: s - s.shift(w),
    "ts_o": lambda s, w: s.shift(w),
    "tsum": lambda s, w: s.rolling(w).sum(),
    "ts_mean": lambda s, w: s.rolling(w).mean(),
    "ts_max": lambda s, w: s.rolling(w).max(),
    "ts_min": lambda s, w: s.rolling(w).min(),
    "stddev": lambda s, w: s.rolling(w).std(),
    "ts_rank": lambda s, w: s.rolling(w).rank(),
    "product": lambda s, w: s.rolling(w).apply(lambda x: x.prod()),
    "ts_argmax": lambda s, w: s.rolling(w).apply(lambda x: x.argmax()),
    "ts_argmin": lambda s, w: s.rolling(w).apply(lambda x: x.argmin()),
    "decay_linear": lambda s, w: s.rolling(w).apply(decay(w)),
}

# The grouped pandas form, on df.groupby(g)[col]; meant for tables with a RangeIndex.
GROUPED = {
    "delay": lambda gb, w: gb.shift(w).reset_index(0, drop=True),
    "delta": lambda gb, w: gb.diff(w),
    "ts_o": lambda gb, w: gb.apply(lambda s: s.shift(w)).reset_index(0, drop=True),
    **{
        op: (lambda op: lambda gb, w: UNGROUPED[op](gb, w).reset_index(0, drop=True))(op)
        for op in ROLLING
    },
}


def table(seed: int, n: int = 240, groups: int = 6) -> pd.DataFrame:
    """Random table: NaN runs, +-inf, ties, constant stretches, ints, bools, groups with a
    missing group value, a one-row group and groups shorter than the longest windows."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n) * 10.0 ** rng.integers(-2, 4, size=n)
    for start in rng.integers(0, n, size=4):
        x[start:start + rng.integers(1, 6)] = np.nan
    x[rng.integers(0, n, size=2)] = np.inf
    y = 0.5 * np.nan_to_num(x, posinf=0) + rng.normal(size=n)
    y[rng.random(n) < 0.05] = np.nan
    ties = rng.integers(0, 3, size=n).astype(float)
    ties[rng.random(n) < 0.03] = np.nan
    g = rng.choice(list("abcdef")[:groups], size=n).astype(object)
    g[rng.random(n) < 0.04] = None
    g[-1] = "solo"
    return pd.DataFrame({
        "x": x,
        "y": y,
        "ties": ties,
        "const": np.full(n, 0.3),
        "ints": rng.integers(-4, 5, size=n),
        "flags": rng.random(n) < 0.5,
        "g": g,
    })


@contextlib.contextmanager
def grouped_by(key):
    with task_config.active({"Feature": {"GroupIndex": key}}):
        yield


def name_of(op, *args):
    return f"{op}###{'|||'.join(args)}$$$"


def expected(df, op, col, d, group=None):
    w = int(d)
    ref = df.copy()
    if group is None:
        ref["r"] = UNGROUPED[op](df[col], w)
    else:
        rows = df
        if op in APPLIED:
            # rolling(w).apply on a groupby fails when some rows have no group value; those rows
            # get no feature anyway, so the expected values come from the others.
            present = df[group].notna()
            rows = df[(present.all(axis=1) if present.ndim > 1 else present).to_numpy()]
        ref["r"] = GROUPED[op](rows.groupby(group)[col], w)
    return ref["r"].to_numpy(dtype="float64")


def pair_expected(df, op, c1, c2, d, group=None):
    """Rolling corr/cov of c1 with c2; grouped: the same statistic on each group's rows alone."""
    w = int(d)
    method = "corr" if op == "tcorrelation" else "cov"
    if group is None:
        return getattr(df[c1].rolling(w), method)(df[c2]).to_numpy()
    out = np.full(len(df), np.nan)
    for positions in df.groupby(group).indices.values():
        part = df.iloc[positions]
        out[positions] = getattr(part[c1].rolling(w), method)(part[c2]).to_numpy()
    return out


def same(got, want):
    np.testing.assert_allclose(np.asarray(got, dtype="float64"), want, rtol=1e-9, atol=0,
                               equal_nan=True)


WINDOWS = ["1", "2", "3", "7", "50"]


@pytest.mark.parametrize("op", SINGLE)
@pytest.mark.parametrize("grouped", [False, True], ids=["whole", "grouped"])
def test_one_column_operators_match_pandas(brevant, op, grouped):
    for seed in range(3):
        base = table(seed)
        for col in ["x", "ties", "const", "ints", "flags"]:
            for d in WINDOWS:
                df = base.copy()
                with grouped_by("g" if grouped else None):
                    out = getattr(brevant, op)(df, col, d)
                assert out is df
                want = expected(base, op, col, d, "g" if grouped else None)
                same(df[name_of(op, col, d)], want)


@pytest.mark.parametrize("op", PAIR)
@pytest.mark.parametrize("grouped", [False, True], ids=["whole", "grouped"])
def test_two_column_operators_match_pandas(brevant, op, grouped):
    """Grouped: each row gets the statistic of its own group's window, its own x with its own y
    (the grouped pandas form pairs every group with every row, so it is checked per group)."""
    for seed in range(3):
        base = table(seed)
        for c1, c2 in [("x", "y"), ("ties", "y"), ("const", "x"), ("ints", "ties"), ("x", "x")]:
            for d in WINDOWS:
                df = base.copy()
                with grouped_by("g" if grouped else None):
                    assert getattr(brevant, op)(df, c1, c2, d) is df
                want = pair_expected(base, op, c1, c2, d, "g" if grouped else None)
                same(df[name_of(op, c1, c2, d)], want)


@pytest.mark.parametrize("op", SINGLE + PAIR)
def test_values_follow_row_position_not_labels(brevant, op):
    """Repeated, unordered row labels give the values the same rows get under a RangeIndex."""
    base = table(11, n=120)
    base["k"] = np.random.default_rng(1).integers(0, 4, size=len(base))
    labelled = base.copy()
    labelled.index = np.random.default_rng(0).integers(0, 30, size=len(base))
    args = ("x", "y", "3") if op in PAIR else ("x", "3")
    for group in [None, "g", "k"]:
        plain, odd = base.copy(), labelled.copy()
        with grouped_by(group):
            getattr(brevant, op)(plain, *args)
            getattr(brevant, op)(odd, *args)
        name = name_of(op, *args)
        assert odd.index.equals(labelled.index)
        same(odd[name].to_numpy(), plain[name].to_numpy())


def test_grouped_rows_without_group_value_are_missing(brevant):
    df = pd.DataFrame({"v": [1.0, 2, 3, 4, 5], "g": ["a", None, "a", np.nan, "a"]})
    with grouped_by("g"):
        for op in SINGLE:
            getattr(brevant, op)(df, "v", "1")
        brevant.tcorvariance(df, "v", "v", "2")
    new = df.columns[2:]
    assert len(new) == len(SINGLE) + 1
    assert df.loc[[1, 3], new].isna().all().all()
    assert df["delay###v|||1$$$"].tolist()[4] == 3.0


def test_documented_examples(brevant):
    col = lambda df: df.iloc[:, -1].tolist()  # noqa: E731
    assert col(brevant.tsum(pd.DataFrame({"v": [1, 2, 3, 4]}), "v", "3"))[2:] == [6.0, 9.0]
    df = pd.DataFrame({"v": [1, 2, 3, 4], "g": list("aabb")})
    with grouped_by("g"):
        got = col(brevant.tsum(df, "v", "2"))
    assert np.isnan(got[0]) and np.isnan(got[2]) and got[1::2] == [3.0, 7.0]
    df = pd.DataFrame({"v": [5, 6, 7]})
    assert col(brevant.delay(df, "v", "1"))[1:] == [5.0, 6.0]
    assert col(brevant.delta(df, "v", "1"))[1:] == [1.0, 1.0]
    assert col(brevant.ts_argmax(pd.DataFrame({"v": [4, 9, 2]}), "v", "3"))[2] == 1.0
    assert col(brevant.ts_argmax(pd.DataFrame({"v": [4, 4, 1]}), "v", "3"))[2] == 0.0
    assert col(brevant.ts_argmin(pd.DataFrame({"v": [1, 4, 1]}), "v", "3"))[2] == 0.0
    assert col(brevant.ts_rank(pd.DataFrame({"v": [3, 1, 2]}), "v", "3"))[2] == 2.0
    assert col(brevant.ts_rank(pd.DataFrame({"v": [2, 1, 2]}), "v", "3"))[2] == 2.5
    assert col(brevant.decay_linear(pd.DataFrame({"v": [10, 20]}), "v", "2"))[1] == 21.0
    assert col(brevant.decay_linear(pd.DataFrame({"v": [10.0]}), "v", "1")) == [1.0]


def test_window_of_one(brevant):
    df = pd.DataFrame({"v": [3.0, np.nan, -1.0, 2.0], "w": [1.0, 2.0, 3.0, 5.0]})
    for op in ["stddev", "ts_rank", "ts_argmax", "ts_argmin"]:
        getattr(brevant, op)(df, "v", "1")
    brevant.tcorrelation(df, "v", "w", "1")
    brevant.tcorvariance(df, "v", "w", "1")
    assert df["stddev###v|||1$$$"].isna().all()
    assert df["tcorrelation###v|||w|||1$$$"].isna().all()
    assert df["tcorvariance###v|||w|||1$$$"].isna().all()
    for op in ["ts_rank", "ts_argmax", "ts_argmin"]:
        got = df[f"{op}###v|||1$$$"]
        assert got.isna().tolist() == [False, True, False, False]
        assert got.dropna().tolist() == ([1.0] * 3 if op == "ts_rank" else [0.0] * 3)


def test_names_keep_the_window_text(brevant):
    df = pd.DataFrame({"v": np.arange(10.0), "w": np.arange(10.0) ** 2})
    brevant.ts_mean(df, "v", "07")
    brevant.ts_mean(df, "v", "7")
    brevant.tcorrelation(df, "v", "w", "+3")
    assert list(df.columns[2:]) == ["ts_mean###v|||07$$$", "ts_mean###v|||7$$$",
                                    "tcorrelation###v|||w|||+3$$$"]
    same(df["ts_mean###v|||07$$$"], df["ts_mean###v|||7$$$"].to_numpy())


def test_replacing_a_column_keeps_its_position(brevant):
    df = pd.DataFrame({"v": [1.0, 2.0, 3.0], "tsum###v|||2$$$": ["old"] * 3, "z": [0, 0, 0]})
    brevant.tsum(df, "v", "2")
    assert list(df.columns) == ["v", "tsum###v|||2$$$", "z"]
    assert df["tsum###v|||2$$$"].dtype == np.float64
    same(df["tsum###v|||2$$$"], [np.nan, 3.0, 5.0])


def test_indneutralize_returns_the_table_unchanged(brevant):
    df = pd.DataFrame({"v": [1.0, 2.0]})
    assert brevant.indneutralize(df, "v", "2") is df
    assert list(df.columns) == ["v"]


@pytest.mark.parametrize("grouped", [False, True], ids=["whole", "grouped"])
def test_odd_windows_match_pandas(brevant, grouped):
    """Negative windows: lags look ahead; window 0; windows far longer than the table."""
    base = table(5, n=60)
    group = "g" if grouped else None
    has_group = base["g"].notna().to_numpy() if grouped else np.ones(len(base), bool)
    for d in ["-1", "-3", "0", "-70", "4611686018427387904"]:
        for op in SHIFTS:
            df = base.copy()
            with grouped_by(group):
                getattr(brevant, op)(df, "x", d)
            got = df[name_of(op, "x", d)].to_numpy()
            if grouped and len(d) > 9:
                # (pandas' grouped lags overflow on such a window)
                assert np.isnan(got).all()
                continue
            # (pandas' grouped shift(0) / diff(0) copy the rows without a group too)
            same(got[has_group], expected(base, op, "x", d, group)[has_group])
            assert np.isnan(got[~has_group]).all()
    for d in ["0", "4611686018427387904"]:
        for op in ["tsum", "ts_mean", "ts_max", "stddev", "ts_rank", "product"]:
            df = base.copy()
            with grouped_by(group):
                getattr(brevant, op)(df, "x", d)
            if grouped and d != "0":
                # (the grouped pandas form overflows on such a window)
                assert df[name_of(op, "x", d)].isna().all()
            else:
                same(df[name_of(op, "x", d)], expected(base, op, "x", d, group))
    df = base.copy()
    with grouped_by(group):
        brevant.decay_linear(df, "x", "0")
        brevant.tcorrelation(df, "x", "y", "0")
    same(df["decay_linear###x|||0$$$"], expected(base, "decay_linear", "x", "0", group))
    assert df["tcorrelation###x|||y|||0$$$"].isna().all()


def test_bad_windows_raise_and_leave_the_table(brevant):
    df = pd.DataFrame({"v": [1.0, 2.0, 3.0], "w": [1.0, 0.0, 1.0]})
    for op in ROLLING:
        for d in ["2.5", "", "x"]:
            with pytest.raises(ValueError):
                getattr(brevant, op)(df, "v", d)
    for op in ROLLING[:-1]:
        with pytest.raises(ValueError, match="window must be an integer 0 or greater"):
            getattr(brevant, op)(df, "v", "-2")
    with pytest.raises(ValueError):
        brevant.decay_linear(df, "v", "-2")
    with pytest.raises(ValueError, match="window must be"):
        brevant.tcorrelation(df, "v", "w", "-1")
    with pytest.raises(ValueError, match="argmax of an empty sequence"):
        brevant.ts_argmax(df, "v", "0")
    with pytest.raises(OverflowError):
        brevant.tsum(df, "v", "1" + "0" * 20)
    with pytest.raises(OverflowError):
        brevant.delay(df, "v", "-" + "9" * 20)
    assert list(df.columns) == ["v", "w"]


def test_missing_columns_raise_key_error(brevant):
    df = pd.DataFrame({"v": [1.0, 2.0, 3.0], "g": [1, 1, 2]})
    for op in SINGLE:
        with pytest.raises(KeyError):
            getattr(brevant, op)(df, "nope", "2")
    with pytest.raises(KeyError):
        brevant.tcorrelation(df, "v", "nope", "2")
    with grouped_by("missing_group"):
        for op in SINGLE:
            with pytest.raises(KeyError):
                getattr(brevant, op)(df, "v", "2")
        with pytest.raises(KeyError):
            brevant.tcorvariance(df, "v", "v", "2")
        # decay_linear converts the window before it looks at the grouping.
        with pytest.raises(ValueError):
            brevant.decay_linear(df, "v", "2.5")
        with pytest.raises(KeyError):
            brevant.tsum(df, "v", "2.5")
    with task_config.active({"AutoML": {}}), pytest.raises(KeyError):
        brevant.tsum(df, "v", "2")
    assert list(df.columns) == ["v", "g"]


def test_small_and_empty_tables(brevant):
    for n in [0, 1]:
        for group in [None, "g"]:
            df = pd.DataFrame({"v": np.arange(float(n)), "g": ["a"] * n})
            with grouped_by(group):
                for op in SINGLE:
                    getattr(brevant, op)(df, "v", "1")
                brevant.tcorrelation(df, "v", "v", "3")
            assert len(df) == n and df.shape[1] == 2 + len(SINGLE) + 1
    # window 0 on no rows: no window is ever taken, so nothing fails (not even argmax / argmin)
    base = pd.DataFrame({"v": np.arange(0.0), "g": np.array([], dtype=object)})
    for group in [None, "g"]:
        for op in SINGLE:
            df = base.copy()
            with grouped_by(group):
                getattr(brevant, op)(df, "v", "0")
            got = df[name_of(op, "v", "0")]
            assert got.dtype == "float64"
            same(got, expected(base, op, "v", "0", group))
    df = pd.DataFrame({"v": [np.nan] * 5})
    brevant.tsum(df, "v", "2")
    brevant.ts_max(df, "v", "2")
    assert df.iloc[:, 1:].isna().all().all()


def test_other_dtypes(brevant):
    df = pd.DataFrame({
        "nullable": pd.array([1, None, 3, 4, 5], dtype="Int64"),
        "day": pd.to_datetime(["2024-01-01", "2024-01-03", None, "2024-01-09", "2024-01-10"]),
        "text": list("abcde"),
        "g": [1, 2, 1, 2, 1],
    })
    brevant.tsum(df, "nullable", "2")
    same(df["tsum###nullable|||2$$$"], [np.nan, np.nan, np.nan, 7.0, 9.0])
    with grouped_by("g"):
        brevant.delay(df, "day", "1")
        brevant.delta(df, "day", "1")
    lagged = df.groupby("g")["day"].shift(1)
    assert df["delay###day|||1$$$"].equals(lagged)
    assert df["delta###day|||1$$$"].equals(df.groupby("g")["day"].diff(1))
    with pytest.raises(pd.errors.DataError):
        brevant.ts_mean(df, "text", "2")


def test_several_grouping_columns(brevant):
    base = table(3, n=150)
    base["h"] = np.random.default_rng(1).integers(0, 2, size=len(base))
    df = base.copy()
    with grouped_by(["g", "h"]):
        brevant.ts_mean(df, "x", "3")
    ref = base.copy()
    ref["r"] = base.groupby(["g", "h"])["x"].rolling(3).mean().reset_index([0, 1], drop=True)
    same(df["ts_mean###x|||3$$$"], ref["r"].to_numpy())
    assert df.loc[base["g"].isna(), "ts_mean###x|||3$$$"].isna().all()


def test_dispatcher_routes_rolling_names(brevant):
    df = pd.DataFrame({"v": [1.0, 2.0, 3.0, 4.0], "w": [2.0, 1.0, 0.0, 5.0]})
    brevant.name2feature(df, ["tsum###v|||2$$$", "tcorvariance###v|||w|||3$$$",
                              "ts_max###delta###v|||1$$$|||2$$$"])
    same(df["tsum###v|||2$$$"], [np.nan, 3, 5, 7])
    same(df["tcorvariance###v|||w|||3$$$"], df["v"].rolling(3).cov(df["w"]).to_numpy())
    same(df["ts_max###delta###v|||1$$$|||2$$$"], [np.nan, np.nan, 1, 1])
    assert "delta###v|||1$$$" not in df


def test_signatures(brevant):
    for op in SINGLE + ["indneutralize"]:
        assert list(inspect.signature(getattr(brevant, op)).parameters) == ["df", "col", "d"]
    for op in PAIR:
        params = list(inspect.signature(getattr(brevant, op)).parameters)
        assert params == ["df", "col1", "col2", "d"]


@pytest.mark.parametrize("keys", ["ints", "floats", "uint64", "bools", "small_ints"])
@pytest.mark.parametrize("d", ["1", "3", "-2", "0", "65", "-65"])
def test_numeric_group_columns(brevant, keys, d):
    """Group values read natively: integers, floats with NaN and signed zeros, bools."""
    base = table(21, n=300)
    rng = np.random.default_rng(2)
    codes = rng.integers(0, 5, size=len(base))
    base["k"] = {
        "ints": codes * 10**15 - 7,
        "floats": np.where(codes == 4, np.nan, np.where(codes == 3, -0.0, codes * 0.5)),
        "uint64": codes.astype(np.uint64) + np.uint64(2**63),
        "bools": codes % 2 == 0,
        "small_ints": codes.astype(np.int8),
    }[keys]
    if keys == "floats":
        base.loc[base.index[::7], "k"] = 0.0  # joins the -0.0 group
    has_group = base["k"].notna().to_numpy()
    ops = SHIFTS + (["tsum", "ts_rank"] if d in ("1", "3") else [])
    for op in ops:
        df = base.copy()
        with grouped_by("k"):
            getattr(brevant, op)(df, "x", d)
        got = df[name_of(op, "x", d)].to_numpy()
        want = expected(base, op, "x", d, "k")
        same(got[has_group], want[has_group])
        assert np.isnan(got[~has_group]).all()
    df = base.copy()
    if d == "3":
        with grouped_by("k"):
            brevant.tcorrelation(df, "x", "y", d)
        same(df[name_of("tcorrelation", "x", "y", d)], pair_expected(base, "tcorrelation", "x",
                                                                     "y", d, "k"))


def test_lags_within_many_small_groups(brevant):
    """More groups than the one-pass lag keeps rings for: same values as pandas."""
    rng = np.random.default_rng(4)
    base = pd.DataFrame({"x": rng.normal(size=400), "k": rng.integers(0, 150, size=400)})
    for op, d in [("delay", "40"), ("delta", "-3"), ("delay", "64")]:
        df = base.copy()
        with grouped_by("k"):
            getattr(brevant, op)(df, "x", d)
        same(df[name_of(op, "x", d)], expected(base, op, "x", d, "k"))


@given(
    values=st.lists(st.one_of(st.floats(-1e6, 1e6), st.just(np.nan), st.sampled_from([0.0, 1.5])),
                    min_size=1, max_size=40),
    other=st.lists(st.floats(-1e3, 1e3), min_size=40, max_size=40),
    groups=st.lists(st.sampled_from([1, 2, 3]), min_size=40, max_size=40),
    w=st.integers(1, 6),
    grouped=st.booleans(),
)
@settings(max_examples=60, deadline=None)
def test_window_statistics_property(brevant, values, other, groups, w, grouped):
    """Arbitrary short columns: NaN, repeated values, windows near the column length."""
    n = len(values)
    base = pd.DataFrame({"x": values, "y": other[:n], "g": groups[:n]}, dtype="float64")
    group = "g" if grouped else None
    d = str(w)
    for op in ["tsum", "ts_mean", "stddev", "ts_rank", "ts_max", "decay_linear"]:
        df = base.copy()
        with grouped_by(group):
            getattr(brevant, op)(df, "x", d)
        same(df[name_of(op, "x", d)], expected(base, op, "x", d, group))
    for op in PAIR:
        df = base.copy()
        with grouped_by(group):
            getattr(brevant, op)(df, "x", "y", d)
        same(df[name_of(op, "x", "y", d)], pair_expected(base, op, "x", "y", d, group))
