"""Drawing functions of the platform: diagnostic charts of data and predictions."""


def _not_yet(*args, **kwargs):
    raise NotImplementedError("charts are not available yet")


plot_box = plot_kde = plot_trends = plot_roc_curve = _not_yet
plot_confusion_matrix = plot_regression_results = _not_yet
