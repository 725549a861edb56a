"""The package as built: exported symbols, import behaviour, signatures, TaskConfig."""

from __future__ import annotations

import glob
import inspect
import os
import subprocess
import sys

import pytest
import yaml

import orvalis

PACKAGE = os.path.dirname(orvalis.__file__)
SRC = os.path.dirname(PACKAGE)


def built_modules():
    return sorted(glob.glob(os.path.join(PACKAGE, "**", "*.so"), recursive=True))


@pytest.mark.parametrize("path", built_modules(), ids=os.path.basename)
def test_each_module_exports_only_its_init_function(path):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    name = os.path.basename(path).split(".")[0]
    assert symbols == [f"PyInit_{name}"]


def run_python(code, cwd=None):
    env = {**os.environ, "PYTHONPATH": SRC}
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=cwd
    )


def test_package_import_is_light_and_exposes_the_engine():
    code = (
        "import sys, orvalis\n"
        "heavy = [m for m in ('pandas', 'brevant', 'orvalis.orvalis', 'orvalis.tessaro',"
        " 'orvalis.vollix') if m in sys.modules]\n"
        "assert not heavy, heavy\n"
        "import brevant, orvalis.brevant\n"
        "assert orvalis.brevant is brevant is sys.modules['orvalis.brevant']\n"
        "assert brevant.__spec__.name == 'brevant'\n"
        "from module.common.task_config import TaskConfig\n"
        "print('ok')\n"
    )
    result = run_python(code)
    assert result.stdout.strip() == "ok", result.stderr


@pytest.mark.parametrize(
    "blocked", ["pandas", "numpy", "sklearn.decomposition", "scipy", "module.common.task_config"]
)
def test_a_missing_dependency_fails_the_import(blocked):
    code = (
        "import sys, orvalis\n"
        f"sys.modules[{blocked!r}] = None\n"
        "try:\n    import brevant\nexcept ImportError as e:\n    print('ImportError', e)\n"
    )
    result = run_python(code)
    assert result.stdout.startswith("ImportError"), result.stdout + result.stderr


def public_callables(module):
    for name in dir(module):
        obj = getattr(module, name)
        if (
            not name.startswith("_")
            and callable(obj)
            and getattr(obj, "__module__", None) in (None, module.__name__, "orvalis.brevant")
            and not inspect.isclass(obj)
        ):
            yield name, obj


def test_every_public_function_has_a_signature(brevant):
    names = []
    for name, fn in public_callables(brevant):
        if name in ("Counter", "KFold", "TruncatedSVD", "LabelEncoder", "TaskConfig"):
            continue
        sig = inspect.signature(fn)
        params = list(sig.parameters)
        assert params, name
        names.append(name)
    assert {"name2feature", "split_features", "add", "combine", "sigmoid"} <= set(names)
    sig = inspect.signature(brevant.name2feature)
    assert list(sig.parameters) == ["df", "feature_space", "lec_record_dt", "cfg"]
    assert sig.parameters["cfg"].default is None
    assert list(inspect.signature(brevant.combine).parameters) == ["df", "group_col1", "group_col2"]
    assert brevant.name2feature.__doc__.strip().endswith("主入口, 根据特征名称, 对特征进行处理")


def test_module_namespace_names(brevant):
    import numpy
    import pandas

    assert brevant.pd is pandas and brevant.np is numpy
    # the module's own operators shadow the general-purpose names
    assert brevant.round is not round and callable(brevant.round)
    assert brevant.log.__name__ == "log"


class TestTaskConfig:
    def test_defaults_before_anything_is_loaded(self):
        from module.common.task_config import TaskConfig

        assert TaskConfig().cfg == {"Feature": {}}
        assert TaskConfig().cfg["Feature"].get("GroupIndex", None) is None

    def test_loads_yaml_and_remembers_the_last_one(self, tmp_path):
        from module.common.task_config import TaskConfig

        first, second = tmp_path / "a.yaml", tmp_path / "b.yaml"
        first.write_text(yaml.safe_dump({"Feature": {"GroupIndex": "store"}}))
        second.write_text(
            "Feature:\n  GroupIndex: shop\n  TestSize: '0.3'\nAutoML:\n  Running: true\n"
        )
        assert TaskConfig(str(first)).cfg["Feature"]["GroupIndex"] == "store"
        cfg = TaskConfig(str(second)).cfg
        assert cfg == {
            "Feature": {"GroupIndex": "shop", "TestSize": "0.3"},
            "AutoML": {"Running": True},
        }
        assert TaskConfig().cfg is cfg

    def test_active_configuration_wins_while_its_block_runs(self, tmp_path):
        from module.common import task_config

        path = tmp_path / "c.yaml"
        path.write_text("Feature:\n  GroupIndex: g\n")
        task_config.TaskConfig(str(path))
        with task_config.active({"Feature": {"GroupIndex": "h"}}):
            assert task_config.TaskConfig().cfg["Feature"]["GroupIndex"] == "h"
            with task_config.active({"Feature": {}}):
                assert task_config.TaskConfig().cfg == {"Feature": {}}
        assert task_config.TaskConfig().cfg["Feature"]["GroupIndex"] == "g"

    def test_errors_propagate_unchanged(self, tmp_path):
        from module.common.task_config import TaskConfig

        with pytest.raises(FileNotFoundError):
            TaskConfig(str(tmp_path / "missing.yaml"))
        bad = tmp_path / "bad.yaml"
        bad.write_text("Feature: [unclosed\n")
        with pytest.raises(yaml.YAMLError):
            TaskConfig(str(bad))
        unsafe = tmp_path / "unsafe.yaml"
        unsafe.write_text("Feature: !!python/object/apply:os.system ['true']\n")
        with pytest.raises(yaml.YAMLError):
            TaskConfig(str(unsafe))
