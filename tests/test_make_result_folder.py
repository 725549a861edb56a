"""The training-side tool: folders it builds predict, and it runs against an installed package."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pandas as pd
import yaml
from conftest import REPO as _REPO
from conftest import tool
from hand_preprocess import features_by_hand

REPO = Path(_REPO)


def test_plain_estimator_with_a_time_column_predicts(sample_tasks, tmp_path):
    from orvalis import marqolin

    task = {**sample_tasks["grunfeld"], "automl": False}
    # the scikit-learn estimator cannot bin a column that is all NaN (the standardised count of
    # equally large groups); the grouped rolling windows and group statistics stay
    task["features"] = [f for f in task["features"] if not f.startswith("count###")]
    folder = tool().build_result_folder(task["train"], task, str(tmp_path / "grunfeld_plain"))
    raw = pd.read_csv(task["holdout"])
    got = marqolin(folder).predict(raw.copy())

    # the fitted estimator itself on the hand-preprocessed rows, without the time column
    df, model, _ = features_by_hand(folder, raw)
    estimator = model[-1]
    want = estimator.predict(df.drop(columns=["year"])[list(estimator.feature_names_in_)])
    assert len(got) == len(raw) and np.isfinite(got).all()
    np.testing.assert_array_equal(got, want)


def _environment(path: Path) -> tuple[Path, Path]:
    """A virtual environment seeing this interpreter's dependencies but not its PYTHONPATH;
    returns its interpreter and its site-packages folder."""
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(path)], check=True)
    python = path / "bin" / "python"
    site = Path(
        subprocess.run(
            [str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
    )
    (site / "shared-dependencies.pth").write_text(sysconfig.get_path("purelib") + "\n")
    return python, site


def _checkout(path: Path) -> Path:
    """The tool in a source checkout whose src/ tree has never been built."""
    (path / "tools").mkdir(parents=True)
    shutil.copy2(REPO / "tools" / "make_result_folder.py", path / "tools")
    shutil.copytree(
        REPO / "src", path / "src", ignore=shutil.ignore_patterns("*.so", "__pycache__")
    )
    return path / "tools" / "make_result_folder.py"


def test_tool_uses_the_installed_package(sample_tasks, tmp_path):
    python, site = _environment(tmp_path / "env")
    script = _checkout(tmp_path / "checkout")
    task = {k: v for k, v in sample_tasks["penguins"].items() if k not in ("train", "holdout")}
    (tmp_path / "task.yaml").write_text(yaml.safe_dump({**task, "automl": False}))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    command = [str(python), str(script), sample_tasks["penguins"]["train"], "task.yaml", "out"]

    refused = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True)
    assert refused.returncode == 1
    last = refused.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: orvalis is not installed") and "make build" in last

    # installing puts the built package into site-packages (a wheel only unpacks there)
    shutil.copytree(REPO / "src" / "orvalis", site / "orvalis")
    built = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr[-3000:]
    assert built.stdout.strip() == "out"
    check = (
        "import sys, pandas as pd, orvalis\n"
        "from orvalis import marqolin\n"
        "print(orvalis.__file__)\n"
        "print(len(marqolin('out').predict(pd.read_csv(sys.argv[1]))))\n"
    )
    used = subprocess.run(
        [str(python), "-c", check, sample_tasks["penguins"]["holdout"]],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
    )
    assert used.returncode == 0, used.stderr[-3000:]
    location, count = used.stdout.split()
    assert Path(location).is_relative_to(site)
    assert int(count) == len(pd.read_csv(sample_tasks["penguins"]["holdout"]))
