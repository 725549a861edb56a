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
    "blocked", ["pandas", "numpy", "sklearn", "scipy", "module.common.task_config"]
)
def test_a_missing_dependency_fails_the_import(blocked):
    code = (
        "import sys, orvalis\n"
        f"sys.modules[{blocked!r}] = None\n"
        "try:\n    import brevant\nexcept ImportError as e:\n    print('ImportError', e)\n"
    )
    result = run_python(code)
    assert result.stdout.startswith("ImportError"), result.stdout + result.stderr


def test_heavy_modules_are_imported_on_first_use():
    code = (
        "import sys\n"
        "from orvalis import marqolin\n"
        "import brevant, orvalis.orvalis as api\n"
        "heavy = ('sklearn', 'scipy.stats', 'matplotlib.pyplot', 'matplotlib.figure', 'flaml')\n"
        "print(sorted(m for m in heavy if m in sys.modules))\n"
        "import matplotlib.pyplot, scipy.stats, sklearn.model_selection, sklearn.decomposition\n"
        "import sklearn.preprocessing\n"
        "assert api.plt is matplotlib.pyplot and brevant.stats is scipy.stats\n"
        "assert brevant.KFold is sklearn.model_selection.KFold\n"
        "assert brevant.TruncatedSVD is sklearn.decomposition.TruncatedSVD\n"
        "assert brevant.LabelEncoder is sklearn.preprocessing.LabelEncoder\n"
        "try:\n    brevant.no_such_name\nexcept AttributeError as e:\n    print(e)\n"
    )
    result = run_python(code)
    assert result.stdout.splitlines() == [
        "[]",
        "module 'brevant' has no attribute 'no_such_name'",
    ], result.stderr


def test_version_on_the_command_line():
    import tomllib

    with open(os.path.join(os.path.dirname(SRC), "pyproject.toml"), "rb") as f:
        assert tomllib.load(f)["project"]["version"] == orvalis.__version__
    result = subprocess.run(
        [sys.executable, "-c", "import sys\nfrom orvalis.cli import main\nsys.exit(main())",
         "--version"],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": SRC},
    )
    assert (result.returncode, result.stdout) == (0, f"orvalis {orvalis.__version__}\n")


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


# --- one module object per platform layer, under both names ----------------------------------

LAYERS = [
    "module",
    "module.common",
    "module.common.task_config",
    "module.util",
    "module.util.report",
    "module.automl.flaml",
    "module.dataprocess.strendal",
    "module.automl.flaml.quillet",
]


@pytest.mark.parametrize("first", ["short", "long"])
def test_each_platform_layer_is_one_module_under_both_names(first):
    code = (
        "import importlib, sys, orvalis\n"
        f"layers = {LAYERS!r}\n"
        f"order = ['', 'orvalis.'] if {first!r} == 'short' else ['orvalis.', '']\n"
        "for name in layers:\n"
        "    a = importlib.import_module(order[0] + name)\n"
        "    b = importlib.import_module(order[1] + name)\n"
        "    assert a is b, name\n"
        "    assert a.__spec__.name == 'orvalis.' + name, (name, a.__spec__.name)\n"
        "from orvalis import marqolin\n"
        "import orvalis.orvalis as api, brevant\n"
        "from orvalis.module.common import task_config\n"
        "assert api.TaskConfig is brevant.TaskConfig is task_config.TaskConfig\n"
        "print('ok')\n"
    )
    result = run_python(code)
    assert result.stdout.strip() == "ok", result.stderr


def test_a_configuration_made_active_by_the_long_name_reaches_the_feature_engine():
    """A one-row lag grouped by the active configuration's group column must not leak across
    groups, whichever name the configuration was activated through."""
    code = (
        "import pandas as pd, orvalis, brevant\n"
        "from orvalis.module.common import task_config\n"
        "df = pd.DataFrame({'g': [1, 2, 1, 2], 'v': [1.0, 2.0, 3.0, 4.0]})\n"
        "with task_config.active({'Feature': {'GroupIndex': 'g'}}):\n"
        "    out = brevant.name2feature(df.copy(), ['delay###v|||1$$$'], {})\n"
        "print(out['delay###v|||1$$$'].tolist())\n"
    )
    result = run_python(code)
    assert result.stdout.strip() == "[nan, nan, 1.0, 2.0]", result.stdout + result.stderr


@pytest.mark.parametrize("subfolders", [[], ["util"]], ids=["plain", "with-own-util"])
def test_a_users_own_module_folder_keeps_working_beside_the_package(tmp_path, subfolders):
    own = tmp_path / "module"
    own.mkdir()
    (own / "__init__.py").write_text("NAME = 'mine'\n")
    for sub in subfolders:
        (own / sub).mkdir()
        (own / sub / "__init__.py").write_text("NAME = 'mine too'\n")
    check_util = "import module.util; assert module.util.NAME == 'mine too'\n" if subfolders else ""
    code = (
        "from orvalis import marqolin\n"
        "import module, orvalis.module.common.task_config as ours\n"
        "assert module.NAME == 'mine'\n"
        "import module.common.task_config as short\n"
        "assert short is ours\n" + check_util + "print('ok')\n"
    )
    result = run_python(code, cwd=str(tmp_path))
    assert result.stdout.strip() == "ok", result.stderr


# --- a failing import raises the module body's own error --------------------------------------


@pytest.mark.parametrize(
    "module, blocked",
    [
        ("brevant", "sklearn"),
        ("orvalis.brevant", "module.common.task_config"),
        ("orvalis.orvalis", "matplotlib"),
        ("orvalis.orvalis", "module.util.report"),
        ("orvalis.module.dataprocess.strendal", "sklearn.preprocessing"),
        ("orvalis.module.dataprocess.strendal", "numpy"),
    ],
)
def test_a_failing_import_raises_the_module_bodys_own_error(module, blocked):
    code = (
        "import sys, orvalis\n"
        f"sys.modules[{blocked!r}] = None\n"
        "try:\n"
        f"    import {module}\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, getattr(e, 'name', None), e.__cause__ is None, str(e))\n"
    )
    result = run_python(code)
    kind, name, no_cause, text = result.stdout.strip().split(" ", 3)
    assert (kind, name, no_cause) == ("ModuleNotFoundError", blocked, "True"), result.stdout
    assert "initialization failed" not in text


@pytest.mark.parametrize("tool", ["vollix", "tessaro"])
def test_a_release_tool_that_fails_raises_its_own_error(tmp_path, tool):
    # a file where the tool expects a build folder: its own error, not a wrapped ImportError
    (tmp_path / "build").write_text("not a folder")
    # the tools run only in the package's source folder: make tmp_path look like one
    (tmp_path / "setup.py").write_text("")
    (tmp_path / "pyproject.toml").write_text('[project]\nname = "orvalis"\n')
    code = (
        "import orvalis\n"
        "try:\n"
        f"    import orvalis.{tool}\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, e.__cause__ is None, str(e))\n"
    )
    result = run_python(code, cwd=str(tmp_path))
    out = result.stdout.strip().splitlines()[-1]
    assert "initialization failed" not in out and not out.startswith("ImportError"), out
    assert " True " in out


# --- the package face: version, names, stubs, help ---------------------------------------------


def test_version_matches_the_project_metadata():
    import tomllib

    with open(os.path.join(os.path.dirname(SRC), "pyproject.toml"), "rb") as f:
        assert orvalis.__version__ == tomllib.load(f)["project"]["version"]


def test_dir_shows_the_public_names_and_never_the_release_tools():
    code = (
        "import orvalis\n"
        "from orvalis import marqolin\n"
        "import orvalis.module.common.task_config\n"
        "print(sorted(n for n in dir(orvalis) if not n.startswith('_')))\n"
    )
    result = run_python(code)
    assert result.stdout.strip() == (
        "['brevant', 'frozen_statistics', 'load_dataset', 'marqolin']"
    ), result.stderr


def test_editor_completion_knows_the_public_names(tmp_path):
    jedi = pytest.importorskip("jedi")
    project = jedi.Project(str(tmp_path), sys_path=[SRC], smart_sys_path=False)
    names = {
        c.name
        for c in jedi.Script("import orvalis\norvalis.", project=project).complete(2, 8)
    }
    assert {"marqolin", "load_dataset", "brevant", "__version__"} <= names
    script = "from orvalis import marqolin\nm = marqolin('r')\nm.pred"
    names = {c.name for c in jedi.Script(script, project=project).complete(3, 6)}
    assert {"predict", "predict_proba"} <= names


USER_SCRIPT = """\
import numpy as np
from orvalis import marqolin, load_dataset

m = marqolin("result")
labels: np.ndarray = m.predict("new.csv")
share: float = m.test_size
"""

# a call mypy must refuse, and the error code it must give
MISUSES = [
    ("marqolin(42)", "arg-type"),
    ("m.predcit('new.csv')", "attr-defined"),
    ("m.labelencode(np.zeros(3), feature_name=3)", "arg-type"),
    ("name: int = m.target_name", "assignment"),
    ("load_dataset(None)", "arg-type"),
    ("m.plot_kde(np.zeros(3), 5)", "arg-type"),
]


def test_mypy_strict_checks_a_users_calls(tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "user.py"
    first = USER_SCRIPT.count("\n") + 1
    script.write_text(USER_SCRIPT + "\n".join(line for line, _ in MISUSES) + "\n")
    config = tmp_path / "mypy.ini"
    # pandas ships no type information; everything of ours does
    config.write_text("[mypy]\n[mypy-pandas.*]\nignore_missing_imports = True\n")
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--config-file",
            str(config),
            "user.py",
        ],
        capture_output=True,
        text=True,
        env={**os.environ, "MYPYPATH": SRC},
        cwd=str(tmp_path),
    )
    errors: dict[int, str] = {}
    for line in result.stdout.splitlines():
        if line.startswith("user.py:") and ": error:" in line:
            errors.setdefault(int(line.split(":")[1]), line)
    # the README's lines type-check; each misuse is refused with its own error code
    want = {first + k: code for k, (_, code) in enumerate(MISUSES)}
    assert set(errors) == set(want), result.stdout
    for number, code in want.items():
        assert f"[{code}]" in errors[number], result.stdout


@pytest.mark.parametrize("name", ["marqolin", "load_dataset"])
def test_help_shows_no_binding_internals(name):
    import pydoc
    import re

    import orvalis.orvalis as api

    text = pydoc.render_doc(getattr(api, name), renderer=pydoc.plaintext)
    assert not re.search(r"pybind11|PyCapsule|0x[0-9a-f]{6,}", text), text
    assert re.search(r"predict\(self, test_path, \*, statistics=None\)|get_dataframe\(self\)", text)
