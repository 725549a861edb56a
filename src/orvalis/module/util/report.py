"""Drawing functions of the platform: diagnostic charts of data and predictions.

Every function draws one chart. With a ``path`` the chart is written there as a PNG (or in the
format its file extension names) without needing a display, and the figure is closed; with
``path=None`` it is shown with ``matplotlib.pyplot.show``.

The charts of class labels take ``class_names``, a mapping from a label value (a class code, say)
to the name shown for it; labels it does not name are shown as they are. Given to
``plot_trends``, it also marks the label as categorical: drawn as categories, not as a line.
"""

from __future__ import annotations

import os
from typing import Any, Mapping, Optional

import matplotlib  # noqa: F401  (the figures themselves are imported when a chart is drawn)
import numpy as np
import pandas as pd

__all__ = [
    "plot_box",
    "plot_kde",
    "plot_trends",
    "plot_roc_curve",
    "plot_confusion_matrix",
    "plot_regression_results",
]

ROC_TYPES = ("both", "macro", "micro")


def _figure(path: Optional[str], size=(7.0, 5.0)):
    if path is None:
        import matplotlib.pyplot as plt

        fig = plt.figure(figsize=size)
    else:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure

        fig = Figure(figsize=size)
        FigureCanvasAgg(fig)
    return fig, fig.add_subplot(1, 1, 1)


def _finish(fig, path: Optional[str]) -> None:
    fig.tight_layout()
    if path is None:
        import matplotlib.pyplot as plt

        plt.show()
        plt.close(fig)
        return
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    known = os.path.splitext(path)[1].lstrip(".").lower() in fig.canvas.get_supported_filetypes()
    fig.savefig(path, format=None if known else "png", dpi=100)


def _name(value: Any, class_names: Optional[Mapping[Any, Any]]) -> str:
    """The text shown for a label value."""
    if class_names is not None:
        try:
            if value in class_names:
                return str(class_names[value])
        except TypeError:  # an unhashable value names nothing
            pass
    return str(value)


def _label_values(y: Any, target_name: str) -> pd.Series:
    if isinstance(y, pd.DataFrame):
        y = y[target_name] if target_name in y.columns else y.iloc[:, 0]
    return pd.Series(np.asarray(y).ravel(), name=target_name)


def plot_box(
    X: pd.DataFrame,
    y: Any,
    feature_name: str,
    target_name: str,
    path: Optional[str] = None,
    *,
    class_names: Optional[Mapping[Any, Any]] = None,
) -> None:
    """Box plot of the feature column of X, one box per label value of y (named by
    ``class_names``)."""
    values = pd.Series(np.asarray(X[feature_name]), name=feature_name)
    labels = _label_values(y, target_name)
    if len(values) != len(labels):
        raise ValueError(f"X has {len(values)} rows but the labels have {len(labels)}")
    groups = [
        (key, part.dropna().to_numpy())
        for key, part in values.groupby(labels.to_numpy(), sort=True)
    ]
    fig, ax = _figure(path)
    parts = ax.boxplot(
        [g for _, g in groups], tick_labels=[_name(k, class_names) for k, _ in groups]
    )
    if groups:
        ax.legend([parts["medians"][0], parts["boxes"][0]], ["median", "quartiles"], loc="best")
    ax.set_title(f"{feature_name} by {target_name}")
    ax.set_xlabel(target_name)
    ax.set_ylabel(feature_name)
    _finish(fig, path)


def plot_kde(X: pd.DataFrame, feature_name: str, path: Optional[str] = None) -> None:
    """Histogram and Gaussian kernel density estimate of one feature column of X."""
    from scipy.stats import gaussian_kde

    values = pd.to_numeric(pd.Series(X[feature_name]), errors="coerce").dropna().to_numpy(float)
    if len(values) == 0:
        raise ValueError(f"column {feature_name!r} has no numeric values to draw")
    fig, ax = _figure(path)
    ax.hist(
        values,
        bins=min(30, max(5, len(values) // 5)),
        density=True,
        alpha=0.35,
        color="tab:blue",
        label="histogram",
    )
    if len(values) > 1 and np.ptp(values) > 0:
        grid = np.linspace(values.min(), values.max(), 200)
        ax.plot(grid, gaussian_kde(values)(grid), color="tab:blue", label="density (KDE)")
    ax.set_title(f"Distribution of {feature_name}")
    ax.set_xlabel(feature_name)
    ax.set_ylabel("density")
    ax.legend()
    _finish(fig, path)


def _categories(label: np.ndarray, class_names: Optional[Mapping[Any, Any]]):
    """Each row's category position (NaN where the label is missing) and the names of the
    categories, the label values present in sorted order."""
    order = list(pd.unique(pd.Series(label, dtype=object).dropna()))
    try:
        order = sorted(order)
    except TypeError:  # labels of mixed types keep their order of appearance
        pass
    position = {v: k for k, v in enumerate(order)}
    rows = np.array(
        [position.get(v, np.nan) if not pd.isna(v) else np.nan for v in label], dtype=float
    )
    return rows, [_name(v, class_names) for v in order]


def plot_trends(
    feature: Any,
    label: Any,
    feature_name: str,
    target_name: str,
    path: Optional[str] = None,
    *,
    class_names: Optional[Mapping[Any, Any]] = None,
) -> None:
    """The feature and the label along the rows, each on its own vertical axis.

    A label of texts, or one given ``class_names``, is categorical: each row is a point at its
    category, and the axis is labelled with the categories' names.
    """
    feature = np.asarray(feature, dtype=float)
    label = np.asarray(label).ravel()
    categorical = class_names is not None or label.dtype.kind not in "iufb"
    fig, ax = _figure(path, size=(9.0, 4.5))
    rows = np.arange(len(feature))
    first = ax.plot(rows, feature, color="tab:blue", label=feature_name)
    ax.set_xlabel("row")
    ax.set_ylabel(feature_name)
    right = ax.twinx()
    if categorical:
        positions, names = _categories(label, class_names)
        second = right.plot(
            np.arange(len(label)),
            positions,
            color="tab:orange",
            linestyle="none",
            marker="o",
            markersize=4,
            label=target_name,
        )
        right.set_yticks(np.arange(len(names)), names)
        right.set_ylim(-0.5, max(len(names), 1) - 0.5)
    else:
        second = right.plot(
            np.arange(len(label)), label.astype(float), color="tab:orange", label=target_name
        )
    right.set_ylabel(target_name)
    ax.legend(first + second, [feature_name, target_name], loc="upper left")
    ax.set_title(f"{feature_name} and {target_name}")
    _finish(fig, path)


def _class_codes(y_true: np.ndarray, n_classes: int) -> np.ndarray:
    """Score-column positions of the labels: codes in range stay, other labels are ranked."""
    if y_true.dtype.kind in "iub" and (
        len(y_true) == 0 or (y_true.min() >= 0 and y_true.max() < n_classes)
    ):
        return y_true
    labels, codes = np.unique(y_true, return_inverse=True)
    if len(labels) != n_classes:
        raise ValueError(
            f"y_true holds {len(labels)} distinct labels that are not class codes "
            f"0 .. {n_classes - 1}; the labels cannot be matched to the {n_classes} score columns"
        )
    return codes.ravel()


_AVERAGES = {
    "both": "macro- and micro-average",
    "macro": "macro-average",
    "micro": "micro-average",
}


def plot_roc_curve(
    y_true: Any,
    y_score: Any,
    n_classes: int,
    roc_type: str = "both",
    path: Optional[str] = None,
    *,
    class_names: Optional[Mapping[Any, Any]] = None,
) -> None:
    """ROC curves with their areas: each class's curve (one class against the others; for two
    classes, the positive one), and the macro-averaged, micro-averaged or both ("both") curves.

    ``y_true`` holds class codes 0 .. n_classes-1, or any labels of exactly n_classes distinct
    values, which then stand for the score columns in their sorted order (the column order of a
    classifier's ``predict_proba``); ``y_score`` the class probabilities (one column per class;
    for two classes a single column of positive-class scores also works). ``class_names`` names
    the classes by their label values.
    """
    from sklearn.metrics import auc, roc_curve

    if roc_type not in ROC_TYPES:
        raise ValueError(f"roc_type must be one of {ROC_TYPES}, not {roc_type!r}")
    if n_classes < 2:
        raise ValueError("a ROC curve needs at least two classes")
    raw = np.asarray(y_true).ravel()
    y_true = _class_codes(raw, n_classes)
    # the label value of each score column
    labels = list(range(n_classes)) if y_true is raw else np.unique(raw).tolist()
    score = np.asarray(y_score, dtype=float)
    if score.ndim == 1:
        score = np.column_stack([1.0 - score, score])
    if score.shape != (len(y_true), n_classes):
        raise ValueError(f"y_score must have shape ({len(y_true)}, {n_classes}), not {score.shape}")
    onehot = (y_true[:, None] == np.arange(n_classes)[None, :]).astype(int)
    curves = {}
    for k in range(n_classes):
        if 0 < onehot[:, k].sum() < len(y_true):
            fpr, tpr, _ = roc_curve(onehot[:, k], score[:, k])
            curves[k] = (fpr, tpr)
    if not curves:
        raise ValueError("y_true must hold at least two of the classes")
    fig, ax = _figure(path, size=(6.0, 6.0))
    names = [_name(label, class_names) for label in labels]
    shown = [k for k in curves if n_classes > 2 or k == 1]
    for k in shown:
        fpr, tpr = curves[k]
        ax.plot(fpr, tpr, linewidth=1.0, alpha=0.8, label=f"{names[k]} (AUC = {auc(fpr, tpr):.3f})")
    if roc_type in ("both", "macro"):
        grid = np.unique(np.concatenate([fpr for fpr, _ in curves.values()]))
        mean_tpr = np.mean([np.interp(grid, fpr, tpr) for fpr, tpr in curves.values()], axis=0)
        ax.plot(
            grid,
            mean_tpr,
            color="black",
            linewidth=2.0,
            linestyle="-.",
            label=f"macro-average (AUC = {auc(grid, mean_tpr):.3f})",
        )
    if roc_type in ("both", "micro"):
        fpr, tpr, _ = roc_curve(onehot.ravel(), score.ravel())
        ax.plot(
            fpr,
            tpr,
            color="black",
            linewidth=2.0,
            linestyle=":",
            label=f"micro-average (AUC = {auc(fpr, tpr):.3f})",
        )
    ax.plot([0, 1], [0, 1], color="grey", linestyle="--", label="chance")
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1.02)
    ax.set_xlabel("False positive rate")
    ax.set_ylabel("True positive rate")
    if n_classes > 2:
        ax.set_title(f"ROC curves per class, {_AVERAGES[roc_type]}")
    else:
        ax.set_title(f"ROC curve of class {names[1]}, {_AVERAGES[roc_type]}")
    ax.legend(loc="lower right")
    _finish(fig, path)


def plot_confusion_matrix(
    y_true: Any,
    y_pred: Any,
    classes: Any,
    normalize: bool = False,
    title: Optional[str] = None,
    cmap: Any = None,
    path: Optional[str] = None,
    *,
    class_names: Optional[Mapping[Any, Any]] = None,
) -> None:
    """Confusion matrix over the given class labels; rows true, columns predicted; the labels
    are shown by their ``class_names``.

    With ``normalize`` each row is divided by its count (rows without samples stay 0).
    """
    from sklearn.metrics import confusion_matrix

    classes = np.asarray(classes).ravel()
    matrix = confusion_matrix(
        np.asarray(y_true).ravel(), np.asarray(y_pred).ravel(), labels=classes
    )
    if normalize:
        totals = matrix.sum(axis=1, keepdims=True)
        matrix = np.divide(matrix, totals, out=np.zeros(matrix.shape), where=totals > 0)
    if title is None:
        title = "Normalised confusion matrix" if normalize else "Confusion matrix"
    size = max(5.0, 0.6 * len(classes) + 3)
    fig, ax = _figure(path, size=(size, size))
    image = ax.imshow(matrix, interpolation="nearest", cmap=cmap if cmap is not None else "Blues")
    fig.colorbar(image, ax=ax, label="share of true class" if normalize else "count")
    ticks = np.arange(len(classes))
    names = [_name(c, class_names) for c in classes.tolist()]
    ax.set_xticks(ticks, names, rotation=45, ha="right")
    ax.set_yticks(ticks, names)
    threshold = (matrix.max() + matrix.min()) / 2.0 if matrix.size else 0
    for i in range(matrix.shape[0]):
        for j in range(matrix.shape[1]):
            text = f"{matrix[i, j]:.2f}" if normalize else f"{int(matrix[i, j])}"
            ax.text(
                j,
                i,
                text,
                ha="center",
                va="center",
                color="white" if matrix[i, j] > threshold else "black",
            )
    ax.set_xlabel("Predicted label")
    ax.set_ylabel("True label")
    ax.set_title(title)
    _finish(fig, path)


def plot_regression_results(
    y_true: Any, y_pred: Any, model_name: str = "Model", path: Optional[str] = None
) -> None:
    """Predicted against true values, with the identity line and the fit's R² and MAE."""
    from sklearn.metrics import mean_absolute_error, r2_score

    y_true = np.asarray(y_true, dtype=float).ravel()
    y_pred = np.asarray(y_pred, dtype=float).ravel()
    if len(y_true) != len(y_pred):
        raise ValueError(f"y_true has {len(y_true)} values but y_pred has {len(y_pred)}")
    fig, ax = _figure(path, size=(6.0, 6.0))
    r2 = r2_score(y_true, y_pred) if len(y_true) > 1 else float("nan")
    ax.scatter(
        y_true,
        y_pred,
        s=12,
        alpha=0.6,
        label=f"{model_name} (R² = {r2:.3f}, MAE = {mean_absolute_error(y_true, y_pred):.3g})",
    )
    low = float(min(y_true.min(), y_pred.min()))
    high = float(max(y_true.max(), y_pred.max()))
    ax.plot([low, high], [low, high], color="grey", linestyle="--", label="ideal")
    ax.set_xlabel("True value")
    ax.set_ylabel("Predicted value")
    ax.set_title(f"{model_name}: predicted against true values")
    ax.legend(loc="upper left")
    _finish(fig, path)
