"""The platform's drawing functions: real matplotlib charts, saved as PNG or shown."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from module.util import report


@pytest.fixture
def figures(monkeypatch):
    """The finished figures, instead of saving them."""
    import matplotlib.pyplot as plt

    seen = []
    monkeypatch.setattr(report, "_finish", lambda fig, path: seen.append((fig, path)))
    yield seen
    plt.close("all")


def texts(ax):
    return [t.get_text() for t in ax.texts]


def legend(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


RNG = np.random.default_rng(5)
Y3 = np.array([0, 1, 2] * 20)
P3 = np.clip(np.eye(3)[Y3] * 0.6 + RNG.random((60, 3)) * 0.4, 0, None)
P3 = P3 / P3.sum(axis=1, keepdims=True)


class TestRoc:
    @pytest.mark.parametrize(
        "kind, curves", [("both", ["macro", "micro"]), ("macro", ["macro"]), ("micro", ["micro"])]
    )
    def test_curves_and_areas(self, figures, kind, curves):
        report.plot_roc_curve(Y3, P3, 3, kind, None)
        ax = figures[0][0].axes[0]
        labels = legend(ax)
        from sklearn.metrics import roc_auc_score

        onehot = np.eye(3)[Y3]
        # each class's own curve, then the averages asked for, then chance
        per_class = [f"{k} (AUC = {roc_auc_score(onehot[:, k], P3[:, k]):.3f})" for k in range(3)]
        assert labels[:3] == per_class
        assert [lab.split("-")[0] for lab in labels[3:-1]] == curves and labels[-1] == "chance"
        if "micro" in curves:
            micro = roc_auc_score(onehot.ravel(), P3.ravel())
            assert f"micro-average (AUC = {micro:.3f})" in labels
        averages = {"both": "macro- and micro-average", "macro": "macro-average"}
        assert ax.get_title() == f"ROC curves per class, {averages.get(kind, 'micro-average')}"
        assert ax.get_xlabel() == "False positive rate"

    def test_class_names_label_the_curves_and_title(self, figures):
        names = {0: "Adelie", 1: "Chinstrap", 2: "Gentoo"}
        report.plot_roc_curve(Y3, P3, 3, "both", None, class_names=names)
        labels = legend(figures[-1][0].axes[0])
        assert [lab.split(" (")[0] for lab in labels[:3]] == ["Adelie", "Chinstrap", "Gentoo"]
        # text labels stand for the sorted score columns and name themselves
        report.plot_roc_curve(np.array(["b", "c", "d"])[Y3], P3, 3, "macro", None)
        assert [lab.split(" (")[0] for lab in legend(figures[-1][0].axes[0])[:3]] == list("bcd")
        # two classes: the positive class's curve, named in the title
        y = np.array([0, 1] * 10)
        report.plot_roc_curve(y, y * 0.8 + 0.1, 2, "micro", None, class_names={1: "malign"})
        ax = figures[-1][0].axes[0]
        assert legend(ax)[0] == "malign (AUC = 1.000)" and len(legend(ax)) == 3
        assert ax.get_title() == "ROC curve of class malign, micro-average"

    def test_binary_scores_in_one_column(self, figures):
        y = np.array([0, 1] * 10)
        report.plot_roc_curve(y, y * 0.8 + 0.1, 2, "macro", None)
        assert "AUC = 1.000" in legend(figures[0][0].axes[0])[0]

    def test_labels_other_than_codes_stand_for_sorted_columns(self, figures):
        # labels 1, 2, 3 (or texts) are the score columns 0, 1, 2, not dropped or shifted
        for y in (Y3 + 1, np.array(["a", "b", "c"])[Y3], (Y3 + 1).astype(float)):
            report.plot_roc_curve(y, P3, 3, "both", None)
        report.plot_roc_curve(Y3, P3, 3, "both", None)
        areas = [[lab.split(" (")[1] for lab in legend(fig.axes[0])[:-1]] for fig, _ in figures]
        assert all(a == areas[-1] for a in areas)

    @pytest.mark.parametrize(
        "args, message",
        [
            ((Y3 + 5, P3[:, :2], 2, "both"), "cannot be matched"),
            ((Y3, P3, 3, "weighted"), "roc_type"),
            ((Y3, P3[:, :2], 3, "both"), "shape"),
            ((np.zeros(60, int), P3, 3, "both"), "at least two"),
            ((Y3, P3, 1, "both"), "two classes"),
        ],
    )
    def test_refusals(self, figures, args, message):
        with pytest.raises(ValueError, match=message):
            report.plot_roc_curve(*args, None)


class TestConfusion:
    def test_counts_with_the_given_labels(self, figures):
        report.plot_confusion_matrix(
            [2, 0, 2, 1], [2, 0, 1, 1], np.array([0, 1, 2]), False, None, None, None
        )
        ax = figures[0][0].axes[0]
        assert texts(ax) == ["1", "0", "0", "0", "1", "0", "0", "1", "1"]
        assert [t.get_text() for t in ax.get_xticklabels()] == ["0", "1", "2"]
        assert ax.get_title() == "Confusion matrix" and ax.get_ylabel() == "True label"

    def test_normalised_rows_and_text_labels(self, figures):
        report.plot_confusion_matrix(
            ["a", "a", "b", "b"],
            ["a", "b", "b", "b"],
            np.array(["a", "b", "c"]),
            True,
            "Mine",
            "viridis",
            None,
        )
        ax = figures[0][0].axes[0]
        assert texts(ax) == ["0.50", "0.50", "0.00", "0.00", "1.00", "0.00", "0.00", "0.00", "0.00"]
        assert ax.get_title() == "Mine" and [t.get_text() for t in ax.get_yticklabels()] == [
            "a",
            "b",
            "c",
        ]

    def test_class_names_on_both_axes(self, figures):
        names = {0: "Adelie", 1: "Chinstrap", 2: "Gentoo"}
        report.plot_confusion_matrix(
            [2, 0, 2, 1],
            [2, 0, 1, 1],
            np.array([0, 1, 2]),
            False,
            None,
            None,
            None,
            class_names=names,
        )
        ax = figures[0][0].axes[0]
        assert [t.get_text() for t in ax.get_xticklabels()] == list(names.values())
        assert [t.get_text() for t in ax.get_yticklabels()] == list(names.values())
        assert texts(ax) == ["1", "0", "0", "0", "1", "0", "0", "1", "1"]


def test_box_kde_trends_regression_content(figures):
    X = pd.DataFrame({"f": [1.0, 2.0, 3.0, 10.0, np.nan, 4.0], "t": [0, 0, 1, 1, 1, 0]})
    report.plot_box(X, X[["t"]], "f", "t", None)
    box = figures[-1][0].axes[0]
    assert [t.get_text() for t in box.get_xticklabels()] == ["0", "1"] and box.get_ylabel() == "f"
    assert legend(box) == ["median", "quartiles"]
    report.plot_kde(X, "f", None)
    assert sorted(legend(figures[-1][0].axes[0])) == ["density (KDE)", "histogram"]
    report.plot_trends(X["f"], X["t"], "f", "t", None)
    assert legend(figures[-1][0].axes[0]) == ["f", "t"]
    report.plot_regression_results([1.0, 2.0, 3.0], [1.0, 2.0, 4.0], "M", None)
    labels = legend(figures[-1][0].axes[0])
    assert labels[0].startswith("M (R² = 0.500, MAE = 0.333") and labels[1] == "ideal"
    with pytest.raises(ValueError):
        report.plot_box(X, [0, 1], "f", "t", None)
    with pytest.raises(ValueError):
        report.plot_kde(pd.DataFrame({"f": ["x"]}), "f", None)
    with pytest.raises(ValueError):
        report.plot_regression_results([1.0], [1.0, 2.0], "M", None)


def test_box_names_and_categorical_trend(figures):
    X = pd.DataFrame({"f": [1.0, 2.0, 3.0, 10.0, np.nan, 4.0], "t": [0, 0, 1, 2, 1, 0]})
    names = {0: "Adelie", 1: "Chinstrap", 2: "Gentoo"}
    report.plot_box(X, X["t"], "f", "t", None, class_names=names)
    box = figures[-1][0].axes[0]
    assert [t.get_text() for t in box.get_xticklabels()] == ["Adelie", "Chinstrap", "Gentoo"]

    # a categorical label: one point per row at its category, the axis labelled by name
    report.plot_trends(X["f"], X["t"], "f", "t", None, class_names=names)
    right = figures[-1][0].axes[1]
    assert [t.get_text() for t in right.get_yticklabels()] == ["Adelie", "Chinstrap", "Gentoo"]
    np.testing.assert_array_equal(right.get_yticks(), [0, 1, 2])
    line = right.get_lines()[0]
    assert line.get_linestyle() == "None" and line.get_marker() == "o"
    np.testing.assert_array_equal(line.get_ydata(), [0, 0, 1, 2, 1, 0])
    # texts are categories of their own, missing labels are no point
    labels = pd.Series(["b", "a", None, "b", "a", "a"])
    report.plot_trends(X["f"], labels, "f", "t", None)
    right = figures[-1][0].axes[1]
    assert [t.get_text() for t in right.get_yticklabels()] == ["a", "b"]
    np.testing.assert_array_equal(right.get_lines()[0].get_ydata(), [1, 0, np.nan, 1, 0, 0])
    # numbers without names stay a line
    report.plot_trends(X["f"], X["f"] * 2, "f", "g", None)
    assert figures[-1][0].axes[1].get_lines()[0].get_linestyle() == "-"


def test_files_and_display(tmp_path, monkeypatch):
    import matplotlib.pyplot as plt

    X = pd.DataFrame({"f": RNG.normal(size=50), "t": RNG.integers(0, 2, 50)})
    report.plot_kde(X, "f", str(tmp_path / "sub" / "kde.png"))
    report.plot_box(X, X["t"], "f", "t", str(tmp_path / "box"))  # no extension: PNG
    report.plot_trends(X["f"], X["t"], "f", "t", str(tmp_path / "trend.svg"))
    assert (tmp_path / "sub" / "kde.png").read_bytes()[:4] == b"\x89PNG"
    assert (tmp_path / "box").read_bytes()[:4] == b"\x89PNG"
    assert b"<svg" in (tmp_path / "trend.svg").read_bytes()[:400]
    plt.close("all")
    shown = []
    monkeypatch.setattr(plt, "show", lambda: shown.append(len(plt.get_fignums())))
    report.plot_kde(X, "f", None)
    assert shown == [1] and plt.get_fignums() == []
