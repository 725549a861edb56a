"""predict / predict_proba on real result folders, against the preprocessing done by hand."""

from __future__ import annotations

import glob

import numpy as np
import pandas as pd
import pytest
from hand_preprocess import predict_by_hand

from orvalis import marqolin

FOLDERS = ["penguins", "breast_cancer", "grunfeld", "penguins_plain"]


def assert_same(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.shape == want.shape
    if got.dtype.kind == "f":
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12)
    else:
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("name", FOLDERS)
def test_file_predictions_equal_the_model_on_rows_processed_by_hand(sample_folders, name):
    folder = sample_folders[name]
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    got = m.predict(folder.holdout)
    assert isinstance(got, np.ndarray) and got.shape == (len(raw),)
    assert_same(got, predict_by_hand(folder.path, raw))
    if m.task == "classification":
        proba = m.predict_proba(folder.holdout)
        assert proba.shape == (len(raw), len(np.unique(pd.read_csv(folder.train)[folder.target])))
        assert_same(proba, predict_by_hand(folder.path, raw, "predict_proba"))


@pytest.mark.parametrize("name", ["penguins", "grunfeld"])
def test_folder_of_csv_files_is_read_in_glob_order(sample_folders, tmp_path, name):
    folder = sample_folders[name]
    raw = pd.read_csv(folder.holdout)
    parts = tmp_path / "parts"
    parts.mkdir()
    half = len(raw) // 2
    raw.iloc[:half].to_csv(parts / "a.csv", index=False)
    raw.iloc[half:].to_csv(parts / "b.csv", index=False)
    in_order = pd.concat([pd.read_csv(p) for p in glob.glob(str(parts) + "/*")])
    assert in_order.index.has_duplicates  # each file keeps its own row labels
    got = marqolin(folder.path).predict(str(parts))
    assert_same(got, predict_by_hand(folder.path, in_order))


@pytest.mark.parametrize("name", FOLDERS)
def test_raw_frame_with_and_without_label(sample_folders, name):
    folder = sample_folders[name]
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    want = predict_by_hand(folder.path, raw)
    with_label = raw.copy()
    assert_same(m.predict(with_label), want)
    assert "species" not in with_label.columns or with_label["species"].dtype == object
    without = raw.drop(columns=[folder.target])
    assert_same(m.predict(without), want)


@pytest.mark.parametrize("name", ["penguins", "breast_cancer", "penguins_plain"])
def test_processed_frame_is_used_unchanged(sample_folders, name):
    folder = sample_folders[name]
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    processed = m.preprocess(raw.copy())
    assert len(processed.columns) == len(m.model.feature_names_in_)
    before = processed.copy()
    assert_same(m.predict(processed), predict_by_hand(folder.path, raw))
    pd.testing.assert_frame_equal(processed, before)
    # with the label column it has one column too many and is processed again, which fails
    # loudly or differs, never silently reuses the frame
    with_label = m.preprocess(raw.copy(), return_y=True)
    assert len(with_label.columns) == len(m.model.feature_names_in_) + 1


@pytest.mark.parametrize("name", ["penguins", "breast_cancer"])
def test_numpy_arrays_take_the_raw_feature_columns(sample_folders, name):
    folder = sample_folders[name]
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    features = raw.drop(columns=[folder.target])
    got = m.predict(features.to_numpy(dtype=object))
    assert_same(got, predict_by_hand(folder.path, raw))
    with pytest.raises(
        ValueError, match=f"列数为 {features.shape[1] - 1}.*原始特征有 {features.shape[1]} 列"
    ):
        m.predict(features.iloc[:, 1:].to_numpy(dtype=object))
    with pytest.raises(ValueError, match=str(features.shape[1])):
        m.predict_proba(np.zeros(5))


@pytest.mark.parametrize("bad", [[1, 2], {"a": 1}, 3.5, None, pd.Series([1.0])], ids=repr)
def test_unsupported_input_types(sample_folders, bad):
    m = marqolin(sample_folders["penguins_plain"].path)
    with pytest.raises(TypeError, match="str.*pd.DataFrame.*np.ndarray"):
        m.predict(bad)
    with pytest.raises(TypeError, match="predict_proba"):
        m.predict_proba(bad)


def test_argument_count(sample_folders):
    m = marqolin(sample_folders["penguins_plain"].path)
    with pytest.raises(TypeError, match="predict"):
        m.predict()
    with pytest.raises(TypeError, match="predict_proba"):
        m.predict_proba("a.csv", "b.csv")


def test_npz_and_xlsx_files_predict(sample_folders, tmp_path):
    folder = sample_folders["breast_cancer"]
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    want = predict_by_hand(folder.path, raw)
    raw.to_excel(tmp_path / "rows.xlsx", index=False)
    assert_same(m.predict(str(tmp_path / "rows.xlsx")), want)
    np.savez(tmp_path / "rows.npz", **{c: raw[c].to_numpy() for c in raw.columns})
    assert_same(m.predict(str(tmp_path / "rows.npz")), want)


def test_repeated_predictions_keep_the_loaded_encoders_unchanged(sample_folders):
    folder = sample_folders["penguins"]
    m = marqolin(folder.path)
    sizes = {k: len(v.classes_) for k, v in m.lec_record_dt.items() if hasattr(v, "classes_")}
    assert all(list(m.lec_record_dt[k].classes_)[-1] == "OOV" for k in sizes)
    rows = pd.read_csv(folder.holdout)
    rows.loc[0, "island"] = "Atlantis"  # unseen: the out-of-vocabulary code every time
    first = m.predict_proba(rows.copy())
    for _ in range(3):
        assert_same(m.predict_proba(rows.copy()), first)
    assert {k: len(m.lec_record_dt[k].classes_) for k in sizes} == sizes
