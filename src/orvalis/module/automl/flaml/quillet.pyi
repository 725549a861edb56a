from typing import Any

def custom_metric_classification(
    X_val: Any,
    y_val: Any,
    estimator: Any,
    labels: Any,
    X_train: Any,
    y_train: Any,
    weight_val: Any = None,
    weight_train: Any = None,
    *args: Any,
) -> tuple[Any, dict[str, Any]]: ...
def custom_metric_regression(
    X_val: Any,
    y_val: Any,
    estimator: Any,
    labels: Any,
    X_train: Any,
    y_train: Any,
    weight_val: Any = None,
    weight_train: Any = None,
    *args: Any,
) -> tuple[Any, dict[str, Any]]: ...
