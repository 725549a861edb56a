"""Group statistics: count, crosscount, aggregate, nunique, histstat, crossrank.

The random-table tests compute every feature independently with plain pandas (group-wise
transforms and Series.map on the combined per-group statistics) and compare with the operators,
first call and incremental call, on tables with missing keys, NaN runs, constant columns and
non-default or duplicated row indexes.
"""

from __future__ import annotations

import copy
import inspect

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal, assert_series_equal

STATS = ["min", "max", "mean", "median", "var"]


# ---- independent pandas formulations ------------------------------------------------------------


def standardised(values: pd.Series) -> pd.Series:
    return (values - values.mean()) / values.std()


def expected_table(df: pd.DataFrame, features: dict[str, np.ndarray], fill: bool = True):
    """df with a fresh row index, stale feature columns dropped, the features appended in order,
    then every numeric column's gaps filled with its median."""
    out = df.drop(columns=[c for c in features if c in df.columns]).reset_index(drop=True)
    for name, values in features.items():
        out[name] = standardised(pd.Series(np.asarray(values, dtype=float)))
    return out.fillna(out.median(numeric_only=True)) if fill else out


def per_row(keys: pd.Series, table: pd.Series) -> np.ndarray:
    """table's value for each row's key; a missing key gets NaN whatever the table holds."""
    values = keys.map(table).to_numpy(dtype=float)
    values[keys.isna().to_numpy()] = np.nan
    return values


def key_counts(s: pd.Series) -> pd.Series:
    return s.value_counts(dropna=True)


def pair_index(df: pd.DataFrame, cols: list[str]) -> pd.MultiIndex:
    return pd.MultiIndex.from_frame(df[cols])


def pair_values(df: pd.DataFrame, cols: list[str], table: pd.Series) -> np.ndarray:
    values = table.reindex(pair_index(df, cols)).to_numpy(dtype=float)
    values[df[cols].isna().any(axis=1).to_numpy()] = np.nan
    return values


def random_table(rng: np.random.Generator, n: int, index: str, groups: str = "abcde"):
    keys = np.array(list(groups), dtype=object)[rng.integers(0, len(groups), n)]
    keys[rng.random(n) < 0.1] = None
    keys2 = np.array(["u", "v", "w"], dtype=object)[rng.integers(0, 3, n)]
    keys2[rng.random(n) < 0.1] = None
    price = rng.normal(10, 3, n).round(2)
    price[rng.random(n) < 0.15] = np.nan
    if n > 6:
        price[2:5] = np.nan  # a run of missing values
    user = rng.integers(0, max(2, n // 3), n).astype(float)
    user[rng.random(n) < 0.1] = np.nan
    other = rng.normal(size=n)
    other[rng.random(n) < 0.3] = np.nan
    df = pd.DataFrame(
        {
            "shop": keys,
            "item": keys2,
            "price": price,
            "user": user,
            "other": other,
            "const": np.full(n, 3.0),
            "label": ["t%d" % k for k in range(n)],
        }
    )
    if index == "shuffled":
        df.index = rng.permutation(np.arange(100, 100 + n))
    elif index == "duplicated":
        df.index = rng.integers(0, max(1, n // 4), n)
    elif index == "text":
        df.index = ["r%d" % (n - k) for k in range(n)]
    return df


TABLES = [(n, index, seed) for seed, (n, index) in enumerate(
    [(1, "default"), (2, "duplicated"), (40, "shuffled"), (300, "duplicated"), (120, "text"),
     (250, "default")])]


@pytest.fixture(params=TABLES, ids=lambda p: f"n{p[0]}-{p[1]}")
def batches(request):
    n, index, seed = request.param
    rng = np.random.default_rng(seed)
    train = random_table(rng, n, index)
    test = random_table(rng, max(1, n // 2), "duplicated" if index == "default" else index, "abcxy")
    return train, test


# ---- first call and incremental call against pandas --------------------------------------------


def test_count_matches_pandas(brevant, batches):
    train, test = batches
    rec: dict = {}
    name = "count###shop$$$"
    out = brevant.count(train.copy(), "shop", rec)
    stored = key_counts(train["shop"])
    assert_frame_equal(out, expected_table(train, {name: per_row(train["shop"], stored)}))
    assert rec[name].columns.tolist() == ["shop", name]
    assert_series_equal(rec[name].set_index("shop")[name], stored, check_names=False,
                        check_index_type=False, check_like=True)

    entry = rec[name]
    saved = entry.copy()
    out = brevant.count(test.copy(), "shop", rec)
    merged = stored.add(key_counts(test["shop"]), fill_value=0)
    assert_frame_equal(out, expected_table(test, {name: per_row(test["shop"], merged)}))
    assert rec[name] is entry
    assert_frame_equal(entry, saved)


def test_crosscount_matches_pandas(brevant, batches):
    train, test = batches
    cols = ["shop", "item"]
    rec: dict = {}
    name = "crosscount###shop|||item$$$"
    stored = train.groupby(cols)["item"].count()
    out = brevant.crosscount(train.copy(), cols, rec)
    assert_frame_equal(out, expected_table(train, {name: pair_values(train, cols, stored)}))
    assert_series_equal(rec[name], stored.rename(name))

    saved = rec[name].copy()
    out = brevant.crosscount(test.copy(), cols, rec)
    merged = stored.add(test.groupby(cols)["item"].count(), fill_value=0)
    assert_frame_equal(out, expected_table(test, {name: pair_values(test, cols, merged)}))
    assert_series_equal(rec[name], saved)


def merged_stat(stat: str, train: pd.DataFrame, test: pd.DataFrame) -> pd.Series:
    """The per-group statistic the incremental call must use, from its definition."""
    s1 = train.groupby("shop")["price"].agg(stat)
    s2 = test.groupby("shop")["price"].agg(stat)
    if stat == "min":
        return s1.combine(s2, np.fmin)
    if stat == "max":
        return s1.combine(s2, np.fmax)
    if stat == "median":
        return (s1 + s2) / 2
    if stat == "var":
        return s1
    n1 = key_counts(train["shop"]).reindex(s1.index.union(s2.index)).fillna(0)
    n2 = key_counts(test["shop"]).reindex(n1.index).fillna(0)
    m1 = s1.reindex(n1.index).fillna(0)
    m2 = s2.reindex(n1.index).fillna(0)
    return (n2 * m2 + n1 * m1) / (n1 + n2)


def test_aggregate_matches_pandas(brevant, batches):
    train, test = batches
    rec: dict = {}
    names = [f"aggregate###{s}|||price|||shop$$$" for s in STATS]
    out = brevant.aggregate(train.copy(), "price", "shop", STATS, rec)
    by_shop = train.groupby("shop")["price"]
    first = {n: per_row(train["shop"], by_shop.agg(s)) for n, s in zip(names, STATS)}
    assert_frame_equal(out, expected_table(train, first))
    assert list(out.columns[-5:]) == names

    saved = copy.deepcopy({k: rec[k] for k in names})
    out = brevant.aggregate(test.copy(), "price", "shop", STATS, rec)
    second = {n: per_row(test["shop"], merged_stat(s, train, test)) for n, s in zip(names, STATS)}
    assert_frame_equal(out, expected_table(test, second))

    for k in names:
        if k.startswith("aggregate###mean"):
            assert_series_equal(rec[k]["data"], saved[k]["data"])
            assert_frame_equal(rec[k]["length"], saved[k]["length"])
        else:
            assert_series_equal(rec[k], saved[k])
    assert sorted(rec) == sorted(names + [names[2] + "_mean_count"])


def test_nunique_matches_pandas(brevant, batches):
    train, test = batches
    rec: dict = {}
    name = "nunique###user|||shop$$$"
    stored = train.groupby("shop")["user"].nunique()
    out = brevant.nunique(train.copy(), "user", "shop", rec)
    exp = expected_table(train, {}, fill=False)
    exp[name] = per_row(train["shop"], stored)
    assert_frame_equal(out, exp.fillna(exp.median(numeric_only=True)), check_dtype=False)
    assert_series_equal(rec[name], stored.rename(name))

    out = brevant.nunique(test.copy(), "user", "shop", rec)
    exp = expected_table(test, {}, fill=False)
    exp[name] = per_row(test["shop"], stored)  # the stored distinct counts, not the batch's
    assert_frame_equal(out, exp.fillna(exp.median(numeric_only=True)), check_dtype=False)


def test_histstat_and_crossrank_match_pandas(brevant, batches):
    train, _ = batches
    df = train.copy()
    columns = list(df.columns)
    out = brevant.histstat(df, "user", "shop")
    assert out is df
    assert list(df.columns) == columns + ["histstat###user|||shop$$$"]
    per_user = train.groupby("user")["user"].transform("count").to_numpy()
    frame = pd.DataFrame({"shop": train["shop"].to_numpy(), "tc": per_user})
    for stat in STATS:
        got = brevant.histstat(train.copy(), "user", "shop", [stat])["histstat###user|||shop$$$"]
        want = frame.groupby("shop")["tc"].transform(stat).to_numpy()
        np.testing.assert_allclose(got.to_numpy(dtype=float), want, rtol=1e-12)
        if stat == "var":  # the default list leaves its last statistic
            np.testing.assert_allclose(df["histstat###user|||shop$$$"].to_numpy(dtype=float), want,
                                       rtol=1e-12)

    df = train.copy()
    assert brevant.crossrank(df, "shop", "price") is df
    want = pd.Series(train["price"].to_numpy()).groupby(train["shop"].to_numpy()).rank()
    got = df["crossrank###shop|||price$$$"].to_numpy()
    np.testing.assert_allclose(got, want.reindex(range(len(train))).to_numpy(), rtol=0)
    assert_frame_equal(df.iloc[:, :-1], train)


# ---- the worked examples -------------------------------------------------------------------------


def test_count_examples(brevant):
    rec: dict = {}
    out = brevant.count(pd.DataFrame({"g": ["a", "a", "b"]}), "g", rec)
    np.testing.assert_allclose(out["count###g$$$"], standardised(pd.Series([2.0, 2.0, 1.0])))
    assert rec["count###g$$$"].to_dict("list") == {"g": ["a", "b"], "count###g$$$": [2, 1]}

    out = brevant.count(pd.DataFrame({"g": ["a", "c"]}, index=[7, 7]), "g", rec)
    np.testing.assert_allclose(out["count###g$$$"], standardised(pd.Series([3.0, 1.0])))
    assert out.index.tolist() == [0, 1]
    assert rec["count###g$$$"].to_dict("list") == {"g": ["a", "b"], "count###g$$$": [2, 1]}


def incremental(brevant, stat, train, test):
    rec: dict = {}
    brevant.aggregate(train, "v", "g", [stat], rec)
    name = f"aggregate###{stat}|||v|||g$$$"
    before = copy.deepcopy(rec[name])
    out = brevant.aggregate(test, "v", "g", [stat], rec)
    return out[name], rec, before


def test_aggregate_update_rules(brevant):
    train = pd.DataFrame({"g": ["x"] * 4 + ["y"], "v": [10.0, 10.0, 10.0, 10.0, 0.0]})
    test = pd.DataFrame({"g": ["x", "y", "z"], "v": [20.0, 4.0, 1.0]})

    got, rec, before = incremental(brevant, "mean", train, test)
    # x: (1 * 20 + 4 * 10) / 5; y: (4 + 0) / 2; z: only in the batch
    np.testing.assert_allclose(got, standardised(pd.Series([12.0, 2.0, 1.0])))
    name = "aggregate###mean|||v|||g$$$"
    assert set(rec[name]) == {"data", "length"}
    assert_series_equal(rec[name]["data"], before["data"])
    assert rec[name]["length"].to_dict("list") == {"g": ["x", "y"], "g_count": [4, 1]}
    w = rec[name + "_mean_count"]
    assert list(w.columns) == ["g", name, name + "_2", "g_count", "g_count_2"]
    assert not w.isna().any().any()

    train = pd.DataFrame({"g": ["x", "x", "x", "y", "y"], "v": [3.0, 4.0, 9.0, 1.0, 5.0]})
    test = pd.DataFrame({"g": ["x", "x", "y", "z"], "v": [5.0, 7.0, 2.0, 8.0]})
    got, _, _ = incremental(brevant, "median", train, test)
    # x: (4 + 6) / 2 = 5; y: (3 + 2) / 2; z has no stored median and takes the column median
    want = standardised(pd.Series([5.0, 5.0, 2.5, np.nan]))
    np.testing.assert_allclose(got, want.fillna(want.median()))

    # the stored variance (x: 31/3, y: 8), the batch's own has no effect
    got, rec, before = incremental(brevant, "var", train, test)
    want = standardised(pd.Series([31 / 3, 31 / 3, 8.0, np.nan]))
    np.testing.assert_allclose(got, want.fillna(want.median()))
    assert_series_equal(rec["aggregate###var|||v|||g$$$"], before)

    got, _, _ = incremental(brevant, "min", train, test)
    np.testing.assert_allclose(got, standardised(pd.Series([3.0, 3.0, 1.0, 8.0])))
    got, _, _ = incremental(brevant, "max", train, test)
    np.testing.assert_allclose(got, standardised(pd.Series([9.0, 9.0, 5.0, 8.0])))


def test_aggregate_defaults_and_single_row(brevant):
    df = pd.DataFrame(
        {"g": ["a", "a", "b", "b"], "v": [1.0, 3.0, 2.0, 6.0], "w": [1.0, np.nan, 5, 5]}
    )
    out = brevant.aggregate(df, "v", "g", lec_record_dt={})
    assert list(out.columns) == ["g", "v", "w"] + [f"aggregate###{s}|||v|||g$$$" for s in STATS]
    assert out["w"].tolist() == [1.0, 5.0, 5.0, 5.0]  # median fill reaches unrelated columns
    assert list(df.columns) == ["g", "v", "w"]  # a new table: the caller's is untouched

    saved = list(brevant.AGGREGATE_TYPE)
    try:  # the default is the module list itself
        brevant.AGGREGATE_TYPE[:] = ["max"]
        out = brevant.aggregate(df, "v", "g", lec_record_dt={})
        assert list(out.columns) == ["g", "v", "w", "aggregate###max|||v|||g$$$"]
    finally:
        brevant.AGGREGATE_TYPE[:] = saved

    one = brevant.count(pd.DataFrame({"g": ["a"], "x": [np.nan]}), "g", {})
    assert one["count###g$$$"].isna().all() and one["x"].isna().all()


def test_crossrank_example(brevant):
    df = pd.DataFrame({"c1": ["x", "x", "y"], "c2": [5, 3, 7]}, index=[4, 4, 1])
    assert brevant.crossrank(df, "c1", "c2")["crossrank###c1|||c2$$$"].tolist() == [2.0, 1.0, 1.0]


# ---- stale feature columns, histstat's auxiliary column ------------------------------------------


@pytest.mark.parametrize(
    "name",
    [
        "count###g$$$",
        "crosscount###g|||h$$$",
        "aggregate###mean|||v|||g$$$",
        "aggregate###var|||v|||g$$$",
        "nunique###h|||g$$$",
    ],
)
def test_feature_column_already_present(brevant, name):
    df = pd.DataFrame({"g": ["a", "b", "a", "b", "a"], "h": ["p", "q", "q", "q", "p"],
                       "v": [1.0, 2.0, 4.0, 8.0, 16.0]})
    fresh = brevant.name2feature(df.copy(), [name], {})
    twice = brevant.name2feature(df.copy(), [name, name], {})
    assert list(twice.columns) == list(df.columns) + [name]
    # the second computation is incremental over the same rows: the same standardised values
    np.testing.assert_allclose(twice[name], fresh[name])

    arrived = df.assign(**{name: 99.0})[[name, "g", "h", "v"]]
    out = brevant.name2feature(arrived, [name], {})
    assert list(out.columns) == ["g", "h", "v", name]
    np.testing.assert_allclose(out[name], fresh[name])


def test_histstat_attaches_by_position_and_cleans_up(brevant):
    df = pd.DataFrame({"id": [1, 1, 2, 3, 3, 3], "g": ["a", "a", "a", "b", "b", "c"]},
                      index=[9, 9, 0, 5, 5, 5])
    out = brevant.histstat(df, "id", "g")
    name = "histstat###id|||g$$$"
    assert out is df and list(df.columns) == ["id", "g", name]
    # temp_count per row: 2, 2, 1, 3, 3, 3; the variance per group: a -> 1/3, b -> 0, c -> NaN
    np.testing.assert_allclose(df[name], [1 / 3, 1 / 3, 1 / 3, 0.0, 0.0, np.nan])
    assert brevant.histstat(df, "id", "g", ["max"])[name].tolist() == [2, 2, 2, 3, 3, 3]
    assert list(df.columns) == ["id", "g", name]

    with pytest.raises(KeyError):
        brevant.histstat(df, "id", "nowhere")
    with pytest.raises(AttributeError):
        brevant.histstat(df, "id", "g", ["no_such_stat"])
    assert list(df.columns) == ["id", "g", name]

    # a column of the caller's that happens to be named temp_count is put back where it was
    own = pd.DataFrame({"temp_count": ["keep", "me"], "id": [1, 2], "g": ["a", "a"]})
    brevant.histstat(own, "id", "g", ["mean"])
    assert list(own.columns) == ["temp_count", "id", "g", name]
    assert own["temp_count"].tolist() == ["keep", "me"]
    with pytest.raises(KeyError):
        brevant.histstat(own, "id", "nowhere")
    assert own["temp_count"].tolist() == ["keep", "me"]


# ---- missing key values --------------------------------------------------------------------------


def test_missing_keys_match_nothing(brevant):
    df = pd.DataFrame({"g": ["a", "a", "b", None], "h": ["p", "p", "q", "q"],
                       "v": [1.0, 3.0, 5.0, 100.0]})
    rec: dict = {}
    out = brevant.count(df, "g", rec)
    raw = standardised(pd.Series([2.0, 2.0, 1.0, np.nan]))
    np.testing.assert_allclose(out["count###g$$$"], raw.fillna(raw.median()))
    assert rec["count###g$$$"]["g"].tolist() == ["a", "b"]

    # a record that does hold a missing key (written elsewhere) still matches nothing
    rec = {"count###g$$$": pd.DataFrame({"g": ["a", "b", None], "count###g$$$": [2, 1, 50]})}
    out = brevant.count(df, "g", rec)
    raw = standardised(pd.Series([4.0, 4.0, 2.0, np.nan]))
    np.testing.assert_allclose(out["count###g$$$"], raw.fillna(raw.median()))

    out = brevant.crosscount(df, ["h", "g"], {})
    raw = standardised(pd.Series([2.0, 2.0, 1.0, np.nan]))
    np.testing.assert_allclose(out["crosscount###h|||g$$$"], raw.fillna(raw.median()))

    out = brevant.aggregate(df, "v", "g", ["mean"], {})
    raw = standardised(pd.Series([2.0, 2.0, 5.0, np.nan]))
    np.testing.assert_allclose(out["aggregate###mean|||v|||g$$$"], raw.fillna(raw.median()))

    rec = {"nunique###v|||g$$$": pd.Series([2, 1, 7], index=pd.Index(["a", "b", np.nan], name="g"),
                                           name="nunique###v|||g$$$")}
    out = brevant.nunique(df, "v", "g", rec)
    assert out["nunique###v|||g$$$"].tolist() == [2, 2, 1, 2]


# ---- dispatcher, signatures and bad input -----------------------------------------------------


@pytest.mark.parametrize(
    "name, direct",
    [
        (
            "aggregate###mean|||price|||shop$$$",
            lambda b, d, r: b.aggregate(d, "price", "shop", ["mean"], r),
        ),
        ("count###shop$$$", lambda b, d, r: b.count(d, "shop", r)),
        ("crosscount###shop|||item$$$", lambda b, d, r: b.crosscount(d, ["shop", "item"], r)),
        ("nunique###user|||shop$$$", lambda b, d, r: b.nunique(d, "user", "shop", r)),
        ("histstat###user|||shop$$$", lambda b, d, r: b.histstat(d, "user", "shop")),
        ("crossrank###shop|||price$$$", lambda b, d, r: b.crossrank(d, "shop", "price")),
    ],
)
def test_dispatcher_calls_by_name(brevant, name, direct):
    df = random_table(np.random.default_rng(3), 60, "shuffled")
    rec1: dict = {}
    rec2: dict = {}
    for _ in range(2):  # first and incremental call
        got = brevant.name2feature(df.copy(), [name], rec1)
        want = direct(brevant, df.copy(), rec2)
        assert_frame_equal(got, want)
    assert rec1.keys() == rec2.keys()


def test_signatures_and_bad_input(brevant):
    sig = inspect.signature(brevant.aggregate)
    assert list(sig.parameters) == ["df", "num_col", "group_col", "stat_list", "lec_record_dt"]
    assert sig.parameters["stat_list"].default == STATS
    params = list(inspect.signature(brevant.histstat).parameters)
    assert params == ["df", "id_col", "group_col", "stat_list"]
    assert str(inspect.signature(brevant.crosscount)) == "(df, col_list, lec_record_dt=None)"

    df = pd.DataFrame({"g": ["a", "b"], "h": ["x", "y"], "v": [1.0, 2.0]})
    with pytest.raises(AttributeError):
        brevant.count(df, "g")  # the record defaults to None
    with pytest.raises(AssertionError):
        brevant.crosscount(df, ("g", "h"), {})
    with pytest.raises(AssertionError):
        brevant.crosscount(df, ["g"], {})
    rec: dict = {}
    with pytest.raises(KeyError):
        brevant.count(df, "missing", rec)
    assert rec == {}
    with pytest.raises(KeyError):
        brevant.aggregate(df, "v", "missing", ["mean"], rec)
    # a statistic without an update rule cannot be merged on a later call
    brevant.aggregate(df, "v", "g", ["sum"], rec)
    with pytest.raises(KeyError):
        brevant.aggregate(df, "v", "g", ["sum"], rec)
