"""get_train_validation_data and the three split methods."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from sklearn.model_selection import train_test_split

from orvalis import marqolin

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


def test_first_call_needs_a_path(sample_folders):
    m = marqolin(sample_folders["penguins"].path)
    with pytest.raises(
        AssertionError, match="请输入数据集路径，或者先调用load_training_data函数。"
    ):
        m.get_train_validation_data()


def test_search_branch_reads_the_model_and_the_saved_validation_rows(sample_folders):
    folder = sample_folders["penguins"]
    m = marqolin(folder.path)
    X_train, X_val, y_train, y_val = m.get_train_validation_data(folder.train)
    state = m.model._state
    full = m.model.data_size_full <= state.data_size[0]
    pd.testing.assert_frame_equal(
        X_train, pd.DataFrame(state.X_train if full else state.X_train_all)
    )
    assert y_train.tolist() == list(state.y_train if full else state.y_train_all)
    assert y_train.name == "species" and y_train.dtype == int and y_val.dtype == int
    val = pd.read_csv(os.path.join(folder.path, "automl", "val_res"))
    assert len(X_val) == len(val) and "ypred" not in X_val.columns
    assert y_val.tolist() == list(m.lec_record_dt["species"].transform(val["species"].astype(str)))
    pd.testing.assert_frame_equal(X_val, m.preprocess(val.drop(columns=["species", "ypred"])))
    # the raw training rows stay raw on the object, so a second call sees the same data
    assert m.training_data["island"].dtype == object and isinstance(
        m.training_data["island"].iloc[0], str
    )
    again = m.get_train_validation_data()
    for a, b in zip(again, (X_train, X_val, y_train, y_val)):
        assert a.shape == b.shape and np.array_equal(
            np.asarray(a, dtype=object), np.asarray(b, dtype=object)
        )


@pytest.mark.parametrize("larger", [False, True])
def test_search_branch_chooses_all_rows_when_the_full_set_is_larger(sample_folders, larger):
    m = marqolin(sample_folders["breast_cancer"].path)
    state = m.model._state
    m.model.data_size_full = state.data_size[0] + (1 if larger else 0)
    X_train, _, y_train, _ = m.get_train_validation_data(sample_folders["breast_cancer"].train)
    want = state.X_train_all if larger else state.X_train
    assert X_train.shape == pd.DataFrame(want).shape
    assert y_train.tolist() == list(state.y_train_all if larger else state.y_train)


def test_regression_labels_keep_their_values(sample_folders):
    folder = sample_folders["grunfeld"]
    m = marqolin(folder.path)
    _, X_val, y_train, y_val = m.get_train_validation_data(folder.train)
    assert y_train.dtype == float and y_val.dtype == float
    val = pd.read_csv(os.path.join(folder.path, "automl", "val_res"))
    np.testing.assert_allclose(y_val.to_numpy(), val["invest"].to_numpy())


def test_plain_branch_splits_the_processed_table(sample_folders):
    folder = sample_folders["penguins_plain"]
    m = marqolin(folder.path)
    X_train, X_val, y_train, y_val = m.get_train_validation_data(folder.train)
    df = m.preprocess(pd.read_csv(folder.train), return_y=True)
    X, y = df.drop(columns=["species"]), df["species"]
    want = train_test_split(X, y, test_size=m.test_size, random_state=m.seed, stratify=y)
    pd.testing.assert_frame_equal(X_train, want[0])
    pd.testing.assert_frame_equal(X_val, want[1])
    assert y_train.tolist() == want[2].tolist() and y_train.name == "species"
    assert y_val.index.tolist() == want[3].index.tolist()


class TestSplit:
    @pytest.fixture
    def m(self, sample_folders):
        return marqolin(sample_folders["penguins_plain"].path)

    def test_time_split_keeps_the_row_order(self, m):
        X = pd.DataFrame({"a": range(10)}, index=list("jihgfedcba"))
        y = pd.Series(range(10), index=X.index)
        X_train, X_val, y_train, y_val = m._split_train_test(X, y, "time")
        assert X_train.index.tolist() == list("jihgfed") and X_val.index.tolist() == list("cba")
        assert y_train.tolist() == list(range(7)) and y_val.tolist() == [7, 8, 9]

    def test_stratified_classification_and_regression(self, m):
        rng = np.random.default_rng(3)
        X = pd.DataFrame({"a": rng.normal(size=40)})
        y = pd.Series([0] * 30 + [1] * 10)
        _, _, y_train, y_val = m._split_train_test(X, y, "stratified")
        assert (y_val == 1).sum() == 3 and (y_train == 1).sum() == 7
        m.task = "regression"
        target = pd.Series(rng.normal(size=40))
        _, _, t_train, t_val = m._split_train_test(X, target, "stratified")
        median = target.median()
        assert (t_val < median).sum() == 5 and (t_val > median).sum() == 5
        strata = pd.qcut(target.rank(method="first"), q=2, labels=False)
        want = train_test_split(
            X, target, test_size=m.test_size, random_state=m.seed, stratify=strata
        )
        assert t_val.index.tolist() == want[3].index.tolist()

    @pytest.mark.parametrize("kind", ["random", "anything"])
    def test_other_values_split_at_random(self, m, kind):
        X = pd.DataFrame({"a": range(20)})
        y = pd.Series([0, 1] * 10)
        got = m._split_train_test(X, y, kind)
        want = train_test_split(X, y, test_size=m.test_size, random_state=m.seed)
        assert [g.index.tolist() for g in got] == [w.index.tolist() for w in want]

    def test_split_type_must_be_text(self, m):
        with pytest.raises(TypeError, match="split_type"):
            m._split_train_test(pd.DataFrame({"a": [1]}), pd.Series([1]), 1)


class TestValidationData:
    def test_needs_training_data_and_the_saved_file(self, sample_folders, tmp_path):
        dst = tmp_path / "copy"
        shutil.copytree(sample_folders["penguins"].path, dst)
        m = marqolin(str(dst))
        with pytest.raises(AssertionError, match="请先使用load_training_data上传训练时的数据"):
            m._validation_data()
        m.training_data = pd.read_csv(sample_folders["penguins"].train)
        os.remove(dst / "automl" / "val_res")
        with pytest.raises(AssertionError, match="请保证result内的文件保持不变。"):
            m._validation_data()

    def test_file_without_predictions_column(self, sample_folders, tmp_path):
        dst = tmp_path / "copy"
        shutil.copytree(sample_folders["breast_cancer"].path, dst)
        val = pd.read_csv(dst / "automl" / "val_res")
        val.drop(columns=["ypred"]).to_csv(dst / "automl" / "val_res", index=False)
        m = marqolin(str(dst))
        m.training_data = pd.read_csv(sample_folders["breast_cancer"].train)
        X_val, y_val = m._validation_data()
        assert len(X_val) == len(val) and y_val.tolist() == val["target"].tolist()


def test_inconsistent_training_data_ends_the_process(sample_folders, tmp_path):
    folder = sample_folders["penguins"]
    bad = pd.read_csv(folder.train).drop(columns=["body_mass_g"])  # an engineered feature's source
    bad.to_csv(tmp_path / "bad.csv", index=False)
    code = (
        "import sys; from orvalis import marqolin; "
        "marqolin(sys.argv[1]).get_train_validation_data(sys.argv[2])"
    )
    run = subprocess.run(
        [sys.executable, "-c", code, folder.path, str(tmp_path / "bad.csv")],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": SRC},
    )
    assert run.returncode == 255
    assert run.stdout.startswith("请确保数据和上传到orvalis平台的数据一致。\n")
    assert "body_mass_g" in run.stdout


def test_a_frame_as_path_is_refused(sample_folders):
    m = marqolin(sample_folders["penguins_plain"].path)
    with pytest.raises(TypeError, match="input_file_path"):
        m.get_train_validation_data(pd.DataFrame({"a": [1]}))
