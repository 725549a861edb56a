"""Shared fixtures: the package folder on sys.path, the feature engine, clean task settings."""

from __future__ import annotations

import os
import sys

import pytest

import orvalis  # noqa: F401  (puts the package folder on sys.path)


@pytest.fixture(scope="session")
def brevant():
    import brevant as module

    return module


@pytest.fixture(autouse=True)
def _fresh_task_config():
    """Every test starts with no configuration loaded or active (no grouping column)."""
    from module.common import task_config

    saved = task_config._loaded
    task_config._loaded = None
    token = task_config._active.set(None)
    yield
    task_config._active.reset(token)
    task_config._loaded = saved


def pytest_ignore_collect(collection_path, config):
    # The release tools run when imported; nothing here may import them by accident.
    name = os.path.basename(str(collection_path))
    return name.startswith(("tessaro", "vollix"))


REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True


# --- result folders built by the training-side tool, once per session -----------------------


class SampleFolder:
    """A result folder and the tables it was built from."""

    def __init__(self, path: str, task: dict) -> None:
        self.path = path
        self.task = task
        self.train = task["train"]  # CSV of the training rows
        self.holdout = task["holdout"]  # CSV of rows the model never saw
        self.target = task["TargetName"]


def tool():
    sys.path.insert(0, os.path.join(REPO, "tools"))
    try:
        import make_result_folder
    finally:
        sys.path.pop(0)
    return make_result_folder


@pytest.fixture(scope="session")
def sample_tasks(tmp_path_factory):
    return tool().sample_tables(str(tmp_path_factory.mktemp("tables")))


@pytest.fixture(scope="session")
def sample_folders(tmp_path_factory, sample_tasks):
    """penguins (multi-class, text categories, missing values), breast_cancer (binary, blanks in
    column names, identifier column), grunfeld (regression panel grouped by firm, time column),
    each with a real FLAML search; penguins_plain with a plain scikit-learn estimator."""
    from module.common import task_config

    build = tool().build_result_folder
    root = tmp_path_factory.mktemp("results")
    variants = {
        "penguins": sample_tasks["penguins"],
        "breast_cancer": sample_tasks["breast_cancer"],
        "grunfeld": sample_tasks["grunfeld"],
        "penguins_plain": {**sample_tasks["penguins"], "automl": False},
    }
    folders = {}
    saved = task_config._loaded
    for name, task in variants.items():
        task = {**task, "time_budget": 2}
        folders[name] = SampleFolder(build(task["train"], task, str(root / name)), task)
    task_config._loaded = saved
    return folders


def int_code_training(process):
    """The training tool's table processing, but with the text columns replaced by integer
    codes (a column of its own, int64) before anything else, as a whole-column assignment gave
    them under pandas before 2.0; the encoders land in the record as usual."""
    import pandas as pd

    from orvalis.module.dataprocess.strendal import LabelEncoderWithOOV

    def run(df, task, cfg, record):
        df = df.copy()
        df.columns = [name.strip() for name in df.columns.tolist()]
        for col, dtype in zip(df.columns.tolist(), df.dtypes.tolist()):
            if (dtype == "object" or dtype == "datetime64[ns]") and col != task.get("TimeIndex"):
                encoder = LabelEncoderWithOOV()
                text = df[col].fillna("na").astype(str)
                encoder.fit(text)
                record[col] = encoder
                df[col] = pd.Series(encoder.transform(text), index=df.index, dtype="int64")
        return process(df, task, cfg, record)

    return run


@pytest.fixture(scope="session")
def int_code_folders(tmp_path_factory, sample_tasks):
    """penguins and grunfeld trained on integer-typed codes (the sample folders hold
    object-typed ones)."""
    from module.common import task_config

    module = tool()
    root = tmp_path_factory.mktemp("int_codes")
    original = module.process_training_table
    module.process_training_table = int_code_training(original)
    saved = task_config._loaded
    try:
        folders = {}
        for name in ("penguins", "grunfeld"):
            task = {**sample_tasks[name], "time_budget": 2}
            path = module.build_result_folder(task["train"], task, str(root / name))
            folders[name] = SampleFolder(path, task)
    finally:
        module.process_training_table = original
        task_config._loaded = saved
    return folders


# Estimator families the training tool trains, and the kinds of task each is built for.
FAMILIES = ["lgbm", "rf", "extra_tree", "xgboost"]
TASK_KINDS = ["binary", "binary_text", "multiclass", "multiclass_text", "regression", "dates"]


@pytest.fixture(scope="session")
def family_folder(tmp_path_factory, sample_tasks):
    """family_folder(family, kind): a result folder whose search tried only `family`, built on
    first use (a few trials each). Kinds: binary and multiclass with integer-coded labels,
    binary_text and multiclass_text with the labels' texts, regression, and dates (the
    regression panel with its time column among the model inputs, as datetime)."""
    import pandas as pd

    from module.common import task_config

    root = tmp_path_factory.mktemp("families")
    tasks = dict(sample_tasks)
    # the binary table with text labels: its 0/1 target as the texts the label codes stood for
    cancer = tasks["breast_cancer"]
    names = {0: "malignant", 1: "benign"}
    text_task = {**cancer}
    for part in ("train", "holdout"):
        frame = pd.read_csv(cancer[part])
        frame[cancer["TargetName"]] = frame[cancer["TargetName"]].map(names)
        text_task[part] = str(root / f"breast_cancer_text_{part}.csv")
        frame.to_csv(text_task[part], index=False)
    kinds = {
        "binary": tasks["breast_cancer"],
        "binary_text": {**text_task, "label_codes": False},
        "multiclass": tasks["penguins"],
        "multiclass_text": {**tasks["penguins"], "label_codes": False},
        "regression": tasks["grunfeld"],
        "dates": {**tasks["grunfeld"], "time_input": True},
    }
    built: dict = {}

    def get(family: str, kind: str) -> SampleFolder:
        if (family, kind) not in built:
            task = {**kinds[kind], "estimators": [family], "max_iter": 3, "time_budget": 10}
            saved = task_config._loaded
            try:
                out = str(root / f"{family}_{kind}")
                path = tool().build_result_folder(task["train"], task, out)
            finally:
                task_config._loaded = saved
            built[family, kind] = SampleFolder(path, task)
        return built[family, kind]

    return get


@pytest.fixture(scope="session")
def sixty_feature_folder(tmp_path_factory):
    """A result folder of the 60 mixed engineered features of every family (nested ones, grouped
    windows over a text series key, group statistics over text and integer keys), as the
    prediction benchmark builds it but smaller, and held-out rows of the same shape."""
    import pandas_formulation as ref
    from module.common import task_config

    train, holdout, task = ref.sixty_feature_run(3_000, 2_700, 40, time_budget=2)
    saved = task_config._loaded
    path = tool().build_result_folder(train, task, str(tmp_path_factory.mktemp("sixty") / "run"))
    task_config._loaded = saved
    return path, holdout
