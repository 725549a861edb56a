"""sigmoid on every column type: the per-value form's result, or its error."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
import pytest


def per_value(s: pd.Series) -> pd.Series:
    return s.apply(lambda v: 1 / (1 + np.exp(-v)))


COLUMNS = {
    "bool": [True, False, True],
    "int8": np.array([-3, 0, 5], dtype=np.int8),
    "uint64": np.array([0, 7, 2**63], dtype=np.uint64),
    "float32": np.array([-100.0, np.nan, 0.5], dtype=np.float32),
    "float64": [-1.5, np.nan, 40.0],
    "Int64": pd.array([1, None, -2], dtype="Int64"),
    "Float64": pd.array([0.5, None, -2.0], dtype="Float64"),
    "boolean": pd.array([True, None, False], dtype="boolean"),
    "object_text": ["a", "b", None],
    "object_number_texts": ["1.5", "2", "3"],
    "object_numbers": pd.Series([1, 2.5, np.nan], dtype=object),
    "object_none": pd.Series([1, None, 3], dtype=object),
    "object_na": pd.Series([1, pd.NA, 3], dtype=object),
    "bytes": [b"x", b"y", b"z"],
    "string": pd.array(["a", None, "c"], dtype="string"),
    "category_text": pd.Categorical(["a", "b", "a"]),
    "category_numbers": pd.Categorical([1.0, 2.0, 1.0]),
    "datetime": pd.to_datetime(["2024-01-01", None, "2024-03-01"]),
    "datetime_tz": pd.to_datetime(["2024-01-01", None, "2024-03-01"]).tz_localize("UTC"),
    "timedelta": pd.to_timedelta([1, 2, None], unit="D"),
    "empty_object": pd.Series([], dtype=object),
}


@pytest.mark.parametrize("kind", list(COLUMNS))
@pytest.mark.parametrize("index", [None, [5, 5, 1]], ids=["range", "repeated"])
def test_sigmoid_follows_the_per_value_form(brevant, kind, index):
    values = COLUMNS[kind]
    n = len(values)
    df = pd.DataFrame({"x": values, "k": np.arange(n)})
    if index is not None:
        df.index = index[:n]
    before = df.copy()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            want = per_value(df["x"].copy())
        except Exception as error:  # noqa: BLE001 - compared below
            with pytest.raises(type(error)) as got:
                brevant.sigmoid(df, "x")
            assert type(got.value) is type(error) and str(got.value) == str(error)
            pd.testing.assert_frame_equal(df, before)
            return
        brevant.sigmoid(df, "x")
    got = df["sigmoid###x$$$"]
    if want.dtype.kind == "f":
        assert got.dtype == np.float64
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(dtype="float64"), rtol=1e-15,
                                   equal_nan=True)
    else:
        pd.testing.assert_series_equal(got, want, check_names=False)


def test_sigmoid_of_text_is_a_type_error(brevant):
    df = pd.DataFrame({"s": ["x", "1.5"]})
    with pytest.raises(TypeError, match="bad operand type for unary -: 'str'"):
        brevant.sigmoid(df, "s")
    assert list(df.columns) == ["s"]
