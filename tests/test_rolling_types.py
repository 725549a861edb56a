"""Rolling-window operators on every column type: the result type, the values and the error of
the pandas expression each operator stands for."""

from __future__ import annotations

import contextlib
import warnings

import numpy as np
import pandas as pd
import pytest

from module.common import task_config

BASE = [1, 0, 2, 1, 3, 0, 2]
GROUPS = [1, 1, 2, 1, 2, 2, 1]


def column(kind: str, n: int) -> pd.Series:
    """n values of the given type, the third one missing where the type has a missing value."""
    base = BASE[:n]
    gap = [None if i == 2 else v for i, v in enumerate(base)]
    if kind == "bool":
        return pd.Series([bool(v % 2) for v in base], dtype=bool)
    if kind in ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"):
        return pd.Series(np.array(base, dtype=kind))
    if kind in ("float32", "float64"):
        return pd.Series(np.array([np.nan if v is None else v * 1.5 for v in gap], dtype=kind))
    if kind == "Int64":
        return pd.Series(pd.array(gap, dtype="Int64"))
    if kind == "Float64":
        return pd.Series(pd.array([None if v is None else v * 0.5 for v in gap], dtype="Float64"))
    if kind == "boolean":
        return pd.Series(pd.array([None if v is None else bool(v % 2) for v in gap],
                                  dtype="boolean"))
    if kind == "object_text":
        return pd.Series([None if v is None else f"t{v}" for v in gap], dtype=object)
    if kind == "object_numbers":
        return pd.Series(gap, dtype=object)
    if kind == "string":
        return pd.Series([None if v is None else f"t{v}" for v in gap], dtype="string")
    if kind == "category_text":
        return pd.Series(pd.Categorical([None if v is None else f"c{v}" for v in gap]))
    if kind == "category_numbers":
        return pd.Series(pd.Categorical(gap))
    if kind == "datetime":
        return pd.Series(pd.to_datetime(gap, unit="D"))
    if kind == "datetime_tz":
        return pd.Series(pd.to_datetime(gap, unit="D").tz_localize("Europe/Paris"))
    if kind == "timedelta":
        return pd.Series(pd.to_timedelta(gap, unit="h"))
    raise AssertionError(kind)


KINDS = ["bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
         "float32", "float64", "Int64", "Float64", "boolean", "object_text", "object_numbers",
         "string", "category_text", "category_numbers", "datetime", "datetime_tz", "timedelta"]


def table(kind: str, n: int, index=None) -> pd.DataFrame:
    df = pd.DataFrame({"x": column(kind, n), "f": np.linspace(-1.0, 2.0, n) ** 2,
                       "g": np.array(GROUPS[:n], dtype="int64")})
    if index is not None:
        df.index = index[:n]
    return df


@contextlib.contextmanager
def grouped_by(key):
    with task_config.active({"Feature": {"GroupIndex": key}}):
        yield


def outcome(f):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return f(), None
        except Exception as e:  # noqa: BLE001 - the error itself is what is compared
            return None, e


def same_series(got: pd.Series, want: pd.Series) -> None:
    pd.testing.assert_series_equal(got, want, check_names=False)
    if want.dtype == object:
        # assert_series_equal takes True for 1; the pandas form's objects keep their own types.
        assert [type(v) for v in got] == [type(v) for v in want]


def same_outcome(call, reference, name):
    """call() and the pandas reference() give the same column, or fail with the same error."""
    want, error = outcome(reference)
    if error is not None:
        with pytest.raises(type(error)) as got:
            call()
        assert type(got.value) is type(error)
        assert str(got.value) == str(error)
        return
    df = call()
    same_series(df[name], want)


# ---- lags and differences -----------------------------------------------------------------

UNGROUPED_LAG = {
    "delay": lambda s, w: s.shift(w),
    "delta": lambda s, w: s - s.shift(w),
    "ts_o": lambda s, w: s.shift(w),
}
GROUPED_LAG = {
    "delay": lambda gb, w: gb.shift(w).reset_index(0, drop=True),
    "delta": lambda gb, w: gb.diff(w),
    "ts_o": lambda gb, w: gb.apply(lambda s: s.shift(w)).reset_index(0, drop=True),
}


def lag_reference(df, op, w, grouped):
    ref = df.copy()
    if grouped:
        ref["r"] = GROUPED_LAG[op](df.groupby("g")["x"], w)
    else:
        ref["r"] = UNGROUPED_LAG[op](df["x"], w)
    return ref["r"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("op", ["delay", "delta", "ts_o"])
@pytest.mark.parametrize("grouped", [False, True], ids=["whole", "grouped"])
def test_lags_keep_the_pandas_type(brevant, kind, op, grouped):
    """Each type, windows 0, +-1, 2 and longer than the table, tables of 0, 1 and 7 rows."""
    for n in [0, 1, 7]:
        for d in ["0", "1", "-1", "2", "9"]:
            base = table(kind, n)
            df = base.copy()

            def call(df=df, d=d):
                with grouped_by("g" if grouped else None):
                    return getattr(brevant, op)(df, "x", d)

            same_outcome(call, lambda: lag_reference(base, op, int(d), grouped),
                         f"{op}###x|||{d}$$$")


@pytest.mark.parametrize("kind", ["bool", "int8", "int64", "uint16", "float32", "float64",
                                  "Int64", "boolean", "object_text", "datetime_tz"])
@pytest.mark.parametrize("op", ["delay", "delta", "ts_o"])
def test_grouped_lags_leave_rows_without_group_missing(brevant, kind, op):
    """A row with no group value gets a missing value in the type the pandas form has for a
    column holding one, lag 0 included; the other rows get the pandas values."""
    for d in ["0", "1", "3"]:
        base = table(kind, 7)
        base["g"] = pd.array([1, None, 2, 1, None, 2, 1], dtype="Int64")
        df = base.copy()
        with grouped_by("g"):
            got, error = outcome(lambda df=df, d=d: getattr(brevant, op)(df, "x", d))
        want, want_error = outcome(lambda d=d: lag_reference(base, op, int(d), True))
        if want_error is not None:
            assert type(error) is type(want_error) and str(error) == str(want_error)
            continue
        assert error is None, error
        got = got[f"{op}###x|||{d}$$$"]
        rows = base["g"].notna().to_numpy()
        assert got[~rows].isna().all()
        # The pandas form copies those rows at lag 0; elsewhere its values and type are ours.
        want = want.where(rows)
        same_series(got, want)


def test_lag_examples(brevant):
    df = pd.DataFrame({"b": [True, False, True], "i": np.array([5, 6, 8], dtype="int64"),
                       "s": np.array([1, 2, 4], dtype="int8"), "g": [1, 1, 1]})
    brevant.delay(df, "b", "1")
    assert df["delay###b|||1$$$"].dtype == object
    assert df["delay###b|||1$$$"].tolist()[1:] == [True, False]
    brevant.delta(df, "b", "1")
    assert df["delta###b|||1$$$"].tolist()[1:] == [-1, 1]
    brevant.delay(df, "i", "0")
    assert df["delay###i|||0$$$"].dtype == np.int64
    assert df["delay###i|||0$$$"].tolist() == [5, 6, 8]
    with task_config.active({"Feature": {"GroupIndex": "g"}}):
        brevant.delta(df, "s", "1")
    assert df["delta###s|||1$$$"].dtype == np.float32
    with pytest.raises(TypeError, match="numpy boolean subtract"):
        brevant.delta(df, "b", "0")


# ---- window statistics --------------------------------------------------------------------


def decay(w):
    weights = np.linspace(0.1, 1, w)
    return lambda x: (x * weights).sum()


UNGROUPED_WINDOW = {
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


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("op", list(UNGROUPED_WINDOW))
@pytest.mark.parametrize("grouped", [False, True], ids=["whole", "grouped"])
def test_window_statistics_on_every_type(brevant, kind, op, grouped):
    """Times refuse (DataError, never nanosecond integers), columns of numbers compute as
    float64, texts refuse."""
    for d in ["1", "2"]:
        base = table(kind, 7)
        df = base.copy()

        def reference(d=d):
            ref = base.copy()
            w = int(d)
            if grouped:
                ref["r"] = UNGROUPED_WINDOW[op](base.groupby("g")["x"], w).reset_index(0, drop=True)
            else:
                ref["r"] = UNGROUPED_WINDOW[op](base["x"], w)
            return ref["r"]

        def call(df=df, d=d):
            with grouped_by("g" if grouped else None):
                return getattr(brevant, op)(df, "x", d)

        same_outcome(call, reference, f"{op}###x|||{d}$$$")


@pytest.mark.parametrize("kind", ["datetime", "datetime_tz", "timedelta"])
def test_times_never_compute_on_nanoseconds(brevant, kind):
    df = table(kind, 7)
    for op in UNGROUPED_WINDOW:
        with pytest.raises(pd.errors.DataError, match="No numeric types to aggregate"):
            getattr(brevant, op)(df, "x", "2")
    assert list(df.columns) == ["x", "f", "g"]


# ---- tcorrelation / tcorvariance ----------------------------------------------------------


def pair_reference(df, op, a, b, w, grouped):
    """The pandas form; grouped, the same statistic on each group's rows alone (the grouped
    pandas form pairs every group with every row, but raises exactly as this does)."""
    method = "corr" if op == "tcorrelation" else "cov"
    if not grouped:
        return getattr(df[a].rolling(w), method)(df[b])
    getattr(df.groupby("g")[a].rolling(w), method)(df[b])  # raises where the pandas form does
    out = pd.Series(np.nan, index=df.index)
    for positions in df.groupby("g").indices.values():
        part = df.iloc[positions]
        out.iloc[positions] = getattr(part[a].rolling(w), method)(part[b]).to_numpy()
    return out


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("op", ["tcorrelation", "tcorvariance"])
@pytest.mark.parametrize("grouped", [False, True], ids=["whole", "grouped"])
def test_pair_statistics_on_every_type(brevant, kind, op, grouped):
    """Each type as first and second column against float64 and against itself."""
    base = table(kind, 7)
    base["y"] = column(kind, 7)
    for a, b in [("x", "f"), ("f", "x"), ("x", "y")]:
        df = base.copy()

        def call(df=df, a=a, b=b):
            with grouped_by("g" if grouped else None):
                return getattr(brevant, op)(df, a, b, "3")

        want, error = outcome(lambda a=a, b=b: pair_reference(base, op, a, b, 3, grouped))
        if error is not None:
            with pytest.raises(type(error)) as got:
                call()
            assert type(got.value) is type(error) and str(got.value) == str(error)
            assert list(df.columns) == list(base.columns)
            continue
        got = call()[f"{op}###{a}|||{b}|||3$$$"]
        assert got.dtype == np.float64
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(dtype="float64"), rtol=1e-9,
                                   equal_nan=True)


@pytest.mark.parametrize("kind", ["category_text", "category_numbers"])
def test_categories_refused_by_pair_statistics(brevant, kind):
    df = table(kind, 7)
    for op in ["tcorrelation", "tcorvariance"]:
        with pytest.raises(TypeError):
            getattr(brevant, op)(df, "x", "f", "3")
        with pytest.raises(TypeError):
            getattr(brevant, op)(df, "f", "x", "3")


@pytest.mark.parametrize("kind", ["bool", "int8", "float32", "Int64", "object_text", "datetime"])
@pytest.mark.parametrize("op", ["delay", "delta", "ts_o"])
@pytest.mark.parametrize("d", ["0", "1"])
def test_lags_follow_row_position_not_labels(brevant, kind, op, d):
    """Repeated, unordered row labels: each row gets what it gets under a RangeIndex."""
    plain = table(kind, 7)
    odd = table(kind, 7, index=[3, 3, 0, 9, 3, 1, 0])
    for group in [None, "g"]:
        with grouped_by(group):
            a, error = outcome(lambda: getattr(brevant, op)(plain.copy(), "x", d))
            b, odd_error = outcome(lambda: getattr(brevant, op)(odd.copy(), "x", d))
        assert type(error) is type(odd_error)
        if error is not None:
            continue
        name = f"{op}###x|||{d}$$$"
        assert b.index.equals(odd.index)
        same_series(b[name].reset_index(drop=True), a[name])
