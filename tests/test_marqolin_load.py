"""marqolin(path): reading a result folder into the object's state."""

from __future__ import annotations

import inspect
import os
import pathlib
import pickle
import shutil

import pytest
import yaml

from orvalis import marqolin


def copy_of(folder, tmp_path, name="copy"):
    dst = tmp_path / name
    shutil.copytree(folder.path, dst)
    return dst


def edit_config(path, **changes):
    cfg_path = os.path.join(path, "config.yaml")
    with open(cfg_path, encoding="utf-8") as f:
        cfg = yaml.safe_load(f)
    for key, value in changes.items():
        if value is None:
            cfg["Feature"].pop(key, None)
        else:
            cfg["Feature"][key] = value
    with open(cfg_path, "w", encoding="utf-8") as f:
        yaml.safe_dump(cfg, f, allow_unicode=True)


class Chain:
    """A stand-in estimator chain: model._trained_estimator._model._n_classes."""

    def __init__(self, inner):
        self._trained_estimator = inner


class Inner:
    def __init__(self, n_classes):
        self._model = Estimator(n_classes)


class Estimator:
    def __init__(self, n_classes):
        self._n_classes = n_classes


class NoModel:
    pass


def test_attributes_in_order_from_a_real_folder(sample_folders):
    folder = sample_folders["penguins"]
    m = marqolin(folder.path)
    assert list(vars(m))[:22] == [
        "path",
        "labelencoder_dt_path",
        "autofe_result_path",
        "automl_result_path",
        "save_path",
        "model_path",
        "target_name",
        "feature_name",
        "task",
        "training_data",
        "id_index",
        "time_index",
        "ignore_features",
        "group_id",
        "split_type",
        "seed",
        "autofe_running",
        "automl_running",
        "test_size",
        "lec_record_dt",
        "adv_features",
        "model",
    ]
    join = os.path.join
    assert m.labelencoder_dt_path == join(folder.path, "autofe", "labelencoder.pkl")
    assert m.autofe_result_path == join(folder.path, "autofe", "result")
    assert m.automl_result_path == join(folder.path, "automl", "logs")
    assert m.save_path == join(folder.path, "save")
    assert m.model_path == join(folder.path, "automl", "result")
    assert (m.target_name, m.task, m.ignore_features) == ("species", "classification", ["year"])
    assert m.training_data is None and m.automl_running is True
    assert m.adv_features == folder.task["features"]
    assert set(m.lec_record_dt) >= {"species", "island", "sex"}
    assert type(m.lec_record_dt["island"]).__name__ == "LabelEncoderWithOOV"
    assert not os.path.exists(m.save_path)  # nothing is written to the folder


def test_defaults_and_numeric_text_test_size(sample_folders, tmp_path):
    path = copy_of(sample_folders["penguins"], tmp_path)
    edit_config(path, TestSize="0.3", IgnoreFeature=None, SplitType=None, RandomSeed=None)
    m = marqolin(str(path))
    assert m.test_size == 0.3 and isinstance(m.test_size, float)
    assert m.ignore_features == [] and m.split_type == "stratified" and m.seed == 1024
    assert m.id_index is None and m.time_index is None and m.group_id is None
    edit_config(path, TestSize=None)
    other = marqolin(str(path))
    assert other.test_size == 0.25
    other.ignore_features.append("x")  # each object gets its own default list
    assert marqolin(str(path)).ignore_features == []


def test_missing_label_encoder_file_is_an_empty_record(sample_folders, tmp_path):
    path = copy_of(sample_folders["breast_cancer"], tmp_path)
    os.remove(path / "autofe" / "labelencoder.pkl")
    assert marqolin(str(path)).lec_record_dt == {}


@pytest.mark.parametrize(
    "remove, error",
    [
        ("config.yaml", FileNotFoundError),
        ("autofe/result", FileNotFoundError),
        ("automl/result", FileNotFoundError),
    ],
)
def test_missing_required_files(sample_folders, tmp_path, remove, error):
    path = copy_of(sample_folders["penguins_plain"], tmp_path)
    os.remove(path / remove)
    with pytest.raises(error):
        marqolin(str(path))


def test_missing_required_key_and_section(sample_folders, tmp_path):
    path = copy_of(sample_folders["penguins_plain"], tmp_path)
    edit_config(path, TaskType=None)
    with pytest.raises(KeyError, match="TaskType"):
        marqolin(str(path))
    (path / "autofe" / "result").write_text('{"features": []}')
    edit_config(path, TaskType="classification")
    with pytest.raises(KeyError, match="combination_features"):
        marqolin(str(path))


class BytesPath:
    def __fspath__(self):
        return b"folder"


@pytest.mark.parametrize("bad", [None, 3, b"folder", BytesPath()], ids=repr)
def test_path_must_be_a_str_or_path_like(bad):
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        marqolin(bad)


@pytest.mark.parametrize(
    "model, expected",
    [
        (Chain(Inner(None)), -1),
        (Chain(Inner(3)), 3),
    ],
)
def test_guarded_class_count_step(sample_folders, tmp_path, model, expected):
    path = copy_of(sample_folders["penguins_plain"], tmp_path)
    (path / "automl" / "result").write_bytes(pickle.dumps(model))
    assert marqolin(str(path)).model._trained_estimator._model._n_classes == expected


@pytest.mark.parametrize("model", [Chain(NoModel()), NoModel()], ids=["no-_model", "no-chain"])
def test_models_without_the_chain_load_unchanged(sample_folders, tmp_path, model):
    path = copy_of(sample_folders["penguins_plain"], tmp_path)
    (path / "automl" / "result").write_bytes(pickle.dumps(model))
    loaded = marqolin(str(path)).model
    assert type(loaded) is type(model)
    assert not hasattr(getattr(loaded, "_trained_estimator", NoModel()), "_model")


def test_real_lightgbm_class_count_none_becomes_minus_one(sample_folders, tmp_path):
    path = copy_of(sample_folders["penguins"], tmp_path)
    with open(path / "automl" / "result", "rb") as f:
        model = pickle.load(f)
    model._trained_estimator._model._n_classes = None
    (path / "automl" / "result").write_bytes(pickle.dumps(model))
    assert marqolin(str(path)).model._trained_estimator._model._n_classes == -1


def test_import_silences_every_warning_of_the_process():
    import subprocess
    import sys

    code = "import warnings, orvalis.orvalis; warnings.warn('loud'); print(warnings.filters[0][0])"
    src = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")
    run = subprocess.run(
        [sys.executable, "-W", "default", "-c", code],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": src},
        check=True,
    )
    assert "loud" not in run.stderr and run.stdout.strip() == "ignore"
    before = subprocess.run(
        [sys.executable, "-W", "default", "-c", "import warnings; warnings.warn('loud')"],
        capture_output=True,
        text=True,
        check=True,
    )
    assert "loud" in before.stderr


def test_every_method_shows_its_parameters_and_a_docstring():
    assert str(inspect.signature(marqolin)) == "(path)"
    for name in (
        "preprocess",
        "predict",
        "predict_proba",
        "labelencode",
        "labeldecode",
        "get_train_validation_data",
        "obtain_model_configuration",
        "plot_box",
        "plot_kde",
        "plot_trend_comparison",
        "plot_roc_curve",
        "plot_confusion_matrix",
        "plot_regression_scatter",
    ):
        method = getattr(marqolin, name)
        params = list(inspect.signature(method).parameters)
        assert params[0] == "self", name
        assert method.__doc__ and any("\u4e00" <= ch <= "\u9fff" for ch in method.__doc__), name
    sig = inspect.signature(marqolin.plot_confusion_matrix)
    import matplotlib.pyplot as plt

    assert sig.parameters["cmap"].default is plt.cm.Blues
    assert str(inspect.signature(marqolin.plot_roc_curve)) == (
        "(self, y_true, y_score, n_classes=None, roc_type='both', path=None)"
    )
