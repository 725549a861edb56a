"""The search's metric callbacks: real FLAML searches on scikit-learn's bundled tables, each
logged dictionary checked against scikit-learn's functions on the same predictions."""

from __future__ import annotations

import inspect
import os
import subprocess
import sys
import time

import numpy as np
import pytest
from flaml import AutoML
from sklearn import metrics as skm
from sklearn.datasets import load_breast_cancer, load_diabetes, load_iris
from sklearn.linear_model import LinearRegression, LogisticRegression

from orvalis.module.automl.flaml import quillet

CLASSIFICATION_KEYS = [
    "train_log_loss", "train_f1", "train_accuracy", "train_precision", "train_recall", "train_auc",
    "val_log_loss", "val_f1", "val_accuracy", "val_precision", "val_recall", "val_auc",
    "pred_time",
]  # fmt: skip
REGRESSION_KEYS = [
    "train_MSE", "train_RMSE", "train_MAE", "train_R-squared",
    "val_MSE", "val_RMSE", "val_MAE", "val_R-squared", "pred_time",
]  # fmt: skip


def _expected_classification(estimator, X, y, labels, weight):
    """scikit-learn's own forms: the one-vs-rest macro AUC, the positive column for two classes."""
    proba, predicted = estimator.predict_proba(X), estimator.predict(X)
    if proba.shape[1] == 2:
        auc = skm.roc_auc_score(y, proba[:, 1])
    else:
        auc = skm.roc_auc_score(y, proba, multi_class="ovr", average="macro")
    return {
        "log_loss": skm.log_loss(y, proba, labels=labels, sample_weight=weight),
        "f1": skm.f1_score(y, predicted, average="weighted"),
        "accuracy": skm.accuracy_score(y, predicted),
        "precision": skm.precision_score(y, predicted, average="weighted"),
        "recall": skm.recall_score(y, predicted, average="weighted"),
        "auc": auc,
    }


def _expected_regression(estimator, X, y):
    pred = estimator.predict(X)
    mse = skm.mean_squared_error(y, pred)
    return {
        "MSE": mse,
        "RMSE": mse**0.5,
        "MAE": skm.mean_absolute_error(y, pred),
        "R-squared": skm.r2_score(y, pred),
    }


def _recording(callback, expected):
    """The metric handed to the search: our callback, with every call checked on the spot
    (the search may refit or discard the estimator afterwards)."""
    calls = []

    def metric(X_val, y_val, estimator, labels, X_train, y_train, weight_val, weight_train, *args):
        loss, logged = callback(
            X_val, y_val, estimator, labels, X_train, y_train, weight_val, weight_train, *args
        )
        reference = expected(
            estimator, X_val, y_val, X_train, y_train, labels, weight_val, weight_train
        )
        calls.append((loss, logged, reference, len(X_val)))
        return loss, logged

    return metric, calls


def _search(X, y, task, metric, **fit_kwargs):
    automl = AutoML()
    automl.fit(
        X,
        y,
        task=task,
        metric=metric,
        estimator_list=["lgbm"],
        time_budget=4,
        max_iter=4,
        eval_method="holdout",
        split_ratio=0.25,
        n_jobs=1,
        verbose=0,
        seed=7,
        retrain_full=False,
        **fit_kwargs,
    )
    return automl


def _check_against_search(automl, calls):
    assert calls, "the search never called the metric"
    best = min(calls, key=lambda c: c[0])
    assert automl.best_loss == pytest.approx(best[0], rel=0, abs=0)
    assert automl.metrics_for_best_config[1] == best[1]


# early candidates of a short search may predict one class only: precision is then undefined
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.UndefinedMetricWarning")
@pytest.mark.parametrize(
    "loader, weighted",
    [(load_iris, False), (load_breast_cancer, False), (load_breast_cancer, True)],
    ids=["iris-3-classes", "breast-cancer-binary", "breast-cancer-weighted"],
)
def test_classification_in_a_search(loader, weighted):
    X, y = loader(return_X_y=True, as_frame=True)
    fit_kwargs = {}
    if weighted:
        fit_kwargs["sample_weight"] = np.where(y.to_numpy() == 1, 3.0, 0.5)

    def expected(estimator, X_val, y_val, X_train, y_train, labels, weight_val, weight_train):
        return (
            _expected_classification(estimator, X_train, y_train, labels, weight_train),
            _expected_classification(estimator, X_val, y_val, labels, weight_val),
        )

    metric, calls = _recording(quillet.custom_metric_classification, expected)
    automl = _search(X, y, "classification", metric, **fit_kwargs)
    _check_against_search(automl, calls)

    for loss, logged, (train, val), _ in calls:
        assert list(logged) == CLASSIFICATION_KEYS
        assert loss is logged["val_log_loss"]
        for name, value in train.items():
            assert logged["train_" + name] == pytest.approx(value, rel=1e-12), name
        for name, value in val.items():
            assert logged["val_" + name] == pytest.approx(value, rel=1e-12), name
        assert 0 <= logged["pred_time"] < 1


def test_regression_in_a_search():
    X, y = load_diabetes(return_X_y=True, as_frame=True)

    def expected(estimator, X_val, y_val, X_train, y_train, *_):
        return _expected_regression(estimator, X_train, y_train), _expected_regression(
            estimator, X_val, y_val
        )

    metric, calls = _recording(quillet.custom_metric_regression, expected)
    automl = _search(X, y, "regression", metric)
    _check_against_search(automl, calls)

    for loss, logged, (train, val), _ in calls:
        assert list(logged) == REGRESSION_KEYS
        assert loss is logged["val_RMSE"]
        assert logged["val_RMSE"] == np.sqrt(logged["val_MSE"])
        for name, value in train.items():
            assert logged["train_" + name] == pytest.approx(value, rel=1e-12), name
        for name, value in val.items():
            assert logged["val_" + name] == pytest.approx(value, rel=1e-12), name


@pytest.fixture(scope="module")
def binary_case():
    X, y = load_breast_cancer(return_X_y=True)
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    rng = np.random.default_rng(3)
    order = rng.permutation(len(y))
    train, val = order[:400], order[400:]
    model = LogisticRegression(max_iter=1000).fit(X[train], y[train])
    return model, X[val], y[val], X[train], y[train]


def test_weights_touch_only_the_log_loss(binary_case):
    model, X_val, y_val, X_train, y_train = binary_case
    rng = np.random.default_rng(5)
    w_val, w_train = rng.uniform(0.1, 5, len(y_val)), rng.uniform(0.1, 5, len(y_train))
    args = (X_val, y_val, model, [0, 1], X_train, y_train)
    plain_loss, plain = quillet.custom_metric_classification(*args)
    loss, weighted = quillet.custom_metric_classification(*args, w_val, w_train)

    proba_val, proba_train = model.predict_proba(X_val), model.predict_proba(X_train)
    assert plain_loss == skm.log_loss(y_val, proba_val)
    assert loss == skm.log_loss(y_val, proba_val, sample_weight=w_val)
    assert weighted["train_log_loss"] == skm.log_loss(y_train, proba_train, sample_weight=w_train)
    assert loss != plain_loss
    unweighted_keys = [k for k in CLASSIFICATION_KEYS if "log_loss" not in k and k != "pred_time"]
    assert {k: weighted[k] for k in unweighted_keys} == {k: plain[k] for k in unweighted_keys}
    # the two-column prediction goes through the one-vs-rest mean and gives the binary AUC
    assert plain["val_auc"] == pytest.approx(skm.roc_auc_score(y_val, proba_val[:, 1]), rel=1e-12)


def test_extra_arguments_are_ignored(binary_case):
    model, X_val, y_val, X_train, y_train = binary_case
    args = (X_val, y_val, model, [0, 1], X_train, y_train)
    base = quillet.custom_metric_classification(*args)
    more = quillet.custom_metric_classification(*args, None, None, {"config": 1}, "groups", 3)
    keyword = quillet.custom_metric_classification(
        X_val=X_val, y_val=y_val, estimator=model, labels=[0, 1], X_train=X_train, y_train=y_train
    )
    for result in (more, keyword):
        assert result[0] == base[0]
        assert {k: v for k, v in result[1].items() if k != "pred_time"} == {
            k: v for k, v in base[1].items() if k != "pred_time"
        }

    reg = LinearRegression().fit(X_train, y_train)
    r_base = quillet.custom_metric_regression(*args[:2], reg, None, *args[4:])
    r_more = quillet.custom_metric_regression(*args[:2], reg, "labels", *args[4:], "w", "w", 1, 2)
    assert r_base[0] == r_more[0]


def test_signatures_and_argument_count():
    expected = (
        "(X_val, y_val, estimator, labels, X_train, y_train, "
        "weight_val=None, weight_train=None, *args)"
    )
    for fn in (quillet.custom_metric_classification, quillet.custom_metric_regression):
        assert str(inspect.signature(fn)) == expected
        with pytest.raises(TypeError):
            fn(1, 2, 3, 4, 5)


class _SlowProbability(LogisticRegression):
    """Probability prediction of the validation rows takes 0.3 s."""

    def predict_proba(self, X):
        if len(X) == self.val_rows:
            time.sleep(0.3)
        return super().predict_proba(X)


class _SlowLabels(LogisticRegression):
    """Label prediction takes 0.3 s, training-row prediction too: none of it is timed."""

    def predict(self, X):
        time.sleep(0.3)
        return super().predict(X)

    def predict_proba(self, X):
        if len(X) != self.val_rows:
            time.sleep(0.3)
        return super().predict_proba(X)


class _SlowRegression(LinearRegression):
    def predict(self, X):
        if len(X) != self.val_rows:
            time.sleep(0.3)
        return super().predict(X)


def test_prediction_time_covers_only_validation_probabilities(binary_case):
    _, X_val, y_val, X_train, y_train = binary_case
    rows = len(X_val)
    slow = _SlowProbability(max_iter=1000).fit(X_train, y_train)
    slow.val_rows = rows
    _, logged = quillet.custom_metric_classification(X_val, y_val, slow, [0, 1], X_train, y_train)
    assert logged["pred_time"] * rows >= 0.29

    slow = _SlowLabels(max_iter=1000).fit(X_train, y_train)
    slow.val_rows = rows
    _, logged = quillet.custom_metric_classification(X_val, y_val, slow, [0, 1], X_train, y_train)
    assert logged["pred_time"] * rows < 0.25

    reg = _SlowRegression().fit(X_train, y_train)
    reg.val_rows = rows
    _, logged = quillet.custom_metric_regression(X_val, y_val, reg, None, X_train, y_train)
    assert logged["pred_time"] * rows < 0.25


def test_errors_reach_the_caller(binary_case):
    _, X_val, y_val, X_train, y_train = binary_case
    with pytest.raises(AttributeError, match="predict_proba"):
        quillet.custom_metric_classification(
            X_val, y_val, LinearRegression().fit(X_train, y_train), [0, 1], X_train, y_train
        )

    class NoRows:
        def predict(self, X):
            return np.zeros(len(X))

    with pytest.raises(ZeroDivisionError):
        quillet.custom_metric_regression(X_val[:0], y_val[:0], NoRows(), None, X_train, y_train)


def test_loading_imports_nothing():
    code = (
        "import sys; import orvalis.module.automl.flaml as pkg; before = set(sys.modules)\n"
        "from orvalis.module.automl.flaml import quillet\n"
        "print(sorted(set(sys.modules) - before))\n"
        "print(sorted(n for n in vars(quillet) if not n.startswith('__')))"
    )
    env = {
        **os.environ,
        "PYTHONPATH": os.path.dirname(os.path.dirname(quillet.__file__)).rsplit(
            os.sep + "orvalis", 1
        )[0],
    }
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    ).stdout
    new_modules, names = out.splitlines()
    assert new_modules == "['orvalis.module.automl.flaml.quillet']"
    assert names == "['custom_metric_classification', 'custom_metric_regression']"
