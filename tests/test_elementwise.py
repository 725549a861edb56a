"""Element-wise operators against their pandas/NumPy formulations on random tables."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from sklearn.preprocessing import LabelEncoder


def std(s):
    return (s - s.mean()) / s.std()


# The operators written as plain pandas/NumPy expressions, one per keyword.
REFERENCE = {
    "add": lambda x, y: std(x + y),
    "subtract": lambda x, y: std(x - y),
    "multiply": lambda x, y: std(x * y),
    "divide": lambda x, y: std((x / y).replace(np.inf, 1e12).replace(-np.inf, -1e12).fillna(0)),
    "minimize": lambda x, y: np.min([x, y], axis=0),
    "maximize": lambda x, y: np.max([x, y], axis=0),
    "bigger": lambda x, y: x > y,
    "smaller": lambda x, y: x < y,
    "equal": lambda x, y: x == y,
    "orop": lambda x, y: (x > (x + y).mean()) | (y > (x + y).mean()),
    "combine": lambda x, y: x.apply(str) + "_" + y.apply(str),
}
REFERENCE1 = {
    "sine": np.sin,
    "cosine": np.cos,
    "square_root": lambda x: np.sqrt(x - x.min()),
    "percentile": lambda x: x.rank(pct=True),
    "quadratic": lambda x: x**2,
    "log": lambda x: np.log(1e-06 + x - x.min()),
    "round": np.round,
    "sigmoid": lambda x: x.apply(lambda v: 1 / (1 + np.exp(-v))),
    "residual": lambda x: np.modf(x)[0],
    "entropy": lambda x: stats.entropy(LabelEncoder().fit_transform(x)),
    "softmax": lambda x: (
        np.exp(np.array(x) - np.max(np.array(x))) / np.exp(np.array(x) - np.max(np.array(x))).sum()
    ),
}


def random_table(rng, n, index="default"):
    a = rng.normal(size=n) * 10
    b = rng.integers(-5, 6, size=n).astype(float)
    a[rng.random(n) < 0.15] = np.nan
    if n > 6:
        a[2:5] = np.nan  # a run of missing values
    df = pd.DataFrame(
        {
            "a": a,
            "b": b,
            "i": rng.integers(-3, 4, size=n),
            "k": rng.integers(0, 4, size=n),
            "flag": rng.random(n) < 0.5,
            "c": np.full(n, 2.5),
        }
    )
    if index == "shuffled":
        df.index = rng.permutation(n) + 100
    elif index == "duplicated":
        df.index = np.arange(n) // 2
    return df


def assert_same_column(got, expected, name):
    expected = (
        pd.Series(np.asarray(expected) if not np.isscalar(expected) else expected, index=got.index)
        if not isinstance(expected, pd.Series)
        else expected
    )
    g = got.to_numpy()
    e = np.broadcast_to(np.asarray(expected), g.shape)
    if g.dtype.kind in "fc" or e.dtype.kind in "fc":
        np.testing.assert_allclose(
            g.astype(float), e.astype(float), rtol=1e-12, atol=0, equal_nan=True, err_msg=name
        )
    else:
        assert g.tolist() == e.tolist(), name


TABLES = [
    pytest.param(n, index, id=f"{n}rows-{index}")
    for n, index in [(200, "default"), (1, "default"), (50, "shuffled"), (40, "duplicated")]
]
PAIRS = [("a", "b"), ("i", "k"), ("b", "c"), ("a", "flag"), ("k", "b")]


@pytest.mark.parametrize("n, index", TABLES)
@pytest.mark.parametrize("op", sorted(REFERENCE))
@pytest.mark.parametrize("pair", PAIRS, ids="-".join)
def test_two_column_operators_match_pandas(brevant, op, pair, n, index):
    rng = np.random.default_rng(abs(hash((op, pair, n, index))) % 2**32)
    df = random_table(rng, n, index)
    x, y = df[pair[0]].copy(), df[pair[1]].copy()
    try:
        expected = REFERENCE[op](x, y)
    except TypeError as err:  # e.g. arithmetic on booleans that pandas refuses
        with pytest.raises(type(err)):
            getattr(brevant, op)(df, *pair)
        return
    before = list(df.columns)
    out = getattr(brevant, op)(df, *pair)
    name = f"{op}###{pair[0]}|||{pair[1]}$$$"
    assert out is df
    assert list(df.columns) == before + [name]
    assert_same_column(df[name], expected, name)


@pytest.mark.parametrize("n, index", TABLES)
@pytest.mark.parametrize("op", sorted(REFERENCE1))
@pytest.mark.parametrize("col", ["a", "b", "i", "c"])
def test_one_column_operators_match_pandas(brevant, op, col, n, index):
    rng = np.random.default_rng(abs(hash((op, col, n, index))) % 2**32)
    df = random_table(rng, n, index)
    expected = REFERENCE1[op](df[col].copy())
    out = getattr(brevant, op)(df, col)
    name = f"{op}###{col}$$$"
    assert out is df and list(df.columns)[-1] == name
    assert_same_column(df[name], expected, name)
    # a second call overwrites its own column in place
    getattr(brevant, op)(df, col)
    assert list(df.columns).count(name) == 1 and list(df.columns)[-1] == name


def test_integer_columns_keep_their_dtype_where_pandas_does(brevant):
    df = pd.DataFrame({"i": [1, -2, 3], "j": [4, 5, -6]})
    brevant.quadratic(df, "i")
    brevant.minimize(df, "i", "j")
    assert df["quadratic###i$$$"].dtype == np.int64
    assert df["minimize###i|||j$$$"].dtype == np.int64
    assert df["quadratic###i$$$"].tolist() == [1, 4, 9]


@pytest.mark.parametrize(
    "x1, x2, expected",
    [
        ([1, 1, 1, 1], [2, 3, 4, 5], None),
        ([2.0, -3.0, 0.0, 1.0], [0.0, 0.0, 0.0, 4.0], [1e12, -1e12, 0.0, 0.25]),
    ],
)
def test_divide_replaces_infinities_and_missing(brevant, x1, x2, expected):
    df = pd.DataFrame({"x": x1, "y": x2})
    brevant.divide(df, "x", "y")
    if expected is not None:
        raw = pd.Series(expected)
        np.testing.assert_allclose(df["divide###x|||y$$$"], std(raw), rtol=1e-12)


def test_edge_values(brevant):
    df = pd.DataFrame(
        {
            "a": [1.0, 2.0],
            "b": [2.0, 1.0],
            "r": [2.5, 3.5],
            "m": [-2.5, 0.0],
            "n": [1.0, np.nan],
            "z": [0.0, 0.0],
        }
    )
    brevant.add(df, "a", "b")  # constant sum: standard deviation 0
    assert df["add###a|||b$$$"].isna().all()
    brevant.round(df, "r")
    assert df["round###r$$$"].tolist() == [2.0, 4.0]
    brevant.residual(df, "m")
    assert df["residual###m$$$"].tolist()[0] == -0.5
    brevant.sigmoid(df, "z")
    assert df["sigmoid###z$$$"].tolist() == [0.5, 0.5]
    brevant.minimize(df, "a", "n")
    assert df["minimize###a|||n$$$"].tolist()[0] == 1.0 and math.isnan(df["minimize###a|||n$$$"][1])
    brevant.log(df, "m")
    assert df["log###m$$$"][0] == pytest.approx(math.log(1e-06))
    brevant.entropy(df, "z")  # one distinct value: all codes 0
    assert df["entropy###z$$$"].isna().all()
    brevant.softmax(df, "a")
    assert df["softmax###a$$$"].sum() == pytest.approx(1.0)
    one = pd.DataFrame({"a": [3.0], "b": [4.0]})
    brevant.multiply(one, "a", "b")
    assert one["multiply###a|||b$$$"].isna().all()


def test_combine_text_forms(brevant):
    df = pd.DataFrame(
        {
            "i": [1, 3, -7],
            "f": [2.5, 3.0, np.nan],
            "s": ["x", None, "z"],
            "big": [1e16, 1e-5, 123456789.125],
            "t": [True, False, True],
        }
    )
    brevant.combine(df, "i", "f")
    assert df["combine###i|||f$$$"].tolist() == ["1_2.5", "3_3.0", "-7_nan"]
    brevant.combine(df, "f", "s")
    assert df["combine###f|||s$$$"].tolist() == ["2.5_x", "3.0_None", "nan_z"]
    brevant.combine(df, "big", "t")
    assert df["combine###big|||t$$$"].tolist() == [
        "1e+16_True",
        "1e-05_False",
        "123456789.125_True",
    ]
    assert df["combine###big|||t$$$"].dtype == object


def test_combine_float_text_matches_repr_on_random_doubles(brevant):
    rng = np.random.default_rng(5)
    bits = rng.integers(0, 2**63 - 1, size=20000, dtype=np.int64)
    values = bits.view(np.float64)
    values = values[np.isfinite(values)]
    specials = np.array(
        [
            0.0,
            -0.0,
            np.inf,
            -np.inf,
            np.nan,
            1e16,
            9999999999999998.0,
            1e-4,
            1e-5,
            0.1,
            5e-324,
            1.7976931348623157e308,
            123.456,
            -1.5,
        ]
    )
    x = np.concatenate(
        [values, rng.normal(size=5000) * 10.0 ** rng.integers(-20, 20, 5000), specials]
    )
    df = pd.DataFrame({"x": x, "y": np.zeros(len(x), dtype=np.int64)})
    brevant.combine(df, "x", "y")
    expected = [repr(float(v)) + "_0" for v in x]
    assert df["combine###x|||y$$$"].tolist() == expected


def test_combine_with_wide_and_unusual_texts(brevant):
    df = pd.DataFrame(
        {
            "u": ["日本", "\ud800", "é"],
            "d": pd.to_datetime(["2024-01-02"] * 3),
            "n": pd.array([1, None, 3], dtype="Int64"),
        }
    )
    brevant.combine(df, "u", "d")
    brevant.combine(df, "n", "u")
    assert df["combine###u|||d$$$"].tolist() == [f"{u}_2024-01-02 00:00:00" for u in df["u"]]
    # nullable integers take the text pandas' own per-value str() gives them
    assert df["combine###n|||u$$$"].tolist() == (df["n"].apply(str) + "_" + df["u"]).tolist()


def test_errors_leave_the_table_unchanged(brevant):
    df = pd.DataFrame({"a": [1.0, 2.0], "s": ["x", "y"]})
    before = df.copy()
    with pytest.raises(KeyError):
        brevant.add(df, "a", "missing")
    with pytest.raises(TypeError, match="sequence item 0"):
        brevant.add(df, 0, "a")
    with pytest.raises(TypeError):
        brevant.sine(df, "s")
    with pytest.raises((TypeError, ValueError)):
        brevant.sigmoid(df, "s")
    pd.testing.assert_frame_equal(df, before)
    brevant.log(pd.DataFrame({3: [1.0]}), 3)  # one-column operators accept any label


@pytest.mark.parametrize(
    "x, y",
    [
        ([0, 1, 0, 1, 2] * 40, [5, 5, 6, 6, 5] * 40),  # few pairs: texts are shared
        ([np.iinfo(np.int64).min, np.iinfo(np.int64).max, -1], [0, 1, 2]),  # range too wide
        (np.array([2**64 - 1, 0, 7], dtype=np.uint64), [True, False, True]),
        ([-3, -3, -2], np.array([250, 255, 250], dtype=np.uint8)),
    ],
    ids=["shared", "extremes", "uint64-bool", "negative-uint8"],
)
def test_combine_integer_columns_and_shared_texts(brevant, x, y):
    import gc
    import sys

    df = pd.DataFrame({"x": x, "y": y})
    brevant.combine(df, "x", "y")
    got = df["combine###x|||y$$$"]
    assert got.tolist() == (df["x"].apply(str) + "_" + df["y"].apply(str)).tolist()
    values = got.to_numpy()
    first = values[0]
    holders = sum(v is first for v in values)
    # every row holding a shared text owns one reference to it (plus ours and getrefcount's)
    assert sys.getrefcount(first) >= holders + 1
    del df, got, values
    gc.collect()
    assert isinstance(first, str) and sys.getrefcount(first) == 2


@pytest.mark.parametrize(
    "values",
    [
        np.array([0.1, np.nan, 1e20], dtype=np.float32),
        np.array([0.1, 2.0, np.nan], dtype=np.float16),
        [0.1 + 0.2, 1e16, -0.0],
        [1e-5, np.inf, 123456789012345678.0],
        np.array([-1, 0, 5], dtype=np.int8),
        [1, "x", 2.5],
        pd.array([1.5, None, 3.0], dtype="Float64"),
        pd.array(["a", None, "c"], dtype="string"),
        pd.array([True, None, False], dtype="boolean"),
        np.array([1 + 2j, 0, 3], dtype=complex),
        pd.to_datetime(["2024-01-01", None, "2024-03-01 12:30"], format="mixed"),
        pd.to_datetime(["2024-01-01", None, "2024-03-01"]).tz_localize("UTC"),
        pd.to_timedelta([1, 2, None], unit="s"),
        pd.period_range("2024-01", periods=3, freq="M"),
    ],
    ids=[
        "float32", "float16", "float64-repr", "float64-exp", "int8", "object", "Float64",
        "string", "boolean", "complex", "datetime", "datetime-tz", "timedelta", "period",
    ],
)
def test_combine_text_of_every_dtype_is_the_per_value_str(brevant, values):
    # duplicate, non-default row labels: the texts are placed by row, not looked up by label
    df = pd.DataFrame({"x": values, "y": [2.5, np.nan, 3.0]}, index=[7, 7, 1])
    for a, b in (("x", "y"), ("y", "x")):
        brevant.combine(df, a, b)
        got = df[f"combine###{a}|||{b}$$$"].tolist()
        assert got == (df[a].apply(str) + "_" + df[b].apply(str)).tolist()


@pytest.mark.parametrize("seed", range(3))
def test_percentile_ranks_exactly_as_pandas(brevant, seed):
    """Ties of -0.0 and 0.0, infinities, NaN runs, 64-bit extremes, a column of one value."""
    rng = np.random.default_rng(seed)
    n = 5_000
    f = rng.choice([-0.0, 0.0, 1.5, -np.inf, np.inf, np.nan, -2.25], n)
    f[: n // 2] = rng.normal(size=n // 2)
    i = rng.choice(np.array([np.iinfo(np.int64).min, -1, 0, 7, np.iinfo(np.int64).max]), n)
    df = pd.DataFrame({"f": f, "i": i, "one": np.full(n, 3.0), "nan": np.full(n, np.nan)},
                      index=rng.integers(0, 50, n))
    for col in df.columns:
        brevant.percentile(df, col)
        pd.testing.assert_series_equal(df[f"percentile###{col}$$$"], df[col].rank(pct=True),
                                       check_exact=True, check_names=False)


@pytest.mark.parametrize("n", [1, 2, 7, 8, 9, 127, 128, 129, 1_000, 8_193, 40_001])
@pytest.mark.parametrize("bufsize", [8192, 1024])
def test_standardised_columns_are_pandas_to_the_bit(brevant, n, bufsize):
    """Group statistics and arithmetic standardise with pandas' mean and std exactly: float
    columns with gaps, integer columns (summed through NumPy's buffers), constant columns."""
    from group_formulation import count

    rng = np.random.default_rng(n)
    a = rng.normal(size=n) * 10.0 ** rng.integers(-6, 7, n)
    a[rng.random(n) < 0.2] = np.nan
    df = pd.DataFrame({"a": a, "i": rng.integers(-10**15, 10**15, n),
                       "c": np.full(n, 0.1), "k": rng.integers(0, max(n // 3, 1), n)})
    saved = np.getbufsize()
    np.setbufsize(bufsize)
    try:
        for x, y in [("a", "c"), ("i", "k"), ("c", "c")]:
            brevant.add(df, x, y)
            s = df[x] + df[y]
            expect = (s - s.mean()) / s.std()
            pd.testing.assert_series_equal(df[f"add###{x}|||{y}$$$"], expect, check_exact=True,
                                           check_names=False)
        got = brevant.count(df.copy(), "k", {})
        pd.testing.assert_frame_equal(got, count(df.copy(), "k", {}), check_exact=True)
    finally:
        np.setbufsize(saved)
