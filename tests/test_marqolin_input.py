"""What a user's mistake gets: one clear error before anything is built, paths as people write
them, short errors for wrong keywords, and the classes named where people look."""

from __future__ import annotations

import inspect
import os
import pathlib
import pickle
import shutil

import numpy as np
import pandas as pd
import pytest

from orvalis import marqolin

RAW = {
    "penguins": [
        "island",
        "bill_length_mm",
        "bill_depth_mm",
        "flipper_length_mm",
        "body_mass_g",
        "sex",
    ],
    "grunfeld": ["value", "capital", "firm", "year"],
}


@pytest.fixture(scope="module")
def models(sample_folders):
    return {name: marqolin(folder.path) for name, folder in sample_folders.items()}


def one_line(error) -> str:
    text = error.args[0] if isinstance(error, KeyError) else str(error)
    assert "\n" not in text and not getattr(error, "__notes__", None)
    return text


# --- the table is checked before anything is built ---------------------------------------------


@pytest.mark.parametrize("name", ["penguins", "grunfeld", "breast_cancer", "penguins_plain"])
def test_missing_columns_are_all_named_with_the_columns_found(sample_folders, models, name):
    folder = sample_folders[name]
    raw = pd.read_csv(folder.holdout)
    header = pd.read_csv(os.path.join(folder.path, "automl", "val_res"), nrows=0).columns
    needed = [c for c in header if c not in (folder.target, "ypred")]
    dropped = needed[1::2]
    frame = raw.drop(columns=dropped)
    before = frame.copy()
    for call in (models[name].predict, models[name].predict_proba, models[name].preprocess):
        if call.__name__ == "predict_proba" and models[name].task != "classification":
            continue
        with pytest.raises(KeyError) as info:
            call(frame)
        text = one_line(info.value)
        want = [c.strip().replace(" ", "_") for c in dropped]
        assert f"数据缺少训练时的列 {want!r} (共 {len(want)} 列)" in text
        assert repr(frame.columns.tolist()) in text
    pd.testing.assert_frame_equal(frame, before)  # nothing was encoded or built


def test_columns_the_folder_drops_anyway_may_be_absent(sample_folders, models):
    # penguins ignores "year"; breast_cancer's identifier column is dropped
    for name, column in (("penguins", "year"), ("breast_cancer", "sample id")):
        folder = sample_folders[name]
        raw = pd.read_csv(folder.holdout)
        want = models[name].predict(raw.copy())
        np.testing.assert_array_equal(models[name].predict(raw.drop(columns=[column])), want)


@pytest.mark.parametrize("sep", [";", "\t", "|"])
def test_a_table_read_with_the_wrong_separator_gets_a_hint(sample_folders, models, tmp_path, sep):
    folder = sample_folders["penguins"]
    path = tmp_path / "rows.csv"
    pd.read_csv(folder.holdout).to_csv(path, sep=sep, index=False)
    with pytest.raises(KeyError) as info:
        models["penguins"].predict(str(path))
    text = one_line(info.value)
    shown = "\\t" if sep == "\t" else sep
    assert f"sep='{shown}'" in text and str(RAW["penguins"]) in text


def test_header_only_and_empty_tables(sample_folders, models, tmp_path):
    folder = sample_folders["penguins"]
    raw = pd.read_csv(folder.holdout)
    raw.iloc[:0].to_csv(tmp_path / "header.csv", index=False)
    for data in (str(tmp_path / "header.csv"), raw.iloc[:0]):
        with pytest.raises(ValueError, match="数据没有任何行 \\(只有表头") as info:
            models["penguins"].predict(data)
        assert "species" in one_line(info.value)
    with pytest.raises(ValueError, match="数据为空: 没有任何列, 也没有任何行。"):
        models["penguins"].predict(pd.DataFrame())
    (tmp_path / "empty").mkdir()
    with pytest.raises(ValueError, match="中没有任何文件") as info:
        models["penguins"].predict(str(tmp_path / "empty"))
    assert str(tmp_path / "empty") in one_line(info.value)


@pytest.mark.parametrize(
    "name, column, text",
    [
        ("penguins", "bill_length_mm", "12,5"),
        ("grunfeld", "capital", "n/a"),
        ("penguins_plain", "body_mass_g", "heavy"),
    ],
)
def test_text_in_a_numeric_column_names_the_column_and_the_value(
    sample_folders, models, name, column, text
):
    raw = pd.read_csv(sample_folders[name].holdout)
    raw.index = raw.index + 100
    raw[column] = raw[column].astype(object)
    raw.loc[103, column] = text
    raw.loc[105, column] = "later"
    with pytest.raises(TypeError) as info:
        models[name].predict(raw)
    message = one_line(info.value)
    assert message.startswith(f"列 {column!r} 在训练时是数值")
    assert f"第一个是 {text!r} (行标签 103)" in message


def without_record(folder, tmp_path, remove=("island",)):
    path = tmp_path / "copy"
    shutil.copytree(folder.path, path)
    record_path = path / "autofe" / "labelencoder.pkl"
    if remove is None:
        record_path.unlink()
    else:
        record = pickle.loads(record_path.read_bytes())
        for key in remove:
            del record[key]
        record_path.write_bytes(pickle.dumps(record))
    return str(path)


@pytest.mark.parametrize("remove", [None, ("island",)], ids=["no record file", "no encoder"])
@pytest.mark.parametrize("kind", ["object codes", "integer codes"])
def test_a_model_trained_on_codes_without_their_encoder_refuses_text(
    sample_folders, int_code_folders, tmp_path, remove, kind
):
    folder = (sample_folders if kind == "object codes" else int_code_folders)["penguins"]
    m = marqolin(without_record(folder, tmp_path, remove))
    with pytest.raises(KeyError) as info:
        m.predict(folder.holdout)
    text = one_line(info.value)
    assert text.startswith("列 'island' 是文本") and "整数编码" in text
    assert ("不存在" if remove is None else "中没有它的编码器") in text


def test_not_a_result_folder_says_so_in_one_line(tmp_path, sample_folders):
    for path, says in (
        (tmp_path / "nothing", "不存在或不是文件夹"),
        (tmp_path, "中没有 config.yaml"),
    ):
        with pytest.raises(FileNotFoundError) as info:
            marqolin(str(path))
        assert one_line(info.value) == f"不是训练结果文件夹: {str(path)!r} {says}。"


# --- paths as people write them ----------------------------------------------------------------


def test_path_like_arguments_everywhere(sample_folders, tmp_path):
    folder = sample_folders["penguins"]
    as_text = marqolin(folder.path)
    m = marqolin(pathlib.Path(folder.path))
    assert m.path == folder.path and isinstance(m.path, str)
    holdout = pathlib.Path(folder.holdout)
    np.testing.assert_array_equal(m.predict(holdout), as_text.predict(folder.holdout))
    np.testing.assert_array_equal(m.predict_proba(holdout), as_text.predict_proba(folder.holdout))
    pd.testing.assert_frame_equal(m.preprocess(holdout), as_text.preprocess(folder.holdout))
    got = m.get_train_validation_data(pathlib.Path(folder.train))
    want = as_text.get_train_validation_data(folder.train)
    pd.testing.assert_frame_equal(got[1], want[1])
    pd.testing.assert_series_equal(got[3], want[3])
    X = m.preprocess(holdout, return_y=True)
    y = X["species"].astype(int)
    m.plot_confusion_matrix(y, y, path=tmp_path / "new" / "cm.png")
    m.plot_kde(X, "body_mass_g", tmp_path / "kde.png")
    assert (tmp_path / "new" / "cm.png").read_bytes()[:4] == b"\x89PNG"
    assert (tmp_path / "kde.png").exists()


# --- a wrong keyword: short, the parameters named, never the data ------------------------------


def test_a_wrong_keyword_names_the_parameters_not_the_data(sample_folders, models):
    m = models["penguins"]
    frame = pd.read_csv(sample_folders["penguins"].holdout)
    cases = [
        (lambda: m.predict(X=frame), "marqolin.predict(): got an unexpected keyword argument 'X'"),
        (lambda: m.predict_proba(frame, frame), "marqolin.predict_proba(): too many positional"),
        (lambda: m.predict(), "marqolin.predict(): missing a required argument: 'test_path'"),
        (lambda: m.preprocess(frame, y=True), "marqolin.preprocess(): got an unexpected keyword"),
        (lambda: marqolin(folder=frame), "marqolin(): got an unexpected keyword argument"),
    ]
    for call, start in cases:
        with pytest.raises(TypeError) as info:
            call()
        text = str(info.value)
        assert text.startswith(start) and "\n" not in text and len(text) < 200, text
        assert "bill_length_mm" not in text and "DataFrame" not in text
    # the parameters as the signature has them
    with pytest.raises(TypeError) as info:
        m.plot_confusion_matrix([0], [0], colour="red")
    params = list(inspect.signature(m.plot_confusion_matrix).parameters.values())
    assert str(info.value).endswith(f"parameters: ({', '.join(map(str, params))})")
    # an error raised inside a method keeps its own message
    with pytest.raises(TypeError, match="Argument 'feature_name' has incorrect type"):
        m.plot_kde(frame, feature_name=3)


# --- classes_ ----------------------------------------------------------------------------------


def test_classes_name_the_probability_columns(sample_folders, models):
    assert models["penguins"].classes_.tolist() == ["Adelie", "Chinstrap", "Gentoo"]
    assert models["penguins_plain"].classes_.tolist() == ["Adelie", "Chinstrap", "Gentoo"]
    assert models["breast_cancer"].classes_.tolist() == [0, 1]  # a target without encoder
    m = models["penguins"]
    rows = pd.read_csv(sample_folders["penguins"].holdout)
    proba = m.predict_proba(rows.copy())
    decoded = m.labeldecode(pd.Series(m.predict(rows.copy()), name="species"))
    # the most probable column's class is the predicted label
    assert m.classes_[proba.argmax(axis=1)].tolist() == decoded.tolist()
    assert not hasattr(models["grunfeld"], "classes_")
    with pytest.raises(AttributeError, match="不是分类模型"):
        models["grunfeld"].classes_
    assert "predict_proba" in type(m).classes_.__doc__
