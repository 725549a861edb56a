"""Drawing functions of the platform: diagnostic charts of data and predictions.

Every function draws one chart. With a ``path`` the chart is written there as a PNG (or in the
format its file extension names) without needing a display, and the figure is closed; with
``path=None`` it is shown with ``matplotlib.pyplot.show``.
"""

from __future__ import annotations

import os
from typing import Any, Optional

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

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


def _label_values(y: Any, target_name: str) -> pd.Series:
    if isinstance(y, pd.DataFrame):
        y = y[target_name] if target_name in y.columns else y.iloc[:, 0]
    return pd.Series(np.asarray(y).ravel(), name=target_name)


def plot_box(
    X: pd.DataFrame, y: Any, feature_name: str, target_name: str, path: Optional[str] = None
) -> None:
    """Box plot of the feature column of X, one box per label value of y."""
    values = pd.Series(np.asarray(X[feature_name]), name=feature_name)
    labels = _label_values(y, target_name)
    if len(values) != len(labels):
        raise ValueError(f"X has {len(values)} rows but the labels have {len(labels)}")
    groups = [
        (key, part.dropna().to_numpy())
        for key, part in values.groupby(labels.to_numpy(), sort=True)
    ]
    fig, ax = _figure(path)
    parts = ax.boxplot([g for _, g in groups], tick_labels=[str(k) for k, _ in groups])
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


def plot_trends(
    feature: Any, label: Any, feature_name: str, target_name: str, path: Optional[str] = None
) -> None:
    """The feature and the label along the rows, each on its own vertical axis."""
    feature = np.asarray(feature, dtype=float)
    label = np.asarray(label, dtype=float)
    fig, ax = _figure(path, size=(9.0, 4.5))
    rows = np.arange(len(feature))
    first = ax.plot(rows, feature, color="tab:blue", label=feature_name)
    ax.set_xlabel("row")
    ax.set_ylabel(feature_name)
    right = ax.twinx()
    second = right.plot(np.arange(len(label)), label, color="tab:orange", label=target_name)
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


def plot_roc_curve(
    y_true: Any, y_score: Any, n_classes: int, roc_type: str = "both", path: Optional[str] = None
) -> None:
    """ROC curves with their areas: macro-averaged, micro-averaged or both ("both").

    ``y_true`` holds class codes 0 .. n_classes-1, or any labels of exactly n_classes distinct
    values, which then stand for the score columns in their sorted order (the column order of a
    classifier's ``predict_proba``); ``y_score`` the class probabilities (one column per class;
    for two classes a single column of positive-class scores also works).
    """
    from sklearn.metrics import auc, roc_curve

    if roc_type not in ROC_TYPES:
        raise ValueError(f"roc_type must be one of {ROC_TYPES}, not {roc_type!r}")
    if n_classes < 2:
        raise ValueError("a ROC curve needs at least two classes")
    y_true = _class_codes(np.asarray(y_true).ravel(), n_classes)
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
    if roc_type in ("both", "macro"):
        grid = np.unique(np.concatenate([fpr for fpr, _ in curves.values()]))
        mean_tpr = np.mean([np.interp(grid, fpr, tpr) for fpr, tpr in curves.values()], axis=0)
        ax.plot(
            grid,
            mean_tpr,
            color="tab:blue",
            label=f"macro-average (AUC = {auc(grid, mean_tpr):.3f})",
        )
    if roc_type in ("both", "micro"):
        fpr, tpr, _ = roc_curve(onehot.ravel(), score.ravel())
        ax.plot(fpr, tpr, color="tab:orange", label=f"micro-average (AUC = {auc(fpr, tpr):.3f})")
    ax.plot([0, 1], [0, 1], color="grey", linestyle="--", label="chance")
    ax.set_xlim(0, 1)
    ax.set_ylim(0, 1.02)
    ax.set_xlabel("False positive rate")
    ax.set_ylabel("True positive rate")
    ax.set_title(f"ROC curve ({roc_type})")
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
) -> None:
    """Confusion matrix over the given class labels; rows true, columns predicted.

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
    ax.set_xticks(ticks, [str(c) for c in classes], rotation=45, ha="right")
    ax.set_yticks(ticks, [str(c) for c in classes])
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
