"""labelencode / labeldecode with the encoders of a real result folder."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from orvalis import marqolin


@pytest.fixture(scope="module")
def m(sample_folders):
    return marqolin(sample_folders["penguins_plain"].path)


def test_series_round_trip_with_unseen_and_missing_values(m):
    values = pd.Series(["Dream", "Atlantis", None, "Biscoe"], name="island", index=[10, 11, 12, 13])
    codes = m.labelencode(values)
    classes = list(m.lec_record_dt["island"].classes_)
    assert codes.tolist() == [
        classes.index("Dream"),
        classes.index("OOV"),
        classes.index("na") if "na" in classes else classes.index("OOV"),
        classes.index("Biscoe"),
    ]
    assert codes.index.tolist() == [0, 1, 2, 3] and codes.name is None and codes.dtype == int
    back = m.labeldecode(codes.rename("island"))
    assert back.tolist() == ["Dream", "OOV", classes[codes[2]], "Biscoe"]
    # repeated encoding gives the same codes (the token is not appended again)
    assert m.labelencode(values).tolist() == codes.tolist()


def test_missing_values_encode_as_na(m):
    sex = m.lec_record_dt["sex"]
    assert "na" in list(sex.classes_)  # training had missing sexes
    got = m.labelencode(pd.Series([np.nan, "male"], name="sex"))
    assert got.tolist() == [list(sex.classes_).index("na"), list(sex.classes_).index("male")]


def test_dataframe_needs_a_feature_name(m):
    df = pd.DataFrame({"island": ["Dream"], "sex": ["female"]})
    assert m.labelencode(df, "sex").tolist() == [
        list(m.lec_record_dt["sex"].classes_).index("female")
    ]
    assert m.labeldecode(pd.DataFrame({"sex": [0.0]}), feature_name="sex").tolist() == [
        m.lec_record_dt["sex"].classes_[0]
    ]
    with pytest.raises(AssertionError, match="请指定要进行编码的特征名"):
        m.labelencode(df)
    with pytest.raises(AssertionError, match="请指定要进行解码的特征名"):
        m.labeldecode(df)


@pytest.mark.parametrize("method", ["labelencode", "labeldecode"])
def test_columns_without_encoder_and_other_types(m, method):
    with pytest.raises(IndexError, match="所选的列名在训练过程中并未进行编码。"):
        getattr(m, method)(pd.Series([1.0], name="body_mass_g"))
    with pytest.raises(IndexError, match="所选的列名在训练过程中并未进行编码。"):
        getattr(m, method)(pd.DataFrame({"x": [1]}), "x")
    with pytest.raises(TypeError, match="暂不支持该数据类型。"):
        getattr(m, method)([1, 2])
    with pytest.raises(TypeError, match="feature_name"):
        getattr(m, method)(pd.DataFrame({"x": [1]}), 3)


def test_conversion_errors_print_and_return_none(m, capsys):
    assert m.labeldecode(pd.Series([0, 99], name="island")) is None
    out = capsys.readouterr().out
    assert out.startswith("解码出错，请确认输入是否正确：") and out.count("\n") == 1
    assert m.labelencode(pd.DataFrame({"other": ["a"]}), "island") is None
    out = capsys.readouterr().out
    assert out.startswith("编码出错，请确认输入是否正确：") and "island" in out
    assert m.labeldecode(pd.Series(["x"], name="island")) is None
    assert capsys.readouterr().out.startswith("解码出错")


def test_text_labels_of_the_target_decode(m, sample_folders):
    raw = pd.read_csv(sample_folders["penguins_plain"].holdout)
    codes = m.labelencode(raw["species"])
    assert m.labeldecode(codes.rename("species")).tolist() == raw["species"].tolist()
    # the model's predictions are codes of the same encoder
    species = set(raw["species"])
    assert set(m.labeldecode(pd.Series(m.predict(raw), name="species"))) <= species
