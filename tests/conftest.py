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
    """Every test starts with no configuration loaded (no grouping column)."""
    from module.common import task_config

    saved = (task_config._loaded, list(task_config._active))
    task_config._loaded = None
    task_config._active.clear()
    yield
    task_config._loaded, task_config._active[:] = saved[0], saved[1]


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
