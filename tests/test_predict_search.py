"""predict / predict_proba of folders whose model is a FLAML search, one estimator family at a
time: the search's input transformation runs once, the trained estimator is called directly,
and the answer equals the search object's own predict on the preprocessed frame."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from conftest import FAMILIES, TASK_KINDS

from orvalis import marqolin

KINDS = [k for k in TASK_KINDS if k != "dates"]


def assert_identical(got, want):
    want = np.array(want)
    assert isinstance(got, np.ndarray)
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("family", FAMILIES)
def test_predictions_equal_the_search_objects_own(family_folder, family, kind):
    folder = family_folder(family, kind)
    m = marqolin(folder.path)
    assert m.model.best_estimator == family
    raw = pd.read_csv(folder.holdout)
    contract = m.preprocess(raw.copy())
    want = m.model.predict(contract)

    assert_identical(m.predict(folder.holdout), want)
    assert_identical(m.predict(raw.copy()), want)
    # the frame preprocess returned goes to the model without a second transformation
    assert_identical(m.predict(contract), want)
    if kind.endswith("_text"):
        assert want.dtype == object and set(want) <= set(raw[folder.target])
    if m.task == "classification":
        proba = m.model.predict_proba(contract)
        assert_identical(m.predict_proba(folder.holdout), proba)
        assert_identical(m.predict_proba(contract), proba)
        assert proba.shape == (len(raw), raw[folder.target].nunique())


def test_one_row_and_rows_with_a_repeated_index(family_folder):
    folder = family_folder("lgbm", "multiclass_text")
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    for rows in (raw.iloc[[3]], pd.concat([raw.iloc[:5], raw.iloc[:5]])):
        want = m.model.predict(m.preprocess(rows.copy()))
        assert_identical(m.predict(rows.copy()), want)


@pytest.mark.parametrize("family", ["lgbm", "xgboost"])
def test_a_search_that_saw_a_datetime_column_predicts(family_folder, family):
    folder = family_folder(family, "dates")
    m = marqolin(folder.path)
    assert m.model._transformer._datetime_columns == [m.time_index]
    raw = pd.read_csv(folder.holdout)
    raw.loc[[2, 5], m.time_index] = np.nan  # missing dates take the training median
    # the search object's own predict runs its transformation once, on the processed rows
    processed = m._process_data(raw.copy()).drop(columns=[m.target_name])
    want = m.model.predict(processed)
    assert np.isfinite(want).all()
    # its predict of preprocess's frame transforms a second time and fails on the day numbers
    transformed = m.preprocess(raw.copy())
    with pytest.raises(AttributeError, match=".dt accessor"):
        m.model.predict(transformed)

    assert_identical(m.predict(raw.copy()), want)
    assert_identical(m.predict(transformed), want)


def test_the_transformation_runs_once_per_prediction(family_folder, monkeypatch):
    from flaml.automl.data import DataTransformer

    folder = family_folder("rf", "binary")
    m = marqolin(folder.path)
    calls = []
    original = DataTransformer.transform

    def counted(self, X):
        calls.append(len(X))
        return original(self, X)

    monkeypatch.setattr(DataTransformer, "transform", counted)
    m.predict(folder.holdout)
    m.predict_proba(pd.read_csv(folder.holdout))
    assert len(calls) <= 2


def test_models_of_another_shape_are_called_through_their_own_predict(family_folder):
    folder = family_folder("lgbm", "binary")
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    seen = []
    own = type(m.model).predict

    def spy(X):
        seen.append(X.shape)
        return own(m.model, X)

    m.model.predict = spy  # an instance that does not predict as its class does
    want = own(m.model, m.preprocess(raw.copy()))
    assert_identical(m.predict(raw.copy()), want)
    assert seen and seen[-1][0] == len(raw)

    # a search without a trained estimator answers as its own predict does: nothing
    del m.model.predict
    m.model._trained_estimator = None
    assert m.predict(folder.holdout).tolist() is None
