"""Training side of the platform, for development: build a result folder from a CSV table.

    python tools/make_result_folder.py TABLE.csv TASK.yaml OUT_FOLDER

TASK.yaml describes the task: the keys of the "Feature" section of config.yaml (TargetName,
TaskType, FeatureName, id_index, TimeIndex, GroupIndex, IgnoreFeature, SplitType, TestSize,
RandomSeed), plus

    features:    engineered feature names (default: none)
    automl:      true for a FLAML search (default), false for a plain scikit-learn estimator
                 (with a TimeIndex, a pipeline whose first step drops the time column)
    time_budget: seconds for the search (default 3)
    max_iter:    at most this many trials of the search (default: as many as the budget allows)
    estimators:  FLAML estimator names (default lgbm, rf, extra_tree; xgboost and
                 xgb_limitdepth train too)
    label_codes: false to give the search the label's own values (texts stay texts) instead
                 of the codes of a label encoder fitted on them (default true)
    time_input:  true to give the search the time column too, as a datetime column (default
                 false: the time column only orders the rows)

The folder gets config.yaml, autofe/labelencoder.pkl, autofe/result, automl/result and
automl/val_res (the raw validation rows with the model's predictions "ypred"). The training
table goes through the same steps as inference: names stripped, text columns label-encoded
("na" for missing values), blanks in names replaced by underscores, engineered features built
with name2feature (which fills the incremental record), identifier and ignored columns dropped,
the time column converted to datetime.

The tool uses the orvalis package this interpreter finds (installed, or on PYTHONPATH); only when
there is none does it fall back on the checkout's src/ tree, once `make build` has built it.

`sample_tables(folder)` writes the sample tables shipped by PyPI packages as CSV files (each
split into a training and a held-out part) and returns their task descriptions.
"""

from __future__ import annotations

import json
import os
import pickle
import sys
import warnings
from typing import Any

import numpy as np
import pandas as pd
import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(HERE), "src")


def _find_package() -> None:
    """Use the orvalis that this interpreter finds (an installed package, or the checkout's src/
    on PYTHONPATH); only when it finds none, the checkout's src/ once its modules are built."""
    import glob
    import importlib.util

    if importlib.util.find_spec("orvalis") is not None:
        return
    if not glob.glob(os.path.join(SRC, "orvalis", "brevant*.so")):
        raise ImportError(
            f"orvalis is not installed in {sys.executable} and its source tree {SRC} has no "
            "built modules: run `pip install .` or `make build` first"
        )
    sys.path.insert(0, SRC)


_find_package()

import orvalis  # noqa: E402,F401  (puts the package folder on sys.path)
from module.common import task_config  # noqa: E402
from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV  # noqa: E402

FEATURE_KEYS = (
    "TargetName",
    "FeatureName",
    "TaskType",
    "id_index",
    "TimeIndex",
    "IgnoreFeature",
    "GroupIndex",
    "SplitType",
    "RandomSeed",
    "TestSize",
)


def config_of(task: dict[str, Any]) -> dict[str, Any]:
    feature = {key: task[key] for key in FEATURE_KEYS if key in task}
    return {
        "Feature": feature,
        "AutoFE": {"Running": bool(task.get("features"))},
        "AutoML": {"Running": bool(task.get("automl", True))},
    }


def process_training_table(
    df: pd.DataFrame, task: dict[str, Any], cfg: dict[str, Any], record: dict[str, Any]
) -> pd.DataFrame:
    """The training table in the model's input form; fits the encoders into `record`."""
    import brevant

    df = df.copy()
    df.columns = [name.strip() for name in df.columns.tolist()]
    time_index = task.get("TimeIndex")
    # with label_codes false the label keeps its values: no encoder is fitted for it
    uncoded = None if task.get("label_codes", True) else task["TargetName"]
    for col, dtype in zip(df.columns.tolist(), df.dtypes.tolist()):
        if (dtype == "object" or dtype == "datetime64[ns]") and col not in (time_index, uncoded):
            encoder = LabelEncoderWithOOV()
            text = df.loc[:, col].fillna("na").astype(str)
            encoder.fit(text)
            record[col] = encoder
            df.loc[:, col] = encoder.transform(text)
    df.columns = [name.replace(" ", "_") for name in df.columns.tolist()]
    with task_config.active(cfg):
        df = brevant.name2feature(df, list(task.get("features", [])), record)
    if task.get("id_index") in df.columns:
        df = df.drop(columns=[task["id_index"]])
    for col in task.get("IgnoreFeature", []) or []:
        if col in df.columns and col != time_index and col != task.get("GroupIndex"):
            df = df.drop(columns=[col])
    if time_index is not None:
        df[time_index] = pd.to_datetime(df[time_index])
    return df


def split_rows(y: pd.Series, task: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    """Row positions of the training and validation parts, by the task's split method."""
    from sklearn.model_selection import train_test_split

    positions = np.arange(len(y))
    test_size = float(task.get("TestSize", 0.25))
    seed = task.get("RandomSeed", 1024)
    kind = task.get("SplitType", "stratified")
    if kind == "time":
        cut = int(len(y) * (1 - test_size))
        return positions[:cut], positions[cut:]
    strata = None
    if kind == "stratified":
        strata = (
            y
            if task["TaskType"] == "classification"
            else pd.qcut(y.rank(method="first"), q=2, labels=False)
        )
    train, val = train_test_split(
        positions, test_size=test_size, random_state=seed, stratify=strata
    )
    return np.sort(train), np.sort(val)


def build_result_folder(table: str | pd.DataFrame, task: dict[str, Any], out: str) -> str:
    raw = pd.read_csv(table) if isinstance(table, str) else table.copy()
    cfg = config_of(task)
    record: dict[str, Any] = {}
    df = process_training_table(raw, task, cfg, record)
    target = task["TargetName"]
    classification = task["TaskType"] == "classification"
    if task.get("label_codes", True):
        y = df[target].astype(int if classification else float)
    else:
        y = df[target]
    # the time column orders the rows (rolling windows); a model input only with time_input
    time_index = task.get("TimeIndex")
    dropped = [target] if task.get("time_input") else [target, time_index]
    X = df.drop(columns=[c for c in dropped if c is not None])
    train, val = split_rows(y, task)
    seed = int(task.get("RandomSeed", 1024))

    if task.get("automl", True):
        from flaml.automl import AutoML

        model = AutoML()
        with warnings.catch_warnings():  # the search's own pandas deprecation notes
            warnings.simplefilter("ignore")
            model.fit(
                X.iloc[train],
                y.iloc[train],
                X_val=X.iloc[val],
                y_val=y.iloc[val],
                task=task["TaskType"],
                time_budget=float(task.get("time_budget", 3)),
                max_iter=task.get("max_iter"),
                estimator_list=list(task.get("estimators", ["lgbm", "rf", "extra_tree"])),
                n_jobs=1,
                seed=seed,
                verbose=0,
                log_file_name="",
                # keeps the training rows that the inference side reads back
                keep_search_state=True,
            )
            ypred = model.predict(X.iloc[val])
    else:
        from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor

        estimator = (
            HistGradientBoostingClassifier if classification else HistGradientBoostingRegressor
        )
        model = estimator(max_iter=60, random_state=seed)
        X = X.astype(float)
        if time_index is not None:
            # Prediction hands the model the preprocessed frame, time column included: a first
            # step drops it, so the estimator sees the columns it was fitted on.
            from sklearn.compose import ColumnTransformer
            from sklearn.pipeline import Pipeline

            X = df.drop(columns=[target]).astype({c: float for c in X.columns})
            drop_time = ColumnTransformer(
                [("time", "drop", [time_index])],
                remainder="passthrough",
                verbose_feature_names_out=False,
            ).set_output(transform="pandas")  # the estimator knows its columns by name
            model = Pipeline([("drop_time", drop_time), ("model", model)])
        model.fit(X.iloc[train], y.iloc[train])
        ypred = model.predict(X.iloc[val])

    os.makedirs(os.path.join(out, "autofe"), exist_ok=True)
    os.makedirs(os.path.join(out, "automl"), exist_ok=True)
    with open(os.path.join(out, "config.yaml"), "w", encoding="utf-8") as f:
        yaml.safe_dump(cfg, f, allow_unicode=True, sort_keys=False)
    with open(os.path.join(out, "autofe", "labelencoder.pkl"), "wb") as f:
        pickle.dump(record, f)
    with open(os.path.join(out, "autofe", "result"), "w", encoding="utf-8") as f:
        json.dump({"combination_features": list(task.get("features", []))}, f)
    with open(os.path.join(out, "automl", "result"), "wb") as f:
        pickle.dump(model, f)
    val_rows = raw.iloc[val].copy()
    val_rows["ypred"] = ypred
    val_rows.to_csv(os.path.join(out, "automl", "val_res"), index=False)
    return out


# --- sample tables shipped by PyPI packages --------------------------------------------------


def grunfeld_features() -> list[str]:
    """Engineered features of the investment panel: element-wise ones, grouped rolling windows
    (per firm) and group statistics."""
    return [
        "log###value$$$",
        "divide###value|||capital$$$",
        "add###value|||capital$$$",
        "ts_mean###value|||3$$$",
        "delay###capital|||1$$$",
        "aggregate###mean|||value|||firm$$$",
        "count###firm$$$",
    ]


def sample_tables(folder: str) -> dict[str, dict[str, Any]]:
    """Write the sample tables as <name>_train.csv and <name>_holdout.csv into `folder`; return
    the task description of each, with "train" and "holdout" naming the files."""
    import palmerpenguins
    import statsmodels.api as sm
    from sklearn.datasets import load_breast_cancer

    os.makedirs(folder, exist_ok=True)
    tables: dict[str, tuple[pd.DataFrame, dict[str, Any]]] = {}

    # multi-class, text categories with missing values
    penguins = palmerpenguins.load_penguins()
    tables["penguins"] = (
        penguins,
        {
            "TargetName": "species",
            "TaskType": "classification",
            "FeatureName": [c for c in penguins.columns if c != "species"],
            "IgnoreFeature": ["year"],
            "SplitType": "stratified",
            "TestSize": 0.25,
            "RandomSeed": 1024,
            "features": [
                "divide###body_mass_g|||flipper_length_mm$$$",
                "add###bill_length_mm|||bill_depth_mm$$$",
                "log###body_mass_g$$$",
                "combine###island|||sex$$$",
            ],
        },
    )
    # binary; column names with blanks
    cancer = load_breast_cancer(as_frame=True).frame
    cancer.insert(0, "sample id", np.arange(len(cancer)) + 1000)
    cols = cancer.columns.tolist()
    tables["breast_cancer"] = (
        cancer,
        {
            "TargetName": "target",
            "TaskType": "classification",
            "FeatureName": [c for c in cols if c != "target"],
            "id_index": "sample_id",
            "SplitType": "random",
            "TestSize": 0.25,
            "RandomSeed": 7,
            "features": [
                "divide###mean_area|||mean_perimeter$$$",
                "multiply###worst_radius|||worst_texture$$$",
            ],
        },
    )
    # regression time series: 11 firms x 20 years, grouped by firm
    grunfeld = sm.datasets.grunfeld.load_pandas().data
    grunfeld["year"] = grunfeld["year"].astype(int).astype(str) + "-12-31"
    # rows in time order (firms interleaved), so a split by row order is a split in time
    grunfeld = grunfeld.sort_values(["year", "firm"], kind="stable").reset_index(drop=True)
    tables["grunfeld"] = (
        grunfeld,
        {
            "TargetName": "invest",
            "TaskType": "regression",
            "FeatureName": ["value", "capital", "firm", "year"],
            "TimeIndex": "year",
            "GroupIndex": "firm",
            "SplitType": "time",
            "TestSize": 0.2,
            "RandomSeed": 1024,
            "features": grunfeld_features(),
        },
    )

    tasks = {}
    for name, (df, task) in tables.items():
        group = task.get("GroupIndex")
        if group:  # the last years of every firm are held out
            last = df.groupby(group).cumcount(ascending=False) < 3
        else:
            last = pd.Series(np.random.default_rng(0).random(len(df)) < 0.15, index=df.index)
        train_path = os.path.join(folder, f"{name}_train.csv")
        holdout_path = os.path.join(folder, f"{name}_holdout.csv")
        df[~last].to_csv(train_path, index=False)
        df[last].to_csv(holdout_path, index=False)
        tasks[name] = {**task, "train": train_path, "holdout": holdout_path}
    return tasks


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        task = yaml.safe_load(f)
    print(build_result_folder(argv[0], task, argv[2]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
