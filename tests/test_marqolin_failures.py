"""Clear failures: damaged result folders name the file, feature errors name the feature, bad
configuration values are refused, and every exception keeps its own type and arguments."""

from __future__ import annotations

import os
import pickle
import shutil
import traceback

import pandas as pd
import pytest
import yaml

from orvalis import marqolin


def copy_of(folder, tmp_path, name="copy"):
    dst = tmp_path / name
    shutil.copytree(folder.path, dst)
    return str(dst)


def notes(error) -> str:
    return "\n".join(getattr(error, "__notes__", []))


def truncate(path):
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[: len(data) // 2])


def write(path, data: bytes):
    with open(path, "wb") as f:
        f.write(data)


DAMAGE = {
    # file, damage, expected exception type, text of the exception itself
    "truncated record": (
        "autofe/labelencoder.pkl",
        truncate,
        (pickle.UnpicklingError, EOFError),
        None,
    ),
    "record holding a list": (
        "autofe/labelencoder.pkl",
        lambda p: write(p, pickle.dumps([1, 2, 3])),
        TypeError,
        "list",
    ),
    "truncated model": ("automl/result", truncate, (pickle.UnpicklingError, EOFError), None),
    "empty config": (
        "config.yaml",
        lambda p: write(p, b""),
        TypeError,
        "'NoneType' object is not subscriptable",
    ),
    "config without TargetName": (
        "config.yaml",
        lambda p: write(p, yaml.safe_dump({"Feature": {"TaskType": "x"}}).encode()),
        KeyError,
        "TargetName",
    ),
    "feature list not JSON": ("autofe/result", lambda p: write(p, b"{not json"), ValueError, None),
    "feature list without its key": (
        "autofe/result",
        lambda p: write(p, b'{"features": []}'),
        KeyError,
        "combination_features",
    ),
}


@pytest.mark.parametrize("case", list(DAMAGE), ids=list(DAMAGE))
def test_a_damaged_folder_names_the_file_at_construction(sample_folders, tmp_path, case):
    relative, damage, kind, text = DAMAGE[case]
    path = copy_of(sample_folders["penguins"], tmp_path)
    target = os.path.join(path, *relative.split("/"))
    damage(target)
    with pytest.raises(kind) as info:
        marqolin(path)
    if text is not None:
        assert text in str(info.value)
    where = str(info.value) + notes(info.value)
    assert target in where, where
    assert "应为" in where  # says what the file should hold
    # the notes show in the traceback
    shown = "".join(traceback.format_exception(info.value))
    assert target in shown


def test_a_record_that_is_not_a_dict_never_reaches_predict(sample_folders, tmp_path):
    path = copy_of(sample_folders["penguins"], tmp_path)
    write(os.path.join(path, "autofe", "labelencoder.pkl"), pickle.dumps(["island", "sex"]))
    with pytest.raises(TypeError, match="dict"):
        marqolin(path)


@pytest.mark.parametrize("name", ["penguins", "grunfeld"])
def test_a_missing_column_names_the_feature_being_built_and_the_folder(sample_folders, name):
    folder = sample_folders[name]
    m = marqolin(folder.path)
    raw = pd.read_csv(folder.holdout)
    feature = m.adv_features[1]
    column = {"penguins": "bill_depth_mm", "grunfeld": "capital"}[name]
    assert column in feature
    # (predict refuses such a table before building anything: see test_input_checks.py)
    with pytest.raises(KeyError) as info:
        m._process_data(raw.drop(columns=[column]))
    assert info.value.args == (column,)  # the exception itself is unchanged
    text = notes(info.value)
    assert repr(feature) in text and folder.path in text
    assert repr(feature) in "".join(traceback.format_exception(info.value))


def test_an_encoder_failure_names_the_column_and_the_record_file(sample_folders, tmp_path):
    path = copy_of(sample_folders["penguins"], tmp_path)
    record_path = os.path.join(path, "autofe", "labelencoder.pkl")
    with open(record_path, "rb") as f:
        record = pickle.load(f)
    record["island"] = "not an encoder"
    write(record_path, pickle.dumps(record))
    m = marqolin(path)
    with pytest.raises(AttributeError) as info:
        m.predict(pd.read_csv(sample_folders["penguins"].holdout))
    assert "'island'" in notes(info.value) and record_path in notes(info.value)


def time_split(sample_folders, tmp_path, test_size):
    path = copy_of(sample_folders["penguins_plain"], tmp_path)
    cfg_path = os.path.join(path, "config.yaml")
    with open(cfg_path, encoding="utf-8") as f:
        cfg = yaml.safe_load(f)
    cfg["Feature"].update(SplitType="time", TestSize=test_size)
    with open(cfg_path, "w", encoding="utf-8") as f:
        yaml.safe_dump(cfg, f)
    m = marqolin(path)
    X = pd.DataFrame({"a": range(10)})
    return m, lambda: m._split_train_test(X, X["a"], "time")


@pytest.mark.parametrize(
    "test_size, kind, text",
    [
        ("nan", ValueError, "NaN"),
        ("inf", OverflowError, "infinity"),
        ("-inf", OverflowError, "infinity"),
        (-1e308, OverflowError, "infinity"),
        (-1e300, ValueError, "(0, 1)"),
        (1.5, ValueError, "(0, 1)"),
        (0, ValueError, "(0, 1)"),
        (1, ValueError, "(0, 1)"),
    ],
    ids=str,
)
def test_time_split_refuses_a_test_share_outside_0_1(
    sample_folders, tmp_path, test_size, kind, text
):
    m, split = time_split(sample_folders, tmp_path, test_size)
    with pytest.raises(kind) as info:
        split()
    assert text in str(info.value)
    assert repr(m.test_size) in str(info.value) + notes(info.value)


def test_time_split_of_a_share_inside_0_1_is_unchanged(sample_folders, tmp_path):
    _, split = time_split(sample_folders, tmp_path, "0.25")
    X_train, X_val, y_train, y_val = split()
    assert len(X_train) == 7 and len(X_val) == 3 and X_val["a"].tolist() == [7, 8, 9]
