"""obtain_model_configuration and the six chart methods."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import orvalis.orvalis as module
from orvalis import marqolin


class Model:
    best_estimator = "lgbm"

    def __init__(self, config):
        self.best_config = config


@pytest.fixture(scope="module")
def clf(sample_folders):
    return marqolin(sample_folders["penguins"].path)


@pytest.fixture(scope="module")
def reg(sample_folders):
    return marqolin(sample_folders["grunfeld"].path)


class TestConfiguration:
    def test_renaming_in_place_and_order(self, clf):
        config = {"n_estimators": 4, "max_leaves": 31, "log_max_bin": 10}
        clf_model, clf.model = clf.model, Model(config)
        try:
            got = clf.obtain_model_configuration()
            assert list(got) == ["model_type", "model_params", "task"]
            assert got["model_params"] is config
            assert list(config.items()) == [
                ("n_estimators", 4),
                ("max_leaf_nodes", 31),
                ("max_bin", 1023),
            ]
            assert clf.obtain_model_configuration() == got
            clf.model = Model(
                {"max_leaves": 5, "max_leaf_nodes": 9, "max_bin": 3, "log_max_bin": 2}
            )
            assert clf.obtain_model_configuration()["model_params"] == {
                "max_leaf_nodes": 9,
                "max_bin": 3,
            }
            clf.model = Model({"log_max_bin": 2.0})
            with pytest.raises(TypeError):
                clf.obtain_model_configuration()
        finally:
            clf.model = clf_model

    def test_real_search_result(self, clf, reg):
        got = clf.obtain_model_configuration()
        assert got["model_type"] == clf.model.best_estimator and got["task"] == "classification"
        assert (
            "max_leaves" not in clf.model.best_config and "log_max_bin" not in got["model_params"]
        )
        assert reg.obtain_model_configuration()["task"] == "regression"

    def test_plain_estimator_has_no_search_result(self, sample_folders):
        with pytest.raises(AttributeError):
            marqolin(sample_folders["penguins_plain"].path).obtain_model_configuration()


@pytest.fixture
def calls(monkeypatch):
    seen = []
    for name in (
        "plot_box",
        "plot_kde",
        "plot_trends",
        "plot_roc_curve",
        "plot_confusion_matrix",
        "plot_regression_results",
    ):
        monkeypatch.setattr(
            module,
            name,
            lambda *args, _name=name, **kwargs: seen.append((_name, args, kwargs)) or "drawn",
        )
    return seen


class TestDelegation:
    def test_arguments_reach_the_drawing_functions(self, clf, reg, calls):
        X = pd.DataFrame({"f": [1.0, 2.0, 3.0], "t": [0, 1, 0]})
        assert clf.plot_box(X, X["t"], "f", "t") is None
        assert clf.plot_kde(X, "f", path="k.png") is None
        assert clf.plot_trend_comparison(X, "f", "t") is None
        assert clf.plot_roc_curve(np.array([0, 1, 2, 1]), np.eye(3)[[0, 1, 2, 1]]) is None
        assert clf.plot_roc_curve([0, 1], [[1, 0], [0, 1]], n_classes=5, roc_type="micro") is None
        assert clf.plot_confusion_matrix([2, 0, 2, 1], [2, 0, 1, 1], True, "T") is None
        assert reg.plot_regression_scatter([1.0, 2.0], [1.5, 2.5]) is None
        names = [c[0] for c in calls]
        assert names == [
            "plot_box",
            "plot_kde",
            "plot_trends",
            "plot_roc_curve",
            "plot_roc_curve",
            "plot_confusion_matrix",
            "plot_regression_results",
        ]
        assert calls[1][1][1:] == ("f", "k.png")
        feature, label = calls[2][1][:2]
        assert (
            feature.tolist() == [1.0, 2.0, 3.0]
            and label.tolist() == [0, 1, 0]
            and calls[2][1][2:] == ("f", "t", None)
        )
        assert calls[3][1][2:] == (3, "both", None) and calls[4][1][2:] == (5, "micro", None)
        y_true, y_pred, classes, normalize, title, cmap, path = calls[5][1]
        assert classes.tolist() == [0, 1, 2] and (normalize, title, path) == (True, "T", None)
        import matplotlib.pyplot as plt

        assert cmap is plt.cm.Blues
        assert calls[6][1][2:] == ("Model", None)
        # the class codes of the target are named through its encoder; "t" has none
        species = {0: "Adelie", 1: "Chinstrap", 2: "Gentoo"}
        two = {0: "Adelie", 1: "Chinstrap"}  # 5 classes are more than the encoder has
        assert [c[2] for c in calls] == [{}, {}, {}] + [
            {"class_names": names} for names in (species, two, species)
        ] + [{}]

    def test_classification_check(self, reg, calls):
        for call in (
            lambda: reg.plot_roc_curve([0, 1], [[1, 0], [0, 1]]),
            lambda: reg.plot_confusion_matrix([0, 1], [0, 1]),
        ):
            with pytest.raises(AssertionError, match="该任务识别到不是分类任务，请确认任务类型！"):
                call()
        # the task is checked before the arguments' types
        for call in (
            lambda: reg.plot_roc_curve([0, 1], [[1, 0], [0, 1]], n_classes=2.0, path=3),
            lambda: reg.plot_confusion_matrix([0, 1], [0, 1], title=1),
        ):
            with pytest.raises(AssertionError, match="该任务识别到不是分类任务"):
                call()
        assert calls == []

    @pytest.mark.parametrize(
        "call, arg",
        [
            (lambda m, X: m.plot_kde(X, "f", path=3), "path"),
            (lambda m, X: m.plot_kde(X, 1), "feature_name"),
            (lambda m, X: m.plot_box(X, X, "f", None), "target_name"),
            (lambda m, X: m.plot_trend_comparison(X, "f", "t", path=b"x"), "path"),
            (lambda m, X: m.plot_roc_curve([0], [0], n_classes=2.0), "n_classes"),
            (lambda m, X: m.plot_roc_curve([0], [0], roc_type=None), "roc_type"),
            (lambda m, X: m.plot_confusion_matrix([0], [0], title=1), "title"),
            (lambda m, X: m.plot_regression_scatter([0], [0], model_name=None), "model_name"),
        ],
    )
    def test_type_checks_before_any_work(self, clf, calls, call, arg):
        X = pd.DataFrame({"f": [1.0], "t": [0]})
        with pytest.raises(TypeError, match=f"Argument '{arg}' has incorrect type"):
            call(clf, X)
        assert calls == []

    def test_missing_column_is_a_key_error(self, clf, calls):
        with pytest.raises(KeyError):
            clf.plot_trend_comparison(pd.DataFrame({"f": [1]}), "f", "absent")


def test_every_chart_method_writes_a_png(clf, reg, sample_folders, tmp_path):
    folder = sample_folders["penguins"]
    raw = pd.read_csv(folder.holdout)
    X = clf.preprocess(raw.copy(), return_y=True)
    y_true = X["species"].astype(int)
    proba = clf.predict_proba(raw.copy())
    pred = clf.predict(raw.copy())
    clf.plot_box(X, X[["species"]], "bill_length_mm", "species", str(tmp_path / "box.png"))
    clf.plot_kde(X, "body_mass_g", str(tmp_path / "kde.png"))
    clf.plot_trend_comparison(X, "flipper_length_mm", "species", str(tmp_path / "trend.png"))
    clf.plot_roc_curve(y_true, proba, path=str(tmp_path / "roc.png"))
    clf.plot_confusion_matrix(y_true, pred, path=str(tmp_path / "cm.png"))
    g = sample_folders["grunfeld"]
    truth = pd.read_csv(g.holdout)["invest"]
    reg.plot_regression_scatter(truth, reg.predict(g.holdout), "lgbm", str(tmp_path / "reg.png"))
    for name in ("box", "kde", "trend", "roc", "cm", "reg"):
        data = (tmp_path / f"{name}.png").read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 10_000, name


def test_charts_of_a_classification_folder_show_the_class_names(clf, sample_folders, monkeypatch):
    from module.util import report

    drawn = []
    monkeypatch.setattr(report, "_finish", lambda fig, path: drawn.append(fig))
    holdout = sample_folders["penguins"].holdout
    X = clf.preprocess(pd.read_csv(holdout), return_y=True)
    y = X["species"]  # the target's codes, in the object column encoding left them in
    proba = clf.predict_proba(holdout)
    names = ["Adelie", "Chinstrap", "Gentoo"]

    clf.plot_confusion_matrix(y.astype(int), clf.predict(holdout))
    ax = drawn[-1].axes[0]
    assert [t.get_text() for t in ax.get_xticklabels()] == names
    assert [t.get_text() for t in ax.get_yticklabels()] == names

    clf.plot_box(X, X[["species"]], "bill_length_mm", "species")
    assert [t.get_text() for t in drawn[-1].axes[0].get_xticklabels()] == names

    clf.plot_trend_comparison(X, "flipper_length_mm", "species")
    right = drawn[-1].axes[1]
    assert [t.get_text() for t in right.get_yticklabels()] == names
    assert right.get_lines()[0].get_linestyle() == "None"  # categories, not a line of codes

    clf.plot_roc_curve(y.astype(int), proba)
    ax = drawn[-1].axes[0]
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert [label.split(" (AUC")[0] for label in labels] == names + [
        "macro-average",
        "micro-average",
        "chance",
    ]
    assert ax.get_title() == "ROC curves per class, macro- and micro-average"
