"""Calendar features: keyword@@@column names and the four date operators."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal, assert_series_equal

ACCESSORS = {
    "year": "year",
    "month": "month",
    "day_of_week": "dayofweek",
    "day_of_year": "dayofyear",
}
ALL = ["year@@@d", "month@@@d", "day_of_week@@@d", "day_of_year@@@d"]


def test_text_dates_become_features(brevant):
    df = pd.DataFrame({"d": ["2024-03-01", "2023-12-31"], "x": [1, 2]})
    out = brevant.name2timefeature(df, ALL)
    assert out is df
    assert str(df["d"].dtype) == "datetime64[ns]"
    assert list(df.columns) == ["d", "x", *ALL]
    assert df["year@@@d"].tolist() == [2024, 2023]
    assert df["month@@@d"].tolist() == [3, 12]
    assert df["day_of_week@@@d"].tolist() == [4, 6]  # a Friday and a Sunday
    assert df["day_of_year@@@d"].tolist() == [61, 365]
    leap = brevant.day_of_year(pd.DataFrame({"d": ["2024-12-31"]}), "d")
    assert leap["day_of_year@@@d"].tolist() == [366]


@pytest.mark.parametrize("op", list(ACCESSORS))
def test_random_dates_match_pandas(brevant, op):
    rng = np.random.default_rng(len(op))
    n = 200
    dates = pd.Timestamp("1999-01-01") + pd.to_timedelta(rng.integers(0, 20000, n), unit="D")
    text = pd.Series(dates.strftime("%Y-%m-%d"), dtype=object)
    text[rng.random(n) < 0.1] = None
    df = pd.DataFrame({"when": text.to_numpy()}, index=rng.integers(0, 20, n))
    expected = pd.to_datetime(df["when"])
    out = getattr(brevant, op)(df, "when")
    assert out is df
    assert_series_equal(df["when"], expected)
    assert_series_equal(df[f"{op}@@@when"], getattr(expected.dt, ACCESSORS[op]), check_names=False)
    assert df[f"{op}@@@when"].isna().sum() == text.isna().sum()
    # a second feature of the same, already converted, column
    getattr(brevant, op)(df, "when")
    assert_series_equal(df[f"{op}@@@when"], getattr(expected.dt, ACCESSORS[op]), check_names=False)


def test_missing_column(brevant):
    df = pd.DataFrame({"d": ["2024-03-01"]})
    for op in ("year", "month", "day_of_week"):
        with pytest.raises(KeyError) as info:
            getattr(brevant, op)(df, "missing_col")
        assert info.value.args == ("missing_col not in the columns",)
    with pytest.raises(KeyError, match="missing_col not in the columns"):
        brevant.name2timefeature(df, ["year@@@missing_col"])
    out = brevant.day_of_year(df, "missing_col")
    assert out is df and list(df.columns) == ["d"] and df["d"].dtype == object


@pytest.mark.filterwarnings("ignore:Could not infer format:UserWarning")
@pytest.mark.parametrize("op", list(ACCESSORS))
def test_unparseable_column_adds_nothing(brevant, op):
    df = pd.DataFrame({"d": ["not a date", "neither"], "n": [1, 2]})
    before = df.copy()
    assert getattr(brevant, op)(df, "d") is df
    assert_frame_equal(df, before)


def test_name2timefeature_keys(brevant):
    df = pd.DataFrame({"d": ["2024-03-01"]})
    assert brevant.name2timefeature(df, []) is df and list(df.columns) == ["d"]

    with pytest.raises(RuntimeError) as info:
        brevant.name2timefeature(df, ["year@@@d", "week@@@d"])
    assert str(info.value) == "Do not support this timefeature OP:week@@@d"
    assert "year@@@d" in df.columns  # earlier keys stay

    brevant.name2timefeature(df, ["day_of_week@@@d@@@extra"])
    assert df["day_of_week@@@d"].tolist() == [4]
    with pytest.raises(IndexError):
        brevant.name2timefeature(df, ["month"])
    with pytest.raises(AssertionError):
        brevant.name2timefeature(df, ("year@@@d",))
    # the dispatcher does not handle calendar names
    with pytest.raises(RuntimeError, match="Do not support this OP: year@@@d"):
        brevant.name2feature(df, ["year@@@d"], {})


def test_signatures(brevant):
    import inspect

    assert str(inspect.signature(brevant.name2timefeature)) == "(df, time_candidate_feature)"
    for op in ACCESSORS:
        assert str(inspect.signature(getattr(brevant, op))) == "(df, tim_col)"
