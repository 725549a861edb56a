"""The natively computed group statistics against their pandas formulation, exactly: the same
values bit for bit, dtypes, column order, row index type and record entries, first call and
incremental call, on random tables with text, integer, float and missing keys."""

from __future__ import annotations

import copy
import pickle

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal, assert_series_equal

import group_formulation as ref

EXACT = dict(check_exact=True, check_index_type=True, check_column_type=True, check_flags=True)


def same(got, want):
    assert type(got) is type(want)
    if isinstance(want, dict):
        assert list(got) == list(want)
        for k in want:
            same(got[k], want[k])
    elif isinstance(want, pd.DataFrame):
        assert_frame_equal(got, want, **EXACT)
    elif isinstance(want, pd.Series):
        assert_series_equal(got, want, check_exact=True, check_index_type=True)
        if isinstance(want.index, pd.MultiIndex):
            for a, b in zip(got.index.levels, want.index.levels):
                pd.testing.assert_index_equal(a, b, exact=True)
    else:
        assert got == want


def records_equal(got: dict, want: dict):
    assert list(got) == list(want)
    for k in want:
        same(got[k], want[k])


def keys(rng, n, kind, missing=True):
    if kind == "text":
        pool = np.array(["a", "b", "ç", "日本", "a b", "", "zz", "B"], dtype=object)
        k = pool[rng.integers(0, len(pool), n)]
        if missing:
            k[rng.random(n) < 0.1] = None
            k[rng.random(n) < 0.05] = np.nan
        return k
    if kind == "int":
        return rng.integers(-3, 5, n)
    if kind == "bool":
        return rng.random(n) < 0.4
    k = rng.integers(-3, 5, n).astype(float)
    k[k == 0] = -0.0
    if missing:
        k[rng.random(n) < 0.1] = np.nan
    return k


def table(seed, n, kind, index="default"):
    rng = np.random.default_rng(seed)
    price = rng.normal(10, 3, n).round(1)
    price[rng.random(n) < 0.15] = np.nan
    if n > 6:
        price[2:5] = np.nan
    df = pd.DataFrame(
        {
            "g": keys(rng, n, kind),
            "h": keys(rng, n, "text" if kind != "text" else "int"),
            "price": price,
            "qty": rng.integers(0, 4, n),
            "user": keys(rng, n, "float"),
            "other": np.where(rng.random(n) < 0.3, np.nan, rng.normal(size=n)),
            "const": np.full(n, 3.0),
            "label": ["t%d" % (k % 7) for k in range(n)],
        }
    )
    if index == "shuffled":
        df.index = rng.permutation(np.arange(100, 100 + n))
    elif index == "duplicated":
        df.index = rng.integers(0, max(1, n // 4), n)
    elif index == "text":
        df.index = ["r%d" % (n - k) for k in range(n)]
    return df


CASES = [
    (0, 1, "text", "default"),
    (1, 2, "int", "duplicated"),
    (2, 57, "float", "shuffled"),
    (3, 300, "text", "duplicated"),
    (4, 120, "int", "text"),
    (5, 250, "float", "default"),
    (6, 80, "bool", "shuffled"),
    (7, 700, "text", "default"),
]


@pytest.fixture(params=CASES, ids=lambda c: f"n{c[1]}-{c[2]}-{c[3]}")
def pair(request):
    seed, n, kind, index = request.param
    return table(seed, n, kind, index), table(seed + 100, max(1, n // 2), kind, index)


def run_both(native, formulation, df, rec_n, rec_r):
    before = df.copy()
    got = native(df.copy() if False else df, rec_n)
    want = formulation(before.copy(), rec_r)
    assert_frame_equal(df, before, **EXACT)  # the caller's table is left as it was
    same(got, want)
    records_equal(rec_n, rec_r)
    return got


OPS = {
    "count": (lambda b: lambda d, r: b.count(d, "g", r), lambda d, r: ref.count(d, "g", r)),
    "count-num": (lambda b: lambda d, r: b.count(d, "qty", r), lambda d, r: ref.count(d, "qty", r)),
    # equal texts held by distinct objects: one group, whatever the objects
    "count-texts": (
        lambda b: lambda d, r: b.count(d, "label", r), lambda d, r: ref.count(d, "label", r)
    ),
    "crosscount": (
        lambda b: lambda d, r: b.crosscount(d, ["g", "h"], r),
        lambda d, r: ref.crosscount(d, ["g", "h"], r),
    ),
    "nunique": (
        lambda b: lambda d, r: b.nunique(d, "user", "g", r),
        lambda d, r: ref.nunique(d, "user", "g", r),
    ),
    "nunique-int": (
        lambda b: lambda d, r: b.nunique(d, "qty", "g", r),
        lambda d, r: ref.nunique(d, "qty", "g", r),
    ),
    "nunique-text": (
        lambda b: lambda d, r: b.nunique(d, "label", "g", r),
        lambda d, r: ref.nunique(d, "label", "g", r),
    ),
}
for _stat in ref.STATS:
    OPS[f"aggregate-{_stat}"] = (
        lambda b, s=_stat: lambda d, r: b.aggregate(d, "price", "g", [s], r),
        lambda d, r, s=_stat: ref.aggregate(d, "price", "g", [s], r),
    )
    OPS[f"aggregate-int-{_stat}"] = (
        lambda b, s=_stat: lambda d, r: b.aggregate(d, "qty", "g", [s], r),
        lambda d, r, s=_stat: ref.aggregate(d, "qty", "g", [s], r),
    )
OPS["aggregate-all"] = (
    lambda b: lambda d, r: b.aggregate(d, "price", "g", list(ref.STATS), r),
    lambda d, r: ref.aggregate(d, "price", "g", list(ref.STATS), r),
)


@pytest.mark.parametrize("op", list(OPS))
def test_fit_and_update_match_pandas(brevant, pair, op):
    train, test = pair
    native, formulation = OPS[op][0](brevant), OPS[op][1]
    rec_n: dict = {}
    rec_r: dict = {}
    run_both(native, formulation, train, rec_n, rec_r)
    run_both(native, formulation, test, rec_n, rec_r)  # incremental, on another batch
    # the record survives pickling and keeps serving
    rec_n = pickle.loads(pickle.dumps(rec_n))
    run_both(native, formulation, train, rec_n, rec_r)


def test_records_from_the_pandas_formulation_serve_the_native_operators(brevant):
    train, test = table(11, 200, "text"), table(12, 90, "text")
    for op in OPS:
        native, formulation = OPS[op][0](brevant), OPS[op][1]
        rec_r: dict = {}
        formulation(train.copy(), rec_r)  # written by the training side
        rec_n = copy.deepcopy(rec_r)
        run_both(native, formulation, test, rec_n, rec_r)


@pytest.mark.parametrize("stat", ["min", "max"])
@pytest.mark.parametrize("scale", [2**20, 2**62])
def test_int64_statistics_standardised_past_a_double_exact_sum(brevant, stat, scale):
    """Integer group minima / maxima repeated over more rows than NumPy's sum buffer: once their
    sum leaves a double's exact range, its mean depends on the order of the additions."""
    for seed in range(4):
        rng = np.random.default_rng(seed)
        values = rng.integers(-scale, scale, 50)
        df = pd.DataFrame({"g": rng.integers(0, 50, 20_000)})
        df["x"] = values[df["g"]]
        run_both(lambda d, r: brevant.aggregate(d, "x", "g", [stat], r),
                 lambda d, r: ref.aggregate(d, "x", "g", [stat], r), df, {}, {})


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")  # inf - inf
@pytest.mark.parametrize("stat", ["min", "max"])
def test_extremes_of_groups_of_infinities_or_gaps(brevant, stat):
    """A group whose only values are the extreme's start value (+inf for min, -inf for max) holds
    that infinity; a group of gaps only holds none. The record shows each group's value."""
    inf = np.inf
    keys = ["pinf", "pinf", "ninf", "ninf", "gaps", "gaps", "mixed", "mixed", "mixed", "plain"]
    df = pd.DataFrame({"g": keys, "x": [inf, inf, -inf, np.nan, np.nan, np.nan, inf, -inf,
                                         np.nan, 1.5]})
    later = pd.DataFrame({"g": ["gaps", "pinf", "ninf", "new"], "x": [-inf, np.nan, inf, np.nan]})
    native = lambda d, r: brevant.aggregate(d, "x", "g", [stat], r)  # noqa: E731
    formulation = lambda d, r: ref.aggregate(d, "x", "g", [stat], r)  # noqa: E731
    rec_n: dict = {}
    rec_r: dict = {}
    for batch in (df, later):
        run_both(native, formulation, batch, rec_n, rec_r)


@pytest.mark.parametrize("op", ["count", "crosscount"] + [
    f"aggregate{t}-{s}" for t in ("", "-int") for s in ("min", "max", "median")])
def test_update_rules_where_the_stored_and_batch_keys_differ(brevant, op):
    """The batch's groups combined with the stored table's: groups only one of them holds, groups
    whose values are all gaps on one side, and the same keys on both sides (integers kept)."""
    def batch(keys, gap_group):
        df = table(len(keys), 3 * len(keys), "text")
        df["g"] = np.array(keys * 3, dtype=object)
        df["h"] = np.array((["x", "y"] * len(keys) * 2)[: 3 * len(keys)], dtype=object)
        df.loc[df["g"] == gap_group, "price"] = np.nan
        return df
    native, formulation = OPS[op][0](brevant), OPS[op][1]
    train = batch(["a", "b", "c", "e"], "c")
    for test in (batch(["b", "c", "d"], "b"), batch(["c", "e", "b", "a"], "e"), train):
        rec_n: dict = {}
        rec_r: dict = {}
        run_both(native, formulation, train, rec_n, rec_r)
        run_both(native, formulation, test, rec_n, rec_r)


@pytest.mark.parametrize("values", [30, 400], ids=["pairs-tabled", "pairs-sorted"])
def test_crosscount_ordered_past_the_pair_table(brevant, values):
    """The stored counts are ordered by the two keys' values: through a table of every possible
    pair while there are few, by sorting once there are many more possible pairs than rows."""
    rng = np.random.default_rng(values)
    frames = []
    for n in (2_000, 700):
        df = table(values + n, n, "text")
        df["g"] = rng.integers(-values, values, n)
        df["h"] = np.array([f"h{k}" for k in rng.integers(0, values, n)], dtype=object)
        frames.append(df)
    rec_n: dict = {}
    rec_r: dict = {}
    for df in frames:
        run_both(lambda d, r: brevant.crosscount(d, ["g", "h"], r),
                 lambda d, r: ref.crosscount(d, ["g", "h"], r), df, rec_n, rec_r)


@pytest.mark.parametrize("shape", ["as-written", "unsorted", "float-counts", "extra-key", "int-keys"])
def test_incremental_mean_over_stored_entries_of_every_shape(brevant, shape):
    """The kept entry of an incremental mean is the outer join of the stored means and counts
    with the batch's: sorted keys, the stored side's key dtype, gaps as 0. A stored entry whose
    keys are out of order, whose counts are floats or which holds a key the batch lacks must give
    that frame too, as must keys stored as integers for a float key column."""
    df = table(31, 400, "text")
    df.loc[df["g"] == "zz", "price"] = np.nan  # a group of gaps only: its mean is kept as 0
    rec: dict = {}
    ref.aggregate(df.copy(), "price", "g", ["mean"], rec)
    name = "aggregate###mean|||price|||g$$$"
    data, length = rec[name]["data"], rec[name]["length"]
    if shape == "unsorted":
        data = data.iloc[::-1]
    elif shape == "float-counts":
        length = length.astype({"g_count": float})
    elif shape == "extra-key":
        data = pd.concat([data, pd.Series([1.5], index=pd.Index(["~"], name="g"), name=name)])
        length = pd.concat([length, pd.DataFrame({"g": ["~"], "g_count": [4]})],
                           ignore_index=True)
    elif shape == "int-keys":
        df["g"] = df["qty"].astype(float)
        rec = {}
        ref.aggregate(df.copy(), "price", "g", ["mean"], rec)
        data, length = rec[name]["data"], rec[name]["length"]
        data.index = data.index.astype(np.int64)
        length["g"] = length["g"].astype(np.int64)
    stored = {"data": data, "length": length}
    run_both(lambda d, r: brevant.aggregate(d, "price", "g", ["mean"], r),
             lambda d, r: ref.aggregate(d, "price", "g", ["mean"], r), df,
             {name: copy.deepcopy(stored)}, {name: copy.deepcopy(stored)})


@pytest.mark.parametrize("keys", [["a", "b", "a", "c"], ["a", 1, "a", 2.5]], ids=["text", "mixed"])
def test_statistics_after_a_join_that_repeats_rows(brevant, keys):
    """A stored table that holds a key twice repeats that key's rows in the join; the statistics
    after it are computed on the repeated rows, as the pandas formulation does."""
    df = pd.DataFrame({"g": np.array(keys, dtype=object), "x": [1.0, 2.0, 3.0, np.nan]})
    name = "aggregate###min|||x|||g$$$"
    stored = pd.Series([0.5, 0.7, 2.0], index=pd.Index(["a", "a", keys[1]], name="g"), name=name)
    for stats in (["min", "max", "mean"], ["median", "min", "var"]):
        rec_n = {name: stored.copy()}
        rec_r = {name: stored.copy()}
        run_both(lambda d, r: brevant.aggregate(d, "x", "g", stats, r),
                 lambda d, r: ref.aggregate(d, "x", "g", stats, r), df, rec_n, rec_r)


@pytest.mark.parametrize("spread, n", [(3, 3000), (70_000, 3000), (2**62, 3000), (2**62, 600_000)],
                         ids=["narrow", "wide", "huge", "many-distinct"])
def test_nunique_of_integer_ids_by_value(brevant, spread, n):
    """Integer ids, negative ones included, counted by value whether their range is narrow
    enough to serve as codes or not, and whether their distinct values are few enough to be
    marked per group or so many that the rows are bucketed by id."""
    rng = np.random.default_rng(spread % 1000)
    df = table(9, n, "text")
    df["qty"] = rng.integers(-spread, spread, n)
    df.loc[::7, "qty"] = df["qty"].iloc[0]
    run_both(lambda d, r: brevant.nunique(d, "qty", "g", r),
             lambda d, r: ref.nunique(d, "qty", "g", r), df, {}, {})


@pytest.mark.parametrize("kind", ["text", "int", "float"])
def test_histstat_and_crossrank_match_pandas(brevant, kind):
    for seed, n in [(1, 1), (2, 40), (3, 500), (4, 5000)]:  # groups sorted both ways
        df = table(seed, n, kind, "duplicated")
        # integer ids counted by value (narrow, negative) and by grouping (too wide for that)
        df["signed"] = df["qty"] - 2
        df["wide"] = (df["qty"] - 1) * 2**40
        for stats in [ref.STATS, ["max"], ["min"], ["mean"], ["median"], ["var", "max"]]:
            got, want = df.copy(), df.copy()
            assert brevant.histstat(got, "user", "g", stats) is got
            ref.histstat(want, "user", "g", stats)
            assert_frame_equal(got, want, **EXACT)
            for ids in ["label", "signed", "wide"]:
                got, want = df.copy(), df.copy()
                brevant.histstat(got, ids, "g", stats)
                ref.histstat(want, ids, "g", stats)
                assert_frame_equal(got, want, **EXACT)
        # keys crowded into one narrow cluster beside a far outlier: too many for the
        # ordering's digits to tell apart
        df["crowded"] = 1 + 1e-12 * (np.arange(n)[::-1] % 97)
        df.iloc[::50, df.columns.get_loc("crowded")] = 1e300
        for c2 in ["price", "qty", "user", "other", "crowded"]:
            got, want = df.copy(), df.copy()
            assert brevant.crossrank(got, "g", c2) is got
            assert_frame_equal(got, ref.crossrank(want, "g", c2), **EXACT)


@pytest.mark.parametrize("order", ["blocks", "shuffled"])
def test_medians_of_large_groups_match_pandas(brevant, order):
    """Group medians over groups of one to tens of thousands of values, odd and even counts: ties,
    signed zeros, infinities, two far clusters, sorted runs, a far value at every position a sample
    at fixed strides would take, mostly gaps."""
    sizes = [1, 2, 255, 256, 257, 300, 1024, 5001, 40_000]
    rng = np.random.default_rng(9)
    pos = np.concatenate([np.arange(s) for s in sizes])
    size = np.repeat(sizes, sizes)
    stride = np.maximum(size // 64, 1)
    cols = {
        "key": np.repeat(np.arange(len(sizes)), sizes),
        "normal": rng.normal(50, 10, len(pos)),
        "ties": rng.choice([1.0, 2.0, 2.0], len(pos)),
        "zeros": rng.choice([-0.0, 0.0, -1e-300, 5e-324], len(pos)),
        "wide": rng.choice([-np.inf, -1e300, 1e-300, 1e300, np.inf], len(pos)) * rng.random(len(pos)),
        "halves": np.where(pos < size // 2, -7.5, 1e6),
        "sorted": pos * 0.5 - size,
        "strided": np.where(pos % stride == stride // 2, 1e6, rng.normal(0, 1, len(pos))),
        "sparse": np.where(rng.random(len(pos)) < 0.9, np.nan, rng.normal(0, 1, len(pos))),
    }
    df = pd.DataFrame(cols)
    if order == "shuffled":
        df = df.iloc[rng.permutation(len(df))].reset_index(drop=True)
    for col in list(cols)[1:]:
        rec_n: dict = {}
        rec_r: dict = {}
        got = brevant.aggregate(df.copy(), col, "key", ["median"], rec_n)
        want = ref.aggregate(df.copy(), col, "key", ["median"], rec_r)
        same(got, want)
        records_equal(rec_n, rec_r)


@pytest.mark.parametrize(
    "name",
    ["count###g$$$", "crosscount###g|||h$$$", "aggregate###median|||price|||g$$$",
     "nunique###user|||g$$$"],
)
def test_stale_feature_column_one_row_and_constant_columns(brevant, name):
    for df in [table(3, 60, "text"), table(4, 1, "int")]:
        arrived = df.assign(**{name: 7.0})[[name] + list(df.columns)]
        op = name.split("###")[0]
        native = OPS[op if op != "aggregate" else "aggregate-median"]
        rec_n: dict = {}
        rec_r: dict = {}
        run_both(native[0](brevant), native[1], arrived, rec_n, rec_r)
    const = pd.DataFrame({"g": ["a"] * 5, "h": ["x"] * 5, "price": [2.0] * 5, "user": [1.0] * 5})
    rec_n, rec_r = {}, {}
    op = name.split("###")[0]
    native = OPS[op if op != "aggregate" else "aggregate-median"]
    run_both(native[0](brevant), native[1], const, rec_n, rec_r)


def test_no_aliasing_between_the_caller_and_the_new_table(brevant):
    df = table(5, 50, "text")
    df["price"] = df["price"].fillna(1.0)  # no gap: nothing the fill would replace anyway
    original = df.copy()
    out = brevant.count(df, "g", {})
    assert out is not df
    out.loc[0, "price"] = -999.0
    out.loc[0, "label"] = "changed"
    assert_frame_equal(df, original)
    df.loc[1, "price"] = 12345.0
    df.loc[1, "label"] = "mine"
    assert out.loc[1, "price"] != 12345.0 and out.loc[1, "label"] != "mine"

    # through name2feature: several group statistics, one table shared between them privately
    df = original.copy()
    names = ["count###g$$$", "aggregate###mean|||price|||g$$$", "log###qty$$$",
             "nunique###user|||g$$$", "crosscount###g|||h$$$"]
    out = brevant.name2feature(df, names, {})
    assert_frame_equal(df, original)
    for col in ["price", "qty", "label", "g"]:
        out.loc[2, col] = out.loc[3, col]
        df.loc[4, col] = df.loc[5, col]
    fresh = brevant.name2feature(original.copy(), names, {})
    assert_frame_equal(out.drop(index=[2]), fresh.drop(index=[2]))
    assert_frame_equal(df.drop(index=[4]), original.drop(index=[4]))


MIXED = [
    "count###g$$$", "crosscount###g|||h$$$", "aggregate###min|||price|||g$$$",
    "aggregate###max|||price|||g$$$", "aggregate###mean|||price|||g$$$",
    "aggregate###median|||price|||g$$$", "aggregate###var|||price|||g$$$",
    "aggregate###mean|||qty|||h$$$", "nunique###user|||g$$$", "histstat###user|||g$$$",
    "crossrank###g|||price$$$", "log###price$$$", "add###price|||qty$$$",
    "count###add###price|||qty$$$$$$", "aggregate###max|||log###qty$$$|||g$$$",
    "sine###count###h$$$$$$", "nunique###label|||h$$$", "count###qty$$$",
    "multiply###price|||other$$$", "crossrank###h|||qty$$$",
]


def formulation_of(name, df, rec):
    op, rest = name.split("###", 1)
    args = rest[: -len("$$$")].split("|||")
    if op == "count":
        return ref.count(df, args[0], rec)
    if op == "crosscount":
        return ref.crosscount(df, args, rec)
    if op == "aggregate":
        return ref.aggregate(df, args[1], args[2], [args[0]], rec)
    if op == "nunique":
        return ref.nunique(df, args[0], args[1], rec)
    if op == "histstat":
        return ref.histstat(df, args[0], args[1])
    if op == "crossrank":
        return ref.crossrank(df, args[0], args[1])
    raise KeyError(op)


def test_mixed_names_match_the_pandas_formulation(brevant):
    """Group statistics and element-wise operators through name2feature, twice (fit, update);
    the nested and element-wise names are built by the engine on both sides, the group statistics
    by the formulation."""
    train, test = table(21, 400, "text", "shuffled"), table(22, 150, "text", "duplicated")
    rec_n: dict = {}
    rec_r: dict = {}
    for df in [train, test]:
        got = brevant.name2feature(df.copy(), list(MIXED), rec_n)
        want = df.copy()
        for name in MIXED:
            try:
                want = formulation_of(name, want, rec_r)
            except KeyError:
                want = brevant.name2feature(want, [name], rec_r)
        same(got, want)
        records_equal(rec_n, rec_r)


@pytest.mark.parametrize("n", [100, 70_001], ids=["cached", "streamed-odd-rows"])
def test_width_does_not_reach_the_result(brevant, n):
    """The extra columns are copied once; past 1 MiB a block's copy streams, and with an odd row
    count every other column starts off the 16-byte boundary (integer and boolean blocks end off a
    64-byte step). A column's only gap at its first, second or last row must still be found, so
    that the fill reaches it; no write to the result may reach the caller's table."""
    df = table(8, n, "text")
    wide = df.copy()
    rows = np.arange(n)
    for k in range(30):
        wide[f"extra{k}"] = np.where(rows % (k + 2) == 0, np.nan, float(k))
    for k in range(16):
        wide[f"small{k}"] = ((rows * (k + 3)) % 251 - 125).astype(np.int8)
        wide[f"flag{k}"] = rows % (k + 2) == 1
    wide["wide_int"] = (rows * 7919).astype(np.uint16)
    for row in [0, 1, n - 1]:
        wide[f"lone{row}"] = np.where(np.arange(n) == row, np.nan, 2.0 * row)
    names = ["count###g$$$", "aggregate###mean|||price|||g$$$", "nunique###user|||g$$$"]
    got = brevant.name2feature(wide.copy(), names, {})
    want = wide.copy()
    rec: dict = {}
    for name in names:
        want = formulation_of(name, want, rec)
    same(got, want)
    before = wide.copy()
    for col in ["small15", "flag15", "wide_int", "extra3", "price"]:
        got[col] = got[col].iloc[::-1].to_numpy()
    assert_frame_equal(wide, before, **EXACT)


@pytest.mark.parametrize("cow", [False, True], ids=["copying", "copy-on-write"])
def test_gaps_filled_in_the_new_table_only(brevant, cow):
    """Window features add gaps to the caller's table, later group statistics fill them in the
    new table; the caller's columns keep every gap, whichever way pandas shares blocks."""
    names = ["delay###price|||1$$$", "count###g$$$", "tsum###other|||2$$$",
             "aggregate###mean|||price|||g$$$", "delta###qty|||1$$$", "nunique###user|||g$$$"]
    df = table(23, 300, "text")
    with pd.option_context("mode.copy_on_write", cow):
        before = df.copy()
        got = brevant.name2feature(df, list(names), {})
        want, caller = before.copy(), before.copy()
        for name in names:
            try:
                want = formulation_of(name, want, {})
            except KeyError:
                want = brevant.name2feature(want, [name], {})
            if name.startswith("delay"):
                caller = want.copy()  # the caller's table as the first window feature leaves it
        same(got, want)
        assert_frame_equal(df, caller, **EXACT)
        assert df["price"].isna().any() and df["delay###price|||1$$$"].isna().any()
