"""left_merge, concat and feature2table."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal


def test_left_merge_matches_pandas_on_random_tables(brevant):
    rng = np.random.default_rng(5)
    for n in (1, 7, 200):
        keys = np.array(["a", "b", "c", None], dtype=object)
        data1 = pd.DataFrame({"k": keys[rng.integers(0, 4, n)], "x": rng.normal(size=n)},
                             index=rng.integers(0, 3, n))
        data2 = pd.DataFrame({"k": ["a", "b", "z"], "v": [1.5, np.nan, 3.0], "w": ["p", "q", "r"]})
        data1_before, data2_before = data1.copy(), data2.copy()
        want = data1.merge(data2, on="k", how="left")[["v", "w"]]
        assert_frame_equal(brevant.left_merge(data1, data2, "k"), want)
        assert_frame_equal(brevant.left_merge(data1, data2, ["k"]), want)
        # the key may be data2's row index instead of a column
        assert_frame_equal(brevant.left_merge(data1, data2.set_index("k"), ["k"]), want)
        assert_frame_equal(data1, data1_before)
        assert_frame_equal(data2, data2_before)


def test_left_merge_shapes_and_errors(brevant):
    data1 = pd.DataFrame({"k": ["b", "a", "b"], "j": [1, 2, 1]}, index=[9, 9, 4])
    data2 = pd.DataFrame({"k": ["a", "b"], "j": [2, 1], "v": [10, 20]})
    out = brevant.left_merge(data1, data2, ["k", "j"])
    assert out.to_dict("list") == {"v": [20, 10, 20]}
    assert out.index.tolist() == [0, 1, 2]
    # repeated keys in data2 give one row per match
    assert brevant.left_merge(data1, pd.concat([data2, data2])[["k", "v"]], "k").shape == (6, 1)
    with pytest.raises(KeyError):
        brevant.left_merge(data1, data2, "nowhere")
    # a non-key label present in both tables is split by the merge's suffixes
    with pytest.raises(KeyError):
        brevant.left_merge(data1, data2, "k")


def test_concat(brevant):
    assert brevant.concat([]) is None
    assert brevant.concat([None, None]) is None
    a = pd.DataFrame({"x": [1, 2, 3]}, index=[10, 11, 12])
    before = a.copy()
    assert brevant.concat([a]) is a
    assert brevant.concat([None, a, None]) is a
    assert_frame_equal(a, before)

    b = pd.DataFrame({"y": [5.0, 6.0], "x": [7, 8]}, index=[12, 99])
    out = brevant.concat([a, None, b])
    assert out is a
    assert list(a.columns) == ["x", "y"]  # x overwritten in place, y appended
    assert a["y"].isna().tolist() == [True, True, False]
    assert a.loc[12, "y"] == 5.0
    assert a["x"].isna().tolist() == [True, True, False] and a.loc[12, "x"] == 7
    with pytest.raises(AttributeError):
        brevant.concat([a, 3])
    assert brevant.concat([3]) == 3


def test_feature2table(brevant):
    empty = brevant.feature2table([])
    assert list(empty.columns) == ["id", "latex"] and len(empty) == 0
    out = brevant.feature2table(["add###a|||b$$$", "age", "log###x_1$$$"])
    assert out["id"].tolist() == [1, 2, 3]
    assert out["id"].dtype == np.int64
    assert out["latex"].tolist() == ["a+b", None, "Log(x\\_1)"]

    for bad in (("add###a|||b$$$",), None, type("L", (list,), {})(["x"])):
        with pytest.raises(TypeError) as info:
            brevant.feature2table(bad)
        assert str(info.value) == (
            f"Argument 'names' has incorrect type (expected list, got {type(bad).__name__})")
    with pytest.raises(IndexError):
        brevant.feature2table(["ok", "add###a|||b$"])


def test_signatures(brevant):
    import inspect

    assert str(inspect.signature(brevant.left_merge)) == "(data1, data2, on)"
    assert str(inspect.signature(brevant.concat)) == "(L)"
    assert str(inspect.signature(brevant.feature2table)) == "(names)"
