"""The model search's input transformation computed natively, against FLAML's own transform of
the same frames: random frames of every column kind, every fitted state FLAML pickles, and the
states and frames that are left to FLAML itself."""

from __future__ import annotations

import copy
import warnings

import numpy as np
import pandas as pd
import pytest
from flaml.automl import AutoML
from flaml.automl.data import DataTransformer
from flaml.automl.task.factory import task_factory

import orvalis.orvalis as api

SHOPS = np.array(["north", "south", "east", "west", "ñandú", "中央"], dtype=object)


def random_frame(rng, n: int, index=None) -> pd.DataFrame:
    """Numeric columns of every dtype (NaN runs, a constant one), text and integer categories
    (missing values, values never seen in training), a mixed one, and dates with gaps."""
    price = rng.normal(50, 10, n)
    price[rng.random(n) < 0.2] = np.nan
    if n > 8:
        price[2:6] = np.nan
    shop = SHOPS[rng.integers(0, len(SHOPS), n)].copy()
    shop[rng.random(n) < 0.15] = None
    shop[rng.random(n) < 0.05] = np.nan
    code = rng.integers(0, 7, n).astype(object)
    mixed = np.where(rng.random(n) < 0.5, rng.integers(0, 3, n).astype(object), "x").astype(object)
    when = pd.Timestamp("1999-12-28") + pd.to_timedelta(rng.integers(-800, 900, n), unit="h")
    when = pd.Series(when).where(rng.random(n) > 0.1)
    frame = pd.DataFrame(
        {
            "price": price,
            "qty": rng.integers(-5, 9, n),
            "small": rng.integers(0, 200, n).astype(np.uint8),
            "flag": rng.random(n) < 0.4,
            "const": np.full(n, 2.5),
            "shop": shop,
            "code": code,
            "mixed": mixed,
            "when": when.to_numpy(),
        }
    )
    if index is not None:
        frame.index = index
    return frame


def fitted(seed: int = 0, n: int = 400):
    """A search object holding FLAML's own transformer, fitted on a random training frame."""
    rng = np.random.default_rng(seed)
    train = random_frame(rng, n)
    train.loc[train.index[:3], "shop"] = ["north", "south", "east"]
    y = pd.Series(rng.integers(0, 2, n))
    transformer = DataTransformer()
    task = task_factory("classification", train, y)
    transformer.fit_transform(train, y, task)
    model = AutoML()
    model._state.task = task
    model._transformer = transformer
    model._label_transformer = transformer.label_transformer
    model._trained_estimator = object()  # the transformation does not reach it
    return model


@pytest.fixture(scope="module")
def model():
    m = fitted()
    t = m._transformer
    assert t._cat_columns == ["shop", "code", "mixed"]
    assert t._datetime_columns == ["when"] and "const" not in t._num_columns
    assert t._ordinal_encoder is not None
    return m


def flaml_transform(model, frame):
    return model._state.task.preprocess(frame.copy(), model._transformer)


def native_transform(model, frame, monkeypatch, native=True):
    """orvalis' transformation of `frame`; asserts whether FLAML's own transform ran."""
    calls = []
    original = DataTransformer.transform

    def counted(self, X):
        calls.append(1)
        return original(self, X)

    with monkeypatch.context() as patch:
        patch.setattr(DataTransformer, "transform", counted)
        got = api._model_input(model, frame)
    assert (not calls) == native, "native path" if native else "FLAML's own transform"
    return got


def assert_same(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=True, check_categorical=True)
    for col in want.columns:
        if isinstance(want[col].dtype, pd.CategoricalDtype):
            assert got[col].cat.categories.dtype == want[col].cat.categories.dtype
            np.testing.assert_array_equal(got[col].cat.codes, want[col].cat.codes)


def frames(seed: int):
    rng = np.random.default_rng(100 + seed)
    n = [1, 2, 37, 500][seed % 4]
    index = [None, pd.RangeIndex(10, 10 + 2 * n, 2), pd.Index(rng.integers(0, 3, n))][seed % 3]
    frame = random_frame(rng, n, index)
    if seed % 2:
        # codes as the inference side hands them over: a column of int64 codes
        frame["code"] = rng.integers(0, 9, n)
        frame["shop"] = frame["shop"].astype(object)
    if seed % 5 == 1:
        frame["price"] = np.nan  # all missing
        frame["qty"] = 3  # constant
    if seed % 6 == 2:
        frame["mixed"] = frame["mixed"].map(lambda v: float(v) if isinstance(v, int) else v)
    if seed % 3 == 2:
        # a categorical column, as a frame that was transformed once holds it
        frame["shop"] = frame["shop"].astype("category")
    if seed % 4 == 3:
        frame = frame[frame.columns[::-1]]
        frame["extra"] = "dropped"
    return frame


@pytest.mark.parametrize("seed", range(12))
def test_random_frames_equal_flamls_transform(model, seed, monkeypatch):
    frame = frames(seed)
    before = frame.copy()
    with warnings.catch_warnings(record=True) as flaml_said:
        warnings.simplefilter("always")
        want = flaml_transform(model, frame)
    with warnings.catch_warnings(record=True) as we_said:
        warnings.simplefilter("always")
        got = native_transform(model, frame, monkeypatch)
    assert_same(got, want)
    pd.testing.assert_frame_equal(frame, before)  # the caller's frame is not written to
    # the same notes on values unseen in training, column by column (pandas' own deprecation
    # notes on what FLAML calls are no part of them)
    notes = [str(w.message) for w in flaml_said if w.category is UserWarning]
    assert [str(w.message) for w in we_said] == notes
    assert all(w.category is UserWarning for w in we_said)


def test_states_of_older_pickles(monkeypatch):
    frame = frames(3)
    # categories recorded per column, as FLAML 2.7 pickles them
    m = fitted(1)
    t = m._transformer
    t._cat_categories = {
        col: list(cats) + ([] if "__NAN__" in list(cats) else ["__NAN__"])
        for col, cats in zip(t._cat_columns, t._ordinal_encoder.categories_)
    }
    t._ordinal_encoder = None
    assert_same(native_transform(m, frame, monkeypatch), flaml_transform(m, frame))
    # and without any: each batch's own categories, left to FLAML
    t._cat_categories = None
    assert_same(native_transform(m, frame, monkeypatch, native=False), flaml_transform(m, frame))


def test_numeric_only_and_renamed_numeric_columns(monkeypatch):
    rng = np.random.default_rng(5)
    y = pd.Series(rng.normal(size=300))
    # integer labels that are not 0 ... n-1: FLAML renumbers them for its imputer
    cases = ((["price", "qty", "flag", "when"], None), (["price", "qty", "flag"], [0, 2, 3]))
    for names, columns in cases:
        train = random_frame(rng, 300)[names]
        data = train if columns is None else train.set_axis(columns, axis=1)
        transformer = DataTransformer()
        task = task_factory("regression", data, y)
        transformer.fit_transform(data, y, task)
        m = AutoML()
        m._state.task, m._transformer, m._label_transformer = task, transformer, None
        m._trained_estimator = object()
        frame = random_frame(rng, 50)[names]
        if columns is not None:
            frame.columns = columns
        assert_same(native_transform(m, frame, monkeypatch), flaml_transform(m, frame))


def test_a_first_passs_day_numbers_stay(model, monkeypatch):
    frame = frames(2)
    once = flaml_transform(model, frame)
    with pytest.raises(AttributeError, match=".dt accessor"):
        flaml_transform(model, once)
    assert_same(native_transform(model, once, monkeypatch), once)


@pytest.mark.parametrize(
    "change",
    [
        "float32",
        "infinity",
        "text dates",
        "string column",
        "odd objects",
        "missing column",
        "empty",
    ],
)
def test_frames_left_to_flaml(model, change, monkeypatch):
    frame = frames(3)
    if change == "float32":
        frame["price"] = frame["price"].astype(np.float32)
    elif change == "infinity":
        frame.loc[frame.index[1], "price"] = np.inf
    elif change == "text dates":
        frame["when"] = frame["when"].astype(str)
    elif change == "string column":
        frame["shop"] = frame["shop"].astype("string")
    elif change == "odd objects":
        frame["mixed"] = [(1, 2)] * len(frame)
    elif change == "missing column":
        frame = frame.drop(columns=["qty"])
    elif change == "empty":
        frame = frame.iloc[:0]
    try:
        want = flaml_transform(model, frame)
    except Exception as e:  # FLAML refuses it: so does the transformation, with the same error
        with pytest.raises(type(e), match=None):
            native_transform(model, frame, monkeypatch, native=False)
        return
    assert_same(native_transform(model, frame, monkeypatch, native=False), want)


@pytest.mark.parametrize("change", ["subclass", "scaler", "median of nothing", "pandas output"])
def test_states_left_to_flaml(change, monkeypatch):
    from sklearn.preprocessing import StandardScaler

    m = fitted(2)
    t = m._transformer
    if change == "subclass":
        m._transformer = type("Transformer", (DataTransformer,), {})()
        m._transformer.__dict__.update(copy.copy(t.__dict__))
    elif change == "scaler":
        ct = t.transformer
        columns = ct.transformers_[0][2]
        scaler = StandardScaler().fit(np.ones((2, len(columns))))
        ct.transformers_[0] = ("continuous", scaler, columns)
    elif change == "median of nothing":
        t.transformer.transformers_[0][1].statistics_[1] = np.nan
    elif change == "pandas output":
        t.transformer.set_output(transform="pandas")
    frame = frames(1)
    try:
        want = flaml_transform(m, frame)
    except Exception as e:
        with pytest.raises(type(e)):
            native_transform(m, frame, monkeypatch, native=False)
        return
    got = native_transform(m, frame, monkeypatch, native=False)
    pd.testing.assert_frame_equal(got, want, check_exact=True)


def test_a_changed_state_is_planned_again(monkeypatch):
    m = fitted(3)
    frame = frames(0)
    assert_same(native_transform(m, frame, monkeypatch), flaml_transform(m, frame))
    m._transformer._ordinal_encoder = None  # no recorded categories left: FLAML's own
    assert_same(native_transform(m, frame, monkeypatch, native=False), flaml_transform(m, frame))


@pytest.mark.parametrize(
    "frame",
    [None, 3, np.zeros((3, 3)), pd.DataFrame(), pd.DataFrame({"shop": ["a"]}), [[1, 2]]],
    ids=["None", "int", "array", "empty", "one column", "list"],
)
def test_odd_inputs_raise_or_pass_as_flaml_does(model, frame):
    try:
        want = model._state.task.preprocess(copy.copy(frame), model._transformer)
    except Exception as e:
        with pytest.raises(type(e)):
            api._model_input(model, frame)
    else:
        got = api._model_input(model, frame)
        assert type(got) is type(want)
    with pytest.raises(AttributeError):
        api._model_input(None, pd.DataFrame({"a": [1]}))
