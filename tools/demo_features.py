"""The feature engine at work on a real table: scikit-learn's bundled iris measurements.

Every engineered feature below is re-created from its name alone by `name2feature`; the
grouped ones (rolling windows, group statistics) group by the species column, as a task whose
configuration names "species" as its "GroupIndex" would.
"""

from __future__ import annotations

import pandas as pd
from sklearn.datasets import load_iris

import orvalis  # noqa: F401  (puts the package folder on sys.path)
import brevant  # noqa: E402
from module.common import task_config  # noqa: E402

NAMES = [
    "add###sepal_length|||sepal_width$$$",
    "divide###petal_length|||petal_width$$$",
    "log###petal_length$$$",
    "square_root###add###sepal_length|||sepal_width$$$$$$",
    "sigmoid###sepal_width$$$",
    "percentile###petal_width$$$",
    "bigger###sepal_length|||petal_length$$$",
    "combine###species|||petal_width$$$",
    "count###petal_width$$$",
    "aggregate###mean|||petal_length|||species$$$",
    "crossrank###species|||sepal_length$$$",
    "ts_mean###sepal_length|||5$$$",
    "stddev###petal_width|||5$$$",
    "tcorrelation###sepal_length|||petal_length|||10$$$",
    "decay_linear###sepal_width|||3$$$",
]


def load_table() -> pd.DataFrame:
    iris = load_iris(as_frame=True)
    df = iris.frame.rename(
        columns={
            "sepal length (cm)": "sepal_length",
            "sepal width (cm)": "sepal_width",
            "petal length (cm)": "petal_length",
            "petal width (cm)": "petal_width",
        }
    )
    df["species"] = iris.target_names[iris.target]
    return df.drop(columns=["target"])


def main() -> None:
    df = load_table()
    print(f"iris: {len(df)} rows, columns {list(df.columns)}\n")
    record: dict = {}
    with task_config.active({"Feature": {"GroupIndex": "species"}}):
        df = brevant.name2feature(df, NAMES, record)
    new = [c for c in df.columns if c in NAMES]
    with pd.option_context(
        "display.width", 160, "display.max_columns", 6, "display.max_colwidth", 40
    ):
        for start in range(0, len(new), 3):
            print(df[new[start : start + 3]].head(8), "\n")
    print("record entries kept for later batches:", sorted(record))
    print("\nformulas:")
    with pd.option_context("display.width", 160, "display.max_colwidth", 80):
        print(brevant.feature2table(NAMES).to_string(index=False))


if __name__ == "__main__":
    main()
