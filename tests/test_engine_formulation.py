"""name2feature on sixty mixed names, fitted on one table and then applied to another with the
record it built, against the whole engine written in pandas: the same table column for column,
dtype for dtype, and the same record."""

from __future__ import annotations

import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import pandas_formulation as ref
from module.common import task_config
from test_group_stats_native import records_equal


@pytest.mark.parametrize("group", [None, "series"], ids=["whole", "grouped"])
@pytest.mark.parametrize("rows", [(300, 180), (1, 1), (40, 7)], ids=["tables", "one row", "short"])
def test_sixty_names_equal_the_pandas_engine(brevant, group, rows):
    train = ref.random_table(31, rows[0])
    test = ref.random_table(32, rows[1])
    rec_n: dict = {}
    rec_r: dict = {}
    with task_config.active({"Feature": {"GroupIndex": group}}):
        for df in (train, test):
            before = df.copy()
            got = brevant.name2feature(df.copy(), list(ref.MIXED_60), rec_n)
            want = ref.name2feature(df.copy(), list(ref.MIXED_60), rec_r, group)
            assert list(got.columns) == list(want.columns)
            assert_frame_equal(got, want, check_exact=True, check_index_type=True,
                               check_column_type=True)
            records_equal(rec_n, rec_r)
            assert_frame_equal(df, before)


def test_caller_frame_and_result_do_not_share_columns(brevant):
    """Writes in both directions after a call that mixes group statistics with other families."""
    df = ref.random_table(5, 50)
    before = df.copy()
    out = brevant.name2feature(df, ref.MIXED_60[:20], {})
    assert out is not df
    out.loc[:, "price"] = -1.0
    out["series"] = "x"
    pd.testing.assert_frame_equal(df, before)
    df.loc[:, "rate"] = 99.0
    assert not (out["rate"] == 99.0).any()


@pytest.mark.parametrize("n", [1, 2, 3, 4, 101, 4_000, 70_001, 140_000])
def test_median_fill_values_equal_pandas(brevant, n):
    """The fill of every gap column after a group statistic, on value sets that put the two
    middle values in one place or far apart: ties, signed zeros, infinities, wide ranges; on long
    columns also rows in sorted or periodic order, and columns that are mostly gaps."""
    import numpy as np

    from group_formulation import count

    rng = np.random.default_rng(n)
    cols = {
        "key": rng.integers(0, 3, n),
        "ties": rng.choice([1.0, 2.0], n),
        "zeros": rng.choice([-0.0, 0.0, -1e-300, 5e-324], n),
        "wide": rng.choice([-np.inf, -1e300, 1e-300, 1e300, np.inf], n) * rng.random(n),
        "normal": rng.normal(50, 10, n),
        "halves": np.where(np.arange(n) < n // 2, -7.5, 1e6),
        "sorted": np.sort(rng.normal(0, 1, n)),
        "periodic": (np.arange(n) % 997).astype(float),
        "sparse": rng.normal(0, 1, n),
    }
    df = pd.DataFrame(cols)
    for c in list(cols)[1:]:
        df.loc[rng.random(n) < (0.9 if c == "sparse" else 0.3), c] = np.nan
    got = brevant.count(df.copy(), "key", {})
    want = count(df.copy(), "key", {})
    assert_frame_equal(got, want, check_exact=True)


# ---- code of the caller's that runs during a call and writes the caller's table --------------


def _touch(df):
    """The caller's code: a key of the caller's table rewritten in place."""
    df.loc[0, "shop"] = "zzz"


class _Key:
    """A group key whose hashing rewrites the caller's table."""

    def __init__(self, value, df):
        self.value, self.df = value, df

    def __hash__(self):
        _touch(self.df)
        return hash(self.value)

    def __eq__(self, other):
        return isinstance(other, _Key) and other.value == self.value

    def __lt__(self, other):
        return self.value < other.value


class _Value:
    """A value whose comparison and conversion to a number rewrite the caller's table."""

    def __init__(self, value, df):
        self.value, self.df = value, df

    def __hash__(self):
        return hash(self.value)

    def __eq__(self, other):
        _touch(self.df)
        return self.value == other

    def __float__(self):
        _touch(self.df)
        return float(self.value)


class _Label:
    """A column label that rewrites the caller's table when compared with `text` (which a lookup
    of `text` does, the two hashing alike)."""

    def __init__(self, text, df):
        self.text, self.df = text, df

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if isinstance(other, str) and other == self.text:
            _touch(self.df)
        return self is other

    def __repr__(self):
        return "_Label()"


def _record_get(df):
    class Record(dict):
        def get(self, key, default=None):
            _touch(df)
            return super().get(key, default)

    return Record()


def _record_set(df):
    class Record(dict):
        def __setitem__(self, key, value):
            _touch(df)
            super().__setitem__(key, value)

    return Record()


def _odd_keys(df):
    df["odd"] = [_Key(k % 3, df) for k in range(len(df))]
    return {}


def _odd_values(df):
    df["odd"] = [_Value(k % 3, df) for k in range(len(df))]
    return {}


def _odd_label(df):
    df[_Label("add###price|||qty$$$", df)] = 1.0
    return {}


# Each case: how the caller's code gets to run, and the names; the first name groups `shop` on
# the caller's table, a later one uses that grouping after the caller's code has run.
FOREIGN = {
    "record get": (_record_get, ["crossrank###shop|||price$$$", "count###shop$$$"]),
    "record set": (_record_set, ["crossrank###shop|||price$$$", "count###shop$$$",
                                 "aggregate###mean|||price|||shop$$$"]),
    "key hash": (_odd_keys, ["crossrank###shop|||price$$$", "crossrank###odd|||price$$$",
                             "count###shop$$$"]),
    "value comparison": (_odd_values, ["crossrank###shop|||price$$$", "equal###odd|||qty$$$",
                                       "count###shop$$$"]),
    "value conversion": (_odd_values, ["crossrank###shop|||price$$$", "tsum###odd|||2$$$",
                                       "count###shop$$$"]),
    "label comparison": (_odd_label, ["crossrank###shop|||price$$$",
                                      "log###add###price|||qty$$$$$$", "count###shop$$$"]),
}


@pytest.mark.parametrize("case", list(FOREIGN))
def test_caller_code_that_writes_the_table_midway(brevant, case):
    """The call sees the table as the caller's code left it, as the pandas engine does."""
    setup, names = FOREIGN[case]
    results = []
    for engine in ("native", "pandas"):
        df = ref.random_table(7, 30)
        rec = setup(df)
        if engine == "native":
            out = brevant.name2feature(df, list(names), rec)
        else:
            out = ref.name2feature(df, list(names), rec)
        assert df.loc[0, "shop"] == "zzz"
        results.append((out, rec))
    (got, rec_n), (want, rec_r) = results
    got.columns, want.columns = map(repr, got.columns), map(repr, want.columns)
    assert_frame_equal(got, want, check_exact=True)
    assert list(rec_n) == list(rec_r)
