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
