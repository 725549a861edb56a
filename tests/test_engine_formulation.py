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
